// The tests' Ember+ consumer: its requests byte for byte as node-emberplus sends them, and what
// it reads from a provider's messages (nested or qualified, indefinite lengths, odd input).
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include "Ber.h"
#include "EmberClient.h"

using namespace ember;
using support::EmberClient;
using support::EmberState;
namespace req = support::emberreq;

namespace {

QByteArray H(const char* hex) { return QByteArray::fromHex(hex); }

glow::ParameterContents Label(const QString& id, const QString& value) {
  glow::ParameterContents c;
  c.identifier = id;
  c.value = glow::Value::fromString(value);
  return c;
}

// "out:video/audio" per route, then the names, then "bad" when a message was refused.
QString Describe(const EmberState& s) {
  const support::View v = s.view();
  QStringList parts;
  for (const auto& [o, r] : v.routes) parts << QStringLiteral("%1:%2/%3").arg(o).arg(r.video).arg(r.audio);
  for (const auto& [n, name] : v.inputNames) parts << QStringLiteral("in%1=%2").arg(n).arg(name);
  for (const auto& [n, name] : v.outputNames) parts << QStringLiteral("out%1=%2").arg(n).arg(name);
  auto text = [](const ember::glow::Path& p) {
    QStringList n;
    for (int k : p) n << QString::number(k);
    return n.join(QLatin1Char('.'));
  };
  for (const auto& [path, n] : s.nodes) parts << QStringLiteral("node %1 %2 \"%3\" online %4").arg(text(path), n.identifier, n.description).arg(n.isOnline);
  for (const auto& [path, m] : s.matrices) {
    if (m.targetCount < 0) continue;
    QStringList labels;
    for (const auto& base : m.labelBasePaths) labels << text(base);
    parts << QStringLiteral("matrix %1 %2 %3x%4 labels %5").arg(text(path), m.identifier).arg(m.targetCount).arg(m.sourceCount).arg(labels.join(QLatin1Char(',')));
  }
  if (s.malformed) parts << QStringLiteral("bad");
  return parts.join(QLatin1Char(' '));
}

}  // namespace

class TestEmberClient : public QObject {
  Q_OBJECT
 private slots:
  void requests_data() {
    QTest::addColumn<QByteArray>("got");
    QTest::addColumn<QByteArray>("want");
    // node-emberplus 3.0.8's bytes for the same requests.
    QTest::newRow("getDirectory on the root") << req::GetDirectory(req::On::Root, {}) << H("60106b0ea00c620aa003020120a1030201ff");
    QTest::newRow("getDirectory on qualified node 1")
        << req::GetDirectory(req::On::Node, {1}) << H("601d6b1ba0196a17a0030d0101a210640ea00c620aa003020120a1030201ff");
    QTest::newRow("getDirectory on matrix 1.1, an empty connections list")
        << req::GetDirectory(req::On::Matrix, {1, 1})
        << H("60226b20a01e711ca0040d020101a210640ea00c620aa003020120a1030201ffa5023000");
    QTest::newRow("subscribe matrix 1.1") << req::Subscribe({1, 1})
                                          << H("601d6b1ba0197117a0040d020101a20b6409a0076205a00302011ea5023000");
    QTest::newRow("connect target 3 source 7") << req::Connect({1, 1}, 3, {7}, glow::kConnect)
                                               << H("60236b21a01f711da0040d020101a5153013a011700fa003020103a1030d0107a203020101");
    QTest::newRow("disconnect target 4, no sources") << req::Connect({1, 1}, 4, {}, glow::kDisconnect)
                                                     << H("60226b20a01e711ca0040d020101a5143012a010700ea003020104a1020d00a203020102");
    QTest::newRow("setValue on a string parameter") << req::SetString({1, 3, 2, 4}, QStringLiteral("Cam 5"))
                                                    << H("60206b1ea01c691aa0060d0401030204a110310ea2070c0543616d2035ad03020103");
  }
  void requests() {
    QFETCH(QByteArray, got);
    QFETCH(QByteArray, want);
    QCOMPARE(got.toHex(), want.toHex());
  }

  void reads_data() {
    QTest::addColumn<QList<QByteArray>>("messages");
    QTest::addColumn<QString>("view");
    using glow::Connection;
    const QByteArray video = glow::EncodeRoot({glow::MatrixConnections({1, 1}, {Connection{2, {4}}, Connection{5, {}}})});
    const QByteArray audio = glow::EncodeRoot({glow::MatrixConnections({1, 2}, {Connection{2, {3}}})});
    QTest::newRow("tallies of both matrices, none is closed") << QList<QByteArray>{video, audio} << "3:5/4 6:0/-1";
    QTest::newRow("a later tally replaces the target's sources")
        << QList<QByteArray>{video, glow::EncodeRoot({glow::MatrixConnections({1, 1}, {Connection{2, {9}, 0, glow::kModified}})})}
        << "3:10/-1 6:0/-1";
    QTest::newRow("labels; the defaults read as none")
        << QList<QByteArray>{glow::EncodeRoot({glow::QualifiedParameter({1, 3, 2, 0}, Label("s0", "IN 1")),
                                               glow::QualifiedParameter({1, 3, 2, 1}, Label("s1", "IN 1")),
                                               glow::QualifiedParameter({1, 3, 1, 2}, Label("t2", "Caméra"))})}
        << "in1= in2=IN 1 out3=Caméra";
    QTest::newRow("a parameter elsewhere is no label")
        << QList<QByteArray>{glow::EncodeRoot({glow::QualifiedParameter({1, 4, 1}, Label("link", "ready")),
                                               glow::QualifiedParameter({1, 3, 1}, Label("x", "y"))})}
        << "";
    glow::Element node = glow::QualifiedNode({1}, {QStringLiteral("switcher"), {}, true});
    node.children = std::vector<glow::Element>{glow::MatrixConnections({1, 2}, {Connection{0, {1}}})};
    QTest::newRow("a matrix nested in a node's children")
        << QList<QByteArray>{glow::EncodeRoot({node})} << "1:-1/2 node 1 switcher \"\" online 1";
    glow::MatrixContents audio16;
    audio16.identifier = QStringLiteral("audio");
    audio16.targetCount = 16;
    audio16.sourceCount = 8;
    audio16.labels = {{{1, 3}, QStringLiteral("Names")}};
    QTest::newRow("the tree's contents: node, matrix counts and labels")
        << QList<QByteArray>{glow::EncodeRoot({glow::QualifiedNode({1}, {QStringLiteral("switcher"), QStringLiteral("MATRIX 16X8"), false}),
                                               glow::QualifiedMatrix({1, 2}, audio16)})}
        << "node 1 switcher \"MATRIX 16X8\" online 0 matrix 1.2 audio 16x8 labels 1.3";
    QTest::newRow("indefinite lengths, as a consumer may send them")
        << QList<QByteArray>{H("60806b80a0807180a0800d0201010000a5803080a0807080a0800201030000a1800d01070000a28002010100"
                               "0000000000000000000000000000000000")}
        << "4:8/-1";
    // Matrix 1.1 with these connections, each written by its own function.
    auto matrix = [](const std::vector<std::function<void(ber::Writer&)>>& connections) {
      ber::Writer w;
      w.begin(ber::Application(0));
      w.begin(ber::Application(11));
      w.begin(ber::Context(0));
      w.begin(ber::Application(17));
      w.contextRelativeOid(0, {1, 1});
      w.begin(ber::Context(5));
      w.begin(ber::Sequence());
      for (const auto& c : connections) {
        w.begin(ber::Context(0));
        w.begin(ber::Application(16));
        c(w);
        w.end();
        w.end();
      }
      while (w.openCount()) w.end();
      return w.bytes();
    };
    auto good = [](ber::Writer& w) { w.contextInteger(0, 1); w.contextRelativeOid(1, {}); };
    auto octetTarget = [](ber::Writer& w) { w.begin(ber::Context(0)); w.octets("x"); w.end(); };
    auto noTarget = [](ber::Writer& w) { w.contextRelativeOid(1, {2}); };
    QTest::newRow("a target that is no integer: skipped, the good one kept")
        << QList<QByteArray>{matrix({good, octetTarget})} << "2:0/-1 bad";
    QTest::newRow("a connection without a target is skipped") << QList<QByteArray>{matrix({noTarget, good})} << "2:0/-1 bad";
    QTest::newRow("a target past the bound is not kept")
        << QList<QByteArray>{glow::EncodeRoot({glow::MatrixConnections({1, 1}, {Connection{1 << 20, {1}}})})} << "bad";
    QTest::newRow("a cut message") << QList<QByteArray>{video.left(video.size() - 3)} << "bad";
    QTest::newRow("no Glow root") << QList<QByteArray>{H("6b00"), H(""), H("ff")} << "bad";
  }
  void reads() {
    QFETCH(QList<QByteArray>, messages);
    QFETCH(QString, view);
    EmberState s;
    for (const QByteArray& m : messages) s.take(m);
    QCOMPARE(Describe(s), view);
    QCOMPARE(s.messages, int(messages.size()));
  }

  // Over TCP against a provider played by the test: what the client answers and acknowledges.
  void session_data() {
    QTest::addColumn<QByteArray>("provider");
    QTest::addColumn<QString>("want");  // "keep-alives renamed refused"
    const QByteArray cam = glow::EncodeRoot({glow::QualifiedParameter({1, 3, 1, 6}, Label("t6", "Cam"))});
    const QByteArray other = glow::EncodeRoot({glow::QualifiedParameter({1, 3, 1, 6}, Label("t6", "OUT 7"))});
    auto framed = [](const QByteArray& glow) {
      QByteArray out;
      for (const QByteArray& f : s101::EncodeMessage(glow)) out += f;
      return out;
    };
    QTest::newRow("a keep-alive request is answered") << s101::KeepAliveRequest() << "1 - 0";
    QTest::newRow("a rename is done when its value comes") << framed(cam) << "0 output 7 Cam 0";
    QTest::newRow("another value is no acknowledgement") << framed(other) << "0 - 0";
    QTest::newRow("a locked answer is a refusal")
        << framed(glow::EncodeRoot({glow::MatrixConnections({1, 1}, {{0, {1}, 0, glow::kLocked}})})) << "0 - 1";
    std::vector<glow::Connection> all;
    for (int t = 0; t < 256; ++t) all.push_back({t, {t}});
    QTest::newRow("a message of several packets, then the value")
        << framed(glow::EncodeRoot({glow::MatrixConnections({1, 1}, all)})) + framed(cam) << "0 output 7 Cam 0";
  }
  void session() {
    QFETCH(QByteArray, provider);
    QFETCH(QString, want);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    EmberClient c;
    QString done = QStringLiteral("-");
    c.renamed = [&](const QString& kind, int n, const QString& name) { done = QStringLiteral("%1 %2 %3").arg(kind).arg(n).arg(name); };
    c.open(server.serverPort());
    QVERIFY(server.waitForNewConnection(5000));
    QTcpSocket* p = server.nextPendingConnection();
    c.rename(QStringLiteral("output"), 7, QStringLiteral("Cam"));
    QTRY_VERIFY(p->bytesAvailable() > 0 || p->waitForReadyRead(10));
    QByteArray heard = p->readAll();
    const int before = c.state.messages;
    p->write(provider);
    QTRY_VERIFY(c.state.messages > before || c.keepAliveRequests > 0);
    QTRY_COMPARE(QStringLiteral("%1 %2 %3").arg(c.keepAliveRequests).arg(done).arg(c.counts.refused), want);
    if (c.keepAliveRequests) {
      QTRY_VERIFY((heard += p->readAll()).contains(s101::KeepAliveResponse()));
    }
    QCOMPARE(c.badFrames(), 0);
  }
};

QTEST_GUILESS_MAIN(TestEmberClient)
#include "tst_emberclient.moc"
