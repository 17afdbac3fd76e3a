// switcher-bridge serving SW-P-08 to a real third-party control system: the npm client
// probel-swp-08 (installed into the build by scripts/setup) routes both levels of the simulator
// on a pty, reads its tallies and names, and hears the routes others make; and a protect set
// over SW-P-08 holds against the gateway, a panel and other control systems until its holder
// leaves, through a lost link.

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "FreePort.h"
#include "RouterClients.h"

using support::Route;

namespace {
constexpr int kWaitMs = 10000;
constexpr int kInputs = 16, kOutputs = 8;
constexpr int kProtected = 6;  // the output the protect rows protect

// The device a client was last told holds the output's protect; 0 when free.
int holderOf(const support::Swp08Client& c, int output) {
  const auto at = c.protects.find(output);
  return at == c.protects.end() ? 0 : at->second;
}

// The simulator on a pty reached through a fixed link name (so that a new one after a kill is
// found by the bridge under the same name), with its control channel.
class Sim {
 public:
  explicit Sim(QString link) : link(std::move(link)) {}
  ~Sim() { kill(); }
  bool start() {
    QFile::remove(link);
    process.start(QStringLiteral(SIM_PATH), {"--pty", "--pty-link", link, "--control", "0", "--quiet", "--inputs",
                                             QString::number(kInputs), "--outputs", QString::number(kOutputs)});
    if (!process.waitForStarted(kWaitMs)) return false;
    if (!QTest::qWaitFor([&] { return process.peek(4096).count('\n') >= 2; }, kWaitMs)) return false;
    process.readLine();
    const QByteArray line = process.readLine().trimmed();
    control.abort();
    control.connectToHost(QHostAddress::LocalHost, quint16(line.mid(line.lastIndexOf(':') + 1).toUInt()));
    return control.waitForConnected(kWaitMs);
  }
  void kill() {
    process.kill();
    process.waitForFinished(kWaitMs);
  }
  QByteArray ask(const QByteArray& command) {
    control.write(command + '\n');
    QByteArray reply;
    (void)QTest::qWaitFor([&] {
      while (control.canReadLine()) {
        const QByteArray l = control.readLine();
        reply += l;
        if (l.startsWith("OK") || l.startsWith("ERR")) return true;
      }
      control.waitForReadyRead(5);
      return false;
    }, kWaitMs);
    return reply;
  }
  std::map<int, Route> truth() {
    std::map<int, Route> routes;
    for (const QByteArray& l : ask("status").split('\n')) {
      const QList<QByteArray> f = l.split(' ');
      if (f.size() == 3 && f[0] != "OK") routes[f[0].toInt()] = {f[1].toInt(), f[2].toInt()};
    }
    return routes;
  }
  const QString link;
  QProcess process;
  QTcpSocket control;
};

// probel-swp-08 through tests/swp08/client.js: one request at a time, its answers and the
// crosspoints it hears.
class Npm {
 public:
  bool start(quint16 port) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NODE_PATH", QStringLiteral(NPM_DIR "/node_modules"));
    process.setProcessEnvironment(env);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] { read(); });
    process.start(QStringLiteral("node"), {QStringLiteral(CLIENT_JS), QString::number(port), QString::number(kInputs),
                                           QString::number(kOutputs)});
    return process.waitForStarted(kWaitMs);
  }
  ~Npm() {
    process.closeWriteChannel();
    if (!process.waitForFinished(2000)) process.kill();
    process.waitForFinished(kWaitMs);
  }
  // The client's answer to method(args...), or null after the bound.
  QJsonValue call(const QJsonArray& request) {
    const int before = int(replies.size());
    process.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    if (!QTest::qWaitFor([&] { return int(replies.size()) > before || process.state() != QProcess::Running; }, kWaitMs))
      return {};
    return int(replies.size()) > before ? replies[before] : QJsonValue();
  }
  QByteArray errors() { return process.readAllStandardError(); }
  QList<QJsonValue> replies;
  QList<QJsonObject> crosspoints;
  QProcess process;

 private:
  void read() {
    pending += process.readAllStandardOutput();
    for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
      const QJsonObject o = QJsonDocument::fromJson(pending.left(end)).object();
      pending.remove(0, end + 1);
      if (o.contains("crosspoint")) crosspoints << o["crosspoint"].toObject();
      else replies << (o.contains("reply") ? o["reply"] : QJsonValue(o["error"].toString("?")));
    }
  }
  QByteArray pending;
};

// The client's nested tallies: matrix, level (both 1-based as it keys them), then key -> source.
int tallyAt(const QJsonObject& tallies, int level, int key) {
  return tallies["1"].toObject()[QString::number(level)].toObject()[QString::number(key)].toInt(-1);
}

void writeFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(text);
}
}  // namespace

class TestSwp08Client : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void cleanupTestCase();
  void npmClient_data();
  void npmClient();
  void protectHolds_data();
  void protectHolds();

 private:
  bool gatewaySees(const std::map<int, Route>& truth);
  QTemporaryDir dir;
  std::unique_ptr<Sim> sim;
  QProcess bridge;
  QByteArray log;
  quint16 gatewayPort = 0, panelPort = 0, swp08Port = 0;
  std::unique_ptr<support::GatewayClient> gateway;
  // Hears every protect's change, so that a row starts when the last row's holder is gone.
  std::unique_ptr<support::Swp08Client> watcher;
};

void TestSwp08Client::initTestCase() {
  QVERIFY2(QFile::exists(QStringLiteral(NPM_DIR "/node_modules/probel-swp-08/package.json")),
           "probel-swp-08 is not installed in " NPM_DIR ": scripts/setup installs it");
  sim = std::make_unique<Sim>(dir.filePath("switcher"));
  QVERIFY(sim->start());
  gatewayPort = freePort();
  panelPort = freePort();
  swp08Port = freePort();
  writeFile(dir.filePath("Switcher.ini"), QStringLiteral("[Bridge]\nLink=%1\n[Gateway]\nPort=%2\n[Panel]\nPort=%3\n"
                                                         "[SWP08]\nPort=%4\n")
                                              .arg(sim->link).arg(gatewayPort).arg(panelPort).arg(swp08Port).toUtf8());
  writeFile(dir.filePath("Names.ini"), "[Inputs]\n2=Camera 2\n[Outputs]\n3=Monitor\n");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("SWITCHER_CONFIG_DIR", dir.path());
  env.insert("SWITCHER_LOG_DIR", dir.filePath("log"));
  bridge.setProcessEnvironment(env);
  connect(&bridge, &QProcess::readyReadStandardError, this, [this] { log += bridge.readAllStandardError(); });
  bridge.start(QStringLiteral(BRIDGE_PATH), {});
  QVERIFY(bridge.waitForStarted(kWaitMs));
  QTRY_VERIFY2_WITH_TIMEOUT(log.contains("identified MATRIX"), log.constData(), kWaitMs);
  gateway = std::make_unique<support::GatewayClient>();
  gateway->open(gatewayPort);
  QTRY_VERIFY_WITH_TIMEOUT(gateway->isOpen(), kWaitMs);
  watcher = std::make_unique<support::Swp08Client>(false);
  watcher->open(swp08Port);
  QTRY_VERIFY_WITH_TIMEOUT(watcher->isOpen(), kWaitMs);
}

void TestSwp08Client::cleanupTestCase() {
  bridge.terminate();
  bridge.waitForFinished(kWaitMs);
}

bool TestSwp08Client::gatewaySees(const std::map<int, Route>& truth) {
  gateway->send("Status.");
  return QTest::qWaitFor([&] { return support::Differences(gateway->view, {kInputs, kOutputs, truth, {}, {}}, false, false).isEmpty(); },
                         kWaitMs);
}

// Every row starts from input 1 on every output and level, known to the bridge.
void TestSwp08Client::init() {
  QTRY_COMPARE_WITH_TIMEOUT(holderOf(*watcher, kProtected), 0, kWaitMs);
  for (int o = 1; o <= kOutputs; ++o) QVERIFY(sim->ask("route 1 " + QByteArray::number(o) + " av").startsWith("OK"));
  std::map<int, Route> all;
  for (int o = 1; o <= kOutputs; ++o) all[o] = {1, 1};
  QCOMPARE(sim->truth(), all);
  QVERIFY(gatewaySees(all));
}

void TestSwp08Client::cleanup() {
  if (QTest::currentTestFailed()) qWarning("the bridge said:\n%s", log.right(3000).constData());
}

void TestSwp08Client::npmClient_data() {
  QTest::addColumn<QString>("step");
  QTest::newRow("route on level 1 moves the video alone") << "route video";
  QTest::newRow("route on level 2 moves the audio alone") << "route audio";
  QTest::newRow("interrogate tells the audio of a destination") << "interrogate";
  QTest::newRow("the tally dump of both levels is the switcher's") << "dump";
  QTest::newRow("source names: Names.ini's and the defaults") << "source names";
  QTest::newRow("destination names: Names.ini's and the defaults") << "destination names";
  QTest::newRow("a gateway client's route is heard as connected") << "gateway route";
  QTest::newRow("the front panel's route is heard as connected") << "front panel route";
}

void TestSwp08Client::npmClient() {
  QFETCH(QString, step);
  Npm npm;
  QVERIFY(npm.start(swp08Port));
  auto call = [&](const QJsonArray& request) {
    const QJsonValue v = npm.call(request);
    if (v.isNull() || v.isUndefined()) qWarning("node: %s", npm.errors().constData());
    return v;
  };
  if (step == "route video" || step == "route audio") {
    const bool video = step == "route video";
    // 1-based as the client counts: level 1 video, source 5 = input 5, destination 3 = output 3.
    QVERIFY(!call({"route", video ? 1 : 2, 5, 3}).isNull());
    QTRY_COMPARE_WITH_TIMEOUT(sim->truth()[3], (video ? Route{5, 1} : Route{1, 5}), kWaitMs);
    QCOMPARE(sim->truth()[2], (Route{1, 1}));
  } else if (step == "interrogate") {
    QVERIFY(sim->ask("route 6 4 a").startsWith("OK"));
    QVERIFY(gatewaySees(sim->truth()));
    // Zero-based as the client passes it: destination 3 = output 4, level 1 = audio.
    const QJsonObject t = call({"interrogate", 3, 1, 0}).toObject();
    QCOMPARE(tallyAt(t, 2, 3), 5);
  } else if (step == "dump") {
    QVERIFY(sim->ask("route 4 2 v").startsWith("OK"));
    QVERIFY(sim->ask("route 9 7 a").startsWith("OK"));
    QVERIFY(sim->ask("route 16 8 av").startsWith("OK"));
    const std::map<int, Route> truth = sim->truth();
    QVERIFY(gatewaySees(truth));
    const QJsonObject t = call({"getState"}).toObject();
    QVERIFY2(!t.isEmpty(), QJsonDocument(t).toJson().constData());
    // The client keys a dump's destinations from 1 and gives sources from 0.
    for (int o = 1; o <= kOutputs; ++o) {
      QCOMPARE(tallyAt(t, 1, o) + 1, truth.at(o).video);
      QCOMPARE(tallyAt(t, 2, o) + 1, truth.at(o).audio);
    }
  } else if (step == "source names" || step == "destination names") {
    const bool sources = step == "source names";
    const QJsonObject names = call({sources ? "getSourceNames" : "getDestinationNames"}).toObject();
    QCOMPARE(names.size(), sources ? kInputs : kOutputs);
    QCOMPARE(names["1"].toString(), sources ? QString("IN 1") : QString("OUT 1"));
    QCOMPARE(names[sources ? "2" : "3"].toString(), sources ? QString("Camera 2") : QString("Monitor"));
    QCOMPARE(names[sources ? "16" : "8"].toString(), sources ? QString("IN 16") : QString("OUT 8"));
  } else {
    // The client hears changes once it has spoken to the bridge.
    QVERIFY(!call({"interrogate", 0, 0, 0}).isNull());
    if (step == "gateway route") gateway->send("6V2.");
    else QVERIFY(sim->ask("route 7 5 a").startsWith("OK"));
    QTRY_VERIFY_WITH_TIMEOUT(!npm.crosspoints.isEmpty(), kWaitMs);
    // A connected: matrix and level keyed from 1, destination and source from 0.
    const QJsonObject heard = npm.crosspoints.last();
    if (step == "gateway route") QCOMPARE(tallyAt(heard, 1, 1), 5);
    else QCOMPARE(tallyAt(heard, 2, 4), 6);
    QCOMPARE(npm.crosspoints.size(), 1);
  }
}

void TestSwp08Client::protectHolds_data() {
  QTest::addColumn<bool>("extended");  // the holder's messages
  QTest::addColumn<QString>("against");
  QTest::newRow("a gateway client reads Locked") << false << "gateway";
  QTest::newRow("a panel sees L and its route is NAKed") << true << "panel";
  QTest::newRow("another control system hears the protect") << false << "swp08";
  QTest::newRow("the holder's disconnect frees it") << true << "holder leaves";
  QTest::newRow("the holder's release frees it (general)") << false << "holder releases";
  QTest::newRow("the holder's release frees it (extended)") << true << "holder releases";
  QTest::newRow("a lost link keeps it") << false << "lost link";
}

void TestSwp08Client::protectHolds() {
  QFETCH(bool, extended);
  QFETCH(QString, against);
  constexpr int kOutput = kProtected;
  support::Swp08Client holder(extended);
  holder.device = 7;
  holder.open(swp08Port);
  QTRY_VERIFY_WITH_TIMEOUT(holder.isOpen(), kWaitMs);
  holder.protect(kOutput, true);
  // Told to every control system as a remote device's protect.
  QTRY_COMPARE_WITH_TIMEOUT(holderOf(*watcher, kOutput), 7, kWaitMs);
  QTRY_COMPARE_WITH_TIMEOUT(holderOf(holder, kOutput), 7, kWaitMs);
  QCOMPARE(holder.protectStates[kOutput], 3);

  auto gatewayRoute = [&](int input) {
    gateway->lines.clear();
    gateway->send(QByteArray::number(input) + "V" + QByteArray::number(kOutput) + '.');
  };
  auto gatewayLocked = [&] { return QTest::qWaitFor([&] { return gateway->lines.contains("Locked"); }, kWaitMs); };
  if (against == "gateway") {
    gatewayRoute(3);
    QVERIFY(gatewayLocked());
  } else if (against == "panel") {
    support::PanelClient panel;
    panel.open(panelPort);
    QTRY_VERIFY_WITH_TIMEOUT(panel.present(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(panel.locks[kOutput], 'L', kWaitMs);
    panel.route(3, kOutput);
    QTRY_COMPARE_WITH_TIMEOUT(panel.counts.refused, 1, kWaitMs);
  } else if (against == "swp08") {
    support::Swp08Client other(!extended);
    other.open(swp08Port);
    QTRY_VERIFY_WITH_TIMEOUT(other.isOpen(), kWaitMs);
    other.route(0, 3, kOutput);
    // Refused with the protect as it stands and the real route.
    QTRY_COMPARE_WITH_TIMEOUT(other.counts.refused, 1, kWaitMs);
    QCOMPARE(holderOf(other, kOutput), 7);
    QTRY_COMPARE_WITH_TIMEOUT(other.view.routes[kOutput].video, 1, kWaitMs);
  } else if (against == "holder leaves" || against == "holder releases") {
    if (against == "holder leaves") holder.close();
    else holder.protect(kOutput, false);
    QTRY_COMPARE_WITH_TIMEOUT(holderOf(*watcher, kOutput), 0, kWaitMs);
    gatewayRoute(3);
    QTRY_COMPARE_WITH_TIMEOUT(sim->truth()[kOutput], (Route{3, 1}), kWaitMs);
    QVERIFY(!gateway->lines.contains("Locked"));
    return;
  } else if (against == "lost link") {
    const int identified = int(log.count("identified MATRIX"));
    sim->kill();
    sim = std::make_unique<Sim>(dir.filePath("switcher"));
    QVERIFY(sim->start());
    QTRY_COMPARE_WITH_TIMEOUT(int(log.count("identified MATRIX")), identified + 1, 2 * kWaitMs);
    QVERIFY(sim->ask("route 1 " + QByteArray::number(kOutput) + " av").startsWith("OK"));
    QVERIFY(holder.isOpen());
    gatewayRoute(3);
    QVERIFY(gatewayLocked());
  }
  // Nothing reached the switcher; the holder itself may still route.
  QCOMPARE(sim->truth()[kOutput], (Route{1, 1}));
  holder.route(0, 4, kOutput);
  QTRY_COMPARE_WITH_TIMEOUT(sim->truth()[kOutput], (Route{4, 1}), kWaitMs);
}

QTEST_GUILESS_MAIN(TestSwp08Client)
#include "tst_swp08client.moc"
