// The gateway on the window: console A holds the switcher and serves the gateway, console B
// (a second window of this process in TCP/IP mode; the two share the dialogs, which only B
// uses) works through it; a client's traffic leaves A's own exchanges alone.

#include <QtTest>
#include <QtWidgets>

#include <functional>

#include "GatewayServer.h"
#include "Memo.h"
#include "Outport.h"
#include "TestSupport.h"
#include "Update.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 10000;

quint16 freePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

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
  void settingThatCannotBeTakenIsOneBox_data();
  void settingThatCannotBeTakenIsOneBox();

 private:
  FakePrompts prompts{FakePrompts::Mode::Scripted};
};

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
  QTRY_COMPARE(a->MemoSysInfo->line(3), QStringLiteral("Gateway: listening on 127.0.0.1:%1, 1 client").arg(port));
  MainForm->ButtonUpdateClick();
  QVERIFY(MainForm->MemoSysInfo->lines().contains("MATRIX 256X256"));
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
  QVERIFY(a->Memo5->lines().contains("5B12." + label));
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
  QCOMPARE(MainForm->MemoSysInfo->line(3), QString("Gateway: not started"));
  QVERIFY(!MainForm->findChild<gateway::GatewayServer*>());
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
  QCOMPARE(MainForm->MemoSysInfo->line(3), QString("Gateway: not started"));
  QVERIFY(!MainForm->findChild<gateway::GatewayServer*>());
}

QTEST_MAIN(TestGatewayLink)
#include "tst_gatewaylink.moc"
