// Links that come back: a serial device that is plugged in again, a TCP/IP switcher that went
// away; the setting that turns both off; the operator ending the attempts.
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cerrno>

#include "Backoff.h"
#include "LinkPrompts.h"
#include "Memo.h"
#include "SessionLog.h"
#include "TestSupport.h"
#include "Unit1.h"

namespace {
constexpr int kWaitMs = 5000;
using std::chrono::seconds;
}  // namespace

class TestReconnect : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};

  static QString linkSection(bool reconnect) {
    return QStringLiteral("[Link]\nReconnect=%1\n").arg(reconnect ? 1 : 0);
  }
  static void onAndOff() {
    QTest::addColumn<bool>("reconnect");
    QTest::addRow("on") << true;
    QTest::addRow("off") << false;
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

  // Every boolean key of Switcher.ini takes the same spellings; another value keeps the
  // default and says so once.
  void booleanKeys_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<bool>("reconnect");
    QTest::addColumn<bool>("log");
    QTest::addColumn<int>("notes");
    QTest::addRow("yes, off, no") << "[TCP]\nConnect=yes\n[Link]\nReconnect=off\n[Log]\nEnabled=no\n"
                                  << true << false << false << 0;
    QTest::addRow("TRUE, On, true") << "[TCP]\nConnect=TRUE\n[Link]\nReconnect=On\n[Log]\nEnabled=true\n"
                                    << true << true << true << 0;
    QTest::addRow("0 and 1 as before") << "[TCP]\nConnect=0\n[Link]\nReconnect=0\n[Log]\nEnabled=1\n"
                                       << false << false << true << 0;
    QTest::addRow("nonsense keeps the defaults")
        << "[TCP]\nConnect=2\n[Link]\nReconnect=maybe\n[Log]\nEnabled=x\n" << false << true << true << 3;
  }
  void booleanKeys() {
    QFETCH(QString, ini);
    QFETCH(bool, tcp);
    QFETCH(bool, reconnect);
    QFETCH(bool, log);
    QFETCH(int, notes);
    SimTcpSwitcher sw;
    qputenv(kTcpPortEnv, QByteArray::number(sw.port()));
    writeSwitcherIni(ini + "[TCP]\nIP=127.0.0.1\n");
    CreateForms();
    QCOMPARE(MainForm->RadioButton2->isChecked(), tcp);
    QCOMPARE(MainForm->ReconnectEnabled, reconnect);
    QCOMPARE(MainForm->findChild<sessionlog::SessionLog*>("SessionLog")->isOpen(), log);
    QCOMPARE(MainForm->MemoSysInfo->lines().filter(" is not 1/0, true/false, yes/no or on/off; ").size(), notes);
  }

  void pauses_data() {
    QTest::addColumn<int>("previous");
    QTest::addColumn<int>("next");
    QTest::addRow("first") << 0 << 1;
    QTest::addRow("doubles") << 2 << 4;
    QTest::addRow("capped") << 16 << 30;
    QTest::addRow("stays at the cap") << 30 << 30;
  }
  void pauses() {
    QFETCH(int, previous);
    QFETCH(int, next);
    QCOMPARE(link_policy::NextRetryPause(seconds(previous)), seconds(next));
  }

  // The switcher closes the link: redialled after 1 s and identified again, or left closed
  // as the window always did when the setting is off.
  void tcpSwitcherComesBack_data() { onAndOff(); }
  void tcpSwitcherComesBack() {
    QFETCH(bool, reconnect);
    SimTcpSwitcher sw;
    QVERIFY(startOnTcp(sw, linkSection(reconnect)));
    sw.client()->abort();
    QTRY_VERIFY_WITH_TIMEOUT(!MainForm->socketActive(), kWaitMs);
    if (!reconnect) {
      QTRY_COMPARE_WITH_TIMEOUT(MainForm->Label28->text(), QString("TCP/IP is disconnected!"), kWaitMs);
      QVERIFY(!MainForm->TcpRetryTimer->isActive());
      QVERIFY(MainForm->ButtonOpenCom->isEnabled());
      return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->TcpRetryTimer->isActive(), kWaitMs);
    QCOMPARE(MainForm->Label28->text(), QString("Link lost: next attempt in 1 s"));
    QVERIFY(!MainForm->ButtonOpenCom->isEnabled() && MainForm->ButtonCloseCom->isEnabled());
    QVERIFY(QSignalSpy(MainForm, &TMainForm::identificationFinished).wait(3 * kWaitMs));
    QCOMPARE(sw.connections, 2);
    QVERIFY(sw.commands.contains("/*Type;") && sw.commands.contains("Status."));
    QCOMPARE(MainForm->Label28->text(), QString("TCP/IP is connected!"));
  }

  // While the switcher stays away each failed attempt doubles the pause; Close or the other
  // mode ends the attempts.
  void operatorEndsTheAttempts_data() {
    QTest::addColumn<bool>("byClose");
    QTest::addRow("Close") << true;
    QTest::addRow("COM mode") << false;
  }
  void operatorEndsTheAttempts() {
    QFETCH(bool, byClose);
    SimTcpSwitcher sw;
    QVERIFY(startOnTcp(sw));
    sw.stopListening();
    sw.client()->abort();
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->TcpRetryAttempt, 1, 3 * kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Label28->text(), QString("Link lost: next attempt in 2 s"), kWaitMs);
    QCOMPARE(MainForm->TcpRetryTimer->interval(), 2000);
    if (byClose) {
      MainForm->ButtonCloseCom->click();
      QCOMPARE(MainForm->Label28->text(), QString());
      QVERIFY(MainForm->ButtonOpenCom->isEnabled() && MainForm->Edit6->isEnabled());
    } else {
      MainForm->RadioButton1->click();
    }
    QVERIFY(!MainForm->TcpRetryTimer->isActive() && !MainForm->TcpLinkWanted);
    QCOMPARE(MainForm->TcpRetryAttempt, 0);
  }

  // A peer that accepts and closes at once: the pauses keep growing, and no box is shown.
  void peerThatDropsAtOnce() {
    SimTcpSwitcher refusing(SimTcpSwitcher::Mode::Refuse);
    qputenv(kTcpPortEnv, QByteArray::number(refusing.port()));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QTRY_COMPARE_WITH_TIMEOUT(refusing.connections, 2, 3 * kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->TcpRetryTimer->interval(), 2000, kWaitMs);
    QCOMPARE(prompts.count(), 0);
  }

  // The USB adapter is unplugged (one box; the window shows the port closed, with Open ready
  // for the same port) and plugged in again under the same path: the console opens it by
  // itself and identifies the switcher.
  void serialDeviceComesBack_data() { onAndOff(); }
  void serialDeviceComesBack() {
    QFETCH(bool, reconnect);
    QTemporaryDir dir;
    const QString device = dir.filePath("ttyUSB0");
    auto first = std::make_unique<SimPtySwitcher>();
    QVERIFY(QFile::link(first->slavePath, device));
    writeSwitcherIni(linkSection(reconnect), {device});
    CreateForms();
    QVERIFY(QSignalSpy(MainForm, &TMainForm::probeFinished).wait(2 * kWaitMs));
    QCOMPARE(MainForm->OpenPort, 1);

    prompts.expect(link_detail::commErrorPrompt("等待串口事件", EIO).text, "串口错误");
    first.reset();
    QFile::remove(device);
    QTRY_VERIFY_WITH_TIMEOUT(!MainForm->SerialPort, kWaitMs);
    QCOMPARE(MainForm->MemoSysInfo->line(2), QString("Current com : null"));
    QEventLoop loop;  // the COM buttons follow when the loop next waits (qWait never does)
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
    QVERIFY(MainForm->ButtonOpenCom->isEnabled() && !MainForm->ButtonCloseCom->isEnabled());
    QVERIFY(MainForm->RadioCOM[0]->isChecked());
    QCOMPARE(MainForm->SerialRetryTimer->isActive(), reconnect);
    if (!reconnect) return;

    SimPtySwitcher second;
    QVERIFY(QFile::link(second.slavePath, device));
    QVERIFY(QSignalSpy(MainForm, &TMainForm::identificationFinished).wait(2 * kWaitMs));
    QCOMPARE(MainForm->OpenPort, 1);
    QVERIFY(second.commands.contains("/*Type;") && second.commands.contains("Status."));
    QVERIFY(!MainForm->SerialRetryTimer->isActive());
    QCOMPARE(prompts.count(), 1);
  }
};

QTEST_MAIN(TestReconnect)
#include "tst_reconnect.moc"
