// Protected outputs: which outputs a client's command may move, and who may take, release and
// route what another holds.

#include "Protects.h"

#include <QtTest>

using routing::MovesOf;
using routing::Protects;

class TestProtects : public QObject {
  Q_OBJECT

 private slots:
  void moves_data();
  void moves();
  void holders();
};

void TestProtects::moves_data() {
  QTest::addColumn<QByteArray>("command");
  QTest::addColumn<QString>("moves");  // "all", or the outputs joined by commas
  QTest::newRow("route, list") << QByteArray("5V1,12.") << "1,12";
  QTest::newRow("audio") << QByteArray("5A3.") << "3";
  QTest::newRow("both") << QByteArray("5B256.") << "256";
  QTest::newRow("close list") << QByteArray("1,2$.") << "1,2";
  QTest::newRow("through list") << QByteArray("3,4#.") << "3,4";
  QTest::newRow("input to all") << QByteArray("5All.") << "all";
  QTest::newRow("all through") << QByteArray("All#.") << "all";
  QTest::newRow("all closed") << QByteArray("All$.") << "all";
  QTest::newRow("recall") << QByteArray("Recall3.") << "all";
  QTest::newRow("undo") << QByteArray("Undo.") << "all";
  QTest::newRow("status of all") << QByteArray("Status.") << "";
  QTest::newRow("status of one") << QByteArray("Status12.") << "";
  QTest::newRow("save") << QByteArray("Save3.") << "";
  QTest::newRow("clear") << QByteArray("Clear3.") << "";
  QTest::newRow("system command") << QByteArray("/%Lock;") << "";
  QTest::newRow("unknown letter") << QByteArray("5X1.") << "all";
  QTest::newRow("no input") << QByteArray("V1.") << "all";
  QTest::newRow("no outputs") << QByteArray("5V.") << "all";
  QTest::newRow("empty list entry") << QByteArray("5V1,,2.") << "all";
  QTest::newRow("no terminator") << QByteArray("5V1") << "all";
  QTest::newRow("status with junk") << QByteArray("Status1x.") << "all";
  QTest::newRow("lower-case route") << QByteArray("5v1.") << "all";
}

void TestProtects::moves() {
  QFETCH(QByteArray, command);
  QFETCH(QString, moves);
  const routing::CommandMoves m = MovesOf(command);
  QStringList outputs;
  for (int o : m.outputs) outputs << QString::number(o);
  QCOMPARE(m.all ? QString("all") : outputs.join(','), moves);
}

void TestProtects::holders() {
  Protects p;
  QSignalSpy changed(&p, &Protects::changed);
  QVERIFY(p.protect(3, {"a", "panel a"}));
  QVERIFY(p.protect(3, {"a", "panel a"}));  // again: nothing changes
  QCOMPARE(changed.count(), 1);
  QVERIFY(!p.protect(3, {"b", "panel b"}));
  QVERIFY(!p.protect(0, {"b", "b"}));
  QVERIFY(!p.protect(257, {"b", "b"}));
  QVERIFY(!p.release(3, "b"));
  QCOMPARE(p.holder(3)->label, QString("a"));
  // Routes: the holder may, others may not; a command that may move all is refused to others.
  QVERIFY(p.mayRun("5V3.", "a"));
  QVERIFY(!p.mayRun("5V2,3.", "b"));
  QVERIFY(p.mayRun("5V2,4.", "b"));
  QVERIFY(!p.mayRun("5All.", "b"));
  QVERIFY(p.mayRun("5All.", "a"));
  QVERIFY(p.mayRun("Status.", "b"));
  // A force takes it over, or ends it.
  QVERIFY(p.protect(3, {"b", "panel b"}, true));
  QCOMPARE(p.holder(3)->label, QString("b"));
  QVERIFY(p.release(3, "a", true));
  QVERIFY(!p.holder(3));
  QVERIFY(p.release(3, "a"));  // a free output: nothing to refuse
  // The holder's leaving ends all of its protects, and only its own.
  p.protect(1, {"a", "a"});
  p.protect(2, {"a", "a"});
  p.protect(4, {"b", "b"});
  changed.clear();
  QCOMPARE(p.forget("a"), 2);
  QCOMPARE(changed.count(), 2);
  QVERIFY(!p.holder(1) && !p.holder(2) && p.holder(4));
}

QTEST_GUILESS_MAIN(TestProtects)
#include "tst_protects.moc"
