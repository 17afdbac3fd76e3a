// Benchmark of SW-P-08, with switcher-sim (256 by 256) behind the console on a
// pseudo-terminal (COM1), in one run:
//  1. a connect (0x02) from one control system until it holds the connected (0x04) the
//     switcher's report caused: median, p95; beside it the gateway's round trip of
//     "Status12." on the same console (goal: at most 1.5 times);
//  2. a tally dump of 256 destinations on both levels: from the request until the last dump
//     message, each acknowledged as it comes (goal: under 5 ms);
//  3. 16 control systems connected and a 256-line status burst that changes every output
//     ("NAll." from a gateway client): every client must be told of all 256, and the
//     console's burst (from the command until its table holds the last report) is timed
//     against the same burst with no SW-P-08 client (goal: at most 1.5 times).
// Clients are blocking sockets on threads of their own that acknowledge every message.
// Usage: bench_swp08 [rounds]   (runs headless; needs no display)
#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>

#include "BenchSupport.h"
#include "RoutingTable.h"
#include "RoutingView.h"
#include "Swp08Frame.h"
#include "Swp08Messages.h"

using bench::Clock;
using bench::msSince;
using bench::percentile;

namespace {
constexpr int kDefaultRounds = 200;
constexpr int kWarmUp = 10;
constexpr int kPorts = 256;
constexpr int kDumps = 50;
constexpr int kBursts = 10;
constexpr int kBurstClients = 16;
constexpr double kDumpGoalMs = 5;
constexpr double kConnectGoal = 1.5;
constexpr double kBurstGoal = 1.5;

// A control system on a blocking socket: every message it reads is acknowledged.
class Controller {
 public:
  explicit Controller(quint16 port) : client(port) {}
  bool send(const QByteArray& bytes) { return client.send(bytes); }
  // Reads messages until one satisfies done; false when the peer closed.
  bool messages(const std::function<bool(const QByteArray& data)>& done) {
    for (;;) {
      std::vector<swp08::Deframer::Event> events;
      deframer.push(got.constData(), int(got.size()), &events);
      got.clear();
      bool finished = false;
      for (const auto& e : events) {
        if (e.kind != swp08::Deframer::Event::Message) continue;
        if (!send(swp08::AckBytes())) return false;
        finished = finished || done(e.data);
      }
      if (finished) return true;
      if (!client.receive(&got)) return false;
    }
  }
  // Reads until a line end (the gateway's reply).
  bool line() {
    while (!got.contains('\n'))
      if (!client.receive(&got)) return false;
    got.remove(0, got.indexOf('\n') + 1);
    return true;
  }

 private:
  bench::Client client;
  QByteArray got;
  swp08::Deframer deframer;
};

}  // namespace

namespace {
// The console's burst: "NAll." from a gateway client, then the status the engine asks for;
// timed from the burst's first report until the table has N on every output.
double burst(Controller& gateway, const routing::RoutingTable& table, int input, bool* ok) {
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
  if (!*ok) {
    int at = 0;
    for (int o = 1; o <= kPorts; ++o) at += table.route(o).video == input;
    std::fprintf(stderr, "burst of %d: %d outputs reported, %d lines handled\n", input, at, int(MainForm->LinesHandled));
  }
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
  const quint16 swpPort = bench::freePort();
  bench::writeIni(config,
            "[COM]\nCOM1=" + pty + "\nCOM2=/nonexistent\nCOM3=/nonexistent\nCOM4=/nonexistent\n[Gateway]\nPort=" +
                QByteArray::number(gatewayPort) + "\n[SWP08]\nPort=" + QByteArray::number(swpPort) + "\nMaxClients=64\n");
  CreateForms();
  bool identified = false;
  QObject::connect(MainForm, &TMainForm::identificationFinished, MainForm, [&] { identified = true; });
  while (!identified) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const routing::RoutingTable& table = MainForm->findChild<TRouting*>()->table();
  while (!table.route(kPorts).known()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

  std::vector<double> gateway, connect, dumps, bare, loaded;
  bool ok = true;
  Controller g(gatewayPort);
  bench::whileLoopRuns([&] {
    Controller c(swpPort);
    for (int i = 0; ok && i < rounds + kWarmUp; ++i) {
      const auto s = Clock::now();
      ok = g.send("Status12.") && g.line();
      if (i >= kWarmUp) gateway.push_back(msSince(s));
    }
    // Output 12 (destination 11) to input 3 or 4 (source 2 or 3), so every connect changes it.
    for (int i = 0; ok && i < rounds + kWarmUp; ++i) {
      const int source = i % 2 ? 2 : 3;
      const QByteArray want = swp08::Connected(false, 0, 0, 11, source);
      const auto s = Clock::now();
      ok = c.send(swp08::Frame(QByteArray::fromHex("02 00 00 0b") + char(source))) &&
           c.messages([&](const QByteArray& m) { return m == want; });
      if (i >= kWarmUp) connect.push_back(msSince(s));
    }
    for (int i = 0; ok && i < kDumps; ++i) {
      int left = 2 * kPorts;
      const auto s = Clock::now();
      ok = c.send(swp08::Frame(QByteArray::fromHex("15 00"))) && c.send(swp08::Frame(QByteArray::fromHex("15 01")));
      ok = ok && c.messages([&](const QByteArray& m) {
        if (m[0] == swp08::cmd::kTallyDumpByte) left -= quint8(m[2]);
        if (m[0] == swp08::cmd::kTallyDumpWord) left -= quint8(m[2]);
        return left <= 0;
      });
      dumps.push_back(msSince(s));
    }
  });
  // 3. The console's burst alone, then with 16 control systems told of it.
  for (int i = 0; ok && i < kBursts; ++i) bare.push_back(burst(g, table, 10 + i % 2, &ok));
  std::atomic<int> told{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  std::atomic<int> joined{0};
  for (int k = 0; k < kBurstClients; ++k) {
    threads.emplace_back([&, k] {
      Controller c(swpPort);
      joined++;
      // Counts the outputs told of the burst's input on video, per burst.
      std::vector<int> seen(kPorts, -1);
      c.messages([&](const QByteArray& m) {
        if (stop) return true;
        if (m.size() >= 5 && m[0] == swp08::cmd::kConnected && (m[1] & 0x0f) == 0) {
          const int destination = (quint8(m[2]) >> 4 & 7) * 128 + quint8(m[3]);
          const int source = (quint8(m[2]) & 7) * 128 + quint8(m[4]);
          if (destination < kPorts && seen[size_t(destination)] != source) {
            seen[size_t(destination)] = source;
            if (std::count(seen.begin(), seen.end(), source) == kPorts) told++;
          }
        }
        return stop.load();
      });
      (void)k;
    });
  }
  while (joined < kBurstClients) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  for (int i = 0; ok && i < kBursts; ++i) {
    loaded.push_back(burst(g, table, 20 + i % 2, &ok));
    // Every client told of the whole burst before the next.
    const auto since = Clock::now();
    while (ok && told < kBurstClients * (i + 1)) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      ok = msSince(since) < 10000;
    }
    if (!ok) std::fprintf(stderr, "burst %d: %d of %d clients told\n", i, told.load() - kBurstClients * i, kBurstClients);
  }
  stop = true;
  g.send("1V1.");  // one more change wakes each reader, which then ends
  // The console must run to send it and tell the readers.
  bench::whileLoopRuns([&] {
    for (std::thread& t : threads) t.join();
  });
  if (!ok) {
    std::fprintf(stderr, "a client was closed, or a reply did not come within 10 s\n");
    DestroyForms();
    sim.kill();
    sim.waitForFinished();
    return 1;
  }
  const double gw = percentile(gateway, 0.5);
  const double cn = percentile(connect, 0.5);
  std::printf("connect until connected (output 12, %d rounds): median %.3f ms, p95 %.3f ms; gateway round trip of "
              "\"Status12.\": median %.3f ms, p95 %.3f ms; ratio %.2f (goal at most %.1f: %s)\n",
              rounds, cn, percentile(connect, 0.95), gw, percentile(gateway, 0.95), cn / gw, kConnectGoal,
              cn / gw <= kConnectGoal ? "met" : "NOT met");
  std::printf("tally dump of 256 destinations on two levels (%d dumps): median %.3f ms, p95 %.3f ms, max %.3f ms "
              "(goal at p95 < %.0f ms: %s)\n",
              kDumps, percentile(dumps, 0.5), percentile(dumps, 0.95), percentile(dumps, 1.0), kDumpGoalMs,
              percentile(dumps, 0.95) < kDumpGoalMs ? "met" : "NOT met");
  const double b0 = percentile(bare, 0.5);
  const double b1 = percentile(loaded, 0.5);
  std::printf("256-output burst (%d bursts): %.3f ms with no SW-P-08 client, %.3f ms with %d told of every output; "
              "ratio %.2f (goal at most %.1f: %s)\n",
              kBursts, b0, b1, kBurstClients, b1 / b0, kBurstGoal, b1 / b0 <= kBurstGoal ? "met" : "NOT met");
  DestroyForms();
  sim.kill();
  sim.waitForFinished();
  return 0;
}
