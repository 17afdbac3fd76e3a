// The MQTT bridge on the real window: a simulator on loopback TCP, a real mosquitto, a
// subscriber; and a console process killed under the broker.

#include <QtTest>
#include <QtWidgets>

#include "BrokerSupport.h"
#include "CodeTreeView.h"
#include "EngineFrontEnd.h"
#include "Memo.h"
#include "MqttBridge.h"
#include "Protects.h"
#include "SwitcherEngine.h"
#include "Widgets.h"
#include "ServiceStatus.h"
#include "TestSupport.h"

namespace {
constexpr int kWaitMs = 10000;
const QString kBase = QStringLiteral("switcher/switcher/");
}  // namespace

class TestMqttLink : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { QVERIFY(broker.start()); }
  void init() { prompts.install(); }
  void cleanup() {
    DestroyForms();
    QVERIFY2(prompts.unexpected.isEmpty(), qPrintable(prompts.unexpected.join('\n')));
  }
  void stateEqualsTheSwitcher();
  void commandsReachTheSwitcher_data();
  void commandsReachTheSwitcher();
  void protectsThroughTheEngine();
  void killedConsoleIsOffline();
  void notABooleanStopsTheBridge();

 private:
  // The window on sw, identified, with the bridge connected and the routing published.
  bool start(SimTcpSwitcher& sw, Subscriber& sub);
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  Broker broker;
};

bool TestMqttLink::start(SimTcpSwitcher& sw, Subscriber& sub) {
  if (!startOnTcp(sw, QStringLiteral("[MQTT]\nHost=127.0.0.1\nPort=%1\n").arg(broker.port))) return false;
  MainForm->ButtonUpdateClick();  // identifies; the console then asks for every status
  return QTest::qWaitFor([&] { return sub.value(kBase + "output/256/audio") == "256" && sub.subscribed; }, kWaitMs);
}

void TestMqttLink::stateEqualsTheSwitcher() {
  SimTcpSwitcher sw;
  sw.core.execute("5B3.");
  sw.core.execute("0V4.");
  Subscriber sub(broker.port, "switcher/switcher/#");
  QVERIFY(start(sw, sub));
  QTRY_VERIFY(ServiceStatus(*MainForm, "MQTT").startsWith("MQTT: connected to 127.0.0.1:"));
  for (int o = 1; o <= 256; ++o) {
    QCOMPARE(sub.value(kBase + QStringLiteral("output/%1/video").arg(o)), QByteArray::number(sw.core.route(o).video));
    QCOMPARE(sub.value(kBase + QStringLiteral("output/%1/audio").arg(o)), QByteArray::number(sw.core.route(o).audio));
  }
  QTRY_VERIFY(sub.value(kBase + "info").contains("\"link\":\"TCP 127.0.0.1:"));
  QCOMPARE(sub.value(kBase + "link"), QByteArray("up"));
}

void TestMqttLink::commandsReachTheSwitcher_data() {
  QTest::addColumn<QString>("topic");
  QTest::addColumn<QByteArray>("payload");
  QTest::addColumn<int>("video");  // of output 9 afterwards
  QTest::addColumn<int>("audio");
  QTest::newRow("set") << "output/9/set" << QByteArray("5") << 5 << 5;
  QTest::newRow("audio set") << "output/9/audio/set" << QByteArray("6") << 9 << 6;
  QTest::newRow("close") << "output/9/set" << QByteArray("0") << 0 << 0;
  QTest::newRow("raw command") << "command" << QByteArray("7V9.") << 7 << 9;
  QTest::newRow("group") << "group/execute" << QByteArray("Scene: Group") << 4 << 4;
}

void TestMqttLink::commandsReachTheSwitcher() {
  QFETCH(QString, topic);
  QFETCH(QByteArray, payload);
  QFETCH(int, video);
  QFETCH(int, audio);
  SimTcpSwitcher sw;
  Subscriber sub(broker.port, "switcher/switcher/#");
  QVERIFY(start(sw, sub));
  auto* group = new CodeTreeItem(std::make_unique<TGroupNode>("Scene", "Group"));
  auto* item = new CodeTreeItem(std::make_unique<TCodeNode>("Scene", "CodeItem"));
  item->record->code = "4B9.";
  group->addChild(item);
  MainForm->RootNode->addChild(group);
  QTRY_VERIFY_WITH_TIMEOUT(sub.value(kBase + "groups").contains("Scene: Group"), kWaitMs);

  // The operator's run, reply target and selection are the operator's alone.
  MainForm->Busy = 1;
  MainForm->ReplyTarget = 7;
  CodeTreeItem* const current = MainForm->CurrentNode;
  sub.publish(kBase + topic, payload);
  QTRY_COMPARE_WITH_TIMEOUT(sw.core.route(9), (sim::SwitcherCore::Route{video, audio}), kWaitMs);
  QCOMPARE(int(MainForm->Busy), 1);
  QCOMPARE(MainForm->ReplyTarget, 7u);
  QCOMPARE(MainForm->CurrentNode, current);
  MainForm->Busy = 0;
  QTRY_COMPARE_WITH_TIMEOUT(sub.value(kBase + "output/9/video"), QByteArray::number(video), kWaitMs);
  QTRY_COMPARE_WITH_TIMEOUT(sub.value(kBase + "output/9/audio"), QByteArray::number(audio), kWaitMs);
  QTRY_COMPARE(MainForm->OutPort[9]->caption(), QString::number(video));
  QVERIFY(MainForm->Memo5->lines().contains(QString::fromLatin1(sw.commands.last()) + "   [mqtt]"));
}

// MQTT's protect is the engine's: the grid shows it, a panel's refuses MQTT, and it ends when
// the broker goes.
void TestMqttLink::protectsThroughTheEngine() {
  Broker own;
  QVERIFY(own.start());
  SimTcpSwitcher sw;
  Subscriber sub(own.port, "switcher/switcher/#");
  QVERIFY(startOnTcp(sw, QStringLiteral("[MQTT]\nHost=127.0.0.1\nPort=%1\n").arg(own.port)));
  QTRY_VERIFY_WITH_TIMEOUT(sub.value(kBase + "output/9/protect") == "none" && sub.subscribed, kWaitMs);
  routing::Protects& held = EngineOf(*MainForm)->protects();
  QVERIFY(held.protect(8, {"10.0.0.9:4000", "panel 10.0.0.9:4000"}));
  QTRY_COMPARE_WITH_TIMEOUT(sub.value(kBase + "output/8/protect"), QByteArray("panel 10.0.0.9:4000"), kWaitMs);
  sub.publish(kBase + "output/8/protect/set", "ON");
  QTRY_VERIFY_WITH_TIMEOUT(sub.value(kBase + "error").contains("output 8 is protected by panel 10.0.0.9:4000"), kWaitMs);
  sub.publish(kBase + "output/9/protect/set", "ON");
  QTRY_COMPARE_WITH_TIMEOUT(sub.value(kBase + "output/9/protect"), QByteArray("MQTT"), kWaitMs);
  QCOMPARE(held.holder(9)->label, QString("mqtt"));
  QVERIFY(MainForm->OutPort[9]->protectMarked());
  own.stop();
  QTRY_VERIFY_WITH_TIMEOUT(!held.holder(9), kWaitMs);
  QVERIFY(!MainForm->OutPort[9]->protectMarked());
  QVERIFY(held.holder(8));
}

void TestMqttLink::killedConsoleIsOffline() {
  QTemporaryDir cfg;
  QFile ini(cfg.filePath("Switcher.ini"));
  QVERIFY(ini.open(QIODevice::WriteOnly));
  ini.write("[COM]\nCOM1=/nonexistent/a\nCOM2=/nonexistent/b\nCOM3=/nonexistent/c\nCOM4=/nonexistent/d\n[MQTT]\nId=killed\n");
  ini.close();
  Subscriber sub(broker.port, "switcher/killed/status");
  QProcess console;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("SWITCHER_CONFIG_DIR", cfg.path());
  env.insert("SWITCHER_LOG_DIR", cfg.filePath("log"));
  console.setProcessEnvironment(env);
  console.start(SC_CONSOLE_PATH, {"--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port)});
  QVERIFY(console.waitForStarted(kWaitMs));
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("switcher/killed/status"), QByteArray("online"), kWaitMs);
  ::kill(pid_t(console.processId()), SIGKILL);
  QVERIFY(console.waitForFinished(kWaitMs));
  QTRY_COMPARE_WITH_TIMEOUT(sub.value("switcher/killed/status"), QByteArray("offline"), kWaitMs);
  // The last will is retained: a subscriber that comes afterwards reads it too.
  Subscriber late(broker.port, "switcher/killed/status");
  QTRY_COMPARE_WITH_TIMEOUT(late.value("switcher/killed/status"), QByteArray("offline"), kWaitMs);
}

void TestMqttLink::notABooleanStopsTheBridge() {
  SimTcpSwitcher sw;
  prompts.expect(QStringLiteral("MQTT: ReadOnly=maybe in Switcher.ini is not 1/0, true/false, yes/no or on/off."), "Error");
  QVERIFY(startOnTcp(sw, QStringLiteral("[MQTT]\nHost=127.0.0.1\nPort=%1\nReadOnly=maybe\n").arg(broker.port)));
  QTRY_VERIFY(prompts.allExpectedShown());
  QCOMPARE(prompts.count(), 1);
  QVERIFY(!MainForm->findChild<mqtt::MqttBridge*>());
  QCOMPARE(ServiceStatus(*MainForm, "MQTT"),
           QString("MQTT: not started (ReadOnly=maybe in Switcher.ini is not 1/0, true/false, yes/no or on/off)"));
}

QTEST_MAIN(TestMqttLink)
#include "tst_mqttlink.moc"
