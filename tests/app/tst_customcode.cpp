// The Custom Code tab, the help window and its keys, the Clear buttons, the password
// dialog and Unlock Keyboard, and how link bytes read in the memos, on the real window
// against the simulator core on loopback TCP.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include "Help.h"
#include "Memo.h"
#include "ModalSupport.h"
#include "Outport.h"
#include "Password.h"
#include "QtPrompts.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 5000;

// Counts the key presses a widget receives.
class KeyCounter : public QObject {
 public:
  explicit KeyCounter(QObject* target) { target->installEventFilter(this); }
  int presses = 0;

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::KeyPress) ++presses;
    return false;
  }
};
}  // namespace

class TestCustomCode : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<SimTcpSwitcher> sw;

 private slots:
  void init() {
    prompts.reset();
    platform::setPrompts(&prompts);
    sw = std::make_unique<SimTcpSwitcher>(SimTcpSwitcher::Mode::Answer);
    qputenv(kTcpPortEnv, QByteArray::number(sw->port()));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(sw->client() != nullptr, kWaitMs);
  }
  void cleanup() {
    DestroyForms();
    sw.reset();
    platform::setPrompts(nullptr);
    QCOMPARE(prompts.unexpected, QStringList());
  }

  void customCode_data() {
    QTest::addColumn<bool>("hex");
    QTest::addColumn<bool>("enter");  // Enter in Edit2 instead of the Send button
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QByteArray>>("wire");  // commands the switcher gets
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("reply");  // last line of Memo3 afterwards
    QTest::addColumn<QString>("box");
    using L = QList<QByteArray>;
    const QString feedback = "Feedback Message :";
    QTest::addRow("ASCII") << false << false << "Status3." << L{"Status3."} << QStringList{"Status3."} << " A/V : 003 > 003" << "";
    QTest::addRow("Enter in the code sends") << false << true << "Status4." << L{"Status4."} << QStringList{"Status4."} << " A/V : 004 > 004" << "";
    QTest::addRow("HEX") << true << false << "53 74 61 74 75 73 35 2e" << L{"Status5."} << QStringList{"537461747573352E(HEX)"} << " A/V : 005 > 005" << "";
    QTest::addRow("HEX by Enter, odd digit left out") << true << true << "537461747573362E4" << L{"Status6."} << QStringList{"537461747573362E(HEX)"} << " A/V : 006 > 006" << "";
    QTest::addRow("invalid HEX sends nothing") << true << false << "53 74 G1" << L{} << QStringList{} << feedback << "Error! Invalid Data!";
    // Typed text leaves in UTF-8; the switcher's error reply brings a status refresh.
    QTest::addRow("ASCII beyond ASCII goes out in UTF-8") << false << false << QStringLiteral("Grüße.") << L{"Gr\xc3\xbc\xc3\x9f" "e.", "Status."} << QStringList{QStringLiteral("Grüße."), "Status."} << "Command Code Error!" << "";
  }
  void customCode() {
    QFETCH(bool, hex);
    QFETCH(bool, enter);
    QFETCH(QString, text);
    QFETCH(QList<QByteArray>, wire);
    QFETCH(QStringList, log);
    QFETCH(QString, reply);
    QFETCH(QString, box);
    int busyDuringBox = -1;
    if (!box.isEmpty()) {
      prompts.expect(box, "Error");
      prompts.onMessage = [&] { busyDuringBox = MainForm->Busy; };
    }
    (hex ? MainForm->RadioButton6 : MainForm->RadioButton5)->click();
    MainForm->Edit2->setText(text);
    if (enter)
      QTest::keyClick(MainForm->Edit2, Qt::Key_Return);
    else
      MainForm->Button8->click();
    prompts.onMessage = nullptr;
    QVERIFY(prompts.allExpectedShown());
    if (!box.isEmpty()) QCOMPARE(busyDuringBox, 1);
    QCOMPARE(MainForm->Busy, std::uint8_t(0));
    QCOMPARE(MainForm->Edit2->text(), text);  // kept for another send
    QTRY_COMPARE_WITH_TIMEOUT(sw->commands, wire, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Memo3->lines().last(), reply, kWaitMs);
    QCOMPARE(MainForm->Memo5->lines(), log);
  }

  // F1 and Esc, from the main window, from the output-port dialog and from a message box.
  void helpKeys_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("repeat");
    QTest::addColumn<bool>("shownBefore");
    QTest::addColumn<bool>("shownAfter");
    const int none = Qt::NoModifier;
    for (const char* where : {"main window", "output dialog", "message box"}) {
      QTest::addRow("%s: F1 shows", where) << where << int(Qt::Key_F1) << none << false << false << true;
      QTest::addRow("%s: Esc hides", where) << where << int(Qt::Key_Escape) << none << false << true << false;
    }
    QTest::addRow("held F1: its repeats do not show") << "main window" << int(Qt::Key_F1) << none << true << false << false;
    QTest::addRow("held Esc: its repeats do not hide") << "main window" << int(Qt::Key_Escape) << none << true << true << true;
    QTest::addRow("Shift+F1 is no help key") << "main window" << int(Qt::Key_F1) << int(Qt::ShiftModifier) << false << false << false;
    QTest::addRow("Ctrl+Esc is no help key") << "main window" << int(Qt::Key_Escape) << int(Qt::ControlModifier) << false << true << true;
    QTest::addRow("F2 is no help key") << "main window" << int(Qt::Key_F2) << none << false << false << false;
  }
  void helpKeys() {
    QFETCH(QString, where);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, repeat);
    QFETCH(bool, shownBefore);
    QFETCH(bool, shownAfter);
    MainForm->show();
    Form4->setVisible(shownBefore);
    const auto k = Qt::Key(key);
    const auto mods = Qt::KeyboardModifiers(modifiers);
    bool shown = false;
    int reached = 0;
    bool modalLeft = false;  // the modal window closed by itself: Esc reached it too
    if (where == "main window") {
      MainForm->PageControl->setCurrentWidget(MainForm->dxTabSheet3);
      MainForm->Edit2->setFocus();
      KeyCounter focused(MainForm->Edit2);
      pressKey(MainForm, k, mods, repeat);
      shown = Form4->isVisible();
      reached = focused.presses;
    } else {
      QtPrompts real;
      if (where == "message box") platform::setPrompts(&real);
      whenModal([&](QWidget* modal) {
        KeyCounter focused(modal->focusWidget() ? static_cast<QObject*>(modal->focusWidget()) : modal);
        pressKey(modal, k, mods, repeat);
        shown = Form4->isVisible();
        reached = focused.presses;
        modalLeft = QTest::qWaitFor([modal] { return !modal->isVisible(); }, 100);
        if (!modalLeft) static_cast<QDialog*>(modal)->reject();
      });
      if (where == "message box")
        platform::showMessage(MainForm, "Some error", "Error");
      else
        MainForm->OutPort[3]->click();
      platform::setPrompts(&prompts);
      prompts.reset();
      QCOMPARE(modalLeft, key == Qt::Key_Escape);
    }
    QCOMPARE(shown, shownAfter);
    QCOMPARE(reached, 1);  // never consumed
  }

  void helpButtonAndText() {
    MainForm->Button53->click();
    QVERIFY(Form4->isVisible());
    QVERIFY(!Form4->isModal());
    const QStringList text = Form4->Memo1->toPlainText().split('\n');
    QCOMPARE(text.size(), 32);
    QCOMPARE(text[0], QString("\tSwitcher Code System (Ver VANTREL 2.0)"));
    QCOMPARE(text[1], QString());
    QCOMPARE(text[2].simplified(), QString("1. /*Type; Check the type of switcher"));
    QVERIFY(text[20].startsWith("10.Statusx. "));
    QVERIFY(text[25].startsWith("     10A20,30,40. "));
    QVERIFY(text[26].startsWith("     100B110,120,130. "));
    QCOMPARE(text[27], QString());
    QCOMPARE(text[30].simplified(), QString("14./^Version; Query the version"));
    // The meanings start in one column, in a font where a blank is as wide as any letter.
    const QFontMetrics metrics(Form4->Memo1->font());
    for (QChar c : QStringLiteral("W1i.,/"))
      QCOMPARE(metrics.horizontalAdvance(c), metrics.horizontalAdvance(QLatin1Char(' ')));
    for (int i = 2; i < text.size(); ++i) {
      QCOMPARE(text[i].isEmpty(), i % 2 == 1 && i != 25);
      if (!text[i].isEmpty()) QVERIFY2(text[i][21] == ' ' && text[i][22].isUpper(), qPrintable(text[i]));
    }
  }

  void clearButtons_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("memo");
    QTest::addColumn<QStringList>("after");
    const QStringList cleared{QStringLiteral("Feedback Message ：")};
    QTest::addRow("Auto") << "Button6" << "Memo2" << cleared;
    QTest::addRow("Keyboard") << "Button1" << "Memo1" << cleared;
    QTest::addRow("Custom Code") << "Button7" << "Memo3" << cleared;
    QTest::addRow("Code Group") << "Button13" << "Memo4" << cleared;
    QTest::addRow("send list") << "Button48" << "Memo5" << QStringList{};
    QTest::addRow("receive list") << "Button49" << "Memo6" << QStringList{};
  }
  void clearButtons() {
    QFETCH(QString, button);
    QFETCH(QString, memo);
    QFETCH(QStringList, after);
    auto* m = MainForm->findChild<TMemo*>(memo);
    m->appendLine("a line");
    MainForm->findChild<QPushButton*>(button)->click();
    QCOMPARE(m->lines(), after);
    // The next reply goes below what is left.
    m->appendLine("next");
    QCOMPARE(m->lines(), after + QStringList{"next"});
  }

  void password_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("sent");
    QTest::addRow("seven letters") << "abcdefg" << false;
    QTest::addRow("eight of any kind") << "Ab 1.2-x" << true;
    QTest::addRow("nine letters") << "abcdefghi" << false;
    QTest::addRow("eight letters, nine bytes") << QStringLiteral("passwörd") << false;
    QTest::addRow("seven letters, eight bytes") << QStringLiteral("pässwd1") << true;
  }
  void password() {
    QFETCH(QString, text);
    QFETCH(bool, sent);
    MainForm->ReplyTarget = 3;
    if (!sent) prompts.expect("Invalid Password! Please input 8 letters!", "Error");
    struct { bool empty, focused; int busy; bool open; QString selected; QWidget* owner; } seen{};
    whenModal([&](QWidget*) {
      seen.empty = Form3->Edit1->text().isEmpty();
      seen.focused = Form3->focusWidget() == Form3->Edit1;
      seen.busy = MainForm->Busy;
      Form3->Edit1->setText(text);
      Form3->BitBtn1->click();
      seen.open = Form3->isVisible();
      if (!seen.open) return;
      seen.selected = Form3->Edit1->selectedText();
      seen.focused = seen.focused && Form3->focusWidget() == Form3->Edit1;
      seen.owner = prompts.shown.isEmpty() ? nullptr : prompts.shown.last().owner;
      Form3->BitBtn2->click();
    }, Form3);
    MainForm->Button51->click();
    QVERIFY(prompts.allExpectedShown());
    QVERIFY(seen.empty);
    QVERIFY(seen.focused);
    QCOMPARE(seen.busy, 1);
    QCOMPARE(MainForm->Busy, std::uint8_t(0));
    QCOMPARE(seen.open, !sent);
    const QByteArray command = "/+" + text.toUtf8() + ";";
    if (sent) {
      QCOMPARE(MainForm->ReplyTarget, 0u);
      QTRY_COMPARE_WITH_TIMEOUT(sw->commands, QList<QByteArray>{command}, kWaitMs);
      QTRY_COMPARE_WITH_TIMEOUT(MainForm->Memo6->lines(), QStringList{"Password Set!"}, kWaitMs);
      QCOMPARE(sw->core.password(), text.toUtf8());
      QCOMPARE(MainForm->Memo3->lineCount(), 1);  // target 0: the reply goes to the log only
    } else {
      QCOMPARE(seen.selected, text);
      QCOMPARE(seen.owner, static_cast<QWidget*>(Form3));
      QCOMPARE(MainForm->ReplyTarget, 3u);
      QCOMPARE(MainForm->Memo5->lineCount(), 0);
    }
    // Reopened, the field is empty again; Esc cancels.
    bool emptyAgain = false;
    whenModal([&](QWidget*) {
      emptyAgain = Form3->Edit1->text().isEmpty();
      pressKey(Form3, Qt::Key_Escape);
    }, Form3);
    MainForm->Button51->click();
    QVERIFY(emptyAgain);
    QVERIFY(!Form3->isVisible());
  }

  void unlockKeyboard() {
    MainForm->ReplyTarget = 2;
    MainForm->Button52->click();
    QCOMPARE(MainForm->ReplyTarget, 0u);
    QCOMPARE(MainForm->Busy, std::uint8_t(0));
    QCOMPARE(MainForm->Memo5->lines(), QStringList{"/%Unlock;"});
    QTRY_COMPARE_WITH_TIMEOUT(sw->commands, QList<QByteArray>{"/%Unlock;"}, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Memo6->lines(), QStringList{"System UnLock!"}, kWaitMs);
  }

  // Bytes sent and received read the same in the logs: UTF-8 where it is valid, the byte's
  // own 8-bit character where not, and one line per send or reply.
  void linkBytesInTheLogs_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::addRow("ASCII") << QByteArray("Status.") << "Status.";
    QTest::addRow("lone CR and LF") << QByteArray("a\rb\nc") << QStringLiteral("a␍b␊c");
    QTest::addRow("UTF-8, two bytes") << QByteArray("Gr\xc3\xbc\xc3\x9f" "e") << QStringLiteral("Grüße");
    QTest::addRow("UTF-8, three and four bytes") << QByteArray("\xe2\x82\xac \xf0\x9f\x98\x80") << QStringLiteral("€ 😀");
    QTest::addRow("a byte that is no UTF-8") << QByteArray("caf\xe9") << QStringLiteral("caf\u00e9");
    QTest::addRow("a cut sequence") << QByteArray("\xe2\x82") << QStringLiteral("\u00e2\u0082");
    QTest::addRow("an overlong form") << QByteArray("\xc0\xaf") << QStringLiteral("\u00c0\u00af");
    QTest::addRow("a surrogate") << QByteArray("\xed\xa0\x80") << QStringLiteral("\u00ed\u00a0\u0080");
  }
  void linkBytesInTheLogs() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    sw->mode = SimTcpSwitcher::Mode::Silent;
    SendCode(*MainForm, bytes);
    QCOMPARE(MainForm->Memo5->lines(), QStringList{shown});
    MainForm->ReplyTarget = 3;
    sw->send(bytes + "\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Memo6->lines().value(0), shown, kWaitMs);
    QCOMPARE(MainForm->Memo3->lines().value(1), shown);
  }
};

QTEST_MAIN(TestCustomCode)
#include "tst_customcode.moc"
