// The settings files: reads, writes that keep the rest of the file, and where files live.
#include "Ini.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::GetPrivateProfileInt;
using platform::GetPrivateProfileString;
using platform::WritePrivateProfileString;

namespace {
const QString kFile = QStringLiteral("Test.ini");
constexpr int kIpBuffer = 16;
constexpr int kDirBuffer = 600;
enum Change { kUnchanged, kLongerInPlace, kSameSizeTimeBack, kRenamedOverTimeBack, kThroughModule };
}  // namespace

class TstIni : public QObject {
  Q_OBJECT

  QTemporaryDir dir;

  QString path() const { return dir.filePath(kFile); }
  void put(const QByteArray& content) {
    QFile f(path());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
  }
  QByteArray contents() const {
    QFile f(path());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

 private slots:
  void init() {
    QVERIFY(dir.isValid());
    qputenv("SWITCHER_CONFIG_DIR", QFile::encodeName(dir.path()));
    QFile::remove(path());
  }

  void readString_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("def");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray ip = "[TCP]\nIP=192.168.100.200.1\nConnect=1\n";
    QTest::newRow("16-byte buffer keeps 15 characters")
        << ip << QByteArray("TCP") << QByteArray("IP") << QByteArray("0.0.0.0") << kIpBuffer
        << QByteArray("192.168.100.200");
    const QByteArray longPath(700, 'p');
    QTest::newRow("600-byte buffer keeps 599 characters")
        << "[CodeFile]\nDir=" + longPath + "\n" << QByteArray("CodeFile") << QByteArray("Dir")
        << QByteArray() << kDirBuffer << longPath.left(kDirBuffer - 1);
    QTest::newRow("1-byte buffer keeps nothing")
        << ip << QByteArray("TCP") << QByteArray("IP") << QByteArray("x") << 1 << QByteArray("");
    QTest::newRow("absent key gives the default")
        << ip << QByteArray("TCP") << QByteArray("Port") << QByteArray("0.0.0.0") << kIpBuffer
        << QByteArray("0.0.0.0");
    QTest::newRow("absent section gives the default")
        << ip << QByteArray("COM") << QByteArray("IP") << QByteArray("d") << kIpBuffer
        << QByteArray("d");
    QTest::newRow("missing file gives the default")
        << QByteArray() << QByteArray("TCP") << QByteArray("IP") << QByteArray("0.0.0.0")
        << kIpBuffer << QByteArray("0.0.0.0");
    QTest::newRow("default is cut to the buffer too")
        << QByteArray() << QByteArray("TCP") << QByteArray("IP")
        << QByteArray("0123456789abcdefXYZ") << kIpBuffer << QByteArray("0123456789abcde");
    QTest::newRow("section and key ignore case")
        << ip << QByteArray("tcp") << QByteArray("ip") << QByteArray() << kIpBuffer
        << QByteArray("192.168.100.200");
    QTest::newRow("blanks around names and value are dropped")
        << QByteArray("  [ TCP ]  \n\t IP \t=  10.0.0.1 \t \n") << QByteArray("TCP")
        << QByteArray("IP") << QByteArray() << kIpBuffer << QByteArray("10.0.0.1");
    QTest::newRow("semicolon inside a value is kept")
        << QByteArray("[A]\nk=x; y,z\\w\n") << QByteArray("A") << QByteArray("k") << QByteArray()
        << kDirBuffer << QByteArray("x; y,z\\w");
    QTest::newRow("comment line is not a key")
        << QByteArray("[A]\n;k=1\n") << QByteArray("A") << QByteArray(";k") << QByteArray("d")
        << kDirBuffer << QByteArray("d");
    QTest::newRow("CR LF file reads like LF")
        << QByteArray("[A]\r\nk=v\r\n[B]\r\nk=w\r\n") << QByteArray("B") << QByteArray("k")
        << QByteArray() << kDirBuffer << QByteArray("w");
    QTest::newRow("key of another section is not found")
        << QByteArray("[A]\nk=v\n[B]\n") << QByteArray("B") << QByteArray("k") << QByteArray("d")
        << kDirBuffer << QByteArray("d");
    QTest::newRow("first of duplicate keys wins")
        << QByteArray("[A]\nk=1\nk=2\n") << QByteArray("A") << QByteArray("k") << QByteArray()
        << kDirBuffer << QByteArray("1");
    QTest::newRow("present empty value is empty, not the default")
        << QByteArray("[A]\nk=\n") << QByteArray("A") << QByteArray("k") << QByteArray("d")
        << kDirBuffer << QByteArray("");
    QTest::newRow("surrounding quotes are dropped")
        << QByteArray("[A]\nk=\"/a b/c.cgf\"\n") << QByteArray("A") << QByteArray("k")
        << QByteArray() << kDirBuffer << QByteArray("/a b/c.cgf");
    QTest::newRow("UTF-8 byte-order mark before the first section")
        << QByteArray("\xEF\xBB\xBF[TCP]\nIP=10.0.0.1\n") << QByteArray("TCP") << QByteArray("IP")
        << QByteArray() << kIpBuffer << QByteArray("10.0.0.1");
    QTest::newRow("8-bit bytes pass through")
        << QByteArray("[A]\nk=caf\xe9\xff\n") << QByteArray("A") << QByteArray("k") << QByteArray()
        << kDirBuffer << QByteArray("caf\xe9\xff");
  }
  void readString() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, def);
    QFETCH(int, size);
    QFETCH(QByteArray, expected);
    if (!content.isNull()) put(content);
    QCOMPARE(GetPrivateProfileString(section, key, def, size, kFile), expected);
  }

  void readStringTellsOfACut() {
    put("[G]\nAllow=10.0.0.0/24\n");
    bool cut = false;
    QCOMPARE(GetPrivateProfileString("G", "Allow", "", 12, kFile, &cut), QByteArray("10.0.0.0/24"));
    QVERIFY(!cut);
    QCOMPARE(GetPrivateProfileString("G", "Allow", "", 11, kFile, &cut), QByteArray("10.0.0.0/2"));
    QVERIFY(cut);
  }

  void readInt_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("expected");
    QTest::newRow("absent key gives the default") << QByteArray("[TCP]\n") << -7;
    QTest::newRow("empty value gives the default") << QByteArray("[TCP]\nConnect=\n") << -7;
    QTest::newRow("digits") << QByteArray("[TCP]\nConnect=1\n") << 1;
    QTest::newRow("negative") << QByteArray("[TCP]\nConnect=-42\n") << -42;
    QTest::newRow("plus sign") << QByteArray("[TCP]\nConnect=+5\n") << 5;
    QTest::newRow("leading digits only") << QByteArray("[TCP]\nConnect=12abc\n") << 12;
    QTest::newRow("non-numeric gives 0") << QByteArray("[TCP]\nConnect=yes\n") << 0;
    QTest::newRow("too large saturates")
        << QByteArray("[TCP]\nConnect=99999999999999999999\n") << INT_MAX;
    QTest::newRow("too small saturates")
        << QByteArray("[TCP]\nConnect=-99999999999999999999\n") << INT_MIN;
  }
  void readInt() {
    QFETCH(QByteArray, content);
    QFETCH(int, expected);
    put(content);
    QCOMPARE(GetPrivateProfileInt("TCP", "Connect", -7, kFile), expected);
  }

  void readBool_data() {
    QTest::addColumn<QByteArray>("value");  // null: no key
    QTest::addColumn<bool>("def");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<bool>("ok");
    QTest::newRow("true") << QByteArray("true") << false << true << true;
    QTest::newRow("YES") << QByteArray("YES") << false << true << true;
    QTest::newRow("On, blanks around") << QByteArray(" \tOn ") << false << true << true;
    QTest::newRow("quoted off") << QByteArray("\"off\"") << true << false << true;
    QTest::newRow("No") << QByteArray("No") << true << false << true;
    QTest::newRow("0 against a true default") << QByteArray("0") << true << false << true;
    QTest::newRow("absent gives the default") << QByteArray() << true << true << true;
    QTest::newRow("empty gives the default") << QByteArray("") << true << true << true;
    QTest::newRow("2 is no boolean") << QByteArray("2") << false << false << false;
    QTest::newRow("maybe is no boolean") << QByteArray("maybe") << true << true << false;
    QTest::newRow("1 with trailing text") << QByteArray("1x") << false << false << false;
  }
  void readBool() {
    QFETCH(QByteArray, value);
    QFETCH(bool, def);
    QFETCH(bool, expected);
    QFETCH(bool, ok);
    put(value.isNull() ? QByteArray("[S]\n") : "[S]\nK=" + value + "\n");
    bool gotOk = !ok;
    QCOMPARE(platform::GetPrivateProfileBool("S", "K", def, kFile, &gotOk), expected);
    QCOMPARE(gotOk, ok);
  }

  void write_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("replaces the value, keeps every other line")
        << QByteArray("; link\n[TCP]\nConnect=0\n\n; address\nIP=1.2.3.4\n[COM]\nCOM1=/dev/x\n")
        << QByteArray("tcp") << QByteArray("ip")
        << QByteArray("; link\n[TCP]\nConnect=0\n\n; address\nIP=V\n[COM]\nCOM1=/dev/x\n");
    QTest::newRow("adds a key after the last one of its section")
        << QByteArray("[TCP]\nConnect=0\n\n; serial\n[COM]\nCOM1=/dev/x\n") << QByteArray("TCP")
        << QByteArray("IP")
        << QByteArray("[TCP]\nConnect=0\nIP=V\n\n; serial\n[COM]\nCOM1=/dev/x\n");
    QTest::newRow("adds a missing section at the end")
        << QByteArray("[TCP]\nConnect=0\n") << QByteArray("CodeFile") << QByteArray("Dir")
        << QByteArray("[TCP]\nConnect=0\n\n[CodeFile]\nDir=V\n");
    QTest::newRow("creates a new file") << QByteArray() << QByteArray("TCP") << QByteArray("IP")
                                        << QByteArray("[TCP]\nIP=V\n");
    QTest::newRow("keeps CR LF line ends")
        << QByteArray("[TCP]\r\nConnect=0\r\n") << QByteArray("TCP") << QByteArray("IP")
        << QByteArray("[TCP]\r\nConnect=0\r\nIP=V\r\n");
    QTest::newRow("keeps the key's own spelling")
        << QByteArray("[tcp]\n  iP = 1\n") << QByteArray("TCP") << QByteArray("IP")
        << QByteArray("[tcp]\niP=V\n");
    QTest::newRow("keeps a UTF-8 byte-order mark and its section")
        << QByteArray("\xEF\xBB\xBF[TCP]\nIP=1\n") << QByteArray("TCP") << QByteArray("IP")
        << QByteArray("\xEF\xBB\xBF[TCP]\nIP=V\n");
    QTest::newRow("mixed line ends stay as they were")
        << QByteArray("[TCP]\nConnect=0\r\n[COM]\nCOM1=/dev/x\n") << QByteArray("TCP") << QByteArray("Connect")
        << QByteArray("[TCP]\nConnect=V\r\n[COM]\nCOM1=/dev/x\n");
    QTest::newRow("an unterminated last line keeps its CR")
        << QByteArray("[TCP]\n; note\r") << QByteArray("TCP") << QByteArray("IP") << QByteArray("[TCP]\nIP=V\n; note\r");
    QTest::newRow("ends an unterminated last line")
        << QByteArray("[TCP]\nConnect=0") << QByteArray("TCP") << QByteArray("IP")
        << QByteArray("[TCP]\nConnect=0\nIP=V\n");
  }
  void write() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, after);
    if (!before.isNull()) put(before);
    QVERIFY(WritePrivateProfileString(section, key, "V", kFile));
    QCOMPARE(contents(), after);
  }

  void writeSections_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArrayList>("entries");  // "key=value" of section A
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("comment above the next section stays")
        << QByteArray("[A]\n1=a\n\n; outputs follow\n[B]\nk=v\n") << QByteArrayList{"1=x"}
        << QByteArray("[A]\n1=x\n\n; outputs follow\n[B]\nk=v\n");
    QTest::newRow("comments among the keys stay")
        << QByteArray("[A]\n; first\n1=a\n; second\n2=b\n") << QByteArrayList{"1=a", "3=c"}
        << QByteArray("[A]\n; first\n1=a\n3=c\n; second\n");
    QTest::newRow("an unchanged key keeps its line")
        << QByteArray("[A]\n 1 = a \n2=b\n") << QByteArrayList{"1=a", "2=c"} << QByteArray("[A]\n 1 = a \n2=c\n");
    QTest::newRow("emptied section keeps its comments")
        << QByteArray("[A]\n; note\n1=a\n[B]\nk=v\n") << QByteArrayList{} << QByteArray("; note\n[B]\nk=v\n");
    QTest::newRow("a second copy loses its keys")
        << QByteArray("[A]\n1=a\n[B]\nk=v\n[a]\n; c\n2=b\n") << QByteArrayList{"1=x"}
        << QByteArray("[A]\n1=x\n[B]\nk=v\n; c\n");
    QTest::newRow("a new section at the end")
        << QByteArray("[B]\nk=v\n") << QByteArrayList{"1=x"} << QByteArray("[B]\nk=v\n\n[A]\n1=x\n");
    QTest::newRow("a blank line before the removed unterminated last key stays")
        << QByteArray("[A]\nk=1\n\nj=2") << QByteArrayList{"1=x"} << QByteArray("[A]\n1=x\n\n");
    QTest::newRow("a CR inside a value is written back")
        << QByteArray("[A]\n1=a\rb\n") << QByteArrayList{"1=a\rb", "2=c"} << QByteArray("[A]\n1=a\rb\n2=c\n");
  }
  void writeSections() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArrayList, entries);
    QFETCH(QByteArray, after);
    put(before);
    platform::ProfileSection a{"A", {}};
    for (const QByteArray& e : entries) a.entries.push_back({e.left(e.indexOf('=')), e.mid(e.indexOf('=') + 1)});
    QVERIFY(platform::WritePrivateProfileSections({a}, kFile));
    QCOMPARE(contents(), after);
  }

  void roundTrip_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("blanks inside") << QByteArray("/home/op/My Codes/a b.cgf");
    QTest::newRow("commas") << QByteArray("1,2,3");
    QTest::newRow("backslashes") << QByteArray("C:\\codes\\a.cgf");
    QTest::newRow("semicolons") << QByteArray("a;b ; c;");
    QTest::newRow("equals sign") << QByteArray("a=b");
    QTest::newRow("8-bit bytes") << QByteArray("\xb4\xae\xbf\xda\xff");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("leading and trailing blanks") << QByteArray(" /home/op/a.cgf ");
    QTest::newRow("trailing tab") << QByteArray("a.cgf\t");
    QTest::newRow("wrapped in double quotes") << QByteArray("\"a b\"");
    QTest::newRow("wrapped in single quotes") << QByteArray("'x'");
    QTest::newRow("a lone quote") << QByteArray("\"");
  }
  void roundTrip() {
    QFETCH(QByteArray, value);
    put("[Other]\nk=1\n");
    QVERIFY(WritePrivateProfileString("S", "K", value, kFile));
    QCOMPARE(GetPrivateProfileString("S", "K", "default", kDirBuffer, kFile), value);
    QVERIFY(WritePrivateProfileString("S", "K", value, kFile));  // rewrite in place
    QCOMPARE(GetPrivateProfileString("S", "K", "default", kDirBuffer, kFile), value);
    QCOMPARE(GetPrivateProfileString("Other", "k", "", kDirBuffer, kFile), QByteArray("1"));
  }

  void writeRefusesWhatWouldBreakTheFile_data() {
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("line feed in value") << QByteArray("A") << QByteArray("k") << QByteArray("x\n[B]");
    QTest::newRow("carriage return in value") << QByteArray("A") << QByteArray("k") << QByteArray("x\ry");
    QTest::newRow("'=' in key") << QByteArray("A") << QByteArray("k=j") << QByteArray("x");
    QTest::newRow("']' in section") << QByteArray("A]x") << QByteArray("k") << QByteArray("x");
    QTest::newRow("empty key") << QByteArray("A") << QByteArray(" ") << QByteArray("x");
  }
  void writeRefusesWhatWouldBreakTheFile() {
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    const QByteArray before = "[A]\nk=1\n";
    put(before);
    QVERIFY(!WritePrivateProfileString(section, key, value, kFile));
    QCOMPARE(contents(), before);
  }

  // A file we cannot read must not be replaced by one holding only the new key.
  void writeLeavesAnUnreadableFileAlone() {
    if (::geteuid() == 0) QSKIP("root reads any file");
    const QByteArray before = "[TCP]\nIP=1.2.3.4\n[COM]\nCOM1=/dev/ttyUSB0\n";
    put(before);
    QVERIFY(QFile::setPermissions(path(), QFileDevice::WriteOwner));
    const bool written = WritePrivateProfileString("TCP", "Connect", "1", kFile);
    QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QVERIFY(!written);
    QCOMPARE(contents(), before);
  }

  // An unchanged file is served from memory; any change, from outside (its size, its times,
  // its inode) or through this module, is seen by the next read.
  void readsFollowTheFile_data() {
    QTest::addColumn<int>("change");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<long>("reads");  // from disk, by the read after the change
    QTest::newRow("unchanged") << int(kUnchanged) << QByteArray("one") << 0L;
    QTest::newRow("written in place, longer, time set back") << int(kLongerInPlace) << QByteArray("three") << 1L;
    QTest::newRow("written in place, same size, time set back") << int(kSameSizeTimeBack) << QByteArray("two") << 1L;
    QTest::newRow("renamed over, same size, time set back") << int(kRenamedOverTimeBack) << QByteArray("two") << 1L;
    QTest::newRow("written through the module") << int(kThroughModule) << QByteArray("two") << 1L;
  }
  void readsFollowTheFile() {
    QFETCH(int, change);
    QFETCH(QByteArray, expected);
    QFETCH(long, reads);
    put("[A]\nK=one\n");
    // A file changed this instant is read every time until the file system's clock moves on.
    const auto settled = [] {
      GetPrivateProfileString("A", "K", "", 80, kFile);
      const long at = platform::ProfileFileReads();
      GetPrivateProfileString("A", "K", "", 80, kFile);
      return platform::ProfileFileReads() == at;
    };
    QTRY_VERIFY(settled());
    struct stat old;
    QCOMPARE(::stat(QFile::encodeName(path()).constData(), &old), 0);
    const auto timeBack = [&](const QString& file) {
      const timespec times[2] = {old.st_atim, old.st_mtim};
      QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
    };
    const QString other = path() + QStringLiteral(".new");
    switch (change) {
      case kLongerInPlace: put("[A]\nK=three\n"); timeBack(path()); break;
      case kSameSizeTimeBack: put("[A]\nK=two\n"); timeBack(path()); break;
      case kRenamedOverTimeBack: {
        QFile f(other);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[A]\nK=two\n");
        f.close();
        timeBack(other);
        QCOMPARE(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path()).constData()), 0);
        break;
      }
      case kThroughModule: QVERIFY(WritePrivateProfileString("A", "K", "two", kFile)); break;
    }
    const long at = platform::ProfileFileReads();
    QCOMPARE(GetPrivateProfileString("A", "K", "", 80, kFile), expected);
    QCOMPARE(platform::ProfileFileReads() - at, reads);
  }

  void writeIsAtomicAndCreatesTheFolder() {
    const QString nested = dir.filePath(QStringLiteral("a/b/c"));
    qputenv("SWITCHER_CONFIG_DIR", QFile::encodeName(nested));
    QVERIFY(WritePrivateProfileString("TCP", "IP", "1.2.3.4", QStringLiteral("Switcher.ini")));
    QVERIFY(WritePrivateProfileString("TCP", "Connect", "1", QStringLiteral("Switcher.ini")));
    QCOMPARE(QDir(nested).entryList(QDir::Files | QDir::Hidden | QDir::System),
             QStringList{QStringLiteral("Switcher.ini")});
    QCOMPARE(GetPrivateProfileInt("TCP", "Connect", 0, QStringLiteral("Switcher.ini")), 1);
  }

  void writeFailsWhereNoFolderCanBeMade() {
    put("x");
    // A file stands where the folder should be.
    qputenv("SWITCHER_CONFIG_DIR", QFile::encodeName(path() + QStringLiteral("/sub")));
    QVERIFY(!WritePrivateProfileString("TCP", "IP", "1.2.3.4", QStringLiteral("Switcher.ini")));
  }

  void configDir_data() {
    QTest::addColumn<QByteArray>("own");
    QTest::addColumn<QByteArray>("xdg");
    QTest::addColumn<QString>("expected");
    const QString home = QDir::homePath();
    QTest::newRow("own variable wins") << QByteArray("/o/cfg") << QByteArray("/x")
                                       << QStringLiteral("/o/cfg");
    QTest::newRow("XDG config home") << QByteArray() << QByteArray("/x")
                                     << QStringLiteral("/x/switcher-console");
    QTest::newRow("relative XDG path is ignored")
        << QByteArray() << QByteArray("rel") << home + QStringLiteral("/.config/switcher-console");
    QTest::newRow("neither set") << QByteArray() << QByteArray()
                                 << home + QStringLiteral("/.config/switcher-console");
  }
  void configDir() {
    QFETCH(QByteArray, own);
    QFETCH(QByteArray, xdg);
    QFETCH(QString, expected);
    const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
    own.isEmpty() ? qunsetenv("SWITCHER_CONFIG_DIR") : qputenv("SWITCHER_CONFIG_DIR", own);
    xdg.isEmpty() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", xdg);
    const QString got = platform::configDir();
    const QString bare = platform::profilePath(QStringLiteral("Switch.ini"));
    const QString withSlash = platform::profilePath(QStringLiteral("/tmp/Switch.ini"));
    oldXdg.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", oldXdg);
    QCOMPARE(got, expected);
    QCOMPARE(bare, expected + QStringLiteral("/Switch.ini"));
    QCOMPARE(withSlash, QStringLiteral("/tmp/Switch.ini"));
  }

  void comDevicePath_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("expected");
    QTest::newRow("COM1 default") << 1 << QStringLiteral("/dev/ttyS0");
    QTest::newRow("COM2 configured") << 2 << QStringLiteral("/dev/ttyUSB0");
    QTest::newRow("COM4 default") << 4 << QStringLiteral("/dev/ttyS3");
    QTest::newRow("port 0 has none") << 0 << QString();
    QTest::newRow("port 5 has none") << 5 << QString();
  }
  void comDevicePath() {
    QFETCH(int, port);
    QFETCH(QString, expected);
    QVERIFY(WritePrivateProfileString("com", "com2", "/dev/ttyUSB0", QStringLiteral("Switcher.ini")));
    QCOMPARE(platform::comDevicePath(port), expected);
  }
};

QTEST_GUILESS_MAIN(TstIni)
#include "tst_ini.moc"
