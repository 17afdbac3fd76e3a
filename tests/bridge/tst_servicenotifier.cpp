// What systemd hears besides the status: ready once the start has settled (not before, and
// once), reloading and ready around a reload, the watchdog interval it asked for, and pings.

#include "ServiceNotifier.h"

#include <QtTest>

#include <unistd.h>

class TestServiceNotifier : public QObject {
  Q_OBJECT
 private slots:
  void readyAndReload_data() {
    QTest::addColumn<QString>("steps");  // s started, t settle, r reload (reloading, reloaded)
    QTest::addColumn<QString>("told");
    QTest::newRow("started alone: not ready") << "s" << "";
    QTest::newRow("settled: ready") << "st" << "READY=1";
    QTest::newRow("ready once, whatever settles after") << "sttt" << "READY=1";
    QTest::newRow("a reload before ready is not a ready") << "srt" << "RELOADING=1 READY=1";
    QTest::newRow("a reload once ready") << "str" << "READY=1 RELOADING=1 READY=1";
  }
  void readyAndReload() {
    QFETCH(QString, steps);
    QStringList told;
    bridge::ServiceNotifier n([&told](const QByteArray& s) { told << QString::fromLatin1(s.split('\n').first()); });
    for (QChar c : steps) {
      if (c == 's') n.started();
      if (c == 't') n.settle();
      if (c == 'r') {
        n.reloading();
        n.reloaded();
      }
    }
    QTEST(told.join(' '), "told");
  }

  void watchdogInterval_data() {
    QTest::addColumn<QByteArray>("usec");
    QTest::addColumn<QByteArray>("pid");  // "self" for this process
    QTest::addColumn<int>("ms");
    QTest::newRow("none") << QByteArray() << QByteArray() << 0;
    QTest::newRow("20 s") << QByteArray("20000000") << QByteArray() << 20000;
    QTest::newRow("20 s, for this process") << QByteArray("20000000") << QByteArray("self") << 20000;
    QTest::newRow("for another process") << QByteArray("20000000") << QByteArray("1") << 0;
    QTest::newRow("not a number") << QByteArray("20s") << QByteArray() << 0;
  }
  void watchdogInterval() {
    QFETCH(QByteArray, usec);
    QFETCH(QByteArray, pid);
    if (usec.isEmpty()) qunsetenv("WATCHDOG_USEC");
    else qputenv("WATCHDOG_USEC", usec);
    if (pid.isEmpty()) qunsetenv("WATCHDOG_PID");
    else qputenv("WATCHDOG_PID", pid == "self" ? QByteArray::number(qint64(::getpid())) : pid);
    QTEST(int(bridge::WatchdogInterval().count()), "ms");
  }

  void watchdogPings() {
    int pings = 0;
    bridge::ServiceNotifier n([&pings](const QByteArray& s) { pings += s == "WATCHDOG=1"; });
    n.startWatchdog(std::chrono::milliseconds(40));
    QTRY_VERIFY(pings >= 3);
  }
};

QTEST_GUILESS_MAIN(TestServiceNotifier)
#include "tst_servicenotifier.moc"
