// switcher-sim as a program: TCP on a free loopback port, a pseudo-terminal, a serial device
// (the slave of a pty the test owns), the fault options, bad options and a clean stop.

#include <QtNetwork>
#include <QtTest>

#include <chrono>
#include <memory>
#include <vector>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds kStartTimeout{10000};
constexpr std::chrono::milliseconds kReplyTimeout{5000};
constexpr std::chrono::milliseconds kStopTimeout{5000};
// How long a --silent simulator is watched for a reply it must not send.
constexpr std::chrono::milliseconds kSilenceWindow{300};

QByteArray av(int input, int output) {
  return QString::asprintf(" A/V : %03d > %03d\r\n", input, output).toLatin1();
}

// Reads one line with a bound (from a socket or the simulator's stdout).
QByteArray readLine(QIODevice& device) {
  QDeadlineTimer deadline(kReplyTimeout);
  while (!device.canReadLine()) {
    if (deadline.hasExpired() || !device.waitForReadyRead(int(deadline.remainingTime()))) return {};
  }
  return device.readLine();
}

// A control channel command and its reply: the lines up to and including the OK or ERR line.
QByteArray control(QTcpSocket& socket, const QByteArray& command) {
  socket.write(command + '\n');
  QByteArray all;
  for (QByteArray line = "-"; !line.isEmpty() && !line.startsWith("OK") && !line.startsWith("ERR");) {
    all += line = readLine(socket);
  }
  return all;
}

// One switcher-sim process, stopped when the test ends.
class Sim {
 public:
  ~Sim() {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(int(kStopTimeout.count()))) process.kill();
    process.waitForFinished(int(kStopTimeout.count()));
  }

  // Starts the simulator and reads its first line ("TCP ...", "PTY ..." or "SERIAL ...").
  bool start(const QStringList& args) {
    process.start(QStringLiteral(SIM_PATH), args);
    if (!process.waitForStarted(int(kStartTimeout.count()))) return false;
    QDeadlineTimer deadline(kStartTimeout);
    while (!process.canReadLine()) {
      if (deadline.hasExpired() || !process.waitForReadyRead(int(deadline.remainingTime()))) {
        return false;
      }
    }
    firstLine = process.readLine().trimmed();
    if (!args.contains("--control")) return true;
    const QByteArray line = readLine(process).trimmed();
    if (!line.startsWith("CONTROL 127.0.0.1:")) return false;
    controlSocket.connectToHost(QHostAddress::LocalHost, quint16(line.mid(line.lastIndexOf(':') + 1).toUInt()));
    return controlSocket.waitForConnected(int(kReplyTimeout.count()));
  }

  QByteArray control(const QByteArray& command) { return ::control(controlSocket, command); }

  quint16 tcpPort() const { return quint16(firstLine.mid(firstLine.lastIndexOf(':') + 1).toUInt()); }
  QByteArray device() const { return firstLine.mid(firstLine.indexOf(' ') + 1); }

  // Waits for a stdout line containing text.
  bool waitForLog(const QByteArray& text) {
    QDeadlineTimer deadline(kReplyTimeout);
    for (;;) {
      while (process.canReadLine()) {
        if (process.readLine().contains(text)) return true;
      }
      if (deadline.hasExpired() || !process.waitForReadyRead(int(deadline.remainingTime()))) {
        return false;
      }
    }
  }

  QProcess process;
  QByteArray firstLine;
  QTcpSocket controlSocket;
};

// Reads from a socket until `size` bytes came or the time is up; counts the reads.
QByteArray readBytes(QTcpSocket& socket, qsizetype size, int* reads = nullptr) {
  QByteArray got;
  QDeadlineTimer deadline(kReplyTimeout);
  while (got.size() < size) {
    if (socket.bytesAvailable() == 0 &&
        (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))) {
      break;
    }
    got += socket.readAll();
    if (reads) ++*reads;
  }
  return got;
}

QByteArray readFd(int fd, qsizetype size) {
  QByteArray got;
  QDeadlineTimer deadline(kReplyTimeout);
  while (got.size() < size && !deadline.hasExpired()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(deadline.remainingTime())) <= 0) break;
    char buf[4096];
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r <= 0) break;
    got.append(buf, int(r));
  }
  return got;
}

bool writeFd(int fd, const QByteArray& bytes) {
  return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

int openRawTty(const QByteArray& path) {
  const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Writes and waits until the bytes have left, so that the simulator sees them while the test
// blocks on something else.
void send(QTcpSocket& socket, const QByteArray& bytes) {
  socket.write(bytes);
  while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(int(kReplyTimeout.count()))) {
  }
}

bool connectTo(QTcpSocket& socket, quint16 port) {
  socket.connectToHost(QHostAddress::LocalHost, port);
  return socket.waitForConnected(int(kReplyTimeout.count()));
}

}  // namespace

class TestSimExe : public QObject {
  Q_OBJECT
 private slots:
  void tcpRoundTripAndLog();
  void tcpClientsShareMatrixNotParseState();
  void clientThatNeverReadsDoesNotBlockOthers();
  void ptyServesReopenedDevice();
  void serialDevice();
  void silentNeverAnswers();
  void chunkSplitsReplies();
  void replyDelayAndPace_data();
  void replyDelayAndPace();
  void stopsCleanlyOnSignal_data();
  void stopsCleanlyOnSignal();
  void refusesBadSetUp_data();
  void refusesBadSetUp();
  void refusesPortInUse();
  void greetingOnConnectAndAfterPowerCycle();
  void lateType_data();
  void lateType();
  void refuseEvery();
  void controlRoutesAsFrontPanel_data();
  void controlRoutesAsFrontPanel();
  void controlFaults_data();
  void controlFaults();
  void controlChannelBounds();
  void ptyLinkGreetsAndServesAnewAfterDrop();
};

void TestSimExe::tcpRoundTripAndLog() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0"}));
  QVERIFY2(sim.firstLine.startsWith("TCP 127.0.0.1:"), sim.firstLine.constData());
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  send(socket, "/*Type;Status1.3B4.");
  const QByteArray expected = "MATRIX 256X256\r\n" + av(1, 1) + av(3, 4);
  QCOMPARE(readBytes(socket, expected.size()), expected);
  QVERIFY(sim.waitForLog(": 3B4."));
}

void TestSimExe::tcpClientsShareMatrixNotParseState() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--outputs", "16"}));
  QTcpSocket a;
  QTcpSocket b;
  QVERIFY(connectTo(a, sim.tcpPort()));
  QVERIFY(connectTo(b, sim.tcpPort()));
  send(a, "9B");
  send(b, "Status5.");
  QCOMPARE(readBytes(b, av(5, 5).size()), av(5, 5));
  send(a, "5.");
  QCOMPARE(readBytes(a, av(9, 5).size()), av(9, 5));
  send(b, "Status5.");
  QCOMPARE(readBytes(b, av(9, 5).size()), av(9, 5));
}

void TestSimExe::clientThatNeverReadsDoesNotBlockOthers() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet"}));
  QTcpSocket greedy;
  QVERIFY(connectTo(greedy, sim.tcpPort()));
  // About 40 MB of replies asked for and never read.
  QByteArray flood;
  for (int i = 0; i < 10000; ++i) flood += "Status.";
  send(greedy, flood);

  QTcpSocket polite;
  QVERIFY(connectTo(polite, sim.tcpPort()));
  send(polite, "Status7.");
  QCOMPARE(readBytes(polite, av(7, 7).size()), av(7, 7));
}

void TestSimExe::ptyServesReopenedDevice() {
  Sim sim;
  QVERIFY(sim.start({"--pty", "--quiet"}));
  QVERIFY2(sim.firstLine.startsWith("PTY /dev/"), sim.firstLine.constData());
  // The console opens and closes the device at will; each opening must find it working.
  for (int round = 0; round < 2; ++round) {
    const int fd = openRawTty(sim.device());
    QVERIFY(fd >= 0);
    QVERIFY(writeFd(fd, "Status1."));
    QCOMPARE(readFd(fd, av(1, 1).size()), av(1, 1));
    ::close(fd);
  }
}

void TestSimExe::serialDevice() {
  int master = -1;
  int slave = -1;
  char path[256] = {};
  QCOMPARE(::openpty(&master, &slave, path, nullptr, nullptr), 0);
  Sim sim;
  QVERIFY(sim.start({"--serial", path, "--quiet"}));
  QCOMPARE(sim.firstLine, "SERIAL " + QByteArray(path));
  QVERIFY(writeFd(master, "Status2."));
  QCOMPARE(readFd(master, av(2, 2).size()), av(2, 2));
  ::close(master);
  ::close(slave);
}

void TestSimExe::silentNeverAnswers() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--silent"}));
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  send(socket, "Status1.");
  QVERIFY(sim.waitForLog(": Status1."));
  QVERIFY(!socket.waitForReadyRead(int(kSilenceWindow.count())));
  QCOMPARE(socket.bytesAvailable(), 0);
}

void TestSimExe::chunkSplitsReplies() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--chunk", "3", "--outputs", "4"}));
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  send(socket, "Status.");
  const QByteArray expected = av(1, 1) + av(2, 2) + av(3, 3) + av(4, 4);
  int reads = 0;
  QCOMPARE(readBytes(socket, expected.size(), &reads), expected);
  QVERIFY2(reads > 1, qPrintable(QStringLiteral("%1 reads").arg(reads)));
}

void TestSimExe::replyDelayAndPace_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<QByteArray>("command");
  QTest::addColumn<QByteArray>("reply");
  QTest::addColumn<int>("atLeastMs");
  QTest::newRow("reply delay of 300 ms") << QStringList{"--reply-delay", "300"}
                                         << QByteArray("Status1.") << av(1, 1) << 300;
  // 8 lines of 18 bytes at 960 bytes/s take 150 ms.
  QByteArray eight;
  for (int k = 1; k <= 8; ++k) eight += av(k, k);
  QTest::newRow("pace at 9600 baud") << QStringList{"--pace", "--outputs", "8"}
                                     << QByteArray("Status.") << eight << 140;
}

void TestSimExe::replyDelayAndPace() {
  QFETCH(QStringList, args);
  QFETCH(QByteArray, command);
  QFETCH(QByteArray, reply);
  QFETCH(int, atLeastMs);
  Sim sim;
  QVERIFY(sim.start(QStringList{"--port", "0", "--quiet"} + args));
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  QElapsedTimer clock;
  clock.start();
  send(socket, command);
  QCOMPARE(readBytes(socket, reply.size()), reply);
  QVERIFY2(clock.elapsed() >= atLeastMs, qPrintable(QString::number(clock.elapsed())));
}

void TestSimExe::stopsCleanlyOnSignal_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<int>("signal");
  QTest::newRow("TCP, SIGTERM") << QStringList{"--port", "0"} << int(SIGTERM);
  QTest::newRow("TCP, SIGINT") << QStringList{"--port", "0"} << int(SIGINT);
  QTest::newRow("pty, SIGTERM") << QStringList{"--pty"} << int(SIGTERM);
}

void TestSimExe::stopsCleanlyOnSignal() {
  QFETCH(QStringList, args);
  QFETCH(int, signal);
  Sim sim;
  QVERIFY(sim.start(args));
  QCOMPARE(::kill(pid_t(sim.process.processId()), signal), 0);
  QVERIFY(sim.process.waitForFinished(int(kStopTimeout.count())));
  QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(sim.process.exitCode(), 0);
}

void TestSimExe::refusesBadSetUp_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<int>("exitCode");
  QTest::addColumn<QByteArray>("message");
  QTest::newRow("inputs 0") << QStringList{"--inputs", "0"} << 2 << QByteArray("--inputs");
  QTest::newRow("outputs not a number") << QStringList{"--outputs", "many"} << 2 << QByteArray("--outputs");
  QTest::newRow("port out of range") << QStringList{"--port", "70000"} << 2 << QByteArray("--port");
  QTest::newRow("bind not an address") << QStringList{"--bind", "localhost"} << 2 << QByteArray("--bind");
  QTest::newRow("pty and serial") << QStringList{"--pty", "--serial", "/dev/null"} << 2 << QByteArray("exclude");
  QTest::newRow("pty-link without pty") << QStringList{"--pty-link", "/tmp/x"} << 2 << QByteArray("--pty-link");
  QTest::newRow("refuse-every 0") << QStringList{"--refuse-every", "0"} << 2 << QByteArray("--refuse-every");
  QTest::newRow("late-type negative") << QStringList{"--late-type", "-5"} << 2 << QByteArray("--late-type");
  QTest::newRow("control port out of range") << QStringList{"--control", "70000"} << 2 << QByteArray("--control");
  QTest::newRow("greeting of two lines") << QStringList{"--greeting", "a\r\nb"} << 2 << QByteArray("--greeting");
  QTest::newRow("missing serial device") << QStringList{"--serial", "/nonexistent/ttyX"} << 1
                                         << QByteArray("/nonexistent/ttyX");
  QTest::newRow("serial device that is no tty") << QStringList{"--serial", "/dev/null"} << 1
                                                << QByteArray("not a usable serial device");
}

void TestSimExe::refusesBadSetUp() {
  QFETCH(QStringList, args);
  QFETCH(int, exitCode);
  QFETCH(QByteArray, message);
  QProcess process;
  process.start(QStringLiteral(SIM_PATH), args);
  QVERIFY(process.waitForFinished(int(kStartTimeout.count())));
  QCOMPARE(process.exitCode(), exitCode);
  const QByteArray err = process.readAllStandardError();
  QVERIFY2(err.contains(message), err.constData());
}

void TestSimExe::refusesPortInUse() {
  QTcpServer holder;
  QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
  QProcess process;
  process.start(QStringLiteral(SIM_PATH), {"--port", QString::number(holder.serverPort())});
  QVERIFY(process.waitForFinished(int(kStartTimeout.count())));
  QCOMPARE(process.exitCode(), 1);
  QVERIFY(process.readAllStandardError().contains("cannot listen"));
}

void TestSimExe::greetingOnConnectAndAfterPowerCycle() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--greeting", "Serial server ready", "--control", "0"}));
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  // Whole, before anything else, again when the power comes back, and not for a command.
  QCOMPARE(readLine(socket), QByteArray("Serial server ready\r\n"));
  QCOMPARE(sim.control("power-cycle 200"), QByteArray("OK\n"));
  QCOMPARE(readLine(socket), QByteArray("Serial server ready\r\n"));
  send(socket, "Status2.");
  QCOMPARE(readLine(socket), av(2, 2));
}

void TestSimExe::lateType_data() {
  QTest::addColumn<QByteArray>("control");  // sets the delay after the first step; empty: --late-type
  QTest::addColumn<QByteArrayList>("steps");  // commands on one link; "new" opens another
  QTest::addColumn<QList<bool>>("late");      // the step's reply takes the 600 ms
  QTest::newRow("the first type and version replies of a session")
      << QByteArray() << QByteArrayList{"Status1.", "/*Type;", "/*Type;", "/^Version;", "new", "/*Type;"}
      << QList<bool>{false, true, false, true, false, true};
  QTest::newRow("what comes with it waits behind") << QByteArray() << QByteArrayList{"/*Type;Status1."}
                                                   << QList<bool>{true};
  QTest::newRow("set while running: the next session")
      << QByteArray("late-type 600") << QByteArrayList{"Status1.", "/*Type;", "new", "/*Type;"}
      << QList<bool>{false, false, false, true};
}

void TestSimExe::lateType() {
  QFETCH(QByteArray, control);
  QFETCH(QByteArrayList, steps);
  QFETCH(QList<bool>, late);
  Sim sim;
  QVERIFY(sim.start(QStringList{"--port", "0", "--quiet", "--inputs", "8", "--outputs", "8", "--control", "0"} +
                    (control.isEmpty() ? QStringList{"--late-type", "600"} : QStringList{})));
  auto socket = std::make_unique<QTcpSocket>();
  QVERIFY(connectTo(*socket, sim.tcpPort()));
  const QList<std::pair<QByteArray, QByteArray>> replies{
      {"/*Type;", "MATRIX 8X8\r\n"}, {"/^Version;", "Version switcher-sim"}, {"Status1.", av(1, 1)}};
  for (qsizetype k = 0; k < steps.size(); ++k) {
    if (steps[k] == "new") {
      socket = std::make_unique<QTcpSocket>();
      QVERIFY(connectTo(*socket, sim.tcpPort()));
      continue;
    }
    QElapsedTimer clock;
    clock.start();
    send(*socket, steps[k]);
    for (const auto& [command, reply] : replies) {
      if (!steps[k].contains(command)) continue;
      const QByteArray line = readLine(*socket);
      QVERIFY2(line.startsWith(reply), line.constData());
    }
    QVERIFY2(late[k] ? clock.elapsed() >= 600 : clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    if (k == 0 && !control.isEmpty()) QCOMPARE(sim.control(control), QByteArray("OK\n"));
  }
}

void TestSimExe::refuseEvery() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--outputs", "8", "--refuse-every", "3", "--control", "0"}));
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  // Command k routes input k + 1 to output 1; the 3rd and the 6th are refused and leave the route alone.
  for (int k = 1; k <= 6; ++k) {
    send(socket, QByteArray::number(k + 1) + "B1.");
    QCOMPARE(readLine(socket), k % 3 ? av(k + 1, 1) : QByteArray("E01\r\n"));
  }
  QVERIFY(sim.control("status").startsWith("1 6 6\n"));
}

void TestSimExe::controlRoutesAsFrontPanel_data() {
  QTest::addColumn<QByteArray>("command");
  QTest::addColumn<QByteArray>("reports");  // on the switcher links; none: the panel answers ERR
  QTest::addColumn<QByteArray>("status3");  // output 3's line of status afterwards
  const QByteArray refused = "3 3 3\n";
  QTest::newRow("av") << QByteArray("route 5 3 av") << av(5, 3) << QByteArray("3 5 5\n");
  QTest::newRow("level defaults to av") << QByteArray("route 5 3") << av(5, 3) << QByteArray("3 5 5\n");
  QTest::newRow("video alone") << QByteArray("route 5 3 v")
                               << QByteArray("VIDEO: 005 > 003\r\nAUDIO: 003 > 003\r\n") << QByteArray("3 5 3\n");
  QTest::newRow("audio alone") << QByteArray("route 5 3 a")
                               << QByteArray("VIDEO: 003 > 003\r\nAUDIO: 005 > 003\r\n") << QByteArray("3 3 5\n");
  QTest::newRow("close") << QByteArray("route 0 3") << av(0, 3) << QByteArray("3 0 0\n");
  QTest::newRow("input beyond the matrix") << QByteArray("route 9 3") << QByteArray() << refused;
  QTest::newRow("output beyond the matrix") << QByteArray("route 5 9") << QByteArray() << refused;
  QTest::newRow("unknown level") << QByteArray("route 5 3 x") << QByteArray() << refused;
  QTest::newRow("unknown command") << QByteArray("reboot") << QByteArray() << refused;
}

void TestSimExe::controlRoutesAsFrontPanel() {
  QFETCH(QByteArray, command);
  QFETCH(QByteArray, reports);
  QFETCH(QByteArray, status3);
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--inputs", "8", "--outputs", "8", "--control", "0"}));
  QTcpSocket links[2];
  // Both links taken in by the simulator before the panel acts.
  for (QTcpSocket& link : links) {
    QVERIFY(connectTo(link, sim.tcpPort()));
    send(link, "Status1.");
    QCOMPARE(readLine(link), av(1, 1));
  }
  QVERIFY(sim.control(command).startsWith(reports.isEmpty() ? "ERR" : "OK\n"));
  // Every link hears the report, as from a real switcher; a refused change says nothing.
  for (QTcpSocket& link : links) QCOMPARE(readBytes(link, reports.size()), reports);
  send(links[0], "Status3.");
  const QByteArray line = readLine(links[0]);
  QVERIFY2(line.startsWith(reports.isEmpty() ? av(3, 3).left(10) : reports.left(10)), line.constData());
  const QByteArray status = sim.control("status");
  QVERIFY2(status.contains('\n' + status3), status.constData());
}

void TestSimExe::controlFaults_data() {
  QTest::addColumn<QByteArray>("fault");
  QTest::addColumn<QByteArray>("undo");        // ends the fault; empty: it ends by itself
  QTest::addColumn<QByteArray>("afterwards");  // the answer to Status1.Status2.Undo. after the fault
  QTest::newRow("silent, then answer: what came meanwhile was carried out")
      << QByteArray("silent") << QByteArray("answer") << av(6, 1) + av(7, 2) + "Undo OK.\r\n";
  QTest::newRow("power cycle: commands lost, start routing back, nothing to undo")
      << QByteArray("power-cycle 400") << QByteArray() << av(1, 1) + av(2, 2) + "Command Code Error!\r\n";
  QTest::newRow("drop: the client is closed, others accepted")
      << QByteArray("drop") << QByteArray() << av(1, 1) + av(7, 2) + "Undo OK.\r\n";
}

void TestSimExe::controlFaults() {
  QFETCH(QByteArray, fault);
  QFETCH(QByteArray, undo);
  QFETCH(QByteArray, afterwards);
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--inputs", "8", "--outputs", "8", "--control", "0"}));
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  send(socket, "7B2.");
  QCOMPARE(readLine(socket), av(7, 2));
  QCOMPARE(sim.control(fault), QByteArray("OK\n"));
  if (fault == "drop") {
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    socket.abort();
    QVERIFY(connectTo(socket, sim.tcpPort()));
  } else {
    send(socket, "6B1.");
    QVERIFY(!socket.waitForReadyRead(int(kSilenceWindow.count())));
    if (!undo.isEmpty()) QCOMPARE(sim.control(undo), QByteArray("OK\n"));
    QTRY_VERIFY_WITH_TIMEOUT(sim.control("status").contains("power=on answering=yes"), 5000);
  }
  send(socket, "Status1.Status2.Undo.");
  QCOMPARE(readBytes(socket, afterwards.size()), afterwards);
}

void TestSimExe::controlChannelBounds() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--outputs", "2", "--control", "0"}));
  // Eight clients are served (the Sim's own is the first), each taken in before the next comes.
  std::vector<std::unique_ptr<QTcpSocket>> others(8);
  for (auto& other : others) {
    other = std::make_unique<QTcpSocket>();
    QVERIFY(connectTo(*other, sim.controlSocket.peerPort()));
    if (other != others.back()) QVERIFY(control(*other, "status").endsWith("refused=0\n"));
  }
  // A ninth is closed; a line over 256 bytes is refused.
  QTRY_COMPARE_WITH_TIMEOUT(others.back()->state(), QAbstractSocket::UnconnectedState, 5000);
  QVERIFY(sim.control(QByteArray(300, 'x')).startsWith("ERR"));
}

void TestSimExe::ptyLinkGreetsAndServesAnewAfterDrop() {
  const QString link = QDir::temp().filePath(QStringLiteral("sim-link-%1").arg(QCoreApplication::applicationPid()));
  Sim sim;
  QVERIFY(sim.start({"--pty", "--quiet", "--pty-link", link, "--greeting", "Hi", "--control", "0", "--outputs", "4"}));
  QCOMPARE(QFileInfo(link).symLinkTarget(), QString::fromLatin1(sim.device()));
  const int fd = openRawTty(link.toLocal8Bit());
  QVERIFY(fd >= 0);
  QCOMPARE(readFd(fd, 4), QByteArray("Hi\r\n"));
  QCOMPARE(sim.control("drop"), QByteArray("OK\n"));
  // The device the program holds is hung up: a read ends (EOF or EIO), no longer blocks.
  pollfd p{fd, POLLIN, 0};
  QCOMPARE(::poll(&p, 1, int(kReplyTimeout.count())), 1);
  QVERIFY(p.revents & (POLLHUP | POLLERR));
  ::close(fd);
  // The link names a new device, which greets once and answers.
  QVERIFY(QFileInfo(link).symLinkTarget() != QString::fromLatin1(sim.device()));
  const int again = openRawTty(link.toLocal8Bit());
  QVERIFY(again >= 0);
  QCOMPARE(readFd(again, 4), QByteArray("Hi\r\n"));
  QVERIFY(writeFd(again, "Status3."));
  QCOMPARE(readFd(again, av(3, 3).size()), av(3, 3));
  ::close(again);
  QFile::remove(link);
}

QTEST_GUILESS_MAIN(TestSimExe)
#include "tst_simexe.moc"
