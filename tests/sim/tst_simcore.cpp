// The simulator core: reply bytes of every command, framing across reads, errors and
// resynchronisation, limits, undo and presets; every reply checked against the console's
// feedback parser.

#include "Feedback.h"
#include "SwitcherCore.h"

#include <QtTest>

using sim::SwitcherCore;

namespace {

const QByteArray kError = "Command Code Error!\r\n";
// The console reads a route report's fields up to character 15.
constexpr int kMinReportLength = 16;

QByteArray av(int input, int output) {
  return QString::asprintf(" A/V : %03d > %03d\r\n", input, output).toLatin1();
}
QByteArray split(int video, int audio, int output) {
  return QString::asprintf("VIDEO: %03d > %03d\r\nAUDIO: %03d > %03d\r\n", video, output,
                           audio, output)
      .toLatin1();
}

QList<QByteArray> replyLines(const QByteArray& reply) {
  QList<QByteArray> lines = reply.split('\n');
  lines.removeLast();  // after the last LF
  return lines;
}

}  // namespace

class TestSimCore : public QObject {
  Q_OBJECT
 private slots:
  void commandReplies_data();
  void commandReplies();
  void passwordIsKeptVerbatim();
  void lockFlagOnlyChangesReply();
  void splitAtEveryPosition();
  void resync_data();
  void resync();
  void overflowAcrossReads();
  void clientsHaveOwnFramers();
  void smallMatrixLimits_data();
  void smallMatrixLimits();
  void sizeIsClamped();
  void undoRestoresOneLevel();
  void presetsHoldWholeMatrix();
  void reportsParseWithConsoleRules();
};

void TestSimCore::commandReplies_data() {
  QTest::addColumn<QByteArray>("setup");
  QTest::addColumn<QByteArray>("command");
  QTest::addColumn<QByteArray>("reply");

  // Start state: input k feeds output k.
  QTest::newRow("status of one output at start") << QByteArray() << QByteArray("Status12.") << av(12, 12);
  QTest::newRow("status of output 256") << QByteArray() << QByteArray("Status256.") << av(256, 256);
  QTest::newRow("video route: VIDEO and AUDIO lines per output")
      << QByteArray() << QByteArray("1V2,3,4.") << split(1, 2, 2) + split(1, 3, 3) + split(1, 4, 4);
  QTest::newRow("audio route") << QByteArray() << QByteArray("10A20,30,40.")
                               << split(20, 10, 20) + split(30, 10, 30) + split(40, 10, 40);
  QTest::newRow("A/V route: one line per output")
      << QByteArray() << QByteArray("100B110,120,130.") << av(100, 110) + av(100, 120) + av(100, 130);
  QTest::newRow("audio following video joins into one A/V line")
      << QByteArray("1V2.") << QByteArray("1A2.") << av(1, 2);
  QTest::newRow("repeated output reported each time")
      << QByteArray() << QByteArray("7B9,9.") << av(7, 9) + av(7, 9);
  QTest::newRow("input 0 closes the video only") << QByteArray() << QByteArray("0V5.") << split(0, 5, 5);
  QTest::newRow("input 256 to output 1") << QByteArray() << QByteArray("256B1.") << av(256, 1);
  QTest::newRow("three digits with leading zeros") << QByteArray() << QByteArray("007B012.") << av(7, 12);
  QTest::newRow("close outputs reports input 000")
      << QByteArray() << QByteArray("1,2,256$.") << av(0, 1) + av(0, 2) + av(0, 256);
  QTest::newRow("input k to output k") << QByteArray("All$.") << QByteArray("7,9#.") << av(7, 7) + av(9, 9);
  QTest::newRow("input to all") << QByteArray() << QByteArray("5All.") << QByteArray("5 To All.\r\n");
  QTest::newRow("input 0 to all") << QByteArray() << QByteArray("0All.") << QByteArray("0 To All.\r\n");
  QTest::newRow("all through") << QByteArray() << QByteArray("All#.") << QByteArray("All Through.\r\n");
  QTest::newRow("all closed") << QByteArray() << QByteArray("All$.") << QByteArray("All Closed.\r\n");
  QTest::newRow("save group 0") << QByteArray() << QByteArray("Save0.") << QByteArray("Save To F 0.\r\n");
  QTest::newRow("recall saved group 9")
      << QByteArray("Save9.") << QByteArray("Recall9.") << QByteArray("Recall From F 9.\r\n");
  QTest::newRow("clear group 3") << QByteArray() << QByteArray("Clear3.") << QByteArray("Clear F 3.\r\n");
  QTest::newRow("undo after a route") << QByteArray("1V2.") << QByteArray("Undo.") << QByteArray("Undo OK.\r\n");
  QTest::newRow("type names the size") << QByteArray() << QByteArray("/*Type;") << QByteArray("MATRIX 256X256\r\n");
  QTest::newRow("lock") << QByteArray() << QByteArray("/%Lock;") << QByteArray("System Locked!\r\n");
  QTest::newRow("unlock") << QByteArray() << QByteArray("/%Unlock;") << QByteArray("System UnLock!\r\n");
  QTest::newRow("password of 8") << QByteArray() << QByteArray("/+abcd1234;") << QByteArray("Password Set!\r\n");

  // Errors; the test also checks that none of them changes the matrix.
  const QList<std::pair<const char*, const char*>> errors = {
      {"unknown word", "Foo."},
      {"empty command", "."},
      {"input 257", "257V1."},
      {"output 0", "1V0."},
      {"output 257", "1V257."},
      {"status of output 0", "Status0."},
      {"status of output 257", "Status257."},
      {"group 10", "Save10."},
      {"recall group 10", "Recall10."},
      {"clear group 10", "Clear10."},
      {"signed input", "+1V2."},
      {"blank inside", "1V 2."},
      {"blank before terminator", "Status1 ."},
      {"four digits", "0001V2."},
      {"empty list member", "1V2,,3."},
      {"trailing comma", "1V2,."},
      {"no outputs", "1V."},
      {"no input", "V2."},
      {"lowercase signal letter", "1v2."},
      {"unknown signal letter", "1X2."},
      {"lowercase keyword", "status."},
      {"input to all with 257", "257All."},
      {"All without input", "All."},
      {"close list with one output out of range", "1,2,300$."},
      {"close list with output 0", "0$."},
      {"input k to output k with 257", "5,257#."},
      {"route list with one output out of range", "3B4,5,257."},
      {"recall a never-saved group", "Recall4."},
      {"undo with nothing to undo", "Undo."},
      {"matrix command ended by ';'", "Status;"},
      {"system command ended by '.'", "/*Type."},
      {"unknown system command", "/*Kind;"},
      {"password of 7: its ';' is the eighth byte", "/+abcd123;.;"},
      {"password of 9", "/+abcd12345;"},
  };
  for (const auto& [name, command] : errors) {
    QTest::newRow(name) << QByteArray() << QByteArray(command) << kError;
  }
}

void TestSimCore::commandReplies() {
  QFETCH(QByteArray, setup);
  QFETCH(QByteArray, command);
  QFETCH(QByteArray, reply);
  SwitcherCore core;
  core.feed(setup);
  const QByteArray before = core.feed("Status.");
  QCOMPARE(core.feed(command), reply);
  if (reply == kError) QCOMPARE(core.feed("Status."), before);
}

void TestSimCore::passwordIsKeptVerbatim() {
  // Blanks, '.' and ';' belong to the password: its eight bytes are taken by length.
  SwitcherCore core;
  QCOMPARE(core.feed("/+ab. cd e;Status1."), QByteArray("Password Set!\r\n") + av(1, 1));
  QCOMPARE(core.password(), QByteArray("ab. cd e"));
  QCOMPARE(core.feed("/+ab;cd;e;;Status1."), QByteArray("Password Set!\r\n") + av(1, 1));
  QCOMPARE(core.password(), QByteArray("ab;cd;e;"));
  QCOMPARE(core.feed("/+short;Status1.;"), kError);
  QCOMPARE(core.password(), QByteArray("ab;cd;e;"));
}

void TestSimCore::lockFlagOnlyChangesReply() {
  SwitcherCore core;
  core.feed("/%Lock;");
  QVERIFY(core.locked());
  QCOMPARE(core.feed("3B4."), av(3, 4));
  core.feed("/%Unlock;");
  QVERIFY(!core.locked());
}

void TestSimCore::splitAtEveryPosition() {
  const QByteArray script =
      "\r\n /*Type;1V2,3. \r\n10A3.Foo.Status3.\t/+pa.ss;rd;/+12345678;Save1.0All.Recall1.Status2."
      "Undo.1,2$.Status1.";
  const QByteArray expected = "MATRIX 256X256\r\n" + split(1, 2, 2) + split(1, 3, 3) +
                              split(1, 10, 3) + kError + split(1, 10, 3) + "Password Set!\r\n" +
                              "Password Set!\r\n" + "Save To F 1.\r\n" + "0 To All.\r\n" +
                              "Recall From F 1.\r\n" + split(1, 2, 2) + "Undo OK.\r\n" +
                              av(0, 1) + av(0, 2) + av(0, 1);
  QCOMPARE(SwitcherCore().feed(script), expected);

  for (int at = 0; at <= script.size(); ++at) {
    SwitcherCore core;
    QByteArray got = core.feed(script.left(at));
    got += core.feed(script.mid(at));
    QVERIFY2(got == expected, qPrintable(QStringLiteral("split at %1").arg(at)));
  }
  SwitcherCore bytewise;
  QByteArray got;
  for (char c : script) got += bytewise.feed(QByteArray(1, c));
  QCOMPARE(got, expected);
}

void TestSimCore::resync_data() {
  QTest::addColumn<QByteArray>("input");
  QTest::addColumn<QByteArray>("reply");

  const QByteArray x256(sim::kMaxCommandLength, 'x');
  QTest::newRow("bad command, then the next is served") << QByteArray("Foo.Status1.") << kError + av(1, 1);
  QTest::newRow("256 bytes then a terminator is one command") << x256 + "." << kError;
  QTest::newRow("257 bytes without terminator: error at once") << x256 + "x" << kError;
  QTest::newRow("overflow drops up to the next '.'") << x256 + "xxx.Status1." << kError + av(1, 1);
  QTest::newRow("overflow drops up to the next ';'") << x256 + "xx;Status1." << kError + av(1, 1);
  QTest::newRow("long flood gives one error") << QByteArray(100000, 'x') << kError;
  QTest::newRow("an unterminated password overflows too")
      << "/+" + QByteArray(300, '.') + ";Status1." << kError + av(1, 1);
  QTest::newRow("CR, LF and blanks between commands ignored")
      << QByteArray("\r\n  Status1.\r\n\t\r\nStatus2.  \r\n") << av(1, 1) + av(2, 2);
  QTest::newRow("lone terminators are empty commands") << QByteArray(".;") << kError + kError;
  QTest::newRow("control and high bytes") << QByteArray("\x01\xff\x7f.Status1.", 12) << kError + av(1, 1);
  QTest::newRow("NUL inside a command") << QByteArray("Stat\0us1.Status1.", 17) << kError + av(1, 1);
  QTest::newRow("unterminated tail waits") << QByteArray("Status1.Status2") << av(1, 1);
}

void TestSimCore::resync() {
  QFETCH(QByteArray, input);
  QFETCH(QByteArray, reply);
  SwitcherCore core;
  QCOMPARE(core.feed(input), reply);
}

void TestSimCore::overflowAcrossReads() {
  SwitcherCore core;
  QCOMPARE(core.feed(QByteArray(200, 'x')), QByteArray());
  QCOMPARE(core.feed(QByteArray(56, 'x')), QByteArray());
  QCOMPARE(core.feed("x"), kError);  // the 257th byte
  QCOMPARE(core.feed(QByteArray(500, 'y')), QByteArray());
  QCOMPARE(core.feed("y.Status1."), av(1, 1));
}

void TestSimCore::clientsHaveOwnFramers() {
  // Two clients interleave partial commands on one matrix.
  SwitcherCore core;
  sim::CommandFramer a;
  sim::CommandFramer b;
  QCOMPARE(core.feed(a, "9B"), QByteArray());
  QCOMPARE(core.feed(b, "Status"), QByteArray());
  QCOMPARE(core.feed(a, "5."), av(9, 5));
  QCOMPARE(core.feed(b, "5."), av(9, 5));
}

void TestSimCore::smallMatrixLimits_data() {
  QTest::addColumn<QByteArray>("command");
  QTest::addColumn<QByteArray>("reply");
  // A 4-input, 8-output matrix.
  QTest::newRow("type") << QByteArray("/*Type;") << QByteArray("MATRIX 4X8\r\n");
  QTest::newRow("last input to last output") << QByteArray("4V8.") << split(4, 0, 8);
  QTest::newRow("input beyond the inputs") << QByteArray("5V1.") << kError;
  QTest::newRow("output beyond the outputs") << QByteArray("1V9.") << kError;
  QTest::newRow("status beyond the outputs") << QByteArray("Status9.") << kError;
  QTest::newRow("k to k needs input k") << QByteArray("4,5#.") << kError;
  QTest::newRow("status of an output past the inputs") << QByteArray("Status5.") << av(0, 5);
  QTest::newRow("input to all beyond the inputs") << QByteArray("5All.") << kError;
}

void TestSimCore::smallMatrixLimits() {
  QFETCH(QByteArray, command);
  QFETCH(QByteArray, reply);
  SwitcherCore core(4, 8);
  QCOMPARE(core.feed(command), reply);
}

void TestSimCore::sizeIsClamped() {
  // Route reports have three-digit fields; a larger matrix could not be reported.
  SwitcherCore tiny(0, 0);
  QCOMPARE(tiny.feed("/*Type;"), QByteArray("MATRIX 1X1\r\n"));
  SwitcherCore huge(5000, 5000);
  QCOMPARE(huge.feed("/*Type;"), QByteArray("MATRIX 999X999\r\n"));
  QCOMPARE(huge.feed("999B999."), av(999, 999));
}

void TestSimCore::undoRestoresOneLevel() {
  SwitcherCore core;
  core.feed("1V2.");
  core.feed("3A2.");
  QCOMPARE(core.feed("Undo."), QByteArray("Undo OK.\r\n"));
  QCOMPARE(core.feed("Status2."), split(1, 2, 2));
  QCOMPARE(core.feed("Undo."), kError);  // one level only
  QCOMPARE(core.feed("Status2."), split(1, 2, 2));

  // Saving, clearing, querying and refused commands are not changes to undo.
  core.feed("All$.");
  core.feed("Save1.");
  core.feed("Clear1.");
  core.feed("Status.");
  core.feed("1V999.");
  QCOMPARE(core.feed("Undo."), QByteArray("Undo OK.\r\n"));
  QCOMPARE(core.feed("Status2."), split(1, 2, 2));

  // A recall is a change like any other.
  core.feed("Save5.");
  core.feed("All$.");
  core.feed("Recall5.");
  core.feed("All$.");
  core.feed("Recall5.");
  QCOMPARE(core.feed("Undo."), QByteArray("Undo OK.\r\n"));
  QCOMPARE(core.feed("Status2."), av(0, 2));
}

void TestSimCore::presetsHoldWholeMatrix() {
  SwitcherCore core;
  core.feed("1V2.7A3.9B256.");
  const QByteArray saved = core.feed("Status.");
  core.feed("Save3.");
  core.feed("All$.");
  core.feed("Save4.");
  core.feed("Recall3.");
  QCOMPARE(core.feed("Status."), saved);
  core.feed("Recall4.");
  QCOMPARE(core.feed("Status1."), av(0, 1));
  core.feed("Clear3.");
  QCOMPARE(core.feed("Recall3."), kError);
  QCOMPARE(core.feed("Status1."), av(0, 1));
  QCOMPARE(core.feed("Recall4."), QByteArray("Recall From F 4.\r\n"));
}

void TestSimCore::reportsParseWithConsoleRules() {
  // Every line the simulator writes must be read by the console as the simulator meant it.
  SwitcherCore core;
  QByteArray all = core.feed("/*Type;/^Version;Status.");
  core.feed("0V1.9A2.256B3.12V256.");
  all += core.feed("Status.1,2,3,256$.Save1.Undo.Status.Foo./%Lock;/%Unlock;/+12345678;");

  int reports = 0;
  for (QByteArray lineWithCr : replyLines(all)) {
    QVERIFY2(lineWithCr.endsWith('\r'), lineWithCr.constData());
    const QByteArray text = lineWithCr.chopped(1);
    QVERIFY(text.size() <= feedback::kMaxLineLength);
    const feedback::Line line = feedback::ParseLine(text);
    if (line.kind == feedback::Kind::Other) {
      QVERIFY2(!text.startsWith("VIDEO") && !text.startsWith("AUDIO") && !text.startsWith(" A/V "),
               text.constData());
      continue;
    }
    ++reports;
    QVERIFY2(text.size() >= kMinReportLength, text.constData());
    const int input = text.mid(7, 3).toInt();
    const int output = text.mid(13, 3).toInt();
    QCOMPARE(line.input, input);
    if (line.kind != feedback::Kind::Audio) QCOMPARE(line.output, output);
  }
  QVERIFY(reports >= 3 * 256);
}

QTEST_GUILESS_MAIN(TestSimCore)
#include "tst_simcore.moc"
