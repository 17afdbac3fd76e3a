// Health and metrics: the exposition as Prometheus's own parser reads it (label values escaped
// and cut, histogram buckets cumulative), and the real switcher-bridge serving /healthz,
// /readyz and /metrics over the simulator on a pty, with nothing listening when [Metrics] Port
// is unset.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <set>

#include "BrokerSupport.h"
#include "EmberClient.h"
#include "Exposition.h"
#include "FreePort.h"
#include "RouterClients.h"

namespace {
constexpr int kWaitMs = 10000;

struct Reply {
  int status = 0;
  QByteArray type;
  QByteArray body;
};

// One HTTP/1.1 request, asked without "Connection: close": the server answers one request per
// connection, so that idle ones cannot hold the scrapers' slots, and must close it. Status 0
// when it answered nothing, or did not close, in time.
Reply fetch(quint16 port, const QByteArray& path) {
  QTcpSocket s;
  s.connectToHost(QHostAddress::LocalHost, port);
  if (!s.waitForConnected(kWaitMs)) return {};
  s.write("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
  QByteArray all;
  // Well before the 10 s after which any idle HTTP connection is closed.
  const QDeadlineTimer bound(5000);
  while (s.state() == QAbstractSocket::ConnectedState && !bound.hasExpired())
    if (s.waitForReadyRead(100) || s.bytesAvailable()) all += s.readAll();
  all += s.readAll();
  const int end = int(all.indexOf("\r\n\r\n"));
  if (s.state() == QAbstractSocket::ConnectedState || end < 0) return {};
  Reply r;
  const QList<QByteArray> head = all.left(end).split('\n');
  for (const QByteArray& h : head)
    if (h.toLower().startsWith("content-type:")) r.type = h.mid(13).trimmed();
  r.status = head.value(0).split(' ').value(1).toInt();
  r.body = all.mid(end + 4);
  return r;
}

// The samples of an exposition as Prometheus's parser reads them; empty, with why, when it
// refuses the text.
QJsonArray parse(const QByteArray& text, QString* why) {
  QProcess p;
  p.start(QStringLiteral(PYTHON_PATH), {QStringLiteral(PARSE_PY)});
  if (!p.waitForStarted(kWaitMs)) {
    *why = QStringLiteral("python3 did not start");
    return {};
  }
  p.write(text);
  p.closeWriteChannel();
  if (!p.waitForFinished(kWaitMs) || p.exitCode() != 0) {
    *why = QString::fromUtf8(p.readAllStandardError());
    return {};
  }
  return QJsonDocument::fromJson(p.readAllStandardOutput()).object()[QStringLiteral("samples")].toArray();
}

// The value of the sample with this name and labels ("k=v,k=v"); -1 when there is none.
double valueOf(const QJsonArray& samples, const QString& name, const QString& labels) {
  QJsonObject want;
  for (const QString& kv : labels.split(QLatin1Char(','), Qt::SkipEmptyParts))
    want[kv.section(QLatin1Char('='), 0, 0)] = kv.section(QLatin1Char('='), 1);
  for (const QJsonValue& v : samples) {
    const QJsonObject s = v.toObject();
    if (s[QStringLiteral("name")].toString() == name && s[QStringLiteral("labels")].toObject() == want)
      return s[QStringLiteral("value")].toDouble();
  }
  return -1;
}

// The TCP ports the process listens on: its sockets matched with the kernel's listening table.
std::set<int> listeningPorts(qint64 pid) {
  std::set<QByteArray> inodes;
  const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
  for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
    const QByteArray link = QFile::encodeName(QFile::symLinkTarget(fds.filePath(fd)));
    const int at = link.indexOf("socket:[");
    if (at >= 0) inodes.insert(link.mid(at + 8, link.size() - at - 9));
  }
  std::set<int> ports;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    QFile f{QString::fromLatin1(table)};
    if (!f.open(QIODevice::ReadOnly)) continue;
    for (const QByteArray& line : f.readAll().split('\n')) {
      const QList<QByteArray> c = line.simplified().split(' ');
      constexpr int kLocal = 1, kState = 3, kInode = 9;
      if (c.size() <= kInode || c[kState] != "0A" || !inodes.count(c[kInode])) continue;
      ports.insert(c[kLocal].mid(c[kLocal].lastIndexOf(':') + 1).toInt(nullptr, 16));
    }
  }
  return ports;
}

void writeFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(text);
}

// A switcher-bridge of its own settings folder, its stderr kept.
struct Bridge {
  QTemporaryDir dir;
  QProcess process;
  QByteArray log;
  ~Bridge() {
    process.terminate();
    process.waitForFinished(kWaitMs);
  }
  bool start(const QByteArray& ini) {
    writeFile(dir.filePath("Switcher.ini"), ini);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SWITCHER_CONFIG_DIR", dir.path());
    env.insert("SWITCHER_LOG_DIR", dir.filePath("log"));
    process.setProcessEnvironment(env);
    QObject::connect(&process, &QProcess::readyReadStandardError, &process, [this] { log += process.readAllStandardError(); });
    process.start(QStringLiteral(BRIDGE_PATH), {});
    return process.waitForStarted(kWaitMs);
  }
};
}  // namespace

class TestMetrics : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void labels_data();
  void labels();
  void buckets_data();
  void buckets();
  void beforeTheLink_data();
  void beforeTheLink();
  void afterTheLink_data();
  void afterTheLink();
  void readOnlyFrontEnds_data();
  void readOnlyFrontEnds();
  void rejections_data();
  void rejections();
  void listeners();
  void cleanupTestCase();

 private:
  QJsonArray scrape() { return scrapeAt(metricsPort); }
  static QJsonArray scrapeAt(quint16 port);
  Bridge bridge;
  QProcess sim;
  quint16 gatewayPort = 0, metricsPort = 0;
  QTcpSocket gateway;
};

void TestMetrics::initTestCase() {
  QVERIFY2(QFile::exists(QStringLiteral(PYTHON_PATH)), "python3 is not installed");
  // The switcher's pty does not exist yet: the bridge waits for it, and is not ready.
  gatewayPort = freePort();
  metricsPort = freePort();
  QVERIFY(bridge.start(QStringLiteral("[Bridge]\nLink=%1\n[Gateway]\nPort=%2\n[Metrics]\nPort=%3\n")
                           .arg(bridge.dir.filePath("switcher"))
                           .arg(gatewayPort)
                           .arg(metricsPort)
                           .toUtf8()));
  QTRY_VERIFY2_WITH_TIMEOUT(fetch(metricsPort, "/healthz").status == 200, bridge.log.constData(), kWaitMs);
  gateway.connectToHost(QHostAddress::LocalHost, gatewayPort);
  QVERIFY(gateway.waitForConnected(kWaitMs));
}

QJsonArray TestMetrics::scrapeAt(quint16 port) {
  const Reply r = fetch(port, "/metrics");
  if (r.status != 200 || r.type != "text/plain; version=0.0.4; charset=utf-8") return {};
  QString why;
  const QJsonArray samples = parse(r.body, &why);
  if (!why.isEmpty()) qWarning("%s\n%s", qPrintable(why), r.body.constData());
  return samples;
}

void TestMetrics::cleanupTestCase() {
  sim.kill();
  sim.waitForFinished(kWaitMs);
  // Scraped, then stopped: its listener goes once, with the HTTP server that took it.
  bridge.process.terminate();
  QVERIFY(bridge.process.waitForFinished(kWaitMs));
  QCOMPARE(bridge.process.exitStatus(), QProcess::NormalExit);
  QVERIFY2(bridge.process.exitCode() == 0, bridge.log.right(2000).constData());
}

// ---- the exposition ----

void TestMetrics::labels_data() {
  QTest::addColumn<QString>("value");
  QTest::addColumn<QString>("read");
  QTest::newRow("double quote escaped") << "MATRIX \"HD\"" << "MATRIX \"HD\"";
  QTest::newRow("backslash escaped") << "V1\\2" << "V1\\2";
  QTest::newRow("line feed escaped") << "V1\n2" << "V1\n2";
  QTest::newRow("other control characters dropped") << "V1\r\t2" << "V12";
  QTest::newRow("cut to the bound") << QString(100, QLatin1Char('x')) << QString(metrics::kMaxLabelChars, QLatin1Char('x'));
  QTest::newRow("UTF-8 kept") << QString::fromUtf8("矩阵") << QString::fromUtf8("矩阵");
}

void TestMetrics::labels() {
  QFETCH(QString, value);
  QFETCH(QString, read);
  metrics::Exposition e;
  e.family("switcher_identified_info", "The switcher's model.", "gauge");
  e.sample("switcher_identified_info", 1, {{"model", value}});
  QString why;
  const QJsonArray samples = parse(e.text(), &why);
  QVERIFY2(why.isEmpty(), qPrintable(why));
  QCOMPARE(samples.size(), 1);
  QCOMPARE(samples[0].toObject()["labels"].toObject()["model"].toString(), read);
}

void TestMetrics::buckets_data() {
  QTest::addColumn<double>("seconds");
  QTest::addColumn<QString>("le");  // the smallest bucket that counts it
  QTest::newRow("on a bound: that bucket") << 0.1 << "0.1";
  QTest::newRow("just over a bound: the next") << 0.1001 << "0.25";
  QTest::newRow("the smallest") << 0.0 << "0.005";
  QTest::newRow("past the largest: +Inf only") << 11.0 << "+Inf";
}

void TestMetrics::buckets() {
  QFETCH(double, seconds);
  QFETCH(QString, le);
  metrics::Histogram h;
  h.observe(seconds);
  metrics::Exposition e;
  e.family("switcher_command_latency_seconds", "Latency.", "histogram");
  e.histogram("switcher_command_latency_seconds", h);
  QString why;
  const QJsonArray samples = parse(e.text(), &why);
  QVERIFY2(why.isEmpty(), qPrintable(why));
  bool counting = false;
  for (const QJsonValue& v : samples) {
    const QJsonObject s = v.toObject();
    if (s["name"].toString() != "switcher_command_latency_seconds_bucket") continue;
    const QString bound = s["labels"].toObject()["le"].toString();
    // The format's bounds are floats: "0.1" may be written "0.1" or "0.10".
    counting = counting || bound == le || (le != "+Inf" && bound != "+Inf" && qFuzzyCompare(bound.toDouble(), le.toDouble()));
    QCOMPARE(s["value"].toDouble(), counting ? 1.0 : 0.0);
  }
  QVERIFY(counting);
  QCOMPARE(valueOf(samples, "switcher_command_latency_seconds_count", ""), 1.0);
  QCOMPARE(valueOf(samples, "switcher_command_latency_seconds_sum", ""), seconds);
}

// ---- the bridge: before the switcher's pty exists ----

void TestMetrics::beforeTheLink_data() {
  QTest::addColumn<QByteArray>("path");
  QTest::addColumn<int>("status");
  QTest::addColumn<QByteArray>("body");  // what the body holds
  QTest::newRow("healthz answers while the loop runs") << QByteArray("/healthz") << 200 << QByteArray("ok");
  QTest::newRow("readyz: 503 with the link's reason") << QByteArray("/readyz") << 503 << QByteArray("link ");
  QTest::newRow("other paths: 404") << QByteArray("/metrics/x") << 404 << QByteArray();
}

void TestMetrics::beforeTheLink() {
  QFETCH(QByteArray, path);
  QFETCH(int, status);
  QFETCH(QByteArray, body);
  const Reply r = fetch(metricsPort, path);
  QCOMPARE(r.status, status);
  QVERIFY2(r.body.contains(body), r.body.constData());
}

// ---- the bridge: the switcher comes, a gateway client routes ----

void TestMetrics::afterTheLink_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("labels");
  QTest::addColumn<double>("least");
  QTest::addColumn<double>("most");
  QTest::newRow("gateway's refusal without a link") << "switcher_commands_refused_total" << "origin=gateway,reason=link" << 1.0 << 1.0;
  QTest::newRow("gateway's route counted") << "switcher_commands_total" << "origin=gateway" << 1.0 << 1.0;
  QTest::newRow("not under another origin") << "switcher_commands_total" << "origin=web" << 0.0 << 0.0;
  QTest::newRow("the link up") << "switcher_link_up" << "" << 1.0 << 1.0;
  QTest::newRow("its state ready") << "switcher_link_state" << "state=ready" << 1.0 << 1.0;
  QTest::newRow("no other state") << "switcher_link_state" << "state=lost" << 0.0 << 0.0;
  QTest::newRow("a device missing at the start is no loss") << "switcher_link_losses_total" << "" << 0.0 << 0.0;
  QTest::newRow("the route's report timed") << "switcher_command_latency_seconds_count" << "" << 1.0 << 1.0;
  QTest::newRow("the identification's lines heard") << "switcher_lines_received_total" << "" << 3.0 << 1e9;
  QTest::newRow("the gateway's client") << "bridge_clients" << "service=gateway" << 1.0 << 1.0;
  QTest::newRow("resident memory") << "process_resident_memory_bytes" << "" << 1e6 << 1e10;
  QTest::newRow("started lately") << "process_start_time_seconds" << "" << double(QDateTime::currentSecsSinceEpoch() - 3600)
                                  << double(QDateTime::currentSecsSinceEpoch() + 1);
}

void TestMetrics::afterTheLink() {
  QFETCH(QString, name);
  QFETCH(QString, labels);
  QFETCH(double, least);
  QFETCH(double, most);
  if (sim.state() == QProcess::NotRunning) {
    // Refused before the link: counted under its service and reason.
    gateway.write("2V3.");
    QVERIFY(gateway.waitForReadyRead(kWaitMs));
    gateway.readAll();
    sim.start(QStringLiteral(SIM_PATH), {"--pty", "--pty-link", bridge.dir.filePath("switcher"), "--quiet", "--inputs", "16",
                                         "--outputs", "8"});
    QVERIFY(sim.waitForStarted(kWaitMs));
    QTRY_VERIFY2_WITH_TIMEOUT(fetch(metricsPort, "/readyz").status == 200, bridge.log.constData(), kWaitMs);
    gateway.write("2V3.");
    QTRY_VERIFY_WITH_TIMEOUT(valueOf(scrape(), "switcher_command_latency_seconds_count", "") >= 1, kWaitMs);
  }
  const QJsonArray samples = scrape();
  QVERIFY(!samples.isEmpty());
  const double v = valueOf(samples, name, labels);
  QVERIFY2(v >= least && v <= most, qPrintable(QStringLiteral("%1{%2} = %3").arg(name, labels).arg(v)));
}

// A read-only listener refuses its clients' commands itself (the others before the engine):
// each refusal counted once under its own origin and reason, not as the link's.
void TestMetrics::readOnlyFrontEnds_data() {
  QTest::addColumn<QString>("section");
  QTest::addColumn<QString>("origin");
  QTest::newRow("gateway: a route") << "Gateway" << "gateway";
  QTest::newRow("router panel: a route block") << "Panel" << "panel";
  QTest::newRow("SW-P-08: a connect") << "SWP08" << "swp08";
  QTest::newRow("SW-P-08: a protect") << "SWP08" << "swp08";
  QTest::newRow("Ember+: a connection") << "Ember" << "ember";
  QTest::newRow("web page: a route") << "Web" << "web";
  QTest::newRow("MQTT: a route") << "MQTT" << "mqtt";
}

void TestMetrics::readOnlyFrontEnds() {
  QFETCH(QString, section);
  QFETCH(QString, origin);
  Broker broker;
  const bool mqtt = origin == "mqtt";
  if (mqtt) QVERIFY(broker.start());
  Bridge ro;
  const quint16 listener = freePort(), port = freePort();
  const QString listen = mqtt ? QStringLiteral("Host=127.0.0.1\nPort=%1\nDiscovery=0").arg(broker.port)
                              : QStringLiteral("Port=%1").arg(listener);
  QVERIFY(ro.start(QStringLiteral("[Bridge]\nLink=%1\n[%2]\n%3\nReadOnly=1\n[Metrics]\nPort=%4\n")
                       .arg(ro.dir.filePath("switcher"), section, listen).arg(port).toUtf8()));
  // Identified, so that the Ember+ provider knows the outputs it is asked for.
  QProcess switcher;
  switcher.start(QStringLiteral(SIM_PATH), {"--pty", "--pty-link", ro.dir.filePath("switcher"), "--quiet"});
  QVERIFY(switcher.waitForStarted(kWaitMs));
  QTRY_VERIFY2_WITH_TIMEOUT(fetch(port, "/readyz").status == 200, ro.log.constData(), kWaitMs);
  const QString label = QStringLiteral("origin=%1,reason=").arg(origin);
  QCOMPARE(valueOf(scrapeAt(port), "switcher_commands_refused_total", label + "readonly"), 0.0);
  support::PanelClient panel;
  support::Swp08Client swp08(false);
  support::EmberClient ember;
  support::PageClient page;
  support::MqttClient client(QStringLiteral("switcher/switcher"), "readonly");
  QTcpSocket gateway;
  if (section == "Gateway") {
    gateway.connectToHost(QHostAddress::LocalHost, listener);
    QVERIFY(gateway.waitForConnected(kWaitMs));
    gateway.write("2V3.");
  } else if (section == "Panel") {
    panel.open(listener);
    QTRY_VERIFY_WITH_TIMEOUT(panel.present(), kWaitMs);
    panel.route(2, 1);
  } else if (section == "SWP08") {
    swp08.open(listener);
    QTRY_VERIFY_WITH_TIMEOUT(swp08.isOpen(), kWaitMs);
    if (QByteArray(QTest::currentDataTag()).endsWith("protect")) swp08.protect(1, true);
    else swp08.route(0, 2, 1);
  } else if (section == "Ember") {
    ember.open(listener);
    QTRY_VERIFY_WITH_TIMEOUT(ember.isOpen(), kWaitMs);
    ember.route(0, 2, 1);
  } else if (section == "Web") {
    page.open(listener);
    QTRY_VERIFY_WITH_TIMEOUT(page.hasState(), kWaitMs);
    page.route(2, 1, 'B');
  } else {
    QVERIFY(client.open(broker.port));
    // The bridge's link state heard: it is connected, and subscribed to its commands.
    QTRY_VERIFY_WITH_TIMEOUT(client.ready() && !client.link().isEmpty(), kWaitMs);
    client.publish(QStringLiteral("output/1/video/set"), "2");
  }
  // Each scrape runs the parser: bounded by the clock, not by QTRY's count of its steps.
  const QDeadlineTimer bound(kWaitMs);
  QJsonArray samples;
  do {
    QTest::qWait(50);
    samples = scrapeAt(port);
  } while (valueOf(samples, "switcher_commands_refused_total", label + "readonly") < 1 && !bound.hasExpired());
  QCOMPARE(valueOf(samples, "switcher_commands_refused_total", label + "readonly"), 1.0);
  QCOMPARE(valueOf(samples, "switcher_commands_refused_total", label + "link"), 0.0);
  QCOMPARE(valueOf(samples, "switcher_commands_total", "origin=" + origin), 0.0);
}

// A client past MaxClients is closed unread, and counted under its own service.
void TestMetrics::rejections_data() {
  QTest::addColumn<QString>("section");
  QTest::addColumn<QString>("service");
  QTest::newRow("gateway") << "Gateway" << "gateway";
  QTest::newRow("SW-P-08") << "SWP08" << "swp08";
  QTest::newRow("Ember+") << "Ember" << "ember";
}

void TestMetrics::rejections() {
  QFETCH(QString, section);
  QFETCH(QString, service);
  Bridge full;
  const quint16 listener = freePort(), port = freePort();
  QVERIFY(full.start(QStringLiteral("[Bridge]\nLink=%1\n[%2]\nPort=%3\nMaxClients=1\n[Metrics]\nPort=%4\n")
                         .arg(full.dir.filePath("none"), section).arg(listener).arg(port).toUtf8()));
  QTRY_VERIFY_WITH_TIMEOUT(fetch(port, "/healthz").status == 200, kWaitMs);
  const QString label = QStringLiteral("service=%1,reason=").arg(service);
  QCOMPARE(valueOf(scrapeAt(port), "bridge_client_rejections_total", label + "full"), 0.0);
  QTcpSocket first, second;
  first.connectToHost(QHostAddress::LocalHost, listener);
  QVERIFY(first.waitForConnected(kWaitMs));
  QTRY_COMPARE_WITH_TIMEOUT(valueOf(scrapeAt(port), "bridge_clients", "service=" + service), 1.0, kWaitMs);
  second.connectToHost(QHostAddress::LocalHost, listener);
  QVERIFY(second.waitForConnected(kWaitMs));
  QTRY_COMPARE_WITH_TIMEOUT(valueOf(scrapeAt(port), "bridge_client_rejections_total", label + "full"), 1.0, kWaitMs);
  QCOMPARE(valueOf(scrapeAt(port), "bridge_client_rejections_total", label + "address"), 0.0);
}

// ---- what listens ----

// Metrics on: its port beside the gateway's; off (the default): nothing more listens.
void TestMetrics::listeners() {
  QCOMPARE(listeningPorts(bridge.process.processId()), (std::set<int>{gatewayPort, metricsPort}));
  Bridge plain;
  const quint16 port = freePort();
  QVERIFY(plain.start(QStringLiteral("[Bridge]\nLink=%1\n[Gateway]\nPort=%2\n").arg(plain.dir.filePath("none")).arg(port).toUtf8()));
  QTRY_VERIFY_WITH_TIMEOUT(listeningPorts(plain.process.processId()).count(port), kWaitMs);
  QCOMPARE(listeningPorts(plain.process.processId()), (std::set<int>{port}));
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
