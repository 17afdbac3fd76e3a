// switcher-bridge serving Ember+ to real third-party consumers: the npm libraries
// emberplus-connection and node-emberplus (installed into the build by scripts/setup), each
// driven by tests/ember/consumer.js against the simulator on a pty. They browse the tree, read
// the labels, route both matrices and are told only what the switcher reports, hear a gateway
// client's route, rename through a label and hear each other's renames, and node-emberplus
// stays connected through a long idle time on the bridge's keep-alives alone.

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "FreePort.h"
#include "RouterClients.h"

using support::Route;

namespace {
constexpr int kWaitMs = 10000;
constexpr int kInputs = 16, kOutputs = 8;
// node-emberplus closes a link it heard nothing on for 30 s (three of its own 10 s keep-alive
// periods). With its own keep-alives stopped, 60 s idle spans two such windows: only the
// bridge's requests after 5 s of silence can keep the link.
constexpr int kIdleMs = 60000;
const QString kEpc = QStringLiteral("emberplus-connection");
const QString kNep = QStringLiteral("node-emberplus");

// The simulator on a pty reached through a fixed link name, with its control channel.
class Sim {
 public:
  explicit Sim(QString link) : link(std::move(link)) {}
  ~Sim() {
    process.kill();
    process.waitForFinished(kWaitMs);
  }
  bool start() {
    QFile::remove(link);
    process.start(QStringLiteral(SIM_PATH), {"--pty", "--pty-link", link, "--control", "0", "--quiet", "--inputs",
                                             QString::number(kInputs), "--outputs", QString::number(kOutputs)});
    if (!process.waitForStarted(kWaitMs)) return false;
    if (!QTest::qWaitFor([&] { return process.peek(4096).count('\n') >= 2; }, kWaitMs)) return false;
    process.readLine();
    const QByteArray line = process.readLine().trimmed();
    control.connectToHost(QHostAddress::LocalHost, quint16(line.mid(line.lastIndexOf(':') + 1).toUInt()));
    return control.waitForConnected(kWaitMs);
  }
  QByteArray ask(const QByteArray& command) {
    control.write(command + '\n');
    QByteArray reply;
    (void)QTest::qWaitFor([&] {
      while (control.canReadLine()) {
        const QByteArray l = control.readLine();
        reply += l;
        if (l.startsWith("OK") || l.startsWith("ERR")) return true;
      }
      control.waitForReadyRead(5);
      return false;
    }, kWaitMs);
    return reply;
  }
  std::map<int, Route> truth() {
    std::map<int, Route> routes;
    for (const QByteArray& l : ask("status").split('\n')) {
      const QList<QByteArray> f = l.split(' ');
      if (f.size() == 3 && f[0] != "OK") routes[f[0].toInt()] = {f[1].toInt(), f[2].toInt()};
    }
    return routes;
  }
  const QString link;
  QProcess process;
  QTcpSocket control;
};

// One consumer through tests/ember/consumer.js: one request at a time, its answers, the matrix
// changes it hears and whether it lost the link.
class Consumer {
 public:
  bool start(const QString& lib, quint16 port) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NODE_PATH", QStringLiteral(NPM_DIR "/node_modules"));
    process.setProcessEnvironment(env);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] { read(); });
    process.start(QStringLiteral("node"), {QStringLiteral(CONSUMER_JS), lib, QString::number(port)});
    return process.waitForStarted(kWaitMs);
  }
  ~Consumer() {
    process.closeWriteChannel();
    if (!process.waitForFinished(2000)) process.kill();
    process.waitForFinished(kWaitMs);
  }
  // The consumer's answer, or {"error": ...} (its own, or none within the bound).
  QJsonValue call(const QJsonArray& request) {
    const int before = int(replies.size());
    process.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    if (!QTest::qWaitFor([&] { return int(replies.size()) > before || process.state() != QProcess::Running; }, kWaitMs) ||
        int(replies.size()) == before) {
      return QJsonObject{{"error", "no answer to " + QJsonDocument(request).toJson(QJsonDocument::Compact) + ": " +
                                       QString::fromUtf8(process.readAllStandardError())}};
    }
    return replies[before];
  }
  // Whether a matrix change heard since `from` puts `sources` on the target.
  bool heard(const QString& matrix, int target, const QJsonArray& sources, qsizetype from = 0) const {
    for (qsizetype k = from; k < changes.size(); ++k) {
      const QJsonObject connections = changes[k]["connections"].toObject();
      if (changes[k]["matrix"].toString() == matrix && connections.contains(QString::number(target)) &&
          connections[QString::number(target)].toArray() == sources) {
        return true;
      }
    }
    return false;
  }
  QList<QJsonValue> replies;
  QList<QJsonObject> changes;
  bool disconnected = false;
  QProcess process;

 private:
  void read() {
    pending += process.readAllStandardOutput();
    for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
      const QJsonObject o = QJsonDocument::fromJson(pending.left(end)).object();
      pending.remove(0, end + 1);
      if (o.contains("matrix")) changes << o;
      else if (o.contains("disconnected")) disconnected = true;
      else replies << (o.contains("reply") ? o["reply"] : QJsonValue(QJsonObject{{"error", o["error"]}}));
    }
  }
  QByteArray pending;
};

QString text(const QJsonValue& v) {
  return QString::fromUtf8(QJsonDocument(v.isObject() ? v.toObject() : QJsonObject{{"value", v}}).toJson(QJsonDocument::Compact));
}

// The names the labels hold for an output (targets) or an input (sources) at start.
QString startName(bool output, int number) {
  if (output && number == 3) return QStringLiteral("Monitor");
  if (!output && number == 2) return QStringLiteral("Camera 2");
  return (output ? QStringLiteral("OUT %1") : QStringLiteral("IN %1")).arg(number);
}

// The first difference between a consumer's tree (path -> element) and the bridge's, or empty.
QString treeFault(const QJsonObject& tree) {
  QStringList expected;
  auto element = [&](const QString& path, const QString& identifier, const QString& type) -> QJsonObject {
    expected << path;
    const QJsonObject e = tree[path].toObject();
    if (e["identifier"].toString() != identifier || e["type"].toString() != type) return {};
    return e;
  };
  if (element("1", "switcher", "node").isEmpty()) return "1 is not the switcher node";
  for (const char* path : {"1.1", "1.2"}) {
    const QJsonObject m = element(path, path == QByteArray("1.1") ? "video" : "audio", "matrix");
    if (m["targetCount"].toInt() != kOutputs || m["sourceCount"].toInt() != kInputs ||
        m["labels"].toArray() != QJsonArray{"1.3"}) {
      return QStringLiteral("matrix %1 is %2").arg(path, text(m));
    }
  }
  if (element("1.3", "labels", "node").isEmpty() || element("1.3.1", "targets", "node").isEmpty() ||
      element("1.3.2", "sources", "node").isEmpty() || element("1.4", "state", "node").isEmpty()) {
    return "the labels or state nodes are missing";
  }
  for (int output = 1; output <= kOutputs; ++output) {
    const QString path = QStringLiteral("1.3.1.%1").arg(output - 1);
    if (element(path, QStringLiteral("t%1").arg(output - 1), "parameter").value("value").toString() != startName(true, output))
      return path + " is " + text(tree[path]);
  }
  for (int input = 1; input <= kInputs; ++input) {
    const QString path = QStringLiteral("1.3.2.%1").arg(input - 1);
    if (element(path, QStringLiteral("s%1").arg(input - 1), "parameter").value("value").toString() != startName(false, input))
      return path + " is " + text(tree[path]);
  }
  if (element("1.4.1", "link", "parameter").value("value").toString() != "ready" || element("1.4.2", "model", "parameter").isEmpty() ||
      element("1.4.3", "version", "parameter").isEmpty()) {
    return "the state parameters are " + text(tree["1.4.1"]) + text(tree["1.4.2"]) + text(tree["1.4.3"]);
  }
  for (const QString& path : tree.keys())
    if (!expected.contains(path)) return "an element nobody asked for at " + path;
  return {};
}

void writeFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(text);
}
}  // namespace

class TestEmberConsumer : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void cleanupTestCase();
  void consumer_data();
  void consumer();

 private:
  bool gatewaySees(const std::map<int, Route>& truth);
  QTemporaryDir dir;
  std::unique_ptr<Sim> sim;
  QProcess bridge;
  QByteArray log;
  quint16 gatewayPort = 0, emberPort = 0;
  std::unique_ptr<support::GatewayClient> gateway;
};

void TestEmberConsumer::initTestCase() {
  for (const QString& lib : {kEpc, kNep}) {
    const QString installed = QStringLiteral(NPM_DIR "/node_modules/%1/package.json").arg(lib);
    QVERIFY2(QFile::exists(installed), qPrintable(lib + " is not installed in " NPM_DIR ": scripts/setup installs it"));
  }
  sim = std::make_unique<Sim>(dir.filePath("switcher"));
  QVERIFY(sim->start());
  gatewayPort = freePort();
  emberPort = freePort();
  writeFile(dir.filePath("Switcher.ini"), QStringLiteral("[Bridge]\nLink=%1\n[Gateway]\nPort=%2\n[Ember]\nPort=%3\n")
                                              .arg(sim->link).arg(gatewayPort).arg(emberPort).toUtf8());
  writeFile(dir.filePath("Names.ini"), "[Inputs]\n2=Camera 2\n[Outputs]\n3=Monitor\n");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("SWITCHER_CONFIG_DIR", dir.path());
  env.insert("SWITCHER_LOG_DIR", dir.filePath("log"));
  bridge.setProcessEnvironment(env);
  connect(&bridge, &QProcess::readyReadStandardError, this, [this] { log += bridge.readAllStandardError(); });
  bridge.start(QStringLiteral(BRIDGE_PATH), {});
  QVERIFY(bridge.waitForStarted(kWaitMs));
  QTRY_VERIFY2_WITH_TIMEOUT(log.contains("identified MATRIX") && log.contains("Ember+: listening"), log.constData(), kWaitMs);
  gateway = std::make_unique<support::GatewayClient>();
  gateway->open(gatewayPort);
  QTRY_VERIFY_WITH_TIMEOUT(gateway->isOpen(), kWaitMs);
}

void TestEmberConsumer::cleanupTestCase() {
  bridge.terminate();
  bridge.waitForFinished(kWaitMs);
}

bool TestEmberConsumer::gatewaySees(const std::map<int, Route>& truth) {
  gateway->send("Status.");
  return QTest::qWaitFor(
      [&] { return support::Differences(gateway->view, {kInputs, kOutputs, truth, {}, {}}, false, false).isEmpty(); }, kWaitMs);
}

// Every row starts from input 1 on every output and level, known to the bridge.
void TestEmberConsumer::init() {
  QVERIFY(sim->ask("answer").startsWith("OK"));
  for (int o = 1; o <= kOutputs; ++o) QVERIFY(sim->ask("route 1 " + QByteArray::number(o) + " av").startsWith("OK"));
  std::map<int, Route> all;
  for (int o = 1; o <= kOutputs; ++o) all[o] = {1, 1};
  QCOMPARE(sim->truth(), all);
  QVERIFY(gatewaySees(all));
}

void TestEmberConsumer::cleanup() {
  if (QTest::currentTestFailed()) qWarning("the bridge said:\n%s", log.right(3000).constData());
}

void TestEmberConsumer::consumer_data() {
  QTest::addColumn<QString>("lib");
  QTest::addColumn<QString>("step");
  // Step by step, each consumer in turn: the renames come after every row that reads the names.
  const std::pair<const char*, const char*> steps[] = {
      {"the whole tree, twice, and elements by numbers and by identifiers", "browse"},
      {"the matrices' labels: Names.ini's names and the defaults", "labels"},
      {"a video route is told with the switcher's report, not before", "route video"},
      {"an audio route is told with the switcher's report, not before", "route audio"},
      {"a gateway client's route is heard", "gateway route"},
      {"a label set renames, into Names.ini", "rename"},
      {"another's rename is told, also before the labels were browsed", "renamed elsewhere"},
  };
  for (const auto& [what, step] : steps)
    for (const QString& lib : {kEpc, kNep})
      QTest::newRow(qPrintable(lib + ": " + what)) << lib << QString::fromLatin1(step);
  // Long, so for the one consumer that drops a silent link by itself.
  QTest::newRow("node-emberplus: 60 s idle without its own keep-alives, then still told") << kNep << "idle";
}

void TestEmberConsumer::consumer() {
  QFETCH(QString, lib);
  QFETCH(QString, step);
  Consumer c;
  QVERIFY(c.start(lib, emberPort));
  auto call = [&](const QJsonArray& request) -> QJsonValue {
    const QJsonValue v = c.call(request);
    if (v.isObject() && v.toObject().contains("error")) qWarning("%s: %s", qPrintable(lib), qPrintable(text(v)));
    return v;
  };
  // The matrix's directory answered with every target (input 1 = source 0 on each after init()),
  // and the consumer subscribed to its changes.
  auto subscribed = [&](const QString& matrix) {
    const QJsonObject connections = call({"subscribe", matrix}).toObject()["connections"].toObject();
    int fromInput1 = 0;
    for (const QString& target : connections.keys()) fromInput1 += connections[target].toArray() == QJsonArray{0};
    return connections.size() == kOutputs && fromInput1 == kOutputs;
  };

  if (step == "browse") {
    const QJsonObject first = call({"tree"}).toObject();
    QVERIFY2(treeFault(first).isEmpty(), qPrintable(treeFault(first) + "\n" + text(first)));
    // Browsed again on the same connection, over what the consumer already holds.
    const QJsonObject second = call({"tree"}).toObject();
    QVERIFY2(treeFault(second).isEmpty(), qPrintable(treeFault(second) + "\n" + text(second)));
    const QJsonObject byNumbers = call({"get", "1.3.1.2"}).toObject();
    QCOMPARE(byNumbers["identifier"].toString(), QString("t2"));
    QCOMPARE(byNumbers["value"].toString(), QString("Monitor"));
    const QJsonObject byIdentifiers = call({"get", "switcher/labels/sources/s1"}).toObject();
    QCOMPARE(byIdentifiers["path"].toString(), QString("1.3.2.1"));
    QCOMPARE(byIdentifiers["value"].toString(), QString("Camera 2"));
    QCOMPARE(call({"get", "switcher/audio"}).toObject()["path"].toString(), QString("1.2"));
  } else if (step == "labels") {
    for (const char* matrix : {"switcher/video", "switcher/audio"}) {
      const QJsonObject names = call({"labels", matrix}).toObject();
      for (int output : {1, 3, kOutputs})
        QCOMPARE(names[QStringLiteral("1.3.1.%1").arg(output - 1)]["value"].toString(), startName(true, output));
      for (int input : {1, 2, kInputs})
        QCOMPARE(names[QStringLiteral("1.3.2.%1").arg(input - 1)]["value"].toString(), startName(false, input));
    }
  } else if (step == "route video" || step == "route audio") {
    const bool video = step == "route video";
    const QString matrix = video ? "1.1" : "1.2";
    QVERIFY(subscribed(matrix));
    // The switcher carries the route out but reports nothing: the consumer keeps the old source.
    QVERIFY(sim->ask("silent").startsWith("OK"));
    const QJsonObject answer = call({"connect", matrix, 2, 4}).toObject();  // input 5 to output 3
    QVERIFY2(answer["connections"]["2"].toArray() == QJsonArray{0}, qPrintable(text(answer)));
    QTRY_COMPARE_WITH_TIMEOUT(sim->truth()[3], (video ? Route{5, 1} : Route{1, 5}), kWaitMs);
    const QJsonObject meanwhile = call({"subscribe", matrix}).toObject();
    QVERIFY2(meanwhile["connections"]["2"].toArray() == QJsonArray{0}, qPrintable(text(meanwhile)));
    QVERIFY(!c.heard(matrix, 2, {4}));
    // Once the switcher reports it, the consumer is told.
    QVERIFY(sim->ask("answer").startsWith("OK"));
    gateway->send("Status.");
    QTRY_VERIFY_WITH_TIMEOUT(c.heard(matrix, 2, {4}), kWaitMs);
  } else if (step == "gateway route") {
    QVERIFY(subscribed("1.1"));
    const qsizetype from = c.changes.size();
    gateway->send("3V2.");  // input 3 to output 2: source 2 on target 1
    QTRY_VERIFY_WITH_TIMEOUT(c.heard("1.1", 1, {2}, from), kWaitMs);
  } else if (step == "rename") {
    // Each consumer renames a label of its own, so that the other's rows see the names at start.
    const bool epc = lib == kEpc;
    const QString path = epc ? "switcher/labels/sources/s4" : "switcher/labels/targets/t5";
    const QString name = epc ? "Camera 5" : "Stage Left";
    QCOMPARE(call({"set", path, name}).toString(), name);
    auto names = [&] {
      QFile f(dir.filePath("Names.ini"));
      return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    QTRY_VERIFY_WITH_TIMEOUT(names().contains(epc ? "5=Camera 5" : "6=Stage Left"), kWaitMs);
    QCOMPARE(call({"get", path}).toObject()["value"].toString(), name);
  } else if (step == "renamed elsewhere") {
    // Told only once it has the labels: emberplus-connection files a change below a node it has
    // not browsed under the wrong parent, and then finds no labels.
    const bool epc = lib == kEpc;
    const QString path = epc ? "1.3.1.6" : "1.3.1.3";
    const QString byIdentifiers = epc ? "switcher/labels/targets/t6" : "switcher/labels/targets/t3";
    QCOMPARE(call({"get", "switcher/video"}).toObject()["path"].toString(), QString("1.1"));
    Consumer other;
    QVERIFY(other.start(epc ? kNep : kEpc, emberPort));
    QCOMPARE(other.call({"set", path, "Desk"}).toString(), QString("Desk"));
    QCOMPARE(call({"get", byIdentifiers}).toObject()["value"].toString(), QString("Desk"));
    QCOMPARE(other.call({"set", path, "Desk 2"}).toString(), QString("Desk 2"));
    // By numbers: what the consumer holds, without asking.
    QTRY_COMPARE_WITH_TIMEOUT(call({"get", path}).toObject()["value"].toString(), QString("Desk 2"), kWaitMs);
  } else if (step == "idle") {
    QVERIFY(subscribed("1.1"));
    call({"stopKeepAlive"});
    QVERIFY2(!QTest::qWaitFor([&] { return c.disconnected; }, kIdleMs), "node-emberplus closed the idle link");
    QCOMPARE(call({"connected"}).toBool(), true);
    const qsizetype from = c.changes.size();
    gateway->send("7V8.");
    QTRY_VERIFY_WITH_TIMEOUT(c.heard("1.1", 7, {6}, from), kWaitMs);
  }
}

QTEST_GUILESS_MAIN(TestEmberConsumer)
#include "tst_emberconsumer.moc"
