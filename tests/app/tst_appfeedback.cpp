// Feedback on the real main window: lines from a loopback switcher (TCP) and from posted
// byte events (the serial hand-over), their views, the captions and the status refresh.
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRadioButton>
#include <QTimer>

#include "Comthread.h"
#include "Memo.h"
#include "Outport.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 5000;
constexpr int kHoldBackMs = 300;

QByteArray routeLine(const char* kind, int input, int output) {
  return QByteArray(kind) + ": " + QByteArray::number(input).rightJustified(3, '0') + " > " +
         QByteArray::number(output).rightJustified(3, '0');
}
QStringList captions() {
  QStringList out;
  for (int n = 1; n <= kOutputCount; ++n) out << MainForm->OutPort[n]->caption();
  return out;
}
void resetCaptions() {
  for (int n = 1; n <= kOutputCount; ++n) MainForm->OutPort[n]->setCaption("0");
}
// The serial path exactly as the monitor thread drives it: one posted event per byte.
void feedSerial(const QByteArray& bytes) {
  for (char c : bytes) QCoreApplication::postEvent(MainForm, new SerialByteEvent(std::uint8_t(c)));
  QCoreApplication::sendPostedEvents(MainForm, WM_SERIALBYTE);
}
}  // namespace

class TestAppFeedback : public QObject {
  Q_OBJECT
  FakePrompts prompts{FakePrompts::Mode::Scripted};
  std::unique_ptr<SimTcpSwitcher> sw;

  // Sends bytes from the switcher and waits until the console has received all of them.
  void feedTcp(const QByteArray& bytes) {
    const std::uint64_t target = MainForm->TcpBytesReceived + std::uint64_t(bytes.size());
    sw->send(bytes);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->TcpBytesReceived, target, kWaitMs);
  }

 private slots:
  void init() {
    prompts.reset();
    platform::setPrompts(&prompts);
    sw = std::make_unique<SimTcpSwitcher>(SimTcpSwitcher::Mode::Silent);
    qputenv(kTcpPortEnv, QByteArray::number(sw->port()));
    // The link as the window keeps it without redialling.
    writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n[Link]\nReconnect=0\n");
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

  // Where one line goes under each reply target, for each kind of line.
  void replyTargets_data() {
    QTest::addColumn<uint>("target");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("caption12");     // OutPort012 afterwards
    QTest::addColumn<QString>("memo");          // the view that shows it, besides Memo6
    QTest::addColumn<bool>("statusSent");
    QTest::addColumn<uint>("targetAfter");
    const char* memoOf[8] = {"", "Memo2", "Memo1", "Memo3", "Memo4", "", "MemoSysInfo", ""};
    const QByteArray video = routeLine("VIDEO", 3, 12) + " tail";
    const QByteArray av = routeLine(" A/V ", 3, 12);
    const QByteArray audio = routeLine("AUDIO", 3, 12);
    for (uint t = 0; t <= 7; ++t) {
      const bool captions = t != 0 && t != 6;
      const bool tab = t >= 1 && t <= 4;
      QTest::addRow("VIDEO under %u", t) << t << video << (captions ? "3" : "0") << memoOf[t] << false << t;
      QTest::addRow("A/V under %u", t) << t << av << (captions ? "3" : "0") << memoOf[t] << false << t;
      QTest::addRow("AUDIO under %u", t) << t << audio << "0" << memoOf[t] << false << t;
      QTest::addRow("other line under %u", t) << t << QByteArray("OK") << "0" << memoOf[t] << tab << (tab ? 7u : t);
      QTest::addRow("empty line under %u", t) << t << QByteArray() << "0" << memoOf[t] << tab << (tab ? 7u : t);
      QTest::addRow("lower-case kind under %u", t) << t << routeLine("video", 3, 12) << "0" << memoOf[t] << tab << (tab ? 7u : t);
    }
  }
  void replyTargets() {
    QFETCH(uint, target);
    QFETCH(QByteArray, line);
    QFETCH(QString, caption12);
    QFETCH(QString, memo);
    QFETCH(bool, statusSent);
    QFETCH(uint, targetAfter);
    TMemo* memos[] = {MainForm->Memo1, MainForm->Memo2, MainForm->Memo3, MainForm->Memo4, MainForm->MemoSysInfo};
    QList<int> before;
    for (TMemo* m : memos) before << m->lineCount();
    MainForm->ReplyTarget = target;
    MainForm->Timer->start();
    feedSerial(line + "\r\n");

    QCOMPARE(MainForm->OutPort[12]->caption(), caption12);
    QCOMPARE(MainForm->Memo6->lines(), QStringList{QString::fromLatin1(line)});
    for (int i = 0; i < 5; ++i) {
      const bool shows = memos[i]->objectName() == memo;
      QCOMPARE(memos[i]->lineCount(), before[i] + (shows ? 1 : 0));
      if (shows) QCOMPARE(memos[i]->line(before[i]), QString::fromLatin1(line));
    }
    // Only an identification reply stops the no-reply timer; only a status line starts Timer4.
    QCOMPARE(MainForm->Timer->isActive(), target != 6);
    QCOMPARE(MainForm->Timer4->isActive(), target == 7);
    QCOMPARE(MainForm->ReplyTarget, targetAfter);
    QCOMPARE(MainForm->Memo5->lines(), statusSent ? QStringList{"Status."} : QStringList{});
    if (statusSent) QTRY_COMPARE_WITH_TIMEOUT(sw->commands, QList<QByteArray>{"Status."}, kWaitMs);
  }

  void outputFields_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("output");  // 0: no caption may change
    QTest::addColumn<QString>("caption");
    QTest::addRow("output 256, last button") << routeLine(" A/V ", 7, 256) << 256 << "7";
    QTest::addRow("output 001") << routeLine("VIDEO", 250, 1) << 1 << "250";
    QTest::addRow("output 000 names no button") << routeLine(" A/V ", 7, 0) << 0 << "";
    QTest::addRow("output 257 names no button") << routeLine(" A/V ", 7, 257) << 0 << "";
    QTest::addRow("output with letters") << QByteArray("VIDEO: 007 > 0a1") << 0 << "";
    QTest::addRow("output with blanks") << QByteArray("VIDEO: 007 >  12") << 0 << "";
    QTest::addRow("output field missing (15 chars)") << QByteArray("VIDEO: 007 > 01") << 0 << "";
    QTest::addRow("line of 8 chars") << QByteArray("VIDEO: 7") << 0 << "";
    QTest::addRow("input not a number shows 0") << QByteArray("VIDEO: abc > 005") << 5 << "0";
    QTest::addRow("input with leading zeros") << routeLine("VIDEO", 3, 5) << 5 << "3";
    QTest::addRow("input 999 shown as sent") << routeLine("VIDEO", 999, 5) << 5 << "999";
    QTest::addRow("separators may be anything") << QByteArray("VIDEOxx042yyy009zzz") << 9 << "42";
  }
  void outputFields() {
    QFETCH(QByteArray, line);
    QFETCH(int, output);
    QFETCH(QString, caption);
    for (int n = 1; n <= kOutputCount; ++n) MainForm->OutPort[n]->setCaption("x");
    MainForm->ReplyTarget = 7;
    feedSerial(line + "\r\n");
    for (int n = 1; n <= kOutputCount; ++n)
      QCOMPARE(MainForm->OutPort[n]->caption(), n == output ? caption : QString("x"));
    QCOMPARE(MainForm->Memo6->lineCount(), 1);
  }

  // The 128-byte line limit, the same on both links.
  void lineLengths_data() {
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<int>("length");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("caption20");
    QTest::addColumn<QString>("caption21");
    const QString next = QString::fromLatin1(routeLine("VIDEO", 5, 21));
    QByteArray l126 = routeLine("VIDEO", 4, 20);
    l126 += QByteArray(126 - l126.size(), '-');
    for (bool tcp : {false, true}) {
      const char* link = tcp ? "TCP" : "serial";
      QTest::addRow("%s: 126 characters handled", link)
          << tcp << 126 << QStringList{QString::fromLatin1(l126), next} << "4" << "5";
      // The CR is the 128th byte: dropped with the line; the LF then starts the next line.
      QTest::addRow("%s: 127 characters dropped", link)
          << tcp << 127 << QStringList{QChar(0x240A) + next} << "0" << "0";
      // Two 128-byte pieces go; the last 44 characters end at the CR LF as a line.
      QTest::addRow("%s: 300 characters", link)
          << tcp << 300 << QStringList{QString(44, '-'), next} << "0" << "5";
    }
  }
  void lineLengths() {
    QFETCH(bool, tcp);
    QFETCH(int, length);
    QFETCH(QStringList, lines);
    QFETCH(QString, caption20);
    QFETCH(QString, caption21);
    QByteArray longLine = routeLine("VIDEO", 4, 20);
    longLine += QByteArray(length - longLine.size(), '-');
    const QByteArray bytes = longLine + "\r\n" + routeLine("VIDEO", 5, 21) + "\r\n";
    MainForm->ReplyTarget = 7;
    if (tcp)
      feedTcp(bytes);
    else
      feedSerial(bytes);
    QCOMPARE(MainForm->Memo6->lines(), lines);
    QCOMPARE(MainForm->OutPort[20]->caption(), caption20);
    QCOMPARE(MainForm->OutPort[21]->caption(), caption21);
  }

  // Every split of three lines over two read events handles each line once, in order.
  void tcpSplitAtEveryPosition() {
    const QByteArray payload = routeLine(" A/V ", 5, 1) + "\r\n" + routeLine("VIDEO", 6, 2) +
                               "\r\n" + QByteArray("SOMETHING ELSE") + "\r\n";
    const QStringList lines{QString::fromLatin1(routeLine(" A/V ", 5, 1)),
                            QString::fromLatin1(routeLine("VIDEO", 6, 2)), "SOMETHING ELSE"};
    MainForm->ReplyTarget = 7;
    for (int k = 1; k < payload.size(); ++k) {
      MainForm->Memo6->clearLines();
      resetCaptions();
      feedTcp(payload.left(k));
      feedTcp(payload.mid(k));
      QCOMPARE(MainForm->Memo6->lines(), lines);
      QCOMPARE(MainForm->OutPort[1]->caption(), QString("5"));
      QCOMPARE(MainForm->OutPort[2]->caption(), QString("6"));
    }
  }

  // The same bytes give the same lines and captions on both links, however they are cut.
  void serialAndTcpAgree_data() {
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : {1u, 2u, 3u, 42u, 1234u}) QTest::addRow("seed %u", seed) << seed;
  }
  void serialAndTcpAgree() {
    QFETCH(quint32, seed);
    QRandomGenerator rng(seed);
    QByteArray bytes;
    for (int i = 0; i < 400; ++i) {
      switch (rng.bounded(6)) {
        case 0: bytes += routeLine(" A/V ", rng.bounded(300), rng.bounded(300)) + "\r\n"; break;
        case 1: bytes += routeLine("VIDEO", rng.bounded(300), rng.bounded(260)) + " x\r\n"; break;
        case 2: bytes += routeLine("AUDIO", rng.bounded(300), rng.bounded(260)) + "\r\n"; break;
        case 3: bytes += QByteArray(int(rng.bounded(200)), char('a' + rng.bounded(26))) + "\r\n"; break;
        case 4: bytes += rng.bounded(2) ? "\r" : "\n"; break;
        default: bytes += char(rng.bounded(256)); break;
      }
    }
    MainForm->ReplyTarget = 7;
    feedSerial(bytes);
    const QStringList serialLines = MainForm->Memo6->lines();
    const QStringList serialCaptions = captions();
    QVERIFY(serialLines.size() > 100);

    MainForm->Memo6->clearLines();
    resetCaptions();
    for (int pos = 0; pos < bytes.size();) {
      const int n = 1 + int(rng.bounded(700));
      feedTcp(bytes.mid(pos, n));
      pos += n;
    }
    QCOMPARE(MainForm->Memo6->lines(), serialLines);
    QCOMPARE(captions(), serialCaptions);
  }

  // A reply that is not a route report asks for "Status." once; the status lines do not.
  void oneStatusRefreshPerOtherLine() {
    MainForm->ReplyTarget = 3;
    feedTcp("Saved!\r\n");
    QCOMPARE(MainForm->ReplyTarget, 7u);
    QTRY_COMPARE_WITH_TIMEOUT(sw->commands, QList<QByteArray>{"Status."}, kWaitMs);
    feedTcp(sw->core.execute("Status."));
    QCOMPARE(MainForm->Memo5->lines(), QStringList{"Status."});
    QCOMPARE(MainForm->OutPort[200]->caption(), QString("200"));
    QCOMPARE(MainForm->Memo3->lines().last(), QString("Saved!"));
    QCOMPARE(MainForm->Memo6->lineCount(), 1 + kOutputCount);
    QVERIFY(MainForm->Timer4->isActive());
  }

  // The refresh's send is refused with a box; lines handled inside the box's event loop
  // come after the line that caused it in the receive log.
  void receiveLogKeepsOrderAcrossARefusedRefresh() {
    MainForm->RadioButton1->setChecked(true);  // COM mode, and no port is open
    MainForm->ReplyTarget = 3;
    prompts.expect("COM is not opened !", "Error");
    prompts.onMessage = [] { feedSerial(routeLine("VIDEO", 8, 9) + "\r\n"); };
    feedSerial("OK\r\n");
    prompts.onMessage = nullptr;
    QVERIFY(prompts.allExpectedShown());
    QCOMPARE(MainForm->Memo6->lines(),
             (QStringList{"OK", QString::fromLatin1(routeLine("VIDEO", 8, 9))}));
    QCOMPARE(MainForm->OutPort[9]->caption(), QString("8"));
  }

  // Under target 5 the line fills the output-port dialog.
  void fillsOutputDialog_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("video");
    QTest::addColumn<int>("audio");
    QTest::addColumn<bool>("videoEnabled");
    QTest::addColumn<bool>("audioEnabled");
    QTest::addColumn<QString>("label2");
    QTest::addRow("A/V") << routeLine(" A/V ", 3, 12) << 0 << 3 << 0 << true << false << QStringLiteral("Input  A/V  Port ：");
    QTest::addRow("video") << routeLine("VIDEO", 4, 12) << 1 << 4 << 0 << true << false << QStringLiteral("Input Video Port ：");
    QTest::addRow("audio") << routeLine("AUDIO", 3, 12) << 2 << 0 << 3 << false << true << QStringLiteral("Input Video Port ：");
    QTest::addRow("input 300 selects nothing") << routeLine("VIDEO", 300, 12) << 1 << -1 << 0 << true << false << QStringLiteral("Input Video Port ：");
    QTest::addRow("other line") << QByteArray("Command Code Error!") << -1 << 0 << 0 << false << false << QStringLiteral("Input Video Port ：");
  }
  void fillsOutputDialog() {
    QFETCH(QByteArray, line);
    QFETCH(int, signal);
    QFETCH(int, video);
    QFETCH(int, audio);
    QFETCH(bool, videoEnabled);
    QFETCH(bool, audioEnabled);
    QFETCH(QString, label2);
    MainForm->ReplyTarget = 5;
    feedSerial(line + "\r\n");
    QCOMPARE(Form2->itemIndex(), signal);
    QCOMPARE(Form2->ComboBox2->currentIndex(), video);
    QCOMPARE(Form2->ComboBox1->currentIndex(), audio);
    QCOMPARE(Form2->ComboBox2->isEnabled(), videoEnabled);
    QCOMPARE(Form2->ComboBox1->isEnabled(), audioEnabled);
    QCOMPARE(Form2->Label2->text(), label2);
    QCOMPARE(Form2->BitBtn1->isEnabled(), signal >= 0);
    QCOMPARE(MainForm->Memo5->lineCount(), 0);
  }

  // ---- hostile peers ----

  void megabyteWithoutLineEnd() {
    MainForm->ReplyTarget = 7;
    constexpr int kMiB = 1 << 20;
    feedTcp(QByteArray(kMiB, 'x'));
    QCOMPARE(MainForm->LinesHandled, std::uint64_t(0));
    feedTcp(routeLine(" A/V ", 9, 3) + "\r\n");
    QCOMPARE(MainForm->Memo6->lines(), QStringList{QString::fromLatin1(routeLine(" A/V ", 9, 3))});
    QCOMPARE(MainForm->OutPort[3]->caption(), QString("9"));
    QCOMPARE(MainForm->ClientSocket1->bytesAvailable(), qint64(0));
  }

  void tenThousandLinesInOneBurst() {
    constexpr int kLines = 10000;
    MainForm->ReplyTarget = 7;
    QByteArray burst;
    for (int i = 0; i < kLines; ++i) burst += routeLine("VIDEO", i % 1000, 1 + i % 256) + "\r\n";
    feedTcp(burst);
    QCOMPARE(MainForm->LinesHandled, std::uint64_t(kLines));
    QCOMPARE(MainForm->Memo6->lineCount(), TMemo::kMaxLines);
    // The last report for output 256 is line 9983 (9983 % 256 == 255).
    QCOMPARE(MainForm->OutPort[256]->caption(), QString("983"));
    // The memo keeps its cap: the oldest line goes.
    feedTcp("last\r\n");
    QCOMPARE(MainForm->Memo6->lineCount(), TMemo::kMaxLines);
    QCOMPARE(MainForm->Memo6->line(0), QString::fromLatin1(routeLine("VIDEO", 1, 2)));
    QCOMPARE(MainForm->Memo6->line(TMemo::kMaxLines - 1), QString("last"));
  }

  // While a box is shown from inside the read handler, a flooding peer is held back by
  // TCP itself rather than buffered without limit; everything arrives once it closes.
  void floodUnderABoxIsHeldBack() {
    static constexpr int kFlood = 8 << 20;
    MainForm->RadioButton1->setChecked(true);  // COM mode, no port: the refresh is refused
    MainForm->ReplyTarget = 3;
    prompts.expect("COM is not opened !", "Error");
    bool overflowed = false;
    prompts.onMessage = [&] {
      sw->send(QByteArray(kFlood, 'x'));
      // Without a bound the whole flood lands in the socket's buffer within milliseconds.
      overflowed = QTest::qWaitFor(
          [] { return MainForm->ClientSocket1->bytesAvailable() > kFlood / 4; }, kHoldBackMs);
    };
    sw->send("OK\r\n");
    const std::uint64_t target = 4 + std::uint64_t(kFlood);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->TcpBytesReceived, target, kWaitMs);
    prompts.onMessage = nullptr;
    QVERIFY(prompts.allExpectedShown());
    QVERIFY(!overflowed);
    feedTcp(routeLine("VIDEO", 8, 9) + "\r\n");
    QCOMPARE(MainForm->OutPort[9]->caption(), QString("8"));
  }

  // A flood of identification replies drops old replies, never the numbered lines.
  void identificationFloodKeepsTheSystemLines() {
    constexpr int kLines = TMemo::kMaxLines + 20;
    const QStringList head = MainForm->MemoSysInfo->lines();
    MainForm->ReplyTarget = 6;
    QByteArray burst;
    for (int i = 0; i < kLines; ++i) burst += "reply " + QByteArray::number(i) + "\r\n";
    feedTcp(burst);
    TMemo* sys = MainForm->MemoSysInfo;
    QCOMPARE(sys->lineCount(), TMemo::kMaxLines);
    QCOMPARE(sys->lines().mid(0, head.size()), head);
    QCOMPARE(sys->line(head.size()), QStringLiteral("reply %1").arg(kLines - TMemo::kMaxLines + head.size()));
    QCOMPARE(sys->line(TMemo::kMaxLines - 1), QStringLiteral("reply %1").arg(kLines - 1));
    MainForm->TimerTimer();
    QCOMPARE(sys->line(4), QString("Switcher : no switcher"));
    QCOMPARE(sys->line(0), head[0]);
  }

  void linkDroppedInTheMiddleOfALine() {
    MainForm->ReplyTarget = 7;
    feedTcp("VIDEO: 004 > 0");
    sw->client()->abort();
    QTRY_VERIFY_WITH_TIMEOUT(!MainForm->socketActive(), kWaitMs);
    QCOMPARE(MainForm->Label28->text(), QString("TCP/IP is disconnected!"));
    QVERIFY(MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->ButtonCloseCom->isEnabled());
    QVERIFY(MainForm->Edit6->isEnabled());
    QCOMPARE(MainForm->LinesHandled, std::uint64_t(0));
    prompts.expect("TCP/IP is not connected !", "Error");
    MainForm->ButtonUpdateClick();
    QVERIFY(prompts.allExpectedShown());
    // The ring keeps the unfinished line: the next connection continues it.
    MainForm->ButtonOpenComClick();
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->socketActive(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(sw->client() && sw->client()->state() == QAbstractSocket::ConnectedState, kWaitMs);
    feedTcp("12\r\n");
    QCOMPARE(MainForm->OutPort[12]->caption(), QString("4"));
  }

  void peerThatConnectsAndRefuses() {
    MainForm->ButtonCloseComClick();
    QCOMPARE(MainForm->Label28->text(), QString());
    SimTcpSwitcher refusing(SimTcpSwitcher::Mode::Refuse);
    qputenv(kTcpPortEnv, QByteArray::number(refusing.port()));
    DestroyForms();
    CreateForms();
    QTRY_COMPARE_WITH_TIMEOUT(refusing.connections, 1, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(MainForm->Label28->text(), QString("TCP/IP is disconnected!"), kWaitMs);
    QVERIFY(!MainForm->socketActive());
    QVERIFY(MainForm->ButtonOpenCom->isEnabled());
  }

  void nobodyListening() {
    quint16 freePort;
    {
      QTcpServer probe;
      QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
      freePort = probe.serverPort();
    }
    qputenv(kTcpPortEnv, QByteArray::number(freePort));
    DestroyForms();
    CreateForms();
    // A failed attempt shows nothing and leaves the state for the operator's Close.
    QTRY_VERIFY_WITH_TIMEOUT(MainForm->ClientSocket1->state() == QAbstractSocket::UnconnectedState, kWaitMs);
    QCOMPARE(MainForm->Label28->text(), QString("Connecting ..."));
    QVERIFY(!MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->Edit6->isEnabled());
    MainForm->ButtonCloseComClick();
    QVERIFY(MainForm->ButtonOpenCom->isEnabled());
    QVERIFY(!MainForm->ButtonCloseCom->isEnabled());
  }

  // ---- the memo's line operations ----

  void memoLines_data() {
    QTest::addColumn<QStringList>("start");
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("index");
    QTest::addColumn<QStringList>("result");
    const QStringList sys{"v", " ", "", "", ""};
    QTest::addRow("replace line 2") << sys << "replace" << 2 << QStringList{"v", " ", "X", "", ""};
    QTest::addRow("replace last line") << sys << "replace" << 4 << QStringList{"v", " ", "", "", "X"};
    QTest::addRow("replace past the end appends") << QStringList{"a"} << "replace" << 4 << QStringList{"a", "X"};
    QTest::addRow("delete from 4") << QStringList{"0", "1", "2", "3", "4", "5"} << "deleteFrom" << 4 << QStringList{"0", "1", "2", "3"};
    QTest::addRow("delete from past the end") << QStringList{"0"} << "deleteFrom" << 4 << QStringList{"0"};
    QTest::addRow("delete from 0 empties") << QStringList{"0", "1"} << "deleteFrom" << 0 << QStringList{};
    QTest::addRow("insert in the middle") << QStringList{"0", "1"} << "insert" << 1 << QStringList{"0", "X", "1"};
    QTest::addRow("append to an empty memo") << QStringList{} << "append" << 0 << QStringList{"X"};
    QTest::addRow("an empty line is a line") << QStringList{""} << "append" << 0 << QStringList{"", "X"};
  }
  void memoLines() {
    QFETCH(QStringList, start);
    QFETCH(QString, op);
    QFETCH(int, index);
    QFETCH(QStringList, result);
    TMemo m;
    m.setLines(start);
    QCOMPARE(m.lines(), start);
    if (op == "replace") m.replaceLine(index, "X");
    if (op == "deleteFrom") m.deleteLinesFrom(index);
    if (op == "insert") m.insertLine(index, "X");
    if (op == "append") m.appendLine("X");
    QCOMPARE(m.lines(), result);
    QCOMPARE(m.lineCount(), result.size());
  }
};

QTEST_MAIN(TestAppFeedback)
#include "tst_appfeedback.moc"
