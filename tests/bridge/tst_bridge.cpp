// switcher-bridge as a service would run it: it identifies the switcher and serves the
// gateway, panels and MQTT; it follows the switcher's loss and return, reads names again on
// SIGHUP and says goodbye on SIGTERM.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "BrokerSupport.h"
#include "FreePort.h"

namespace {
constexpr int kWaitMs = 10000;

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
  void startRefusesWhatCheckRefuses_data();
  void startRefusesWhatCheckRefuses();
  void startFailsWhenAServiceCannotListen();
  void anotherInstancesPortRefusedByCheckOnly();
  void clientsShowInTheStatusLineNotEveryOneInTheJournal();
  void silentSwitcherIsNoticed();
};

namespace {
// The bridge on the settings in dir, its standard error gathered into log as it comes.
bool startBridge(QProcess& bridge, const QTemporaryDir& dir, QByteArray& log, const QByteArray& notifySocket = {}) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("SWITCHER_CONFIG_DIR", dir.path());
  env.insert("SWITCHER_LOG_DIR", dir.filePath("log"));
  if (!notifySocket.isEmpty()) env.insert("NOTIFY_SOCKET", QString::fromUtf8(notifySocket));
  bridge.setProcessEnvironment(env);
  QObject::connect(&bridge, &QProcess::readyReadStandardError, &bridge, [&] { log += bridge.readAllStandardError(); });
  bridge.start(QStringLiteral(BRIDGE_PATH), {});
  return bridge.waitForStarted(kWaitMs);
}

// The bridge started on the given settings until it exits by itself (or the bound).
struct Run {
  explicit Run(const QByteArray& ini) {
    writeFile(dir.filePath("Switcher.ini"), ini);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SWITCHER_CONFIG_DIR", dir.path());
    env.insert("SWITCHER_LOG_DIR", dir.filePath("log"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(BRIDGE_PATH), {});
    finished = process.waitForFinished(kWaitMs);
    err = process.readAllStandardError();
  }
  ~Run() {
    process.kill();
    process.waitForFinished(kWaitMs);
  }
  QTemporaryDir dir;
  QProcess process;
  bool finished = false;
  QByteArray err;
};
}  // namespace

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
            QStringLiteral("[Bridge]\nLink=%1\nCodeFile=%5\n[Gateway]\nPort=%2\n[Panel]\nPort=%3\n"
                           "[MQTT]\nHost=127.0.0.1\nPort=%4\nPrefix=rack\nId=a\nDiscovery=0\n")
                .arg(device).arg(gatewayPort).arg(panelPort).arg(broker.port).arg(dir.filePath("show.cgf")).toUtf8());
  writeFile(dir.filePath("Names.ini"), "[Outputs]\n1=Stage\n");
  auto codeFile = [&](const QByteArray& group) {
    writeFile(dir.filePath("show.cgf"), "<CodeTree User=\"Vantrel\" Description=\"CodeTree\">\r\n"
                                        "<0 Type=\"2\" User=\"Show\" Description=\"" + group + "\"/>\r\n"
                                        "<1 Type=\"3\" User=\"Show\" Description=\"1 to all\" Code=\"1All.\"/>\r\n</CodeTree>\r\n");
  };
  codeFile("Opening");

  QProcess bridge;
  QByteArray log;
  QVERIFY(startBridge(bridge, dir, log));
  QTRY_VERIFY_WITH_TIMEOUT(log.contains("identified MATRIX 8X4"), kWaitMs);
  QVERIFY(log.contains(QStringLiteral("serves: Panel on 127.0.0.1:%1").arg(panelPort).toUtf8()));

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
  QTRY_VERIFY_WITH_TIMEOUT(sub.value("rack/a/groups").contains("Show: Opening"), kWaitMs);

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

  // SIGHUP: a name edited in Names.ini and a group edited in the code group file reach MQTT
  // and the panels.
  writeFile(dir.filePath("Names.ini"), "[Outputs]\n1=Desk\n");
  codeFile("Finale");
  ::kill(pid_t(bridge.processId()), SIGHUP);
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("rack/a/output/1/name"), QByteArray("Desk"), kWaitMs);
  QTRY_VERIFY_WITH_TIMEOUT(sub.value("rack/a/groups").contains("Show: Finale"), kWaitMs);
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
  QTest::newRow("unknown boolean") << QByteArray("[Bridge]\nLink=TCP 127.0.0.1\n[Panel]\nPort=9990\nReadOnly=maybe\n") << QByteArray("ReadOnly=maybe");
  QTest::newRow("open bind without Allow")
      << QByteArray("[Bridge]\nLink=TCP 127.0.0.1\n[Gateway]\nPort=7000\nBind=0.0.0.0\n") << QByteArray("Gateway: Bind=0.0.0.0 is not a loopback address");
  QTest::newRow("unreadable code file") << QByteArray("[Bridge]\nLink=TCP 127.0.0.1\nCodeFile=/\n") << QByteArray("code group file / cannot be read");
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

void TestBridge::startRefusesWhatCheckRefuses_data() {
  QTest::addColumn<QByteArray>("ini");
  QTest::addColumn<QByteArray>("error");
  const QByteArray tcp = "[Bridge]\nLink=TCP 127.0.0.1:1\n";
  QTest::newRow("Pace that is no number") << tcp + "[Link]\nPace=fast\n" << QByteArray("error: [Link] Pace=fast");
  QTest::newRow("log switch that is no boolean") << tcp + "[Log]\nEnabled=maybe\n" << QByteArray("error: [Log] Enabled=maybe");
  QTest::newRow("two services on one port") << tcp + "[Gateway]\nPort=7000\n[Panel]\nPort=7000\n" << QByteArray("Port=7000 is the Gateway's port too");
  QTest::newRow("a password in a second [Web]") << tcp + "[Web]\nPort=8080\n[Web]\nPasswordFile=/etc/pw\n" << QByteArray("[Web] is there already");
}

void TestBridge::startRefusesWhatCheckRefuses() {
  QFETCH(QByteArray, ini);
  QFETCH(QByteArray, error);
  Run run(ini);
  QVERIFY2(run.finished, "the bridge started on settings --check refuses");
  QCOMPARE(run.process.exitCode(), 78);
  QVERIFY2(run.err.contains(error), run.err.constData());
  QVERIFY2(!run.err.contains("started: settings"), run.err.constData());
}

void TestBridge::startFailsWhenAServiceCannotListen() {
  QTcpServer taken;
  QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
  // A serial device not plugged in yet is no reason to refuse: said, and the start goes on.
  Run run(QStringLiteral("[Bridge]\nLink=/dev/nonexistent-tty\n[Gateway]\nPort=%1\n").arg(taken.serverPort()).toUtf8());
  QVERIFY2(run.finished, "the bridge went on without its gateway");
  QVERIFY2(run.err.contains("warning: [Bridge] Link: /dev/nonexistent-tty does not exist"), run.err.constData());
  QCOMPARE(run.process.exitCode(), 1);
  QVERIFY2(run.err.contains("already in use"), run.err.constData());
  QVERIFY2(run.err.contains("not started: Gateway"), run.err.constData());
}

// Instance main's --check calls a port instance monitors (beside it) has too an error; its
// start only warns, for monitors may never run.
void TestBridge::anotherInstancesPortRefusedByCheckOnly() {
  QTemporaryDir etc;
  QVERIFY(QDir(etc.path()).mkpath("main") && QDir(etc.path()).mkpath("monitors"));
  const QByteArray ini = "[Bridge]\nLink=TCP 127.0.0.1:1\n[Panel]\nPort=" + QByteArray::number(freePort()) + "\n";
  writeFile(etc.filePath("main/Switcher.ini"), ini);
  writeFile(etc.filePath("monitors/Switcher.ini"), ini);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("SWITCHER_CONFIG_DIR", etc.filePath("main"));
  env.insert("SWITCHER_LOG_DIR", etc.filePath("log"));
  for (const bool check : {true, false}) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(BRIDGE_PATH), check ? QStringList{"--instance", "main", "--check"} : QStringList{"--instance", "main"});
    QByteArray err;
    if (check) {
      QVERIFY(p.waitForFinished(kWaitMs));
      QCOMPARE(p.exitCode(), 1);
    } else {
      QTRY_VERIFY_WITH_TIMEOUT((err += p.readAllStandardError()).contains("started: settings"), kWaitMs);
      p.terminate();
      QVERIFY(p.waitForFinished(kWaitMs));
    }
    err += p.readAllStandardError();
    const QByteArray said = QByteArray(check ? "error: " : "warning: ") + "Panel: Port=";
    QVERIFY2(err.contains(said) && err.contains("is the Panel port of instance monitors too"), err.constData());
  }
}

void TestBridge::clientsShowInTheStatusLineNotEveryOneInTheJournal() {
  // The service manager's socket: the bridge's status lines arrive here.
  QTemporaryDir dir;
  const QByteArray socketPath = QFile::encodeName(dir.filePath("notify"));
  const int notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  QVERIFY(notifyFd >= 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
  QVERIFY(::bind(notifyFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
  QByteArray status;
  auto statusNow = [&] {
    char buffer[4096];
    for (ssize_t n; (n = ::recv(notifyFd, buffer, sizeof buffer, 0)) > 0;) {
      const QByteArray d(buffer, int(n));
      if (d.startsWith("STATUS=")) status = d.mid(7);
    }
    return status;
  };

  const quint16 port = freePort();
  writeFile(dir.filePath("Switcher.ini"), QStringLiteral("[Bridge]\nLink=TCP 127.0.0.1:1\n[Gateway]\nPort=%1\n").arg(port).toUtf8());
  QProcess bridge;
  QByteArray log;
  QVERIFY(startBridge(bridge, dir, log, socketPath));
  QTRY_VERIFY_WITH_TIMEOUT(statusNow().contains("Gateway: listening"), kWaitMs);

  const QByteArray listening = QStringLiteral("Gateway: listening on 127.0.0.1:%1, ").arg(port).toUtf8();
  {
    Client a(port), b(port), c(port);
    QTRY_VERIFY2_WITH_TIMEOUT(statusNow().contains(listening + "3 clients"), statusNow().constData(), kWaitMs);
  }
  for (int i = 0; i < 10; ++i) {
    Client page(port);
    QVERIFY(page.socket.waitForConnected(kWaitMs));
  }
  QTRY_VERIFY2_WITH_TIMEOUT(statusNow().endsWith(listening + "0 clients"), statusNow().constData(), kWaitMs);
  QVERIFY2(status.startsWith("link "), status.constData());  // the link's state leads
  ::close(notifyFd);
  QVERIFY2(log.count("Gateway: listening") == 1, log.constData());
  ::kill(pid_t(bridge.processId()), SIGTERM);
  QVERIFY(bridge.waitForFinished(kWaitMs));
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
  QVERIFY(startBridge(bridge, dir, log));
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
