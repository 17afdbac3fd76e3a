// The send queue: at once without a pace; with one, order and gaps kept on the event loop,
// and the rest dropped by stop() or a refused send.

#include <QtTest>

#include "SendQueue.h"

namespace {

struct Link {
  QList<QByteArray> sent;
  QList<qint64> at;  // ms on `clock` at each send
  QElapsedTimer clock;
  int refuseAt = -1;             // index of the send that the link refuses
  std::function<void()> during;  // runs within the third send, as an Esc in a box would
  bool send(const QByteArray& c) {
    at.append(clock.elapsed());
    sent.append(c);
    if (sent.size() == 3 && during) during();
    return sent.size() - 1 != refuseAt;
  }
};

QList<QByteArray> commands(int n) {
  QList<QByteArray> out;
  for (int i = 1; i <= n; ++i) out.append(QByteArray::number(i) + "V1.");
  return out;
}

}  // namespace

class TestSendQueue : public QObject {
  Q_OBJECT
 private slots:
  void run_data();
  void run();
};

void TestSendQueue::run_data() {
  QTest::addColumn<int>("pace");
  QTest::addColumn<int>("refuseAt");
  QTest::addColumn<bool>("stopDuringThird");
  QTest::addColumn<int>("sent");
  QTest::newRow("no pace: at once, a refusal drops nothing") << 0 << 1 << false << 10;
  QTest::newRow("20 ms") << 20 << -1 << false << 10;
  QTest::newRow("50 ms") << 50 << -1 << false << 10;
  QTest::newRow("stopped during a send") << 20 << -1 << true << 3;
  QTest::newRow("refused send drops the rest") << 20 << 2 << false << 3;
}

void TestSendQueue::run() {
  QFETCH(int, pace);
  QFETCH(int, refuseAt);
  QFETCH(bool, stopDuringThird);
  QFETCH(int, sent);
  Link link;
  link.clock.start();
  link.refuseAt = refuseAt;
  SendQueue q([&](const QByteArray& c) { return link.send(c); });
  q.setPace(pace);
  QSignalSpy drained(&q, &SendQueue::drained);
  int dropped = -1;
  if (stopDuringThird) link.during = [&] { dropped = q.stop(); };
  for (const QByteArray& c : commands(10)) q.send(c);
  if (pace == 0) {
    QCOMPARE(link.sent, commands(10));
    QCOMPARE(drained.count(), 0);
    return;
  }
  QVERIFY(link.sent.isEmpty());  // the caller returns before the first goes out
  QCOMPARE(q.remaining(), 10);
  QVERIFY(drained.wait(10 * pace * 5 + 1000));
  if (stopDuringThird) QCOMPARE(dropped, 7);
  QTest::qWait(pace * 3);  // nothing more goes out
  QCOMPARE(link.sent, commands(sent));
  for (int i = 1; i < sent; ++i)
    QVERIFY2(link.at[i] - link.at[i - 1] >= pace, qPrintable(QString::number(link.at[i] - link.at[i - 1])));
  QCOMPARE(q.remaining(), 0);
  QCOMPARE(q.stop(), 0);
  QCOMPARE(drained.count(), 1);
}

QTEST_GUILESS_MAIN(TestSendQueue)
#include "tst_sendqueue.moc"
