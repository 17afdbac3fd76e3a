// Command builders and the two send functions: exact bytes on the link, the send-log line,
// and the refusals with their boxes.

#include <QtTest>
#include <functional>

#include "Commands.h"
#include "Fakes.h"
#include "Transmission.h"

using Action = std::function<void(LinkContext&)>;
Q_DECLARE_METATYPE(Action)

namespace {

struct ExpectedBox {
  QString text;
  bool ownedByMainWindow = false;
};

const ExpectedBox kTcpDown{QStringLiteral("TCP/IP is not connected !"), true};
const ExpectedBox kComClosed{QStringLiteral("COM is not opened !"), false};
const ExpectedBox kInvalidHex{QStringLiteral("Error! Invalid Data!"), true};
const ExpectedBox kBadPassword{QStringLiteral("Invalid Password! Notice: 8 letters!"), false};

// Every box of this library is a plain OK box captioned "Error".
void CheckBox(const QList<platform::Prompt>& shown, const ExpectedBox& want, QWidget* mainWindow) {
  QCOMPARE(shown.size(), 1);
  const platform::Prompt& p = shown.first();
  QCOMPARE(p.text, want.text);
  QCOMPARE(p.caption, QStringLiteral("Error"));
  QCOMPARE(p.owner, want.ownedByMainWindow ? mainWindow : nullptr);
  QVERIFY(p.icon == platform::Icon::None);
  QVERIFY(p.buttons == platform::Buttons::Ok);
}

}  // namespace

class TestSend : public QObject {
  Q_OBJECT
 public:
  TestSend() { prompts_.install(); }

 private slots:
  void cleanup();

  void builderSendsExactText_data();
  void builderSendsExactText();
  void listBuilderWithoutOutputsSendsNothing_data();
  void listBuilderWithoutOutputsSendsNothing();
  void passwordOfWrongLengthIsRefused_data();
  void passwordOfWrongLengthIsRefused();

  void sendCode_data();
  void sendCode();
  void sendCodeOnComKeepsWritingAfterAFailedByte();

  void sendHexCode_data();
  void sendHexCode();
  void sendHexCodeOnComKeepsWritingAfterAFailedByte();

 private:
  FakePrompts prompts_;
};

void TestSend::cleanup() {
  const QList<platform::Prompt> left = prompts_.take();
  QVERIFY2(left.isEmpty(),
           qPrintable("unexpected box: " + (left.isEmpty() ? QString() : left.first().text)));
  QVERIFY(prompts_.unexpected.isEmpty());
}

void TestSend::builderSendsExactText_data() {
  QTest::addColumn<Action>("build");
  QTest::addColumn<QByteArray>("text");

  static const int k234[] = {2, 3, 4};
  static const int k203040[] = {20, 30, 40};
  static const int k110[] = {110, 120, 130};
  static const int k1234[] = {1, 2, 3, 4};
  static const int k5[] = {5};
  static const int k256[] = {256};

  QTest::newRow("type query") << Action(CodeQueryType) << QByteArray("/*Type;");
  QTest::newRow("version query") << Action(CodeQueryVersion) << QByteArray("/^Version;");
  QTest::newRow("lock keyboard") << Action(CodeLockKeyboard) << QByteArray("/%Lock;");
  QTest::newRow("unlock keyboard") << Action(CodeUnlockKeyboard) << QByteArray("/%Unlock;");
  QTest::newRow("all to all") << Action(CodeAllToAll) << QByteArray("All#.");
  QTest::newRow("close all") << Action(CodeCloseAll) << QByteArray("All$.");
  QTest::newRow("undo") << Action(CodeUndo) << QByteArray("Undo.");
  QTest::newRow("status of all") << Action(CodeQueryAllStatus) << QByteArray("Status.");

  QTest::newRow("route video, three outputs")
      << Action([](LinkContext& l) { CodeRoute(l, 1, k234, 3, 'V'); }) << QByteArray("1V2,3,4.");
  QTest::newRow("route audio, two-digit numbers")
      << Action([](LinkContext& l) { CodeRoute(l, 10, k203040, 3, 'A'); })
      << QByteArray("10A20,30,40.");
  QTest::newRow("route AV, three-digit numbers")
      << Action([](LinkContext& l) { CodeRoute(l, 100, k110, 3, 'B'); })
      << QByteArray("100B110,120,130.");
  QTest::newRow("route one output, no trailing comma")
      << Action([](LinkContext& l) { CodeRoute(l, 7, k5, 1, 'V'); }) << QByteArray("7V5.");
  QTest::newRow("route input 0 to output 256")
      << Action([](LinkContext& l) { CodeRoute(l, 0, k256, 1, 'B'); }) << QByteArray("0B256.");
  QTest::newRow("route only the first count outputs")
      << Action([](LinkContext& l) { CodeRoute(l, 1, k234, 2, 'A'); }) << QByteArray("1A2,3.");

  QTest::newRow("close four outputs")
      << Action([](LinkContext& l) { CodeCloseOutputs(l, k1234, 4); }) << QByteArray("1,2,3,4$.");
  QTest::newRow("close one output")
      << Action([](LinkContext& l) { CodeCloseOutputs(l, k5, 1); }) << QByteArray("5$.");

  QTest::newRow("input 0 to all") << Action([](LinkContext& l) { CodeInputToAll(l, 0); })
                                  << QByteArray("0All.");
  QTest::newRow("input 256 to all")
      << Action([](LinkContext& l) { CodeInputToAll(l, 256); }) << QByteArray("256All.");
  QTest::newRow("save group 0") << Action([](LinkContext& l) { CodeSave(l, 0); })
                                << QByteArray("Save0.");
  QTest::newRow("recall group 9") << Action([](LinkContext& l) { CodeRecall(l, 9); })
                                  << QByteArray("Recall9.");
  QTest::newRow("status of 5, no leading zeros")
      << Action([](LinkContext& l) { CodeQueryStatus(l, 5); }) << QByteArray("Status5.");
  QTest::newRow("status of 256") << Action([](LinkContext& l) { CodeQueryStatus(l, 256); })
                                 << QByteArray("Status256.");
  QTest::newRow("status of 0") << Action([](LinkContext& l) { CodeQueryStatus(l, 0); })
                               << QByteArray("Status0.");
  QTest::newRow("negative number keeps its sign")
      << Action([](LinkContext& l) { CodeQueryStatus(l, -1); }) << QByteArray("Status-1.");

  QTest::newRow("password of 8") << Action([](LinkContext& l) { CodeSetPassword(l, "12345678"); })
                                 << QByteArray("/+12345678;");
  QTest::newRow("password with spaces kept")
      << Action([](LinkContext& l) { CodeSetPassword(l, " ab cd  "); })
      << QByteArray("/+ ab cd  ;");
  QTest::newRow("password bytes unchanged")
      << Action([](LinkContext& l) { CodeSetPassword(l, "aB\xE9;.,/x"); })
      << QByteArray("/+aB\xE9;.,/x;");
}

void TestSend::builderSendsExactText() {
  QFETCH(Action, build);
  QFETCH(QByteArray, text);

  FakeLink tcp = FakeLink::tcpUp();
  build(tcp);
  QCOMPARE(tcp.trace, QByteArrayList({"tcp " + text.toHex(' ').toUpper(), "log " + text}));

  // Without the Text function a COM send must spell the same bytes one by one.
  FakeLink com = FakeLink::comOpen();
  build(com);
  QByteArrayList perByte;
  for (char c : text) {
    perByte.append("com " + QByteArray(1, c).toHex().toUpper());
  }
  perByte.append("log " + text);
  QCOMPARE(com.trace, perByte);
}

void TestSend::listBuilderWithoutOutputsSendsNothing_data() {
  QTest::addColumn<bool>("nullList");
  QTest::addColumn<int>("count");
  QTest::newRow("count 0") << false << 0;
  QTest::newRow("negative count") << false << -3;
  QTest::newRow("null list") << true << 2;
}

void TestSend::listBuilderWithoutOutputsSendsNothing() {
  QFETCH(bool, nullList);
  QFETCH(int, count);
  static const int outputs[] = {4, 5};
  const int* list = nullList ? nullptr : outputs;

  QVERIFY(commands::RouteText(1, list, count, 'V').isEmpty());
  QVERIFY(commands::CloseOutputsText(list, count).isEmpty());
  FakeLink link = FakeLink::tcpUp();
  QTest::ignoreMessage(QtWarningMsg, QRegularExpression("CodeRoute"));
  CodeRoute(link, 1, list, count, 'V');
  QTest::ignoreMessage(QtWarningMsg, QRegularExpression("CodeCloseOutputs"));
  CodeCloseOutputs(link, list, count);
  QVERIFY(link.trace.isEmpty());
}

void TestSend::passwordOfWrongLengthIsRefused_data() {
  QTest::addColumn<QByteArray>("password");
  QTest::newRow("7 letters") << QByteArray("1234567");
  QTest::newRow("9 letters") << QByteArray("123456789");
  QTest::newRow("empty") << QByteArray();
  QTest::newRow("8 letters padded to 9 with a blank") << QByteArray("12345678 ");
}

void TestSend::passwordOfWrongLengthIsRefused() {
  QFETCH(QByteArray, password);
  FakeLink link = FakeLink::tcpUp();
  CodeSetPassword(link, password);
  QVERIFY(link.trace.isEmpty());
  CheckBox(prompts_.take(), kBadPassword, link.mainWindow());
}

void TestSend::sendCode_data() {
  QTest::addColumn<bool>("tcp");
  QTest::addColumn<bool>("socketActive");
  QTest::addColumn<bool>("serialOpen");
  QTest::addColumn<QByteArray>("text");
  QTest::addColumn<QByteArrayList>("trace");
  QTest::addColumn<QString>("box");  // empty: none

  QTest::newRow("TCP: one send of the whole text, then the log")
      << true << true << false << QByteArray("1V2,3,4.")
      << QByteArrayList{"tcp 31 56 32 2C 33 2C 34 2E", "log 1V2,3,4."} << QString();
  QTest::newRow("COM: exactly 8 one-byte writes, then the log")
      << false << false << true << QByteArray("1V2,3,4.")
      << QByteArrayList{"com 31", "com 56", "com 32", "com 2C",      "com 33",
                        "com 2C", "com 34", "com 2E", "log 1V2,3,4."}
      << QString();
  QTest::newRow("no terminator or line end added")
      << true << true << false << QByteArray("/*Type;")
      << QByteArrayList{"tcp 2F 2A 54 79 70 65 3B", "log /*Type;"} << QString();
  QTest::newRow("TCP mode goes to the socket even with a port open")
      << true << true << true << QByteArray("A") << QByteArrayList{"tcp 41", "log A"} << QString();
  QTest::newRow("COM mode goes to the port even with a socket up")
      << false << true << true << QByteArray("A") << QByteArrayList{"com 41", "log A"} << QString();
  QTest::newRow("TCP mode, socket not connected: refused")
      << true << false << true << QByteArray("Status.") << QByteArrayList{} << kTcpDown.text;
  QTest::newRow("COM mode, port closed: refused")
      << false << true << false << QByteArray("Status.") << QByteArrayList{} << kComClosed.text;
}

void TestSend::sendCode() {
  QFETCH(bool, tcp);
  QFETCH(bool, socketActive);
  QFETCH(bool, serialOpen);
  QFETCH(QByteArray, text);
  QFETCH(QByteArrayList, trace);
  QFETCH(QString, box);

  FakeLink link;
  link.tcp = tcp;
  link.active = socketActive;
  link.serial = serialOpen;
  SendCode(link, text);
  QCOMPARE(link.trace, trace);
  if (box.isEmpty()) {
    return;
  }
  CheckBox(prompts_.take(), box == kTcpDown.text ? kTcpDown : kComClosed, link.mainWindow());
}

void TestSend::sendCodeOnComKeepsWritingAfterAFailedByte() {
  FakeLink link = FakeLink::comOpen();
  link.failingWrites = {0, 3};
  SendCode(link, "Undo.");
  QCOMPARE(link.trace,
           QByteArrayList({"com 55", "com 6E", "com 64", "com 6F", "com 2E", "log Undo."}));
}

void TestSend::sendHexCode_data() {
  QTest::addColumn<bool>("tcp");
  QTest::addColumn<bool>("linkUp");
  QTest::addColumn<QByteArray>("text");
  QTest::addColumn<QByteArrayList>("trace");
  QTest::addColumn<QString>("box");

  QTest::newRow("TCP: digit pairs with spaces, one send per byte")
      << true << true << QByteArray("0a 1B ff")
      << QByteArrayList{"tcp 0A", "tcp 1B", "tcp FF", "log 0A1BFF(HEX)"} << QString();
  QTest::newRow("COM: digit pairs with spaces, one write per byte")
      << false << true << QByteArray("0a 1B ff")
      << QByteArrayList{"com 0A", "com 1B", "com FF", "log 0A1BFF(HEX)"} << QString();
  QTest::newRow("odd digit count: last digit neither sent nor logged")
      << true << true << QByteArray("ABC") << QByteArrayList{"tcp AB", "log AB(HEX)"} << QString();
  QTest::newRow("single digit: nothing sent")
      << true << true << QByteArray("7") << QByteArrayList{"log (HEX)"} << QString();
  QTest::newRow("empty: only the log line")
      << true << true << QByteArray() << QByteArrayList{"log (HEX)"} << QString();
  QTest::newRow("spaces only: only the log line")
      << false << true << QByteArray("   ") << QByteArrayList{"log (HEX)"} << QString();
  QTest::newRow("spaces inside a pair are removed first")
      << true << true << QByteArray(" 1 2 3 4 ")
      << QByteArrayList{"tcp 12", "tcp 34", "log 1234(HEX)"} << QString();
  QTest::newRow("lower case accepted and logged upper")
      << true << true << QByteArray("abcdef")
      << QByteArrayList{"tcp AB", "tcp CD", "tcp EF", "log ABCDEF(HEX)"} << QString();
  QTest::newRow("zero byte is sent")
      << false << true << QByteArray("00") << QByteArrayList{"com 00", "log 00(HEX)"} << QString();
  QTest::newRow("G after valid digits: nothing sent, not even 0x12")
      << true << true << QByteArray("12G") << QByteArrayList{} << kInvalidHex.text;
  QTest::newRow("tab is not a separator")
      << false << true << QByteArray("12\t34") << QByteArrayList{} << kInvalidHex.text;
  QTest::newRow("line end is not a separator")
      << true << true << QByteArray("12\r\n") << QByteArrayList{} << kInvalidHex.text;
  QTest::newRow("lower-case g invalid")
      << true << true << QByteArray("1g") << QByteArrayList{} << kInvalidHex.text;
  QTest::newRow("8-bit byte invalid") << true << true
                                      << QByteArray(
                                             "\xE9"
                                             "1")
                                      << QByteArrayList{} << kInvalidHex.text;
  QTest::newRow("0x prefix invalid")
      << true << true << QByteArray("0x1F") << QByteArrayList{} << kInvalidHex.text;
  QTest::newRow("TCP not connected: refused before validation")
      << true << false << QByteArray("12G") << QByteArrayList{} << kTcpDown.text;
  QTest::newRow("COM closed: refused")
      << false << false << QByteArray("0A") << QByteArrayList{} << kComClosed.text;
}

void TestSend::sendHexCode() {
  QFETCH(bool, tcp);
  QFETCH(bool, linkUp);
  QFETCH(QByteArray, text);
  QFETCH(QByteArrayList, trace);
  QFETCH(QString, box);

  FakeLink link;
  link.tcp = tcp;
  link.active = tcp && linkUp;
  link.serial = !tcp && linkUp;
  SendHexCode(link, text);
  QCOMPARE(link.trace, trace);
  if (box.isEmpty()) {
    return;
  }
  const ExpectedBox& want = box == kTcpDown.text     ? kTcpDown
                            : box == kComClosed.text ? kComClosed
                                                     : kInvalidHex;
  CheckBox(prompts_.take(), want, link.mainWindow());
}

void TestSend::sendHexCodeOnComKeepsWritingAfterAFailedByte() {
  FakeLink link = FakeLink::comOpen();
  link.failingWrites = {0};
  SendHexCode(link, "01 02 03");
  QCOMPARE(link.trace, QByteArrayList({"com 01", "com 02", "com 03", "log 010203(HEX)"}));
}

QTEST_GUILESS_MAIN(TestSend)
#include "tst_send.moc"
