// The SW-P-08 codec byte for byte: the document's own example frames, stuffing, the deframer
// under garbage, any cut and a sender that does not stuff its count and checksum, and the
// layouts of the answers (dumps, names, protects) against their limits.

#include "Swp08Frame.h"
#include "Swp08Messages.h"

#include <QtTest>

using namespace swp08;

namespace {

QByteArray H(const QByteArray& hex) { return QByteArray::fromHex(hex); }

// Events as text: "ack", "nak", "bad", or the message's DATA in hex.
QString Trace(const std::vector<Deframer::Event>& events) {
  QStringList out;
  for (const auto& e : events) {
    switch (e.kind) {
      case Deframer::Event::Message: out << QString::fromLatin1(e.data.toHex()); break;
      case Deframer::Event::Ack: out << "ack"; break;
      case Deframer::Event::Nak: out << "nak"; break;
      case Deframer::Event::Bad: out << "bad"; break;
    }
  }
  return out.join(' ');
}

QString Deframe(const QByteArray& in, int cut = -1) {
  Deframer d;
  std::vector<Deframer::Event> events;
  if (cut < 0) {
    d.push(in.constData(), int(in.size()), &events);
  } else {
    d.push(in.constData(), cut, &events);
    d.push(in.constData() + cut, int(in.size()) - cut, &events);
  }
  return Trace(events);
}

QString Describe(const Request& r) {
  static const char* kKinds[] = {"Interrogate", "Connect", "TallyDump", "Implementation", "SourceNames",
                                 "DestinationNames", "DualStatus", "ProtectInterrogate", "ProtectConnect",
                                 "ProtectDisconnect", "ProtectTallyDump", "ProtectDeviceName", "Other"};
  return QString("%1 %2/%3 d%4 s%5 n%6 v%7 f%8")
      .arg(kKinds[int(r.kind)])
      .arg(r.matrix).arg(r.level).arg(r.destination).arg(r.source).arg(r.nameLength).arg(r.device).arg(r.first);
}

int Word(const QByteArray& m, int at) { return quint8(m[at]) * 256 + quint8(m[at + 1]); }

const QByteArray kImplementationRequest = H("10 02 61 01 9E 10 03");

}  // namespace

class TestSwp08 : public QObject {
  Q_OBJECT

 private:
  void streamTable() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("events");
  }
  void stream() {
    QFETCH(QByteArray, input);
    QFETCH(QString, events);
    QCOMPARE(Deframe(input), events);
  }

 private slots:
  // The document's examples: our bytes for their DATA, and their frames read back.
  void goldenFrames_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("implementation request") << kImplementationRequest << H("61");
    QTest::newRow("interrogate dest 1") << H("10 02 01 11 00 01 04 E9 10 03") << H("01 11 00 01");
    QTest::newRow("tally 153 on dest 1") << H("10 02 03 11 01 01 19 05 CC 10 03") << Tally(false, 1, 1, 1, 153, false);
    QTest::newRow("connect 0 to dest 2") << H("10 02 02 11 00 02 00 05 E6 10 03") << H("02 11 00 02 00");
    QTest::newRow("connected") << H("10 02 04 11 00 02 00 05 E4 10 03") << Connected(false, 1, 1, 2, 0);
    QTest::newRow("implementation answer")
        << H("10 02 62 08 09 03 04 16 20 22 53 62 63 01 02 15 1F 20 21 43 4A 61 14 9C 10 03")
        << Implementation({0x03, 0x04, 0x16, 0x20, 0x22, 0x53, 0x62, 0x63},
                          {0x01, 0x02, 0x15, 0x1F, 0x20, 0x21, 0x43, 0x4A, 0x61});
  }
  void goldenFrames() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, data);
    QCOMPARE(Frame(data).toHex(' '), frame.toHex(' '));
    QCOMPARE(Deframe(frame), QString::fromLatin1(data.toHex()));
  }

  void stuffing_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("in DATA") << H("02 00 00 10 00") << H("10 02 02 00 00 10 10 00 05 E9 10 03");
    QTest::newRow("BTC 0x10") << H("20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F")
                              << H("10 02 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 10 10 78 10 03");
    QTest::newRow("CHK 0x10") << H("81 00 00 00 6A") << H("10 02 81 00 00 00 6A 05 10 10 10 03");
    QTest::newRow("DATA, BTC, CHK") << H(QByteArray("10 ").repeated(15) + "F0")
                                    << H("10 02 " + QByteArray("10 10 ").repeated(15) + "F0 10 10 10 10 10 03");
  }
  void stuffing() {
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, frame);
    QCOMPARE(Frame(data).toHex(' '), frame.toHex(' '));
    QCOMPARE(Deframe(frame), QString::fromLatin1(data.toHex()));
  }

  void badFrames_data() {
    streamTable();
    QTest::newRow("checksum") << H("10 02 01 11 00 01 04 E8 10 03") << "bad";
    QTest::newRow("count high") << H("10 02 01 11 00 01 05 E8 10 03") << "bad";
    QTest::newRow("count low") << H("10 02 01 11 00 01 03 EA 10 03") << "bad";
    QTest::newRow("empty") << H("10 02 10 03") << "bad";
    QTest::newRow("no DATA") << H("10 02 00 00 10 03") << "bad";
    QTest::newRow("then a good one") << H("10 02 01 11 00 01 04 E8 10 03") + kImplementationRequest << "bad 61";
  }
  void badFrames() { stream(); }

  // Garbage, acknowledges between and inside frames, and the npm client's single 0x10s.
  void resync_data() {
    streamTable();
    QTest::newRow("garbage first") << H("FF 00 03 10 03 06 15") + kImplementationRequest << "61";
    QTest::newRow("DLE DLE STX") << H("10 10 02 61 01 9E 10 03") << "61";
    QTest::newRow("DLE and other") << H("10 55") + kImplementationRequest << "61";
    QTest::newRow("restart in a frame") << H("10 02 01 11 00") + kImplementationRequest << "61";
    QTest::newRow("between frames") << kImplementationRequest + H("55 10 03 10") + kImplementationRequest << "61 61";
    QTest::newRow("overlong dropped") << H("10 02") + QByteArray(kMaxFrameData + 10, 'x') + H("10 03") +
                                            kImplementationRequest
                                      << "61";
    QTest::newRow("acks between") << H("10 06") + kImplementationRequest + H("10 15 10 02 01 11 00 01 04 E9 10 03 10 06")
                                  << "ack 61 nak 01110001 ack";
    QTest::newRow("ack inside") << H("10 02 01 11 10 06 00 01 04 E9 10 03") << "ack 01110001";
    QTest::newRow("nak before BTC") << H("10 02 01 11 00 01 10 15 04 E9 10 03") << "nak 01110001";
    QTest::newRow("ack before ETX") << H("10 02 01 11 00 01 04 E9 10 06 10 03") << "ack 01110001";
    QTest::newRow("ack, then a bad end") << H("10 02 01 11 10 06 10 03") << "ack bad";
    QTest::newRow("ack, then a restart") << H("10 02 01 10 06 10 02 61 01 9E 10 03") << "ack 61";
    // The npm client stuffs DATA only: its BTC and CHK of 0x10 come single.
    QTest::newRow("BTC 0x10") << H("10 02 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 10 78 10 03")
                              << "202122232425262728292a2b2c2d2e2f";
    QTest::newRow("CHK 0x10") << H("10 02 81 00 00 00 6A 05 10 10 03") << "810000006a";
    QTest::newRow("CHK 0x10, then more") << H("10 02 81 00 00 00 6A 05 10 10 03") + kImplementationRequest
                                         << "810000006a 61";
    QTest::newRow("BTC 0x10, CHK 0x06") << H("10 02" + QByteArray("20 ").repeated(15) + "0A 10 06 10 03")
                                        << QString("20").repeated(15) + "0a";
    QTest::newRow("stuffed 10 03 in DATA") << Frame(H("02 00 00 10 03")) << "0200001003";
  }
  void resync() { stream(); }

  void splitAnywhere_data() {
    streamTable();
    QTest::newRow("golden and acks") << H("10 06 10 02 03 11 01 01 19 05 CC 10 03 10 15") + kImplementationRequest
                                     << "ack 0311010119 nak 61";
    QTest::newRow("stuffed") << H("10 02 81 00 00 00 6A 05 10 10 10 03 10 02 02 00 00 10 10 00 05 E9 10 03")
                             << "810000006a 0200001000";
    QTest::newRow("lenient") << H("10 02 81 00 00 00 6A 05 10 10 03 10 02" + QByteArray("20 ").repeated(15) +
                                  "0A 10 06 10 03 10 02 01 11 10 06 00 01 04 E9 10 03")
                             << "810000006a " + QString("20").repeated(15) + "0a ack 01110001";
  }
  void splitAnywhere() {
    QFETCH(QByteArray, input);
    QFETCH(QString, events);
    for (int cut = 0; cut <= input.size(); ++cut) QCOMPARE(Deframe(input, cut), events);
    Deframer d;
    std::vector<Deframer::Event> got;
    for (const char c : input) d.push(&c, 1, &got);
    QCOMPARE(Trace(got), events);
  }

  void parse_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("request");
    QTest::newRow("interrogate") << H("01 11 00 01") << true << "Interrogate 1/1 d1 s0 n0 v0 f0";
    QTest::newRow("connect") << H("02 11 00 02 00") << true << "Connect 1/1 d2 s0 n0 v0 f0";
    QTest::newRow("connect DIV 128") << H("02 23 5A 7F 01") << true << "Connect 2/3 d767 s257 n0 v0 f0";
    QTest::newRow("ext interrogate") << H("81 05 11 01 2C") << true << "Interrogate 5/17 d300 s0 n0 v0 f0";
    QTest::newRow("ext connect") << H("82 00 01 12 34 03 E8") << true << "Connect 0/1 d4660 s1000 n0 v0 f0";
    QTest::newRow("tally dump") << H("15 21") << true << "TallyDump 2/1 d0 s0 n0 v0 f0";
    QTest::newRow("ext tally dump") << H("95 14 01") << true << "TallyDump 20/1 d0 s0 n0 v0 f0";
    QTest::newRow("implementation") << H("61") << true << "Implementation 0/0 d0 s0 n0 v0 f0";
    QTest::newRow("dual status") << H("08") << true << "DualStatus 0/0 d0 s0 n0 v0 f0";
    QTest::newRow("source names") << H("64 13 02") << true << "SourceNames 1/3 d0 s0 n2 v0 f0";
    QTest::newRow("source names, code only") << H("64 01") << true << "SourceNames 0/0 d0 s0 n1 v0 f0";
    QTest::newRow("ext source names") << H("E4 00 01 03") << true << "SourceNames 0/1 d0 s0 n3 v0 f0";
    QTest::newRow("dest names") << H("66 1F 04") << true << "DestinationNames 1/0 d0 s0 n4 v0 f0";
    QTest::newRow("ext dest names") << H("E6 02 01") << true << "DestinationNames 2/0 d0 s0 n1 v0 f0";
    QTest::newRow("protect interrogate") << H("0A 00 13 05") << true << "ProtectInterrogate 0/0 d133 s0 n0 v384 f0";
    QTest::newRow("protect connect") << H("0C 01 21 7F 05") << true << "ProtectConnect 0/1 d383 s0 n0 v133 f0";
    QTest::newRow("protect disconnect") << H("0E 10 00 03 04") << true << "ProtectDisconnect 1/0 d3 s0 n0 v4 f0";
    QTest::newRow("ext protect interrogate") << H("8A 00 01 01 00") << true << "ProtectInterrogate 0/1 d256 s0 n0 v0 f0";
    QTest::newRow("ext protect connect") << H("8C 00 00 01 02 03 04") << true << "ProtectConnect 0/0 d258 s0 n0 v772 f0";
    QTest::newRow("ext protect disconnect") << H("8E 01 02 04 00 00 05") << true << "ProtectDisconnect 1/2 d1024 s0 n0 v5 f0";
    QTest::newRow("protect dump") << H("13 00 01 02") << true << "ProtectTallyDump 0/0 d0 s0 n0 v0 f258";
    QTest::newRow("protect dump, no first") << H("13 12") << true << "ProtectTallyDump 1/2 d0 s0 n0 v0 f0";
    QTest::newRow("ext protect dump") << H("93 01 00 01 00") << true << "ProtectTallyDump 1/0 d0 s0 n0 v0 f256";
    QTest::newRow("device name") << H("11 02 05") << true << "ProtectDeviceName 0/0 d0 s0 n0 v261 f0";
    QTest::newRow("unknown") << H("7F 01 02") << true << "Other 0/0 d0 s0 n0 v0 f0";
    QTest::newRow("empty") << QByteArray() << false << "Other 0/0 d0 s0 n0 v0 f0";
    QTest::newRow("short interrogate") << H("01 11 00") << false << "";
    QTest::newRow("short ext connect") << H("82 00 01 12 34 03") << false << "";
    QTest::newRow("short protect connect") << H("0C 01 21 7F") << false << "";
    QTest::newRow("short ext protect") << H("8C 00 00 01 02 03") << false << "";
    QTest::newRow("short source names") << H("64") << false << "";
    QTest::newRow("short ext source names") << H("E4 00 01") << false << "";
    QTest::newRow("short ext dest names") << H("E6 00") << false << "";
    QTest::newRow("short device name") << H("11 02") << false << "";
  }
  void parse() {
    QFETCH(QByteArray, data);
    QFETCH(bool, ok);
    QFETCH(QString, request);
    Request r;
    QCOMPARE(Parse(data, &r), ok);
    if (!request.isEmpty()) QCOMPARE(Describe(r), request);
    QCOMPARE(r.command, data.isEmpty() ? quint8(0) : quint8(data[0]));
    QCOMPARE(r.extended, !data.isEmpty() && quint8(data[0]) >= 0x80);
  }

  void builders_data() {
    QTest::addColumn<QByteArray>("got");
    QTest::addColumn<QByteArray>("want");
    QTest::newRow("tally bad source") << Tally(false, 0, 1, 300, 5, true) << H("03 01 28 2C 05");
    QTest::newRow("tally unknown") << Tally(false, 0, 0, 3, -1, false) << H("03 00 0F 03 7F");
    QTest::newRow("ext tally") << Tally(true, 1, 2, 0x123, 0x456, false) << H("83 01 02 01 23 04 56 00");
    QTest::newRow("ext tally bad") << Tally(true, 0, 0, 1, 2, true) << H("83 00 00 00 01 00 02 08");
    QTest::newRow("connected 1023") << Connected(false, 15, 15, 1023, 1023) << H("04 FF 77 7F 7F");
    QTest::newRow("ext connected") << Connected(true, 0, 1, 5, 7) << H("84 00 01 00 05 00 07 00");
    QTest::newRow("dual status") << DualStatus() << H("09 02 01");
    QTest::newRow("protect tally") << ProtectTally(false, 1, 0, 130, {ProtectState::ProtectedOem, 300})
                                   << H("0B 10 03 12 02 2C");
    QTest::newRow("ext protect connected")
        << ProtectConnected(true, 0, 1, 0x201, {ProtectState::Protected, 0x305}) << H("8D 00 01 01 02 01 03 05");
    QTest::newRow("protect disconnected") << ProtectDisconnected(false, 0, 0, 5, {ProtectState::NotProtected, 7})
                                          << H("0F 00 00 00 05 07");
    QTest::newRow("protect dump")
        << ProtectDump(false, 0, 1, 10,
                       {{ProtectState::ProtectedOem, 5}, {}, {ProtectState::ProtectedOverride, 1023}})
               .front()
        << H("14 01 03 00 0A 30 05 00 00 23 FF");
    QTest::newRow("ext protect dump") << ProtectDump(true, 0, 1, 256, {{ProtectState::Protected, 2}}).front()
                                      << H("94 00 01 01 01 00 10 02");
    const auto split = ProtectDump(false, 0, 0, 0, std::vector<Protect>(65));
    QTest::newRow("protect dump of 65: 64") << split.at(0).left(5) + QByteArray::number(split.at(0).size())
                                            << H("14 00 40 00 00") + "133";
    QTest::newRow("protect dump of 65: 1") << split.at(1) << H("14 00 01 00 40 00 00");
    QTest::newRow("device name") << ProtectDeviceName(300, "Desk A") << H("12 02 2C") + "Desk A  ";
    QTest::newRow("device name cut") << ProtectDeviceName(1, "LongDeviceName") << H("12 00 01") + "LongDevi";
  }
  void builders() {
    QFETCH(QByteArray, got);
    QFETCH(QByteArray, want);
    QCOMPARE(got.toHex(' '), want.toHex(' '));
  }

  // Each row: the messages as command:first+count; the test reads every tally back.
  void tallyDump_data() {
    QTest::addColumn<bool>("extended");
    QTest::addColumn<std::vector<int>>("sources");
    QTest::addColumn<QString>("messages");
    QTest::newRow("byte") << false << std::vector<int>{5, 0, 191} << "16:0+3";
    QTest::newRow("source 192") << false << std::vector<int>{0, 192} << "17:0+2";
    QTest::newRow("192 dests") << false << std::vector<int>(192, 7) << "16:0+64 16:64+64 16:128+64";
    QTest::newRow("193 dests") << false << std::vector<int>(193, 7) << "17:0+64 17:64+64 17:128+64 17:192+1";
    QTest::newRow("unknown") << false << std::vector<int>{1, -1} << "17:0+2";
    QTest::newRow("extended") << true << std::vector<int>{1, 2} << "97:0+2";
    QTest::newRow("extended 65") << true << std::vector<int>(65, 300) << "97:0+64 97:64+1";
    QTest::newRow("empty") << false << std::vector<int>{} << "16:0+0";
  }
  void tallyDump() {
    QFETCH(bool, extended);
    QFETCH(std::vector<int>, sources);
    QFETCH(QString, messages);
    QStringList shape;
    std::vector<int> back;
    for (const QByteArray& m : TallyDump(extended, 1, 2, sources)) {
      const quint8 c = quint8(m[0]);
      const int at = c == 0x97 ? 3 : 2;
      QCOMPARE(m.left(at), c == 0x97 ? H("97 01 02") : QByteArray(1, char(c)) + H("12"));
      const int count = quint8(m[at]);
      const bool byteDump = c == 0x16;
      const int first = byteDump ? quint8(m[at + 1]) : Word(m, at + 1);
      const int head = at + (byteDump ? 2 : 3);
      QCOMPARE(int(m.size()), head + count * (byteDump ? 1 : 2));
      for (int i = 0; i < count; ++i) back.push_back(byteDump ? quint8(m[head + i]) : Word(m, head + 2 * i));
      shape << QString("%1:%2+%3").arg(c, 2, 16, QChar('0')).arg(first).arg(count);
    }
    QCOMPARE(shape.join(' '), messages);
    for (int& s : sources) s = s < 0 ? kNoSource : s;
    QCOMPARE(back, sources);
  }

  void namePadding_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("4 pad") << 0 << "AB" << QByteArray("AB  ");
    QTest::newRow("4 cut") << 0 << "Camera" << QByteArray("Came");
    QTest::newRow("8 pad") << 1 << "Cam 1" << QByteArray("Cam 1   ");
    QTest::newRow("8 cut") << 1 << "Camera Twelve" << QByteArray("Camera T");
    QTest::newRow("12 pad") << 2 << "VT" << QByteArray("VT          ");
    QTest::newRow("12 cut") << 2 << "Camera Twelve!" << QByteArray("Camera Twelv");
    QTest::newRow("16 pad") << 3 << "Studio" << QByteArray("Studio          ");
    QTest::newRow("16 cut") << 3 << "Studio Two Main Out" << QByteArray("Studio Two Main ");
    QTest::newRow("32 pad") << 4 << "x" << "x" + QByteArray(31, ' ');
    QTest::newRow("32 cut") << 4 << QString(40, 'y') << QByteArray(32, 'y');
    QTest::newRow("Latin-1") << 1 << QString::fromUtf8("Café") << QByteArray("Caf\xE9    ");
    QTest::newRow("outside Latin-1") << 1 << QString::fromUtf8("日本\xF0\x9F\x8E\xA5" "1") << QByteArray("???1    ");
  }
  void namePadding() {
    QFETCH(int, code);
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    const auto source = SourceNames(false, 0, 0, code, {name});
    QCOMPARE(source.size(), size_t(1));
    QCOMPARE(source[0], H("6A 00") + char(code) + H("00 00 01") + bytes);
    const auto dest = DestinationNames(true, 0, 0, code, {name});
    QCOMPARE(dest.size(), size_t(1));
    QCOMPARE(dest[0], H("EB 00") + char(code) + H("00 00 01") + bytes);
  }

  // Each row: the messages as first+count, and the first message's head.
  void nameLimits_data() {
    QTest::addColumn<bool>("source");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("messages");
    QTest::addColumn<QByteArray>("head");
    QTest::newRow("8 chars: 15 a message") << true << false << 1 << 40 << "0+15 15+15 30+10" << H("6A 23 01 00 00 0F");
    QTest::newRow("4 chars: still 15") << true << false << 0 << 16 << "0+15 15+1" << H("6A 23 00 00 00 0F");
    QTest::newRow("ext 8 chars: 127 bytes") << true << true << 1 << 15 << "0+15" << H("EA 02 03 01 00 00 0F");
    QTest::newRow("ext 12 chars: 10") << true << true << 2 << 25 << "0+10 10+10 20+5" << H("EA 02 03 02 00 00 0A");
    QTest::newRow("dest 16 chars: 7") << false << false << 3 << 8 << "0+7 7+1" << H("6B 20 03 00 00 07");
    QTest::newRow("ext dest 32 chars: 3") << false << true << 4 << 7 << "0+3 3+3 6+1" << H("EB 02 04 00 00 03");
    QTest::newRow("none") << true << false << 1 << 0 << "0+0" << H("6A 23 01 00 00 00");
    QTest::newRow("unknown code") << true << false << 5 << 3 << "" << QByteArray();
  }
  void nameLimits() {
    QFETCH(bool, source);
    QFETCH(bool, extended);
    QFETCH(int, code);
    QFETCH(int, count);
    QFETCH(QString, messages);
    QFETCH(QByteArray, head);
    QStringList names;
    for (int i = 0; i < count; ++i) names << QString("N%1").arg(i);
    const auto out = source ? SourceNames(extended, 2, 3, code, names) : DestinationNames(extended, 2, 3, code, names);
    QStringList shape;
    const int chars = NameChars(code);
    for (const QByteArray& m : out) {
      QVERIFY2(m.size() <= 128, m.toHex(' ').constData());
      const int at = int(head.size()) - 3;
      const int first = Word(m, at), n = quint8(m[at + 2]);
      QVERIFY(n <= 15);
      QCOMPARE(int(m.size()), int(head.size()) + n * chars);
      for (int i = 0; i < n; ++i)
        QCOMPARE(m.mid(head.size() + i * chars, chars).trimmed(), QString("N%1").arg(first + i).toLatin1());
      shape << QString("%1+%2").arg(first).arg(n);
    }
    QCOMPARE(shape.join(' '), messages);
    if (!out.empty()) QCOMPARE(out.front().left(head.size()).toHex(' '), head.toHex(' '));
  }

  void nameChars() {
    QCOMPARE((QList<int>{NameChars(-1), NameChars(0), NameChars(1), NameChars(2), NameChars(3), NameChars(4),
                         NameChars(5)}),
             (QList<int>{-1, 4, 8, 12, 16, 32, -1}));
  }
};

QTEST_GUILESS_MAIN(TestSwp08)
#include "tst_swp08.moc"
