// The engine with no window: it identifies the switcher its own link reaches (here the
// simulator's core behind a link of the test), follows the link's loss, bounds the clients'
// commands, and runs presets whole or not at all.

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "CommandQueue.h"
#include "Feedback.h"
#include "Presets.h"
#include "RoutingSnapshot.h"
#include "RoutingTable.h"
#include "SwitcherCore.h"
#include "SwitcherEngine.h"
#include "SwitcherLink.h"

namespace {
constexpr int kWaitMs = 10000;

// The switcher's core behind a link: replies come on the next turn, as from a device.
// Held: writes wait (a device that does not take bytes) until released.
class CoreLink final : public engine::SwitcherLink {
 public:
  CoreLink(int inputs = 8, int outputs = 4) : core(inputs, outputs) {}
  bool isUp() const override { return up; }
  QString name() const override { return QStringLiteral("core"); }
  void write(const QByteArray& command, Written done) override {
    if (!up) {
      if (done) done(false);
      return;
    }
    if (held) {
      waiting.push_back({command, std::move(done)});
      return;
    }
    deliver(command, done);
  }
  void open() override {
    up = true;
    emit opened();
  }
  void lose() {
    up = false;
    auto gone = std::move(waiting);
    waiting.clear();
    for (auto& w : gone)
      if (w.second) w.second(false);
    emit lost(QStringLiteral("unplugged"));
  }
  void releaseFirst() {
    auto first = std::move(waiting.front());
    waiting.erase(waiting.begin());
    deliver(first.first, first.second);
  }
  void release() {
    held = false;
    auto go = std::move(waiting);
    waiting.clear();
    for (auto& w : go) deliver(w.first, w.second);
  }
  void deliver(const QByteArray& command, const Written& done) {
    written << command;
    if (done) done(true);
    const QByteArray reply = core.feed(command);
    QMetaObject::invokeMethod(this, [this, reply] {
      for (QByteArray line : reply.split('\n')) {
        if (line.endsWith('\r')) line.chop(1);
        if (!line.trimmed().isEmpty() && !silent.contains(feedback::ParseLine(line).output)) emit lineReceived(line);
      }
    }, Qt::QueuedConnection);
  }
  sim::SwitcherCore core;
  QList<QByteArray> written;
  std::vector<std::pair<QByteArray, Written>> waiting;
  QList<int> silent;  // outputs whose reports never come
  bool up = false;
  bool held = false;
};
}  // namespace

class TestEngine : public QObject {
  Q_OBJECT
 private slots:
  void identifiesAndFollowsTheLink();
  void clientBounds();
  void presetRunsWholeOrNotAtAll();
  void presetsFromTheCodeFile();
  void presetIdsSurviveEdits_data();
  void presetIdsSurviveEdits();
  void captureKeptOrWhyNot_data();
  void captureKeptOrWhyNot();
};

void TestEngine::identifiesAndFollowsTheLink() {
  engine::SwitcherEngine e;
  auto* link = new CoreLink;
  e.setLink(link, engine::LinkOwner::Engine);
  QSignalSpy states(&e, &engine::SwitcherEngine::stateChanged);
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  QCOMPARE(e.model(), QStringLiteral("MATRIX 8X4"));
  QCOMPARE(e.inputs(), 8);
  QCOMPARE(e.outputs(), 4);
  QCOMPARE(e.routes().route(3).video, 3);  // the status of every output was asked for
  QVERIFY(link->written.contains("Status."));

  // Commands that wait when the link goes are told so, at once.
  link->held = true;
  int dropped = 0;
  QCOMPARE(e.sendClient("1V1.", "c", [&] { ++dropped; }), engine::SendResult::Accepted);
  link->lose();
  QCOMPARE(dropped, 1);
  QCOMPARE(e.state(), engine::LinkState::Lost);
  QCOMPARE(e.reason(), QStringLiteral("unplugged"));
  QCOMPARE(e.sendClient("1V1.", "c"), engine::SendResult::LinkClosed);
  QCOMPARE(e.queue().waiting("c"), 0);

  // Back: identified again.
  link->held = false;
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  QCOMPARE(link->written.count("/*Type;"), 2);
}

// At most 256 of one client and 4096 of all wait; what has gone no longer counts, however
// many went before.
void TestEngine::clientBounds() {
  engine::SwitcherEngine e;
  auto* link = new CoreLink;
  e.setLink(link, engine::LinkOwner::Engine);
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  link->held = true;
  int accepted = 0;
  for (int c = 0; c <= engine::kClientWaitingAll / engine::kClientWaitingEach; ++c)
    for (int i = 0; i <= engine::kClientWaitingEach; ++i)
      accepted += e.sendClient("1V1.", QString::number(c)) == engine::SendResult::Accepted;
  QCOMPARE(accepted, engine::kClientWaitingAll);
  QCOMPARE(e.sendClient("1V1.", "late"), engine::SendResult::Busy);
  QVERIFY(!e.queue().clientCanTake("0", 1));
  // Everything goes out, twice over: the counters come back to nothing each time.
  for (int round = 0; round < 2; ++round) {
    link->release();
    QTRY_COMPARE_WITH_TIMEOUT(e.queue().clientsWaiting(), 0, kWaitMs);
    link->held = true;
    for (int i = 0; i < engine::kClientWaitingAll; ++i)
      QCOMPARE(e.sendClient("1V1.", QString::number(i % 16)), engine::SendResult::Accepted);
  }
  QCOMPARE(e.sendClient("1V1.", "late"), engine::SendResult::Busy);
}

void TestEngine::presetRunsWholeOrNotAtAll() {
  engine::SwitcherEngine e;
  auto* link = new CoreLink;
  e.setLink(link, engine::LinkOwner::Engine);
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  e.presets().set({{"1", "User: Group", {"1V1.", "2V2.", "3V3."}}});
  link->held = true;
  for (int i = 0; i < engine::kClientWaitingEach - 2; ++i) e.sendClient("4V4.", "web");
  QCOMPARE(e.runPreset("1", "web"), engine::SendResult::Busy);  // 3 do not fit in 2
  QCOMPARE(e.queue().waiting("web"), engine::kClientWaitingEach - 2);
  QList<QPair<int, int>> told;  // sent of total, once a run is over
  const auto outcome = [&](int sent, int total) { told << qMakePair(sent, total); };
  QCOMPARE(e.runPreset("1", "mqtt", outcome), engine::SendResult::Accepted);
  QVERIFY(told.isEmpty());
  link->release();
  QCOMPARE(link->written.mid(link->written.size() - 3), (QList<QByteArray>{"1V1.", "2V2.", "3V3."}));
  QCOMPARE(told, (QList<QPair<int, int>>{{3, 3}}));
  QCOMPARE(e.runPreset("9", "web"), engine::SendResult::LinkClosed);  // no such preset
  // The link goes after the first command: the rest are told as not sent, once.
  QTRY_COMPARE_WITH_TIMEOUT(e.queue().waiting("web"), 0, kWaitMs);
  link->held = true;
  QCOMPARE(e.runPreset("1", "web", outcome), engine::SendResult::Accepted);
  link->releaseFirst();
  link->lose();
  QCOMPARE(told, (QList<QPair<int, int>>{{3, 3}, {1, 3}}));
}

void TestEngine::presetsFromTheCodeFile() {
  QTemporaryDir dir;
  QFile f(dir.filePath("rack.cgf"));
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("<CodeTree User=\"Vantrel\" Description=\"CodeTree\">\r\n"
          "<0 Type=\"3\" User=\"Orphan\" Description=\"x\" Code=\"9V9.\"/>\r\n"
          "<1 Type=\"2\" User=\"Show\" Description=\"Open\"/>\r\n"
          "<2 Type=\"3\" User=\"a\" Description=\"b\" Code=\"1V1.\"/>\r\n"
          "<3 Type=\"3\" User=\"a\" Description=\"c\" Code=\"2B3,4.\"/>\r\n"
          "<4 Type=\"2\" User=\"Show\" Description=\"Open\"/>\r\n"
          "</CodeTree>\r\n");
  f.close();
  engine::Presets p;
  QCOMPARE(p.load(f.fileName()), QString());
  QCOMPARE(p.all().size(), 2);
  QCOMPARE(p.all()[0].name, QStringLiteral("Show: Open"));
  QCOMPARE(p.all()[0].codes, (QList<QByteArray>{"1V1.", "2B3,4."}));
  QVERIFY(p.all()[1].id != p.all()[0].id);  // the same name, other codes
  QVERIFY(p.all()[1].codes.isEmpty());
  QVERIFY(!p.load(dir.filePath("missing.cgf")).isEmpty());
  QCOMPARE(p.all().size(), 2);  // kept as they were
}

void TestEngine::presetIdsSurviveEdits_data() {
  QTest::addColumn<QStringList>("before");  // "name=code,code", in file order
  QTest::addColumn<QStringList>("after");
  QTest::addColumn<int>("asked");           // which group's id of before a page still holds
  QTest::addColumn<int>("runs");            // the group of after it runs, -1: an error
  const QString a = "Show: A=1V1.", b = "Show: B=2V2.", c = "Show: C=3V3.";
  QTest::newRow("a group before it removed") << QStringList{a, b, c} << QStringList{b, c} << 1 << 0;
  QTest::newRow("a group added before it") << QStringList{b, c} << QStringList{a, b, c} << 1 << 2;
  QTest::newRow("its codes changed") << QStringList{a, b} << QStringList{a, "Show: B=2V3."} << 1 << -1;
  QTest::newRow("renamed") << QStringList{a, b} << QStringList{a, "Show: Bee=2V2."} << 1 << -1;
  QTest::newRow("it removed") << QStringList{a, b} << QStringList{a} << 1 << -1;
  QTest::newRow("the second of two copies, one removed") << QStringList{a, b, b} << QStringList{a, b} << 2 << -1;
  QTest::newRow("a copy kept apart") << QStringList{a, a} << QStringList{a, a} << 1 << 1;
}

// A page that has not yet heard the new list runs the group it meant, or is told it is gone.
void TestEngine::presetIdsSurviveEdits() {
  QFETCH(QStringList, before);
  QFETCH(QStringList, after);
  QFETCH(int, asked);
  QFETCH(int, runs);
  const auto presets = [](const QStringList& groups) {
    QList<engine::Preset> out;
    for (const QString& g : groups) {
      engine::Preset p;
      p.name = g.section('=', 0, 0);
      for (const QString& code : g.section('=', 1).split(',')) p.codes << code.toLatin1();
      out << p;
    }
    return out;
  };
  engine::Presets p;
  p.set(presets(before));
  const QString id = p.all()[asked].id;
  QCOMPARE(p.all().size(), before.size());
  p.set(presets(after));
  const engine::Preset* found = p.find(id);
  QCOMPARE(found ? int(found - p.all().data()) : -1, runs);
}

void TestEngine::captureKeptOrWhyNot_data() {
  QTest::addColumn<int>("inputs");
  QTest::addColumn<int>("outputs");
  QTest::addColumn<QList<int>>("silent");  // outputs that never report
  QTest::addColumn<QString>("keeperSays");
  QTest::addColumn<int>("unknown");       // in the group kept, -1: none kept
  QTest::addColumn<QString>("outcome");
  QTest::newRow("fewer inputs than outputs: every output") << 4 << 8 << QList<int>{} << QString() << 0 << QString();
  QTest::newRow("more inputs than outputs") << 8 << 4 << QList<int>{} << QString() << 0 << QString();
  QTest::newRow("two silent: kept at the bound") << 8 << 4 << QList<int>{2, 3} << QString() << 2 << QString();
  QTest::newRow("none reports") << 4 << 8 << QList<int>{1, 2, 3, 4, 5, 6, 7, 8} << QString() << -1
                                << QStringLiteral("no output reported within 3 s");
  QTest::newRow("not written") << 8 << 4 << QList<int>{} << QStringLiteral("disk full") << 0 << QStringLiteral("disk full");
}

// A capture ends when every output of the switcher has reported, or at its bound with those
// that did, and its requester hears whether the group was kept.
void TestEngine::captureKeptOrWhyNot() {
  QFETCH(int, inputs);
  QFETCH(int, outputs);
  QFETCH(QList<int>, silent);
  QFETCH(QString, keeperSays);
  QFETCH(int, unknown);
  QFETCH(QString, outcome);
  engine::SwitcherEngine e;
  auto* link = new CoreLink(inputs, outputs);
  e.setLink(link, engine::LinkOwner::Engine);
  link->open();
  QTRY_COMPARE_WITH_TIMEOUT(e.state(), engine::LinkState::Ready, kWaitMs);
  QCOMPARE(e.outputs(), outputs);
  link->silent = silent;
  QList<routing::Snapshot> kept;
  e.setPresetKeeper([&](const routing::Snapshot& snap) {
    kept << snap;
    return keeperSays;
  });
  QStringList told;
  QCOMPARE(e.captureRouting("web", [&](const QString& why) { told << why; }), QString());
  QCOMPARE(e.captureRouting("web"), QStringLiteral("a capture is already running"));
  QTRY_COMPARE_WITH_TIMEOUT(told.size(), 1, kWaitMs);
  QCOMPARE(told.first(), outcome);
  QCOMPARE(kept.size(), unknown < 0 ? 0 : 1);
  if (unknown >= 0) {
    QCOMPARE(kept.first().unknownOutputs, unknown);
    QCOMPARE(kept.first().description.contains(QLatin1String("unknown")), unknown > 0);
  }
  QCOMPARE(e.captureRouting("web"), QString());  // the next may start
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
