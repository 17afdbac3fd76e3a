// switcher-sim as a program: TCP on a free loopback port, a pseudo-terminal, a serial device
// (the slave of a pty the test owns), the fault options, bad options and a clean stop.

#include <QtNetwork>
#include <QtTest>

#include <chrono>
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
    return true;
  }

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

QTEST_GUILESS_MAIN(TestSimExe)
#include "tst_simexe.moc"
