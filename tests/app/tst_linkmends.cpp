// The link as the window drives it: sends that leave at once, a close that keeps what was
// handed over, an Update right after a status refresh, and a serial monitor that dies.
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTimer>
#include <cerrno>

#include "LinkPrompts.h"
#include "Memo.h"
#include "TestSupport.h"
#include "Unit1.h"

namespace {
constexpr int kWaitMs = 5000;
constexpr int kProbeWaitMs = 8000;

// Lets the event loop block once, so that the idle handler brings the COM buttons up to date.
void settle() {
  QEventLoop loop;
  QTimer::singleShot(20, &loop, &QEventLoop::quit);
  loop.exec();
}
}  // namespace

class TestLinkMends : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};

  void connectTo(quint16 port) {
    qputenv(kTcpPortEnv, QByteArray::number(port));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
  }

 private slots:
  void init() {
    prompts.reset();
    platform::setPrompts(&prompts);
  }
  void cleanup() {
    DestroyForms();
    platform::setPrompts(nullptr);
    QCOMPARE(prompts.unexpected, QStringList());
  }

  // The switcher has the bytes while the window thread is still busy: nothing waits for
  // the event loop in Qt's buffer.
  void sendsLeaveAtOnce_data() {
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QString>("text");
    QTest::addRow("text in one write") << false << "Status2.";
    QTest::addRow("HEX, one write per byte") << true << "53 74 61 74 75 73 32 2e";
  }
  void sendsLeaveAtOnce() {
    QFETCH(bool, hex);
    QFETCH(QString, text);
    SimTcpSwitcher sw(SimTcpSwitcher::Mode::Silent);
    connectTo(sw.port());
    QTRY_VERIFY_WITH_TIMEOUT(sw.client() != nullptr, kWaitMs);
    (hex ? MainForm->RadioButton6 : MainForm->RadioButton5)->setChecked(true);
    MainForm->Edit2->setText(text);
    MainForm->Button8Click();
    // Only the switcher's side is waited on here; the console's loop does not run.
    while (sw.commands.isEmpty() && sw.client()->waitForReadyRead(kWaitMs)) {
    }
    QCOMPARE(sw.commands, QList<QByteArray>{"Status2."});
  }

  void closeKeepsWhatWasHandedOver() {
    constexpr qint64 kBig = 32 << 20;
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    qint64 received = 0;
    bool ended = false;
    connect(&server, &QTcpServer::newConnection, this, [&] {
      QTcpSocket* peer = server.nextPendingConnection();
      connect(peer, &QTcpSocket::readyRead, this, [&received, peer] { received += peer->readAll().size(); });
      connect(peer, &QTcpSocket::disconnected, this, [&ended] { ended = true; });
    });
    connectTo(server.serverPort());
    MainForm->socketSend(QByteArray(kBig, 'x'));
    QVERIFY(MainForm->ClientSocket1->bytesToWrite() > 0);  // more than the system took at once
    MainForm->ButtonCloseComClick();
    QVERIFY(!MainForm->socketActive());  // no more sends after Close
    QVERIFY(MainForm->ButtonOpenCom->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(received, kBig, 4 * kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(ended, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->ClientSocket1->state(), QAbstractSocket::UnconnectedState, kWaitMs);
    prompts.expect("TCP/IP is not connected !", "Error");
    SendCode(*MainForm, "Status.");
  }

  // A status refresh's Timer4 still runs when Update starts; it must not close the Update
  // window of the new identification, which here ends only by the bound on its status wait.
  void updateRightAfterARefresh() {
    SimTcpSwitcher sw(SimTcpSwitcher::Mode::IdentifyOnly);
    connectTo(sw.port());
    QTRY_VERIFY_WITH_TIMEOUT(sw.client() != nullptr, kWaitMs);
    MainForm->ReplyTarget = 7;
    sw.send(" A/V : 001 > 001\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->Timer4->isActive(), kWaitMs);
    QSignalSpy bound(MainForm->StatusWaitTimer, &QTimer::timeout);
    MainForm->ButtonUpdateClick();
    QCOMPARE(bound.count(), 1);
    QCOMPARE(MainForm->MemoSysInfo->lineCount(), 7);  // "Switcher :", type and version
  }

  // The switcher's device goes away under an open COM port: after the serial error box the
  // window shows the port closed, with Open ready for the same port.
  void serialMonitorEndsThePort() {
    auto sw = std::make_unique<SimPtySwitcher>();
    QVERIFY(sw->ok());
    writeSwitcherIni("", {sw->slavePath});
    CreateForms();
    QSignalSpy probed(MainForm, &TMainForm::probeFinished);
    QVERIFY(probed.wait(kProbeWaitMs));
    QCOMPARE(MainForm->OpenPort, 1);
    prompts.expect(link_detail::commErrorPrompt("等待串口事件", EIO).text, "串口错误");
    sw.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!MainForm->SerialPort, kWaitMs);
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(MainForm->OpenPort, 0);
    QCOMPARE(MainForm->MemoSysInfo->line(2), QString("Current com : null"));
    settle();
    QVERIFY(MainForm->RadioCOM[0]->isChecked());
    QVERIFY(MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->ButtonCloseCom->isEnabled());

    // The device is back: one click opens it again.
    SimPtySwitcher back;
    QVERIFY(back.ok());
    writeSwitcherIni("", {back.slavePath});
    MainForm->ButtonOpenCom->click();
    QCOMPARE(MainForm->OpenPort, 1);
    QVERIFY(MainForm->SerialPort);
    QVERIFY(back.commands.contains("/*Type;"));
  }
};

QTEST_MAIN(TestLinkMends)
#include "tst_linkmends.moc"
