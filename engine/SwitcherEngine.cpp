// The engine: link state, identification, routes, names, presets and the way out.
#include "SwitcherEngine.h"

#include <QDateTime>
#include <QTimer>

#include <utility>

#include "Feedback.h"
#include "RoutingSnapshot.h"
#include "RoutingTable.h"
#include "Services.h"
#include "SwitcherLink.h"
#include "SwitcherModel.h"

namespace engine {

namespace {
// The bridge's identification: the type and version replies come within this after the
// queries (the console's window waits 100 ms); the status burst has ended once no line came
// for kStatusQuiet, and the whole exchange ends after kStatusBound at most.
constexpr std::chrono::milliseconds kReplyWait{3000};
constexpr int kStatusQuietMs = 500;
constexpr int kStatusBoundMs = 10000;  // a full status at 9600 baud takes 5 to 9 s
// A link with no switcher answering is asked again this often.
constexpr std::chrono::milliseconds kIdentifyAgain{10000};
constexpr char kNoAnswer[] = "no switcher answers";
// The link's check: this many light queries unanswered in a row, and the switcher is silent.
constexpr int kChecksBeforeSilent = 2;
// The query every switcher answers: the identification needs its reply too (some give no version).
constexpr char kCheckQuery[] = "/*Type;";
// After a client's command that changes routes without reporting them (one input to all, all
// through or closed, a recall, an undo), the routing is asked for once its reply has settled,
// at most once in kRefreshSpacingMs.
constexpr int kRefreshAfterMs = 300;
constexpr qint64 kRefreshSpacingMs = 2000;
constexpr char kEngineLabel[] = "engine";

bool changesRoutesSilently(const QByteArray& command) {
  return command.endsWith("All.") || command == "All#." || command == "All$." || command.startsWith("Recall") ||
         command == "Undo.";
}

names::Names loadNames() {
  QStringList warnings;
  names::Names n = names::Names::load(QString::fromLatin1(names::kNamesFile), &warnings);
  for (const QString& w : warnings) qWarning("%s", qPrintable(w));
  return n;
}

QString lineText(const QByteArray& line) {
  const int nul = line.indexOf('\0');
  return QString::fromUtf8(nul < 0 ? line : line.left(nul)).trimmed();
}

bool isTypeReply(const QString& text) {
  // The model line, whether its size parses ("MATRIX 16X16") or is written otherwise
  // ("MATRIX16X16", "MATRIX 16X16 HD": served at the full size, as before).
  return text.startsWith(QLatin1String("MATRIX"), Qt::CaseInsensitive);
}
}  // namespace

SwitcherEngine::SwitcherEngine(QObject* parent)
    : QObject(parent),
      replyWait(kReplyWait),
      identifyAgain(kIdentifyAgain),
      inputCount(routing::kOutputs),
      outputCount(routing::kOutputs),
      identifyTimer(new QTimer(this)),
      checkTimer(new QTimer(this)),
      refreshTimer(new QTimer(this)),
      table(new routing::RoutingTable(this)),
      captureTable(new routing::RoutingTable(this)),
      captureBound(new QTimer(this)),
      currentNames(loadNames()),
      commands(new CommandQueue([this] { return ready(); }, this)),
      groups(new Presets(this)),
      held(new routing::Protects(this)),
      serviceSet(nullptr) {
  setObjectName(QStringLiteral("SwitcherEngine"));
  identifyTimer->setSingleShot(true);
  connect(identifyTimer, &QTimer::timeout, this, &SwitcherEngine::identifyStep);
  checkTimer->setSingleShot(true);
  connect(checkTimer, &QTimer::timeout, this, &SwitcherEngine::checkLink);
  refreshTimer->setSingleShot(true);
  refreshTimer->setInterval(kRefreshAfterMs);
  connect(refreshTimer, &QTimer::timeout, this, [this] {
    if (!ready()) return;
    if (lastRefresh.isValid() && lastRefresh.elapsed() < kRefreshSpacingMs) {
      refreshTimer->start(int(kRefreshSpacingMs - lastRefresh.elapsed()));
      return;
    }
    lastRefresh.start();
    sendClient(Origin::Engine, "Status.", QLatin1String(kEngineLabel));
  });
  connect(commands, &CommandQueue::note, this, &SwitcherEngine::note);
  captureBound->setSingleShot(true);
  captureBound->setInterval(kCaptureBound);
  connect(captureBound, &QTimer::timeout, this, &SwitcherEngine::finishCapture);
  connect(captureTable, &routing::RoutingTable::allReported, this, &SwitcherEngine::finishCapture);
  since.start();
  routeWritten.assign(routing::kOutputs + 1, 0);
  // A client's route, timed from its write to the switcher's report of that output.
  connect(commands, &CommandQueue::clientSent, this, [this](const QByteArray& command, const QString& label) {
    if (label == QLatin1String(kEngineLabel)) return;
    const routing::CommandMoves moves = routing::MovesOf(command);
    if (moves.all) return;
    const qint64 now = qMax<qint64>(1, since.elapsed());
    for (int o : moves.outputs)
      if (o >= 1 && o <= routing::kOutputs) routeWritten[o] = now;
  });
  connect(table, &routing::RoutingTable::routeReported, this, [this](int output) {
    if (output < 1 || output > routing::kOutputs) return;
    const qint64 at = std::exchange(routeWritten[output], 0);
    if (at == 0) return;
    const qint64 ms = since.elapsed() - at;
    // A report this late answers something else (the front panel, a refresh).
    constexpr qint64 kLongestMs = 60000;
    if (ms <= kLongestMs) tally.latency.observe(double(ms) / 1000.0);
  });
  serviceSet = new Services(*this);
}

SwitcherEngine::~SwitcherEngine() {
  // The services go first: they may still publish the link's end.
  delete serviceSet;
  serviceSet = nullptr;
}

void SwitcherEngine::setLink(SwitcherLink* l, LinkOwner o) {
  switcherLink = l;
  owner = o;
  if (!l->parent()) l->setParent(this);
  commands->setLink(l);
  connect(l, &SwitcherLink::bytesReceived, this, [this](const QByteArray& b) { switcherBytes(b.constData(), int(b.size())); });
  // Whoever holds the link, what a client changed unreported is asked for, as a client's
  // command (the console's window shows it as one).
  connect(commands, &CommandQueue::clientSent, this, [this](const QByteArray& command, const QString&) {
    if (changesRoutesSilently(command)) refreshTimer->start();
  });
  if (o == LinkOwner::FrontEnd) return;
  connect(l, &SwitcherLink::opening, this, [this] { setState(LinkState::Opening); });
  connect(l, &SwitcherLink::opened, this, [this] {
    emit note(QStringLiteral("link up: %1").arg(switcherLink->name()));
    recheck();
    identify();
  });
  connect(l, &SwitcherLink::lost, this, [this](const QString& why) {
    // A link that never came up (refused, missing) was not lost: retries count nothing.
    if (linkState == LinkState::Identifying || linkState == LinkState::Ready) ++tally.linkLosses;
    emit note(QStringLiteral("link lost: %1").arg(why));
    identifyTimer->stop();
    checkTimer->stop();
    step = Step::None;
    setSilent(false);
    if (isIdentifying) {
      isIdentifying = false;
      emit identifyingChanged(false);
    }
    commands->stop();
    setState(LinkState::Lost, why);
    recheck();
  });
  connect(l, &SwitcherLink::closed, this, [this] {
    identifyTimer->stop();
    checkTimer->stop();
    step = Step::None;
    setSilent(false);
    commands->stop();
    setState(LinkState::Down);
    recheck();
  });
  connect(l, &SwitcherLink::lineReceived, this, &SwitcherEngine::ownLine);
}

void SwitcherEngine::setAnswerWaits(std::chrono::milliseconds reply, std::chrono::milliseconds again) {
  replyWait = reply;
  identifyAgain = again;
}

void SwitcherEngine::setLinkCheck(std::chrono::milliseconds quiet) {
  checkQuiet = quiet;
  armCheck();
}

void SwitcherEngine::armCheck() {
  checksUnanswered = 0;
  if (owner == LinkOwner::Engine && checkQuiet.count() > 0 && linkUp()) checkTimer->start(checkQuiet);
  else checkTimer->stop();
}

void SwitcherEngine::checkLink() {
  // An identification has waits of its own; a silent switcher is asked again by it.
  if (!linkUp() || isIdentifying || silent) return;
  if (checksUnanswered >= kChecksBeforeSilent) return goSilent(QStringLiteral("switcher silent"));
  ++checksUnanswered;
  writeOwn(kCheckQuery);
  checkTimer->start(replyWait);
}

QString SwitcherEngine::linkName() const { return linkUp() ? switcherLink->name() : QString(); }

bool SwitcherEngine::linkUp() const { return switcherLink && switcherLink->isUp() && !failing; }

void SwitcherEngine::setState(LinkState s, const QString& why) {
  if (s == linkState && why == linkReason) return;
  linkState = s;
  linkReason = why;
  emit stateChanged(s, why);
}

void SwitcherEngine::recheck() {
  if (failing && switcherLink && !switcherLink->isUp()) failing = false;
  const bool up = linkUp();
  if (owner == LinkOwner::FrontEnd) {
    if (up) setState(isIdentifying ? LinkState::Identifying : LinkState::Ready);
    else if (linkState != LinkState::Lost || !failing) setState(failing ? LinkState::Lost : LinkState::Down, linkReason);
  }
  if (up == lastUp) return;
  lastUp = up;
  emit linkChanged(up);
}

void SwitcherEngine::linkEvent() {
  // After the handler that reported it has finished changing the link.
  QMetaObject::invokeMethod(this, &SwitcherEngine::recheck, Qt::QueuedConnection);
}

void SwitcherEngine::linkFailing(const QString& reason) {
  if (failing || !linkUp()) return;
  failing = true;
  ++tally.linkLosses;
  emit note(QStringLiteral("link lost: %1").arg(reason));
  commands->stop();
  setState(LinkState::Lost, reason);
  recheck();
}

void SwitcherEngine::switcherBytes(const char* data, int size) {
  emit switcherBytesArrived(QByteArray::fromRawData(data, size));
}

// ---- identification: the front end's hooks ----

void SwitcherEngine::identificationStarts() {
  recheck();
  linesSeen = 0;
  pendingModel.clear();
  pendingVersion.clear();
  isIdentifying = true;
  // Asked again while no switcher answers: the reason stays until one does.
  if (linkUp()) setState(LinkState::Identifying, silent ? linkReason : QString());
  emit identifyingChanged(true);
}

void SwitcherEngine::identificationLine(const QByteArray& line) {
  if (!isIdentifying) return;
  const QString text = lineText(line);
  if (linesSeen == 0) {
    // A serial server's greeting or half a line left in a converter is not the type: the
    // type is the line that gives the switcher's size, and the version comes next.
    if (!isTypeReply(text)) {
      emit note(QStringLiteral("identification: \"%1\" skipped, it is no type reply").arg(text));
      return;
    }
    pendingModel = text;
  }
  if (linesSeen == 1) pendingVersion = text;
  ++linesSeen;
}

void SwitcherEngine::identificationEnds() {
  isIdentifying = false;
  // A switcher that did not answer keeps what an earlier identification learnt.
  if (!pendingModel.isEmpty()) learn(pendingModel, pendingVersion);
  if (linkUp()) setState(LinkState::Ready);
  recheck();
  emit identifyingChanged(false);
}

void SwitcherEngine::learn(const QString& model, const QString& version) {
  if (model == switcherModel && version == switcherVersion) return;
  switcherModel = model;
  switcherVersion = version;
  int i = routing::kOutputs, o = routing::kOutputs;
  model::ParseMatrixSize(switcherModel, &i, &o);
  inputCount = i;
  outputCount = qMin(o, routing::kOutputs);
  emit identifiedChanged();
}

// ---- identification: the engine's own link ----

void SwitcherEngine::identify() {
  if (!linkUp()) return;
  identificationStarts();
  step = Step::Type;
  writeOwn("/*Type;");
  writeOwn("/^Version;");
  identifyTimer->start(replyWait);
}

void SwitcherEngine::lineArrived(const QByteArray& text) {
  ++tally.linesReceived;
  if (!capturing) return;
  captureTable->apply(feedback::ParseLine(text));
  // A switcher with fewer outputs than the grid is done once its own have reported.
  if (captureTable->reportedCount() >= outputCount) finishCapture();
}

QString SwitcherEngine::captureRouting(const QString& label, std::function<void(const QString& why)> outcome,
                                      Origin origin) {
  if (capturing) return QStringLiteral("a capture is already running");
  captureTable->beginRefresh();
  const SendResult r = sendClient(origin, "Status.", label);
  if (r == SendResult::Busy) return QStringLiteral("too many commands wait");
  if (r != SendResult::Accepted) return QStringLiteral("the link is closed");
  capturing = true;
  captureOutcome = std::move(outcome);
  captureBound->start();
  return {};
}

void SwitcherEngine::finishCapture() {
  // Its own flag: inside the bound's timeout the single-shot bound is no longer active.
  if (!capturing) return;
  capturing = false;
  captureBound->stop();
  std::vector<routing::Route> routes = captureTable->refreshedRoutes();
  routes.resize(size_t(outputCount) + 1);
  const routing::Snapshot snap = routing::MakeSnapshot(routes, &currentNames, QDateTime::currentDateTime());
  QString why;
  if (snap.unknownOutputs == outputCount)
    why = QStringLiteral("no output reported within %1 s").arg(kCaptureBound.count() / 1000);
  else if (!presetKeeper)
    why = QStringLiteral("no place to keep presets");
  else
    why = presetKeeper(snap);
  if (!why.isEmpty()) emit note(QStringLiteral("routing capture: ") + why);
  if (auto told = std::exchange(captureOutcome, {})) told(why);
}

void SwitcherEngine::ownLine(const QByteArray& text) {
  // The switcher is there: the next check waits for another quiet spell.
  if (!isIdentifying && !silent) armCheck();
  const feedback::Line line = feedback::ParseLine(text);
  table->apply(line);
  lineArrived(text);
  if (silent) {
    // The switcher answers again (a late type reply, or anything at all): identified, and
    // its routing asked for, before clients' commands go again.
    setSilent(false);
    emit note(QStringLiteral("the switcher answers on %1").arg(linkName()));
    if (!isIdentifying) {
      if (isTypeReply(lineText(text))) {
        // The type reply of the identification that heard nothing in time: the version may
        // follow it.
        identificationStarts();
        step = Step::Type;
        identificationLine(text);
        identifyTimer->start(kStatusQuietMs);
      } else {
        identify();
      }
      return;
    }
    if (linkUp()) setState(LinkState::Identifying);
  }
  if (!isIdentifying) return;
  if (step == Step::Type) {
    // A route report the switcher's front panel caused is no reply to the queries.
    if (line.kind != feedback::Kind::Other) return;
    identificationLine(text);
    // Both replies are in: on to the status of every output.
    if (linesSeen >= 2) askRoutes();
    return;
  }
  if (step == Step::Status) {
    // Done once every output of the switcher has reported, or after the bound however
    // chatty the switcher is.
    int i = routing::kOutputs, o = routing::kOutputs;
    model::ParseMatrixSize(pendingModel, &i, &o);
    if (table->reportedCount() >= qMin(o, routing::kOutputs) || statusSince.elapsed() >= kStatusBoundMs)
      finishIdentification();
    else
      identifyTimer->start(kStatusQuietMs);
  }
}

void SwitcherEngine::writeOwn(const QByteArray& command) {
  emit ownSent(command);
  switcherLink->write(command, {});
}

void SwitcherEngine::askRoutes() {
  step = Step::Status;
  table->beginRefresh();
  statusSince.start();
  writeOwn("Status.");
  identifyTimer->start(kStatusQuietMs);
}

void SwitcherEngine::identifyStep() {
  if (step == Step::Type) {
    // One reply or none: a switcher that gives no version still has its routing asked for;
    // one that gives nothing is asked again later.
    if (linesSeen == 0) return goSilent(QLatin1String(kNoAnswer));
    askRoutes();
    return;
  }
  if (step == Step::Status) {
    finishIdentification();
    return;
  }
  // Asked again: a switcher switched on after its link, or one that stopped answering, known
  // model or not.
  if (linkUp() && silent) identify();
}

void SwitcherEngine::goSilent(const QString& why) {
  identifyTimer->stop();
  checkTimer->stop();
  step = Step::None;
  const bool already = silent;
  if (!already) emit note(QStringLiteral("%1 on %2").arg(why, linkName()));
  // What waits would go on air long after it was asked for, once the switcher answers again.
  if (!already) commands->stop();
  setSilent(true);
  const bool was = isIdentifying;
  isIdentifying = false;
  // Asked again in vain: the first reason stays.
  if (linkUp()) setState(LinkState::Identifying, already ? linkReason : why);
  if (was) emit identifyingChanged(false);
  identifyTimer->start(identifyAgain);
}

void SwitcherEngine::setSilent(bool on) {
  if (silent == on) return;
  silent = on;
  emit answeringChanged(!on);
}

void SwitcherEngine::finishIdentification() {
  identifyTimer->stop();
  step = Step::None;
  identificationEnds();
  emit note(QStringLiteral("identified %1 %2 on %3").arg(switcherModel, switcherVersion, linkName()));
  armCheck();
  // A status answered in part, or lost on the way, would leave clients without those routes
  // until something changed them: asked once more.
  if (table->reportedCount() < qMin(outputCount, routing::kOutputs)) refreshTimer->start();
}

// ---- names and presets ----

bool SwitcherEngine::setNames(const names::Names& next, QString* why) {
  if (!next.save()) {
    if (why) *why = QStringLiteral("Names.ini could not be written");
    return false;
  }
  const bool changed = next != currentNames;
  currentNames = next;
  if (changed) emit namesChanged();
  return true;
}

void SwitcherEngine::reloadNames() {
  const names::Names read = loadNames();
  if (read == currentNames) return;
  currentNames = read;
  emit namesChanged();
}

SendResult SwitcherEngine::sendClient(const QByteArray& command, const QString& label, std::function<void()> onDropped,
                                      std::function<void()> onWritten) {
  return sendClient(Origin::Operator, command, label, std::move(onDropped), std::move(onWritten));
}

SendResult SwitcherEngine::sendClient(Origin origin, const QByteArray& command, const QString& label,
                                      std::function<void()> onDropped, std::function<void()> onWritten) {
  const SendResult r = !held->mayRun(command, label)
                           ? SendResult::Protected
                           : commands->sendClient(command, label, std::move(onDropped), std::move(onWritten));
  count(origin, r);
  return r;
}

void SwitcherEngine::count(Origin origin, SendResult result) {
  switch (result) {
    case SendResult::Accepted: ++tally.commands[int(origin)]; return;
    case SendResult::Busy: return countRefusal(origin, Refusal::Busy);
    case SendResult::LinkClosed: return countRefusal(origin, Refusal::Link);
    case SendResult::Protected: return countRefusal(origin, Refusal::Protected);
  }
}

bool SwitcherEngine::routingKnown() const {
  return identified() && table->reportedCount() >= qMin(outputCount, routing::kOutputs);
}

SendResult SwitcherEngine::presetRefusal(const QString& id, const QString& label) const {
  const Preset* p = groups->find(id);
  if (!p) return SendResult::LinkClosed;
  if (!ready()) return SendResult::LinkClosed;
  if (!commands->clientCanTake(label, int(p->codes.size()))) return SendResult::Busy;
  for (const QByteArray& code : p->codes)
    if (!held->mayRun(code, label)) return SendResult::Protected;
  return SendResult::Accepted;
}

void SwitcherEngine::forgetClient(const QString& label) {
  commands->dropClient(label);
  held->forget(label);
}

SendResult SwitcherEngine::runPreset(const QString& id, const QString& label, std::function<void(int, int)> outcome,
                                     Origin origin) {
  const SendResult r = presetRefusal(id, label);
  if (r != SendResult::Accepted) {
    count(origin, r);
    return r;
  }
  const Preset* p = groups->find(id);
  tally.commands[int(origin)] += quint64(p->codes.size());
  const QList<QByteArray> codes = p->codes;
  const int total = int(codes.size());
  // Told once: when the last went, or when the first was dropped (the rest go with it).
  struct Run {
    int sent = 0;
    bool told = false;
  };
  auto run = std::make_shared<Run>();
  const auto tell = [run, total, outcome] {
    if (std::exchange(run->told, true)) return;
    if (outcome) outcome(run->sent, total);
  };
  if (total == 0) tell();
  for (const QByteArray& code : codes)
    commands->sendClient(code, label, tell, [run, total, tell] {
      if (++run->sent == total) tell();
    });
  return SendResult::Accepted;
}

}  // namespace engine
