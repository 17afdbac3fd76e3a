// The bridge's payloads without a broker, and the bridge against a real mosquitto with a
// fake console behind it.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "BrokerSupport.h"
#include "MqttBridge.h"

using mqtt::SendResult;

namespace {
constexpr int kWaitMs = 10000;

class FakeHost : public mqtt::MqttHost {
 public:
  bool linkUp() const override { return up; }
  bool linkReady() const override { return up; }
  SendResult sendCommand(const QByteArray& c, const QString& label, std::function<void()>) override {
    if (result == SendResult::Accepted) sent << c + " [" + label.toLatin1() + "]";
    return result;
  }
  std::vector<QByteArray> groupCodes(int index) const override {
    if (index < 0 || index >= groupList.size()) return {};
    if (index < codes.size()) return {codes[index].cbegin(), codes[index].cend()};
    return {"group " + groupList[index].toUtf8()};
  }
  routing::Route route(int output) const override { return table.route(output); }
  QString name(names::Kind k, int n) const override { return names.name(k, n); }
  QStringList groups() const override { return groupList; }
  mqtt::Info info() const override { return {"MATRIX 16X16", "V1.2", "TCP 127.0.0.1:5000", inputs, outputs}; }

  bool up = true;
  SendResult result = SendResult::Accepted;
  routing::RoutingTable table;
  names::Names names;
  QStringList groupList{"Morning", "Evening"};
  QList<QList<QByteArray>> codes;  // per group; a group beyond it sends "group NAME"
  int inputs = 16, outputs = 16;
  QList<QByteArray> sent;
};

mqtt::Settings settingsFor(quint16 port, const QString& id) {
  mqtt::Settings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.id = id;
  return s;
}
}  // namespace

class TestMqttBridge : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { QVERIFY(broker.start()); }
  void parse_data();
  void parse();
  void retainedState_data();
  void retainedState();
  void commands_data();
  void commands();
  void burstPublishesChangesOnly_data();
  void burstPublishesChangesOnly();
  void discovery_data();
  void discovery();
  void brokerComesAndGoes();
  void retryDelays_data();
  void retryDelays();

 private:
  Broker broker;
  int ids = 0;
  QString nextId() { return QStringLiteral("t%1").arg(++ids); }
};

void TestMqttBridge::parse_data() {
  QTest::addColumn<QString>("topic");
  QTest::addColumn<QByteArray>("payload");
  QTest::addColumn<QByteArray>("command");  // empty: refused
  QTest::addColumn<QString>("reason");
  QTest::newRow("video") << "output/12/video/set" << QByteArray("5") << QByteArray("5V12.") << "";
  QTest::newRow("audio") << "output/12/audio/set" << QByteArray("5") << QByteArray("5A12.") << "";
  QTest::newRow("both") << "output/12/set" << QByteArray("16") << QByteArray("16B12.") << "";
  QTest::newRow("close both") << "output/12/set" << QByteArray("0") << QByteArray("12$.") << "";
  QTest::newRow("close video") << "output/3/video/set" << QByteArray("0") << QByteArray("0V3.") << "";
  QTest::newRow("select option") << "output/12/video/set" << QByteArray("3 Camera 3") << QByteArray("3V12.") << "";
  QTest::newRow("raw") << "command" << QByteArray("Status.") << QByteArray("Status.") << "";
  QTest::newRow("letters") << "output/12/set" << QByteArray("x") << QByteArray() << "not a number";
  QTest::newRow("sign") << "output/12/set" << QByteArray("-1") << QByteArray() << "not a number";
  QTest::newRow("empty") << "output/12/set" << QByteArray() << QByteArray() << "not a number";
  QTest::newRow("trailing") << "output/12/set" << QByteArray("5x") << QByteArray() << "not a number";
  QTest::newRow("input range") << "output/12/set" << QByteArray("17") << QByteArray() << "input not 0 to 16";
  QTest::newRow("output range") << "output/17/set" << QByteArray("1") << QByteArray() << "output not 1 to 16";
  QTest::newRow("output 0") << "output/0/video/set" << QByteArray("1") << QByteArray() << "output not 1 to 16";
  QTest::newRow("signal") << "output/1/luma/set" << QByteArray("1") << QByteArray() << "unknown topic";
  QTest::newRow("topic") << "outputs/1/set" << QByteArray("1") << QByteArray() << "unknown topic";
  QTest::newRow("long") << "command" << QByteArray(257, '.') << QByteArray() << "payload over 256 bytes";
  QTest::newRow("utf-8") << "output/1/set" << QByteArray("1 \xff\xfe") << QByteArray() << "payload is not UTF-8";
  QTest::newRow("no terminator") << "command" << QByteArray("Status") << QByteArray() << "command without its terminator (. or ;)";
  QTest::newRow("no command") << "command" << QByteArray("  ") << QByteArray() << "no command";
  QTest::newRow("no group") << "group/execute" << QByteArray(" ") << QByteArray() << "no group name";
}

void TestMqttBridge::parse() {
  QFETCH(QString, topic);
  QFETCH(QByteArray, payload);
  QFETCH(QByteArray, command);
  QFETCH(QString, reason);
  const mqtt::Command c = mqtt::ParseCommand(topic, payload, 16, 16);
  QCOMPARE(c.reason, reason);
  QCOMPARE(c.commands.empty() ? QByteArray() : c.commands.front(), command);
}

void TestMqttBridge::retainedState_data() {
  QTest::addColumn<QString>("topic");
  QTest::addColumn<QByteArray>("payload");
  QTest::newRow("status") << "status" << QByteArray("online");
  QTest::newRow("link") << "link" << QByteArray("up");
  QTest::newRow("video") << "output/2/video" << QByteArray("7");
  QTest::newRow("audio") << "output/2/audio" << QByteArray("4");
  QTest::newRow("label named") << "output/2/label" << QByteArray("7 Camera 7");
  QTest::newRow("label closed") << "output/3/label" << QByteArray("0 Off");
  QTest::newRow("label bare") << "output/4/label" << QByteArray("9");
  QTest::newRow("unknown route") << "output/5/video" << QByteArray("<none>");
  QTest::newRow("beyond outputs") << "output/17/video" << QByteArray("<none>");
  QTest::newRow("input name") << "input/7/name" << QByteArray("Camera 7");
  QTest::newRow("output name") << "output/2/name" << QByteArray("Stage");
  QTest::newRow("groups") << "groups" << QByteArray("[\"Morning\",\"Evening\"]");
  QTest::newRow("info") << "info" << QByteArray(R"({"inputs":16,"link":"TCP 127.0.0.1:5000","model":"MATRIX 16X16","outputs":16,"version":"V1.2"})");
}

void TestMqttBridge::retainedState() {
  QFETCH(QString, topic);
  QFETCH(QByteArray, payload);
  FakeHost host;
  host.table.setVideo(2, 7);
  host.table.setAudio(2, 4);
  host.table.close(3);
  host.table.setBoth(4, 9);
  host.table.setBoth(17, 1);
  host.names.set(names::Kind::Input, 7, "Camera 7");
  host.names.set(names::Kind::Output, 2, "Stage");
  const QString id = nextId();
  mqtt::MqttBridge bridge(host, settingsFor(broker.port, id));
  bridge.start();
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  Subscriber sub(broker.port, qPrintable("switcher/" + id + "/#"));
  QTRY_VERIFY_WITH_TIMEOUT(sub.has("switcher/" + id + "/output/4/label"), kWaitMs);
  QCOMPARE(sub.value("switcher/" + id + "/" + topic), payload);
  QCOMPARE(bridge.statusText(), QStringLiteral("MQTT: connected to 127.0.0.1:%1 as switcher/%2").arg(broker.port).arg(id));
}

void TestMqttBridge::commands_data() {
  QTest::addColumn<QString>("topic");
  QTest::addColumn<QByteArray>("payload");
  QTest::addColumn<bool>("readOnly");
  QTest::addColumn<bool>("up");
  QTest::addColumn<int>("result");
  QTest::addColumn<QByteArray>("sent");
  QTest::addColumn<QString>("reason");
  const int ok = int(SendResult::Accepted);
  QTest::newRow("set") << "output/5/set" << QByteArray("3") << false << true << ok << QByteArray("3B5. [mqtt]") << "";
  QTest::newRow("raw") << "command" << QByteArray("1V2.") << false << true << ok << QByteArray("1V2. [mqtt]") << "";
  QTest::newRow("group") << "group/execute" << QByteArray("Evening") << false << true << ok << QByteArray("group Evening [mqtt]") << "";
  QTest::newRow("no such group") << "group/execute" << QByteArray("Noon") << false << true << ok << QByteArray() << "no such group";
  QTest::newRow("read-only") << "output/5/set" << QByteArray("3") << true << true << ok << QByteArray() << "read-only";
  QTest::newRow("link closed") << "output/5/set" << QByteArray("3") << false << false << ok << QByteArray() << "link closed";
  QTest::newRow("busy") << "output/5/set" << QByteArray("3") << false << true << int(SendResult::Busy) << QByteArray() << "busy: 256 commands waiting";
  QTest::newRow("closed later") << "output/5/set" << QByteArray("3") << false << true << int(SendResult::LinkClosed) << QByteArray() << "link closed";
  QTest::newRow("malformed") << "output/5/set" << QByteArray("three") << false << true << ok << QByteArray() << "not a number";
  QTest::newRow("1 MB") << "command" << QByteArray(1 << 20, 'x') << false << true << ok << QByteArray() << "payload over 256 bytes";
}

void TestMqttBridge::commands() {
  QFETCH(QString, topic);
  QFETCH(QByteArray, payload);
  QFETCH(bool, readOnly);
  QFETCH(bool, up);
  QFETCH(int, result);
  QFETCH(QByteArray, sent);
  QFETCH(QString, reason);
  FakeHost host;
  host.up = up;
  host.result = SendResult(result);
  const QString id = nextId();
  mqtt::Settings s = settingsFor(broker.port, id);
  s.readOnly = readOnly;
  mqtt::MqttBridge bridge(host, s);
  bridge.start();
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  Subscriber sub(broker.port, qPrintable("switcher/" + id + "/error"));
  QTRY_VERIFY_WITH_TIMEOUT(sub.subscribed, kWaitMs);
  sub.publish("switcher/" + id + "/" + topic, payload);
  if (!sent.isEmpty()) {
    QTRY_COMPARE_WITH_TIMEOUT(host.sent.size(), 1, kWaitMs);
    QCOMPARE(host.sent.first(), sent);
    return;
  }
  QTRY_VERIFY_WITH_TIMEOUT(sub.has("switcher/" + id + "/error"), kWaitMs);
  const QJsonObject e = QJsonDocument::fromJson(sub.value("switcher/" + id + "/error")).object();
  QCOMPARE(e.value("reason").toString(), reason);
  QCOMPARE(e.value("topic").toString(), "switcher/" + id + "/" + topic);
  QCOMPARE(e.value("payload").toString(), QString::fromUtf8(payload.left(mqtt::kMaxPayload)));
  QVERIFY(host.sent.isEmpty());
}

void TestMqttBridge::burstPublishesChangesOnly_data() {
  QTest::addColumn<int>("changed");  // outputs of the 256 given a new input
  QTest::newRow("all") << 16;
  QTest::newRow("half") << 8;
  QTest::newRow("none") << 0;
}

void TestMqttBridge::burstPublishesChangesOnly() {
  QFETCH(int, changed);
  FakeHost host;
  for (int o = 1; o <= 16; ++o) host.table.setBoth(o, 1);
  const QString id = nextId();
  mqtt::MqttBridge bridge(host, settingsFor(broker.port, id));
  QObject::connect(&host.table, &routing::RoutingTable::changed, &bridge, &mqtt::MqttBridge::routeChanged);
  bridge.start();
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  const quint64 before = bridge.publishCount();
  // One turn: every output reported, some to a new input, some back and forth.
  for (int o = 1; o <= 16; ++o) {
    host.table.setBoth(o, 2);
    host.table.setBoth(o, o <= changed ? 3 : 1);
  }
  QTest::qWait(0);
  QTRY_VERIFY(QTest::qWaitFor([&] { return bridge.publishCount() >= before + quint64(3 * changed); }, 2000) || changed == 0);
  QCOMPARE(bridge.publishCount() - before, quint64(3 * changed));  // video, audio, label
}

void TestMqttBridge::discovery_data() {
  QTest::addColumn<int>("output");
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("option3");
  QTest::newRow("unnamed") << 1 << "Output 1" << "3";
  QTest::newRow("named") << 2 << "Stage" << "3 Camera 3";
}

void TestMqttBridge::discovery() {
  QFETCH(int, output);
  QFETCH(QString, name);
  QFETCH(QString, option3);
  FakeHost host;
  host.names.set(names::Kind::Output, 2, "Stage");
  if (output == 2) host.names.set(names::Kind::Input, 3, "Camera 3");
  const QString id = nextId();
  mqtt::MqttBridge bridge(host, settingsFor(broker.port, id));
  bridge.start();
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  Subscriber sub(broker.port, "homeassistant/#");
  const QString select = QStringLiteral("homeassistant/select/switcher_%1/output_%2/config").arg(id).arg(output);
  QTRY_VERIFY_WITH_TIMEOUT(sub.has(select), kWaitMs);
  QJsonParseError err;
  const QJsonObject o = QJsonDocument::fromJson(sub.value(select), &err).object();
  QCOMPARE(err.error, QJsonParseError::NoError);
  QCOMPARE(o.value("name").toString(), name);
  const QJsonArray options = o.value("options").toArray();
  QCOMPARE(options.size(), 17);
  QCOMPARE(options.at(0).toString(), QString("0 Off"));
  QCOMPARE(options.at(3).toString(), option3);
  QCOMPARE(o.value("command_topic").toString(), QStringLiteral("switcher/%1/output/%2/video/set").arg(id).arg(output));
  QCOMPARE(o.value("state_topic").toString(), QStringLiteral("switcher/%1/output/%2/label").arg(id).arg(output));
  QCOMPARE(o.value("device").toObject().value("model").toString(), QString("MATRIX 16X16"));
  QVERIFY(!sub.value(select).contains("{{"));

  // One button per group; a group that goes away loses its config.
  const mqtt::Discovery d{"homeassistant", "switcher/" + id, "switcher_" + id, host.info()};
  const QString evening = mqtt::ButtonConfigTopic(d, "Evening");
  QTRY_VERIFY_WITH_TIMEOUT(sub.has(evening), kWaitMs);
  QCOMPARE(QJsonDocument::fromJson(sub.value(evening)).object().value("payload_press").toString(), QString("Evening"));
  host.groupList.removeAll("Evening");
  bridge.groupsChanged();
  QTRY_COMPARE_WITH_TIMEOUT(sub.value(evening), QByteArray(), kWaitMs);
  QVERIFY(!sub.value(mqtt::ButtonConfigTopic(d, "Morning")).isEmpty());
}

void TestMqttBridge::brokerComesAndGoes() {
  Broker own;
  QVERIFY(own.start());
  FakeHost host;
  host.table.setBoth(6, 2);
  mqtt::MqttBridge bridge(host, settingsFor(own.port, "restart"));
  bridge.start();
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  own.stop();  // no persistence: the retained state is gone with it
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Waiting, kWaitMs);
  QVERIFY2(bridge.statusText().startsWith("MQTT: connection lost ("), qPrintable(bridge.statusText()));
  QVERIFY(bridge.statusText().endsWith("next try in 1 s"));
  QVERIFY(own.start());
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  Subscriber sub(own.port, "switcher/restart/#");
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("switcher/restart/output/6/video"), QByteArray("2"), kWaitMs);
  QCOMPARE(sub.value("switcher/restart/status"), QByteArray("online"));
}

void TestMqttBridge::retryDelays_data() {
  QTest::addColumn<bool>("listening");  // false: nothing on the port; true: a broker refusing anonymous clients
  QTest::addColumn<QStringList>("texts");
  QTest::newRow("absent") << false
                          << QStringList{"MQTT: cannot connect (connection refused), next try in 1 s",
                                         "MQTT: cannot connect (connection refused), next try in 2 s",
                                         "MQTT: cannot connect (connection refused), next try in 4 s"};
  QTest::newRow("refused") << true << QStringList{"MQTT: cannot connect (connection refused: not authorised), next try in 30 s"};
}

void TestMqttBridge::retryDelays() {
  QFETCH(bool, listening);
  QFETCH(QStringList, texts);
  Broker own;
  if (listening) QVERIFY(own.start(false));
  FakeHost host;
  mqtt::MqttBridge bridge(host, settingsFor(own.port, "retry"));
  QStringList seen;
  connect(&bridge, &mqtt::MqttBridge::statusChanged, this, [&](const QString& t) { seen << t; });
  bridge.start();
  QTRY_COMPARE_WITH_TIMEOUT(seen.size(), texts.size(), 15000);
  QCOMPARE(seen, texts);
}

QTEST_MAIN(TestMqttBridge)
#include "tst_mqttbridge.moc"
