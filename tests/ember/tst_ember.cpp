// The Ember+ codec in three layers, each alone: S101 (the documents' check frames, CRC bytes
// escaped, resync after garbage, multi-packet both ways), BER (lengths, tags, integers, garbage
// and truncation) and Glow (the requests two real consumers send, byte for byte as their
// encoders produce them, and the elements a provider answers with).

#include "Ber.h"
#include "Glow.h"
#include "S101.h"

#include <QtTest>

using namespace ember;

namespace {

QByteArray H(const char* hex) { return QByteArray::fromHex(hex); }
QString Hex(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex()); }

QString Join(const std::vector<int>& ids) {
  QStringList out;
  for (int id : ids) out << QString::number(id);
  return out.join('.');
}

// A request as one line: "<kind> <element> <path>" plus its mask, value or connections.
QString Describe(const glow::Request& r) {
  static const char* kKinds[] = {"getDirectory", "subscribe", "unsubscribe", "setValue", "connect"};
  static const char* kElements[] = {"root", "node", "parameter", "matrix"};
  QString s = QString("%1 %2 %3").arg(kKinds[r.kind], kElements[r.element], r.path.empty() ? "-" : Join(r.path));
  if (r.dirFieldMask) s += QString(" mask=%1").arg(*r.dirFieldMask);
  if (r.kind == glow::Request::SetValue) {
    switch (r.value.type) {
      case glow::Value::String: s += " \"" + r.value.string + "\""; break;
      case glow::Value::Integer: s += QString(" %1").arg(r.value.integer); break;
      case glow::Value::Boolean: s += r.value.boolean ? " true" : " false"; break;
      case glow::Value::Real: s += QString(" %1r").arg(r.value.real); break;
      case glow::Value::Octets: s += " 0x" + Hex(r.value.octets); break;
      case glow::Value::None: s += " none"; break;
    }
  }
  for (const glow::Connection& c : r.connections)
    s += QString(" [%1<-%2 op%3 d%4]").arg(c.target).arg(Join(c.sources)).arg(c.operation).arg(c.disposition);
  return s;
}

QString DescribeAll(const QByteArray& glowBytes, bool* ok = nullptr, QString* error = nullptr) {
  std::vector<glow::Request> requests;
  const bool good = glow::DecodeRequests(glowBytes, &requests, error);
  if (ok) *ok = good;
  QStringList out;
  for (const auto& r : requests) out << Describe(r);
  return out.join(" | ");
}

// Deframes and returns the bodies in hex, space-separated.
QString Bodies(const QByteArray& in, int* bad = nullptr) {
  s101::Deframer d;
  std::vector<QByteArray> bodies;
  d.push(in.constData(), int(in.size()), &bodies);
  if (bad) *bad = d.badFrames();
  QStringList out;
  for (const auto& b : bodies) out << Hex(b);
  return out.join(' ');
}

QString Events(const std::vector<s101::Decoder::Event>& events) {
  QStringList out;
  for (const auto& e : events) {
    switch (e.kind) {
      case s101::Decoder::Event::Message: out << Hex(e.data); break;
      case s101::Decoder::Event::KeepAliveRequest: out << "kareq"; break;
      case s101::Decoder::Event::KeepAliveResponse: out << "karesp"; break;
    }
  }
  return out.join(' ');
}

// An EmBER packet's unescaped body with the given flags and payload.
QByteArray Body(std::uint8_t flags, const QByteArray& payload) {
  return H("000e0001") + QByteArray(1, char(flags)) + H("01021f02") + payload;
}

// 256 targets, each with one source: the answer to getDirectory on a 256 by 256 matrix.
QByteArray BigConnections() {
  std::vector<glow::Connection> connections;
  for (int t = 0; t < 256; ++t) connections.push_back({t, {255 - t}, glow::kAbsolute, glow::kTally});
  glow::Element m = glow::MatrixConnections({1, 1}, connections);
  m.children = std::vector<glow::Element>{};
  return glow::EncodeRoot({m});
}

}  // namespace

class TestEmber : public QObject {
  Q_OBJECT

 private slots:
  // ---- S101 ----------------------------------------------------------------------------

  void checkFrames_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("FF 00 F9 01: data bytes escaped") << s101::Frame(H("ff00f901")) << H("fefddf00fdd9019583ff");
    QTest::newRow("keep-alive request") << s101::KeepAliveRequest() << H("fe000e010194e4ff");
    QTest::newRow("keep-alive response: CRC low byte escaped") << s101::KeepAliveResponse() << H("fe000e0201fddcceff");
    QTest::newRow("EmBER packet header: single, Glow 2.31")
        << s101::EmberPacket(s101::kFlagSingle, H("6000")) << s101::Frame(H("000e0001c001021f026000"));
  }
  void checkFrames() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(Hex(frame), Hex(expected));
  }

  void crc_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("residue");
    // CRC-16/X-25's check value is 0x906E, the inverted register over "123456789".
    QTest::newRow("check string") << QByteArray("123456789") << int(0x906E ^ 0xFFFF);
    QTest::newRow("nothing: the initial value") << QByteArray() << 0xFFFF;
    QTest::newRow("data and its inverted CRC: the good residue") << QByteArray("123456789\x6e\x90", 11) << 0xF0B8;
  }
  void crc() {
    QFETCH(QByteArray, data);
    QFETCH(int, residue);
    QCOMPARE(int(s101::Crc(data.constData(), int(data.size()))), residue);
  }

  void crcBytesEscaped_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expected");
    // Bodies picked so that each CRC byte, alone or both, is at or above 0xF8.
    QTest::newRow("high byte FC") << H("000e0001c001021f020017") << H("fe000e0001c001021f020017f6fddcff");
    QTest::newRow("low byte FC") << H("000e0001c001021f020026") << H("fe000e0001c001021f020026fddcdcff");
    QTest::newRow("both: FE and FD") << H("000e0001c001021f020006") << H("fe000e0001c001021f020006fddefdddff");
  }
  void crcBytesEscaped() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);
    const QByteArray frame = s101::Frame(body);
    QCOMPARE(Hex(frame), Hex(expected));
    int bad = -1;
    QCOMPARE(Bodies(frame, &bad), Hex(body));
    QCOMPARE(bad, 0);
  }

  void deframer_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QString>("bodies");
    QTest::addColumn<int>("bad");
    const QByteArray ka = s101::KeepAliveRequest();
    const QByteArray kr = s101::KeepAliveResponse();
    QTest::newRow("garbage before a frame is skipped") << H("0102ff0e00fd") + ka << "000e0101" << 0;
    QTest::newRow("a truncated frame is dropped by the next BOF") << ka.left(4) + kr << "000e0201" << 1;
    QTest::newRow("bad CRC dropped, next frame taken")
        << H("fe000e010194e5ff") + ka << "000e0101" << 1;
    QTest::newRow("an escaped byte is unescaped once") << s101::Frame(H("fdfefff8")) << "fdfefff8" << 0;
    QTest::newRow("CE right before EOF is a bad frame") << H("fe000e0101fdff") + ka << "000e0101" << 1;
    QTest::newRow("frame shorter than a CRC") << H("fe00ff") + kr << "000e0201" << 1;
    QTest::newRow("empty frame") << H("feff") + kr << "000e0201" << 1;
    QTest::newRow("oversized frame dropped, the stream goes on")
        << H("fe") + QByteArray(s101::kMaxFrame + 10, 'a') + H("ff") + ka << "000e0101" << 1;
    QTest::newRow("two frames back to back") << ka + kr << "000e0101 000e0201" << 0;
  }
  void deframer() {
    QFETCH(QByteArray, in);
    QFETCH(QString, bodies);
    QFETCH(int, bad);
    int gotBad = -1;
    QCOMPARE(Bodies(in, &gotBad), bodies);
    QCOMPARE(gotBad, bad);
  }

  void deframerAnySplit_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::newRow("escapes in data and CRC") << s101::Frame(H("ff00f901")) + s101::KeepAliveResponse();
    QTest::newRow("garbage and a cut frame") << H("00fe0102") + s101::KeepAliveRequest() + H("fd");
  }
  void deframerAnySplit() {
    QFETCH(QByteArray, in);
    int wholeBad = 0;
    const QString whole = Bodies(in, &wholeBad);
    for (int cut = 0; cut <= in.size(); ++cut) {
      s101::Deframer d;
      std::vector<QByteArray> bodies;
      d.push(in.constData(), cut, &bodies);
      d.push(in.constData() + cut, int(in.size()) - cut, &bodies);
      QStringList out;
      for (const auto& b : bodies) out << Hex(b);
      QCOMPARE(out.join(' '), whole);
      QCOMPARE(d.badFrames(), wholeBad);
    }
  }

  void decoderPackets_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QString>("events");
    QTest::addColumn<int>("dropped");
    const auto F = [](std::uint8_t flags, const char* payload) { return s101::Frame(Body(flags, H(payload))); };
    QTest::newRow("keep-alives") << s101::KeepAliveRequest() + s101::KeepAliveResponse() << "kareq karesp" << 0;
    QTest::newRow("single packet") << F(0xC0, "6000") << "6000" << 0;
    QTest::newRow("single packet flagged empty carries nothing") << F(0xE0, "6000") << "" << 0;
    QTest::newRow("first, middle, last reassembled") << F(0x80, "60") + F(0x00, "03") + F(0x40, "6b0100") << "60036b0100" << 0;
    QTest::newRow("first and last") << F(0x80, "6002") + F(0x40, "6b00") << "60026b00" << 0;
    QTest::newRow("an empty middle packet adds nothing")
        << F(0x80, "6002") + F(0x20, "ffff") + F(0x40, "6b00") << "60026b00" << 0;
    QTest::newRow("middle without a first is dropped") << F(0x00, "01") + F(0xC0, "02") << "02" << 1;
    QTest::newRow("last without a first is dropped") << F(0x40, "01") << "" << 1;
    QTest::newRow("a new first drops the partial message")
        << F(0x80, "aa") + F(0x80, "bb") + F(0x40, "cc") << "bbcc" << 1;
    QTest::newRow("a keep-alive between packets keeps the message")
        << F(0x80, "aa") + s101::KeepAliveRequest() + F(0x40, "bb") << "kareq aabb" << 0;
    QTest::newRow("wrong slot or message type") << s101::Frame(H("010e0001c001021f026000")) + s101::Frame(H("000f0001c0010200"))
                                                << "" << 2;
    QTest::newRow("provider state command ignored") << s101::Frame(H("000e030101")) << "" << 1;
    QTest::newRow("app bytes longer than the packet") << s101::Frame(H("000e0001c00105021f")) << "" << 1;
    QTest::newRow("other app byte count: payload after them") << s101::Frame(H("000e0001c001031f0200" "6000")) << "6000" << 0;
  }
  void decoderPackets() {
    QFETCH(QByteArray, in);
    QFETCH(QString, events);
    QFETCH(int, dropped);
    s101::Decoder d;
    std::vector<s101::Decoder::Event> out;
    d.push(in, &out);
    QCOMPARE(Events(out), events);
    QCOMPARE(d.droppedPackets(), dropped);
    QCOMPARE(d.badFrames(), 0);
  }

  void frameBound_data() {
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<bool>("kept");
    QTest::newRow("body and CRC exactly at the bound") << s101::kMaxFrame - 2 << true;
    QTest::newRow("one byte over") << s101::kMaxFrame - 1 << false;
  }
  void frameBound() {
    QFETCH(int, bodySize);
    QFETCH(bool, kept);
    s101::Deframer d;
    std::vector<QByteArray> bodies;
    const QByteArray frame = s101::Frame(QByteArray(bodySize, 'a'));
    d.push(frame.constData(), int(frame.size()), &bodies);
    QCOMPARE(bodies.size() == 1 && bodies[0].size() == bodySize, kept);
    QCOMPARE(d.badFrames(), kept ? 0 : 1);
  }

  void messageAtTheBound() {
    s101::Decoder d;
    std::vector<s101::Decoder::Event> out;
    const QByteArray chunk(s101::kMaxPacketPayload, 'x');
    d.push(s101::Frame(Body(0x80, chunk)), &out);
    for (int i = 2; i < s101::kMaxMessage / chunk.size(); ++i) d.push(s101::Frame(Body(0x00, chunk)), &out);
    d.push(s101::Frame(Body(0x40, chunk)), &out);
    QCOMPARE(int(out.size()), 1);
    QCOMPARE(int(out[0].data.size()), s101::kMaxMessage);
    QCOMPARE(d.droppedPackets(), 0);
  }

  void decoderMessageBound() {
    s101::Decoder d;
    std::vector<s101::Decoder::Event> out;
    const QByteArray chunk(s101::kMaxPacketPayload, 'x');
    d.push(s101::Frame(Body(0x80, chunk)), &out);
    for (int i = 0; i < s101::kMaxMessage / chunk.size(); ++i) d.push(s101::Frame(Body(0x00, chunk)), &out);
    d.push(s101::Frame(Body(0x40, chunk)), &out);
    QVERIFY(out.empty());
    QCOMPARE(d.droppedPackets(), 2);  // the packet over the bound, then the last without its first
    d.push(s101::EncodeMessage(H("6000"))[0], &out);
    QCOMPARE(Events(out), QString("6000"));
  }

  void multiPacketOut_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("flags");
    QTest::newRow("1024 bytes: one packet") << QByteArray(1024, char(0xFF)) << "c0";
    QTest::newRow("1025 bytes: first and last") << QByteArray(1025, char(0xFE)) << "80 40";
    QTest::newRow("3000 bytes: first, middle, last") << QByteArray(3000, 'z') << "80 00 40";
    QTest::newRow("exactly 2048 bytes: no empty last") << QByteArray(2048, 'y') << "80 40";
    QTest::newRow("256 connections of a 256 by 256 matrix") << BigConnections() << "80 00 00 00 00 00 40";
    QTest::newRow("nothing: one empty packet") << QByteArray() << "e0";
  }
  // One widely used consumer takes a reassembled message whose third byte is 0x66 for a stream
  // packet: such a Root's length goes in three bytes, which BER allows and both consumers read.
  void rootLengthNeverLooksLikeAStream() {
    QByteArray message = H("608266ff");
    message += QByteArray(0x66ff, 'x');
    QByteArray joined;
    for (const QByteArray& frame : s101::EncodeMessage(message)) joined += QByteArray::fromHex(Bodies(frame).toLatin1()).mid(9);
    QCOMPARE(Hex(joined.left(6)), QString("60830066ff78"));
    ber::Reader r(joined);
    ber::Element root;
    QVERIFY(r.next(&root));
    QCOMPARE(int(root.length), 0x66ff);
    QVERIFY(!r.error());
  }

  void multiPacketOut() {
    QFETCH(QByteArray, message);
    QFETCH(QString, flags);
    const std::vector<QByteArray> frames = s101::EncodeMessage(message);
    QStringList got;
    QByteArray joined, stream;
    for (const QByteArray& frame : frames) {
      const QString body = Bodies(frame);
      const QByteArray b = QByteArray::fromHex(body.toLatin1());
      QVERIFY(b.size() >= 9);
      QCOMPARE(Hex(b.left(4)), QString("000e0001"));
      QCOMPARE(Hex(b.mid(5, 4)), QString("01021f02"));
      QVERIFY2(b.size() - 9 <= s101::kMaxPacketPayload, "packet payload over 1024 bytes");
      got << Hex(b.mid(4, 1));
      joined += b.mid(9);
      stream += frame;
    }
    QCOMPARE(got.join(' '), flags);
    QCOMPARE(joined, message);
    // And back through the decoder, cut in two odd places.
    s101::Decoder d;
    std::vector<s101::Decoder::Event> out;
    const int a = int(stream.size()) / 3, b = int(stream.size()) * 2 / 3 + 1;
    d.push(stream.left(a), &out);
    d.push(stream.mid(a, b - a), &out);
    d.push(stream.mid(b), &out);
    if (message.isEmpty()) {
      QVERIFY(out.empty());
    } else {
      QCOMPARE(int(out.size()), 1);
      QCOMPARE(out[0].data, message);
    }
    QCOMPARE(d.droppedPackets(), 0);
  }

  // ---- BER -----------------------------------------------------------------------------

  void berWriter_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expected");
    const auto Int = [](std::int64_t v) { ber::Writer w; w.integer(v); return w.bytes(); };
    QTest::newRow("integer 0") << Int(0) << H("020100");
    QTest::newRow("integer 127") << Int(127) << H("02017f");
    QTest::newRow("integer 128 needs a 00") << Int(128) << H("02020080");
    QTest::newRow("integer 255") << Int(255) << H("020200ff");
    QTest::newRow("integer -1") << Int(-1) << H("0201ff");
    QTest::newRow("integer -128") << Int(-128) << H("020180");
    QTest::newRow("integer -129") << Int(-129) << H("0202ff7f");
    QTest::newRow("integer 65536") << Int(65536) << H("0203010000");
    QTest::newRow("integer min 64-bit") << Int(INT64_MIN) << H("02088000000000000000");
    {
      ber::Writer w;
      w.relativeOid({1, 3, 200, 16384});
      QTest::newRow("relative OID, multi-byte ids") << w.bytes() << H("0d07010381488180" "00");
    }
    {
      ber::Writer w;
      w.relativeOid({});
      QTest::newRow("empty relative OID") << w.bytes() << H("0d00");
    }
    {
      ber::Writer w;
      w.boolean(true);
      w.boolean(false);
      QTest::newRow("booleans") << w.bytes() << H("0101ff010100");
    }
    {
      ber::Writer w;
      w.utf8(QString::fromUtf8("\xc3\xa9t\xc3\xa9"));
      QTest::newRow("UTF-8 string") << w.bytes() << H("0c05c3a974c3a9");
    }
    {
      ber::Writer w;
      w.begin(ber::Context(0));
      w.utf8(QString(200, 'a'));
      w.end();
      QTest::newRow("long form length, one byte") << w.bytes().left(6) << H("a081cb0c81c8");
    }
    {
      ber::Writer w;
      w.begin(ber::Application(11));
      w.begin(ber::Sequence());
      w.octets(QByteArray(300, 'b'));
      w.end();
      w.end();
      QTest::newRow("long form lengths, two bytes, nested") << w.bytes().left(12) << H("6b820134" "30820130" "0482012c");
    }
    {
      ber::Writer w;
      w.begin(ber::Context(31));
      w.end();
      w.begin(ber::Application(200));
      w.end();
      QTest::newRow("multi-byte tags") << w.bytes() << H("bf1f00" "7f814800");
    }
    {
      ber::Writer w;
      w.begin(ber::Set());
      w.contextInteger(4, 16);
      w.end();
      QTest::newRow("explicit context field in a SET") << w.bytes() << H("3105a403020110");
    }
    QTest::newRow("SET, SEQUENCE, context and application tags are constructed")
        << ber::EncodeTag(ber::Set()) + ber::EncodeTag(ber::Sequence()) + ber::EncodeTag(ber::Context(3)) +
               ber::EncodeTag(ber::Application(13))
        << H("3130a36d");
  }
  void berWriter() {
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, expected);
    QCOMPARE(Hex(bytes), Hex(expected));
  }

  void berReadValues_data() {
    QTest::addColumn<QByteArray>("tlv");
    QTest::addColumn<QString>("value");  // "error" when refused
    QTest::newRow("integer 0") << H("020100") << "int 0";
    QTest::newRow("integer -129") << H("0202ff7f") << "int -129";
    QTest::newRow("integer 255") << H("020200ff") << "int 255";
    QTest::newRow("integer 8 bytes") << H("02087fffffffffffffff") << "int 9223372036854775807";
    QTest::newRow("integer of no bytes") << H("0200") << "error";
    QTest::newRow("integer of 9 bytes") << H("0209000000000000000001") << "error";
    QTest::newRow("boolean") << H("010101") << "bool true";
    QTest::newRow("boolean of two bytes") << H("01020000") << "error";
    QTest::newRow("relative OID") << H("0d0401038148") << "oid 1.3.200";
    QTest::newRow("relative OID cut in an id") << H("0d020181") << "error";
    QTest::newRow("relative OID id over 31 bits") << H("0d05ffffffff7f") << "error";
    QTest::newRow("UTF-8") << H("0c0343616d") << "str Cam";
    QTest::newRow("real 1.5 (binary, base 2)") << H("090380ff03") << "real 1.5";
    QTest::newRow("real -0.25") << H("0903c0fe01") << "real -0.25";
    QTest::newRow("real decimal form refused") << H("090203312e") << "error";
    QTest::newRow("real base 16") << H("0903a00102") << "real 32";
    QTest::newRow("real base 8, scale 1") << H("0903940103") << "real 48";
    QTest::newRow("real of no bytes is 0") << H("0900") << "real 0";
    QTest::newRow("real minus infinity") << H("090141") << "real -inf";
    QTest::newRow("real with its exponent cut") << H("090281ff") << "error";
    QTest::newRow("real with the reserved base") << H("0903b00101") << "error";
  }
  void berReadValues() {
    QFETCH(QByteArray, tlv);
    QFETCH(QString, value);
    ber::Reader r(tlv);
    ber::Element e;
    QVERIFY(r.next(&e));
    QString got = "error";
    std::int64_t i = 0;
    bool b = false;
    std::vector<int> oid{9, 9};  // what a reader held before: replaced, not appended to
    QString s;
    double d = 0;
    if (e.tag.number == ber::kInteger && ber::ReadInteger(e, &i)) got = QString("int %1").arg(i);
    if (e.tag.number == ber::kBoolean && ber::ReadBoolean(e, &b)) got = b ? "bool true" : "bool false";
    if (e.tag.number == ber::kRelativeOid && ber::ReadRelativeOid(e, &oid)) got = "oid " + Join(oid);
    if (e.tag.number == ber::kUtf8String && ber::ReadUtf8(e, &s)) got = "str " + s;
    if (e.tag.number == ber::kReal && ber::ReadReal(e, &d)) got = QString("real %1").arg(d);
    QCOMPARE(got, value);
  }

  void berReaderStructure_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QString>("walk");  // tags and content lengths, depth first; "!" for an error
    QTest::newRow("definite") << H("3005a003020105") << "30:5 a0:3 02:1";
    QTest::newRow("indefinite outer") << H("3080a0030201050000") << "30:5 a0:3 02:1";
    QTest::newRow("indefinite nested") << H("3080a080020105000000000c00") << "30:7 a0:3 02:1 0c:0";
    QTest::newRow("indefinite without end-of-contents") << H("3080a003020105") << "!";
    QTest::newRow("indefinite primitive") << H("0280010000") << "!";
    QTest::newRow("length past the end") << H("3006a003020105") << "!";
    QTest::newRow("length of five bytes") << H("3085000000000100") << "!";
    QTest::newRow("cut in the length") << H("3082") << "!";
    QTest::newRow("cut in a multi-byte tag") << H("bf81") << "!";
    QTest::newRow("inner value past its parent")
        << H("3003a00302010500") << "30:3 !";
    QTest::newRow("second element garbage after a good one") << H("0201050c") << "02:1 !";
  }
  void berReaderStructure() {
    QFETCH(QByteArray, in);
    QFETCH(QString, walk);
    QStringList out;
    std::function<void(ber::Reader)> visit = [&](ber::Reader r) {
      ber::Element e;
      while (r.next(&e)) {
        out << QString("%1:%2").arg(Hex(ber::EncodeTag(e.tag))).arg(e.length);
        if (e.tag.constructed) visit(r.open(e));
      }
      if (r.error()) out << "!";
    };
    visit(ber::Reader(in));
    out.removeDuplicates();
    QCOMPARE(out.join(' '), walk);
  }

  void berDepthBound_data() {
    QTest::addColumn<int>("levels");  // nested SEQUENCEs around a NULL
    QTest::addColumn<bool>("indefinite");
    QTest::addColumn<bool>("refused");
    QTest::newRow("definite, at the bound") << ber::kMaxDepth << false << false;
    QTest::newRow("definite, one over") << ber::kMaxDepth + 1 << false << true;
    QTest::newRow("indefinite, at the bound") << ber::kMaxDepth << true << false;
    QTest::newRow("indefinite, one over") << ber::kMaxDepth + 1 << true << true;
    QTest::newRow("indefinite, far over: no stack overflow") << 5000 << true << true;
  }
  void berDepthBound() {
    QFETCH(int, levels);
    QFETCH(bool, indefinite);
    QFETCH(bool, refused);
    QByteArray in = H("0500");
    for (int i = 0; i < levels; ++i)
      in = indefinite ? H("3080") + in + H("0000") : H("30") + ber::EncodeLength(int(in.size())) + in;
    bool error = false, sawNull = false;
    std::function<void(ber::Reader)> visit = [&](ber::Reader r) {
      ber::Element e;
      while (r.next(&e)) {
        if (e.tag.constructed) visit(r.open(e));
        else sawNull = true;
      }
      error = error || r.error();
    };
    visit(ber::Reader(in));
    QCOMPARE(error, refused);
    QCOMPARE(sawNull, !refused);
  }

  // ---- Glow: requests ------------------------------------------------------------------

  void consumerRequests_data() {
    QTest::addColumn<QByteArray>("glow");
    QTest::addColumn<QString>("requests");
    // Bytes as emberplus-connection 0.3.1 encodes its requests (berEncode of what its client sends:
    // a qualified element carrying the command, with the contents it knows).
    QTest::newRow("emberplus-connection: getDirectory on the root")
        << H("600b6b09a0076205a003020120") << "getDirectory root -";
    QTest::newRow("emberplus-connection: getDirectory on the root, mask all")
        << H("60106b0ea00c620aa003020120a1030201ff") << "getDirectory root - mask=-1";
    QTest::newRow("emberplus-connection: getDirectory on node 1 with its contents")
        << H("60286b26a0246a22a0030d0101a10e310ca00a0c087377697463686572a20b6409a0076205a003020120")
        << "getDirectory node 1";
    QTest::newRow("emberplus-connection: getDirectory on node 1.3.1")
        << H("601a6b18a0166a14a0050d03010301a20b6409a0076205a003020120") << "getDirectory node 1.3.1";
    QTest::newRow("emberplus-connection: getDirectory on matrix 1.1")
        << H("60436b41a03f713da0040d020101a1283126a0070c05766964656fa1070c05566964656fa203020100a303020100a403020110a503020120a20b6409a0076205a003020120")
        << "getDirectory matrix 1.1";
    // It sends what it holds of the element along with the command: no route, no rename.
    QTest::newRow("emberplus-connection: getDirectory on matrix 1.1 with the connections it holds")
        << H("60546b52a050714ea0040d020101a10b3109a0070c05766964656fa20b6409a0076205a003020120"
             "a52c302aa0167014a003020100a1030d0100a203020100a303020100a010700ea003020101a1020d00a203020100")
        << "getDirectory matrix 1.1";
    QTest::newRow("emberplus-connection: getDirectory on parameter 1.3.1.1 with its value")
        << H("60386b36a0346932a0060d0401030101a11b3119a0040c027431a2070c054f55542032a503020103ad03020103a20b6409a0076205a003020120")
        << "getDirectory parameter 1.3.1.1";
    QTest::newRow("a command on a child leaves the matrix's connections a request")
        << H("603d6b3ba0397137a0040d020101a2186416a0146112a003020101a20b6409a0076205a003020120a5153013a011700fa003020103a1030d0107a203020101")
        << "getDirectory parameter 1.1.1 | connect matrix 1.1 [3<-7 op1 d0]";
    QTest::newRow("emberplus-connection: subscribe matrix 1.1")
        << H("60266b24a0227120a0040d020101a10b3109a0070c05766964656fa20b6409a0076205a00302011e")
        << "subscribe matrix 1.1";
    QTest::newRow("emberplus-connection: matrixConnect target 3 source 7")
        << H("60306b2ea02c712aa0040d020101a10b3109a0070c05766964656fa5153013a011700fa003020103a1030d0107a203020101")
        << "connect matrix 1.1 [3<-7 op1 d0]";
    QTest::newRow("emberplus-connection: matrixDisconnect target 300, no sources")
        << H("60306b2ea02c712aa0040d020102a10b3109a0070c05766964656fa5153013a011700fa0040202012ca1020d00a203020102")
        << "connect matrix 1.2 [300<- op2 d0]";
    QTest::newRow("emberplus-connection: setValue on a string parameter")
        << H("602a6b28a0266924a0060d040103010aa11a3118a0050c03743131a20a0c0843616d6572612031ad03020103")
        << "setValue parameter 1.3.1.10 \"Camera 1\"";
    // Bytes as node-emberplus 3.0.8 encodes them (its getDirectory always carries mask all).
    QTest::newRow("node-emberplus: getDirectory on the root")
        << H("60106b0ea00c620aa003020120a1030201ff") << "getDirectory root - mask=-1";
    QTest::newRow("node-emberplus: getDirectory on qualified node 1")
        << H("601d6b1ba0196a17a0030d0101a210640ea00c620aa003020120a1030201ff") << "getDirectory node 1 mask=-1";
    QTest::newRow("node-emberplus: getDirectory on nested node 1.3")
        << H("602a6b28a0266324a003020101a21d641ba0196317a003020103a210640ea00c620aa003020120a1030201ff")
        << "getDirectory node 1.3 mask=-1";
    QTest::newRow("node-emberplus: getDirectory on matrix 1.1, with an empty connections list")
        << H("60226b20a01e711ca0040d020101a210640ea00c620aa003020120a1030201ffa5023000")
        << "getDirectory matrix 1.1 mask=-1";
    QTest::newRow("node-emberplus: subscribe matrix 1.1")
        << H("601d6b1ba0197117a0040d020101a20b6409a0076205a00302011ea5023000") << "subscribe matrix 1.1";
    QTest::newRow("node-emberplus: matrixConnect target 3 source 7")
        << H("60236b21a01f711da0040d020101a5153013a011700fa003020103a1030d0107a203020101")
        << "connect matrix 1.1 [3<-7 op1 d0]";
    QTest::newRow("node-emberplus: absolute on nested matrix 1.2, target 255 source 200")
        << H("60316b2fa02d632ba003020101a2246422a0206d1ea003020102a5173015a0137011a004020200ffa1040d028148a203020100")
        << "connect matrix 1.2 [255<-200 op0 d0]";
    QTest::newRow("node-emberplus: matrixDisconnect target 4")
        << H("60226b20a01e711ca0040d020101a5143012a010700ea003020104a1020d00a203020102")
        << "connect matrix 1.1 [4<- op2 d0]";
    QTest::newRow("node-emberplus: setValue on a string parameter")
        << H("60206b1ea01c691aa0060d0401030204a110310ea2070c0543616d2035ad03020103")
        << "setValue parameter 1.3.2.4 \"Cam 5\"";
    // Others a consumer may send.
    QTest::newRow("unsubscribe on the root") << H("600b6b09a0076205a00302011f") << "unsubscribe root -";
    QTest::newRow("two requests in one message, in order")
        << H("60216b1fa0076205a003020120a0146a12a0030d0101a20b6409a0076205a003020120")
        << "getDirectory root - | getDirectory node 1";
    QTest::newRow("an empty children field is nothing")
        << H("60166b14a0076205a003020120a0096a07a0030d0101a200") << "getDirectory root -";
    QTest::newRow("indefinite inside definite") << H("60806b0ba0096280a00302011e00000000") << "subscribe root -";
    QTest::newRow("invoke and an unknown element skipped")
        << H("60146b12a0076205a003020121a0077405a0030d0101") << "";
    QTest::newRow("integer setValue") << H("601a6b18a0166914a0050d03010301a10b3109a20702050100000000")
                                      << "setValue parameter 1.3.1 4294967296";
    QTest::newRow("connect with two sources") << H("601f6b1da01b7119a0040d020101a511300fa00d700ba003020100a1040d020102")
                                              << "connect matrix 1.1 [0<-1.2 op0 d0]";
    // The consumers' getDirectory and connect with every constructed length made indefinite.
    QTest::newRow("getDirectory on qualified node 1")
        << H("60806b80a0806a80a0800d01010000a2806480a0806280a0800201200000a1800201ff000000000000000000000000000000000000")
        << "getDirectory node 1 mask=-1";
    QTest::newRow("connect on qualified matrix 1.1")
        << H("60806b80a0807180a0800d0201010000a5803080a0807080a0800201030000a1800d01070000a280020101000000000000000000000000000000000000")
        << "connect matrix 1.1 [3<-7 op1 d0]";
  }
  void consumerRequests() {
    QFETCH(QByteArray, glow);
    QFETCH(QString, requests);
    bool ok = false;
    QString error;
    QCOMPARE(DescribeAll(glow, &ok, &error), requests);
    QVERIFY2(ok, qPrintable(error));
  }

  void badRequests_data() {
    QTest::addColumn<QByteArray>("glow");
    QTest::addColumn<QString>("kept");  // requests read before the fault
    QTest::addColumn<QString>("error");
    QTest::newRow("empty") << QByteArray() << "" << "empty message";
    QTest::newRow("not a root") << H("6b00") << "" << "not a Glow root";
    QTest::newRow("node without a number") << H("600a6b08a0066304a1023100") << "" << "element without a number";
    QTest::newRow("qualified node with a path cut in an id") << H("600b6b09a0076a05a0030d0181") << "" << "bad path";
    QTest::newRow("command without a number") << H("600b6b09a0076205a1030201ff") << "" << "command without a number";
    QTest::newRow("negative element number") << H("600b6b09a0076305a0030201ff") << "" << "bad element number";
    QTest::newRow("element number over 31 bits") << H("600f6b0da00b6309a00702050080000000") << "" << "bad element number";
    QTest::newRow("element number under -2^31") << H("600f6b0da00b6309a0070205ff7fffffff") << "" << "bad element number";
    QTest::newRow("connection item not a Connection")
        << H("60156b13a011710fa0040d020101a5073005a003020100") << "" << "bad connection";
    QTest::newRow("connection without a target")
        << H("601a6b18a0167114a0040d020101a50c300aa0087006a1040d020102") << "" << "connection without a target";
    QTest::newRow("connections not a sequence") << H("60136b11a00f710da0040d020101a5053103020100") << ""
                                                << "connections not a SEQUENCE";
    QTest::newRow("fault after a good request: the good one is kept")
        << H("60146b12a0076205a003020120a0076a05a0030d0181") << "getDirectory root -" << "bad path";
    QTest::newRow("boolean value of two bytes") << H("60176b15a0136911a0050d03010301a1083106a20401020000") << ""
                                                << "bad parameter value";
    QTest::newRow("a name that is not UTF-8") << H("60196b17a0156913a0060d0401030103a1093107a2050c03eda080") << ""
                                              << "bad parameter value";
    QTest::newRow("parameter contents not a SET") << H("60166b14a0126910a0050d03010301a1073005a2030c0178") << ""
                                                  << "parameter contents not a SET";
    QTest::newRow("malformed children") << H("600e6b0ca00a6a08a0030d0101a2016400") << "" << "malformed children";
  }
  void badRequests() {
    QFETCH(QByteArray, glow);
    QFETCH(QString, kept);
    QFETCH(QString, error);
    bool ok = true;
    QString got;
    QCOMPARE(DescribeAll(glow, &ok, &got), kept);
    QVERIFY(!ok);
    QCOMPARE(got, error);
  }

  void truncatedRequests() {
    // Every cut of a real request, and every byte flipped: never a crash, a cut is refused.
    const QByteArray full = H("60316b2fa02d632ba003020101a2246422a0206d1ea003020102a5173015a0137011a004020200ffa1040d028148a203020100");
    for (int n = 0; n < full.size(); ++n) {
      bool ok = true;
      DescribeAll(full.left(n), &ok);
      QVERIFY2(!ok, qPrintable(QString("cut at %1 accepted").arg(n)));
    }
    for (int i = 0; i < full.size(); ++i)
      for (int bit = 0; bit < 8; ++bit) {
        QByteArray flipped = full;
        flipped[i] = char(flipped[i] ^ (1 << bit));
        DescribeAll(flipped);
      }
  }

  // ---- Glow: answers -------------------------------------------------------------------
  // The expected bytes below were decoded by both consumers' own decoders (emberplus-connection's
  // berDecode, node-emberplus' decodeBuffer) into the elements the row names.

  void answers_data() {
    QTest::addColumn<QByteArray>("glow");
    QTest::addColumn<QByteArray>("expected");
    using namespace glow;
    const NodeContents sw{"switcher", "SW-1000", true};
    QTest::newRow("qualified node: identifier, description, isOnline")
        << EncodeRoot({QualifiedNode({1}, sw)})
        << H("602b6b29a0276a25a0030d0101a11e311ca00a0c087377697463686572a1090c0753572d31303030a3030101ff");
    MatrixContents mc;
    mc.identifier = "video";
    mc.description = "Video";
    mc.targetCount = 16;
    mc.sourceCount = 32;
    mc.labels = {{{1, 3}, "Names"}};
    ParameterContents pc;
    pc.identifier = "t11";
    pc.value = Value::fromString("Camera 1");
    pc.access = kAccessReadWrite;
    pc.type = kTypeString;
    QTest::newRow("qualified matrix, parameter and node in one root")
        << EncodeRoot({QualifiedMatrix({1, 1}, mc), QualifiedParameter({1, 3, 1, 10}, pc),
                       QualifiedNode({1, 3}, {"labels", "", std::nullopt})})
        << H("6081936b8190a0497147a0040d020101a13f313da0070c05766964656fa1070c05566964656fa203020100a303020100a40302"
             "0110a503020120aa153013a011720fa0040d020103a1070c054e616d6573a02b6929a0060d040103010aa11f311da0050c0374"
             "3131a20a0c0843616d6572612031a503020103ad03020103a0166a14a0040d020103a10c310aa0080c066c6162656c73");
    Element conns = MatrixConnections({1, 1}, {{0, {3}, kAbsolute, kTally}, {1, {}, kAbsolute, kTally},
                                               {255, {200}, kAbsolute, kPending}});
    conns.children = std::vector<Element>{};
    QTest::newRow("connections with an empty children collection")
        << EncodeRoot({conns})
        << H("605d6b5ba0597157a0040d020101a2026400a54b3049a0167014a003020100a1030d0103a203020100a303020100a0157013a0"
             "03020101a1020d00a203020100a303020100a0187016a004020200ffa1040d028148a203020100a303020102");
    Element parent = QualifiedNode({1}, sw);
    parent.children = std::vector<Element>{QualifiedNode({1, 4}, {"state", "", std::nullopt}), QualifiedMatrix({1, 2}, mc)};
    QTest::newRow("node with numbered children")
        << EncodeRoot({parent})
        << H("6081926b818fa0818c6a8189a0030d0101a11e311ca00a0c087377697463686572a1090c0753572d31303030a3030101ffa262"
             "6460a0146312a003020104a10b3109a0070c057374617465a0486d46a003020102a13f313da0070c05766964656fa1070c0556"
             "6964656fa203020100a303020100a403020110a503020120aa153013a011720fa0040d020103a1070c054e616d6573");
    ParameterContents ro;
    ro.identifier = "version";
    ro.value = Value::fromInteger(-2);
    ro.access = kAccessRead;
    Element numbered = QualifiedNode({1}, sw);
    numbered.qualified = false;
    QTest::newRow("the root's child numbered") << EncodeRoot({numbered}) << H("602b6b29a0276325a003020101a11e311ca00a0c087377697463686572a1090c0753572d31303030a3030101ff");
    QTest::newRow("read-only integer parameter") << EncodeRoot({QualifiedParameter({1, 4, 3}, ro)})
                                                 << H("60266b24a0226920a0050d03010403a1173115a0090c0776657273696f6ea2030201fea503020101");
  }
  void answers() {
    QFETCH(QByteArray, glow);
    QFETCH(QByteArray, expected);
    QCOMPARE(Hex(glow), Hex(expected));
  }

  void answersReadBack() {
    // What the provider sends reads back through its own decoder: a connection answer as the
    // matrix's connections, a parameter as its value.
    using namespace glow;
    ParameterContents pc;
    pc.identifier = "s4";
    pc.value = Value::fromString(QString::fromUtf8("Cam\xc3\xa9ra"));
    QCOMPARE(DescribeAll(EncodeRoot({QualifiedParameter({1, 3, 2, 3}, pc),
                                     MatrixConnections({1, 2}, {{7, {0}, kAbsolute, kModified}, {8, {}, kAbsolute, kLocked}})})),
             QString::fromUtf8("setValue parameter 1.3.2.3 \"Cam\xc3\xa9ra\" | connect matrix 1.2 [7<-0 op0 d1] [8<- op0 d3]"));
    std::vector<Request> requests;
    QVERIFY(DecodeRequests(BigConnections(), &requests));
    QCOMPARE(int(requests.size()), 1);
    QCOMPARE(int(requests[0].connections.size()), 256);
    QCOMPARE(requests[0].connections[255].sources, std::vector<int>{0});
  }
};

QTEST_GUILESS_MAIN(TestEmber)
#include "tst_ember.moc"
