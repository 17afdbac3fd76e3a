// The soak: switcher-bridge as a real process, the simulator on a pty with its control
// channel, a real broker, and every kind of client at once. Random routes and renames from
// all of them, SW-P-08 control systems routing both levels and holding protects, Ember+
// consumers routing both matrices and renaming through the label parameters, front-panel
// routes, page sessions opened and closed, the link cut, the
// switcher silent, late and power-cycled; after each quiet period every client's view,
// Names.ini and a fresh Status. must equal the simulator's truth.
//
// soak [SECONDS] [SEED]   (or SOAK_SECONDS, SOAK_SEED). Exit 0 when every check held.
// With SOAK_BENCH=1 (the bench's run) it also reports memory and file descriptors each
// minute and fails when resident memory grew by 10% or more from the first minute to the last.

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

#include "EmberClient.h"
#include "FreePort.h"
#include "RouterClients.h"

using support::Route;
using support::Truth;
using support::View;

#ifndef SOAK_BENCH_DEFAULT
#define SOAK_BENCH_DEFAULT 0
#endif

namespace {

constexpr int kSize = 16;  // inputs and outputs of the simulated switcher
constexpr int kPanels = 32;
constexpr int kGateways = 4;
constexpr int kMqtts = 4;
constexpr int kPages = 8;
// SW-P-08 control systems: the first half speak the general messages, the rest the extended.
constexpr int kSwp08s = 8;
constexpr int kEmbers = 4;
// Outputs from here on may be protected, each by one SW-P-08 client (kProtectOwners), so that
// every take is granted and the wanted protects are the truth. Everyone else's routes to them
// are refused while they are held.
constexpr int kProtectFirst = 13;
constexpr int kProtectOwners[] = {0, 4, 1, 5};
constexpr int kChurnAtOnce = 4;
constexpr int kPaceMs = 20;
constexpr int kFlood = 200;
constexpr int kTickMs = 60;
constexpr int kChurnTickMs = 150;
constexpr int kLateTypeMs = 4000;    // beyond the bridge's 3 s wait for the type reply
// Off longer than the bridge needs to call it silent (Check 1 s, then two unanswered checks
// of 3 s each): a shorter cycle is not seen by any check.
constexpr int kPowerOffMs = 8000;
constexpr int kSilenceMs = 4000;
// A view that does not match the truth by then is a failure.
constexpr int kSettleMs = 15000;
constexpr int kStartMs = 20000;
constexpr int kTakeBoundMs = 1500;   // an MQTT take while another client's flood waits
constexpr int kLeftoverWindowMs = 2000;
constexpr int kMaxLeftover = 10;     // commands on air after their client left
constexpr int kPageStateMs = 3000;
constexpr double kMaxMemoryGrowth = 0.10;
constexpr int kMinuteMs = 60000;
constexpr int kQuietMs = 300;

QTextStream& out() {
  static QTextStream s(stdout);
  return s;
}

void say(const QString& text) {
  out() << text << Qt::endl;
}

// Runs the event loop until pred holds or ms passed; whether it held.
template <typename P>
bool waitFor(P pred, int ms) {
  QDeadlineTimer deadline(ms);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

void pause(int ms) {
  waitFor([] { return false; }, ms);
}

qint64 residentKb(qint64 pid) {
  QFile f(QStringLiteral("/proc/%1/status").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLongLong();
  return -1;
}

int openFds(qint64 pid) {
  return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

class Soak : public QObject {
 public:
  Soak(int seconds, quint32 seed) : seconds(seconds), seed(seed), rng(seed) {}
  int run();

 private:
  bool startProcesses();
  bool startClients();
  QByteArray control(const QByteArray& command);
  bool readTruth(Truth* truth);
  void tick();
  void churnTick();
  void renameSomething(support::EmberClient* by = nullptr);
  void check(const QString& name);
  QStringList namesFileDifferences(const Truth& truth) const;
  bool webAnswers();
  void floodChecks();
  void fail(const QString& check, const QString& what);
  int pick(int n) { return int(rng.bounded(quint32(n))); }
  void sample(const QString& when);
  int simCommands();
  void waitForQuietLink();

  const int seconds;
  const quint32 seed;
  QRandomGenerator rng;
  QTemporaryDir dir;
  QProcess broker, sim, bridge;
  quint16 gatewayPort = 0, panelPort = 0, mqttPort = 0, webPort = 0, controlPort = 0, swp08Port = 0, emberPort = 0;
  QTcpSocket controlSocket;
  std::vector<std::unique_ptr<support::PanelClient>> panels;
  std::vector<std::unique_ptr<support::GatewayClient>> gateways;
  std::vector<std::unique_ptr<support::MqttClient>> mqtts;
  std::vector<std::unique_ptr<support::PageClient>> pages;
  std::vector<std::unique_ptr<support::Swp08Client>> swp08s;
  std::vector<std::unique_ptr<support::EmberClient>> embers;
  std::map<int, bool> protectWanted;  // output -> its owner's last protect request
  struct Churn {
    std::unique_ptr<support::PageClient> page;
    QElapsedTimer age;
    int ordinal = 0;  // sessions opened before it, the persistent pages included
  };
  std::vector<Churn> churn;
  int churnOpened = 0, churnGood = 0, churnFailed = 0;
  support::Counts frontPanel;
  bool traffic = false;
  bool churning = false;
  std::map<int, QString> inputNames, outputNames;  // as last accepted
  std::map<QString, bool> renamePending;           // "input 3" -> waiting for its answer
  int renameCounter = 0;
  QStringList failures;
  QStringList memory;
  std::vector<qint64> rssPerMinute;
  QTimer ticker, churnTicker, minuteTimer;
  QElapsedTimer clock;
};

void Soak::fail(const QString& check, const QString& what) {
  const QString line = QStringLiteral("FAIL %1: %2").arg(check, what);
  failures << line;
  say(line);
}

bool Soak::startProcesses() {
  gatewayPort = freePort();
  panelPort = freePort();
  mqttPort = freePort();
  webPort = freePort();
  swp08Port = freePort();
  emberPort = freePort();
  QFile conf(dir.filePath(QStringLiteral("mosquitto.conf")));
  if (!conf.open(QIODevice::WriteOnly)) return false;
  conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n").arg(mqttPort).toUtf8());
  conf.close();
  broker.setProcessChannelMode(QProcess::MergedChannels);
  broker.setStandardOutputFile(dir.filePath(QStringLiteral("mosquitto.log")));
  broker.start(QStringLiteral(MOSQUITTO_PATH), {QStringLiteral("-c"), conf.fileName()});

  const QString link = dir.filePath(QStringLiteral("switcher"));
  sim.start(QStringLiteral(SIM_PATH), {"--pty", "--pty-link", link, "--control", "0", "--quiet", "--inputs",
                                       QString::number(kSize), "--outputs", QString::number(kSize),
                                       "--greeting", "SIM serial server ready"});
  if (!waitFor([&] { sim.waitForReadyRead(10); return sim.canReadLine() && sim.bytesAvailable() > 0 && sim.peek(4096).count('\n') >= 2; }, kStartMs)) {
    say(QStringLiteral("switcher-sim did not start: %1").arg(QString::fromUtf8(sim.readAllStandardError())));
    return false;
  }
  sim.readLine();
  const QByteArray controlLine = sim.readLine().trimmed();
  controlPort = quint16(controlLine.mid(controlLine.lastIndexOf(':') + 1).toUInt());
  controlSocket.connectToHost(QHostAddress::LocalHost, controlPort);
  if (!controlSocket.waitForConnected(5000)) return false;

  // The presets' file must be there: the bridge refuses a code file it cannot read.
  QFile codes(dir.filePath(QStringLiteral("Presets.cgf")));
  if (!codes.open(QIODevice::WriteOnly)) return false;
  codes.write("<CodeTree User=\"Soak\" Description=\"CodeTree\">\r\n</CodeTree>\r\n");
  codes.close();
  QFile ini(dir.filePath(QStringLiteral("Switcher.ini")));
  if (!ini.open(QIODevice::WriteOnly)) return false;
  ini.write(QStringLiteral("[Bridge]\nLink=%1\nCodeFile=%2\n"
                           "[Gateway]\nPort=%3\nMaxClients=16\n"
                           "[Panel]\nPort=%4\nMaxClients=40\n"
                           "[MQTT]\nHost=127.0.0.1\nPort=%5\nDiscovery=0\n"
                           "[Web]\nPort=%6\n"
                           "[Link]\nPace=%7\nCheck=1\n"
                           "[SWP08]\nPort=%8\n"
                           "[Ember]\nPort=%9\n")
                .arg(link, dir.filePath(QStringLiteral("Presets.cgf")))
                .arg(gatewayPort).arg(panelPort).arg(mqttPort).arg(webPort).arg(kPaceMs).arg(swp08Port).arg(emberPort)
                .toUtf8());
  ini.close();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("SWITCHER_CONFIG_DIR"), dir.path());
  env.insert(QStringLiteral("SWITCHER_LOG_DIR"), dir.filePath(QStringLiteral("log")));
  bridge.setProcessEnvironment(env);
  bridge.setProcessChannelMode(QProcess::MergedChannels);
  bridge.setStandardOutputFile(dir.filePath(QStringLiteral("bridge.log")));
  bridge.start(QStringLiteral(BRIDGE_PATH), {});
  if (!bridge.waitForStarted(5000)) return false;
  // The web listener starts before the SW-P-08 and Ember+ ones: each is waited for, or a client
  // that comes between them is refused for good.
  return waitFor([&] {
    for (const quint16 port : {webPort, swp08Port, emberPort}) {
      QTcpSocket probe;
      probe.connectToHost(QHostAddress::LocalHost, port);
      if (!probe.waitForConnected(100)) return false;
    }
    return true;
  }, kStartMs);
}

QByteArray Soak::control(const QByteArray& command) {
  controlSocket.write(command + '\n');
  QByteArray reply;
  waitFor([&] {
    while (controlSocket.canReadLine()) {
      const QByteArray line = controlSocket.readLine();
      reply += line;
      if (line.startsWith("OK") || line.startsWith("ERR")) return true;
    }
    controlSocket.waitForReadyRead(5);
    return false;
  }, 5000);
  return reply;
}

bool Soak::readTruth(Truth* truth) {
  const QByteArray reply = control("status");
  if (!reply.contains("\nOK outputs=") || !reply.contains("power=on")) return false;
  truth->inputs = kSize;
  truth->outputs = kSize;
  truth->routes.clear();
  for (const QByteArray& line : reply.split('\n')) {
    const QList<QByteArray> f = line.split(' ');
    if (f.size() == 3 && f[0] != "OK") truth->routes[f[0].toInt()] = {f[1].toInt(), f[2].toInt()};
  }
  truth->inputNames = inputNames;
  truth->outputNames = outputNames;
  return int(truth->routes.size()) == kSize;
}

bool Soak::startClients() {
  auto renamed = [this](const QString& kind, int number, const QString& name) {
    (kind == QLatin1String("input") ? inputNames : outputNames)[number] = name;
    renamePending.erase(kind + QLatin1Char(' ') + QString::number(number));
  };
  for (int k = 0; k < kPanels; ++k) {
    panels.push_back(std::make_unique<support::PanelClient>());
    panels.back()->renamed = renamed;
    panels.back()->open(panelPort);
  }
  for (int k = 0; k < kGateways; ++k) {
    gateways.push_back(std::make_unique<support::GatewayClient>());
    gateways.back()->open(gatewayPort);
  }
  for (int k = 0; k < kMqtts; ++k) {
    mqtts.push_back(std::make_unique<support::MqttClient>(QStringLiteral("switcher/switcher"),
                                                          QByteArray("soak-") + QByteArray::number(k)));
    mqtts.back()->open(mqttPort);
  }
  for (int k = 0; k < kPages; ++k) {
    pages.push_back(std::make_unique<support::PageClient>());
    pages.back()->renamed = renamed;
    pages.back()->open(webPort);
  }
  for (int k = 0; k < kSwp08s; ++k) {
    swp08s.push_back(std::make_unique<support::Swp08Client>(k >= kSwp08s / 2));
    swp08s.back()->device = k + 1;
    auto* c = swp08s.back().get();
    connect(c, &support::Swp08Client::connected, this, [c] { c->askDump(0); c->askDump(1); });
    c->open(swp08Port);
  }
  for (int k = 0; k < kEmbers; ++k) {
    embers.push_back(std::make_unique<support::EmberClient>());
    auto* e = embers.back().get();
    e->renamed = renamed;
    // Half of them subscribe to the matrices as well as getting their directory.
    connect(e, &support::EmberClient::connected, this, [e, k] { e->browse(k % 2 == 1); });
    e->open(emberPort);
  }
  auto emberReady = [](const support::EmberClient& e) {
    return e.state.targetsTold(0) >= kSize && e.state.targetsTold(1) >= kSize && e.state.labelsTold(true) >= kSize &&
           e.state.labelsTold(false) >= kSize;
  };
  const bool up = waitFor([&] {
    for (auto& p : panels) if (!p->present() || p->view.routes.size() < size_t(kSize)) return false;
    for (auto& c : swp08s) if (c->view.routes.size() < size_t(kSize)) return false;
    for (auto& e : embers) if (!emberReady(*e)) return false;
    for (auto& g : gateways) if (!g->isOpen()) return false;
    for (auto& m : mqtts) if (m->link() != QLatin1String("up")) return false;
    for (auto& p : pages) if (!p->hasState()) return false;
    return true;
  }, kStartMs);
  if (!up) {
    QStringList late;
    for (size_t k = 0; k < panels.size(); ++k)
      if (!panels[k]->present() || panels[k]->view.routes.size() < size_t(kSize))
        late << QStringLiteral("panel %1 (present %2, %3 routes)").arg(k).arg(panels[k]->present()).arg(panels[k]->view.routes.size());
    for (size_t k = 0; k < swp08s.size(); ++k)
      if (swp08s[k]->view.routes.size() < size_t(kSize))
        late << QStringLiteral("SW-P-08 %1 (open %2, %3 routes)").arg(k).arg(swp08s[k]->isOpen()).arg(swp08s[k]->view.routes.size());
    for (size_t k = 0; k < embers.size(); ++k)
      if (!emberReady(*embers[k]))
        late << QStringLiteral("Ember+ %1 (open %2, targets %3 + %4, labels %5 + %6)")
                    .arg(k).arg(embers[k]->isOpen()).arg(embers[k]->state.targetsTold(0)).arg(embers[k]->state.targetsTold(1))
                    .arg(embers[k]->state.labelsTold(false)).arg(embers[k]->state.labelsTold(true));
    for (size_t k = 0; k < gateways.size(); ++k)
      if (!gateways[k]->isOpen()) late << QStringLiteral("gateway %1").arg(k);
    for (size_t k = 0; k < mqtts.size(); ++k)
      if (mqtts[k]->link() != QLatin1String("up")) late << QStringLiteral("MQTT %1 (link %2)").arg(k).arg(mqtts[k]->link());
    for (size_t k = 0; k < pages.size(); ++k)
      if (!pages[k]->hasState()) late << QStringLiteral("page %1").arg(k);
    fail(QStringLiteral("start"),
         QStringLiteral("not every client was ready within %1 ms: %2").arg(kStartMs).arg(late.join(QStringLiteral(", "))));
    return false;
  }
  // A gateway client hears only the switcher's lines: it asks for the routing, as one would,
  // in case it came after the bridge's own query.
  for (auto& g : gateways) g->send("Status.");
  return waitFor([&] {
    for (auto& g : gateways) if (g->reportsHeard < kSize) return false;
    return true;
  }, kStartMs);
}

void Soak::renameSomething(support::EmberClient* by) {
  // Each name has one owner (a panel or a page) and one rename in flight, so that the name
  // last accepted is the truth.
  const int slot = pick(2 * kSize);
  const QString kind = slot < kSize ? QStringLiteral("input") : QStringLiteral("output");
  const int number = slot % kSize + 1;
  const QString key = kind + QLatin1Char(' ') + QString::number(number);
  if (renamePending.count(key)) return;
  const int owner = slot % (kPanels + kPages);
  ++renameCounter;
  const QString name = (renameCounter % 5 == 0 ? QStringLiteral("Caméra %1") : QStringLiteral("N%1")).arg(renameCounter);
  renamePending[key] = true;
  if (by) by->rename(kind, number, name);
  else if (owner < kPanels) panels[size_t(owner)]->rename(kind, number, name);
  else pages[size_t(owner - kPanels)]->rename(kind, number, name);
}

void Soak::tick() {
  if (!traffic) return;
  const int input = pick(kSize + 1);  // 0 closes
  const int output = 1 + pick(kSize);
  const char level = "BVA"[pick(3)];
  switch (pick(9)) {
    case 0:
      panels[size_t(pick(kPanels))]->route(input == 0 ? 1 : input, output);
      break;
    case 1: {
      auto& g = gateways[size_t(pick(kGateways))];
      // Now and then a command that changes routes without reporting them.
      if (pick(20) == 0) g->send("Undo.");
      else g->send(QByteArray::number(input) + level + QByteArray::number(output) + '.');
      break;
    }
    case 2: {
      const char* leaf = level == 'B' ? "set" : level == 'V' ? "video/set" : "audio/set";
      mqtts[size_t(pick(kMqtts))]->publish(QStringLiteral("output/%1/%2").arg(output).arg(QLatin1String(leaf)),
                                           QByteArray::number(input));
      break;
    }
    case 3:
      pages[size_t(pick(kPages))]->route(input, output, level);
      break;
    case 4: {
      ++frontPanel.sent;
      const QByteArray lv = level == 'B' ? "av" : level == 'V' ? "v" : "a";
      if (!control("route " + QByteArray::number(input) + ' ' + QByteArray::number(output) + ' ' + lv).startsWith("OK"))
        ++frontPanel.refused;
      break;
    }
    case 5: {
      // An SW-P-08 client routes a level or both (it cannot close), or an owner takes or
      // releases its protect.
      if (pick(5) == 0) {
        const int o = kProtectFirst + pick(kSize - kProtectFirst + 1);
        const bool take = !protectWanted[o];
        protectWanted[o] = take;
        swp08s[size_t(kProtectOwners[o - kProtectFirst])]->protect(o, take);
        break;
      }
      auto& c = swp08s[size_t(pick(kSwp08s))];
      const int in = input == 0 ? 1 : input;
      if (level != 'A') c->route(0, in, output);
      if (level != 'V') c->route(1, in, output);
      break;
    }
    case 6: {
      // An Ember+ consumer routes a matrix or both (input 0 disconnects), or renames a label.
      support::EmberClient* e = embers[size_t(pick(kEmbers))].get();
      if (pick(4) == 0) {
        renameSomething(e);
        break;
      }
      if (level != 'A') e->route(0, input, output);
      if (level != 'V') e->route(1, input, output);
      break;
    }
    default:
      renameSomething();
  }
}

void Soak::churnTick() {
  if (!churning) return;
  for (auto it = churn.begin(); it != churn.end();) {
    if (it->page->hasState()) {
      ++churnGood;
      it->page->close();
      it = churn.erase(it);
    } else if (it->age.elapsed() > kPageStateMs) {
      if (++churnFailed <= 3)
        fail(QStringLiteral("page sessions"), QStringLiteral("page session %1 got no state within %2 ms").arg(it->ordinal).arg(kPageStateMs));
      it = churn.erase(it);
    } else {
      ++it;
    }
  }
  if (int(churn.size()) < kChurnAtOnce) {
    ++churnOpened;
    churn.push_back({std::make_unique<support::PageClient>(), {}, kPages + churnOpened});
    churn.back().age.start();
    churn.back().page->open(webPort);
  }
}

bool Soak::webAnswers() {
  QNetworkAccessManager nam;
  QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(webPort)));
  request.setTransferTimeout(3000);
  QNetworkReply* reply = nam.get(request);
  waitFor([&] { return reply->isFinished(); }, 4000);
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  reply->deleteLater();
  return status == 200;
}

QStringList Soak::namesFileDifferences(const Truth& truth) const {
  QFile f(dir.filePath(QStringLiteral("Names.ini")));
  View v;
  if (f.open(QIODevice::ReadOnly)) {
    std::map<int, QString>* section = nullptr;
    for (QByteArray line : f.readAll().split('\n')) {
      line = line.trimmed();
      if (line == "[Inputs]") section = &v.inputNames;
      else if (line == "[Outputs]") section = &v.outputNames;
      else if (line.startsWith('[')) section = nullptr;
      else if (section && line.contains('='))
        (*section)[line.left(line.indexOf('=')).toInt()] = QString::fromUtf8(line.mid(line.indexOf('=') + 1));
    }
  }
  Truth namesOnly = truth;
  namesOnly.routes.clear();
  return support::Differences(v, namesOnly, false, true);
}

void Soak::check(const QString& name) {
  traffic = false;
  Truth truth;
  // The switcher's own truth once it is on; then every view must come to it.
  if (!waitFor([&] { return readTruth(&truth); }, kSettleMs)) {
    fail(name, QStringLiteral("the simulator gave no routing"));
    return;
  }
  waitFor([&] { return renamePending.empty(); }, kSettleMs);
  readTruth(&truth);
  auto mismatches = [&] {
    QStringList all;
    for (size_t k = 0; k < panels.size(); ++k)
      for (const QString& d : support::Differences(panels[k]->view, truth, true, true))
        all << QStringLiteral("panel %1: %2").arg(k).arg(d);
    for (size_t k = 0; k < gateways.size(); ++k)
      for (const QString& d : support::Differences(gateways[k]->view, truth, false, false))
        all << QStringLiteral("gateway client %1: %2").arg(k).arg(d);
    for (size_t k = 0; k < mqtts.size(); ++k)
      for (const QString& d : support::Differences(mqtts[k]->snapshot(), truth, false, true))
        all << QStringLiteral("MQTT client %1: %2").arg(k).arg(d);
    for (size_t k = 0; k < pages.size(); ++k)
      for (const QString& d : support::Differences(pages[k]->view, truth, false, true))
        all << QStringLiteral("page %1: %2").arg(k).arg(d);
    for (size_t k = 0; k < swp08s.size(); ++k) {
      for (const QString& d : support::Differences(swp08s[k]->view, truth, false, false))
        all << QStringLiteral("SW-P-08 client %1: %2").arg(k).arg(d);
      for (int o = kProtectFirst; o <= kSize; ++o) {
        const auto at = swp08s[k]->protects.find(o);
        const int want = protectWanted[o] ? kProtectOwners[o - kProtectFirst] + 1 : 0;
        const int got = at == swp08s[k]->protects.end() ? 0 : at->second;
        if (got != want) all << QStringLiteral("SW-P-08 client %1: out %2 protected by device %3, want %4").arg(k).arg(o).arg(got).arg(want);
      }
    }
    for (size_t k = 0; k < embers.size(); ++k)
      for (const QString& d : support::Differences(embers[k]->state.view(), truth, false, true))
        all << QStringLiteral("Ember+ client %1: %2").arg(k).arg(d);
    for (const QString& d : namesFileDifferences(truth)) all << QStringLiteral("Names.ini: ") + d;
    // The switcher answers again: every front end must say so.
    for (size_t k = 0; k < panels.size(); ++k)
      if (!panels[k]->present()) all << QStringLiteral("panel %1: device not present").arg(k);
    for (size_t k = 0; k < mqtts.size(); ++k)
      if (mqtts[k]->link() != QLatin1String("up")) all << QStringLiteral("MQTT client %1: link %2").arg(k).arg(mqtts[k]->link());
    for (size_t k = 0; k < pages.size(); ++k)
      if (pages[k]->link != QLatin1String("ready")) all << QStringLiteral("page %1: link %2").arg(k).arg(pages[k]->link);
    for (size_t k = 0; k < embers.size(); ++k) {
      const auto& st = embers[k]->state;
      const auto link = st.parameters.find({1, 4, 1});
      const auto node = st.nodes.find({1});
      const QString word = link == st.parameters.end() ? QString() : link->second.value;
      if (word != QLatin1String("ready") || node == st.nodes.end() || node->second.isOnline != 1)
        all << QStringLiteral("Ember+ client %1: link \"%2\", online %3").arg(k).arg(word).arg(node == st.nodes.end() ? -1 : node->second.isOnline);
    }
    return all;
  };
  QElapsedTimer settle;
  settle.start();
  if (!waitFor([&] { return mismatches().isEmpty(); }, kSettleMs)) {
    const QStringList all = mismatches();
    // One line per kind of client, with an example: enough to see which front end is wrong.
    QMap<QString, QString> first;
    QMap<QString, int> count;
    for (const QString& m : all) {
      const QString who = m.left(m.indexOf(QLatin1Char(':'))).section(QLatin1Char(' '), 0, -2);
      const QString kind = who.isEmpty() ? m.left(m.indexOf(QLatin1Char(':'))) : who;
      if (!first.contains(kind)) first[kind] = m;
      ++count[kind];
    }
    for (auto it = first.cbegin(); it != first.cend(); ++it)
      fail(name, QStringLiteral("%1 differences from the switcher, e.g. %2").arg(count[it.key()]).arg(it.value()));
  } else {
    say(QStringLiteral("  %1: every view equals the switcher after %2 ms").arg(name).arg(settle.elapsed()));
  }
  // A fresh Status. through a gateway client.
  auto& g = gateways.front();
  g->view = {};
  const int before = g->reportsHeard;
  g->send("Status.");
  waitFor([&] { return g->reportsHeard - before >= kSize; }, kSettleMs / 3);
  readTruth(&truth);
  const QStringList fresh = support::Differences(g->view, truth, false, false);
  if (!fresh.isEmpty()) fail(name, QStringLiteral("a fresh Status.: ") + fresh.join(QStringLiteral("; ")));
  if (!webAnswers()) fail(name, QStringLiteral("GET / on the web port was not answered 200 (after %1 page sessions)").arg(churnOpened + kPages));
  sample(name);
}

void Soak::floodChecks() {
  // One gateway client's flood must not hold another client's take back.
  support::GatewayClient flooder;
  flooder.open(gatewayPort);
  if (!waitFor([&] { return flooder.isOpen(); }, 5000)) return fail(QStringLiteral("flood"), QStringLiteral("no connection"));
  QByteArray flood;
  for (int k = 0; k < kFlood; ++k) flood += "Status1.";
  flooder.send(flood);
  pause(100);
  Truth truth;
  readTruth(&truth);
  const int output = 2 + pick(kProtectFirst - 2);  // never a protected one
  const int input = truth.routes[output].video % kSize + 1;
  auto& m = mqtts.front();
  QElapsedTimer take;
  take.start();
  m->publish(QStringLiteral("output/%1/video/set").arg(output), QByteArray::number(input));
  const bool seen = waitFor([&] { const View v = m->snapshot(); auto at = v.routes.find(output); return at != v.routes.end() && at->second.video == input; }, 4 * kFlood * kPaceMs);
  if (!seen || take.elapsed() > kTakeBoundMs)
    fail(QStringLiteral("flood"), QStringLiteral("an MQTT take behind one gateway client's %1 commands took %2 ms (bound %3 ms)")
                                      .arg(kFlood).arg(take.elapsed()).arg(kTakeBoundMs));
  else
    say(QStringLiteral("  flood: an MQTT take behind %1 waiting commands took %2 ms").arg(kFlood).arg(take.elapsed()));
  flooder.close();
  waitForQuietLink();

  // A client that leaves takes its waiting commands with it.
  support::GatewayClient leaver;
  leaver.open(gatewayPort);
  if (!waitFor([&] { return leaver.isOpen(); }, 5000)) return fail(QStringLiteral("leaver"), QStringLiteral("no connection"));
  leaver.send(flood);
  waitFor([&] { return false; }, 100);
  leaver.close();
  pause(500);
  const int start = simCommands();
  pause(kLeftoverWindowMs);
  const int later = simCommands() - start;
  if (later > kMaxLeftover)
    fail(QStringLiteral("leaver"), QStringLiteral("%1 commands went on air between 0.5 s and %2 s after their client left")
                                       .arg(later).arg((500 + kLeftoverWindowMs) / 1000.0));
  else
    say(QStringLiteral("  leaver: %1 commands went on air after their client left").arg(later));
  waitForQuietLink();
}

int Soak::simCommands() {
  const QByteArray s = control("status");
  const int at = s.indexOf("commands=");
  return at < 0 ? -1 : s.mid(at + 9).split(' ').first().toInt();
}

void Soak::waitForQuietLink() {
  // Until the switcher hears nothing for a while (what waited has gone or was dropped).
  int last = simCommands();
  waitFor([&] {
    pause(kQuietMs);
    const int now = simCommands();
    const bool quiet = now == last;
    last = now;
    return quiet;
  }, 2 * kFlood * kPaceMs);
}

void Soak::sample(const QString& when) {
  const qint64 pid = bridge.processId();
  memory << QStringLiteral("%1 s  %2: RSS %3 KiB, %4 fds").arg(clock.elapsed() / 1000).arg(when).arg(residentKb(pid)).arg(openFds(pid));
}

int Soak::run() {
  if (!dir.isValid()) return 2;
  say(QStringLiteral("soak: %1 s, seed %2 (run again with SOAK_SEED=%2)").arg(seconds).arg(seed));
  clock.start();
  if (!startProcesses()) {
    say(QStringLiteral("could not start broker, simulator or bridge"));
    return 2;
  }
  const bool bench = SOAK_BENCH_DEFAULT != 0 || qEnvironmentVariableIntValue("SOAK_BENCH") != 0;
  connect(&ticker, &QTimer::timeout, this, [this] { tick(); });
  connect(&churnTicker, &QTimer::timeout, this, [this] { churnTick(); });
  connect(&minuteTimer, &QTimer::timeout, this, [this] {
    rssPerMinute.push_back(residentKb(bridge.processId()));
    say(QStringLiteral("  minute %1: bridge RSS %2 KiB, %3 fds, %4 page sessions")
            .arg(rssPerMinute.size()).arg(rssPerMinute.back()).arg(openFds(bridge.processId())).arg(churnOpened + kPages));
  });
  ticker.start(kTickMs);
  churnTicker.start(kChurnTickMs);
  if (bench) minuteTimer.start(kMinuteMs);

  if (startClients()) {
    check(QStringLiteral("start"));
    int round = 0;
    do {
      ++round;
      say(QStringLiteral("round %1 at %2 s").arg(round).arg(clock.elapsed() / 1000));
      churning = true;
      traffic = true;
      pause(4000);
      check(QStringLiteral("after traffic"));

      floodChecks();

      // Silent: commands still act, nothing is answered.
      control("silent");
      traffic = true;
      pause(kSilenceMs / 2);
      traffic = false;
      pause(kSilenceMs / 2);
      control("answer");
      check(QStringLiteral("after silence"));

      // Off (commands lost), then the routing at start and a greeting, on a link that stays up.
      control("power-cycle " + QByteArray::number(kPowerOffMs));
      pause(kPowerOffMs);
      check(QStringLiteral("after a power cycle"));

      // The link cut, front-panel routes while it is down, and a switcher slow to answer.
      control("late-type " + QByteArray::number(kLateTypeMs));
      control("drop");
      for (int k = 0; k < 5; ++k)
        control("route " + QByteArray::number(1 + pick(kSize)) + ' ' + QByteArray::number(1 + pick(kSize)) + " av");
      traffic = true;
      pause(3000);
      traffic = false;
      pause(kLateTypeMs);
      check(QStringLiteral("after a link loss and a late answer"));
      control("late-type 0");
    } while (clock.elapsed() < qint64(seconds) * 1000 && failures.size() < 40);
  }
  traffic = churning = false;
  churnTicker.stop();
  ticker.stop();

  say(QStringLiteral("memory and file descriptors of switcher-bridge:"));
  for (const QString& m : memory) say(QStringLiteral("  ") + m);
  if (bench && rssPerMinute.size() >= 2) {
    const double growth = double(rssPerMinute.back() - rssPerMinute.front()) / double(rssPerMinute.front());
    say(QStringLiteral("resident memory from the first minute to the last: %1%").arg(growth * 100, 0, 'f', 1));
    if (growth >= kMaxMemoryGrowth) fail(QStringLiteral("memory"), QStringLiteral("grew by %1%").arg(growth * 100, 0, 'f', 1));
  }
  say(QStringLiteral("commands sent / refused by origin:"));
  support::Counts p, g, m, w, s8, em;
  for (auto& c : embers) em.sent += c->counts.sent, em.refused += c->counts.refused;
  for (auto& c : swp08s) s8.sent += c->counts.sent, s8.refused += c->counts.refused;
  for (auto& c : panels) p.sent += c->counts.sent, p.refused += c->counts.refused;
  for (auto& c : gateways) g.sent += c->counts.sent, g.refused += c->counts.refused;
  // Every MQTT client hears every error: one client's count is the refusals of all.
  for (auto& c : mqtts) m.sent += c->counts().sent;
  m.refused = mqtts.empty() ? 0 : mqtts.front()->counts().refused;
  for (auto& c : pages) w.sent += c->counts.sent, w.refused += c->counts.refused;
  say(QStringLiteral("  panels %1 / %2, gateway %3 / %4, MQTT %5 / %6, pages %7 / %8, front panel %9 / %10")
          .arg(p.sent).arg(p.refused).arg(g.sent).arg(g.refused).arg(m.sent).arg(m.refused).arg(w.sent).arg(w.refused)
          .arg(frontPanel.sent).arg(frontPanel.refused));
  say(QStringLiteral("  SW-P-08 %1 / %2 (refused: a protect)").arg(s8.sent).arg(s8.refused));
  say(QStringLiteral("  Ember+ %1 / %2 (refused: answered locked)").arg(em.sent).arg(em.refused));
  say(QStringLiteral("  switcher: ") + QString::fromUtf8(control("status").split('\n').value(kSize)));
  say(QStringLiteral("page sessions: %1 opened, %2 got their state, %3 did not").arg(churnOpened).arg(churnGood).arg(churnFailed));

  bridge.terminate();
  if (!bridge.waitForFinished(5000)) bridge.kill();
  sim.terminate();
  broker.terminate();
  sim.waitForFinished(3000);
  broker.waitForFinished(3000);
  if (!failures.isEmpty()) {
    QFile log(dir.filePath(QStringLiteral("bridge.log")));
    if (log.open(QIODevice::ReadOnly)) {
      const QByteArray text = log.readAll();
      say(QStringLiteral("last lines of the bridge's log:"));
      for (const QByteArray& line : text.split('\n').mid(qMax(0, int(text.count('\n')) - 25))) say(QString::fromUtf8(line));
    }
    say(QStringLiteral("soak FAILED: %1 checks (seed %2)").arg(failures.size()).arg(seed));
    return 1;
  }
  say(QStringLiteral("soak passed (seed %1)").arg(seed));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  int seconds = args.size() > 1 ? args[1].toInt() : qEnvironmentVariableIntValue("SOAK_SECONDS");
  if (seconds <= 0) seconds = SOAK_DEFAULT_SECONDS;
  bool seeded = false;
  quint32 seed = args.size() > 2 ? args[2].toUInt(&seeded) : qEnvironmentVariable("SOAK_SEED").toUInt(&seeded);
  if (!seeded) seed = quint32(QDateTime::currentMSecsSinceEpoch());
  Soak soak(seconds, seed);
  return soak.run();
}
