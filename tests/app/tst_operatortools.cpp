// The output grid and its dialog, the Custom Code tab, the help keys, the Clear buttons,
// password and unlock, and the link as they drive it: the real window against the
// simulator core on loopback TCP (and on a pseudo-terminal for the serial monitor).
#include <QButtonGroup>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTimer>
#include <utility>

#include "Help.h"
#include "Memo.h"
#include "Outport.h"
#include "Password.h"
#include "QtPrompts.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "Update.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 5000;
using Commands = QList<QByteArray>;

// Runs act inside the next modal run, once it has begun.
void whenModal(std::function<void(QWidget*)> act) {
  auto* poll = new QTimer(qApp);
  QObject::connect(poll, &QTimer::timeout, qApp, [poll, act] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      poll->deleteLater();
      poll->stop();
      act(modal);
    }
  });
  poll->start(5);
}
// A key press as the window system delivers it: to the window, which hands it on.
void pressKey(QWidget* w, int key, int mods = Qt::NoModifier, bool repeat = false) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::KeyboardModifiers(mods), QString(), repeat);
  QCoreApplication::sendEvent(w->window()->windowHandle(), &press);
}
// The operator's choice in a list, by arrow keys, so that the list reports the change.
void pick(QComboBox* list, int index) {
  QTest::keyClick(list, Qt::Key_Home);
  for (int i = 0; i < index; ++i) QTest::keyClick(list, Qt::Key_Down);
}
// Signal, video list, audio list ('-' when disabled), OK ('-' when disabled).
QString dialogState() {
  auto list = [](QComboBox* c) { return QString::number(c->currentIndex()) + (c->isEnabled() ? "" : "-"); };
  return QStringLiteral("%1 %2 %3 %4").arg(Form2->itemIndex()).arg(list(Form2->ComboBox2), list(Form2->ComboBox1),
                                                                 Form2->BitBtn1->isEnabled() ? "ok" : "-");
}
}  // namespace

class TestOperatorTools : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<SimTcpSwitcher> sw;

  void connectTo(quint16 port) {
    DestroyForms();
    qputenv(kTcpPortEnv, QByteArray::number(port));
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n");
    CreateForms();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
  }
  // All the switcher has got: a marker sent now arrives after everything sent before.
  Commands received() {
    SendCode(*MainForm, "Marker.");
    if (!QTest::qWaitFor([this] { return sw->commands.endsWith("Marker."); }, kWaitMs)) return {"no marker"};
    return sw->commands.mid(0, sw->commands.size() - 1);
  }

 private slots:
  void init() {
    QVERIFY(beginLive(prompts, sw, SimTcpSwitcher::Mode::Silent));
  }
  void cleanup() { QCOMPARE(endLive(prompts, sw), QStringList()); }

  // One use of the output-port dialog, each row a first use: picks in the lists, then the
  // signal, then how it closes; the switcher may reply while it is open.
  void outputDialog_data() {
    QTest::addColumn<int>("output");
    QTest::addColumn<int>("video");  // -1: untouched
    QTest::addColumn<int>("audio");
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("close");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Commands>("sent");  // after the status query
    QTest::addRow("cancel") << 12 << 5 << -1 << 0 << "cancel" << QByteArray() << Commands{};
    QTest::addRow("close box") << 12 << 5 << -1 << 0 << "closebox" << QByteArray() << Commands{};
    QTest::addRow("AV") << 12 << 5 << -1 << 0 << "ok" << QByteArray() << Commands{"5B12."};
    QTest::addRow("video") << 12 << 5 << -1 << 1 << "ok" << QByteArray() << Commands{"5V12."};
    QTest::addRow("audio") << 12 << -1 << 7 << 2 << "ok" << QByteArray() << Commands{"7A12."};
    QTest::addRow("audio at 0, video not") << 12 << 5 << -1 << 2 << "ok" << QByteArray() << Commands{"0A12."};
    for (int s = 0; s < 3; ++s) QTest::addRow("both at 0, signal %d: closed", s) << 12 << -1 << -1 << s << "ok" << QByteArray() << Commands{"12$."};
    QTest::addRow("no signal chosen") << 12 << 9 << -1 << -1 << "ok" << QByteArray() << Commands{};
    QTest::addRow("reply beyond 256 names no input") << 12 << -1 << -1 << -1 << "ok" << QByteArray("VIDEO: 300 > 012\r\n") << Commands{};
    QTest::addRow("output 256") << 256 << 3 << -1 << 0 << "ok" << QByteArray() << Commands{"3B256."};
  }
  void outputDialog() {
    QFETCH(int, output);
    QFETCH(int, video);
    QFETCH(int, audio);
    QFETCH(int, signal);
    QFETCH(QString, close);
    QFETCH(QByteArray, reply);
    QFETCH(Commands, sent);
    MainForm->OutPort[output]->setCaption("x");
    QString opened, title;
    whenModal([&](QWidget*) {
      opened = dialogState();
      title = Form2->windowTitle();
      if (!reply.isEmpty()) {
        sw->send(reply);
        (void)QTest::qWaitFor([] { return MainForm->Memo6->lineCount() > 0; });
      }
      if (video >= 0) pick(Form2->ComboBox2, video);
      if (audio >= 0) pick(Form2->ComboBox1, audio);
      if (signal >= 0) Form2->RadioGroup1Items->button(signal)->click();
      close == "ok" ? Form2->BitBtn1->click() : close == "cancel" ? Form2->BitBtn2->click() : void(Form2->close());
    });
    MainForm->OutPort[output]->click();
    const bool closed = sent == Commands{"12$."};
    QCOMPARE(title, QStringLiteral("OutPort %1").arg(output));
    QCOMPARE(opened, QString("-1 0 0 -"));  // the first use: lists enabled, nothing chosen
    QCOMPARE(dialogState(), QString("-1 0- 0- -"));
    QCOMPARE(MainForm->OutPort[output]->caption(), closed ? "0" : reply.isEmpty() ? "x" : "300");
    QCOMPARE(MainForm->ReplyTarget, closed ? 0u : 5u);
    QCOMPARE(received(), Commands{"Status" + QByteArray::number(output) + "."} + sent);
  }

  // A command the link refuses is not shown as done: its one box, and no success claimed.
  void refusedCommands_data() {
    QTest::addColumn<bool>("lock");
    QTest::addRow("output closed from the dialog: caption stays") << false;
    QTest::addRow("keypad LOCK: no lock notice") << true;
  }
  void refusedCommands() {
    QFETCH(bool, lock);
    auto dropLink = [] {
      MainForm->ButtonCloseComClick();
      QVERIFY(QTest::qWaitFor([] { return !MainForm->socketActive(); }, kWaitMs));
    };
    prompts.expect("TCP/IP is not connected !", "Error");
    if (lock) {
      dropLink();
      MainForm->Timer2Timer();
    } else {
      MainForm->OutPort[12]->setCaption("7");
      whenModal([&](QWidget*) {
        dropLink();
        Form2->RadioGroup1Items->button(0)->click();
        Form2->BitBtn1->click();
      });
      MainForm->OutPort[12]->click();
      QCOMPARE(MainForm->OutPort[12]->caption(), QString("7"));
    }
    QVERIFY(prompts.allExpectedShown());
  }

  void busyGridIgnoresClicks() {
    MainForm->Busy = 1;
    MainForm->OutPort[5]->click();
    QCOMPARE(MainForm->Memo5->lineCount(), 0);
  }

  // Filled from the switcher's reply, routed, and the grid shows the answer; that answer,
  // handled while the dialog is hidden, must not show up in the next use for another output.
  void outputDialogFromTheSwitcher() {
    sw->mode = SimTcpSwitcher::Mode::Answer;
    sw->core.execute("5V7.");  // output 7: video from 5, audio from 7
    QString filled, next;
    whenModal([&](QWidget*) {
      (void)QTest::qWaitFor([] { return Form2->ComboBox1->currentIndex() == 7; });
      filled = dialogState();
      pick(Form2->ComboBox1, 9);
      Form2->BitBtn1->click();
    });
    MainForm->OutPort[7]->click();
    QCOMPARE(filled, QString("2 5- 7 ok"));  // the last line, AUDIO, decides
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Memo6->lineCount(), 4, kWaitMs);
    QCOMPARE(sw->commands, (Commands{"Status7.", "9A7."}));
    QCOMPARE(MainForm->OutPort[7]->caption(), QString("5"));
    sw->mode = SimTcpSwitcher::Mode::Silent;
    whenModal([&](QWidget*) { next = dialogState(), Form2->reject(); });
    MainForm->OutPort[8]->click();
    QCOMPARE(next, QString("-1 0- 0- -"));
  }

  void customCode_data() {
    QTest::addColumn<bool>("hex");
    QTest::addColumn<bool>("enter");
    QTest::addColumn<QString>("text");
    QTest::addColumn<Commands>("wire");
    QTest::addColumn<QString>("log");
    QTest::addRow("ASCII") << false << false << "Status3." << Commands{"Status3."} << "Status3.";
    QTest::addRow("ASCII by Enter") << false << true << "Status3." << Commands{"Status3."} << "Status3.";
    QTest::addRow("HEX, odd digit left out") << true << false << "53 74 61 74 75 73 33 2e 4" << Commands{"Status3."} << "537461747573332E(HEX)";
    QTest::addRow("invalid HEX") << true << true << "53 G1" << Commands{} << "";
    QTest::addRow("typed text in UTF-8") << false << false << QStringLiteral("Grüße.") << Commands{"Gr\xc3\xbc\xc3\x9f" "e."} << QStringLiteral("Grüße.");
  }
  void customCode() {
    QFETCH(bool, hex);
    QFETCH(bool, enter);
    QFETCH(QString, text);
    QFETCH(Commands, wire);
    QFETCH(QString, log);
    int busy = -1;
    if (log.isEmpty()) prompts.expect("Error! Invalid Data!", "Error"), prompts.onMessage = [&] { busy = MainForm->Busy; };
    (hex ? MainForm->RadioButton6 : MainForm->RadioButton5)->click();
    MainForm->Edit2->setText(text);
    enter ? QTest::keyClick(MainForm->Edit2, Qt::Key_Return) : MainForm->Button8->click();
    prompts.onMessage = nullptr;
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(busy, log.isEmpty() ? 1 : -1);
    QCOMPARE(MainForm->Busy, std::uint8_t(0));
    QCOMPARE(MainForm->ReplyTarget, 3u);
    QCOMPARE(MainForm->Memo5->lines(), log.isEmpty() ? QStringList() : QStringList{log});
    // Sends leave at once: the switcher has them while this thread has not yet returned.
    while (sw->commands.size() < wire.size() && sw->client()->waitForReadyRead(kWaitMs)) {
    }
    QCOMPARE(sw->commands, wire);
    QCOMPARE(received(), wire);
  }

  // F1 and Esc from the main window, the output-port dialog and a message box; the help
  // window is shown beforehand for Esc and hidden for F1.
  void helpKeys_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("mods");
    QTest::addColumn<bool>("repeat");
    QTest::addColumn<bool>("after");
    for (const char* w : {"main", "dialog", "box"}) {
      QTest::addRow("%s: F1 shows", w) << w << int(Qt::Key_F1) << 0 << false << true;
      QTest::addRow("%s: Esc hides", w) << w << int(Qt::Key_Escape) << 0 << false << false;
    }
    QTest::addRow("held F1 repeats") << "main" << int(Qt::Key_F1) << 0 << true << false;
    QTest::addRow("held Esc repeats") << "main" << int(Qt::Key_Escape) << 0 << true << true;
    QTest::addRow("Shift+F1") << "main" << int(Qt::Key_F1) << int(Qt::ShiftModifier) << false << false;
  }
  void helpKeys() {
    QFETCH(QString, where);
    QFETCH(int, key);
    QFETCH(int, mods);
    QFETCH(bool, repeat);
    QFETCH(bool, after);
    Form4->setVisible(key == Qt::Key_Escape);
    bool shown = false, modalLeft = false;
    if (where == "main") {
      MainForm->show();
      MainForm->PageControl->setCurrentWidget(MainForm->dxTabSheet3);
      MainForm->Edit2->setFocus();
      pressKey(MainForm->Edit2, key, mods, repeat);
      shown = Form4->isVisible();
    } else {
      QtPrompts real;
      platform::setPrompts(&real);
      whenModal([&](QWidget* modal) {
        pressKey(modal, key);
        shown = Form4->isVisible();
        // Never consumed: Esc goes on to the modal window and closes it too.
        modalLeft = QTest::qWaitFor([modal] { return !modal->isVisible(); }, 100);
        if (!modalLeft) static_cast<QDialog*>(modal)->reject();
      });
      where == "box" ? void(platform::showMessage(MainForm, "Some error", "Error")) : MainForm->OutPort[3]->click();
      platform::setPrompts(&prompts);
      QCOMPARE(modalLeft, key == Qt::Key_Escape);
    }
    QCOMPARE(shown, after);
  }

  // The program's start leaves the dialogs and the help window until first used: each is
  // then the child of the main window that one made at once would be, and only that one is
  // made. Esc does not make a help window; F1 makes and shows it.
  void secondaryWindowsOnFirstUse_data() {
    QTest::addColumn<QString>("use");
    QTest::addColumn<QString>("made");
    QTest::addRow("nothing used") << "" << "";
    for (const char* form : {"Form2", "Form3", "Form4", "Form5"}) QTest::addRow("%s", form) << form << form;
    QTest::addRow("Esc") << "Esc" << "";
    QTest::addRow("F1") << "F1" << "Form4";
  }
  void secondaryWindowsOnFirstUse() {
    QFETCH(QString, use);
    QFETCH(QString, made);
    DestroyForms();
    CreateForms(FormsMade::OnFirstUse);
    // Through its global, as the program reaches it.
    auto reach = [](const QString& name) -> QWidget* {
      if (name == "Form2") return Form2;
      if (name == "Form3") return Form3;
      if (name == "Form4") return Form4;
      return Form5;
    };
    if (use == "Esc" || use == "F1") {
      MainForm->show();
      pressKey(MainForm, use == "F1" ? Qt::Key_F1 : Qt::Key_Escape);
    } else if (!use.isEmpty()) {
      QWidget* form = reach(use);
      QVERIFY(form);
      QCOMPARE(form->parentWidget(), MainForm);
      QCOMPARE(form->objectName(), use);
    }
    QStringList there;
    for (QObject* child : MainForm->children())
      if (child->objectName().startsWith("Form")) there << child->objectName();
    QCOMPARE(there.join(','), made);
    if (use == "F1") QVERIFY(Form4->isVisible());
  }

  // A Yes/No question (save the edited code tree?) takes neither Esc nor the close box for
  // an answer: only Yes or No end it.
  void yesNoQuestionWaitsForAnAnswer() {
    QtPrompts real;
    platform::setPrompts(&real);
    bool stillShown = false;
    whenModal([&](QWidget* modal) {
      pressKey(modal, Qt::Key_Escape);
      modal->close();
      stillShown = !QTest::qWaitFor([modal] { return !modal->isVisible(); }, 100);
      static_cast<QMessageBox*>(modal)->button(QMessageBox::Yes)->click();
    });
    const auto answer = platform::showMessage(MainForm, "Save changes of Code Tree to *.cgf ?", "Save",
                                              platform::Icon::None, platform::Buttons::YesNo);
    platform::setPrompts(&prompts);
    QVERIFY(stillShown);
    QCOMPARE(answer, platform::Answer::Yes);
  }

  void helpText() {
    MainForm->Button53->click();
    QVERIFY(Form4->isVisible() && !Form4->isModal());
    const QStringList text = Form4->Memo1->toPlainText().split('\n');
    QCOMPARE(text.size(), 32);
    QCOMPARE(text.mid(0, 3), (QStringList{"\tSwitcher Code System (Ver VANTREL 2.0)", "", "1. /*Type;            Check the type of switcher"}));
    QCOMPARE(text.mid(25, 3), (QStringList{"     10A20,30,40.     Switch input 10 to output 20,30,40 (Audio)",
                                           "     100B110,120,130. Switch input 100 to output 110,120,130 (Video and Audio)", ""}));
    const QFontMetrics m(Form4->Memo1->font());  // blanks line up only in a fixed pitch
    QCOMPARE(m.horizontalAdvance("W.,1i"), 5 * m.horizontalAdvance(' '));
  }

  void clearButtons_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("memo");
    for (auto [b, m] : {std::pair{"Button6", "Memo2"}, {"Button1", "Memo1"}, {"Button7", "Memo3"},
                        {"Button13", "Memo4"}, {"Button48", "Memo5"}, {"Button49", "Memo6"}})
      QTest::addRow("%s", m) << b << m;
  }
  void clearButtons() {
    QFETCH(QString, button);
    QFETCH(QString, memo);
    auto* m = MainForm->findChild<TMemo*>(memo);
    m->appendLine("a line");
    MainForm->findChild<QPushButton*>(button)->click();
    // The feedback memos keep a heading with a full-width colon; the logs become empty.
    QCOMPARE(m->lines().join('|'), memo >= "Memo5" ? QString() : QStringLiteral("Feedback Message ："));
  }

  void password_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("sent");
    QTest::addRow("seven") << "abcdefg" << false;
    QTest::addRow("eight of any kind") << "Ab 1.2-x" << true;
    QTest::addRow("nine") << "abcdefghi" << false;
    QTest::addRow("eight letters, nine bytes") << QStringLiteral("passwörd") << false;
    QTest::addRow("seven letters, eight bytes") << QStringLiteral("pässwd1") << true;
  }
  void password() {
    QFETCH(QString, text);
    QFETCH(bool, sent);
    MainForm->ReplyTarget = 3;
    if (!sent) prompts.expect("Invalid Password! Please input 8 letters!", "Error");
    QString seen;
    whenModal([&](QWidget*) {
      seen = QStringLiteral("busy %1 empty %2 ").arg(MainForm->Busy).arg(Form3->Edit1->text().isEmpty());
      Form3->Edit1->setText(text);
      Form3->BitBtn1->click();
      if (!Form3->isVisible()) return;
      seen += Form3->Edit1->selectedText() + (Form3->focusWidget() == Form3->Edit1 ? " focused" : "");
      Form3->BitBtn2->click();
    });
    MainForm->Button51->click();
    QCOMPARE(seen, QString("busy 1 empty 1 ") + (sent ? "" : text + " focused"));
    QCOMPARE(MainForm->Busy, std::uint8_t(0));
    QCOMPARE(MainForm->ReplyTarget, sent ? 0u : 3u);
    if (!sent) QCOMPARE(prompts.shown.value(0).owner, static_cast<QWidget*>(Form3));
    QCOMPARE(received(), sent ? Commands{"/+" + text.toUtf8() + ";"} : Commands{});
    whenModal([&](QWidget*) {
      seen = Form3->Edit1->text();
      pressKey(Form3, Qt::Key_Escape);
    });
    MainForm->Button51->click();  // reopened: empty; Esc cancels
    QCOMPARE(seen, QString());
  }

  void unlockKeyboard() {
    MainForm->Button52->click();
    QCOMPARE(MainForm->ReplyTarget, 0u);
    QTRY_COMPARE_WITH_TIMEOUT(sw->commands, Commands{"/%Unlock;"}, kWaitMs);
  }

  // Sent and received bytes read alike in the logs, one line each: UTF-8 where valid, the
  // byte's own 8-bit character where not, a lone CR or LF as its symbol.
  void linkBytesInTheLogs_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::addRow("CR and LF") << QByteArray("a\rb\nc") << QStringLiteral("a␍b␊c");
    QTest::addRow("UTF-8") << QByteArray("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80") << QStringLiteral("Grüße € 😀");
    QTest::addRow("no UTF-8") << QByteArray("caf\xe9 \xe2\x82") << QStringLiteral("caf\u00e9 \u00e2\u0082");
    QTest::addRow("overlong, surrogate") << QByteArray("\xc0\xaf\xed\xa0\x80") << QStringLiteral("\u00c0\u00af\u00ed\u00a0\u0080");
  }
  void linkBytesInTheLogs() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    SendCode(*MainForm, bytes);
    sw->send(bytes + "\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Memo6->lines(), QStringList{shown}, kWaitMs);
    QCOMPARE(MainForm->Memo5->lines(), QStringList{shown});
  }

  void closeDeliversWhatWasHandedOver() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    qint64 received = 0;
    connect(&server, &QTcpServer::newConnection, this, [&] {
      QTcpSocket* peer = server.nextPendingConnection();
      connect(peer, &QTcpSocket::readyRead, this, [&received, peer] { received += peer->readAll().size(); });
    });
    connectTo(server.serverPort());
    constexpr qint64 kBig = 32 << 20;
    MainForm->socketSend(QByteArray(kBig, 'x'));
    QVERIFY(MainForm->ClientSocket1->bytesToWrite() > 0);  // more than the system takes at once
    MainForm->ButtonCloseComClick();
    QVERIFY(!MainForm->socketActive());
    QTRY_COMPARE_WITH_TIMEOUT(received, kBig, 4 * kWaitMs);
  }

  // Timer4 of a refresh still runs when Update starts; the Update window then closes only
  // by the bound on its status wait, since this switcher answers no "Status.".
  void updateRightAfterARefresh() {
    sw->mode = SimTcpSwitcher::Mode::IdentifyOnly;
    MainForm->ReplyTarget = 7;
    sw->send(" A/V : 001 > 001\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->Timer4->isActive(), kWaitMs);
    QSignalSpy bound(MainForm->StatusWaitTimer, &QTimer::timeout);
    MainForm->ButtonUpdateClick();
    QCOMPARE(bound.count(), 1);
  }
};

QTEST_MAIN(TestOperatorTools)
#include "tst_operatortools.moc"
