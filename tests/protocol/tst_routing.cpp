// The routing table fed by route reports, routing snapshots replayed on the simulator's core,
// and the names store with its CSV import.
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "Feedback.h"
#include "Ini.h"
#include "Names.h"
#include "RoutingSnapshot.h"
#include "RoutingTable.h"
#include "SwitcherCore.h"

using routing::Route;

namespace {

const QDateTime kWhen(QDate(2026, 12, 8), QTime(14, 3));

// Every reply line of the core, as the console would read it, into the table.
void Report(routing::RoutingTable& table, const QByteArray& reply) {
  for (const QByteArray& line : reply.split('\n'))
    table.apply(feedback::ParseLine(line.endsWith('\r') ? line.chopped(1) : line));
}

// Sets the core to a random routing: video and audio independent, about a tenth of the
// outputs closed and a tenth with one signal closed.
void RouteAtRandom(sim::SwitcherCore& core, quint32 seed) {
  QRandomGenerator rng(seed);
  for (int o = 1; o <= routing::kOutputs; ++o) {
    const int v = rng.bounded(10) == 0 ? 0 : int(rng.bounded(1, 257));
    const int a = rng.bounded(10) == 0 ? 0 : rng.bounded(4) == 0 ? v : int(rng.bounded(1, 257));
    core.execute(QByteArray::number(v) + 'V' + QByteArray::number(o) + '.');
    core.execute(QByteArray::number(a) + 'A' + QByteArray::number(o) + '.');
  }
}

}  // namespace

class TestRouting : public QObject {
  Q_OBJECT

 private slots:
  void table_data();
  void table();
  void snapshotRestoresRouting_data();
  void snapshotRestoresRouting();
  void snapshotItems_data();
  void snapshotItems();
  void csvImport_data();
  void csvImport();
  void namesKeptAsTheyAre_data();
  void namesKeptAsTheyAre();
  void joinersAreText();
  void namesFileAndCsvRoundTrip();
};

void TestRouting::table_data() {
  QTest::addColumn<QByteArrayList>("lines");  // "close" stands for the dialog's close
  QTest::addColumn<int>("video");
  QTest::addColumn<int>("audio");
  QTest::addColumn<int>("changes");  // of output 12

  QTest::newRow("unknown until reported") << QByteArrayList{} << -1 << -1 << 0;
  QTest::newRow("A/V sets both, once")
      << QByteArrayList{" A/V : 003 > 012", " A/V : 003 > 012"} << 3 << 3 << 1;
  QTest::newRow("video alone leaves audio unknown")
      << QByteArrayList{"VIDEO: 003 > 012"} << 3 << -1 << 1;
  QTest::newRow("audio then video")
      << QByteArrayList{"AUDIO: 005 > 012", "VIDEO: 003 > 012"} << 3 << 5 << 2;
  QTest::newRow("A/V after a breakaway")
      << QByteArrayList{"VIDEO: 003 > 012", "AUDIO: 005 > 012", " A/V : 007 > 012"} << 7 << 7
      << 3;
  QTest::newRow("dialog close")
      << QByteArrayList{"VIDEO: 003 > 012", "AUDIO: 005 > 012", "close"} << 0 << 0 << 3;
  QTest::newRow("audio line's output field is read")
      << QByteArrayList{"AUDIO: 005 > 013"} << -1 << -1 << 0;
  QTest::newRow("no such output, other lines")
      << QByteArrayList{"VIDEO: 003 > 000", "AUDIO: 003 > 257", "Command Code Error!", "VIDEO"}
      << -1 << -1 << 0;
}

void TestRouting::table() {
  QFETCH(QByteArrayList, lines);
  QFETCH(int, video);
  QFETCH(int, audio);
  QFETCH(int, changes);
  routing::RoutingTable table;
  QSignalSpy changed(&table, &routing::RoutingTable::changed);
  for (const QByteArray& l : lines) {
    if (l == "close")
      table.close(12);
    else
      table.apply(feedback::ParseLine(l));
  }
  QCOMPARE(table.route(12).video, video);
  QCOMPARE(table.route(12).audio, audio);
  QCOMPARE(std::count_if(changed.begin(), changed.end(),
                         [](const QList<QVariant>& args) { return args.at(0).toInt() == 12; }),
           changes);
}

void TestRouting::snapshotRestoresRouting_data() {
  QTest::addColumn<QByteArray>("setup");  // a command before the capture, else a random routing
  QTest::addColumn<quint32>("seed");
  QTest::addColumn<int>("maxItems");

  QTest::newRow("random breakaways and closes") << QByteArray() << 1u << 400;
  QTest::newRow("random, another seed") << QByteArray() << 2u << 400;
  QTest::newRow("identity") << QByteArray("All#.") << 0u << 256;
  // The fewest commands: ceil(sum of each output's digits and comma / room in a command).
  QTest::newRow("all closed: closes split at 64 bytes") << QByteArray("All$.") << 0u << 15;
  QTest::newRow("one input everywhere: lists split") << QByteArray("200All.") << 0u << 16;
  QTest::newRow("input 7 everywhere: 15 commands") << QByteArray("7All.") << 0u << 15;
  // First fit takes 3 commands for input 7's outputs where 2 of exactly 64 bytes hold them.
  QByteArray two = "8All.7B";
  for (int o : {10, 100}) 
    for (int k = o; k < o + (o == 10 ? 24 : 13); ++k) two += QByteArray::number(k) + (k == 112 ? "." : ",");
  QTest::newRow("a set first fit packs badly") << two << 0u << 15;
  QTest::newRow("audio closed on some outputs") << QByteArray("0A1,2,3,4,5,6,7,8.") << 0u << 257;
}

void TestRouting::snapshotRestoresRouting() {
  QFETCH(QByteArray, setup);
  QFETCH(quint32, seed);
  QFETCH(int, maxItems);
  sim::SwitcherCore core;
  if (setup.isEmpty())
    RouteAtRandom(core, seed);
  else
    core.feed(setup);
  std::vector<sim::SwitcherCore::Route> captured;
  for (int o = 1; o <= routing::kOutputs; ++o) captured.push_back(core.route(o));

  routing::RoutingTable table;
  table.setBoth(1, 99);  // stale knowledge from before the refresh
  table.beginRefresh();
  QSignalSpy done(&table, &routing::RoutingTable::allReported);
  Report(table, core.execute("Status."));
  QCOMPARE(done.count(), 1);
  const routing::Snapshot snap = routing::MakeSnapshot(table.refreshedRoutes(), nullptr, kWhen);
  QCOMPARE(snap.unknownOutputs, 0);
  QCOMPARE(snap.description, QStringLiteral("2026-12-08 14:03"));
  QVERIFY2(snap.items.size() <= maxItems, qPrintable(QString::number(snap.items.size())));

  RouteAtRandom(core, 99);  // scramble
  for (const routing::SnapshotItem& item : snap.items) {
    QVERIFY2(item.code.size() <= routing::kMaxCommandBytes, item.code.constData());
    QVERIFY2(!core.execute(item.code).contains(sim::kErrorText), item.code.constData());
  }
  for (int o = 1; o <= routing::kOutputs; ++o) {
    QCOMPARE(core.route(o).video, captured[size_t(o - 1)].video);
    QCOMPARE(core.route(o).audio, captured[size_t(o - 1)].audio);
  }
}

void TestRouting::snapshotItems_data() {
  QTest::addColumn<QList<int>>("routes");  // output 1, 2, ...: video, audio; -1 unknown
  QTest::addColumn<QString>("group");
  QTest::addColumn<QStringList>("items");  // "code  description"

  QTest::newRow("named and unnamed inputs, closes first")
      << QList<int>{2, 2, 5, 5, 0, 0, 2, 2, 0, 0} << QStringLiteral("2026-12-08 14:03")
      << QStringList{"3,5$.  Close 2 outputs", "2B1,4.  Camera 2 to 2 outputs",
                     "5B2.  Input 5 to 1 output"};
  QTest::newRow("breakaway and a single closed signal")
      << QList<int>{3, 2, 0, 2, 4, 0} << QStringLiteral("2026-12-08 14:03")
      << QStringList{"0V2.  Close video of 1 output", "3V1.  Input 3 video to 1 output",
                     "4V3.  Input 4 video to 1 output", "0A3.  Close audio of 1 output",
                     "2A1,2.  Camera 2 audio to 2 outputs"};
  QTest::newRow("unknown outputs left out and counted")
      << QList<int>{-1, -1, 7, -1, 7, 7, -1, 3}
      << QStringLiteral("2026-12-08 14:03 (3 outputs unknown)")
      << QStringList{"7B3.  Input 7 to 1 output"};
}

void TestRouting::snapshotItems() {
  QFETCH(QList<int>, routes);
  QFETCH(QString, group);
  QFETCH(QStringList, items);
  std::vector<Route> table(1);
  for (int k = 0; k + 1 < routes.size(); k += 2) table.push_back({routes[k], routes[k + 1]});
  names::Names names;
  names.set(names::Kind::Input, 2, QStringLiteral("Camera 2"));
  const routing::Snapshot snap = routing::MakeSnapshot(table, &names, kWhen);
  QStringList made;
  for (const routing::SnapshotItem& i : snap.items)
    made << QString::fromLatin1(i.code) + QStringLiteral("  ") + i.description;
  QCOMPARE(snap.user, QStringLiteral("Routing"));
  QCOMPARE(snap.description, group);
  QCOMPARE(made, items);
}

void TestRouting::csvImport_data() {
  QTest::addColumn<QByteArray>("csv");
  QTest::addColumn<QStringList>("named");    // "input 1=Camera" for each name afterwards
  QTest::addColumn<QStringList>("skipped");  // "Row n" and a word of the reason

  QTest::newRow("quotes, commas, header, BOM, no final line end")
      << QByteArray("\xEF\xBB\xBFkind,number,name\r\ninput,1,\"Cam \"\"A\"\", left\"\r\n"
                    "output,256,Beamer \xC3\xA9")
      << QStringList{"input 1=Cam \"A\", left", "output 256=Beamer \u00e9"} << QStringList{};
  QTest::newRow("newline in a field: a control character; rows still counted")
      << QByteArray("input,1,\"two\nlines\"\ninput,2,Two\n")
      << QStringList{"input 2=Two"} << QStringList{"Row 1 control"};
  QTest::newRow("bad number, kind, duplicate, too long, field count")
      << QByteArray("kind,number,name\ninput,0,A\ninput,257,B\ncamera,3,C\noutput,x,D\n"
                    "input,4,E\nINPUT,004,F\ninput,5," + QByteArray(65, 'x') + "\ninput,6\n")
      << QStringList{"input 4=E"}
      << QStringList{"Row 2 number", "Row 3 number", "Row 4 neither", "Row 5 number",
                     "Row 7 earlier", "Row 8 65", "Row 9 fields"};
  QTest::newRow("bad quoting costs only its own row")
      << QByteArray("input,1,ab\"c\ninput,2,\"x\"y\ninput,3,\"open\ninput,4,Four\n")
      << QStringList{"input 4=Four"}
      << QStringList{"Row 1 quoting", "Row 2 quoting", "Row 3 quoting"};
}

void TestRouting::csvImport() {
  QFETCH(QByteArray, csv);
  QFETCH(QStringList, named);
  QFETCH(QStringList, skipped);
  names::Names names;
  const names::CsvImport result = names.importCsv(csv);
  QCOMPARE(result.skipped.size(), skipped.size());
  for (int k = 0; k < skipped.size(); ++k) {
    const QString row = skipped[k].section(' ', 0, 1) + ':';
    QVERIFY2(result.skipped[k].startsWith(row) &&
                 result.skipped[k].contains(skipped[k].section(' ', 2)),
             qPrintable(result.skipped[k]));
  }
  QStringList got;
  for (names::Kind kind : {names::Kind::Input, names::Kind::Output})
    for (int n = 1; n <= names::kMaxNumber; ++n)
      if (!names.name(kind, n).isEmpty())
        got << QStringLiteral("%1 %2=%3")
                     .arg(kind == names::Kind::Input ? "input" : "output")
                     .arg(n)
                     .arg(names.name(kind, n));
  QCOMPARE(got, named);
  QCOMPARE(result.imported, named.size());
}

void TestRouting::namesKeptAsTheyAre_data() {
  QTest::addColumn<QByteArray>("line");
  QTest::addColumn<QString>("kept");
  QTest::newRow("Latin-1 name") << QByteArray("3=Cam\xe9ra") << "input 3 (name is not UTF-8 text)";
  QTest::newRow("65 characters") << "3=" + QByteArray(65, 'x') << "input 3 (name longer than 64 characters)";
  QTest::newRow("control character") << QByteArray("3=a\x01b") << "input 3 (name holds control characters)";
  QTest::newRow("bidi override") << QByteArray("3=a\xE2\x80\xAE" "b") << "input 3 (name holds control characters)";
  QTest::newRow("line separator") << QByteArray("3=a\xE2\x80\xA8" "b") << "input 3 (name holds control characters)";
  QTest::newRow("paragraph separator") << QByteArray("3=a\xE2\x80\xA9" "b") << "input 3 (name holds control characters)";
  QTest::newRow("number over 256") << QByteArray("300=Far") << "input 300 (key is not a number from 1 to 256)";
  QTest::newRow("key not a number") << QByteArray("cam = Front") << "input \"cam\" (key is not a number from 1 to 256)";
  QTest::newRow("long key") << QByteArray(300, '7') + "=x" << "input \"" + QString(300, '7') + "\" (key is not a number from 1 to 256)";
  QTest::newRow("named twice") << QByteArray("5=Again") << "input 5 (number named earlier in the section)";
}

// Entries the loader cannot take stay in the file, byte for byte, through every save.
void TestRouting::namesKeptAsTheyAre() {
  QFETCH(QByteArray, line);
  QFETCH(QString, kept);
  QTemporaryDir dir;
  const QString file = dir.filePath("Names.ini");
  QFile f(file);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("[Inputs]\n5=Cam\n" + line + "\n");
  f.close();
  names::Names n = names::Names::load(file);
  QCOMPARE(n.keptText(), QStringList{kept});
  QCOMPARE(n.name(names::Kind::Input, 5), QString("Cam"));
  for (const char* name : {"Camera 6", ""}) {
    n.set(names::Kind::Input, 6, QString::fromLatin1(name));
    QVERIFY(n.save(file));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY2(f.readAll().split('\n').contains(line), qPrintable(file));
    f.close();
    QCOMPARE(names::Names::load(file).keptText(), QStringList{kept});
  }
}

// Zero-width joiners belong to Persian and Indic words and emoji sequences, unlike the other
// format characters.
void TestRouting::joinersAreText() {
  names::Names n;
  for (const QString& name : {QStringLiteral("Studio \u0645\u06CC\u200C\u0631\u0648\u062F"), QStringLiteral("Crew \U0001F469\u200D\U0001F4BB")})
    QCOMPARE(n.set(names::Kind::Input, 1, name), QString());
  QVERIFY(!n.set(names::Kind::Input, 1, QStringLiteral("a\u202Eb")).isEmpty());
}

void TestRouting::namesFileAndCsvRoundTrip() {
  QTemporaryDir dir;
  const QString file = dir.filePath("Names.ini");
  QVERIFY(names::Names::load(file).isEmpty());

  names::Names names;
  QVERIFY(names.set(names::Kind::Input, 1, QString(64, QChar(0x4E2D))).isEmpty());
  QVERIFY(!names.set(names::Kind::Input, 2, QString(65, 'x')).isEmpty());
  QVERIFY(!names.set(names::Kind::Output, 3, QStringLiteral("a\tb")).isEmpty());
  names.set(names::Kind::Input, 7, QStringLiteral("\"quoted\", with comma"));
  names.set(names::Kind::Output, 256, QStringLiteral("  Projector left  "));
  QCOMPARE(names.name(names::Kind::Output, 256), QStringLiteral("Projector left"));

  names::Names fromCsv;
  fromCsv.importCsv(names.toCsv());
  QVERIFY(fromCsv == names);

  QVERIFY(platform::WritePrivateProfileString("Other", "Key", "kept", file));
  QVERIFY(names.save(file));
  QVERIFY(names::Names::load(file) == names);
  QCOMPARE(platform::GetPrivateProfileString("Other", "Key", "", 16, file), QByteArray("kept"));
  QVERIFY(names::Names().save(file));
  QVERIFY(names::Names::load(file).isEmpty());
  QCOMPARE(platform::GetPrivateProfileString("Other", "Key", "", 16, file), QByteArray("kept"));
}

QTEST_GUILESS_MAIN(TestRouting)
#include "tst_routing.moc"
