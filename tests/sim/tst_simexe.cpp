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

// Reads one line with a bound.
QByteArray readLine(QTcpSocket& socket) {
  QDeadlineTimer deadline(kReplyTimeout);
  while (!socket.canReadLine()) {
    if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime()))) return {};
  }
  return socket.readLine();
}

// A control channel command and its reply: the lines up to and including the OK or ERR line.
QByteArray control(QTcpSocket& socket, const QByteArray& command) {
  socket.write(command + '\n');
  socket.waitForBytesWritten(int(kReplyTimeout.count()));
  QByteArray all;
  for (;;) {
    const QByteArray line = readLine(socket);
    all += line;
    if (line.isEmpty() || line.startsWith("OK") || line.startsWith("ERR")) return all;
  }
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
    while (!process.canReadLine()) {
      if (deadline.hasExpired() || !process.waitForReadyRead(int(deadline.remainingTime()))) {
        return false;
      }
    }
    const QByteArray line = process.readLine().trimmed();
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
  void greeting_data();
  void greeting();
  void lateType_data();
  void lateType();
  void lateTypeSetWhileRunning();
  void refuseEvery_data();
  void refuseEvery();
  void controlRoutesAsFrontPanel_data();
  void controlRoutesAsFrontPanel();
  void controlFaults_data();
  void controlFaults();
  void controlChannelBounds_data();
  void controlChannelBounds();
  void dropHangsUpPtyAndServesAnew();
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

void TestSimExe::greeting_data() {
  QTest::addColumn<QString>("transport");
  QTest::addColumn<QByteArray>("before");  // control command before the check, if any
  QTest::newRow("TCP client") << "tcp" << QByteArray();
  QTest::newRow("pty opened") << "pty" << QByteArray();
  QTest::newRow("after a power cycle") << "tcp" << QByteArray("power-cycle 200");
}

void TestSimExe::greeting() {
  QFETCH(QString, transport);
  QFETCH(QByteArray, before);
  const QByteArray banner = "Serial server ready";
  Sim sim;
  QStringList args{"--quiet", "--greeting", banner, "--control", "0", "--outputs", "4"};
  args << (transport == "pty" ? QStringList{"--pty"} : QStringList{"--port", "0"});
  QVERIFY(sim.start(args));
  if (transport == "pty") {
    const int fd = openRawTty(sim.device());
    QVERIFY(fd >= 0);
    // Once, whole, before anything else, and not again for a command.
    QCOMPARE(readFd(fd, banner.size() + 2), banner + "\r\n");
    QVERIFY(writeFd(fd, "Status2."));
    QCOMPARE(readFd(fd, av(2, 2).size()), av(2, 2));
    ::close(fd);
    return;
  }
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  QCOMPARE(readLine(socket), banner + "\r\n");
  if (!before.isEmpty()) {
    send(socket, "1V2.");
    QCOMPARE(readBytes(socket, 36), QByteArray("VIDEO: 001 > 002\r\nAUDIO: 002 > 002\r\n"));
    QCOMPARE(sim.control(before), QByteArray("OK\n"));
    QCOMPARE(readLine(socket), banner + "\r\n");
  }
  send(socket, "Status2.");
  QCOMPARE(readBytes(socket, av(2, 2).size()), av(2, 2));
}

void TestSimExe::lateType_data() {
  QTest::addColumn<QByteArray>("first");     // sent first, reply awaited
  QTest::addColumn<QByteArray>("second");    // sent at once after the first
  QTest::addColumn<int>("firstAtLeastMs");
  QTest::addColumn<bool>("secondLate");       // the second's reply also takes the delay
  QTest::newRow("type reply late") << QByteArray("/*Type;") << QByteArray() << 600 << false;
  QTest::newRow("version reply late") << QByteArray("/^Version;") << QByteArray() << 600 << false;
  QTest::newRow("status is not late") << QByteArray("Status1.") << QByteArray() << 0 << false;
  QTest::newRow("a second type reply is prompt")
      << QByteArray("/*Type;") << QByteArray("/*Type;") << 600 << false;
  QTest::newRow("what comes with it waits behind")
      << QByteArray("/*Type;Status1.") << QByteArray() << 600 << false;
}

void TestSimExe::lateType() {
  QFETCH(QByteArray, first);
  QFETCH(QByteArray, second);
  QFETCH(int, firstAtLeastMs);
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--late-type", "600", "--inputs", "8", "--outputs", "8"}));
  const QByteArray type = "MATRIX 8X8\r\n";
  auto replyTo = [&](const QByteArray& command) {
    QByteArray r;
    for (const QByteArray& c : {QByteArray("/*Type;"), QByteArray("/^Version;"), QByteArray("Status1.")}) {
      for (int at = command.indexOf(c); at >= 0; at = command.indexOf(c, at + 1)) {
        r += c == "/*Type;" ? type : c == "Status1." ? av(1, 1) : QByteArray("Version switcher-sim");
      }
    }
    return r;
  };
  for (int session = 0; session < 2; ++session) {
    // A new connection is a new session: late again.
    QTcpSocket socket;
    QVERIFY(connectTo(socket, sim.tcpPort()));
    QElapsedTimer clock;
    clock.start();
    send(socket, first);
    const QByteArray want = replyTo(first);
    const QByteArray got = readBytes(socket, want.size());
    QVERIFY2(got.startsWith(want.left(10)), got.constData());
    const qint64 firstMs = clock.elapsed();
    QVERIFY2(firstMs >= firstAtLeastMs, qPrintable(QString::number(firstMs)));
    if (firstAtLeastMs == 0) QVERIFY2(firstMs < 500, qPrintable(QString::number(firstMs)));
    if (first == "/*Type;Status1.") QCOMPARE(got, type + av(1, 1));
    if (second.isEmpty()) continue;
    clock.restart();
    send(socket, second);
    QCOMPARE(readBytes(socket, type.size()), type);
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
  }
}

void TestSimExe::lateTypeSetWhileRunning() {
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--outputs", "8", "--inputs", "8", "--control", "0"}));
  QTcpSocket before;
  QVERIFY(connectTo(before, sim.tcpPort()));
  send(before, "Status1.");
  QCOMPARE(readLine(before), av(1, 1));
  QCOMPARE(sim.control("late-type 600"), QByteArray("OK\n"));
  // The session under way was not slow to wake up; the next one is.
  for (const bool late : {false, true}) {
    QTcpSocket fresh;
    QTcpSocket& s = late ? fresh : before;
    if (late) QVERIFY(connectTo(fresh, sim.tcpPort()));
    QElapsedTimer clock;
    clock.start();
    send(s, "/*Type;");
    QCOMPARE(readLine(s), QByteArray("MATRIX 8X8\r\n"));
    QVERIFY2((clock.elapsed() >= 600) == late, qPrintable(QString::number(clock.elapsed())));
  }
}

void TestSimExe::refuseEvery_data() {
  QTest::addColumn<int>("every");
  QTest::addColumn<QList<int>>("refusedAt");  // 1-based command numbers answered E01
  QTest::newRow("every 3rd") << 3 << QList<int>{3, 6};
  QTest::newRow("every command") << 1 << QList<int>{1, 2, 3, 4, 5, 6};
  QTest::newRow("every 7th: none of 6") << 7 << QList<int>{};
}

void TestSimExe::refuseEvery() {
  QFETCH(int, every);
  QFETCH(QList<int>, refusedAt);
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--outputs", "8", "--refuse-every", QString::number(every),
                     "--control", "0"}));
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  // Each command routes input k to output 1, so a refused one must leave the route alone.
  int lastRouted = 1;
  for (int k = 1; k <= 6; ++k) {
    send(socket, QByteArray::number(k + 1) + "B1.");
    const QByteArray line = readLine(socket);
    if (refusedAt.contains(k)) {
      QCOMPARE(line, QByteArray("E01\r\n"));
    } else {
      QCOMPARE(line, av(k + 1, 1));
      lastRouted = k + 1;
    }
  }
  QVERIFY(sim.control("status").startsWith("1 " + QByteArray::number(lastRouted) + ' ' +
                                          QByteArray::number(lastRouted) + '\n'));
}

void TestSimExe::controlRoutesAsFrontPanel_data() {
  QTest::addColumn<QByteArray>("command");
  QTest::addColumn<QByteArray>("reply");   // on the control channel
  QTest::addColumn<QByteArray>("reports"); // on the switcher link
  QTest::addColumn<QByteArray>("status3"); // output 3's line of status afterwards
  QTest::newRow("av") << QByteArray("route 5 3 av") << QByteArray("OK\n") << av(5, 3)
                      << QByteArray("3 5 5\n");
  QTest::newRow("level defaults to av") << QByteArray("route 5 3") << QByteArray("OK\n") << av(5, 3)
                                        << QByteArray("3 5 5\n");
  QTest::newRow("video alone") << QByteArray("route 5 3 v") << QByteArray("OK\n")
                               << QByteArray("VIDEO: 005 > 003\r\nAUDIO: 003 > 003\r\n")
                               << QByteArray("3 5 3\n");
  QTest::newRow("audio alone") << QByteArray("route 5 3 a") << QByteArray("OK\n")
                               << QByteArray("VIDEO: 003 > 003\r\nAUDIO: 005 > 003\r\n")
                               << QByteArray("3 3 5\n");
  QTest::newRow("close") << QByteArray("route 0 3") << QByteArray("OK\n") << av(0, 3)
                         << QByteArray("3 0 0\n");
  QTest::newRow("input beyond the matrix") << QByteArray("route 9 3") << QByteArray("ERR")
                                           << QByteArray() << QByteArray("3 3 3\n");
  QTest::newRow("output beyond the matrix") << QByteArray("route 5 9") << QByteArray("ERR")
                                            << QByteArray() << QByteArray("3 3 3\n");
  QTest::newRow("unknown level") << QByteArray("route 5 3 x") << QByteArray("ERR") << QByteArray()
                                 << QByteArray("3 3 3\n");
  QTest::newRow("unknown command") << QByteArray("reboot") << QByteArray("ERR") << QByteArray()
                                   << QByteArray("3 3 3\n");
}

void TestSimExe::controlRoutesAsFrontPanel() {
  QFETCH(QByteArray, command);
  QFETCH(QByteArray, reply);
  QFETCH(QByteArray, reports);
  QFETCH(QByteArray, status3);
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--inputs", "8", "--outputs", "8", "--control", "0"}));
  QTcpSocket a;
  QTcpSocket b;
  QVERIFY(connectTo(a, sim.tcpPort()));
  QVERIFY(connectTo(b, sim.tcpPort()));
  // Both links taken in by the simulator before the panel acts.
  for (QTcpSocket* s : {&a, &b}) {
    send(*s, "Status1.");
    QCOMPARE(readLine(*s), av(1, 1));
  }
  QVERIFY(sim.control(command).startsWith(reply));
  // Every link hears the report, as from a real switcher; a refused change says nothing.
  if (!reports.isEmpty()) {
    QCOMPARE(readBytes(a, reports.size()), reports);
    QCOMPARE(readBytes(b, reports.size()), reports);
  }
  send(a, "Status3.");
  const QByteArray line = readLine(a);
  QVERIFY2(line.startsWith(reports.isEmpty() ? av(3, 3).left(10) : reports.left(10)), line.constData());
  const QByteArray status = sim.control("status");
  QVERIFY2(status.contains('\n' + status3), status.constData());
}

void TestSimExe::controlFaults_data() {
  QTest::addColumn<QByteArray>("fault");
  QTest::addColumn<QByteArray>("undo");    // ends the fault; empty: it ends by itself
  QTest::addColumn<bool>("routeActs");     // a route sent during the fault is carried out
  QTest::addColumn<bool>("linkKept");      // the client's connection stays up
  QTest::addColumn<QByteArray>("undoReply");  // Undo. afterwards
  QTest::newRow("silent, then answer") << QByteArray("silent") << QByteArray("answer") << true << true
                                       << QByteArray("Undo OK.\r\n");
  QTest::newRow("power cycle: commands lost, start routing back, nothing to undo")
      << QByteArray("power-cycle 400") << QByteArray() << false << true << QByteArray("Command Code Error!\r\n");
  QTest::newRow("drop: the client is closed, others accepted") << QByteArray("drop") << QByteArray()
                                                               << false << false << QByteArray("Undo OK.\r\n");
}

void TestSimExe::controlFaults() {
  QFETCH(QByteArray, fault);
  QFETCH(QByteArray, undo);
  QFETCH(bool, routeActs);
  QFETCH(bool, linkKept);
  QFETCH(QByteArray, undoReply);
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--inputs", "8", "--outputs", "8", "--control", "0"}));
  QTcpSocket socket;
  QVERIFY(connectTo(socket, sim.tcpPort()));
  send(socket, "7B2.");
  QCOMPARE(readBytes(socket, av(7, 2).size()), av(7, 2));

  QCOMPARE(sim.control(fault), QByteArray("OK\n"));
  if (linkKept) {
    send(socket, "6B1.");
    QVERIFY(!socket.waitForReadyRead(int(kSilenceWindow.count())));
    QCOMPARE(socket.bytesAvailable(), 0);
    if (!undo.isEmpty()) QCOMPARE(sim.control(undo), QByteArray("OK\n"));
    QTRY_VERIFY_WITH_TIMEOUT(sim.control("status").contains("power=on answering=yes"), 5000);
  } else {
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    socket.abort();
    QVERIFY(connectTo(socket, sim.tcpPort()));
  }
  send(socket, "Status1.Status2.");
  const int r1 = routeActs ? 6 : 1;
  const int r2 = fault.startsWith("power") ? 2 : 7;
  QCOMPARE(readBytes(socket, av(r1, 1).size() * 2), av(r1, 1) + av(r2, 2));
  send(socket, "Undo.");
  QCOMPARE(readLine(socket), undoReply);
}

void TestSimExe::controlChannelBounds_data() {
  QTest::addColumn<int>("clients");
  QTest::addColumn<QByteArray>("line");
  QTest::addColumn<bool>("answered");  // the last client's line is answered
  QTest::newRow("eight clients") << 8 << QByteArray("status") << true;
  QTest::newRow("a ninth client is closed") << 9 << QByteArray("status") << false;
  QTest::newRow("a line over 256 bytes") << 1 << QByteArray(300, 'x') << false;
}

void TestSimExe::controlChannelBounds() {
  QFETCH(int, clients);
  QFETCH(QByteArray, line);
  QFETCH(bool, answered);
  Sim sim;
  QVERIFY(sim.start({"--port", "0", "--quiet", "--outputs", "2", "--control", "0"}));
  const quint16 port = quint16(sim.controlSocket.peerPort());
  // The Sim's own control client is the first.
  std::vector<std::unique_ptr<QTcpSocket>> others;
  for (int k = 1; k < clients; ++k) {
    others.push_back(std::make_unique<QTcpSocket>());
    QVERIFY(connectTo(*others.back(), port));
    // Each one taken in before the next arrives.
    if (k < clients - 1) QVERIFY(control(*others.back(), "status").endsWith("refused=0\n"));
  }
  QTcpSocket& last = others.empty() ? sim.controlSocket : *others.back();
  if (clients == 9) {
    QTRY_COMPARE_WITH_TIMEOUT(last.state(), QAbstractSocket::UnconnectedState, 5000);
    return;
  }
  const QByteArray reply = control(last, line);
  QCOMPARE(reply.startsWith("OK") || reply.contains("\nOK "), answered);
  if (!answered) QVERIFY2(reply.startsWith("ERR"), reply.constData());
}

void TestSimExe::dropHangsUpPtyAndServesAnew() {
  const QString link = QDir::temp().filePath(QStringLiteral("sim-link-%1").arg(QCoreApplication::applicationPid()));
  Sim sim;
  QVERIFY(sim.start({"--pty", "--quiet", "--pty-link", link, "--control", "0", "--outputs", "4"}));
  QCOMPARE(QFileInfo(link).symLinkTarget(), QString::fromLatin1(sim.device()));
  const int fd = openRawTty(link.toLocal8Bit());
  QVERIFY(fd >= 0);
  QCOMPARE(sim.control("drop"), QByteArray("OK\n"));
  // The device the program holds is hung up: a read ends (EOF or EIO), no longer blocks.
  pollfd p{fd, POLLIN, 0};
  QCOMPARE(::poll(&p, 1, int(kReplyTimeout.count())), 1);
  QVERIFY(p.revents & (POLLHUP | POLLERR));
  ::close(fd);
  // The link names a new device, which answers.
  const QString fresh = QFileInfo(link).symLinkTarget();
  QVERIFY(fresh != QString::fromLatin1(sim.device()));
  const int again = openRawTty(link.toLocal8Bit());
  QVERIFY(again >= 0);
  QVERIFY(writeFd(again, "Status3."));
  QCOMPARE(readFd(again, av(3, 3).size()), av(3, 3));
  ::close(again);
  QFile::remove(link);
}

QTEST_GUILESS_MAIN(TestSimExe)
#include "tst_simexe.moc"
