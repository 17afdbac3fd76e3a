// Benchmark of the web page's server over the simulator's core, in one run (the figures that
// need a browser come from tests/web/browser_test.py, which prints them):
//  1. a 256-line status burst with 16 pages open: WebSocket messages each page got per
//     burst, and the time until the last page had the burst (median, p95);
//  2. the engine's thread for the same burst (the routing table and the server's flush, no
//     link) with 16 pages open against none open. The goal's ratio (under 1.5) is of the whole
//     burst over a link, read and parsed; this one has no link in it, so it is the stricter.
// The pages run on a thread of their own, as browsers are other programs.
// Usage: bench_web [bursts]
#include <QCoreApplication>
#include <QThread>
#include <QWebSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "SimHost.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kPages = 16;
constexpr int kDefaultBursts = 100;
constexpr double kRatioGoal = 1.5;

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}
double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The pages, on their own thread: how many messages came and when the last one did.
struct Pages {
  std::atomic<int> messages{0};
  std::atomic<Clock::rep> last{0};
  std::vector<std::unique_ptr<QWebSocket>> sockets;
};
}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int bursts = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultBursts;
  SimHost host(256, 256);
  host.replyDelayMs = 0;
  web::Settings s;
  s.listen.maxClients = kPages;
  if (const QString e = host.server.start(s); !e.isEmpty()) return std::fprintf(stderr, "%s\n", qPrintable(e)), 1;

  // Every burst changes all 256 routes: "NAll." to the core, then the report of each output.
  int input = 1;
  auto burst = [&] {
    input = input % 255 + 1;
    host.core.execute("Undo.");
    host.core.execute(QByteArray::number(input) + "All.");
    const auto t0 = Clock::now();
    host.reportAll();
    QCoreApplication::processEvents();  // the server's flush, queued by the routing changes
    return std::make_pair(t0, Clock::now() - t0);
  };
  std::vector<double> bare;
  for (int k = 0; k < bursts; ++k) bare.push_back(ms(burst().second));

  Pages pages;
  QThread thread;
  thread.start();
  QObject holder;
  holder.moveToThread(&thread);
  QMetaObject::invokeMethod(&holder, [&] {
    for (int k = 0; k < kPages; ++k) {
      auto ws = std::make_unique<QWebSocket>();
      QObject::connect(ws.get(), &QWebSocket::textMessageReceived, ws.get(), [&](const QString&) {
        ++pages.messages;
        pages.last = Clock::now().time_since_epoch().count();
      });
      QNetworkRequest r(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(host.server.port())));
      r.setRawHeader("Origin", "http://127.0.0.1:" + QByteArray::number(host.server.port()));
      ws->open(r);
      pages.sockets.push_back(std::move(ws));
    }
  }, Qt::BlockingQueuedConnection);
  while (pages.messages < kPages) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

  std::vector<double> loaded, arrival, perPage;
  for (int k = 0; k < bursts; ++k) {
    const int before = pages.messages;
    const auto [t0, took] = burst();
    loaded.push_back(ms(took));
    // Every page has a message of the burst; a few more turns let any further one show.
    while (pages.messages < before + kPages) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    for (int turn = 0; turn < 20; ++turn) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    arrival.push_back(ms(Clock::time_point(Clock::duration(pages.last.load())) - t0));
    perPage.push_back(double(pages.messages - before) / kPages);
  }
  QMetaObject::invokeMethod(&holder, [&] { pages.sockets.clear(); }, Qt::BlockingQueuedConnection);
  thread.quit();
  thread.wait();

  std::printf("256-line burst, %d pages open, %d bursts:\n", kPages, bursts);
  std::printf("  messages per page per burst: max %.0f (goal: at most 4)\n", *std::max_element(perPage.begin(), perPage.end()));
  std::printf("  until the last page had it: median %.2f ms, p95 %.2f ms (goal for all tiles: under 20 ms)\n",
              percentile(arrival, 0.5), percentile(arrival, 0.95));
  const double ratio = percentile(loaded, 0.5) / std::max(1e-6, percentile(bare, 0.5));
  std::printf("  engine thread per burst, no link: %.3f ms with pages, %.3f ms without: ratio %.2f "
              "(goal over a link: under %.1f)\n",
              percentile(loaded, 0.5), percentile(bare, 0.5), ratio, kRatioGoal);
  return 0;
}
