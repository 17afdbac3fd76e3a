// The session log's file: lines in order with their times, escapes, kept days, the day's
// cap and a folder that cannot be written.

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "LogText.h"
#include "SessionLog.h"

using sessionlog::SessionLog;

namespace {

// {time, "mark text"} per line; empty when a line is malformed or the file is not UTF-8.
QList<QStringList> readLines(const QString& path) {
  QFile f(path);
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = f.open(QIODevice::ReadOnly) ? utf8(f.readAll()) : QString();
  static const QRegularExpression kLine(
      QStringLiteral(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d) ([<>*] .*)$)"));
  QList<QStringList> lines;
  for (const QString& l : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
    const auto m = kLine.match(l);
    if (!m.hasMatch() || utf8.hasError()) return {};
    lines.append({m.captured(1), m.captured(2)});
  }
  return lines;
}

QString dayFile(const QString& dir, int daysAgo) {
  return dir + QStringLiteral("/session_%1.log")
                   .arg(QDate::currentDate().addDays(-daysAgo).toString(Qt::ISODate));
}

// The file of this process when another writer holds the day's file.
QString ownDayFile(const QString& dayFile) {
  return QString(dayFile).replace(QLatin1String(".log"), QStringLiteral(".%1.log").arg(::getpid()));
}

}  // namespace

class TestSessionLog : public QObject {
  Q_OBJECT
 private slots:
  void linesInOrderWithTheirTimes();
  void escape_data();
  void escape();
  void oldDaysRemoved_data();
  void oldDaysRemoved();
  void dayCap_data();
  void dayCap();
  void folderThatCannotBeWrittenIsReportedOnce();
  void sentAsItWentOut_data();
  void sentAsItWentOut();
  void filesArePrivate();
  void secondWriterHasItsOwnFile();
  void defaultDir_data();
  void defaultDir();
};

void TestSessionLog::linesInOrderWithTheirTimes() {
  QTemporaryDir dir;
  SessionLog log;
  log.open({true, 30, 1 << 20, dir.path()});
  const qint64 t1 = log.sent("1V2,3,4.", QStringLiteral("COM1 /dev/ttyUSB0"));
  const qint64 t2 = log.received("VIDEO: 001 > 002\x01");
  const qint64 t3 = log.event(QStringLiteral("lost TCP 127.0.0.1:8888"));
  const qint64 t4 = log.event(QStringLiteral("reconnected TCP 127.0.0.1:8888"));
  // Within a second or two, without closing.
  QTRY_COMPARE_WITH_TIMEOUT(readLines(log.fileFor(t1)).size(), 4, 3000);
  const QList<QStringList> lines = readLines(log.fileFor(t1));
  const QStringList want = {QStringLiteral("> [COM1 /dev/ttyUSB0] 1V2,3,4."),
                            QStringLiteral("< VIDEO: 001 > 002\\x01"),
                            QStringLiteral("* lost TCP 127.0.0.1:8888"),
                            QStringLiteral("* reconnected TCP 127.0.0.1:8888")};
  const qint64 stamps[] = {t1, t2, t3, t4};
  for (int i = 0; i < 4; ++i) {
    QCOMPARE(lines[i][1], want[i]);
    QCOMPARE(lines[i][0], sessionlog::formatTime(stamps[i]));
    QVERIFY(i == 0 || stamps[i] >= stamps[i - 1]);
  }
}

void TestSessionLog::escape_data() {
  QTest::addColumn<QByteArray>("in");
  QTest::addColumn<QByteArray>("out");
  QTest::newRow("line end") << QByteArray("A\r\n") << QByteArray("A\\r\\n");
  QTest::newRow("NUL and DEL") << QByteArray("a\0b\x7f", 4) << QByteArray("a\\x00b\\x7F");
  QTest::newRow("backslash doubled") << QByteArray("a\\x41") << QByteArray("a\\\\x41");
  QTest::newRow("UTF-8 letters stay") << QByteArray("\xc3\xa9\xe4\xb8\xad") << QByteArray("\xc3\xa9\xe4\xb8\xad");
  QTest::newRow("stray byte") << QByteArray("\xff" "A") << QByteArray("\\xFFA");
  QTest::newRow("cut sequence") << QByteArray("\xe4\xb8") << QByteArray("\\xE4\\xB8");
  QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QByteArray("\\xC0\\xAF");
  QTest::newRow("bidi override") << QByteArray("\xe2\x80\xae") << QByteArray("\\xE2\\x80\\xAE");
}

void TestSessionLog::escape() {
  QFETCH(QByteArray, in);
  QFETCH(QByteArray, out);
  QCOMPARE(sessionlog::escape(in), out);
}

void TestSessionLog::oldDaysRemoved_data() {
  QTest::addColumn<int>("days");
  QTest::addColumn<QList<int>>("kept");     // days ago
  QTest::addColumn<QList<int>>("removed");
  QTest::newRow("30 days") << 30 << QList<int>{1, 29} << QList<int>{30, 400};
  QTest::newRow("1 day") << 1 << QList<int>{} << QList<int>{1, 2};
  QTest::newRow("0 keeps all") << 0 << QList<int>{1, 30, 400} << QList<int>{};
}

void TestSessionLog::oldDaysRemoved() {
  QFETCH(int, days);
  QFETCH(QList<int>, kept);
  QFETCH(QList<int>, removed);
  QTemporaryDir dir;
  const auto ownFile = [&](int d) { return dayFile(dir.path(), d).replace(".log", ".4242.log"); };
  for (int d : kept + removed) {
    QVERIFY(QFile(dayFile(dir.path(), d)).open(QIODevice::WriteOnly));
    QVERIFY(QFile(ownFile(d)).open(QIODevice::WriteOnly));  // a second console's
  }
  QFile other(dir.filePath(QStringLiteral("notes.txt")));
  QVERIFY(other.open(QIODevice::WriteOnly));
  SessionLog log;
  log.open({true, days, 1 << 20, dir.path()});
  log.event(QStringLiteral("opened"));
  log.close();
  for (int d : kept) QVERIFY(QFile::exists(dayFile(dir.path(), d)) && QFile::exists(ownFile(d)));
  for (int d : removed) QVERIFY(!QFile::exists(dayFile(dir.path(), d)) && !QFile::exists(ownFile(d)));
  QVERIFY(QFile::exists(dayFile(dir.path(), 0)) && other.exists());
}

void TestSessionLog::dayCap_data() {
  QTest::addColumn<int>("before");  // bytes already in today's file
  QTest::newRow("fresh day") << 0;
  QTest::newRow("day already begun") << 1500;
}

void TestSessionLog::dayCap() {
  QFETCH(int, before);
  constexpr int kCap = 3000, kLines = 200;
  QTemporaryDir dir;
  QFile f(dayFile(dir.path(), 0));
  QVERIFY(f.open(QIODevice::ReadWrite));
  if (before > 0) f.write(QByteArray(before - 1, 'x') + '\n');
  f.flush();
  SessionLog log;
  log.open({true, 30, kCap, dir.path()});
  for (int i = 0; i < kLines; ++i) log.received("VIDEO: 001 > " + QByteArray::number(i));
  log.close();
  const QByteArray all = f.readAll();
  QVERIFY2(all.size() + before <= kCap + 200, qPrintable(QString::number(all.size())));
  const int kept = static_cast<int>(all.count(" < VIDEO"));
  QVERIFY(kept > 10 && kept < kLines);
  QCOMPARE(all.count("reached its cap"), 1);
  const auto m = QRegularExpression(QStringLiteral(R"(\* (\d+) lines \(\d+ bytes\) of this day were left out.*\n$)"))
                     .match(QString::fromUtf8(all));
  QVERIFY(m.hasMatch());
  QCOMPARE(m.captured(1).toInt(), kLines - kept);
}

void TestSessionLog::folderThatCannotBeWrittenIsReportedOnce() {
  QTemporaryDir dir;
  QFile blocker(dir.filePath(QStringLiteral("file")));
  QVERIFY(blocker.open(QIODevice::WriteOnly));  // a file where a folder should be: even root fails
  SessionLog log;
  QSignalSpy failed(&log, &SessionLog::writeFailed);
  log.open({true, 30, 1 << 20, blocker.fileName() + QStringLiteral("/log")});
  for (int i = 0; i < 50; ++i) log.sent("1V2.", QStringLiteral("COM1 /dev/ttyS0"));
  QVERIFY(failed.wait(3000));
  for (int i = 0; i < 50; ++i) log.received("VIDEO: 001 > 002");
  log.close();
  QCoreApplication::processEvents();
  QCOMPARE(failed.count(), 1);
}

void TestSessionLog::sentAsItWentOut_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<QByteArray>("how");
  QTest::addColumn<QString>("logged");
  QTest::newRow("password") << QByteArray("/+abcdefgh;") << QByteArray() << "/+********;";
  QTest::newRow("password holding ';' and '.'") << QByteArray("/+a;b.c;de;Status1.") << QByteArray()
                                              << "/+********;Status1.";
  QTest::newRow("two in a code, and a client's label")
      << QByteArray("1V2./+12345678;/+87654321;   [127.0.0.1:5000]") << QByteArray()
      << "1V2./+********;/+********;   [127.0.0.1:5000]";
  QTest::newRow("short password") << QByteArray("/+abc;") << QByteArray() << "/+***;";
  QTest::newRow("HEX code") << QByteArray("\x01" "A\r") << QByteArray("(HEX)") << "\\x01A\\r   (HEX)";
  QTest::newRow("HEX password") << QByteArray("/+\x01secret\x02;") << QByteArray("(HEX)")
                                << "/+********;   (HEX)";
}

void TestSessionLog::sentAsItWentOut() {
  QFETCH(QByteArray, bytes);
  QFETCH(QByteArray, how);
  QFETCH(QString, logged);
  QTemporaryDir dir;
  SessionLog log;
  log.open({true, 30, 1 << 20, dir.path()});
  const qint64 at = log.sent(bytes, QStringLiteral("COM1 /dev/ttyS0"), how);
  log.close();
  const QList<QStringList> lines = readLines(log.fileFor(at));
  QCOMPARE(lines.size(), 1);
  QCOMPARE(lines[0][1], "> [COM1 /dev/ttyS0] " + logged);
}

void TestSessionLog::filesArePrivate() {
  QTemporaryDir dir;
  const QString folder = dir.filePath(QStringLiteral("a/log"));
  const mode_t old = ::umask(0);  // the widest umask: every mode comes from the log itself
  SessionLog log;
  log.open({true, 30, 1 << 20, folder});
  const qint64 at = log.event(QStringLiteral("opened"));
  log.close();
  ::umask(old);
  struct stat st {};
  for (const QString& f : {dir.filePath(QStringLiteral("a")), folder}) {
    QCOMPARE(::stat(QFile::encodeName(f).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
  }
  QCOMPARE(::stat(QFile::encodeName(log.fileFor(at)).constData(), &st), 0);
  QCOMPARE(st.st_mode & 0777, 0600u);
}

// Two consoles on one folder: each line in one piece in its writer's file, and the second
// says once where it writes.
void TestSessionLog::secondWriterHasItsOwnFile() {
  QTemporaryDir dir;
  SessionLog first, second;
  QSignalSpy told(&second, &SessionLog::ownFile);
  first.open({true, 30, 1 << 20, dir.path()});
  second.open({true, 30, 1 << 20, dir.path()});
  constexpr int kLines = 2000;
  qint64 at = first.received("first " + QByteArray(40, 'a'));
  QTRY_VERIFY(QFile::exists(first.fileFor(at)));  // the first holds the day's file
  for (int i = 1; i < kLines; ++i) {
    at = first.received("first " + QByteArray(40, 'a'));
    second.received("second " + QByteArray(40, 'b'));
  }
  second.received("second " + QByteArray(40, 'b'));
  QVERIFY(told.wait(3000));
  first.close();
  second.close();
  const QString own = ownDayFile(first.fileFor(at));
  QCOMPARE(told.count(), 1);
  QVERIFY(told[0][0].toString().endsWith(QFileInfo(own).fileName()));
  const QList<QStringList> a = readLines(first.fileFor(at));
  const QList<QStringList> b = readLines(own);
  QCOMPARE(a.size(), kLines);
  QCOMPARE(b.size(), kLines + 1);  // with the note
  QVERIFY(b[0][1].startsWith(QLatin1String("* ")));
  for (int i = 0; i < kLines; ++i) {
    QCOMPARE(a[i][1], "< first " + QString(40, 'a'));
    QCOMPARE(b[i + 1][1], "< second " + QString(40, 'b'));
  }
}

void TestSessionLog::defaultDir_data() {
  QTest::addColumn<QByteArray>("logDir");
  QTest::addColumn<QByteArray>("configDir");
  QTest::addColumn<QString>("expected");
  QTest::newRow("log folder given") << QByteArray("/l") << QByteArray("/c") << "/l";
  QTest::newRow("follows the settings folder") << QByteArray() << QByteArray("/c") << "/c/log";
  QTest::newRow("neither") << QByteArray() << QByteArray() << "/x/switcher-console/log";
}

void TestSessionLog::defaultDir() {
  QFETCH(QByteArray, logDir);
  QFETCH(QByteArray, configDir);
  QFETCH(QString, expected);
  const QByteArray names[] = {"SWITCHER_LOG_DIR", "SWITCHER_CONFIG_DIR", "XDG_STATE_HOME"};
  const QByteArray values[] = {logDir, configDir, "/x"};
  QByteArray saved[3];
  for (int i = 0; i < 3; ++i) {
    saved[i] = qgetenv(names[i].constData());
    values[i].isEmpty() ? qunsetenv(names[i].constData()) : qputenv(names[i].constData(), values[i]);
  }
  const QString got = SessionLog::defaultDir();
  for (int i = 0; i < 3; ++i)
    saved[i].isNull() ? qunsetenv(names[i].constData()) : qputenv(names[i].constData(), saved[i]);
  QCOMPARE(got, expected);
}

QTEST_GUILESS_MAIN(TestSessionLog)
#include "tst_sessionlog.moc"
