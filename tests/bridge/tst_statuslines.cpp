// The bridge's status line and journal: every change reaches the status line, client counts
// reach the journal at most once per quiet period per service, and the settled count last.

#include <QtTest>

#include "StatusLines.h"

class TestStatusLines : public QObject {
  Q_OBJECT
 private slots:
  void journalHearsCountsOncePerPeriod_data();
  void journalHearsCountsOncePerPeriod();
};

void TestStatusLines::journalHearsCountsOncePerPeriod_data() {
  QTest::addColumn<bool>("counts");
  QTest::addColumn<QStringList>("journal");  // once the period is over
  QTest::newRow("client counts: the first and the settled one")
      << true << QStringList{"Web: 0 pages", "Web: 2 pages"};
  QTest::newRow("other lines: each at once")
      << false << QStringList{"Web: 0 pages", "Web: 1 page", "Web: 3 pages", "Web: 2 pages"};
}

void TestStatusLines::journalHearsCountsOncePerPeriod() {
  QFETCH(bool, counts);
  QFETCH(QStringList, journal);
  QStringList heard;
  QString status;
  bridge::StatusLines lines([&](const QString& t) { heard << t; }, [&](const QString& t) { status = t; });
  constexpr int kQuietMs = 300;
  lines.setQuietMs(kQuietMs);
  lines.setLink(QStringLiteral("link ready"));
  QCOMPARE(status, QStringLiteral("link ready"));
  lines.setService(QStringLiteral("Gateway"), QStringLiteral("Gateway: 0 clients"), counts);
  heard.clear();
  for (const char* t : {"Web: 0 pages", "Web: 1 page", "Web: 3 pages", "Web: 2 pages"}) {
    lines.setService(QStringLiteral("Web"), QLatin1String(t), counts);
    QCOMPARE(status, QStringLiteral("link ready; Gateway: 0 clients; ") + QLatin1String(t));
  }
  QCOMPARE(heard.first(), QStringLiteral("Web: 0 pages"));
  QTRY_COMPARE_WITH_TIMEOUT(heard, journal, 10 * kQuietMs);
  // The settled line starts a new period: the next count waits for its end.
  lines.setService(QStringLiteral("Web"), QStringLiteral("Web: 5 pages"), counts);
  QCOMPARE(heard.size(), journal.size() + (counts ? 0 : 1));
  QTRY_COMPARE_WITH_TIMEOUT(heard.last(), QStringLiteral("Web: 5 pages"), 10 * kQuietMs);
  // The link's part changes in place, and the journal does not hear it from here.
  lines.setLink(QStringLiteral("link lost: /dev/ttyUSB0 went away"));
  QCOMPARE(status, QStringLiteral("link lost: /dev/ttyUSB0 went away; Gateway: 0 clients; Web: 5 pages"));
  QCOMPARE(heard.last(), QStringLiteral("Web: 5 pages"));
}

QTEST_GUILESS_MAIN(TestStatusLines)
#include "tst_statuslines.moc"
