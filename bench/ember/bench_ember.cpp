// Benchmark of the Ember+ provider, with switcher-sim (256 by 256) behind the console on a
// pseudo-terminal (COM1), in one run:
//  1. a consumer from its TCP connect, a getDirectory of matrix 1.1 (all 256 connections), a
//     connection request (target 11 to source 2 or 3) until the connection told modified or
//     tally with the new source: median, p95; then the connection request alone on a consumer
//     that has browsed already; beside them the gateway's round trip of "Status12." on the same
//     console (goal: at most 1.5 times);
//  2. getDirectory of matrix 1.1 (256 by 256) until all 256 connections are read: time (goal:
//     under 5 ms) and bytes (Glow, and S101 on the wire);
//  3. 8 subscribed consumers and a 256-line status burst that changes every output on both
//     matrices ("NAll." from a gateway client): each must be told of all 256 on both matrices
//     in at most 4 Glow messages, and the console's burst (from the command until its table
//     holds the last report) is timed against the same burst with no consumer (goal: at most
//     1.5 times).
// Consumers are blocking sockets on threads of their own that answer keep-alives.
// Usage: bench_ember [rounds]   (runs headless; needs no display)
#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>

#include "BenchSupport.h"
#include "EmberClient.h"
#include "RoutingTable.h"
#include "RoutingView.h"

using bench::Clock;
using bench::msSince;
using bench::percentile;
using ember::glow::Path;
namespace req = support::emberreq;

namespace {
constexpr int kDefaultRounds = 200;
constexpr int kWarmUp = 10;
constexpr int kPorts = 256;
constexpr int kDirectories = 50;
constexpr int kBursts = 10;
constexpr int kConsumers = 8;
constexpr int kTarget = 11;  // output 12
constexpr int kMaxBurstMessages = 4;
constexpr double kDirectoryGoalMs = 5;
constexpr double kConnectGoal = 1.5;
constexpr double kBurstGoal = 1.5;
const Path kVideo{1, 1}, kAudio{1, 2};

// A consumer on a blocking socket.
class Consumer {
 public:
  explicit Consumer(quint16 port) : client(port) {}
  bool ok() const { return client.ok(); }
  bool send(const QByteArray& glow) {
    for (const QByteArray& frame : ember::s101::EncodeMessage(glow))
      if (!client.send(frame)) return false;
    return true;
  }
  // Reads Glow messages (answering keep-alives) until done holds after one; false when the
  // peer closed.
  bool until(const std::function<bool()>& done) {
    for (;;) {
      std::vector<ember::s101::Decoder::Event> events;
      wireBytes += got.size();
      decoder.push(got, &events);
      got.clear();
      bool finished = false;
      for (const auto& e : events) {
        if (e.kind == ember::s101::Decoder::Event::KeepAliveRequest && !client.send(ember::s101::KeepAliveResponse())) return false;
        if (e.kind != ember::s101::Decoder::Event::Message) continue;
        glowBytes += e.data.size();
        state.take(e.data);
        finished = finished || done();
      }
      if (finished) return true;
      if (!client.receive(&got)) return false;
    }
  }
  // Connections of a matrix in the message last read.
  int told(const Path& matrix) const {
    int n = 0;
    for (const auto& t : state.lastConnections) n += t.matrix == matrix;
    return n;
  }
  // Targets of a matrix whose sources are this one source.
  int holding(const Path& matrix, int source) const {
    const auto m = state.matrices.find(matrix);
    if (m == state.matrices.end()) return 0;
    int n = 0;
    for (const auto& [target, sources] : m->second.connections) n += sources == std::vector<int>{source};
    return n;
  }
  support::EmberState state;
  qint64 wireBytes = 0, glowBytes = 0;

 private:
  bench::Client client;
  QByteArray got;
  ember::s101::Decoder decoder;
};

bool GetDirectory(Consumer& c, const Path& matrix) {
  int seen = 0;
  return c.send(req::GetDirectory(req::On::Matrix, matrix)) && c.until([&] { return (seen += c.told(matrix)) >= kPorts; });
}

// The connection request until target kTarget is told with source, modified or tally.
bool Route(Consumer& c, int source) {
  return c.send(req::Connect(kVideo, kTarget, {source}, ember::glow::kConnect)) && c.until([&] {
    for (const auto& t : c.state.lastConnections)
      if (t.matrix == kVideo && t.connection.target == kTarget && t.connection.sources == std::vector<int>{source} &&
          (t.connection.disposition == ember::glow::kModified || t.connection.disposition == ember::glow::kTally))
        return true;
    return false;
  });
}

// The gateway: a line per command.
class Gateway {
 public:
  explicit Gateway(quint16 port) : client(port) {}
  bool send(const QByteArray& bytes) { return client.send(bytes); }
  bool line() {
    while (!got.contains('\n'))
      if (!client.receive(&got)) return false;
    got.remove(0, got.indexOf('\n') + 1);
    return true;
  }

 private:
  bench::Client client;
  QByteArray got;
};

// The console's burst: "NAll." from a gateway client, then the status the engine asks for;
// timed from the burst's first report until the table has N on every output.
double Burst(Gateway& gateway, const routing::RoutingTable& table, int input, bool* ok) {
  Clock::time_point first{};
  bool started = false;
  const QMetaObject::Connection c = QObject::connect(&table, &routing::RoutingTable::changed, qApp, [&] {
    if (!std::exchange(started, true)) first = Clock::now();
  });
  *ok = *ok && gateway.send(QByteArray::number(input) + "All.");
  const auto give = Clock::now();
  while (*ok) {
    bool all = true;
    for (int o = 1; o <= kPorts && all; ++o) all = table.route(o).video == input && table.route(o).audio == input;
    if (all) break;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    *ok = msSince(give) < 10000;
  }
  QObject::disconnect(c);
  return msSince(first);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("SWITCHER_CONFIG_DIR", config.path().toLocal8Bit());
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultRounds;

  QProcess sim;
  QByteArray first;
  if (!bench::startSim(sim, {"--pty"}, &first)) {
    std::fprintf(stderr, "switcher-sim did not start\n");
    return 1;
  }
  const QByteArray pty = first.mid(4);  // "PTY <device>"
  const quint16 gatewayPort = bench::freePort();
  const quint16 emberPort = bench::freePort();
  bench::writeIni(config, "[COM]\nCOM1=" + pty + "\nCOM2=/nonexistent\nCOM3=/nonexistent\nCOM4=/nonexistent\n[Gateway]\nPort=" +
                              QByteArray::number(gatewayPort) + "\n[Ember]\nPort=" + QByteArray::number(emberPort) +
                              "\nMaxClients=16\n");
  CreateForms();
  bool identified = false;
  QObject::connect(MainForm, &TMainForm::identificationFinished, MainForm, [&] { identified = true; });
  while (!identified) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const routing::RoutingTable& table = MainForm->findChild<TRouting*>()->table();
  while (!table.route(kPorts).known()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

  std::vector<double> gateway, connect, browsed, route, dirs, bare, loaded;
  qint64 dirGlow = 0, dirWire = 0;
  bool ok = true;
  const char* failed = "";
  Gateway g(gatewayPort);
  bench::whileLoopRuns([&] {
    for (int i = 0; ok && i < rounds + kWarmUp; ++i) {
      const auto s = Clock::now();
      ok = g.send("Status12.") && g.line();
      if (i >= kWarmUp) gateway.push_back(msSince(s));
    }
    if (!ok) failed = "the gateway's round trip";
    // Every request changes output 12: source 2 and 3 in turn.
    for (int i = 0; ok && i < rounds + kWarmUp; ++i) {
      const auto s = Clock::now();
      Consumer c(emberPort);
      ok = c.ok() && GetDirectory(c, kVideo);
      const double directory = msSince(s);
      ok = ok && Route(c, i % 2 ? 2 : 3);
      if (i >= kWarmUp) connect.push_back(msSince(s)), browsed.push_back(directory);
    }
    if (!ok && !*failed) failed = "a consumer's connect, getDirectory and route";
    Consumer c(emberPort);
    ok = ok && c.ok() && GetDirectory(c, kVideo);
    for (int i = 0; ok && i < rounds + kWarmUp; ++i) {
      const auto s = Clock::now();
      ok = Route(c, i % 2 ? 2 : 3);
      if (i >= kWarmUp) route.push_back(msSince(s));
    }
    if (!ok && !*failed) failed = "a connection request";
    for (int i = 0; ok && i < kDirectories; ++i) {
      const qint64 wire = c.wireBytes, glow = c.glowBytes;
      const auto s = Clock::now();
      ok = GetDirectory(c, kVideo);
      dirs.push_back(msSince(s));
      dirWire = c.wireBytes - wire;
      dirGlow = c.glowBytes - glow;
    }
    if (!ok && !*failed) failed = "a getDirectory of 1.1";
  });
  // 3. The console's burst alone, then with 8 subscribed consumers told of it.
  for (int i = 0; ok && i < kBursts; ++i) bare.push_back(Burst(g, table, 10 + i % 2, &ok));
  if (!ok && !*failed) failed = "a burst with no consumer";
  std::atomic<int> told{0}, joined{0}, generation{0}, burstInput{0};
  std::atomic<bool> stop{false};
  std::vector<std::vector<int>> messages(kConsumers);  // per consumer, per burst
  std::vector<std::thread> threads;
  for (int k = 0; k < kConsumers; ++k) {
    threads.emplace_back([&, k] {
      Consumer c(emberPort);
      if (!c.ok() || !GetDirectory(c, kVideo) || !GetDirectory(c, kAudio)) return void(joined++);
      joined++;
      int seenGeneration = 0, count = 0;
      bool done = true;
      c.until([&] {
        if (stop) return true;
        if (generation != seenGeneration) seenGeneration = generation, count = 0, done = false;
        ++count;
        const int source = burstInput - 1;
        if (!done && c.holding(kVideo, source) == kPorts && c.holding(kAudio, source) == kPorts) {
          done = true;
          messages[size_t(k)].push_back(count);
          told++;
        }
        return false;
      });
    });
  }
  while (joined < kConsumers) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  for (int i = 0; ok && i < kBursts; ++i) {
    burstInput = 20 + i % 2;
    generation = i + 1;
    loaded.push_back(Burst(g, table, burstInput, &ok));
    const auto since = Clock::now();
    while (ok && told < kConsumers * (i + 1)) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      ok = msSince(since) < 10000;
    }
    if (!ok) std::fprintf(stderr, "burst %d: %d of %d consumers told\n", i, told.load() - kConsumers * i, kConsumers);
  }
  if (!ok && !*failed) failed = "a burst with 8 consumers";
  stop = true;
  g.send("1V1.");  // one more change wakes each consumer, which then ends
  bench::whileLoopRuns([&] {
    for (std::thread& t : threads) t.join();
  });
  DestroyForms();
  sim.kill();
  sim.waitForFinished();
  if (!ok) {
    std::fprintf(stderr, "%s: a peer closed, or an answer did not come within 10 s\n", failed);
    return 1;
  }
  std::vector<double> counts;
  for (const auto& per : messages)
    for (int n : per) counts.push_back(n);
  const int most = int(percentile(counts, 1.0));
  const double gw = percentile(gateway, 0.5);
  const double cn = percentile(connect, 0.5);
  const double rt = percentile(route, 0.5);
  std::printf("gateway round trip of \"Status12.\" (%d rounds): median %.3f ms, p95 %.3f ms\n", rounds, gw,
              percentile(gateway, 0.95));
  std::printf("a consumer's connect, getDirectory of 1.1 and route until its tally (target 11): median %.3f ms, p95 %.3f ms; "
              "ratio %.2f (goal at most %.1f: %s); of which connect and getDirectory: median %.3f ms\n",
              cn, percentile(connect, 0.95), cn / gw, kConnectGoal, cn / gw <= kConnectGoal ? "met" : "NOT met",
              percentile(browsed, 0.5));
  std::printf("a connection request until its tally, consumer browsed: median %.3f ms, p95 %.3f ms; ratio %.2f (goal at "
              "most %.1f: %s)\n",
              rt, percentile(route, 0.95), rt / gw, kConnectGoal, rt / gw <= kConnectGoal ? "met" : "NOT met");
  std::printf("getDirectory of 1.1, 256 by 256 (%d requests): median %.3f ms, p95 %.3f ms, max %.3f ms (goal at p95 < %.0f ms: "
              "%s); %lld bytes of Glow, %lld bytes on the wire\n",
              kDirectories, percentile(dirs, 0.5), percentile(dirs, 0.95), percentile(dirs, 1.0), kDirectoryGoalMs,
              percentile(dirs, 0.95) < kDirectoryGoalMs ? "met" : "NOT met", dirGlow, dirWire);
  const double b0 = percentile(bare, 0.5);
  const double b1 = percentile(loaded, 0.5);
  std::printf("256-output burst (%d bursts): %.3f ms with no consumer, %.3f ms with %d subscribed; ratio %.2f (goal at most "
              "%.1f: %s); each told in %d to %d messages (goal at most %d: %s)\n",
              kBursts, b0, b1, kConsumers, b1 / b0, kBurstGoal, b1 / b0 <= kBurstGoal ? "met" : "NOT met",
              int(percentile(counts, 0)), most,
              kMaxBurstMessages, most <= kMaxBurstMessages ? "met" : "NOT met");
  return 0;
}
