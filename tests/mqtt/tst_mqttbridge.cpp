// The bridge's payloads without a broker, and the bridge against a real mosquitto with a
// fake console behind it.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <dlfcn.h>
#include <netdb.h>

#include <condition_variable>

#include "BrokerSupport.h"
#include "Ini.h"
#include "MqttBridge.h"
#include "Protects.h"

using mqtt::SendResult;

// A resolver that hangs for "hang.invalid" (until released, or 5 s): the test program's own
// getaddrinfo comes before the C library's for every library it loads.
namespace hang {
std::mutex lock;
std::condition_variable wake;
bool released = false;
std::atomic<bool> entered{false};
}  // namespace hang
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node && std::strcmp(node, "hang.invalid") == 0) {
    hang::entered = true;
    std::unique_lock<std::mutex> hold(hang::lock);
    hang::wake.wait_for(hold, std::chrono::seconds(5), [] { return hang::released; });
    return EAI_NONAME;
  }
  return real(node, service, hints, res);
}

namespace {
constexpr int kWaitMs = 10000;

class FakeHost : public mqtt::MqttHost {
 public:
  bool linkUp() const override { return up; }
  bool linkReady() const override { return up; }
  bool canSend(int count, const QString&) const override { return result == SendResult::Accepted && count <= room; }
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
  mqtt::Info info() const override {
    return {QStringLiteral("MATRIX %1X%2").arg(inputs).arg(outputs), "V1.2", "TCP 127.0.0.1:5000", inputs, outputs};
  }
  mqtt::Protect protect(int output) const override {
    const routing::ProtectHolder* h = held.holder(output);
    return h ? mqtt::Protect{h->label, h->shown} : mqtt::Protect{};
  }
  bool setProtect(int output, const QString& label, bool on) override {
    return on ? held.protect(output, {label, "MQTT"}) : held.release(output, label);
  }

  bool up = true;
  SendResult result = SendResult::Accepted;
  int room = 256;  // commands that would be accepted at once
  routing::RoutingTable table;
  routing::Protects held;
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
  void protects_data();
  void protects();
  void burstPublishesChangesOnly_data();
  void burstPublishesChangesOnly();
  void discovery_data();
  void discovery();
  void brokerComesAndGoes();
  void retryDelays_data();
  void retryDelays();
  void settings_data();
  void settings();
  void hostileMessages_data();
  void hostileMessages();
  void buttons_data();
  void buttons();
  void staleStateCleared_data();
  void staleStateCleared();
  void lockedKeyNeverPrompts();
  void closeNeverWaitsForTheLookup();

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
  QTest::newRow("protect free") << "output/2/protect" << QByteArray("none");
  QTest::newRow("protect held") << "output/4/protect" << QByteArray("panel 10.0.0.9:4000");
  QTest::newRow("unknown route") << "output/5/video" << QByteArray("<none>");
  QTest::newRow("beyond outputs") << "output/17/video" << QByteArray("<none>");
  QTest::newRow("input name") << "input/7/name" << QByteArray("Camera 7");
  QTest::newRow("output name") << "output/2/name" << QByteArray("Stage");
  QTest::newRow("groups") << "groups" << QByteArray("[\"Morning\",\"Evening\"]");
  QTest::newRow("info") << "info" << QByteArray(R"({"inputs":16,"link":"TCP 127.0.0.1:5000","model":"MATRIX 16X16","outputs":16,"version":"V1.2"})");
  QTest::newRow("info 8x4") << "info" << QByteArray(R"({"inputs":8,"link":"TCP 127.0.0.1:5000","model":"MATRIX 8X4","outputs":4,"version":"V1.2"})");
  QTest::newRow("beyond 4 outputs") << "output/6/video" << QByteArray("<none>");
}

void TestMqttBridge::retainedState() {
  QFETCH(QString, topic);
  QFETCH(QByteArray, payload);
  FakeHost host;
  const QByteArray tag = QTest::currentDataTag();
  if (tag == "info 8x4" || tag == "beyond 4 outputs") host.inputs = 8, host.outputs = 4;
  host.table.setBoth(6, 3);
  host.table.setVideo(2, 7);
  host.table.setAudio(2, 4);
  host.table.close(3);
  host.table.setBoth(4, 9);
  host.table.setBoth(17, 1);
  host.held.protect(4, {"10.0.0.9:4000", "panel 10.0.0.9:4000"});
  host.names.set(names::Kind::Input, 7, "Camera 7");
  host.names.set(names::Kind::Output, 2, "Stage");
  const QString id = nextId();
  mqtt::MqttBridge bridge(host, settingsFor(broker.port, id));
  bridge.start();
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  Subscriber sub(broker.port, qPrintable("switcher/" + id + "/#"));
  QTRY_VERIFY_WITH_TIMEOUT(sub.has("switcher/" + id + "/output/4/label") && sub.has("switcher/" + id + "/info"), kWaitMs);
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
  QTest::addColumn<int>("room");  // commands the host would take at once
  const int ok = int(SendResult::Accepted);
  QTest::newRow("set") << "output/5/set" << QByteArray("3") << false << true << ok << QByteArray("3B5. [mqtt]") << "" << 256;
  QTest::newRow("raw") << "command" << QByteArray("1V2.") << false << true << ok << QByteArray("1V2. [mqtt]") << "" << 256;
  QTest::newRow("group") << "group/execute" << QByteArray("Evening") << false << true << ok << QByteArray("group Evening [mqtt]") << "" << 256;
  QTest::newRow("group that does not fit whole") << "group/execute" << QByteArray("Evening") << false << true << ok << QByteArray() << "busy: 256 commands waiting" << 1;
  QTest::newRow("no such group") << "group/execute" << QByteArray("Noon") << false << true << ok << QByteArray() << "no such group" << 256;
  QTest::newRow("read-only") << "output/5/set" << QByteArray("3") << true << true << ok << QByteArray() << "read-only" << 256;
  QTest::newRow("link closed") << "output/5/set" << QByteArray("3") << false << false << ok << QByteArray() << "link closed" << 256;
  QTest::newRow("busy") << "output/5/set" << QByteArray("3") << false << true << int(SendResult::Busy) << QByteArray() << "busy: 256 commands waiting" << 256;
  QTest::newRow("closed later") << "output/5/set" << QByteArray("3") << false << true << int(SendResult::LinkClosed) << QByteArray() << "link closed" << 256;
  QTest::newRow("malformed") << "output/5/set" << QByteArray("three") << false << true << ok << QByteArray() << "not a number" << 256;
  QTest::newRow("1 MB") << "command" << QByteArray(1 << 20, 'x') << false << true << ok << QByteArray() << "payload over 256 bytes" << 256;
}

void TestMqttBridge::commands() {
  QFETCH(QString, topic);
  QFETCH(QByteArray, payload);
  QFETCH(bool, readOnly);
  QFETCH(bool, up);
  QFETCH(int, result);
  QFETCH(QByteArray, sent);
  QFETCH(QString, reason);
  QFETCH(int, room);
  FakeHost host;
  host.up = up;
  host.result = SendResult(result);
  host.room = room;
  if (room < 2) host.codes = {{"0V1."}, {"1V1.", "2V2."}};  // Evening has two
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

void TestMqttBridge::protects_data() {
  QTest::addColumn<QString>("topic");
  QTest::addColumn<QByteArray>("payload");
  QTest::addColumn<QString>("before");  // output 5's holder: "-" free, "P" a panel, "M" MQTT
  QTest::addColumn<int>("setting");     // 0 plain, 1 read-only, 2 link down
  QTest::addColumn<QString>("reason");  // of the error; empty: none
  QTest::addColumn<QString>("after");
  QTest::addColumn<QByteArray>("sent");
  const QString other = "output 5 is protected by panel 10.0.0.9:4000";
  QTest::newRow("protect") << "output/5/protect/set" << QByteArray("ON") << "-" << 0 << "" << "M" << QByteArray();
  QTest::newRow("protect while the link is down") << "output/5/protect/set" << QByteArray("on") << "-" << 2 << "" << "M" << QByteArray();
  QTest::newRow("release its own") << "output/5/protect/set" << QByteArray("OFF") << "M" << 0 << "" << "-" << QByteArray();
  QTest::newRow("protect another's") << "output/5/protect/set" << QByteArray("ON") << "P" << 0 << other << "P" << QByteArray();
  QTest::newRow("release another's") << "output/5/protect/set" << QByteArray("OFF") << "P" << 0 << other << "P" << QByteArray();
  QTest::newRow("neither ON nor OFF") << "output/5/protect/set" << QByteArray("1") << "-" << 0 << "not ON or OFF" << "-" << QByteArray();
  QTest::newRow("read-only") << "output/5/protect/set" << QByteArray("ON") << "-" << 1 << "read-only" << "-" << QByteArray();
  QTest::newRow("output past the size") << "output/17/protect/set" << QByteArray("ON") << "-" << 0 << "output not 1 to 16" << "-" << QByteArray();
  QTest::newRow("route to another's output") << "output/5/video/set" << QByteArray("3") << "P" << 0 << other << "P" << QByteArray();
  QTest::newRow("route to its own protected output") << "output/5/set" << QByteArray("3") << "M" << 0 << "" << "M"
                                                     << QByteArray("3B5. [mqtt]");
}

void TestMqttBridge::protects() {
  QFETCH(QString, topic);
  QFETCH(QByteArray, payload);
  QFETCH(QString, before);
  QFETCH(int, setting);
  QFETCH(QString, reason);
  QFETCH(QString, after);
  QFETCH(QByteArray, sent);
  FakeHost host;
  host.up = setting != 2;
  if (before == "P") host.held.protect(5, {"10.0.0.9:4000", "panel 10.0.0.9:4000"});
  if (before == "M") host.held.protect(5, {"mqtt", "MQTT"});
  const QString id = nextId();
  mqtt::Settings s = settingsFor(broker.port, id);
  s.readOnly = setting == 1;
  mqtt::MqttBridge bridge(host, s);
  QObject::connect(&host.held, &routing::Protects::changed, &bridge, &mqtt::MqttBridge::protectChanged);
  bridge.start();
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  const QString base = "switcher/" + id + "/";
  Subscriber sub(broker.port, qPrintable(base + "#"));
  QTRY_VERIFY_WITH_TIMEOUT(sub.subscribed && sub.has(base + "output/16/protect"), kWaitMs);
  sub.publish(base + topic, payload);
  // The retained state follows the table: the holder's text, or "none".
  const QByteArray state = after == "M" ? "MQTT" : after == "P" ? "panel 10.0.0.9:4000" : "none";
  if (reason.isEmpty()) {
    if (!sent.isEmpty()) QTRY_COMPARE_WITH_TIMEOUT(host.sent.value(0), sent, kWaitMs);
    else QTRY_COMPARE_WITH_TIMEOUT(sub.value(base + "output/5/protect"), state, kWaitMs);
  } else {
    QTRY_VERIFY_WITH_TIMEOUT(sub.has(base + "error"), kWaitMs);
    QCOMPARE(QJsonDocument::fromJson(sub.value(base + "error")).object().value("reason").toString(), reason);
    QVERIFY(host.sent.isEmpty());
  }
  const routing::ProtectHolder* h = host.held.holder(5);
  QCOMPARE(!h ? QString("-") : h->label == "mqtt" ? QString("M") : QString("P"), after);
  QCOMPARE(sub.value(base + "output/5/protect"), state);
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

void TestMqttBridge::settings_data() {
  QTest::addColumn<QByteArray>("ini");
  QTest::addColumn<QString>("read");  // host:port tls read-only discovery | problem
  QTest::newRow("defaults") << QByteArray("Host=b\n") << "b:1883 tls=0 ro=0 disco=1 | ";
  QTest::newRow("tls port") << QByteArray("Host=b\nTLS=yes\n") << "b:8883 tls=1 ro=0 disco=1 | ";
  QTest::newRow("port") << QByteArray("Host=b\nPort=1999\nTLS=on\n") << "b:1999 tls=1 ro=0 disco=1 | ";
  QTest::newRow("read-only true") << QByteArray("Host=b\nReadOnly=true\n") << "b:1883 tls=0 ro=1 disco=1 | ";
  QTest::newRow("discovery off") << QByteArray("Host=b\nDiscovery=false\n") << "b:1883 tls=0 ro=0 disco=0 | ";
  QTest::newRow("not a boolean") << QByteArray("Host=b\nReadOnly=maybe\n")
                                 << "b:1883 tls=0 ro=0 disco=1 | ReadOnly=maybe in %1 is not 1/0, true/false, yes/no or on/off";
  QTest::newRow("tls 2") << QByteArray("Host=b\nTLS=2\n") << "b:1883 tls=0 ro=0 disco=1 | TLS=2 in %1 is not 1/0, true/false, yes/no or on/off";
  QTest::newRow("port range") << QByteArray("Host=b\nPort=70000\n") << "b:70000 tls=0 ro=0 disco=1 | Port=70000 is not a TCP port (1 to 65535)";
  QTest::newRow("bad id") << QByteArray("Host=b\nId=a/b\n") << "b:1883 tls=0 ro=0 disco=1 | Id=a/b may hold only letters, digits, - and _";
}

void TestMqttBridge::settings() {
  QFETCH(QByteArray, ini);
  QFETCH(QString, read);
  QTemporaryDir dir;
  const QString file = dir.filePath("Switcher.ini");
  QFile f(file);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("[MQTT]\n" + ini);
  f.close();
  const mqtt::Settings s = mqtt::ReadSettings(file);
  QCOMPARE(QStringLiteral("%1:%2 tls=%3 ro=%4 disco=%5 | %6").arg(s.host).arg(s.effectivePort()).arg(s.tls).arg(s.readOnly).arg(s.discovery).arg(mqtt::Problem(s)),
           read.contains("%1") ? read.arg(file) : read);
  // --mqtt's HOST[:PORT], the password file's first line, and ids that differ for every base.
  QString host;
  int port = -1;
  QVERIFY(mqtt::ParseHostPort("[::1]:1999", &host, &port) && host == "::1" && port == 1999);
  QVERIFY(mqtt::ParseHostPort("broker", &host, &port) && host == "broker" && port == 0);
  QVERIFY(!mqtt::ParseHostPort("broker:", &host, &port) && !mqtt::ParseHostPort("b:99999", &host, &port));
  QFile pw(dir.filePath("pw"));
  QVERIFY(pw.open(QIODevice::WriteOnly));
  pw.write("secret\r\nnext\n");
  pw.close();
  QString error;
  QCOMPARE(mqtt::ReadPassword(pw.fileName(), &error), QByteArray("secret"));
  mqtt::ReadPassword(dir.filePath("none"), &error);
  QVERIFY(error.startsWith("cannot read the password file "));
  mqtt::Settings a, b;
  a.prefix = "a-b", a.id = "c", b.prefix = "a", b.id = "b-c";
  QVERIFY(a.clientId() != b.clientId());
  a.prefix = "a_b", b.prefix = "a", b.id = "b_c";
  QVERIFY(a.nodeId() != b.nodeId());
  QCOMPARE(mqtt::Settings().clientId(), QString("switcher-console-switcher-switcher"));
  QCOMPARE(mqtt::Settings().nodeId(), QString("switcher_switcher"));
}

void TestMqttBridge::hostileMessages_data() {
  QTest::addColumn<QString>("topic");
  QTest::addColumn<QByteArray>("payload");
  QTest::addColumn<int>("how");  // 0 retained before the bridge connects, 1 retained live, 2 plain
  QTest::addColumn<QString>("reason");  // of the first error
  QTest::newRow("stored retained set") << "output/3/video/set" << QByteArray("5") << 0 << "retained command ignored";
  QTest::newRow("stored retained raw") << "command" << QByteArray("5V12.") << 0 << "retained command ignored";
  QTest::newRow("live retained") << "output/3/set" << QByteArray("5") << 1 << "retained command ignored";
  // Over the packet bound: the broker drops it, so the first error is the small one's.
  QTest::newRow("16 MB") << "command" << QByteArray(16 << 20, 'x') << 2 << "not a number";
}

void TestMqttBridge::hostileMessages() {
  QFETCH(QString, topic);
  QFETCH(QByteArray, payload);
  QFETCH(int, how);
  QFETCH(QString, reason);
  FakeHost host;
  const QString id = nextId(), base = "switcher/" + id + "/";
  Subscriber sub(broker.port, qPrintable(base + "#"));
  QTRY_VERIFY_WITH_TIMEOUT(sub.subscribed, kWaitMs);
  if (how == 0) {
    sub.publish(base + topic, payload, true);
    QTRY_VERIFY_WITH_TIMEOUT(sub.has(base + topic), kWaitMs);
  }
  auto bridge = std::make_unique<mqtt::MqttBridge>(host, settingsFor(broker.port, id));
  bridge->start();
  QTRY_COMPARE_WITH_TIMEOUT(bridge->state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  if (how > 0) sub.publish(base + topic, payload, how == 1);
  if (how == 2) sub.publish(base + "output/1/set", "x");
  QTRY_VERIFY_WITH_TIMEOUT(sub.has(base + "error"), kWaitMs);
  QCOMPARE(QJsonDocument::fromJson(sub.value(base + "error")).object().value("reason").toString(), reason);
  QVERIFY(host.sent.isEmpty());
  if (how == 2) return;
  // A stored one comes again with every connect (here another client with the bridge's id
  // kicks it off), and is answered the first time only.
  QSignalSpy flips(bridge.get(), &mqtt::MqttBridge::connectedChanged);
  mosquitto* kick = mosquitto_new(qPrintable(bridge->settings().clientId()), true, nullptr);
  QCOMPARE(mosquitto_connect(kick, "127.0.0.1", broker.port, 30), MOSQ_ERR_SUCCESS);
  QTRY_VERIFY_WITH_TIMEOUT((mosquitto_loop(kick, 10, 1), flips.size() >= 1), kWaitMs);
  mosquitto_disconnect(kick);
  mosquitto_destroy(kick);
  QTRY_COMPARE_WITH_TIMEOUT(flips.size(), 2, kWaitMs);
  const int errors = sub.count(base + "error");
  sub.publish(base + "output/1/set", "x");  // a mark after anything still on its way
  QTRY_COMPARE_WITH_TIMEOUT(sub.count(base + "error"), errors + 1, kWaitMs);
  QCOMPARE(errors, 1);
  QVERIFY(host.sent.isEmpty());
}

void TestMqttBridge::buttons_data() {
  QTest::addColumn<int>("group");       // of the host's groups
  QTest::addColumn<QString>("press");   // the button's payload_press; empty: no button
  QTest::newRow("trailing blank") << 0 << "Late ";
  QTest::newRow("too long to send") << 1 << "";
  QTest::newRow("first of two names") << 2 << "User: Group";
  QTest::newRow("second of two names") << 3 << "User: Group #2";
  QTest::newRow("read-only") << 2 << "";
}

void TestMqttBridge::buttons() {
  QFETCH(int, group);
  QFETCH(QString, press);
  FakeHost host;
  host.groupList = {"Late ", QString(306, QLatin1Char('g')), "User: Group", "User: Group"};
  host.codes = {{"1V1."}, {"2V2."}, {"3V3."}, {"4V4.", "4A5."}};
  const bool readOnly = QByteArray(QTest::currentDataTag()) == "read-only";
  const QString id = nextId();
  mqtt::Settings s = settingsFor(broker.port, id);
  s.readOnly = readOnly;
  mqtt::MqttBridge bridge(host, s);
  bridge.start();
  QTRY_COMPARE_WITH_TIMEOUT(bridge.state(), mqtt::MqttBridge::State::Connected, kWaitMs);
  Subscriber sub(broker.port, qPrintable("homeassistant/+/switcher_" + id + "/#"));
  const QString node = "homeassistant/%1/switcher_" + id + "/output_1/config";
  QTRY_VERIFY_WITH_TIMEOUT(sub.has(node.arg("select")) || sub.has(node.arg("sensor")), kWaitMs);
  // Read-only: state only, and nothing to press.
  QCOMPARE(sub.has(node.arg("select")), !readOnly);
  QCOMPARE(QJsonDocument::fromJson(sub.value(node.arg(readOnly ? "sensor" : "select"))).object().contains("command_topic"), !readOnly);
  QList<QJsonObject> buttons;
  for (const auto& m : sub.messages())
    if (m.first.contains("/button/")) buttons << QJsonDocument::fromJson(m.second).object();
  QCOMPARE(buttons.size(), readOnly ? 0 : 3);
  if (press.isEmpty()) return;
  const auto it = std::find_if(buttons.cbegin(), buttons.cend(), [&](const QJsonObject& o) { return o.value("payload_press").toString() == press; });
  QVERIFY(it != buttons.cend());
  QCOMPARE(it->value("command_topic").toString(), "switcher/" + id + "/group/execute");
  sub.publish(it->value("command_topic").toString(), press.toUtf8());
  QTRY_COMPARE_WITH_TIMEOUT(host.sent.size(), int(host.codes[group].size()), kWaitMs);
  for (int i = 0; i < host.sent.size(); ++i) QCOMPARE(host.sent[i], host.codes[group][i] + " [mqtt]");
}

void TestMqttBridge::staleStateCleared_data() {
  QTest::addColumn<QString>("topic");  // left by the first run, gone after the second connects
  QTest::newRow("output beyond the count") << "switcher/%1/output/12/video";
  QTest::newRow("protect beyond the count") << "switcher/%1/output/12/protect";
  QTest::newRow("name removed") << "switcher/%1/input/7/name";
  QTest::newRow("group deleted") << "";  // Evening's button
  QTest::newRow("discovery off") << "homeassistant/select/switcher_%1/output_1/config";
}

void TestMqttBridge::staleStateCleared() {
  QFETCH(QString, topic);
  const QString id = nextId();
  const mqtt::Discovery d{"homeassistant", "switcher/" + id, "switcher_" + id, {}};
  topic = topic.isEmpty() ? mqtt::ButtonConfigTopic(d, "Evening") : topic.arg(id);
  FakeHost host;
  for (int o = 1; o <= 16; ++o) host.table.setBoth(o, 2);
  host.names.set(names::Kind::Input, 7, "Camera 7");
  Subscriber sub(broker.port, "#");
  QTRY_VERIFY_WITH_TIMEOUT(sub.subscribed, kWaitMs);
  {
    mqtt::MqttBridge first(host, settingsFor(broker.port, id));
    first.start();
    QTRY_VERIFY_WITH_TIMEOUT(sub.has(topic) && sub.has("switcher/" + id + "/output/16/label"), kWaitMs);
  }
  // A clean close leaves the link down, seen by a subscriber that comes later.
  {
    Subscriber late(broker.port, qPrintable("switcher/" + id + "/+"));
    QTRY_COMPARE_WITH_TIMEOUT(late.value("switcher/" + id + "/status"), QByteArray("offline"), kWaitMs);
    QCOMPARE(late.value("switcher/" + id + "/link"), QByteArray("down"));
  }
  host.outputs = 8;
  host.names = names::Names();
  host.groupList = {"Morning"};
  mqtt::Settings s = settingsFor(broker.port, id);
  s.discovery = QByteArray(QTest::currentDataTag()) != "discovery off";
  mqtt::MqttBridge second(host, s);
  second.start();
  QTRY_COMPARE_WITH_TIMEOUT(sub.value(topic), QByteArray(), kWaitMs);
  Subscriber late(broker.port, qPrintable(topic));
  QTRY_VERIFY_WITH_TIMEOUT(late.subscribed, kWaitMs);
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("switcher/" + id + "/output/8/video"), QByteArray("2"), kWaitMs);
  QVERIFY(!late.has(topic));
}

void TestMqttBridge::lockedKeyNeverPrompts() {
  // A certificate whose key needs a pass phrase.
  QTemporaryDir dir;
  QProcess openssl;
  openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-days", "1",
                            "-subj", "/CN=console", "-passout", "pass:secret", "-keyout", dir.filePath("key.pem"),
                            "-out", dir.filePath("cert.pem")});
  QVERIFY(openssl.waitForFinished(kWaitMs) && openssl.exitCode() == 0);
  FakeHost host;
  mqtt::Settings s = settingsFor(broker.port, nextId());
  s.tls = true;
  s.caFile = s.certFile = dir.filePath("cert.pem");
  s.keyFile = dir.filePath("key.pem");
  mqtt::MqttBridge bridge(host, s);
  bridge.start();
  // Never the terminal's prompt, and the same 30 s as every TLS failure.
  QTRY_COMPARE_WITH_TIMEOUT(bridge.statusText(),
                            QString("MQTT: cannot connect (KeyFile is protected by a pass phrase, which the console never asks for), next try in 30 s"),
                            kWaitMs);
}

void TestMqttBridge::closeNeverWaitsForTheLookup() {
  FakeHost host;
  mqtt::Settings s = settingsFor(broker.port, nextId());
  s.host = "hang.invalid";
  auto bridge = std::make_unique<mqtt::MqttBridge>(host, s);
  bridge->start();
  QTRY_VERIFY_WITH_TIMEOUT(hang::entered, kWaitMs);
  QElapsedTimer t;
  t.start();
  bridge.reset();
  const qint64 ms = t.elapsed();
  {
    const std::lock_guard<std::mutex> hold(hang::lock);
    hang::released = true;
  }
  hang::wake.notify_all();
  QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
}

QTEST_MAIN(TestMqttBridge)
#include "tst_mqttbridge.moc"
