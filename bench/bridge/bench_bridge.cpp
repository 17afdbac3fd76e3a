// switcher-bridge's figures, side by side in one run:
//   - resident memory with the gateway, panels and MQTT on and the grid known, against a bare
//     QCoreApplication with one QTcpServer and libmosquitto (goal: at most 1.25 times);
//   - start until the gateway answers a client's "Status1.", identification included (goal:
//     under 300 ms), the simulator on a pseudo-terminal;
//   - the gateway round trip, a panel's route until another panel holds the report, and an
//     MQTT set until the retained update, through the bridge and through the console (goal:
//     ratio at most 1.0);
//   - the bridge's CPU over a quiet minute with every service on (goal: under 0.1%).
// Usage: bench_bridge [--rounds N] [--idle-seconds S]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <unistd.h>
#include <vector>

#include "BrokerSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double p95(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(0.95 * double(v.size() - 1) + 0.5))];
}

quint16 freePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

// Resident set of a process in KiB (Pss would hide the shared Qt libraries both map).
long rssKiB(qint64 pid) {
  QFile f(QStringLiteral("/proc/%1/status").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
  return 0;
}

// utime + stime of a process, in clock ticks.
long cpuTicks(qint64 pid) {
  QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return 0;
  const QByteArray s = f.readAll();
  const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
  return fields.value(11).toLong() + fields.value(12).toLong();
}

struct Sim {
  QProcess p;
  QString pty;
  bool start() {
    p.start(QStringLiteral(SC_SIM_PATH), {"--pty", "--quiet"});
    if (!p.waitForReadyRead(5000)) return false;
    pty = QString::fromLatin1(p.readLine().trimmed().mid(4));
    return !pty.isEmpty();
  }
  ~Sim() {
    p.kill();
    p.waitForFinished();
  }
};

// A front end (the bridge, or the console offscreen) over its own simulator, with every
// service on.
struct FrontEnd {
  QTemporaryDir dir;
  Sim sim;
  QProcess p;
  quint16 gateway = freePort(), panel = freePort(), web = freePort();
  bool start(bool console, quint16 broker, const QByteArray& id, bool withWeb = true) {
    if (!sim.start()) return false;
    QFile ini(dir.filePath("Switcher.ini"));
    if (!ini.open(QIODevice::WriteOnly)) return false;
    ini.write(QStringLiteral("[Bridge]\nLink=%1\n[COM]\nCOM1=%1\n[Gateway]\nPort=%2\n[Panel]\nPort=%3\n"
                             "[MQTT]\nHost=127.0.0.1\nPort=%4\nId=%5\nDiscovery=0\n[Web]\nPort=%6\n")
                  .arg(sim.pty).arg(gateway).arg(panel).arg(broker).arg(QString::fromLatin1(id)).arg(withWeb ? web : 0)
                  .toUtf8());
    ini.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SWITCHER_CONFIG_DIR", dir.path());
    env.insert("SWITCHER_LOG_DIR", dir.filePath("log"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    p.start(QString::fromLatin1(console ? SC_CONSOLE_PATH : SC_BRIDGE_PATH), {});
    return p.waitForStarted(5000);
  }
  ~FrontEnd() {
    p.terminate();
    if (!p.waitForFinished(5000)) p.kill();
  }
};

// Connects as soon as the front end listens (10 s at most).
bool connectSoon(QTcpSocket& s, quint16 port) {
  for (int i = 0; i < 500; ++i) {
    s.connectToHost(QHostAddress::LocalHost, port);
    if (s.waitForConnected(200)) return true;
    s.abort();
    QThread::msleep(20);
  }
  return false;
}

// The answer to a query once identified: not "Link closed", with the route of output 1.
bool answered(const QByteArray& reply) { return reply.contains(" > 001") && !reply.contains("Link closed"); }

// One line from a blocking client, or empty after 5 s.
QByteArray askGateway(QTcpSocket& s, const QByteArray& command) {
  s.write(command);
  s.waitForBytesWritten(1000);
  QByteArray got;
  while (!got.contains('\n')) {
    if (!s.waitForReadyRead(5000)) return {};
    got += s.readAll();
  }
  return got;
}

// Until the gateway answers Status1. with a route (identification done), in ms from start.
double startToAnswer(bool console, quint16 broker) {
  FrontEnd f;
  const auto t = Clock::now();
  if (!f.start(console, broker, "start")) return -1;
  while (msSince(t) < 20000) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, f.gateway);
    if (!s.waitForConnected(200)) {
      QThread::msleep(2);
      continue;
    }
    for (;;) {
      const QByteArray a = askGateway(s, "Status1.");
      if (answered(a)) return msSince(t);
      if (a.isEmpty() || s.state() != QAbstractSocket::ConnectedState) break;
      QThread::msleep(2);  // "Link closed": still identifying
    }
  }
  return -1;
}

struct Trips {
  std::vector<double> gateway, panel, mqtt;
};

Trips roundTrips(FrontEnd& f, quint16 broker, const QByteArray& id, int rounds) {
  Trips t;
  QTcpSocket g;
  if (!connectSoon(g, f.gateway)) return t;
  // Identified once Status1. is answered with a route.
  for (int i = 0; i < 2000 && !answered(askGateway(g, "Status1.")); ++i) QThread::msleep(5);
  QThread::msleep(200);
  g.readAll();
  for (int i = 0; i < rounds; ++i) {
    const auto s = Clock::now();
    if (askGateway(g, "Status12.").isEmpty()) break;
    t.gateway.push_back(msSince(s));
  }
  // A panel routes; a second panel holds the routing block that the report caused.
  QTcpSocket a, b;
  if (!connectSoon(a, f.panel) || !connectSoon(b, f.panel)) return t;
  auto drain = [](QTcpSocket& s, const QByteArray& until) {
    QByteArray got;
    while (!got.contains(until) && s.waitForReadyRead(5000)) got += s.readAll();
    return got.contains(until);
  };
  drain(a, "END PRELUDE:\n\n");
  drain(b, "END PRELUDE:\n\n");
  for (int i = 0; i < rounds; ++i) {
    const int input = 2 + i % 2;
    const QByteArray block = "VIDEO OUTPUT ROUTING:\n11 " + QByteArray::number(input) + "\n\n";
    const auto s = Clock::now();
    a.write(block);
    a.waitForBytesWritten(1000);
    if (!drain(b, "VIDEO OUTPUT ROUTING:\n11 " + QByteArray::number(input) + "\n")) break;
    t.panel.push_back(msSince(s));
    a.readAll();
  }
  // MQTT: a set until the subscriber has the retained update.
  Subscriber sub(broker, QByteArray("switcher/" + id + "/output/12/video").constData());
  for (int i = 0; i < 500 && !sub.subscribed; ++i) QThread::msleep(5);
  const QString topic = QStringLiteral("switcher/%1/output/12/video").arg(QString::fromLatin1(id));
  for (int i = 0; i < rounds; ++i) {
    const QByteArray input = QByteArray::number(4 + i % 2);
    const auto s = Clock::now();
    sub.publish(topic + "/set", input);
    bool seen = false;
    while (!(seen = sub.value(topic) == input) && msSince(s) < 5000) QThread::usleep(50);
    if (!seen) break;
    t.mqtt.push_back(msSince(s));
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int rounds = 200;
  int idleSeconds = 60;
  for (int i = 1; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--idle-seconds")) idleSeconds = std::atoi(argv[++i]);
  }
  Broker broker;
  if (!broker.start()) {
    std::fprintf(stderr, "bench_bridge: mosquitto did not start\n");
    return 1;
  }

  // Memory, alternating bare and bridge (without and with the web page).
  std::vector<double> bare, bridge, bridgeWeb;
  for (int run = 0; run < 10; ++run) {
    const bool withWeb = run % 2;
    QProcess b;
    b.start(QStringLiteral(SC_BARE_PATH), {});
    if (b.waitForReadyRead(5000)) {
      QThread::msleep(300);
      bare.push_back(double(rssKiB(b.processId())) / 1024.0);
    }
    b.kill();
    b.waitForFinished();
    FrontEnd f;
    if (f.start(false, broker.port, "memory", withWeb)) {
      QTcpSocket g;
      connectSoon(g, f.gateway);
      for (int i = 0; i < 2000 && !answered(askGateway(g, "Status1.")); ++i) QThread::msleep(5);
      QThread::msleep(300);
      (withWeb ? bridgeWeb : bridge).push_back(double(rssKiB(f.p.processId())) / 1024.0);
    }
  }
  std::printf("resident memory, gateway, panels and MQTT on, grid known: bridge %.1f MiB, bare program %.1f MiB, ratio %.2f (goal <= 1.25)\n",
              median(bridge), median(bare), median(bridge) / median(bare));
  std::printf("resident memory with the web page on as well: %.1f MiB, ratio %.2f\n", median(bridgeWeb), median(bridgeWeb) / median(bare));

  // Two bridges at once, each over its own switcher, as two instances of one machine run.
  std::vector<double> pair;
  for (int run = 0; run < 5; ++run) {
    FrontEnd a, b;
    if (!a.start(false, broker.port, "main") || !b.start(false, broker.port, "monitors")) continue;
    QTcpSocket ga, gb;
    connectSoon(ga, a.gateway);
    connectSoon(gb, b.gateway);
    for (int i = 0; i < 2000 && !answered(askGateway(ga, "Status1.")); ++i) QThread::msleep(5);
    for (int i = 0; i < 2000 && !answered(askGateway(gb, "Status1.")); ++i) QThread::msleep(5);
    QThread::msleep(300);
    pair.push_back(double(std::max(rssKiB(a.p.processId()), rssKiB(b.p.processId()))) / 1024.0);
  }
  std::printf("two bridges at once, web page on: the larger %.1f MiB against one alone %.1f MiB (goal: each within it)\n",
              median(pair), median(bridgeWeb));

  std::vector<double> starts;
  for (int run = 0; run < 7; ++run) starts.push_back(startToAnswer(false, broker.port));
  std::printf("start until the gateway answers Status1.: median %.0f ms, worst %.0f ms (goal < 300 ms)\n", median(starts),
              *std::max_element(starts.begin(), starts.end()));

  Trips viaBridge, viaConsole;
  {
    FrontEnd f;
    if (f.start(false, broker.port, "bridge")) viaBridge = roundTrips(f, broker.port, "bridge", rounds);
  }
  {
    FrontEnd f;
    if (f.start(true, broker.port, "console")) viaConsole = roundTrips(f, broker.port, "console", rounds);
  }
  auto row = [](const char* what, const std::vector<double>& b, const std::vector<double>& c) {
    std::printf("%-34s bridge median %.3f ms (p95 %.3f, %zu), console %.3f ms (p95 %.3f, %zu): ratio %.2f (goal <= 1.0)\n", what,
                median(b), p95(b), b.size(), median(c), p95(c), c.size(), median(c) > 0 ? median(b) / median(c) : 0.0);
  };
  row("gateway Status12. round trip", viaBridge.gateway, viaConsole.gateway);
  row("panel route until the report", viaBridge.panel, viaConsole.panel);
  row("MQTT set until the update", viaBridge.mqtt, viaConsole.mqtt);

  {
    FrontEnd f;
    if (f.start(false, broker.port, "idle")) {
      QThread::sleep(2);  // identified, connected, settled
      const long before = cpuTicks(f.p.processId());
      QThread::sleep(static_cast<unsigned long>(idleSeconds));
      const long ticks = cpuTicks(f.p.processId()) - before;
      const double share = 100.0 * double(ticks) / double(sysconf(_SC_CLK_TCK)) / idleSeconds;
      std::printf("idle CPU over %d s, every service on: %.3f%% (%ld ticks; goal < 0.1%%)\n", idleSeconds, share, ticks);
    }
  }
  return 0;
}
