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
    prompts.reset();
    platform::setPrompts(&prompts);
    sw = std::make_unique<SimTcpSwitcher>(SimTcpSwitcher::Mode::Silent);
    qputenv(kTcpPortEnv, QByteArray::number(sw->port()));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
  }
  void cleanup() {
    DestroyForms();
    sw.reset();
    platform::setPrompts(nullptr);
    QCOMPARE(prompts.unexpected, QStringList());
  }

  void keys_data() {
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QByteArray>("sent");  // bytes at the simulator
    QTest::addColumn<QString>("box");      // "caption|text", or empty
    QTest::addColumn<QString>("edit");     // Edit1 afterwards
    QTest::addColumn<uint>("mode");        // KeypadMode afterwards
    const QString invalid = "error|Invalid order! Please input again.";
    QTest::addRow("route sent as typed") << "1 VIDEO 2 / 3 END ENTER" << QByteArray("1V2,3.") << "" << "" << 0u;
    QTest::addRow("Return in Edit1 presses ENTER") << "1 VIDEO 2 END RETURN" << QByteArray("1V2.") << "" << "" << 0u;
    QTest::addRow("AV and AUDIO type B and A") << "1 AV 2 AUDIO 3 END ENTER" << QByteArray("1B2A3.") << "" << "" << 0u;
    QTest::addRow("ALL then THROUGH") << "ALL THROUGH" << QByteArray("All#.") << "" << "" << 0u;
    QTest::addRow("ALL then CLOSE") << "ALL CLOSE" << QByteArray("All$.") << "" << "" << 0u;
    QTest::addRow("ALL then STATUS") << "ALL STATUS" << QByteArray("Status.") << "" << "" << 0u;
    QTest::addRow("007 STATUS") << "0 0 7 STATUS" << QByteArray("Status7.") << "" << "" << 0u;
    QTest::addRow("007 ALL") << "0 0 7 ALL" << QByteArray("7All.") << "" << "" << 0u;
    QTest::addRow("007 THROUGH unchanged") << "0 0 7 THROUGH" << QByteArray("007#.") << "" << "" << 0u;
    QTest::addRow("doubled commas THROUGH") << "1 / / 2 THROUGH" << QByteArray("1,,2#.") << "" << "" << 0u;
    QTest::addRow("doubled commas CLOSE") << "1 / / 2 CLOSE" << QByteArray("1,,2$.") << "" << "" << 0u;
    QTest::addRow("leading comma THROUGH") << "/ 1 THROUGH" << QByteArray() << invalid << ",1" << 0u;
    QTest::addRow("trailing comma CLOSE") << "1 / CLOSE" << QByteArray() << invalid << "1," << 0u;
    QTest::addRow("letter between digits THROUGH") << "1 VIDEO 2 THROUGH" << QByteArray() << invalid << "1V2" << 0u;
    QTest::addRow("lower-case all THROUGH") << "=all THROUGH" << QByteArray() << invalid << "all" << 0u;
    QTest::addRow("lower-case all CLOSE") << "=all CLOSE" << QByteArray() << invalid << "all" << 0u;
    QTest::addRow("All then ALL") << "ALL ALL" << QByteArray() << invalid << "All" << 0u;
    QTest::addRow("STATUS on letters") << "1 AV STATUS" << QByteArray() << invalid << "1B" << 0u;
    QTest::addRow("next key replaces the rejected text") << "1 AV THROUGH 4 THROUGH" << QByteArray("4#.") << invalid << "" << 0u;
    QTest::addRow("STATUS on empty") << "STATUS" << QByteArray() << "" << "" << 0u;
    QTest::addRow("THROUGH on empty") << "THROUGH" << QByteArray() << "" << "" << 0u;
    QTest::addRow("CLOSE on empty") << "CLOSE" << QByteArray() << "" << "" << 0u;
    QTest::addRow("ALL on empty writes All") << "ALL" << QByteArray() << "" << "All" << 0u;
    QTest::addRow("SAVE 5") << "SAVE 5" << QByteArray("Save5.") << "" << "" << 0u;
    QTest::addRow("RECALL 0") << "RECALL 0" << QByteArray("Recall0.") << "" << "" << 0u;
    QTest::addRow("SAVE CANCEL") << "SAVE CANCEL" << QByteArray() << "" << "" << 0u;
    QTest::addRow("SAVE waits") << "SAVE" << QByteArray() << "" << "Save" << 2u;
    QTest::addRow("SAVE ENTER 3") << "SAVE ENTER 3" << QByteArray("SaveSave3.") << "" << "" << 0u;
    QTest::addRow("RECALL UNDO 4") << "RECALL UNDO 4" << QByteArray("Undo.Recall4.") << "" << "" << 0u;
    QTest::addRow("UNDO empties the line") << "1 2 UNDO" << QByteArray("Undo.") << "" << "" << 0u;
    QTest::addRow("typed text goes out in UTF-8") << QString::fromUtf8("=1V\u00e92. ENTER")
                                                  << QByteArray("1V\xc3\xa9" "2.") << "" << "" << 0u;
    QTest::addRow("ENTER on empty") << "ENTER" << QByteArray() << "" << "" << 0u;
    QTest::addRow("PROGRAM types P") << "PROGRAM 1 END ENTER" << QByteArray("P1.") << "" << "" << 0u;
    QTest::addRow("DEMO does nothing") << "1 2 DEMO" << QByteArray() << "" << "12" << 0u;
    QTest::addRow("backspace and caret keys") << "1 2 3 < < BACK 9 > END" << QByteArray() << "" << "92.3" << 0u;
    QTest::addRow("caret keys stop at the ends") << "1 > > < < < 2" << QByteArray() << "" << "21" << 0u;
    QTest::addRow("largest 32-bit ALL") << "=2147483647 ALL" << QByteArray("2147483647All.") << "" << "" << 0u;
    QTest::addRow("too long for ALL") << "=2147483648 ALL" << QByteArray()
                                      << "Error|" + keypad::TooLargeText("2147483648") << "2147483648" << 0u;
    QTest::addRow("too long for STATUS") << "=99999999999 STATUS" << QByteArray()
                                         << "Error|" + keypad::TooLargeText("99999999999") << "99999999999" << 0u;
  }
  void keys() {
    QFETCH(QString, keys);
    QFETCH(QByteArray, sent);
    QFETCH(QString, box);
    QFETCH(QString, edit);
    QFETCH(uint, mode);
    if (!box.isEmpty()) prompts.expect(box.section('|', 1), box.section('|', 0, 0));
    for (const QString& k : keys.split(' ')) press(k);
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(receivedBeforeSentinel(), sent);
    QCOMPARE(MainForm->Edit1->text(), edit);
    QCOMPARE(MainForm->KeypadMode, mode);
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
    press("SAVE");
    press("5");
    QCOMPARE(MainForm->KeypadMode, 0u);
    QCOMPARE(MainForm->Edit1->text(), QString());
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
