// Start-up, close and the link manager on the real main window, against the simulator
// core on loopback TCP and on a real pseudo-terminal.
#include <QAbstractButton>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <stdexcept>
#include <sys/stat.h>

#include "Application.h"
#include "Memo.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "Update.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 5000;
// The probe runs one second after start; the identification takes well under two more.
constexpr int kProbeWaitMs = 8000;

QStringList expectedCaptions(int first = 1) {
  QStringList out;
  for (int n = 1; n <= kOutputCount; ++n) out << QString::number(n + first - 1);
  return out;
}
QStringList captions() {
  QStringList out;
  for (int n = 1; n <= kOutputCount; ++n) out << MainForm->OutPort[n]->caption();
  return out;
}
QByteArray storedValue(const char* key) {
  return platform::GetPrivateProfileString("TCP", key, "<absent>", 64, "Switcher.ini");
}
// Lets a real event loop block once (qWait never does), so that the idle handler brings
// the COM buttons up to date.
void settle() {
  QEventLoop loop;
  QTimer::singleShot(20, &loop, &QEventLoop::quit);
  loop.exec();
}
}  // namespace

class TestMainForm : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};

 private slots:
  void init() {
    prompts.reset();
    platform::setPrompts(&prompts);
    qunsetenv(kTcpPortEnv);
  }
  void cleanup() {
    DestroyForms();
    platform::setPrompts(nullptr);
    QCOMPARE(prompts.unexpected, QStringList());
  }

  // All six tabs at once, captions whole, and on every page nothing reaches past the page or
  // its group box (a clipped button or field) or covers another control, at 800 by 600.
  void everyTabAndControlInView() {
    writeSwitcherIni("");
    CreateForms();
    MainForm->show();
    QVERIFY(QTest::qWaitForWindowExposed(MainForm));
    QTabBar* bar = MainForm->PageControl->tabBar();
    QVERIFY(!bar->usesScrollButtons());
    QCOMPARE(bar->count(), 6);
    for (int i = 0; i < bar->count(); ++i) {
      const QRect tab = bar->tabRect(i);
      QVERIFY2(tab.right() < MainForm->PageControl->width(), qPrintable(bar->tabText(i)));
      QVERIFY2(tab.width() > bar->fontMetrics().horizontalAdvance(bar->tabText(i)), qPrintable(bar->tabText(i)));
    }
    for (int i = 0; i < MainForm->PageControl->count(); ++i) {
      QWidget* page = MainForm->PageControl->widget(i);
      MainForm->PageControl->setCurrentIndex(i);
      for (QWidget* w : page->findChildren<QWidget*>()) {
        QWidget* holder = w->parentWidget();
        if (!w->isVisibleTo(page) || w->isWindow() || !(holder == page || qobject_cast<QGroupBox*>(holder)))
          continue;
        const QString what = QStringLiteral("%1 on %2").arg(w->objectName(), bar->tabText(i));
        QVERIFY2(holder->rect().contains(w->geometry()), qPrintable(what));
        // A group box may stand behind controls that lie wholly on it (the keypad's plate).
        auto behind = [](QWidget* a, QWidget* b) {
          return qobject_cast<QGroupBox*>(a) && a->geometry().contains(b->geometry());
        };
        for (QWidget* other : holder->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
          if (other != w && other->isVisibleTo(page) && !other->isWindow() && !behind(w, other) &&
              !behind(other, w))
            QVERIFY2(!w->geometry().intersects(other->geometry()),
                     qPrintable(what + " covers " + other->objectName() + " " + other->metaObject()->className()));
      }
    }
  }

  void startWithoutSettings() {
    writeSwitcherIni("");
    CreateForms();
    QSignalSpy probed(MainForm, &TMainForm::probeFinished);
    QVERIFY(MainForm->RadioButton1->isChecked());
    QCOMPARE(MainForm->Edit6->text(), QString("0.0.0.0"));
    QCOMPARE(MainForm->GroupBoxCom->title(), QString("COM"));
    QVERIFY(MainForm->Edit6->isHidden());
    QVERIFY(!MainForm->RadioCOM[0]->isHidden());
    QVERIFY(MainForm->Timer5->isActive());
    QCOMPARE(MainForm->Timer5->interval(), 1000);
    QCOMPARE(MainForm->MemoSysInfo->lines(),
             (QStringList{"System Information :  Ver 1.8.3 20050402", " ", "", "", ""}));
    for (TMemo* m : {MainForm->Memo1, MainForm->Memo2, MainForm->Memo3, MainForm->Memo4})
      QCOMPARE(m->lines(), (QStringList{"Feedback Message :", ""}));
    QVERIFY(probed.wait(kProbeWaitMs));
    QCOMPARE(MainForm->MemoSysInfo->line(2), QString("Current com : null"));
    settle();
    QVERIFY(!MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->ButtonCloseCom->isEnabled());
    for (QRadioButton* r : MainForm->RadioCOM) QVERIFY(!r->isChecked());
    // Choosing a port again enables Open.
    MainForm->RadioCOM[1]->click();
    settle();
    QCOMPARE(MainForm->SelectedPort, 2);
    QVERIFY(MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(MainForm->RadioCOM[1]->isChecked());
    // ...and a port that cannot be opened says so.
    prompts.expect("Cannot Open COM2!", "Error");
    MainForm->ButtonOpenComClick();
    QCOMPARE(prompts.shown.last().icon, platform::Icon::Stop);
    QCOMPARE(MainForm->OpenPort, 0);
    QVERIFY(!MainForm->SerialPort);
  }

  void startWithConnect() {
    SimTcpSwitcher sw;
    qputenv(kTcpPortEnv, QByteArray::number(sw.port()));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QVERIFY(MainForm->RadioButton2->isChecked());
    QVERIFY(!MainForm->Timer5->isActive());
    QCOMPARE(MainForm->GroupBoxCom->title(), QString("TCP/IP"));
    QVERIFY(!MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->Edit6->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Label28->text(), QString("TCP/IP is connected!"), kWaitMs);
    QCOMPARE(sw.connections, 1);
    QVERIFY(MainForm->ButtonCloseCom->isEnabled());
    // Nothing is sent without the operator.
    QTest::qWait(50);
    QVERIFY(sw.commands.isEmpty());
    // A mode round trip enables Open; opening again keeps the live link.
    MainForm->RadioButton1->setChecked(true);
    MainForm->RadioButton2->setChecked(true);
    QVERIFY(MainForm->ButtonOpenCom->isEnabled());
    MainForm->ButtonOpenComClick();
    QTest::qWait(50);
    QVERIFY(MainForm->socketActive());
    QCOMPARE(MainForm->Label28->text(), QString("TCP/IP is connected!"));
    QCOMPARE(sw.connections, 1);
    QVERIFY(!MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->Edit6->isEnabled());
    MainForm->ButtonCloseComClick();
    QCOMPARE(MainForm->Label28->text(), QString());
    QVERIFY(MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->ButtonCloseCom->isEnabled());
    QVERIFY(!MainForm->socketActive());
  }

  void storedAddress_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown");
    QTest::addRow("cut to 15 characters") << "123.123.123.1234567" << "123.123.123.123";
    QTest::addRow("kept as stored") << "10.0.0.7" << "10.0.0.7";
  }
  void storedAddress() {
    QFETCH(QString, stored);
    QFETCH(QString, shown);
    writeSwitcherIni("[TCP]\nIP=" + stored + "\n");
    CreateForms();
    QCOMPARE(MainForm->Edit6->text(), shown);
  }

  void closeWritesSettings_data() {
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("closeButton");
    QTest::addColumn<QByteArray>("connect");
    QTest::addColumn<QByteArray>("ip");
    QTest::addColumn<bool>("treeChanged");
    QTest::addRow("COM mode, valid address") << false << "10.1.2.3" << false << QByteArray("0") << QByteArray("10.1.2.3") << false;
    QTest::addRow("TCP/IP mode via the close button") << true << "10.1.2.4" << true << QByteArray("1") << QByteArray("10.1.2.4") << false;
    QTest::addRow("invalid address keeps the stored one") << true << "10.1.2" << false << QByteArray("1") << QByteArray("9.9.9.9") << false;
    QTest::addRow("edited code tree, No: settings still written") << false << "10.1.2.5" << true << QByteArray("0") << QByteArray("10.1.2.5") << true;
  }
  void closeWritesSettings() {
    QFETCH(bool, tcp);
    QFETCH(QString, address);
    QFETCH(bool, closeButton);
    QFETCH(QByteArray, connect);
    QFETCH(QByteArray, ip);
    QFETCH(bool, treeChanged);
    writeSwitcherIni("[TCP]\nIP=9.9.9.9\n");
    CreateForms();
    MainForm->Timer5->stop();
    MainForm->show();
    MainForm->CodeTreeChanged = treeChanged ? 1 : 0;
    if (treeChanged)
      prompts.expect("Save changes of Code Tree to *.cgf ?", "Save", platform::Answer::No);
    if (tcp) MainForm->RadioButton2->setChecked(true);
    MainForm->Edit6->setText(address);
    if (closeButton)
      static_cast<QAbstractButton*>(MainForm->fcImageBtn227)->click();
    else
      MainForm->close();
    QVERIFY(!MainForm->isVisible());
    QCOMPARE(storedValue("Connect"), connect);
    QCOMPARE(storedValue("IP"), ip);
    QVERIFY(prompts.allExpectedShown());
    if (treeChanged) {
      const platform::Prompt& box = prompts.shown.last();
      QCOMPARE(box.owner, static_cast<QWidget*>(MainForm));
      QCOMPARE(box.icon, platform::Icon::None);
      QCOMPARE(box.buttons, platform::Buttons::YesNo);
    }
    // The rest of the file stays.
    QVERIFY(platform::comDevicePath(1).startsWith("/nonexistent/"));
  }

  void operatorErrors() {
    writeSwitcherIni("");
    CreateForms();
    MainForm->Timer5->stop();
    prompts.expect("COM is not opened !", "Error");
    MainForm->ButtonUpdateClick();
    MainForm->RadioButton2->setChecked(true);
    prompts.expect("TCP/IP is not connected !", "Error");
    MainForm->ButtonUpdateClick();
    MainForm->Edit6->setText("1.2.3");
    prompts.expect("Error! Invalid IP!", "Error");
    MainForm->ButtonOpenComClick();
    QVERIFY(prompts.allExpectedShown());
    QVERIFY(MainForm->Edit6->isEnabled());
    QCOMPARE(MainForm->MemoSysInfo->line(4), QString());
  }

  // ---- identification ----

  void identificationWithAnsweringSwitcher() {
    SimTcpSwitcher sw;
    qputenv(kTcpPortEnv, QByteArray::number(sw.port()));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
    bool shown = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] { shown = shown || Form5->isVisible(); });
    watch.start(10);
    MainForm->ButtonUpdateClick();  // returns when the Update window has closed
    QVERIFY(shown);
    QVERIFY(!Form5->isVisible());
    QCOMPARE(sw.commands, (QList<QByteArray>{"/*Type;", "/^Version;", "Status."}));
    const QStringList sys = MainForm->MemoSysInfo->lines();
    QCOMPARE(sys.mid(4), (QStringList{"Switcher :", QString::fromLatin1(sim::SwitcherCore::typeLine(256, 256).trimmed()),
                                      QString::fromLatin1(sim::SwitcherCore::versionLine().trimmed())}));
    QCOMPARE(captions(), expectedCaptions());
    QCOMPARE(MainForm->ReplyTarget, 7u);
    QVERIFY(MainForm->Timer1->isActive());
    MainForm->Busy = 1;
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Busy, std::uint8_t(0), kWaitMs);
  }

  void identificationWithSilentSwitcher() {
    SimTcpSwitcher sw(SimTcpSwitcher::Mode::Silent);
    qputenv(kTcpPortEnv, QByteArray::number(sw.port()));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
    MainForm->ButtonUpdateClick();
    QCOMPARE(MainForm->MemoSysInfo->lines().mid(4), QStringList{"Switcher : no switcher"});
    QVERIFY(!Form5->isVisible());
    QCOMPARE(captions(), QStringList(kOutputCount, "0"));
  }

  // A reply stops Timer, but no status line follows: the bound closes the window.
  void identificationWithoutStatusLines() {
    SimTcpSwitcher sw(SimTcpSwitcher::Mode::IdentifyOnly);
    qputenv(kTcpPortEnv, QByteArray::number(sw.port()));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
    QSignalSpy bound(MainForm->StatusWaitTimer, &QTimer::timeout);
    MainForm->ButtonUpdateClick();
    QCOMPARE(bound.count(), 1);
    QVERIFY(!Form5->isVisible());
    QCOMPARE(MainForm->MemoSysInfo->line(4), QString("Switcher :"));
    QCOMPARE(MainForm->MemoSysInfo->lineCount(), 7);
  }

  // COM1 is a pseudo-terminal with the simulator behind it: the start-up search opens it
  // and identifies the switcher; serial bytes reach the parser while Update is modal.
  void probeFindsSwitcherOnPty() {
    SimPtySwitcher sw;
    QVERIFY(sw.ok());
    sw.core.execute("5V7.");
    writeSwitcherIni("", {sw.slavePath});
    CreateForms();
    QSignalSpy probed(MainForm, &TMainForm::probeFinished);
    QVERIFY(probed.wait(kProbeWaitMs));
    QCOMPARE(MainForm->OpenPort, 1);
    QCOMPARE(MainForm->SelectedPort, 1);
    QVERIFY(MainForm->SerialPort);
    QCOMPARE(MainForm->MemoSysInfo->line(2), QString("Current com : com1"));
    // The routing query and its reports travel after the probe: waited for, on a busy machine too.
    QTRY_VERIFY_WITH_TIMEOUT(sw.commands.contains("Status."), kProbeWaitMs);
    QStringList expected = expectedCaptions();
    expected[6] = "5";
    QTRY_COMPARE_WITH_TIMEOUT(captions(), expected, kProbeWaitMs);
    settle();
    QVERIFY(MainForm->RadioCOM[0]->isChecked());
    QVERIFY(!MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(MainForm->ButtonCloseCom->isEnabled());

    MainForm->ButtonCloseComClick();
    QVERIFY(!MainForm->SerialPort);
    QCOMPARE(MainForm->SelectedPort, 0);
    QCOMPARE(MainForm->OpenPort, 0);
    QCOMPARE(MainForm->MemoSysInfo->line(2), QString("Current com : null"));
    settle();
    QVERIFY(!MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->ButtonCloseCom->isEnabled());
    for (QRadioButton* r : MainForm->RadioCOM) QVERIFY(!r->isChecked());

    // Opening another port that fails closes the open one too: nothing is claimed open.
    MainForm->RadioCOM[0]->click();
    MainForm->ButtonOpenComClick();
    QCOMPARE(MainForm->OpenPort, 1);
    MainForm->RadioCOM[1]->click();
    prompts.expect("Cannot Open COM2!", "Error");
    MainForm->ButtonOpenComClick();
    QVERIFY(!MainForm->SerialPort);
    QCOMPARE(MainForm->OpenPort, 0);
    QCOMPARE(MainForm->MemoSysInfo->line(2), QString("Current com : null"));
    MainForm->RadioCOM[0]->click();
    settle();
    QVERIFY(MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->ButtonCloseCom->isEnabled());
  }

  // The operator opens COM2 before the start-up search runs: the search keeps it.
  void openBeforeTheSearch() {
    SimPtySwitcher sw;
    QVERIFY(sw.ok());
    writeSwitcherIni("", {"/nonexistent/tty0", sw.slavePath});
    CreateForms();
    QSignalSpy probed(MainForm, &TMainForm::probeFinished);
    MainForm->RadioCOM[1]->click();
    MainForm->ButtonOpenComClick();
    QVERIFY(probed.count() == 1 || probed.wait(kProbeWaitMs));
    QVERIFY(MainForm->SerialPort);
    QCOMPARE(MainForm->OpenPort, 2);
    QCOMPARE(MainForm->MemoSysInfo->line(2), QString("Current com : com2"));
    sw.commands.clear();
    MainForm->ButtonUpdateClick();
    QTRY_VERIFY_WITH_TIMEOUT(sw.commands.contains("Status."), kProbeWaitMs);
  }

  // A configuration box inside ComPort::Open runs a nested event loop; the start-up search
  // must neither open another port nor see the half-open one meanwhile.
  void searchDuringAnOpenBoxWaits() {
    QTemporaryDir dir;
    // A FIFO, not a plain file: it is no terminal either, but it is never readable without
    // data, so the monitor thread keeps the port open (a plain file reads as end of file,
    // which ends the monitor and with it the port).
    const QString notATerminal = dir.filePath("fifo");
    QVERIFY(::mkfifo(QFile::encodeName(notATerminal).constData(), 0600) == 0);
    writeSwitcherIni("", {notATerminal, notATerminal});
    CreateForms();
    MainForm->Timer5->stop();
    MainForm->RadioCOM[0]->click();
    bool searched = false;
    ComPort* duringBox = MainForm->SerialPort;
    prompts.onMessage = [&] {
      if (searched) return;
      searched = true;
      MainForm->ProbeComPorts();
      duringBox = MainForm->SerialPort;
    };
    MainForm->ButtonOpenComClick();
    prompts.onMessage = nullptr;
    QVERIFY(searched);
    QCOMPARE(duringBox, nullptr);
    QVERIFY(MainForm->SerialPort);
    QCOMPARE(MainForm->OpenPort, 1);
    // The boxes of a device that is no terminal are not what this checks.
    DestroyForms();
    prompts.reset();
  }

  // ---- the application object ----

  void exceptionInHandlerIsShownAndTheProgramGoesOn() {
    writeSwitcherIni("");
    CreateForms();
    MainForm->Timer5->stop();
    prompts.expect("boom", kExceptionCaption);
    QTimer::singleShot(0, MainForm, [] { throw std::runtime_error("boom"); });
    QTRY_VERIFY_WITH_TIMEOUT(prompts.allExpectedShown(), kWaitMs);
    bool later = false;
    QTimer::singleShot(0, MainForm, [&later] { later = true; });
    QTRY_VERIFY_WITH_TIMEOUT(later, kWaitMs);
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  TestMainForm test;
  return QTest::qExec(&test, argc, argv);
}
#include "tst_mainform.moc"
