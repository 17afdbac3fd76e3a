// The Auto tab on the real main window, stepping against the simulator core over loopback
// TCP. Time is driven with delays of a few milliseconds; the tests wait on what arrives.
#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>

#include "Memo.h"
#include "Outport.h"
#include "TestSupport.h"
#include "Transmission.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 5000;
const QByteArray kSentinel = "/^Version;";
const QString kShortDelay = "5";

// The defaults' first cycle: inputs 1 to 3, each to outputs 1 to 5.
const QByteArrayList kDefaultCycle = {"1B1.", "1B2.", "1B3.", "1B4.", "1B5.", "2B1.", "2B2.", "2B3.",
                                      "2B4.", "2B5.", "3B1.", "3B2.", "3B3.", "3B4.", "3B5."};

// The fields, then the Start/Pause button.
void startWith(const QStringList& v) {
  QLineEdit* edits[] = {MainForm->InputFrom, MainForm->InputTo, MainForm->MaskEdit3,
                        MainForm->MaskEdit4, MainForm->DelayTime};
  for (int i = 0; i < v.size(); ++i) edits[i]->setText(v[i]);
  MainForm->Button4->click();
}
bool tabButtonsShown() { return MainForm->PageControl->tabBar()->isVisibleTo(MainForm->PageControl); }
}  // namespace

class TestAutoSequence : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<SimTcpSwitcher> sw;

  // Route commands received (status refreshes and sentinels left out).
  QByteArrayList routes() const {
    static const QRegularExpression route("^\\d+[BVA]\\d+\\.$");
    QByteArrayList out;
    for (const QByteArray& c : sw->commands)
      if (route.match(QString::fromLatin1(c)).hasMatch()) out << c;
    return out;
  }
  bool waitRoutes(int n) {
    return QTest::qWaitFor([&] { return routes().size() >= n; }, kWaitMs);
  }
  // All that the console has sent so far has reached the simulator.
  bool drain() {
    SendCode(*MainForm, kSentinel);
    const bool arrived = QTest::qWaitFor([&] { return sw->commands.contains(kSentinel); }, kWaitMs);
    sw->commands.removeAll(kSentinel);
    return arrived;
  }
  void checkState(int tag) {
    const bool running = tag == 1;
    QCOMPARE(tagOf(MainForm->Button4), tag);
    QCOMPARE(MainForm->Button4->text(), QString(running ? "Pause" : "Start"));
    QCOMPARE(MainForm->Button5->isEnabled(), tag != 0);
    QCOMPARE(tabButtonsShown(), !running);
    QCOMPARE(MainForm->TabSheetSys->isEnabled(), !running);
    QCOMPARE(MainForm->Busy, std::uint8_t(running ? 1 : 0));
    if (tag == 0) QCOMPARE(MainForm->PanelHint->text(), QString("Current Status"));
    if (tag == 2) QVERIFY(MainForm->PanelHint->text().endsWith(" (Pause)"));
  }

 private slots:
  void init() {
    QVERIFY(beginLive(prompts, sw, SimTcpSwitcher::Mode::Answer));
    MainForm->PageControl->setCurrentWidget(MainForm->dxTabSheetAuto);
  }
  void cleanup() { QCOMPARE(endLive(prompts, sw), QStringList()); }

  void order_data() {
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::addRow("defaults, wrap included") << QStringList{"1", "3", "1", "5"}
                                             << kDefaultCycle + QByteArrayList{"1B1."};
    QTest::addRow("first input above last") << QStringList{"3", "1", "1", "2"}
                                            << QByteArrayList{"3B1.", "3B2.", "3B1.", "3B2.", "3B1."};
    QTest::addRow("first output above last") << QStringList{"1", "3", "5", "2"}
                                             << QByteArrayList{"1B5.", "2B5.", "3B5.", "1B5."};
    QTest::addRow("both above") << QStringList{"3", "1", "5", "2"} << QByteArrayList{"3B5.", "3B5.", "3B5."};
  }
  void order() {
    QFETCH(QStringList, fields);
    QFETCH(QByteArrayList, expected);
    startWith(fields + QStringList{kShortDelay});
    QVERIFY(waitRoutes(int(expected.size())));
    MainForm->Button4->click();
    QCOMPARE(routes().mid(0, expected.size()), expected);
    // The route reports walk the grid: each output shows the input last routed to it, also
    // by steps that had left before Pause but had not yet reached the switcher (the send log
    // has them all).
    const QByteArray& first = expected.first();
    const int output = first.mid(first.indexOf('B') + 1).chopped(1).toInt();
    QString input;
    for (const QString& r : MainForm->Memo5->lines())
      if (r.endsWith(QStringLiteral("B%1.").arg(output))) input = r.left(r.indexOf('B'));
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->OutPort[output]->caption(), input, kWaitMs);
  }

  // The link comes back during a (paused) run: no Update window over the Auto tab, the
  // replies stay the run's, and the run is left as it was.
  void linkBackDuringRun() {
    startWith({"1", "3", "1", "5", kShortDelay});
    QVERIFY(waitRoutes(1));
    MainForm->Button4->click();
    QVERIFY(drain());
    QSignalSpy identified(MainForm, &TMainForm::identificationFinished);
    const int memoLines = MainForm->Memo2->lineCount();
    sw->commands.clear();
    sw->client()->abort();
    QTRY_COMPARE_WITH_TIMEOUT(sw->connections, 2, 3 * kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->Memo2->lineCount() > memoLines, kWaitMs);
    QCOMPARE(sw->commands, QByteArrayList{"Status."});
    QCOMPARE(identified.count(), 0);
    QCOMPARE(MainForm->ReplyTarget, 1u);
    checkState(2);
  }

  // Pause keeps the place and the old fields; Stop then Start reads everything again.
  // The grid ignores clicks while the run goes on, and works again once it is paused.
  void gridDuringARun() {
    startWith({"1", "3", "1", "5", kShortDelay});
    QVERIFY(waitRoutes(1));
    MainForm->OutPort[200]->click();
    QVERIFY(!Form2->isVisible());
    MainForm->Button4->click();
    bool opened = false;
    QTimer::singleShot(0, Form2, [&] {
      opened = Form2->isVisible();
      Form2->reject();
    });
    MainForm->OutPort[200]->click();
    QVERIFY(opened);
    QVERIFY(drain());
    QCOMPARE(sw->commands.count("Status200."), 1);
  }

  void pauseResumeStop() {
    checkState(0);
    startWith({"1", "3", "1", "5", kShortDelay});
    checkState(1);
    QCOMPARE(MainForm->ReplyTarget, 1u);
    QCOMPARE(MainForm->AutoTimer->interval(), 5);
    QVERIFY(waitRoutes(3));
    // The identification's Timer1 leaves Busy to the run.
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->Busy, std::uint8_t(1));
    MainForm->Button4->click();
    checkState(2);
    startWith({"1", "9", "1", "9", "100000"});
    checkState(1);
    QCOMPARE(MainForm->AutoTimer->interval(), 5);
    QVERIFY(waitRoutes(20));
    MainForm->Button5->click();
    checkState(0);
    QVERIFY(drain());
    const QByteArrayList cycle = kDefaultCycle + kDefaultCycle + kDefaultCycle + kDefaultCycle;
    QCOMPARE(routes(), cycle.mid(0, routes().size()));

    const int before = int(routes().size());
    startWith({"7", "7", "9", "10", kShortDelay});
    QVERIFY(waitRoutes(before + 3));
    MainForm->Button5->click();
    QCOMPARE(routes().mid(before, 3), (QByteArrayList{"7B9.", "7B10.", "7B9."}));
  }

  void signalChange_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<char>("letter");
    QTest::addRow("Video") << "fcButtonGroup1fcShapeBtnVideo" << 'V';
    QTest::addRow("Audio") << "fcButtonGroup1fcShapeBtnAudio" << 'A';
  }
  void signalChange() {
    QFETCH(QString, button);
    QFETCH(char, letter);
    QVERIFY(MainForm->fcButtonGroup1fcShapeBtnAV->isChecked());
    startWith({"1", "3", "1", "5", kShortDelay});
    QVERIFY(waitRoutes(2));
    MainForm->findChild<QAbstractButton*>(button)->click();
    QVERIFY(waitRoutes(int(routes().size()) + 3));
    MainForm->Button4->click();
    QString letters;
    for (const QByteArray& r : routes()) letters += QString::fromLatin1(r).remove(QRegularExpression("[^BVA]"));
    QVERIFY2(QRegularExpression(QStringLiteral("^B+%1+$").arg(letter)).match(letters).hasMatch(),
             qPrintable(letters));
    QVERIFY(MainForm->PanelHint->text().endsWith(QStringLiteral(" %1 (Pause)").arg(letter)));
  }

  void delayZero() {
    startWith({"1", "3", "1", "5", "0"});
    checkState(1);
    QVERIFY(!MainForm->AutoTimer->isActive());
    QVERIFY(drain());
    QVERIFY(routes().isEmpty());
    MainForm->Button4->click();
    QCOMPARE(MainForm->PanelHint->text(), QString("Current Status (Pause)"));
  }

  void invalidFields_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("box");
    const QString invalid = "Error! Invalid number!";
    for (const char* f : {"InputFrom", "InputTo", "MaskEdit3", "MaskEdit4", "DelayTime"})
      QTest::addRow("letter in %s", f) << f << "1a" << invalid;
    QTest::addRow("blank in DelayTime") << "DelayTime" << " 300" << invalid;
    QTest::addRow("minus in InputTo") << "InputTo" << "-3" << invalid;
    QTest::addRow("empty InputFrom") << "InputFrom" << "" << "Input From is empty: please enter a number.";
    QTest::addRow("empty MaskEdit4") << "MaskEdit4" << "" << "Output To is empty: please enter a number.";
    QTest::addRow("over-long DelayTime") << "DelayTime" << "2147483648"
                                         << "Delay: 2147483648 is too large, at most 2147483647.";
  }
  void invalidFields() {
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, box);
    MainForm->findChild<QLineEdit*>(field)->setText(text);
    prompts.expect(box, "Error");
    MainForm->Button4->click();
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(prompts.shown.last().owner, static_cast<QWidget*>(MainForm));
    checkState(0);
  }

  // A refused send pauses the run behind one box; resuming sends the refused pair.
  void refusalPauses() {
    startWith({"1", "3", "1", "5", kShortDelay});
    QVERIFY(waitRoutes(2));
    prompts.expect("TCP/IP is not connected !", "Error");
    MainForm->ButtonCloseComClick();
    QTRY_VERIFY_WITH_TIMEOUT(prompts.allExpectedShown(), kWaitMs);
    checkState(2);
    QVERIFY(!MainForm->AutoTimer->isActive());
    // "2-->3 B (Pause)" names the pair that was refused: 2B3.
    const QByteArray refused = MainForm->PanelHint->text().section(' ', 0, 0).replace("-->", "B").toLatin1() + ".";
    MainForm->ButtonOpenComClick();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
    QVERIFY(drain());
    const int before = int(routes().size());
    MainForm->Button4->click();
    QVERIFY(waitRoutes(before + 1));
    MainForm->Button5->click();
    QCOMPARE(routes()[before], refused);
    QCOMPARE(prompts.count(), 1);
  }

  // The first fields are read again when the sequence wraps; no number there pauses the run.
  void wrapWithoutNumber_data() {
    QTest::addColumn<QString>("field");
    QTest::addRow("first output") << "MaskEdit3";
    QTest::addRow("first input") << "InputFrom";
  }
  void wrapWithoutNumber() {
    QFETCH(QString, field);
    startWith({"1", "1", "1", "2", kShortDelay});
    QVERIFY(waitRoutes(1));
    auto* edit = MainForm->findChild<QLineEdit*>(field);
    edit->setText("x");
    prompts.expect("Error! Invalid number!", "Error");
    QTRY_VERIFY_WITH_TIMEOUT(prompts.allExpectedShown(), kWaitMs);
    checkState(2);
    QCOMPARE(MainForm->PanelHint->text(), QString("1-->2 B (Pause)"));
    QVERIFY(drain());
    QCOMPARE(routes().last(), QByteArray("1B2."));
    const int before = int(routes().size());
    edit->setText("1");
    MainForm->Button4->click();
    QVERIFY(waitRoutes(before + 2));
    MainForm->Button5->click();
    QCOMPARE(routes().mid(before, 2), (QByteArrayList{"1B2.", "1B1."}));
  }
};

QTEST_MAIN(TestAutoSequence)
#include "tst_autosequence.moc"
