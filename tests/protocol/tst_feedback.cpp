// Feedback lines: the positional reading of one line, and line assembly on the serial and
// the TCP path, which must agree byte for byte whatever the split of the input.

#include <QBuffer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <chrono>

#include "Feedback.h"

Q_DECLARE_METATYPE(feedback::Kind)

namespace {

using feedback::Kind;

constexpr std::chrono::milliseconds kNetworkTimeout{10000};
constexpr int kFloodBytes = 1 << 20;  // 1 MiB
constexpr int kPropertyRounds = 300;
constexpr int kMaxChunk = 3000;  // above the ring size, to force piecewise receives

QByteArrayList Serial(const QByteArray& bytes) {
  feedback::SerialAssembler a;
  QByteArrayList lines;
  QByteArray line;
  for (char c : bytes) {
    if (a.push(static_cast<std::uint8_t>(c), &line)) {
      lines.append(line);
    }
  }
  return lines;
}

// Feeds the chunks as separate read events.
QByteArrayList Tcp(const QByteArrayList& chunks) {
  feedback::TcpAssembler a;
  QByteArrayList lines;
  for (const QByteArray& chunk : chunks) {
    a.feed(chunk, [&](const QByteArray& l) { lines.append(l); });
  }
  return lines;
}

QByteArray Repeat(char c, int n) { return QByteArray(n, c); }

}  // namespace

class TestFeedback : public QObject {
  Q_OBJECT

 private slots:
  void parseLine_data();
  void parseLine();
  void shownTextEndsAtZeroByte();

  void assembly_data();
  void assembly();
  void floodWithoutLineEndIsDroppedAndLaterLineFound();
  void moreThanRingInOneReadLosesNoLine();
  void randomSplitsGiveSerialLines();
  void handlerMayReenterTheScan();
  void receiveTakesOnlyWhatFits();
  void readAvailableFromRealSocket();
};

void TestFeedback::parseLine_data() {
  QTest::addColumn<QByteArray>("text");
  QTest::addColumn<Kind>("kind");
  QTest::addColumn<int>("input");
  QTest::addColumn<int>("output");

  QTest::newRow("video report") << QByteArray("VIDEO: 003 > 012") << Kind::Video << 3 << 12;
  QTest::newRow("AV report, output 256")
      << QByteArray(" A/V : 250 > 256") << Kind::AudioVideo << 250 << 256;
  QTest::newRow("audio report") << QByteArray("AUDIO: 003 > 012") << Kind::Audio << 3 << 12;
  QTest::newRow("separators and tail may be anything")
      << QByteArray("VIDEO##017%%%001 and more") << Kind::Video << 17 << 1;
  QTest::newRow("kind is case-sensitive")
      << QByteArray("Video: 003 > 012") << Kind::Other << 0 << 0;
  QTest::newRow("kind must start the line")
      << QByteArray(" VIDEO: 003 > 012") << Kind::Other << 0 << 0;
  QTest::newRow("other line reads no fields")
      << QByteArray("XIDEO: 003 > 012") << Kind::Other << 0 << 0;
  QTest::newRow("other: short reply") << QByteArray("OK") << Kind::Other << 0 << 0;
  QTest::newRow("other: empty") << QByteArray() << Kind::Other << 0 << 0;

  QTest::newRow("output 000 names no button")
      << QByteArray("VIDEO: 003 > 000") << Kind::Video << 3 << 0;
  QTest::newRow("output 257 names no button")
      << QByteArray("VIDEO: 003 > 257") << Kind::Video << 3 << 0;
  QTest::newRow("output blanks") << QByteArray("VIDEO: 003 >    ") << Kind::Video << 3 << 0;
  QTest::newRow("output without leading zeros")
      << QByteArray("VIDEO: 003 >  12") << Kind::Video << 3 << 0;
  QTest::newRow("output with a blank inside")
      << QByteArray("VIDEO: 003 > 1 2") << Kind::Video << 3 << 0;
  QTest::newRow("output with letters") << QByteArray("VIDEO: 003 > 01a") << Kind::Video << 3 << 0;
  QTest::newRow("output with a sign") << QByteArray("VIDEO: 003 > +12") << Kind::Video << 3 << 0;
  QTest::newRow("output with a zero byte") << QByteArray(
                                                  "VIDEO: 003 > 0\0"
                                                  "2",
                                                  16)
                                           << Kind::Video << 3 << 0;

  QTest::newRow("input 000") << QByteArray("VIDEO: 000 > 001") << Kind::Video << 0 << 1;
  QTest::newRow("input 256") << QByteArray("VIDEO: 256 > 001") << Kind::Video << 256 << 1;
  QTest::newRow("input with leading blanks")
      << QByteArray("VIDEO:   7 > 001") << Kind::Video << 7 << 1;
  QTest::newRow("input with trailing blank")
      << QByteArray("VIDEO: 7   > 001") << Kind::Video << 0 << 1;
  QTest::newRow("input with a letter inside")
      << QByteArray("VIDEO: 0a3 > 001") << Kind::Video << 0 << 1;
  QTest::newRow("input with a sign") << QByteArray("VIDEO: -12 > 001") << Kind::Video << -12 << 1;
  QTest::newRow("input blank and plus") << QByteArray("VIDEO:  +5 > 001") << Kind::Video << 5 << 1;
  QTest::newRow("input sign alone") << QByteArray("VIDEO:   - > 001") << Kind::Video << 0 << 1;
  QTest::newRow("input blanks only") << QByteArray("VIDEO:     > 001") << Kind::Video << 0 << 1;
  QTest::newRow("input with a zero byte") << QByteArray(
                                                 "VIDEO: 1\0"
                                                 "3 > 001",
                                                 16)
                                          << Kind::Video << 0 << 1;

  // Prefixes of a full report: fields that run past the end are absent.
  const QByteArray full("VIDEO: 003 > 012");
  for (int n = 0; n <= full.size(); ++n) {
    const Kind kind = n < 5 ? Kind::Other : Kind::Video;
    QTest::addRow("short line of %d chars", n)
        << full.left(n) << kind << (n >= 10 ? 3 : 0) << (n >= 16 ? 12 : 0);
  }
}

void TestFeedback::parseLine() {
  QFETCH(QByteArray, text);
  QFETCH(Kind, kind);
  QFETCH(int, input);
  QFETCH(int, output);
  const feedback::Line line = feedback::ParseLine(text);
  QCOMPARE(line.text, text);
  QCOMPARE(line.kind, kind);
  QCOMPARE(line.input, input);
  QCOMPARE(line.output, output);
}

void TestFeedback::shownTextEndsAtZeroByte() {
  const feedback::Line line = feedback::ParseLine(QByteArray("AB\0CD", 5));
  QCOMPARE(line.text.size(), 5);
  QCOMPARE(line.shown(), QByteArray("AB"));
  QCOMPARE(feedback::ParseLine("VIDEO: 003 > 012").shown(), QByteArray("VIDEO: 003 > 012"));
}

void TestFeedback::assembly_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<QByteArrayList>("lines");

  const QByteArray l126 = Repeat('a', 126);
  const QByteArray l127 = Repeat('b', 127);

  QTest::newRow("one report") << QByteArray("VIDEO: 003 > 012\r\n")
                              << QByteArrayList{"VIDEO: 003 > 012"};
  QTest::newRow("three lines in order")
      << QByteArray("VIDEO: 001 > 001\r\nAUDIO: 002 > 002\r\nOK\r\n")
      << QByteArrayList{"VIDEO: 001 > 001", "AUDIO: 002 > 002", "OK"};
  QTest::newRow("empty line") << QByteArray("\r\n") << QByteArrayList{""};
  QTest::newRow("two empty lines") << QByteArray("\r\n\r\n") << QByteArrayList{"", ""};
  QTest::newRow("CR alone stays in the line") << QByteArray("A\rB\r\n") << QByteArrayList{"A\rB"};
  QTest::newRow("LF alone stays in the line") << QByteArray("A\nB\r\n") << QByteArrayList{"A\nB"};
  QTest::newRow("CR CR LF keeps one CR") << QByteArray("\r\r\n") << QByteArrayList{"\r"};
  QTest::newRow("LF first in a line never ends it")
      << QByteArray("X\r\n\nY\r\n") << QByteArrayList{"X", "\nY"};
  QTest::newRow("LF CR LF") << QByteArray("\n\r\n") << QByteArrayList{"\n"};
  QTest::newRow("unfinished line yields nothing")
      << QByteArray("VIDEO: 003 > 012\r") << QByteArrayList{};
  QTest::newRow("zero bytes are kept")
      << QByteArray("A\0B\r\n", 5) << QByteArrayList{QByteArray("A\0B", 3)};
  QTest::newRow("126 chars is the longest line") << l126 + "\r\n" + "OK\r\n"
                                                 << QByteArrayList{l126, "OK"};
  QTest::newRow("127 chars: dropped with CR, LF starts next line") << l127 + "\r\n" + "OK\r\n"
                                                                   << QByteArrayList{"\nOK"};
  QTest::newRow("128 bytes without end dropped") << Repeat('c', 128) + "OK\r\n"
                                                 << QByteArrayList{"OK"};
  QTest::newRow("200 bytes: the rest after 128 is a line") << Repeat('d', 200) + "\r\n"
                                                           << QByteArrayList{Repeat('d', 72)};
  QTest::newRow("CR at 127 and LF at 128 do not pair") << Repeat('e', 127) + "\r" + "\n\r\n"
                                                       << QByteArrayList{"\n"};
}

void TestFeedback::assembly() {
  QFETCH(QByteArray, bytes);
  QFETCH(QByteArrayList, lines);

  QCOMPARE(Serial(bytes), lines);
  QCOMPARE(Tcp({bytes}), lines);
  // Two read events, split at every position (also between CR and LF).
  for (int cut = 0; cut <= bytes.size(); ++cut) {
    const QByteArrayList got = Tcp({bytes.left(cut), bytes.mid(cut)});
    QVERIFY2(got == lines, qPrintable(QStringLiteral("split at %1").arg(cut)));
  }
  QByteArrayList oneByOne;
  for (char c : bytes) {
    oneByOne.append(QByteArray(1, c));
  }
  QCOMPARE(Tcp(oneByOne), lines);
}

void TestFeedback::floodWithoutLineEndIsDroppedAndLaterLineFound() {
  const QByteArray flood = Repeat('x', kFloodBytes);
  const QByteArray after("VIDEO: 003 > 012\r\n");

  feedback::TcpAssembler tcp;
  QByteArrayList lines;
  tcp.feed(flood, [&](const QByteArray& l) { lines.append(l); });
  QVERIFY(lines.isEmpty());
  // Nothing piles up: at most an unfinished line stays in the ring.
  QVERIFY(tcp.freeSpace() >= feedback::kTcpRingSize - feedback::kSerialLineSize);
  tcp.feed(after, [&](const QByteArray& l) { lines.append(l); });
  QCOMPARE(lines, QByteArrayList{"VIDEO: 003 > 012"});

  QCOMPARE(Serial(flood + after), lines);
  // A flood that leaves a partial block glues onto the next line, the same on both paths.
  const QByteArray odd = Repeat('x', kFloodBytes + 5) + after;
  QCOMPARE(Tcp({odd}), Serial(odd));
  QCOMPARE(Tcp({odd}), QByteArrayList{"xxxxxVIDEO: 003 > 012"});
}

void TestFeedback::moreThanRingInOneReadLosesNoLine() {
  constexpr int kLines = 512;
  QByteArray burst;
  QByteArrayList expected;
  for (int k = 1; k <= kLines; ++k) {
    const QByteArray line = QByteArray(k % 2 ? "VIDEO: " : "AUDIO: ") +
                            QByteArray::number(k % 256).rightJustified(3, '0') + " > " +
                            QByteArray::number(k % 256 + 1).rightJustified(3, '0');
    expected.append(line);
    burst += line + "\r\n";
  }
  QVERIFY(burst.size() > 4 * feedback::kTcpRingSize);

  QCOMPARE(Tcp({burst}), expected);

  // The same through a device, as the socket read event does it.
  QBuffer device(&burst);
  QVERIFY(device.open(QIODevice::ReadOnly));
  feedback::TcpAssembler tcp;
  QByteArrayList lines;
  QCOMPARE(tcp.readAvailable(device, [&](const QByteArray& l) { lines.append(l); }),
           qint64(burst.size()));
  QCOMPARE(lines, expected);
}

void TestFeedback::randomSplitsGiveSerialLines() {
  // Short and long lines, lone CRs and LFs, line ends on the 128-byte boundary: whatever
  // the stream, every split must give the serial lines.
  const quint32 seed = QRandomGenerator::global()->generate();
  QRandomGenerator rng(seed);
  static const char kAlphabet[] = {'a', 'V', ' ', '0', '\r', '\n', '\0'};
  for (int round = 0; round < kPropertyRounds; ++round) {
    QByteArray stream;
    const int pieces = rng.bounded(1, 60);
    for (int p = 0; p < pieces; ++p) {
      const int length = rng.bounded(0, 2 * feedback::kSerialLineSize);
      for (int k = 0; k < length; ++k) {
        // Mostly plain text, so that lines do get long.
        stream += rng.bounded(4) ? char('A' + rng.bounded(26))
                                 : kAlphabet[rng.bounded(int(sizeof kAlphabet))];
      }
      if (rng.bounded(3)) {
        stream += "\r\n";
      }
    }
    QByteArrayList chunks;
    for (int pos = 0; pos < stream.size();) {
      const int n = rng.bounded(1, kMaxChunk);
      chunks.append(stream.mid(pos, n));
      pos += n;
    }
    const QByteArrayList serial = Serial(stream);
    const QByteArrayList tcp = Tcp(chunks);
    if (serial != tcp) {
      QFAIL(qPrintable(QStringLiteral("seed %1, round %2: %3 serial lines, %4 TCP lines")
                           .arg(seed)
                           .arg(round)
                           .arg(serial.size())
                           .arg(tcp.size())));
    }
  }
}

void TestFeedback::handlerMayReenterTheScan() {
  // A handler that shows a modal box runs a nested event loop, in which the next read
  // event arrives. Each line must still be handled once, in arrival order.
  feedback::TcpAssembler tcp;
  QByteArrayList lines;
  std::function<void(const QByteArray&)> onLine = [&](const QByteArray& l) {
    lines.append(l);
    if (l == "A") {
      tcp.feed("C\r\nD", onLine);
    }
  };
  tcp.feed("A\r\nB\r\n", onLine);
  tcp.feed("\r\n", onLine);
  QCOMPARE(lines, QByteArrayList({"A", "B", "C", "D"}));
}

void TestFeedback::receiveTakesOnlyWhatFits() {
  feedback::TcpAssembler tcp;
  const QByteArray big = Repeat('z', kMaxChunk);
  const int room = tcp.freeSpace();
  QCOMPARE(tcp.receive(big.constData(), big.size()), room);
  QCOMPARE(tcp.freeSpace(), 0);
  QCOMPARE(tcp.receive("q", 1), 0);
  QCOMPARE(tcp.receive(nullptr, 5), 0);
  QCOMPARE(tcp.receive("q", -1), 0);
  tcp.scan({});
  QVERIFY(tcp.freeSpace() > 0);
}

void TestFeedback::readAvailableFromRealSocket() {
  constexpr int kLines = 512;
  QByteArray burst;
  for (int k = 1; k <= kLines; ++k) {
    burst += "VIDEO: " + QByteArray::number(k % 100).rightJustified(3, '0') + " > " +
             QByteArray::number(k % 256 + 1).rightJustified(3, '0') + "\r\n";
  }

  QTcpServer server;
  QVERIFY(server.listen(QHostAddress::LocalHost, 0));
  QTcpSocket client;
  client.connectToHost(QHostAddress::LocalHost, server.serverPort());
  QVERIFY(server.waitForNewConnection(int(kNetworkTimeout.count())));
  QTcpSocket* peer = server.nextPendingConnection();
  QVERIFY(peer);
  QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::ConnectedState,
                            int(kNetworkTimeout.count()));

  feedback::TcpAssembler tcp;
  QByteArrayList lines;
  connect(&client, &QTcpSocket::readyRead, this,
          [&] { tcp.readAvailable(client, [&](const QByteArray& l) { lines.append(l); }); });
  // Split a line between its CR and LF across two writes.
  const int cut = burst.indexOf("\r\n", burst.size() / 2) + 1;
  peer->write(burst.left(cut));
  peer->flush();
  peer->write(burst.mid(cut));
  QTRY_COMPARE_WITH_TIMEOUT(lines.size(), kLines, int(kNetworkTimeout.count()));
  QCOMPARE(lines, Serial(burst));
}

QTEST_GUILESS_MAIN(TestFeedback)
#include "tst_feedback.moc"
