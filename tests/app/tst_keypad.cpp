// The Keyboard tab on the real main window: key sequences and the exact bytes that reach
// the simulator over loopback TCP, or the box that appears instead.
#include <QAbstractButton>
#include <QLineEdit>
#include <QTimer>

#include "KeypadGrammar.h"
#include "Memo.h"
#include "TestSupport.h"
#include "Transmission.h"
#include "Unit1.h"

namespace {
constexpr int kWaitMs = 5000;
const QByteArray kSentinel = "/^Version;";

// A key by its label; "=text" sets Edit1 as if typed there, RETURN is the key in Edit1.
void press(const QString& token) {
  TMainForm* f = MainForm;
  if (token.startsWith('=')) return f->Edit1->setText(token.mid(1));
  if (token == "RETURN") return QTest::keyClick(f->Edit1, Qt::Key_Return);
  if (token.size() == 1 && token[0].isDigit()) return f->BtnDig[token.toInt()]->click();
  const QHash<QString, QAbstractButton*> keys = {
      {"AV", f->Button3},     {"VIDEO", f->Button15},   {"AUDIO", f->Button16},  {"/", f->Button31},
      {"END", f->Button32},   {"ENTER", f->Button17},   {"ALL", f->Button35},    {"SAVE", f->Button40},
      {"PROGRAM", f->Button29}, {"THROUGH", f->Button25}, {"RECALL", f->Button41}, {"UNDO", f->Button21},
      {"CLOSE", f->Button37}, {"STATUS", f->Button42},  {"BACK", f->Button36},   {"DEMO", f->fcImageBtn268},
      {"CANCEL", f->Button33}, {"<", f->Button34},      {">", f->Button39}};
  QVERIFY2(keys.contains(token), qPrintable(token));
  keys[token]->click();
}
}  // namespace

class TestKeypad : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<SimTcpSwitcher> sw;

  // Everything the console sent before the sentinel has reached the simulator once it has.
  QByteArray receivedBeforeSentinel() {
    SendCode(*MainForm, kSentinel);
    [&] { QTRY_VERIFY_WITH_TIMEOUT(!sw->commands.isEmpty() && sw->commands.last() == kSentinel, kWaitMs); }();
    return sw->commands.mid(0, sw->commands.size() - 1).join();
  }

 private slots:
  void init() {
    QVERIFY(beginLive(prompts, sw, SimTcpSwitcher::Mode::Silent));
  }
  void cleanup() { QCOMPARE(endLive(prompts, sw), QStringList()); }

  void keys_data() {
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QByteArray>("sent");  // bytes at the simulator
    QTest::addColumn<QString>("box");      // "caption|text", or empty
    QTest::addColumn<QString>("edit");     // Edit1 afterwards
    auto row = [](const char* name, const QString& keys, const QByteArray& sent, const QString& box = {}, const QString& edit = {}) {
      QTest::addRow("%s", name) << keys << sent << box << edit;
    };
    const QString invalid = "error|Invalid order! Please input again.";
    row("route sent as typed", "1 VIDEO 2 / 3 END ENTER", "1V2,3.");
    row("Return in Edit1 presses ENTER", "1 VIDEO 2 END RETURN", "1V2.");
    row("AV and AUDIO type B and A", "1 AV 2 AUDIO 3 END ENTER", "1B2A3.");
    row("ALL then THROUGH", "ALL THROUGH", "All#.");
    row("ALL then CLOSE", "ALL CLOSE", "All$.");
    row("ALL then STATUS", "ALL STATUS", "Status.");
    row("007 STATUS", "0 0 7 STATUS", "Status7.");
    row("007 ALL", "0 0 7 ALL", "7All.");
    row("007 THROUGH unchanged", "0 0 7 THROUGH", "007#.");
    row("doubled commas CLOSE", "1 / / 2 CLOSE", "1,,2$.");
    row("leading comma THROUGH", "/ 1 THROUGH", {}, invalid, ",1");
    row("trailing comma CLOSE", "1 / CLOSE", {}, invalid, "1,");
    row("letter between digits THROUGH", "1 VIDEO 2 THROUGH", {}, invalid, "1V2");
    row("lower-case all THROUGH", "=all THROUGH", {}, invalid, "all");
    row("All then ALL", "ALL ALL", {}, invalid, "All");
    row("STATUS on letters", "1 AV STATUS", {}, invalid, "1B");
    row("next key replaces the rejected text", "1 AV THROUGH 4 THROUGH", "4#.", invalid);
    row("STATUS on empty", "STATUS", {});
    row("THROUGH on empty", "THROUGH", {});
    row("ALL on empty writes All", "ALL", {}, {}, "All");
    // After SAVE or RECALL one digit sends, and the next digit types again.
    row("SAVE 5", "SAVE 5 1", "Save5.", {}, "1");
    row("RECALL 0", "RECALL 0 2", "Recall0.", {}, "2");
    row("SAVE CANCEL", "SAVE CANCEL 1", {}, {}, "1");
    row("SAVE waits", "SAVE", {}, {}, "Save");
    row("SAVE ENTER 3", "SAVE ENTER 3", "SaveSave3.");
    row("RECALL UNDO 4", "RECALL UNDO 4", "Undo.Recall4.");
    row("UNDO empties the line", "1 2 UNDO", "Undo.");
    row("typed text goes out in UTF-8", QString::fromUtf8("=1V\u00e92. ENTER"), "1V\xc3\xa9" "2.");
    row("ENTER on empty", "ENTER", {});
    row("PROGRAM types P", "PROGRAM 1 END ENTER", "P1.");
    row("DEMO does nothing", "1 2 DEMO", {}, {}, "12");
    row("backspace and caret keys", "1 2 3 < < BACK 9 > END", {}, {}, "92.3");
    row("caret keys stop at the ends", "1 > > < < < 2", {}, {}, "21");
    row("largest 32-bit ALL", "=2147483647 ALL", "2147483647All.");
    row("too long for ALL", "=2147483648 ALL", {}, "Error|" + keypad::TooLargeText("2147483648"), "2147483648");
    row("too long for STATUS", "=99999999999 STATUS", {}, "Error|" + keypad::TooLargeText("99999999999"), "99999999999");
  }
  void keys() {
    QFETCH(QString, keys);
    QFETCH(QByteArray, sent);
    QFETCH(QString, box);
    QFETCH(QString, edit);
    if (!box.isEmpty()) prompts.expect(box.section('|', 1), box.section('|', 0, 0));
    for (const QString& k : keys.split(' ')) press(k);
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(receivedBeforeSentinel(), sent);
    QCOMPARE(MainForm->Edit1->text(), edit);
    // After an invalid order the whole rejected text is selected, so the next key replaces it.
    if (box.startsWith("error|") && !edit.isEmpty()) QCOMPARE(MainForm->Edit1->selectedText(), edit);
    if (!sent.isEmpty()) QCOMPARE(MainForm->ReplyTarget, 2u);
    QCOMPARE(MainForm->Busy, std::uint8_t(0));
  }

  // Refused sends still empty the line and end a waiting SAVE; ENTER holds Busy meanwhile.
  void refusedSend() {
    MainForm->ButtonCloseComClick();
    QTRY_VERIFY_WITH_TIMEOUT(!MainForm->socketActive(), kWaitMs);
    int busyDuringBox = -1;
    prompts.onMessage = [&] { busyDuringBox = MainForm->Busy; };
    prompts.expect("TCP/IP is not connected !", "Error");
    for (const char* k : {"1", "VIDEO", "2", "END", "ENTER"}) press(k);
    QCOMPARE(busyDuringBox, 1);
    QCOMPARE(MainForm->Busy, std::uint8_t(0));
    QCOMPARE(MainForm->Edit1->text(), QString());
    prompts.expect("TCP/IP is not connected !", "Error");
    for (const char* k : {"SAVE", "5"}) press(k);
    QCOMPARE(MainForm->Edit1->text(), QString());
    press("1");  // no longer waiting: the digit is typed
    QCOMPARE(MainForm->Edit1->text(), QString("1"));
    QVERIFY(prompts.allExpectedShown());
    QVERIFY(MainForm->Memo5->lines().isEmpty());
    prompts.onMessage = nullptr;
  }

  void lock_data() {
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<bool>("held");
    QTest::addRow("left released early") << Qt::LeftButton << false;
    QTest::addRow("left held") << Qt::LeftButton << true;
    QTest::addRow("right held") << Qt::RightButton << true;
  }
  void lock() {
    QFETCH(Qt::MouseButton, button);
    QFETCH(bool, held);
    QCOMPARE(MainForm->Timer2->interval(), 2000);
    MainForm->Timer2->setInterval(30);  // the hold, shortened for the test
    MainForm->ReplyTarget = 4;
    QAbstractButton* key = MainForm->Button38;
    QTest::mousePress(key, button);
    QVERIFY(MainForm->Timer2->isActive());
    if (held) {
      prompts.expect("Switcher's keyboard is locked!", "Message");
      QTRY_VERIFY_WITH_TIMEOUT(prompts.allExpectedShown(), kWaitMs);
      QCOMPARE(prompts.shown.last().owner, static_cast<QWidget*>(MainForm));
      QVERIFY(!key->isDown());
    }
    QTest::mouseRelease(key, button);
    QVERIFY(!MainForm->Timer2->isActive());
    QCOMPARE(receivedBeforeSentinel(), held ? QByteArray("/%Lock;") : QByteArray());
    QCOMPARE(MainForm->ReplyTarget, 4u);
  }
};

QTEST_MAIN(TestKeypad)
#include "tst_keypad.moc"
