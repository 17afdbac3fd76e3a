#pragma once
// What the console's benchmarks share: figures, free ports, a blocking TCP client on a thread
// of its own as another program would be, switcher-sim as a child process, and bench_app's
// measure (a 256-line status burst over the console's TCP link until the window has handled
// every line).

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Memo.h"
#include "SwitcherCore.h"
#include "Unit1.h"

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr int kStatusLines = 256;

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

inline double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

inline quint16 freePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

inline void writeIni(const QTemporaryDir& config, const QByteArray& text) {
  QFile ini(config.filePath("Switcher.ini"));
  if (ini.open(QIODevice::WriteOnly)) ini.write(text);
}

// switcher-sim with args; first gets its first line ("TCP 127.0.0.1:<port>" or "PTY <device>").
inline bool startSim(QProcess& sim, const QStringList& args, QByteArray* first) {
  sim.start(SC_SIM_PATH, args + QStringList{"--quiet"});
  if (!sim.waitForReadyRead(5000)) return false;
  *first = sim.readLine().trimmed();
  return true;
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
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  bool ok() const { return fd >= 0; }
  bool send(const QByteArray& bytes) { return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size(); }
  // Appends what has come, waiting for some; false when the peer closed.
  bool receive(QByteArray* into) {
    char buf[65536];
    const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return false;
    into->append(buf, int(r));
    return true;
  }
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
inline void whileLoopRuns(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    work();
    done = true;
    QMetaObject::invokeMethod(qApp, [] {}, Qt::QueuedConnection);  // wakes the loop
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  t.join();
}

// "Status12." and its reply, rounds times after ten to warm up; empty when the peer failed.
inline std::vector<double> roundTrips(quint16 port, int rounds) {
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

// The window (made with [TCP] Connect=1 to peerServer) once its link is up: the peer's socket.
inline QTcpSocket* acceptConsole(QTcpServer& peerServer) {
  while (!peerServer.hasPendingConnections() || !MainForm->socketActive())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return peerServer.nextPendingConnection();
}

// bench_app's measure: two full status replies that differ on every output, written in turn
// by the switcher's side until the window has handled all their lines; the median in ms.
// settled, when given, gets the median until the loop pass after it has run too (the
// receive log's lines and what the bridges send for the burst).
inline double statusBurstMedian(QTcpSocket* peer, int rounds, double* settled = nullptr) {
  sim::SwitcherCore core;
  const QByteArray replyA = core.execute("Status.");
  core.execute("9All.");
  const QByteArray replyB = core.execute("Status.");
  MainForm->ReplyTarget = 7;
  std::vector<double> ms, after;
  for (int i = 0; i < rounds + 10; ++i) {
    const std::uint64_t target = MainForm->LinesHandled + kStatusLines;
    QElapsedTimer t;
    t.start();
    peer->write(i % 2 ? replyB : replyA);
    peer->flush();
    while (MainForm->LinesHandled < target) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (i >= 10) ms.push_back(double(t.nsecsElapsed()) / 1e6);
    MainForm->Memo6->flushPending();
    QCoreApplication::processEvents();
    if (i >= 10) after.push_back(double(t.nsecsElapsed()) / 1e6);
  }
  if (settled) *settled = percentile(after, 0.5);
  return percentile(ms, 0.5);
}

}  // namespace bench
