// switcher-sim as a program: TCP on a free loopback port, a pseudo-terminal, a serial device
// (the slave of a pty the test owns), the fault options, bad options and a clean stop.

#include <QtNetwork>
#include <QtTest>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
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
  QByteArray all, line = "-";
  while (!line.isEmpty() && !line.startsWith("OK") && !line.startsWith("ERR")) all += line = readLine(socket);
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
  void linkFaultOptions_data();
  void linkFaultOptions();
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
    // Taken exclusively and never released, as by a program killed outright.
    QCOMPARE(::ioctl(fd, TIOCEXCL), 0);
    ::close(fd);
    // As a real port after its last close, the device is no longer exclusive for the next.
    const auto exclusive = [&] {
      const int probe = ::open(sim.device().constData(), O_RDWR | O_NOCTTY);
      int on = -1;
      ::ioctl(probe, TIOCGEXCL, &on);
      ::close(probe);
      return on;
    };
    QTRY_COMPARE(exclusive(), 0);
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

void TestSimExe::linkFaultOptions_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<QByteArrayList>("steps");    // on one link; "new": on another from then on; "=": to the panel
  QTest::addColumn<QByteArrayList>("replies");  // how each step's reply starts
  QTest::addColumn<QList<bool>>("late");        // the reply takes the 600 ms of --late-type
  const QByteArray type = "MATRIX 8X8\r\n";
  QTest::newRow("late type: first of a session, what comes with it waits") << QStringList{"--late-type", "600"}
      << QByteArrayList{"Status1.", "/*Type;", "/*Type;", "/^Version;", "new", "/*Type;Status1."}
      << QByteArrayList{av(1, 1), type, type, "Version switcher-sim", {}, type + av(1, 1)}
      << QList<bool>{false, true, false, true, false, true};
  QTest::newRow("late type set while running: from the next session on")
      << QStringList{} << QByteArrayList{"Status1.", "=late-type 600", "/*Type;", "new", "/*Type;"}
      << QByteArrayList{av(1, 1), "OK\n", type, {}, type} << QList<bool>{false, false, false, false, true};
  QTest::newRow("refuse every 3rd: E01, the route left alone") << QStringList{"--refuse-every", "3"}
      << QByteArrayList{"2B1.", "3B1.", "4B1.", "5B1.", "6B1.", "7B1.", "Status1."}
      << QByteArrayList{av(2, 1), av(3, 1), "E01\r\n", av(5, 1), av(6, 1), "E01\r\n", av(6, 1)} << QList<bool>(7);
}

void TestSimExe::linkFaultOptions() {
  QFETCH(QStringList, args);
  QFETCH(QByteArrayList, steps);
  QFETCH(QByteArrayList, replies);
  QFETCH(QList<bool>, late);
  Sim sim;
  QVERIFY(sim.start(QStringList{"--port", "0", "--quiet", "--inputs", "8", "--outputs", "8", "--control", "0"} + args));
  QTcpSocket links[2];
  for (qsizetype k = 0, session = 0; k < steps.size(); ++k) {
    session += steps[k] == "new";  // another link, another session
    if (links[session].state() != QAbstractSocket::ConnectedState) QVERIFY(connectTo(links[session], sim.tcpPort()));
    if (steps[k] == "new") continue;
    QElapsedTimer clock;
    clock.start();
    const bool panel = steps[k].startsWith('=');
    if (!panel) send(links[session], steps[k]);
    const QByteArray got = panel ? sim.control(steps[k].mid(1)) : readBytes(links[session], replies[k].size());
    QVERIFY2(got.startsWith(replies[k]), got.constData());
    QVERIFY2(late[k] ? clock.elapsed() >= 600 : clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
  }
}

void TestSimExe::controlRoutesAsFrontPanel_data() {
  using B = QByteArray;
  QTest::addColumn<B>("command");
  QTest::addColumn<B>("reports");  // on the switcher links; none: the panel answers ERR
  QTest::addColumn<B>("status3");  // output 3's line of status afterwards
  QTest::newRow("av, the level left out") << B("route 5 3") << av(5, 3) << B("3 5 5\n");
  QTest::newRow("video alone") << B("route 5 3 v") << B("VIDEO: 005 > 003\r\nAUDIO: 003 > 003\r\n") << B("3 5 3\n");
  QTest::newRow("audio alone") << B("route 5 3 a") << B("VIDEO: 003 > 003\r\nAUDIO: 005 > 003\r\n") << B("3 3 5\n");
  QTest::newRow("close") << B("route 0 3") << av(0, 3) << B("3 0 0\n");
  QTest::newRow("input beyond the matrix") << B("route 9 3") << B() << B("3 3 3\n");
  QTest::newRow("output beyond the matrix") << B("route 5 9") << B() << B("3 3 3\n");
  QTest::newRow("unknown level") << B("route 5 3 x") << B() << B("3 3 3\n");
}

void TestSimExe::controlRoutesAsFrontPanel() {
  QFETCH(QByteArray, command);
  QFETCH(QByteArray, reports);
  QFETCH(QByteArray, status3);
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--inputs", "8", "--outputs", "8", "--control", "0"}));
  QTcpSocket links[2];
  for (QTcpSocket& link : links) {  // both taken in by the simulator before the panel acts
    QVERIFY(connectTo(link, sim.tcpPort()));
    send(link, "Status1.");
    QCOMPARE(readLine(link), av(1, 1));
  }
  QVERIFY(sim.control(command).startsWith(reports.isEmpty() ? "ERR" : "OK\n"));
  // Every link hears the report, as from a real switcher; a refused change says nothing.
  for (QTcpSocket& link : links) QCOMPARE(readBytes(link, reports.size()), reports);
  send(links[0], "Status3.");
  QCOMPARE(readLine(links[0]).left(10), (reports.isEmpty() ? av(3, 3) : reports).left(10));
  QVERIFY2(sim.control("status").contains('\n' + status3), status3.constData());
}

void TestSimExe::controlFaults_data() {
  using B = QByteArray;
  QTest::addColumn<B>("fault");       // silent ends with answer, the others by themselves
  QTest::addColumn<B>("afterwards");  // what the link gets for Status1.Status2.Undo. then; Hi: the greeting
  QTest::newRow("silent: what came meanwhile was done") << B("silent") << av(6, 1) + av(7, 2) + "Undo OK.\r\n";
  QTest::newRow("power cycle: commands lost, greeting, start routing, nothing to undo")
      << B("power-cycle 400") << "Hi\r\n" + av(1, 1) + av(2, 2) + "Command Code Error!\r\n";
  QTest::newRow("drop: closed, others greeted") << B("drop") << "Hi\r\n" + av(1, 1) + av(7, 2) + "Undo OK.\r\n";
}

void TestSimExe::controlFaults() {
  QFETCH(QByteArray, fault);
  QFETCH(QByteArray, afterwards);
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--outputs", "8", "--greeting", "Hi", "--control", "0"}));
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  send(socket, "7B2.");
  QCOMPARE(readBytes(socket, 4 + av(7, 2).size()), "Hi\r\n" + av(7, 2));  // greeted, not again for a command
  QCOMPARE(sim.control(fault), QByteArray("OK\n"));
  if (fault == "drop") {
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    socket.abort();
    QVERIFY(connectTo(socket, sim.tcpPort()));
  } else {
    send(socket, "6B1.");
    QVERIFY(!socket.waitForReadyRead(int(kSilenceWindow.count())));
    if (fault == "silent") QCOMPARE(sim.control("answer"), QByteArray("OK\n"));
    QTRY_VERIFY_WITH_TIMEOUT(sim.control("status").contains("power=on answering=yes"), 5000);
  }
  send(socket, "Status1.Status2.Undo.");
  QCOMPARE(readBytes(socket, afterwards.size()), afterwards);
}

void TestSimExe::controlChannelBounds() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--outputs", "2", "--control", "0"}));
  // Eight clients are served (the Sim's own is the first), each taken in before the next comes.
  QTcpSocket others[8];
  for (QTcpSocket& other : others) {
    QVERIFY(connectTo(other, sim.controlSocket.peerPort()));
    if (&other != &others[7]) QVERIFY(control(other, "status").endsWith("refused=0\n"));
  }
  // A ninth is closed; a line over 256 bytes is refused.
  QTRY_COMPARE_WITH_TIMEOUT(others[7].state(), QAbstractSocket::UnconnectedState, 5000);
  QVERIFY(sim.control(QByteArray(300, 'x')).startsWith("ERR"));
}

void TestSimExe::ptyLinkGreetsAndServesAnewAfterDrop() {
  const QString link = QDir::temp().filePath(QStringLiteral("sim-link-%1").arg(QCoreApplication::applicationPid()));
  Sim sim;
  QVERIFY(sim.start({"--pty", "--quiet", "--pty-link", link, "--greeting", "Hi", "--control", "0", "--outputs", "4"}));
  const int fd = openRawTty(link.toLocal8Bit());
  QCOMPARE(readFd(fd, 4), QByteArray("Hi\r\n"));
  QCOMPARE(sim.control("drop"), QByteArray("OK\n"));
  // The device the program holds is hung up: a read ends (EOF or EIO), no longer blocks.
  pollfd p{fd, POLLIN, 0};
  QCOMPARE(::poll(&p, 1, int(kReplyTimeout.count())), 1);
  QVERIFY(p.revents & (POLLHUP | POLLERR));
  ::close(fd);
  // The link names a new device, which greets once and answers.
  const int again = openRawTty(link.toLocal8Bit());
  QCOMPARE(readFd(again, 4), QByteArray("Hi\r\n"));
  QVERIFY(writeFd(again, "Status3."));
  QCOMPARE(readFd(again, av(3, 3).size()), av(3, 3));
  ::close(again);
  QFile::remove(link);
}

QTEST_GUILESS_MAIN(TestSimExe)
#include "tst_simexe.moc"
