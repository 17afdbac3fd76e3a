// Benchmark of router panels, with switcher-sim (256 by 256) behind the console on a
// pseudo-terminal (COM1), in one run:
//  1. a route from one panel client ("VIDEO OUTPUT ROUTING:" with one line) until a second
//     panel client holds the routing block the switcher's report caused: median, p95; beside
//     it the gateway's round trip of "Status12." on the same console;
//  2. the prelude of the 256 by 256 switcher with all 512 ports named: its bytes and the time
//     from connect to its last line ("END PRELUDE:");
//  3. one panel's write of 3,000 label blocks (64 KiB); once its first ACK is out, another
//     panel sends "PING:": the time until that one holds its ACK (goal: under 50 ms), and
//     from the write until the first panel holds all of its own.
// Clients are blocking sockets on threads of their own, as panels would be.
// Usage: bench_panel [rounds]   (runs headless; needs no display)
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "RoutingTable.h"
#include "RoutingView.h"
#include "Unit1.h"

namespace {
constexpr int kDefaultRounds = 200;
constexpr int kWarmUp = 10;
constexpr int kPorts = 256;
constexpr int kPreludes = 50;
constexpr int kFloodBlocks = 3000;
constexpr int kFloods = 5;
constexpr double kPingGoalMs = 50;
using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// A blocking TCP client on 127.0.0.1 that keeps what it read.
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
    // A reply that never comes fails the run rather than hanging it.
    const timeval wait{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ~Client() {
    if (fd >= 0) ::close(fd);
  }
  bool ok() const { return fd >= 0; }
  bool send(const QByteArray& bytes) {
    return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
  }
  // Reads until what was read holds text; drops everything up to its end. False when closed.
  bool until(const QByteArray& text) {
    for (;;) {
      const qsizetype at = got.indexOf(text);
      if (at >= 0) {
        total += at + text.size();
        got.remove(0, at + text.size());
        return true;
      }
      char buf[65536];
      const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
      if (r <= 0) return false;
      got.append(buf, int(r));
    }
  }
  qint64 total = 0;  // bytes taken by until()
  QByteArray unread() const { return got.right(200); }

 private:
  int fd = -1;
  QByteArray got;
};

void whileLoopRuns(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    work();
    done = true;
    QMetaObject::invokeMethod(qApp, [] {}, Qt::QueuedConnection);
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  t.join();
}

quint16 freePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

void writeFile(const QTemporaryDir& config, const char* name, const QByteArray& text) {
  QFile f(config.filePath(name));
  if (f.open(QIODevice::WriteOnly)) f.write(text);
}
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("SWITCHER_CONFIG_DIR", config.path().toLocal8Bit());
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultRounds;

  QProcess sim;
  sim.start(SC_SIM_PATH, {"--pty", "--quiet"});
  if (!sim.waitForReadyRead(5000)) {
    std::fprintf(stderr, "switcher-sim did not start\n");
    return 1;
  }
  const QByteArray pty = sim.readLine().trimmed().mid(4);  // "PTY <device>"

  QByteArray names = "[Inputs]\n";
  for (int k = 1; k <= kPorts; ++k) names += QByteArray::number(k) + "=Camera " + QByteArray::number(k) + " stage left\n";
  names += "[Outputs]\n";
  for (int k = 1; k <= kPorts; ++k) names += QByteArray::number(k) + "=Monitor " + QByteArray::number(k) + " gallery\n";
  writeFile(config, "Names.ini", names);
  const quint16 gatewayPort = freePort();
  const quint16 panelPort = freePort();
  writeFile(config, "Switcher.ini",
            "[COM]\nCOM1=" + pty + "\nCOM2=/nonexistent\nCOM3=/nonexistent\nCOM4=/nonexistent\n[Gateway]\nPort=" +
                QByteArray::number(gatewayPort) + "\n[Panel]\nPort=" + QByteArray::number(panelPort) +
                "\nMaxClients=64\n");
  CreateForms();
  bool identified = false;
  QObject::connect(MainForm, &TMainForm::identificationFinished, MainForm, [&] { identified = true; });
  while (!identified) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  // The prelude carries the routing once the grid's first "Status." has been answered.
  const routing::RoutingTable& table = MainForm->findChild<TRouting*>()->table();
  while (!table.route(kPorts).known()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  Client first(panelPort);
  std::vector<double> gateway, panel, ping, floodAnswered;
  qint64 preludeBytes = 0;
  double preludeMs = 0;
  double preludeP95 = 0;
  bool ok = true;
  whileLoopRuns([&] {
    ok = first.until("\nEND PRELUDE:\n\n");
    // 2. The prelude, now that the routing is known: one client after another.
    std::vector<double> preludes;
    for (int i = 0; ok && i < kPreludes; ++i) {
      const auto t = Clock::now();
      Client p(panelPort);
      ok = p.until("\nEND PRELUDE:\n\n");
      preludes.push_back(msSince(t));
      preludeBytes = p.total;
    }
    preludeMs = percentile(preludes, 0.5);
    preludeP95 = percentile(preludes, 0.95);
    Client c(panelPort);
    ok = ok && c.until("\nEND PRELUDE:\n\n");

    // 1. Gateway round trip.
    Client g(gatewayPort);
    for (int i = 0; ok && i < rounds + kWarmUp; ++i) {
      const auto s = Clock::now();
      ok = g.send("Status12.") && g.until("\n");
      if (i >= kWarmUp) gateway.push_back(msSince(s));
    }
    // Panel route from c seen by first; alternating inputs so that every route is a change.
    for (int i = 0; ok && i < rounds + kWarmUp; ++i) {
      const QByteArray line = "11 " + QByteArray::number(i % 2 ? 3 : 4) + "\n";
      const auto s = Clock::now();
      ok = c.send("VIDEO OUTPUT ROUTING:\n" + line + "\n") && first.until("VIDEO OUTPUT ROUTING:\n" + line + "\n");
      if (i >= kWarmUp) panel.push_back(msSince(s));
      ok = ok && c.until("VIDEO OUTPUT ROUTING:\n" + line + "\n");
    }
    // 3. A label flood from c, first's PING right behind it.
    for (int f = 0; ok && f < kFloods; ++f) {
      QByteArray flood;
      for (int k = 0; k < kFloodBlocks; ++k)
        flood += "INPUT LABELS:\n" + QByteArray::number(k % 10) + " F" + QByteArray::number(f * 10 + k % 7) + "\n\n";
      // The PING goes once the console is inside the flood (its first ACK is out).
      const auto s = Clock::now();
      ok = c.send(flood) && c.until("ACK\n\n");
      const auto p = Clock::now();
      ok = ok && first.send("PING:\n\n") && first.until("ACK\n\n");
      ping.push_back(msSince(p));
      for (int k = 1; ok && k < kFloodBlocks; ++k) ok = c.until("ACK\n\n");
      floodAnswered.push_back(msSince(s));
    }
  });
  if (!ok) {
    std::fprintf(stderr, "a client was closed, or a reply did not come within 10 s; the first client "
                 "last got \"%s\"\n", first.unread().constData());
    DestroyForms();
    sim.kill();
    sim.waitForFinished();
    return 1;
  }
  std::printf("panel route (output 12, %d rounds) from one client until a second holds the routing block: "
              "median %.3f ms, p95 %.3f ms; gateway round trip of \"Status12.\": median %.3f ms, p95 %.3f ms\n",
              rounds, percentile(panel, 0.5), percentile(panel, 0.95), percentile(gateway, 0.5),
              percentile(gateway, 0.95));
  std::printf("prelude of 256 by 256 with 512 names (%d connects): %lld bytes, last line after median %.3f ms, "
              "p95 %.3f ms\n",
              kPreludes, static_cast<long long>(preludeBytes), preludeMs, preludeP95);
  std::printf("%d label blocks in one write (%d floods): another panel's PING: answered after median %.3f ms, "
              "max %.3f ms (goal < %.0f ms: %s); the flood's last ACK after median %.3f ms\n",
              kFloodBlocks, kFloods, percentile(ping, 0.5), percentile(ping, 1.0), kPingGoalMs,
              percentile(ping, 1.0) < kPingGoalMs ? "met" : "NOT met", percentile(floodAnswered, 0.5));
  DestroyForms();
  sim.kill();
  sim.waitForFinished();
  return 0;
}
