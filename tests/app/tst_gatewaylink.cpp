// The gateway on the window: console A holds the switcher and serves the gateway, console B
// (a second window of this process in TCP/IP mode; the two share the dialogs, which only B
// uses) works through it; a client's traffic leaves A's own exchanges alone.

#include <QtTest>
#include <QtWidgets>

#include <functional>

#include "ClientCommands.h"
#include "FreePort.h"
#include "CodeTreeView.h"
#include "EngineFrontEnd.h"
#include "SwitcherEngine.h"
#include "GatewayServer.h"
#include "LinkPrompts.h"
#include "ServiceStatus.h"
#include "SessionLogLink.h"
#include "Memo.h"
#include "Outport.h"
#include "S101.h"
#include "Swp08Frame.h"
#include "Swp08Messages.h"
#include "TestSupport.h"
#include "Update.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 10000;

// Runs action once cond holds, checking from the event loop (also a modal one); after
// kWaitMs gives up and closes the output-port dialog, so that no test hangs in it.
void whenTrue(std::function<bool()> cond, std::function<void()> action) {
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, t, [=, clock = QDeadlineTimer(kWaitMs)] {
    if (!cond() && !clock.hasExpired()) return;
    t->deleteLater();
    t->stop();
    if (!clock.hasExpired()) action();
    else if (Form2->isVisible()) Form2->reject();
  });
  t->start(10);
}
// A client of the window's gateway that keeps what it is sent.
struct GatewayClient {
  GatewayClient() {
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { got += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, MainForm->findChild<gateway::GatewayServer*>()->port());
  }
  QTcpSocket socket;
  QByteArray got;
};
}  // namespace

class TestGatewayLink : public QObject {
  Q_OBJECT
 private slots:
  void init() { prompts.install(); }
  void cleanup() {
    DestroyForms();
    QVERIFY2(prompts.unexpected.isEmpty(), qPrintable(prompts.unexpected.join('\n')));
  }
  void twoConsolesShareOneSwitcher();
  void clientTrafficLeavesTheConsolesExchanges();
  void portInUseIsOneBox();
  void queuedClientCommandsDropped_data();
  void queuedClientCommandsDropped();
  void pacedFloodIsBounded();
  void clientQuotaIsReleased();
  void serialFloodNeverBlocksTheWindow();
  void comDeviceLossTellsClientsBeforeTheBox();
  void swp08FromTheConsole();
  void emberFromTheConsole();
  void settingThatCannotBeTakenIsOneBox_data();
  void settingThatCannotBeTakenIsOneBox();

 private:
  FakePrompts prompts{FakePrompts::Mode::Scripted};
};

void TestGatewayLink::swp08FromTheConsole() {
  SimTcpSwitcher sw;
  const quint16 port = freePort();
  QVERIFY(startOnTcp(sw, QStringLiteral("[SWP08]\nPort=%1\n").arg(port)));
  QTRY_COMPARE(ServiceStatus(*MainForm, "SW-P-08"), QStringLiteral("SW-P-08: listening on 127.0.0.1:%1, 0 clients").arg(port));
  MainForm->ButtonUpdateClick();
  QTRY_COMPARE(MainForm->OutPort[256]->caption(), QString("256"));
  QTcpSocket c;
  c.connectToHost(QHostAddress::LocalHost, port);
  QVERIFY(c.waitForConnected(kWaitMs));
  QTRY_COMPARE(ServiceStatus(*MainForm, "SW-P-08"), QStringLiteral("SW-P-08: listening on 127.0.0.1:%1, 1 client").arg(port));
  // Input 5 to output 12 on the video level: source 4, destination 11, level 0.
  c.write(swp08::Frame(QByteArray::fromHex("02 00 00 0b 04")));
  QTRY_COMPARE(sw.core.route(12).video, 5);
  QByteArray got;
  const QByteArray connected = swp08::Frame(swp08::Connected(false, 0, 0, 11, 4));
  QTRY_VERIFY((got += c.readAll(), got.contains(connected)));
  QVERIFY(got.startsWith(swp08::AckBytes()));
  QTRY_COMPARE(MainForm->OutPort[12]->caption(), QString("5"));
}

void TestGatewayLink::emberFromTheConsole() {
  SimTcpSwitcher sw;
  const quint16 port = freePort();
  QVERIFY(startOnTcp(sw, QStringLiteral("[Ember]\nPort=%1\n").arg(port)));
  QTRY_COMPARE(ServiceStatus(*MainForm, "Ember+"), QStringLiteral("Ember+: listening on 127.0.0.1:%1, 0 clients").arg(port));
  QTcpSocket c;
  c.connectToHost(QHostAddress::LocalHost, port);
  QVERIFY(c.waitForConnected(kWaitMs));
  ember::s101::Decoder decoder;
  std::vector<ember::s101::Decoder::Event> events;
  const auto heard = [&](const QByteArray& bytes) {
    return std::any_of(events.begin(), events.end(), [&](const auto& e) { return e.data.contains(bytes); });
  };
  // Before the switcher is identified its size is not known: the video matrix has no targets
  // (numbers only appear; a guess would leave phantoms with the consumers).
  for (const QByteArray& frame : ember::s101::EncodeMessage(
           QByteArray::fromHex("60226b20a01e711ca0040d020101a210640ea00c620aa003020120a1030201ffa5023000")))
    c.write(frame);
  QTRY_VERIFY((decoder.push(c.readAll(), &events), heard(QByteArray::fromHex("a403020100a503020100"))));
  MainForm->ButtonUpdateClick();
  QTRY_COMPARE(MainForm->OutPort[256]->caption(), QString("256"));
  QTRY_COMPARE(ServiceStatus(*MainForm, "Ember+"), QStringLiteral("Ember+: listening on 127.0.0.1:%1, 1 client").arg(port));
  // Target 3, source 7 of the video matrix 1.1, as node-emberplus asks it: input 8 to output 4.
  for (const QByteArray& frame : ember::s101::EncodeMessage(QByteArray::fromHex(
           "60236b21a01f711da0040d020101a5153013a011700fa003020103a1030d0107a203020101")))
    c.write(frame);
  QTRY_COMPARE(sw.core.route(4).video, 8);
  QTRY_COMPARE(MainForm->OutPort[4]->caption(), QString("8"));
  // Modified with source 7 once the switcher reported it.
  QTRY_VERIFY((decoder.push(c.readAll(), &events), heard(QByteArray::fromHex("a003020103a1030d0107a203020100a303020101"))));
}

void TestGatewayLink::twoConsolesShareOneSwitcher() {
  SimPtySwitcher sw;
  QVERIFY(sw.ok());
  const quint16 port = freePort();
  qputenv(kTcpPortEnv, QByteArray::number(port));
  writeSwitcherIni("");
  CreateForms();  // B
  MainForm->Timer5->stop();
  writeSwitcherIni(QStringLiteral("[Gateway]\nPort=%1\n").arg(port), {sw.slavePath});
  std::unique_ptr<TMainForm> a = std::make_unique<TMainForm>();  // finds the pty, identifies
  QVERIFY(QSignalSpy(a.get(), &TMainForm::identificationFinished).wait(kWaitMs));
  MainForm->RadioButton2->setChecked(true);
  MainForm->Edit6->setText("127.0.0.1");
  MainForm->ButtonOpenComClick();
  QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
  QTRY_COMPARE(ServiceStatus(*a, "Gateway"), QStringLiteral("Gateway: listening on 127.0.0.1:%1, 1 client").arg(port));
  // Under the memo, which keeps its lines and needs no scroll bar for it.
  QCOMPARE(a->MemoSysInfo->line(3), QString());
  auto* status = a->findChild<QLabel*>("LabelStatusGateway");
  QVERIFY(status && status->geometry().top() > a->MemoSysInfo->geometry().bottom());
  a->show();
  QTRY_VERIFY(a->isVisible());
  QTRY_COMPARE(a->MemoSysInfo->horizontalScrollBar()->maximum(), 0);
  MainForm->ButtonUpdateClick();
  // The Update window may close on its bound before a late reply: the memo gets it when it comes.
  QTRY_VERIFY_WITH_TIMEOUT(MainForm->MemoSysInfo->lines().contains("MATRIX 256X256"), kWaitMs);
  QTRY_COMPARE(MainForm->OutPort[256]->caption(), QString("256"));

  // B routes output 12 to input 5 from its output-port dialog, once its reply is in.
  whenTrue([] { return Form2->isVisible() && Form2->BitBtn1->isEnabled(); },
           [] {
             Form2->ComboBox2->setCurrentIndex(5);
             Form2->accept();
           });
  MainForm->OutPort001Click(MainForm->OutPort[12]);
  QTRY_COMPARE(sw.core.route(12), (sim::SwitcherCore::Route{5, 5}));
  QTRY_COMPARE(MainForm->OutPort[12]->caption(), QString("5"));
  QTRY_COMPARE(a->OutPort[12]->caption(), QString("5"));
  const QString label = QStringLiteral("   [127.0.0.1:%1]").arg(MainForm->ClientSocket1->localPort());
  QTRY_VERIFY_WITH_TIMEOUT(a->Memo5->lines().contains("5B12." + label), kWaitMs);
}

void TestGatewayLink::clientTrafficLeavesTheConsolesExchanges() {
  SimTcpSwitcher sw(SimTcpSwitcher::Mode::Silent);  // the test answers in its place
  QVERIFY(startOnTcp(sw, "[Gateway]\nPort=" + QString::number(freePort()) + "\n"));
  auto* server = MainForm->findChild<gateway::GatewayServer*>();
  QVERIFY(server);
  QTcpSocket client;
  client.connectToHost(QHostAddress::LocalHost, server->port());
  QVERIFY(client.waitForConnected(kWaitMs));
  // The dialog waits for output 12 while a client's "Status." is answered for the others.
  QByteArray burst;
  for (int o = 1; o <= 256; ++o)
    if (o != 12) burst += QString::asprintf("VIDEO: 009 > %03d\r\n", o).toLatin1();
  bool filledEarly = true;
  whenTrue([&] { return Form2->isVisible(); },
           [&] {
             client.write("Status.");
             sw.send(burst + "Command Code Error!\r\n");
           });
  whenTrue([&] { return MainForm->Memo6->line(MainForm->Memo6->lineCount() - 1) == "Command Code Error!"; },
           [&] {
             filledEarly = Form2->BitBtn1->isEnabled() || Form2->itemIndex() != -1;
             sw.send(" A/V : 007 > 012\r\n");
             whenTrue([] { return Form2->BitBtn1->isEnabled(); }, [] { Form2->reject(); });
           });
  MainForm->OutPort001Click(MainForm->OutPort[12]);
  QVERIFY(!filledEarly);
  QCOMPARE(MainForm->OutPort[12]->caption(), QString("7"));

  // While the Update window identifies, a client's command is answered "Link closed".
  QByteArray got;
  connect(&client, &QTcpSocket::readyRead, &client, [&] { got += client.readAll(); });
  whenTrue([] { return Form5->isVisible(); }, [&] { client.write("5V6."); });
  MainForm->ButtonUpdateClick();  // no reply: "no switcher" after 100 ms
  QTRY_VERIFY(got.endsWith("Link closed\r\n"));
  QVERIFY(!sw.commands.contains("5V6."));
}

void TestGatewayLink::portInUseIsOneBox() {
  QTcpServer other;
  QVERIFY(other.listen(QHostAddress::LocalHost, 0));
  writeSwitcherIni(QStringLiteral("[Gateway]\nPort=%1\n").arg(other.serverPort()));
  prompts.expect(QStringLiteral("Gateway: 127.0.0.1:%1 is already in use by another program.").arg(other.serverPort()), "Error");
  CreateForms();
  QTRY_COMPARE(prompts.count(), 1);
  QCOMPARE(ServiceStatus(*MainForm, "Gateway"), QString("Gateway: not started"));
  QCOMPARE(MainForm->MemoSysInfo->line(3), QString());
  QVERIFY(!MainForm->findChild<gateway::GatewayServer*>());
}

void TestGatewayLink::queuedClientCommandsDropped_data() {
  QTest::addColumn<QString>("end");
  QTest::newRow("Esc") << "esc";
  QTest::newRow("tree's Stop") << "stop";
  QTest::newRow("link closed") << "close";
  QTest::newRow("link lost") << "lost";
}

void TestGatewayLink::queuedClientCommandsDropped() {
  QFETCH(QString, end);
  SimTcpSwitcher sw;
  QVERIFY(startOnTcp(sw, "[Link]\nPace=100\n[Gateway]\nPort=" + QString::number(freePort()) + "\n"));
  MainForm->show();
  GatewayClient gateway;
  QVERIFY(gateway.socket.waitForConnected(kWaitMs));
  QTcpSocket& client = gateway.socket;
  const QByteArray& got = gateway.got;
  client.write("1V1.2V2.3V3.4V4.5V5.6V6.");
  QTRY_COMPARE(sw.commands.size(), 1);
  if (end == "esc") QTest::keyClick(MainForm->windowHandle(), Qt::Key_Escape);
  if (end == "stop") MainForm->TreeView1->findChild<QAction*>("ActionStopRun")->trigger();
  if (end == "close") MainForm->ButtonCloseComClick();
  if (end == "lost") sw.client()->abort();
  QTRY_COMPARE(got.count("Link closed\r\n") + sw.commands.size(), 6);
}

void TestGatewayLink::pacedFloodIsBounded() {
  SimTcpSwitcher sw;
  QVERIFY(startOnTcp(sw, "[Link]\nPace=1000\n[Gateway]\nPort=" + QString::number(freePort()) + "\n"));
  GatewayClient gateway;
  QVERIFY(gateway.socket.waitForConnected(kWaitMs));
  QTcpSocket& client = gateway.socket;
  const QByteArray& got = gateway.got;
  // At a pace, what waits is bounded by the switcher's time it takes as well.
  const int each = EngineOf(*MainForm)->queue().waitingBoundEach();
  const int bound = EngineOf(*MainForm)->queue().waitingBoundAll();
  QByteArray flood;
  for (int i = 0; i < each + 44; ++i) flood += "1V1.";
  client.write(flood);
  QTRY_COMPARE(got.count("Busy\r\n"), 44);
  // Others fill the queue to its total; then everyone is Busy, but the operator is not.
  const int first = ClientCommandsWaiting(*MainForm, QStringLiteral("127.0.0.1:%1").arg(client.localPort()));
  QVERIFY(first >= each - 1);  // one may have gone already
  QVERIFY(ClientCanTake(*MainForm, "0", each));
  QVERIFY(!ClientCanTake(*MainForm, "0", each + 1));
  int others = 0;
  for (int c = 0; c < bound / each; ++c)
    while (ClientSend(*MainForm, "1V1.", QString::number(c), {}) == ClientSendResult::Accepted) ++others;
  QCOMPARE(first + others, bound);
  QCOMPARE(ClientSend(*MainForm, "1V1.", "new", {}), ClientSendResult::Busy);
  QVERIFY(!ClientCanTake(*MainForm, "new", 1));
  const int before = PacedBacklog(*MainForm);
  QVERIFY(PacedSend(*MainForm, "2V2.", kKeepReplyTarget));
  QCOMPARE(PacedBacklog(*MainForm), before + 1);
}

void TestGatewayLink::clientQuotaIsReleased() {
  SimPtySwitcher sw;
  QVERIFY(sw.ok());
  writeSwitcherIni(QStringLiteral("[Gateway]\nPort=%1\n").arg(freePort()), {sw.slavePath});
  CreateForms();
  QVERIFY(QSignalSpy(MainForm, &TMainForm::identificationFinished).wait(kWaitMs));
  // Well over the all-clients bound in all, each batch gone before the next.
  constexpr int kBatch = 200;
  for (int sent = 0; sent < kClientWaitingAll + 2 * kBatch; sent += kBatch) {
    for (int k = 0; k < kBatch; ++k)
      QCOMPARE(ClientSend(*MainForm, "1V1.", QStringLiteral("script%1").arg(sent % 3), {}), ClientSendResult::Accepted);
    QTRY_COMPARE_WITH_TIMEOUT(ClientCommandsWaiting(*MainForm, QStringLiteral("script%1").arg(sent % 3)), 0, kWaitMs);
  }
  QVERIFY(ClientCanTake(*MainForm, "script0", kClientWaitingEach));
}

void TestGatewayLink::serialFloodNeverBlocksTheWindow() {
  SimPtySwitcher sw;
  QVERIFY(sw.ok());
  writeSwitcherIni(QStringLiteral("[Gateway]\nPort=%1\n").arg(freePort()), {sw.slavePath});
  CreateForms();
  QVERIFY(QSignalSpy(MainForm, &TMainForm::identificationFinished).wait(kWaitMs));
  GatewayClient gateway;
  QVERIFY(gateway.socket.waitForConnected(kWaitMs));
  QTcpSocket& client = gateway.socket;
  const QByteArray& got = gateway.got;
  sw.pause(true);  // the device stalls
  sw.commands.clear();
  QElapsedTimer gap;
  qint64 longest = 0;
  QTimer tick;
  connect(&tick, &QTimer::timeout, &tick, [&] {
    longest = qMax(longest, gap.restart());
  });
  gap.start();
  tick.start(20);
  const QByteArray flood = QByteArray("12V3,4,5.").repeated(30000);  // 270 kB
  client.write(flood);
  QTRY_VERIFY_WITH_TIMEOUT(got.count("Busy\r\n") > 0 && client.bytesToWrite() == 0, kWaitMs);
  QTest::qWait(500);
  // A write that waits on the stalled device holds the window 5 s per byte; a busy turn of
  // reading and framing 64 KiB takes well under a second, also in a sanitizer build.
  QVERIFY2(longest < 3000, qPrintable(QString::number(longest)));
  // The device takes bytes again: whole commands, none cut or merged.
  sw.pause(false);
  QTRY_COMPARE_WITH_TIMEOUT(ClientCommandsWaiting(*MainForm, QStringLiteral("127.0.0.1:%1").arg(client.localPort())), 0, kWaitMs);
  QTRY_VERIFY(!sw.commands.isEmpty());
  QCOMPARE(sw.commands.count("12V3,4,5."), sw.commands.size());
}

// An unplugged adapter: while its error box waits for the operator, clients already know.
void TestGatewayLink::comDeviceLossTellsClientsBeforeTheBox() {
  auto sw = std::make_unique<SimPtySwitcher>();
  QVERIFY(sw->ok());
  writeSwitcherIni(QStringLiteral("[Link]\nPace=1000\n[Gateway]\nPort=%1\n").arg(freePort()), {sw->slavePath});
  CreateForms();
  QVERIFY(QSignalSpy(MainForm, &TMainForm::identificationFinished).wait(kWaitMs));
  GatewayClient gateway;
  QVERIFY(gateway.socket.waitForConnected(kWaitMs));
  QTcpSocket& client = gateway.socket;
  const QByteArray& got = gateway.got;
  client.write("1V1.2V2.3V3.");
  const QString label = QStringLiteral("127.0.0.1:%1").arg(client.localPort());
  QTRY_COMPARE(ClientCommandsWaiting(*MainForm, label), 2);  // the first went, two wait

  bool toldDuringBox = false;
  prompts.onMessage = [&] {
    toldDuringBox = !ClientLinkReady(*MainForm) &&
                    QTest::qWaitFor([&] { return got.count("Link closed\r\n") == 2; }, kWaitMs);
  };
  prompts.expect(link_detail::commErrorPrompt("等待串口事件", EIO).text, "串口错误");
  sw.reset();
  QTRY_VERIFY_WITH_TIMEOUT(!MainForm->SerialPort, kWaitMs);
  prompts.onMessage = nullptr;
  QVERIFY(toldDuringBox);
  prompts.take();
}

void TestGatewayLink::settingThatCannotBeTakenIsOneBox_data() {
  QTest::addColumn<QString>("gateway");
  QTest::addColumn<QString>("box");
  QByteArray allow = "127.0.0.1";
  while (allow.size() < 70000) allow += ",10.1.2.3";
  QTest::newRow("ReadOnly=maybe") << "ReadOnly=maybe\n"
                                  << "Gateway: ReadOnly=maybe in Switcher.ini is not 1/0, true/false, yes/no or on/off.";
  QTest::newRow("Allow cut") << "Allow=" + QString::fromLatin1(allow) + "\n"
                             << "Gateway: Allow in Switcher.ini is longer than 65535 characters.";
}

void TestGatewayLink::settingThatCannotBeTakenIsOneBox() {
  QFETCH(QString, gateway);
  QFETCH(QString, box);
  writeSwitcherIni(QStringLiteral("[Gateway]\nPort=%1\n").arg(freePort()) + gateway);
  prompts.expect(box, "Error");
  CreateForms();
  QTRY_COMPARE(prompts.count(), 1);
  QCOMPARE(ServiceStatus(*MainForm, "Gateway"), QString("Gateway: not started"));
  QVERIFY(!MainForm->findChild<gateway::GatewayServer*>());
}

QTEST_MAIN(TestGatewayLink)
#include "tst_gatewaylink.moc"
