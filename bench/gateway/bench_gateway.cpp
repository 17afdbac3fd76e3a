// Benchmark of the console as a gateway, with switcher-sim behind the console on a
// pseudo-terminal (COM1), in one run:
//  1. round trip of "Status12." from a gateway client to its reply, against the same command
//     sent to switcher-sim directly over TCP: median, p95 and the difference (goal: the
//     gateway adds under 1 ms at the median);
//  2. a 256-line "Status." burst asked for by one of 8 clients: time until every client holds
//     all 256 lines;
//  3. bench_app's measure (a 256-line burst over the console's TCP link until the window has
//     handled every line) with 8 reading gateway clients against none (goal: ratio under 1.5).
// Clients are blocking sockets on threads of their own, as other programs would be.
// Usage: bench_gateway [rounds]   (runs headless; needs no display)
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "GatewayServer.h"
#include "Memo.h"
#include "SwitcherCore.h"
#include "Unit1.h"

namespace {
constexpr int kDefaultRounds = 200;
constexpr int kClients = 8;
constexpr int kLines = 256;
constexpr double kAddedGoalMs = 1.0;
constexpr double kRatioGoal = 1.5;
using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// A blocking TCP client on 127.0.0.1.
class Client {
 public:
  explicit Client(quint16 port) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ~Client() {
    if (fd >= 0) ::close(fd);
  }
  bool ok() const { return fd >= 0; }
  bool send(const QByteArray& bytes) { return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size(); }
  // Reads until n more line ends have come; false when the peer closed.
  bool readLines(int n) {
    while (n > 0) {
      char buf[8192];
      const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
      if (r <= 0) return false;
      for (ssize_t i = 0; i < r; ++i) n -= buf[i] == '\n';
    }
    return true;
  }
  // Reads everything until the peer closes or stop is set.
  void drain(const std::atomic<bool>& stop) {
    timeval tv{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[65536];
    while (!stop) {
      const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
    }
  }

 private:
  int fd = -1;
};

// Runs work on a thread while the window's event loop goes on; returns when it has ended.
void whileLoopRuns(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    work();
    done = true;
    QMetaObject::invokeMethod(qApp, [] {}, Qt::QueuedConnection);  // wakes the loop
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  t.join();
}

std::vector<double> roundTrips(quint16 port, int rounds) {
  std::vector<double> ms;
  Client c(port);
  if (!c.ok()) return ms;
  for (int i = 0; i < rounds + 10; ++i) {
    const auto t = Clock::now();
    if (!c.send("Status12.") || !c.readLines(1)) return {};
    if (i >= 10) ms.push_back(msSince(t));
  }
  return ms;
}

bool startSim(QProcess& sim, const QStringList& args, QByteArray* first) {
  sim.start(SC_SIM_PATH, args + QStringList{"--quiet"});
  if (!sim.waitForReadyRead(5000)) return false;
  *first = sim.readLine().trimmed();  // "TCP 127.0.0.1:<port>" or "PTY <device>"
  return true;
}

void writeIni(const QTemporaryDir& config, const QByteArray& text) {
  QFile ini(config.filePath("Switcher.ini"));
  if (ini.open(QIODevice::WriteOnly)) ini.write(text);
}

quint16 freePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("SWITCHER_CONFIG_DIR", config.path().toLocal8Bit());
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultRounds;

  QProcess ptySim, tcpSim;
  QByteArray ptyLine, tcpLine;
  if (!startSim(ptySim, {"--pty"}, &ptyLine) || !startSim(tcpSim, {"--port", "0"}, &tcpLine)) {
    std::fprintf(stderr, "switcher-sim did not start\n");
    return 1;
  }
  const quint16 simPort = quint16(tcpLine.mid(tcpLine.lastIndexOf(':') + 1).toUInt());

  // Console A: COM1 is the simulator's pty, the gateway on a free loopback port.
  const quint16 gatewayPort = freePort();
  writeIni(config, "[COM]\nCOM1=" + ptyLine.mid(4) + "\nCOM2=/nonexistent\nCOM3=/nonexistent\n" +
                       "COM4=/nonexistent\n[Gateway]\nPort=" + QByteArray::number(gatewayPort) + "\n");
  CreateForms();
  bool identified = false;
  QObject::connect(MainForm, &TMainForm::identificationFinished, MainForm, [&] { identified = true; });
  while (!identified) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

  // 1. Round trips.
  std::vector<double> direct, through;
  whileLoopRuns([&] {
    direct = roundTrips(simPort, rounds);
    through = roundTrips(gatewayPort, rounds);
  });
  if (direct.empty() || through.empty()) {
    std::fprintf(stderr, "round trips failed\n");
    return 1;
  }
  const double added = percentile(through, 0.5) - percentile(direct, 0.5);
  std::printf("round trip of \"Status12.\" (%d each): switcher-sim over TCP median %.3f ms, p95 %.3f ms; "
              "through the gateway (pty behind) median %.3f ms, p95 %.3f ms; ratio %.2f, added %.3f ms "
              "(goal < %.1f ms: %s)\n",
              rounds, percentile(direct, 0.5), percentile(direct, 0.95), percentile(through, 0.5),
              percentile(through, 0.95), percentile(through, 0.5) / percentile(direct, 0.5), added,
              kAddedGoalMs, added < kAddedGoalMs ? "met" : "NOT met");

  // 2. One client asks for "Status."; every one of 8 must hold the 256 lines.
  std::vector<double> burst;
  whileLoopRuns([&] {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>(gatewayPort));
    while (MainForm->findChild<gateway::GatewayServer*>()->clientCount() < kClients) std::this_thread::yield();
    for (int r = 0; r < rounds / 4 + 5; ++r) {
      const auto t = Clock::now();
      clients[0]->send("Status.");
      std::vector<std::thread> readers;
      std::atomic<bool> ok{true};
      for (auto& c : clients) readers.emplace_back([&c, &ok] { ok = c->readLines(kLines) && ok; });
      for (auto& th : readers) th.join();
      if (!ok) return;
      if (r >= 5) burst.push_back(msSince(t));
    }
  });
  std::printf("256-line \"Status.\" burst to %d clients (%d bursts): all hold it after median %.3f ms, p95 %.3f ms\n",
              kClients, int(burst.size()), percentile(burst, 0.5), percentile(burst, 0.95));
  DestroyForms();

  // 3. bench_app's burst over the console's TCP link, with and without 8 reading clients.
  QTcpServer peerServer;
  peerServer.listen(QHostAddress::LocalHost, 0);
  qputenv(kTcpPortEnv, QByteArray::number(peerServer.serverPort()));
  writeIni(config, "[TCP]\nConnect=1\nIP=127.0.0.1\n[COM]\nCOM1=/nonexistent\nCOM2=/nonexistent\n"
                   "COM3=/nonexistent\nCOM4=/nonexistent\n[Gateway]\nPort=" +
                       QByteArray::number(freePort()) + "\n");
  CreateForms();
  MainForm->show();
  while (!peerServer.hasPendingConnections() || !MainForm->socketActive())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  QTcpSocket* peer = peerServer.nextPendingConnection();
  const quint16 port = MainForm->findChild<gateway::GatewayServer*>()->port();
  sim::SwitcherCore core;
  const QByteArray replyA = core.execute("Status.");
  core.execute("9All.");
  const QByteArray replyB = core.execute("Status.");
  MainForm->ReplyTarget = 7;
  auto measure = [&] {
    std::vector<double> ms;
    for (int i = 0; i < rounds + 10; ++i) {
      const std::uint64_t target = MainForm->LinesHandled + kLines;
      QElapsedTimer t;
      t.start();
      peer->write(i % 2 ? replyB : replyA);
      peer->flush();
      while (MainForm->LinesHandled < target) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      if (i >= 10) ms.push_back(double(t.nsecsElapsed()) / 1e6);
      MainForm->Memo6->flushPending();
      QCoreApplication::processEvents();
    }
    return percentile(ms, 0.5);
  };
  const double alone = measure();
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::thread> readers;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(port));
    readers.emplace_back([&c = *clients.back(), &stop] { c.drain(stop); });
  }
  auto* server = MainForm->findChild<gateway::GatewayServer*>();
  while (server->clientCount() < kClients) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const double shared = measure();
  stop = true;
  for (auto& th : readers) th.join();
  std::printf("console's status burst over TCP (bench_app's measure, %d bursts): median %.3f ms alone, "
              "%.3f ms with %d gateway clients; ratio %.2f (goal < %.1f: %s)\n",
              rounds, alone, shared, kClients, shared / alone, kRatioGoal,
              shared / alone < kRatioGoal ? "met" : "NOT met");
  DestroyForms();
  for (QProcess* sim : {&ptySim, &tcpSim}) {
    sim->kill();
    sim->waitForFinished();
  }
  return 0;
}
