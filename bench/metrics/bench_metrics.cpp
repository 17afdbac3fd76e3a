// switcher-bridge's metrics, side by side in one run:
//   - a gateway client's "Status." until its 256 lines are in, with /metrics scraped every
//     100 ms from the burst's start against no scrapes (goal: ratio under 1.1);
//   - resident memory once identified and scraped, metrics on against off (goal: under
//     0.5 MiB more), without and with the web page on: QtHttpServer 6.4 sets up TLS (OpenSSL's
//     libraries) when its first server is made, which the web page pays for already.
// Usage: bench_metrics [--rounds N]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kLines = 256;
constexpr int kScrapeMs = 100;
constexpr int kWaitMs = 10000;

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

quint16 freePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

// VmRSS, or RssAnon (its private part), in KiB.
long rssKiB(qint64 pid, const char* field = "VmRSS:") {
  QFile f(QStringLiteral("/proc/%1/status").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith(field)) return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLong();
  return 0;
}

// The bridge over its own simulator on a pty, the gateway on, metrics on or off.
struct Bridge {
  QTemporaryDir dir;
  QProcess sim, p;
  quint16 gateway = freePort(), metrics = 0;
  bool start(bool withMetrics, bool withWeb = false) {
    sim.start(QStringLiteral(SC_SIM_PATH), {"--pty", "--quiet"});
    if (!sim.waitForReadyRead(5000)) return false;
    const QString pty = QString::fromLatin1(sim.readLine().trimmed().mid(4));
    if (withMetrics) metrics = freePort();
    QFile ini(dir.filePath("Switcher.ini"));
    if (!ini.open(QIODevice::WriteOnly)) return false;
    ini.write(QStringLiteral("[Bridge]\nLink=%1\n[Gateway]\nPort=%2\n%3%4")
                  .arg(pty)
                  .arg(gateway)
                  .arg(withMetrics ? QStringLiteral("[Metrics]\nPort=%1\n").arg(metrics) : QString())
                  .arg(withWeb ? QStringLiteral("[Web]\nPort=%1\n").arg(freePort()) : QString())
                  .toUtf8());
    ini.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SWITCHER_CONFIG_DIR", dir.path());
    env.insert("SWITCHER_LOG_DIR", dir.filePath("log"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(SC_BRIDGE_PATH), {});
    return p.waitForStarted(5000);
  }
  ~Bridge() {
    p.terminate();
    if (!p.waitForFinished(5000)) p.kill();
    sim.kill();
    sim.waitForFinished();
  }
};

// A scrape on the event loop: connects, asks, and reads the whole answer before the next.
struct Scraper {
  quint16 port;
  QTcpSocket s;
  int done = 0;
  qint64 expected = -1;
  QByteArray got;
  explicit Scraper(quint16 port) : port(port) {
    QObject::connect(&s, &QTcpSocket::connected, &s, [this] {
      s.write("GET /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    });
    QObject::connect(&s, &QTcpSocket::readyRead, &s, [this] {
      got += s.readAll();
      const int end = got.indexOf("\r\n\r\n");
      if (end < 0) return;
      const int at = got.toLower().indexOf("content-length:");
      if (at >= 0 && got.size() - end - 4 >= got.mid(at + 15, got.indexOf('\r', at) - at - 15).trimmed().toLongLong()) {
        ++done;
        s.abort();
      }
    });
  }
  void scrape() {
    s.abort();
    got.clear();
    s.connectToHost(QHostAddress::LocalHost, port);
  }
};

bool connectSoon(QTcpSocket& s, quint16 port) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < kWaitMs) {
    s.connectToHost(QHostAddress::LocalHost, port);
    if (s.waitForConnected(200)) return true;
    s.abort();
    QThread::msleep(50);
  }
  return false;
}

// One burst: ms until the client holds all its lines; -1 when it did not within the bound.
double burst(QTcpSocket& client, Scraper* scraper) {
  client.readAll();
  QTimer scrapes;
  if (scraper) {
    QObject::connect(&scrapes, &QTimer::timeout, &scrapes, [scraper] { scraper->scrape(); });
    scrapes.start(kScrapeMs);
    scraper->scrape();
  }
  QElapsedTimer t;
  t.start();
  client.write("Status.");
  int lines = 0;
  while (lines < kLines && t.elapsed() < kWaitMs) {
    if (!client.bytesAvailable()) client.waitForReadyRead(kWaitMs);
    lines += int(client.readAll().count('\n'));
    QCoreApplication::processEvents();
  }
  const double ms = double(t.nsecsElapsed()) / 1e6;
  return lines >= kLines ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int rounds = 30;
  const QStringList args = app.arguments();
  const int at = int(args.indexOf(QStringLiteral("--rounds")));
  if (at > 0 && at + 1 < args.size()) rounds = qMax(1, args[at + 1].toInt());

  std::unique_ptr<Bridge> on = std::make_unique<Bridge>(), off = std::make_unique<Bridge>();
  if (!on->start(true) || !off->start(false)) {
    std::fprintf(stderr, "bench_metrics: could not start the simulator or the bridge\n");
    return 1;
  }
  QTcpSocket client;
  if (!connectSoon(client, on->gateway)) {
    std::fprintf(stderr, "bench_metrics: the gateway did not answer\n");
    return 1;
  }
  // Identified when a burst comes back whole.
  QElapsedTimer ready;
  ready.start();
  while (burst(client, nullptr) < 0 && ready.elapsed() < kWaitMs) {}
  Scraper scraper(on->metrics);
  std::vector<double> plain, scraped;
  for (int r = 0; r < rounds; ++r) {
    // Alternating, so that the machine's drift falls on both.
    const double a = burst(client, nullptr);
    const double b = burst(client, &scraper);
    if (a < 0 || b < 0) {
      std::fprintf(stderr, "bench_metrics: a burst did not complete\n");
      return 1;
    }
    plain.push_back(a);
    scraped.push_back(b);
  }
  std::printf("256-line burst to a gateway client: %.2f ms, with /metrics every %d ms: %.2f ms (ratio %.2f, goal under 1.1; %d scrapes)\n",
              median(plain), kScrapeMs, median(scraped), median(scraped) / median(plain), scraper.done);
  // Memory: each identified and through a burst; those with metrics scraped too.
  for (bool web : {false, true}) {
    std::unique_ptr<Bridge> a = std::make_unique<Bridge>(), b = std::make_unique<Bridge>();
    if (!a->start(true, web) || !b->start(false, web)) return 1;
    QTcpSocket ca, cb;
    if (!connectSoon(ca, a->gateway) || !connectSoon(cb, b->gateway)) return 1;
    ready.restart();
    while ((burst(ca, nullptr) < 0 || burst(cb, nullptr) < 0) && ready.elapsed() < kWaitMs) {}
    Scraper once(a->metrics);
    once.scrape();
    ready.restart();
    while (once.done == 0 && ready.elapsed() < kWaitMs) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const auto mib = [](qint64 pid, const char* field) { return double(rssKiB(pid, field)) / 1024.0; };
    const double onMiB = mib(a->p.processId(), "VmRSS:"), offMiB = mib(b->p.processId(), "VmRSS:");
    std::printf("resident memory%s: metrics on %.2f MiB, off %.2f MiB (%+.2f MiB, goal under 0.5 MiB more; private %+.2f MiB)\n",
                web ? " with the web page on" : "", onMiB, offMiB, onMiB - offMiB,
                mib(a->p.processId(), "RssAnon:") - mib(b->p.processId(), "RssAnon:"));
  }
  return 0;
}
