// The engine with no window: it identifies the switcher its own link reaches (here the
// simulator's core behind a link of the test), follows the link's loss, bounds the clients'
// commands, and runs presets whole or not at all.

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "CommandQueue.h"
#include "Presets.h"
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
  CoreLink() : core(8, 4) {}
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
      for (const QByteArray& line : reply.split('\n'))
        if (!line.trimmed().isEmpty()) emit lineReceived(line.endsWith('\r') ? line.chopped(1) : line);
    }, Qt::QueuedConnection);
  }
  sim::SwitcherCore core;
  QList<QByteArray> written;
  std::vector<std::pair<QByteArray, Written>> waiting;
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
  QCOMPARE(e.runPreset("1", "mqtt"), engine::SendResult::Accepted);
  link->release();
  QCOMPARE(link->written.mid(link->written.size() - 3), (QList<QByteArray>{"1V1.", "2V2.", "3V3."}));
  QCOMPARE(e.runPreset("9", "web"), engine::SendResult::LinkClosed);  // no such preset
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
  QCOMPARE(p.all()[1].id, QStringLiteral("2"));  // the same name, told apart by place
  QVERIFY(p.all()[1].codes.isEmpty());
  QVERIFY(!p.load(dir.filePath("missing.cgf")).isEmpty());
  QCOMPARE(p.all().size(), 2);  // kept as they were
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
