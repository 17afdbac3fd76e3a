// The engine with no window: it identifies the switcher its own link reaches (here the
// simulator's core behind a link of the test), follows the link's loss, bounds the clients'
// commands, and runs presets whole or not at all.

#include <QFile>
#include <QTcpSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/socket.h>

#include "CommandQueue.h"
#include "Feedback.h"
#include "FreePort.h"
#include "Presets.h"
#include "RoutingSnapshot.h"
#include "RoutingTable.h"
#include "Services.h"
#include "SwitcherCore.h"
#include "SwitcherEngine.h"
#include "SwitcherLink.h"
#include "TcpLink.h"

namespace {
constexpr int kWaitMs = 10000;

// The switcher's core behind a link: replies come on the next turn, as from a device.
// Held: writes wait (a device that does not take bytes) until released.
class CoreLink final : public engine::SwitcherLink {
 public:
  explicit CoreLink(int inputs = 8, int outputs = 4) : core(inputs, outputs) {}
  bool isUp() const override { return up; }
  QString name() const override { return QStringLiteral("core"); }
  void write(const QByteArray& command, Written done) override {
    if (!up) {
      if (done) done(false);
      return;
    }
    if (held) {
      waiting.push_back({command, std::move(done)});
      return;
    }
    deliver(command, done);
  }
  void open() override {
    up = true;
    if (!greeting.isEmpty()) QTimer::singleShot(0, this, [this] { emit lineReceived(greeting); });
    emit opened();
  }
  void close() override { up = false; emit closed(); }
  void lose() {
    up = false;
    auto gone = std::move(waiting);
    waiting.clear();
    for (auto& w : gone)
      if (w.second) w.second(false);
    emit lost(QStringLiteral("unplugged"));
  }
  void releaseFirst() {
    auto first = std::move(waiting.front());
    waiting.erase(waiting.begin());
    deliver(first.first, first.second);
  }
  void release() {
    held = false;
    auto go = std::move(waiting);
    waiting.clear();
    for (auto& w : go) deliver(w.first, w.second);
  }
  void deliver(const QByteArray& command, const Written& done) {
    written << command;
    if (done) done(true);
    const QByteArray reply = core.feed(command);
    if (mute) return;
    QTimer::singleShot(replyDelayMs, this, [this, reply] {
      for (QByteArray line : reply.split('\n')) {
        if (line.endsWith('\r')) line.chop(1);
        if (!line.trimmed().isEmpty() && !silent.contains(feedback::ParseLine(line).output)) emit lineReceived(line);
      }
    });
  }
  sim::SwitcherCore core;
  QList<QByteArray> written;
  std::vector<std::pair<QByteArray, Written>> waiting;
  QList<int> silent;  // outputs whose reports never come
  bool up = false;
  bool held = false;
  QByteArray greeting;   // a line sent on open, before any reply
  bool mute = false;     // takes commands, answers nothing (a switcher switched off)
  int replyDelayMs = 0;  // replies come this late
};

// Hands the link to the engine and opens it: true once the switcher is identified.
bool openReady(engine::SwitcherEngine& e, CoreLink* link, engine::LinkOwner owner = engine::LinkOwner::Engine) {
  e.setLink(link, owner);
  link->open();
  if (owner == engine::LinkOwner::FrontEnd) e.linkEvent();
  return QTest::qWaitFor([&] { return e.ready() && e.state() == engine::LinkState::Ready; }, kWaitMs);
}

constexpr std::chrono::milliseconds kReplyWait{200};
constexpr std::chrono::milliseconds kAgain{1000};
}  // namespace

class TestEngine : public QObject {
  Q_OBJECT
 private slots:
  void identifiesAndFollowsTheLink();
  void answersAfterSilence_data();
  void answersAfterSilence();
  void typeIsTheSizeLine_data();
  void typeIsTheSizeLine();
  void clientBounds();
  void refusedConnectIsTriedAgain();
  void clientsShareTheQueue_data();
  void clientsShareTheQueue();
  void presetRunsWholeOrNotAtAll();
  void presetsFromTheCodeFile();
  void protectsBindEveryClient();
  void routingAskedAgainWhenPartlyAnswered();
  void presetIdsSurviveEdits_data();
  void presetIdsSurviveEdits();
  void captureKeptOrWhyNot_data();
  void captureKeptOrWhyNot();
};

void TestEngine::identifiesAndFollowsTheLink() {
  engine::SwitcherEngine e;
  auto* link = new CoreLink;
  e.setLink(link, engine::LinkOwner::Engine);
  QSignalSpy states(&e, &engine::SwitcherEngine::stateChanged);
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  QCOMPARE(e.model(), QStringLiteral("MATRIX 8X4"));
  QCOMPARE(e.inputs(), 8);
  QCOMPARE(e.outputs(), 4);
  QCOMPARE(e.routes().route(3).video, 3);  // the status of every output was asked for
  QVERIFY(link->written.contains("Status."));

  // Commands that wait when the link goes are told so, at once.
  link->held = true;
  int dropped = 0;
  QCOMPARE(e.sendClient("1V1.", "c", [&] { ++dropped; }), engine::SendResult::Accepted);
  link->lose();
  QCOMPARE(dropped, 1);
  QCOMPARE(e.state(), engine::LinkState::Lost);
  QCOMPARE(e.reason(), QStringLiteral("unplugged"));
  QCOMPARE(e.sendClient("1V1.", "c"), engine::SendResult::LinkClosed);
  QCOMPARE(e.queue().waiting("c"), 0);

  // Back: identified again.
  link->held = false;
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  QCOMPARE(link->written.count("/*Type;"), 2);
}

// However late the switcher answers, and whatever it knew before, its routing is asked for;
// while nothing answers, clients see no switcher; closed on purpose, it is down, not silent.
// [Link] Check: a quiet link is asked for the type; two questions unanswered and it is silent.
void TestEngine::answersAfterSilence_data() {
  QTest::addColumn<QString>("scenario");
  for (const char* s : {"late at start", "late after loss", "mute after loss", "mute, closed", "checked, answered", "checked, mute (power-cycled)"})
    QTest::newRow(s) << QString(s);
}

void TestEngine::answersAfterSilence() {
  QFETCH(QString, scenario);
  const bool checked = scenario.startsWith(QLatin1String("checked"));
  engine::SwitcherEngine e;
  e.setAnswerWaits(kReplyWait, kAgain);
  if (checked) e.setLinkCheck(std::chrono::milliseconds(300));
  auto* link = new CoreLink;
  if (scenario == "late at start") e.setLink(link, engine::LinkOwner::Engine);
  else QVERIFY(openReady(e, link));
  link->core.feed("2V3.");  // changed on the switcher's own panel, unheard
  QSignalSpy answering(&e, &engine::SwitcherEngine::answeringChanged);
  link->written.clear();
  link->mute = scenario.contains(QLatin1String("mute"));
  if (checked) {
    QTRY_VERIFY_WITH_TIMEOUT(link->written.count("/*Type;") >= 3 || !e.answering(), kWaitMs);
    QVERIFY(link->mute || (e.ready() && !link->written.contains("Status.")));  // answered: not identified again
    if (!link->mute) return;
    QCOMPARE(link->written, (QList<QByteArray>{"/*Type;", "/*Type;"}));
  } else {
    if (scenario != "late at start") link->lose();
    link->replyDelayMs = link->mute ? 0 : int(5 * kReplyWait.count() / 2);
    link->open();
    if (link->mute) QTRY_VERIFY_WITH_TIMEOUT(!e.answering(), kWaitMs);
  }
  if (link->mute) {
    QVERIFY(!e.ready());
    QCOMPARE(e.reason(), checked ? QStringLiteral("switcher silent") : QStringLiteral("no switcher answers"));
    QCOMPARE(e.sendClient("1V1.", "c"), engine::SendResult::LinkClosed);
    link->mute = false;
  }
  if (scenario.endsWith(QLatin1String("closed"))) {
    link->close();
    QVERIFY(e.state() == engine::LinkState::Down && e.answering());
    return;
  }
  QTRY_VERIFY_WITH_TIMEOUT(e.ready(), kWaitMs);
  QCOMPARE(e.model(), QStringLiteral("MATRIX 8X4"));
  QTRY_COMPARE_WITH_TIMEOUT(e.routes().route(3).video, 2, kWaitMs);
  QCOMPARE(e.reason(), QString());
  QVERIFY(answering.size() == 2 && answering.last().first().toBool());  // silent, then answering
}

// Lines before the type reply (a greeting, half a line left in a converter) are neither the type
// nor the version, in the engine's identification and the front end's; a model line whose size
// is written otherwise is the type all the same, at the full size.
void TestEngine::typeIsTheSizeLine_data() {
  QTest::addColumn<bool>("frontEnd");
  QTest::addColumn<QByteArray>("before");
  QTest::addColumn<QByteArray>("type");
  QTest::addColumn<int>("outputs");
  QTest::newRow("engine, a greeting") << false << QByteArray("Serial server ready") << QByteArray("MATRIX 16X16") << 16;
  QTest::newRow("front end, half a line") << true << QByteArray("X16") << QByteArray("MATRIX 16X16") << 16;
  QTest::newRow("front end, size written otherwise") << true << QByteArray() << QByteArray("MATRIX16X16 HD") << 256;
}

void TestEngine::typeIsTheSizeLine() {
  QFETCH(bool, frontEnd);
  QFETCH(QByteArray, before);
  QFETCH(QByteArray, type);
  QFETCH(int, outputs);
  engine::SwitcherEngine e;
  auto* link = new CoreLink(16, 16);
  link->greeting = before;
  QSignalSpy notes(&e, &engine::SwitcherEngine::note);
  if (!frontEnd) QVERIFY(openReady(e, link));
  if (frontEnd) {
    e.setLink(link, engine::LinkOwner::FrontEnd);
    e.identificationStarts();
    for (const QByteArray& line : {before, type, QByteArray("V2.0")}) e.identificationLine(line);
    e.identificationEnds();
    QCOMPARE(e.version(), QStringLiteral("V2.0"));
  }
  QCOMPARE(e.model(), QString::fromLatin1(type));
  QVERIFY(!e.version().isEmpty() && e.version() != QString::fromLatin1(before));
  QCOMPARE(e.outputs(), outputs);
  if (outputs == 16) QCOMPARE(e.inputs(), 16);
  if (!before.isEmpty())
    QVERIFY(std::any_of(notes.begin(), notes.end(), [&](const QList<QVariant>& n) { return n[0].toString().contains(before); }));
}

// At most 256 of one client and 4096 of all wait; what has gone no longer counts, however
// many went before.
void TestEngine::clientBounds() {
  engine::SwitcherEngine e;
  auto* link = new CoreLink;
  e.setLink(link, engine::LinkOwner::Engine);
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  link->held = true;
  int accepted = 0;
  for (int c = 0; c <= engine::kClientWaitingAll / engine::kClientWaitingEach; ++c)
    for (int i = 0; i <= engine::kClientWaitingEach; ++i)
      accepted += e.sendClient("1V1.", QString::number(c)) == engine::SendResult::Accepted;
  QCOMPARE(accepted, engine::kClientWaitingAll);
  QCOMPARE(e.sendClient("1V1.", "late"), engine::SendResult::Busy);
  QVERIFY(!e.queue().clientCanTake("0", 1));
  // Everything goes out, twice over: the counters come back to nothing each time.
  for (int round = 0; round < 2; ++round) {
    link->release();
    QTRY_COMPARE_WITH_TIMEOUT(e.queue().clientsWaiting(), 0, kWaitMs);
    link->held = true;
    for (int i = 0; i < engine::kClientWaitingAll; ++i)
      QCOMPARE(e.sendClient("1V1.", QString::number(i % 16)), engine::SendResult::Accepted);
  }
  QCOMPARE(e.sendClient("1V1.", "late"), engine::SendResult::Busy);
}

// A switcher's port that refuses the connection is tried again until it listens.
void TestEngine::refusedConnectIsTriedAgain() {
  const quint16 port = freePort();  // nothing listens there yet
  engine::TcpLink link(QStringLiteral("127.0.0.1"), port);
  QSignalSpy lost(&link, &engine::SwitcherLink::lost);
  QSignalSpy opened(&link, &engine::SwitcherLink::opened);
  link.open();
  QVERIFY(lost.wait(kWaitMs));  // refused: reported, and a retry planned
  QTcpServer switcher;
  QVERIFY(switcher.listen(QHostAddress::LocalHost, port));
  QVERIFY(opened.wait(kWaitMs) && link.isUp());
}

// With a pace, clients take turns; one that leaves (or whose link goes) takes its waiting
// commands with it; what waits is bounded by the switcher's time it takes. A client's change
// without reports is followed by the routing's query, whoever holds the link, at most every 2 s.
void TestEngine::clientsShareTheQueue_data() {
  QTest::addColumn<QString>("scenario");
  for (const char* s : {"flood", "own", "lost", "leaves", "gateway", "panel", "time", "refresh, front end", "refresh twice"})
    QTest::newRow(s) << QString(s);
}

void TestEngine::clientsShareTheQueue() {
  QFETCH(QString, scenario);
  engine::SwitcherEngine e;
  auto* link = new CoreLink;
  QVERIFY(openReady(e, link, scenario.endsWith(QLatin1String("front end")) ? engine::LinkOwner::FrontEnd : engine::LinkOwner::Engine));
  link->written.clear();
  if (!scenario.startsWith(QLatin1String("refresh")))
    e.queue().setPace(scenario == "flood" || scenario == "own" || scenario == "leaves" ? 5 : 1000);
  int dropped = 0;
  if (scenario == "flood" || scenario == "own")
    for (int i = 0; i < engine::kClientWaitingEach; ++i) QCOMPARE(e.sendClient("1V1.", "flood"), engine::SendResult::Accepted);
  if (scenario == "flood") {  // one client's flood holds no other back
    QCOMPARE(e.sendClient("2V2.", "take"), engine::SendResult::Accepted);
    QTRY_VERIFY_WITH_TIMEOUT(link->written.contains("2V2."), kWaitMs);
    QVERIFY2(link->written.indexOf("2V2.") <= 2, qPrintable(QString::number(link->written.indexOf("2V2."))));
  } else if (scenario == "own") {  // the front end's run takes its turns
    auto send = [link](const QByteArray& c) { return link->write(c, {}), true; };
    QVERIFY(e.queue().sendOwn("3V3.", send) && e.queue().sendOwn("4V4.", send));
    QTRY_VERIFY_WITH_TIMEOUT(link->written.contains("4V4."), kWaitMs);
    QVERIFY(link->written.indexOf("3V3.") < link->written.indexOf("4V4."));
    QVERIFY2(link->written.indexOf("4V4.") <= 4, qPrintable(QString::number(link->written.indexOf("4V4."))));
  } else if (scenario == "lost") {
    for (const char* label : {"a", "b"})
      for (int i = 0; i < 3; ++i) e.sendClient("1V1.", label, [&] { ++dropped; });
    link->lose();
    QCOMPARE(dropped, 6);  // none had gone: the first waits for the next turn
    QCOMPARE(e.queue().clientsWaiting(), 0);
  } else if (scenario == "leaves") {
    for (int i = 0; i < 10; ++i) e.sendClient("1V1.", "gone", [&] { ++dropped; });
    e.sendClient("2V2.", "stays");
    QSignalSpy remaining(&e.queue(), &engine::CommandQueue::remainingChanged);
    e.forgetClient("gone");
    QCOMPARE(remaining.isEmpty() ? -1 : remaining.last().first().toInt(), 1);  // "N commands left" follows
    QCOMPARE(dropped, 10);
    QTRY_COMPARE_WITH_TIMEOUT(e.queue().backlog(), 0, kWaitMs);
    QCOMPARE(link->written, QList<QByteArray>{"2V2."});
    // The last to wait leaves: the queue has drained (the window's run is over).
    e.sendClient("3V3.", "alone");
    QSignalSpy drained(&e.queue(), &engine::CommandQueue::drained);
    e.forgetClient("alone");
    QCOMPARE(drained.size(), 1);
  } else if (scenario == "gateway" || scenario == "panel") {  // a client that disconnects
    engine::ServiceRun run;
    const quint16 port = (scenario == "gateway" ? run.gatewayPort : run.panelPort) = freePort();
    e.services().start(run);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(kWaitMs));
    const QString label = QStringLiteral("127.0.0.1:%1").arg(client.localPort());
    client.write(scenario == "gateway" ? QByteArray("1V1.").repeated(4) : QByteArray("VIDEO OUTPUT ROUTING:\n0 1\n1 2\n2 3\n3 4\n\n"));
    QTRY_COMPARE_WITH_TIMEOUT(e.queue().waiting(label), 3, kWaitMs);  // one went at once
    // A reset: gone for good (a half-close would have its commands go first).
    const linger reset{1, 0};
    QCOMPARE(::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    client.abort();
    QTRY_COMPARE_WITH_TIMEOUT(e.queue().backlog(), 0, kWaitMs);
    QCOMPARE(link->written.size(), 1);
  } else if (scenario.startsWith(QLatin1String("refresh"))) {
    QList<qint64> refreshes;
    connect(&e.queue(), &engine::CommandQueue::clientSent, this, [&](const QByteArray& c, const QString& label) {
      if (label == "engine" && c == "Status.") refreshes << QDateTime::currentMSecsSinceEpoch();
    });
    const QByteArrayList changes = scenario == "refresh twice" ? QByteArrayList{"5All.", "Recall3."} : QByteArrayList{"5All."};
    for (int n = 0; n < changes.size(); ++n) {
      QCOMPARE(e.sendClient(changes[n], "client"), engine::SendResult::Accepted);
      QTRY_COMPARE_WITH_TIMEOUT(refreshes.size(), n + 1, kWaitMs);
    }
    // Spaced: the second, within 2 s of the first refresh, waited for them.
    for (int i = 1; i < refreshes.size(); ++i) QVERIFY(refreshes[i] - refreshes[i - 1] >= 1500);
  } else {
    link->held = true;
    int accepted = 0;
    for (int c = 0; c < 8; ++c)
      for (int i = 0; i < engine::kClientWaitingEach; ++i)
        accepted += e.sendClient("1V1.", QString::number(c)) == engine::SendResult::Accepted;
    // A minute of the switcher's time for one client, three for all.
    QCOMPARE(e.queue().waiting("0"), 60);
    QCOMPARE(accepted, 180);
    QVERIFY(!e.queue().clientCanTake("new", 1));
  }
  e.queue().stop();
}

void TestEngine::presetRunsWholeOrNotAtAll() {
  engine::SwitcherEngine e;
  auto* link = new CoreLink;
  e.setLink(link, engine::LinkOwner::Engine);
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  e.presets().set({{"1", "User: Group", {"1V1.", "2V2.", "3V3."}}});
  link->held = true;
  for (int i = 0; i < engine::kClientWaitingEach - 2; ++i) e.sendClient("4V4.", "web");
  QCOMPARE(e.runPreset("1", "web"), engine::SendResult::Busy);  // 3 do not fit in 2
  QCOMPARE(e.queue().waiting("web"), engine::kClientWaitingEach - 2);
  QList<QPair<int, int>> told;  // sent of total, once a run is over
  const auto outcome = [&](int sent, int total) { told << qMakePair(sent, total); };
  QCOMPARE(e.runPreset("1", "mqtt", outcome), engine::SendResult::Accepted);
  QVERIFY(told.isEmpty());
  link->release();
  QCOMPARE(link->written.mid(link->written.size() - 3), (QList<QByteArray>{"1V1.", "2V2.", "3V3."}));
  QCOMPARE(told, (QList<QPair<int, int>>{{3, 3}}));
  QCOMPARE(e.runPreset("9", "web"), engine::SendResult::LinkClosed);  // no such preset
  // The link goes after the first command: the rest are told as not sent, once.
  QTRY_COMPARE_WITH_TIMEOUT(e.queue().waiting("web"), 0, kWaitMs);
  link->held = true;
  QCOMPARE(e.runPreset("1", "web", outcome), engine::SendResult::Accepted);
  link->releaseFirst();
  link->lose();
  QCOMPARE(told, (QList<QPair<int, int>>{{3, 3}, {1, 3}}));
}

void TestEngine::protectsBindEveryClient() {
  engine::SwitcherEngine e;
  auto* link = new CoreLink;
  e.setLink(link, engine::LinkOwner::Engine);
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  e.presets().set({{"1", "User: Group", {"1V1.", "2V2."}}});
  QVERIFY(e.protects().protect(2, {"panel", "panel 10.0.0.5:4000"}));
  const int before = int(link->written.size());
  QCOMPARE(e.sendClient("7V2.", "web"), engine::SendResult::Protected);
  QCOMPARE(e.runPreset("1", "web"), engine::SendResult::Protected);  // whole or not at all
  QCOMPARE(int(link->written.size()), before);
  QCOMPARE(e.sendClient("7V2.", "panel"), engine::SendResult::Accepted);
  // The holder's leaving frees it; a lost link does not.
  link->lose();
  QVERIFY(e.protects().holder(2));
  e.forgetClient("panel");
  QVERIFY(!e.protects().holder(2));
}

void TestEngine::routingAskedAgainWhenPartlyAnswered() {
  engine::SwitcherEngine e;
  auto* link = new CoreLink;
  link->silent = {3};  // its report is lost once
  QVERIFY(openReady(e, link));
  link->silent.clear();
  QTRY_COMPARE_WITH_TIMEOUT(link->written.count("Status."), 2, kWaitMs);
  QTRY_VERIFY(e.routes().route(3).known());
}

void TestEngine::presetsFromTheCodeFile() {
  QTemporaryDir dir;
  QFile f(dir.filePath("rack.cgf"));
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("<CodeTree User=\"Vantrel\" Description=\"CodeTree\">\r\n"
          "<0 Type=\"3\" User=\"Orphan\" Description=\"x\" Code=\"9V9.\"/>\r\n"
          "<1 Type=\"2\" User=\"Show\" Description=\"Open\"/>\r\n"
          "<2 Type=\"3\" User=\"a\" Description=\"b\" Code=\"1V1.\"/>\r\n"
          "<3 Type=\"3\" User=\"a\" Description=\"c\" Code=\"2B3,4.\"/>\r\n"
          "<4 Type=\"2\" User=\"Show\" Description=\"Open\"/>\r\n"
          "</CodeTree>\r\n");
  f.close();
  engine::Presets p;
  QCOMPARE(p.load(f.fileName()), QString());
  QCOMPARE(p.all().size(), 2);
  QCOMPARE(p.all()[0].name, QStringLiteral("Show: Open"));
  QCOMPARE(p.all()[0].codes, (QList<QByteArray>{"1V1.", "2B3,4."}));
  QVERIFY(p.all()[1].id != p.all()[0].id);  // the same name, other codes
  QVERIFY(p.all()[1].codes.isEmpty());
  QVERIFY(!p.load(dir.filePath("missing.cgf")).isEmpty());
  QCOMPARE(p.all().size(), 2);  // kept as they were
}

void TestEngine::presetIdsSurviveEdits_data() {
  QTest::addColumn<QStringList>("before");  // "name=code", in file order
  QTest::addColumn<QStringList>("after");
  QTest::addColumn<int>("asked");           // which group's id of before a page still holds
  QTest::addColumn<int>("runs");            // the group of after it runs, -1: an error
  const QString a = "Show: A=1V1.", b = "Show: B=2V2.", c = "Show: C=3V3.";
  QTest::newRow("a group before it removed") << QStringList{a, b, c} << QStringList{b, c} << 1 << 0;
  QTest::newRow("its codes changed") << QStringList{a, b} << QStringList{a, "Show: B=2V3."} << 1 << -1;
  QTest::newRow("renamed") << QStringList{a, b} << QStringList{a, "Show: Bee=2V2."} << 1 << -1;
  QTest::newRow("it removed") << QStringList{a, b} << QStringList{a} << 1 << -1;
  QTest::newRow("the second of two copies, one removed") << QStringList{a, b, b} << QStringList{a, b} << 2 << -1;
  QTest::newRow("a copy kept apart") << QStringList{a, a} << QStringList{a, a} << 1 << 1;
}

// A page that has not yet heard the new list runs the group it meant, or is told it is gone.
void TestEngine::presetIdsSurviveEdits() {
  QFETCH(QStringList, before);
  QFETCH(QStringList, after);
  QFETCH(int, asked);
  QFETCH(int, runs);
  const auto presets = [](const QStringList& groups) {
    QList<engine::Preset> out;
    for (const QString& g : groups) out << engine::Preset{QString(), g.section('=', 0, 0), {g.section('=', 1).toLatin1()}};
    return out;
  };
  engine::Presets p;
  p.set(presets(before));
  const QString id = p.all()[asked].id;
  p.set(presets(after));
  const engine::Preset* found = p.find(id);
  QCOMPARE(found ? int(found - p.all().data()) : -1, runs);
}

void TestEngine::captureKeptOrWhyNot_data() {
  QTest::addColumn<int>("outputs");        // 4 inputs for 8, 8 for 4
  QTest::addColumn<QList<int>>("silent");  // outputs that never report
  QTest::addColumn<int>("unknown");        // in the group kept, -1: none kept
  QTest::addColumn<QString>("outcome");    // the keeper's answer when kept
  QTest::newRow("fewer inputs than outputs: every output") << 8 << QList<int>{} << 0 << QString();
  QTest::newRow("more inputs than outputs") << 4 << QList<int>{} << 0 << QString();
  QTest::newRow("two silent: kept at the bound") << 4 << QList<int>{2, 3} << 2 << QString();
  QTest::newRow("none reports") << 8 << QList<int>{1, 2, 3, 4, 5, 6, 7, 8} << -1 << QStringLiteral("no output reported within 3 s");
  QTest::newRow("not written") << 4 << QList<int>{} << 0 << QStringLiteral("disk full");
}

// A capture ends when every output of the switcher has reported, or at its bound with those
// that did, and its requester hears whether the group was kept.
void TestEngine::captureKeptOrWhyNot() {
  QFETCH(int, outputs);
  QFETCH(QList<int>, silent);
  QFETCH(int, unknown);
  QFETCH(QString, outcome);
  engine::SwitcherEngine e;
  auto* link = new CoreLink(12 - outputs, outputs);
  QVERIFY(openReady(e, link));
  QCOMPARE(e.outputs(), outputs);
  link->silent = silent;
  QList<routing::Snapshot> kept;
  e.setPresetKeeper([&](const routing::Snapshot& snap) { return kept << snap, outcome; });  // why it was not kept
  QStringList told;
  QCOMPARE(e.captureRouting("web", [&](const QString& why) { told << why; }), QString());
  QCOMPARE(e.captureRouting("web"), QStringLiteral("a capture is already running"));
  QTRY_COMPARE_WITH_TIMEOUT(told.size(), 1, kWaitMs);
  QCOMPARE(told.first(), outcome);
  QCOMPARE(kept.size(), unknown < 0 ? 0 : 1);
  for (const routing::Snapshot& k : kept)
    QVERIFY(k.unknownOutputs == unknown && k.description.contains(QLatin1String("unknown")) == (unknown > 0));
  QCOMPARE(e.captureRouting("web"), QString());  // the next may start
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
