// switcher-bridge as a service would run it: it identifies the switcher and serves the
// gateway, panels and MQTT; it follows the switcher's loss and return, reads names again on
// SIGHUP and says goodbye on SIGTERM.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include "BrokerSupport.h"

namespace {
constexpr int kWaitMs = 10000;

quint16 freePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

void writeFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(text);
}

// The simulator on a new pseudo-terminal, 8 inputs by 4 outputs (not square, so that a
// size taken from the wrong field shows).
class Sim {
 public:
  bool start() {
    process.start(QStringLiteral(SIM_PATH), {"--pty", "--quiet", "--inputs", "8", "--outputs", "4"});
    if (!process.waitForStarted(kWaitMs) || !process.waitForReadyRead(kWaitMs)) return false;
    const QByteArray line = process.readLine().trimmed();
    if (!line.startsWith("PTY ")) return false;
    pty = QString::fromLocal8Bit(line.mid(4));
    return true;
  }
  void kill() {
    process.kill();
    process.waitForFinished(kWaitMs);
  }
  ~Sim() { kill(); }
  QProcess process;
  QString pty;
};

// A client that keeps what it was sent.
class Client {
 public:
  explicit Client(quint16 port) {
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { got += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(kWaitMs);
  }
  // Waits for text after what was taken before; takes everything up to its end.
  bool take(const QByteArray& text) {
    const bool ok = QTest::qWaitFor([&] { return got.indexOf(text, from) >= 0; }, kWaitMs);
    if (ok) from = got.indexOf(text, from) + text.size();
    return ok;
  }
  QTcpSocket socket;
  QByteArray got;
  qsizetype from = 0;
};
}  // namespace

class TestBridge : public QObject {
  Q_OBJECT
 private slots:
  void servesAndFollowsTheSwitcher();
  void checkNamesTheBadKey_data();
  void checkNamesTheBadKey();
  void silentSwitcherIsNoticed();
};

void TestBridge::servesAndFollowsTheSwitcher() {
  Broker broker;
  QVERIFY(broker.start());
  Subscriber sub(broker.port, "rack/#");
  QTemporaryDir dir;
  const QString device = dir.filePath("ttyUSB-switcher");  // as a by-id name would be
  auto sim = std::make_unique<Sim>();
  QVERIFY(sim->start());
  QVERIFY(QFile::link(sim->pty, device));
  const quint16 gatewayPort = freePort(), panelPort = freePort();
  writeFile(dir.filePath("Switcher.ini"),
            QStringLiteral("[Bridge]\nLink=%1\n[Gateway]\nPort=%2\n[Panel]\nPort=%3\n"
                           "[MQTT]\nHost=127.0.0.1\nPort=%4\nPrefix=rack\nId=a\nDiscovery=0\n")
                .arg(device).arg(gatewayPort).arg(panelPort).arg(broker.port).toUtf8());
  writeFile(dir.filePath("Names.ini"), "[Outputs]\n1=Stage\n");

  QProcess bridge;
  QByteArray log;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("SWITCHER_CONFIG_DIR", dir.path());
  env.insert("SWITCHER_LOG_DIR", dir.filePath("log"));
  bridge.setProcessEnvironment(env);
  connect(&bridge, &QProcess::readyReadStandardError, &bridge, [&] { log += bridge.readAllStandardError(); });
  bridge.start(QStringLiteral(BRIDGE_PATH), {});
  QVERIFY(bridge.waitForStarted(kWaitMs));
  QTRY_VERIFY_WITH_TIMEOUT(log.contains("identified MATRIX 8X4"), kWaitMs);

  // All three protocols, with the switcher's size.
  Client gateway(gatewayPort);
  gateway.socket.write("Status2.");
  QVERIFY(gateway.take(" A/V : 002 > 002\r\n"));
  Client panel(panelPort);
  QVERIFY(panel.take("Device present: true\nModel name: MATRIX 8X4\n"));
  QVERIFY(panel.take("Video inputs: 8\n"));
  QVERIFY(panel.take("Video outputs: 4\n"));
  QVERIFY(panel.take("OUTPUT LABELS:\n0 Stage\n"));
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("rack/a/link"), QByteArray("up"), kWaitMs);
  QTRY_VERIFY_WITH_TIMEOUT(sub.value("rack/a/info").contains("\"outputs\":4"), kWaitMs);
  QVERIFY(sub.value("rack/a/info").contains("\"inputs\":8"));

  // The switcher goes away (and its by-id name with it, as udev removes it): everyone is
  // told at once, with nobody at a desk.
  sim->kill();
  QFile::remove(device);
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("rack/a/link"), QByteArray("down"), kWaitMs);
  QVERIFY(panel.take("Device present: false\n"));
  gateway.socket.write("Status1.");
  QVERIFY(gateway.take("Link closed\r\n"));

  // It comes back under the same name: found, identified, and the state published again.
  sim = std::make_unique<Sim>();
  QVERIFY(sim->start());
  QVERIFY(QFile::link(sim->pty, device));
  QTRY_COMPARE_WITH_TIMEOUT(log.count("identified MATRIX 8X4"), 2, kWaitMs);
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("rack/a/link"), QByteArray("up"), kWaitMs);
  QVERIFY(panel.take("Device present: true\n"));

  // SIGHUP: a name edited in Names.ini reaches MQTT and the panels.
  writeFile(dir.filePath("Names.ini"), "[Outputs]\n1=Desk\n");
  ::kill(pid_t(bridge.processId()), SIGHUP);
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("rack/a/output/1/name"), QByteArray("Desk"), kWaitMs);
  QVERIFY(panel.take("OUTPUT LABELS:\n0 Desk\n"));

  // SIGTERM: a clean exit, the link's end and "offline" on the broker.
  QElapsedTimer clock;
  clock.start();
  ::kill(pid_t(bridge.processId()), SIGTERM);
  QVERIFY(bridge.waitForFinished(kWaitMs));
  QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
  QCOMPARE(bridge.exitStatus(), QProcess::NormalExit);
  QCOMPARE(bridge.exitCode(), 0);
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("rack/a/status"), QByteArray("offline"), kWaitMs);
  QCOMPARE(sub.value("rack/a/link"), QByteArray("down"));
  QVERIFY(panel.socket.waitForDisconnected(kWaitMs) || panel.socket.state() == QAbstractSocket::UnconnectedState);
}

void TestBridge::checkNamesTheBadKey_data() {
  QTest::addColumn<QByteArray>("ini");
  QTest::addColumn<QByteArray>("error");  // a part of the one line that names the fault
  QTest::newRow("COM number") << QByteArray("[Bridge]\nLink=COM9\n") << QByteArray("[Bridge] Link=COM9");
  QTest::newRow("link check not a number") << QByteArray("[Bridge]\nLink=TCP 127.0.0.1\n[Link]\nCheck=30s\n") << QByteArray("[Link] Check=30s");
  QTest::newRow("missing device") << QByteArray("[Bridge]\nLink=/dev/nonexistent-tty\n") << QByteArray("/dev/nonexistent-tty does not exist");
  QTest::newRow("unknown boolean") << QByteArray("[Bridge]\nLink=TCP 127.0.0.1\n[Panel]\nPort=9990\nReadOnly=maybe\n") << QByteArray("ReadOnly=maybe");
  QTest::newRow("open bind without Allow")
      << QByteArray("[Bridge]\nLink=TCP 127.0.0.1\n[Gateway]\nPort=7000\nBind=0.0.0.0\n") << QByteArray("Gateway: Bind=0.0.0.0 is not a loopback address");
  QTest::newRow("unreadable code file") << QByteArray("[Bridge]\nLink=TCP 127.0.0.1\nCodeFile=/nonexistent.cgf\n") << QByteArray("/nonexistent.cgf cannot be read");
}

void TestBridge::checkNamesTheBadKey() {
  QFETCH(QByteArray, ini);
  QFETCH(QByteArray, error);
  QTemporaryDir dir;
  writeFile(dir.filePath("Switcher.ini"), ini);
  QProcess check;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("SWITCHER_CONFIG_DIR", dir.path());
  check.setProcessEnvironment(env);
  check.start(QStringLiteral(BRIDGE_PATH), {"--check"});
  QVERIFY(check.waitForFinished(kWaitMs));
  QCOMPARE(check.exitCode(), 1);
  const QByteArray err = check.readAllStandardError();
  QVERIFY2(err.contains(error), err.constData());
  QCOMPARE(err.count('\n'), 1);
}

// [Link] Check: a switcher that stops answering behind a serial link that stays up (the
// simulator stopped, its pseudo-terminal still open) is silent for every client until it
// answers again, and is then identified again.
void TestBridge::silentSwitcherIsNoticed() {
  Broker broker;
  QVERIFY(broker.start());
  Subscriber sub(broker.port, "rack/#");
  QTemporaryDir dir;
  Sim sim;
  QVERIFY(sim.start());
  const quint16 panelPort = freePort();
  writeFile(dir.filePath("Switcher.ini"),
            QStringLiteral("[Bridge]\nLink=%1\n[Link]\nCheck=1\n[Panel]\nPort=%2\n"
                           "[MQTT]\nHost=127.0.0.1\nPort=%3\nPrefix=rack\nId=a\nDiscovery=0\n")
                .arg(sim.pty).arg(panelPort).arg(broker.port).toUtf8());
  QProcess bridge;
  QByteArray log;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("SWITCHER_CONFIG_DIR", dir.path());
  env.insert("SWITCHER_LOG_DIR", dir.filePath("log"));
  bridge.setProcessEnvironment(env);
  connect(&bridge, &QProcess::readyReadStandardError, &bridge, [&] { log += bridge.readAllStandardError(); });
  bridge.start(QStringLiteral(BRIDGE_PATH), {});
  QVERIFY(bridge.waitForStarted(kWaitMs));
  QTRY_VERIFY_WITH_TIMEOUT(log.contains("identified MATRIX 8X4"), kWaitMs);
  Client panel(panelPort);
  QVERIFY(panel.take("Device present: true\n"));
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("rack/a/link"), QByteArray("up"), kWaitMs);

  ::kill(pid_t(sim.process.processId()), SIGSTOP);
  QTRY_VERIFY_WITH_TIMEOUT(log.contains("switcher silent"), 2 * kWaitMs);
  QVERIFY(panel.take("Device present: false\n"));
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("rack/a/link"), QByteArray("down"), kWaitMs);

  ::kill(pid_t(sim.process.processId()), SIGCONT);
  QTRY_COMPARE_WITH_TIMEOUT(log.count("identified MATRIX 8X4"), 2, 2 * kWaitMs);
  QVERIFY(panel.take("Device present: true\n"));
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("rack/a/link"), QByteArray("up"), kWaitMs);
  ::kill(pid_t(bridge.processId()), SIGTERM);
  QVERIFY(bridge.waitForFinished(kWaitMs));
}

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
