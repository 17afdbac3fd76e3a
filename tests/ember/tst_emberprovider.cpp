// Ember+ consumers over a fake switcher, without a socket: what each directory answers, how a
// connection request is answered and when, who hears a change, renames through the label
// parameters, the keep-alive, and the tree following the link.

#include "Ber.h"
#include "EmberClient.h"
#include "EmberProvider.h"

#include <QtTest>

#include <map>
#include <memory>

using namespace ember;
using support::EmberState;
namespace req = support::emberreq;

namespace {

struct FakeHost final : EmberHost {
  bool isReady = true, isOnline = true;
  QString linkReason;
  Sent refusal = Sent::Accepted;  // what send() answers
  std::map<int, int> video{{1, 1}, {2, 2}, {3, 0}};  // output 4 unknown
  std::map<int, int> audio{{1, 1}, {2, 5}, {3, 0}};
  std::map<std::pair<bool, int>, QString> names{{{false, 2}, "Stage"}};
  QString renameProblem;  // rename() refuses with it when set
  QByteArrayList sent;
  bool queued = false;  // commands wait until the test writes them
  std::vector<std::function<void()>> writes, drops;

  int readOnlyRefusals = 0;
  void refusedReadOnly() override { ++readOnlyRefusals; }
  bool ready() const override { return isReady; }
  bool online() const override { return isOnline; }
  QString model() const override { return "MATRIX 8X4"; }
  QString version() const override { return "1.0"; }
  QString linkText() const override { return isReady ? "ready" : "down: " + linkReason; }
  int inputCount = 8;
  int inputs() const override { return inputCount; }
  int outputs() const override { return 4; }
  int input(int level, int output) const override {
    const auto& m = level == 0 ? video : audio;
    const auto it = m.find(output);
    return it == m.end() ? -1 : it->second;
  }
  QString name(bool in, int n) const override {
    const auto it = names.find({in, n});
    return it != names.end() ? it->second : QString(in ? "IN %1" : "OUT %1").arg(n);
  }
  QString rename(bool in, int n, const QString& name) override {
    if (!renameProblem.isEmpty()) return renameProblem;
    names[{in, n}] = name;
    return {};
  }
  Sent send(const QByteArray& command, const QString&, std::function<void()> dropped,
            std::function<void()> written) override {
    if (refusal != Sent::Accepted) return refusal;
    sent << command;
    drops.push_back(dropped);
    if (!queued && written) written();
    else writes.push_back(written);
    return Sent::Accepted;
  }
};

// One consumer's side: what it was told, message by message.
struct Consumer {
  EmberState state;
  s101::Decoder decoder;
  int keepAliveRequests = 0, keepAliveResponses = 0;
  QByteArray bytes;
  void take(const QByteArray& b) {
    bytes += b;
    std::vector<s101::Decoder::Event> events;
    decoder.push(b, &events);
    for (const auto& e : events) {
      if (e.kind == s101::Decoder::Event::Message) state.take(e.data);
      else if (e.kind == s101::Decoder::Event::KeepAliveRequest) ++keepAliveRequests;
      else ++keepAliveResponses;
    }
  }
};

QString pathText(const glow::Path& p) {
  QStringList parts;
  for (int n : p) parts << QString::number(n);
  return parts.join('.');
}

// "1.1: 0<-0 2<-" for the connections of the last message.
QString connectionsText(const EmberState& s) {
  QStringList out;
  for (const auto& t : s.lastConnections) {
    QStringList sources;
    for (int x : t.connection.sources) sources << QString::number(x);
    out << QStringLiteral("%1: %2<-%3 d%4").arg(pathText(t.matrix)).arg(t.connection.target).arg(sources.join(',')).arg(t.connection.disposition);
  }
  return out.join(' ');
}

class Fixture {
 public:
  explicit Fixture(Options options = {}) : provider(host, options) {}
  Consumer& join(quint64 id) {
    auto& c = consumers[id];
    c = std::make_unique<Consumer>();
    Consumer* raw = c.get();
    provider.join(id, QStringLiteral("127.0.0.1:%1").arg(40000 + id), [raw](const QByteArray& b) { raw->take(b); return true; });
    return *raw;
  }
  void ask(quint64 id, const QByteArray& glow) {
    for (const QByteArray& frame : s101::EncodeMessage(glow)) provider.bytesIn(id, frame.constData(), int(frame.size()));
  }
  FakeHost host;
  EmberProvider provider;
  std::map<quint64, std::unique_ptr<Consumer>> consumers;
};

// One message of `elements` qualified video matrices, each with `connections` connections.
QByteArray salvo(int elements, int connections) {
  ber::Writer w;
  w.begin(ber::Application(0));
  w.begin(ber::Application(11));
  for (int k = 0; k < elements; ++k) {
    w.begin(ber::Context(0));
    w.begin(ber::Application(17));
    w.contextRelativeOid(0, {1, 1});
    w.begin(ber::Context(5));
    w.begin(ber::Sequence());
    for (int c = 0; c < connections; ++c) {
      w.begin(ber::Context(0));
      w.begin(ber::Application(16));
      w.contextInteger(0, c % 4);
      w.contextRelativeOid(1, {1});
      w.end();
      w.end();
    }
    for (int e = 0; e < 4; ++e) w.end();
  }
  w.end();
  w.end();
  return w.bytes();
}

// Unsubscribe on a qualified matrix, as a consumer sends it.
QByteArray unsubscribe(const glow::Path& matrix) {
  ber::Writer w;
  w.begin(ber::Application(0));
  w.begin(ber::Application(11));
  w.begin(ber::Context(0));
  w.begin(ber::Application(17));
  w.contextRelativeOid(0, matrix);
  w.begin(ber::Context(2));
  w.begin(ber::Application(4));
  w.begin(ber::Context(0));
  w.begin(ber::Application(2));
  w.contextInteger(0, glow::kUnsubscribe);
  for (int k = 0; k < 8; ++k) w.end();
  return w.bytes();
}

}  // namespace

class TestEmberProvider : public QObject {
  Q_OBJECT
 private slots:
  // What each getDirectory is answered with: a node with its children (never itself, which
  // one consumer asks again forever), a matrix with every target's connection.
  void directory_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("nodes");
    QTest::addColumn<QString>("matrices");
    QTest::addColumn<QString>("parameters");
    QTest::newRow("root") << req::GetDirectory(req::On::Root, {}) << "1=switcher MATRIX 8X4 online" << "" << "";
    QTest::newRow("switcher: both matrices and two nodes, not itself")
        << req::GetDirectory(req::On::Node, {1}) << "1.3=labels 1.4=state" << "1.1=video 4x8 1.2=audio 4x8" << "";
    QTest::newRow("labels") << req::GetDirectory(req::On::Node, {1, 3}) << "1.3.1=targets 1.3.2=sources" << "" << "";
    QTest::newRow("targets: one an output, zero-based, the default where unnamed")
        << req::GetDirectory(req::On::Node, {1, 3, 1}) << "" << ""
        << "1.3.1.0=t0:OUT 1 1.3.1.1=t1:Stage 1.3.1.2=t2:OUT 3 1.3.1.3=t3:OUT 4";
    QTest::newRow("state") << req::GetDirectory(req::On::Node, {1, 4}) << "" << ""
                           << "1.4.1=link:ready 1.4.2=model:MATRIX 8X4 1.4.3=version:1.0";
    QTest::newRow("a label by its path") << req::GetDirectory(req::On::Node, {1, 3, 2, 7}) << "" << "" << "1.3.2.7=s7:IN 8";
    QTest::newRow("a label past the inputs") << req::GetDirectory(req::On::Node, {1, 3, 2, 8}) << "" << "" << "";
    QTest::newRow("no such node") << req::GetDirectory(req::On::Node, {1, 9}) << "" << "" << "";
  }
  void directory() {
    QFETCH(QByteArray, request);
    Fixture f;
    Consumer& c = f.join(1);
    f.ask(1, request);
    QStringList nodes, matrices, parameters;
    for (const auto& [path, n] : c.state.nodes)
      nodes << QStringLiteral("%1=%2").arg(pathText(path), n.identifier + (n.description.isEmpty() ? "" : " " + n.description) +
                                                            (n.isOnline == 1 ? " online" : ""));
    for (const auto& [path, m] : c.state.matrices)
      matrices << QStringLiteral("%1=%2 %3x%4").arg(pathText(path), m.identifier).arg(m.targetCount).arg(m.sourceCount);
    for (const auto& [path, p] : c.state.parameters) parameters << QStringLiteral("%1=%2:%3").arg(pathText(path), p.identifier, p.value);
    QTEST(nodes.join(' '), "nodes");
    QTEST(matrices.join(' '), "matrices");
    QTEST(parameters.join(' '), "parameters");
    QCOMPARE(c.state.malformed, 0);
  }

  void matrixDirectoryHoldsEveryTarget() {
    Fixture f;
    Consumer& c = f.join(1);
    f.ask(1, req::GetDirectory(req::On::Matrix, {1, 2}));
    QCOMPARE(connectionsText(c.state), QStringLiteral("1.2: 0<-0 d0 1.2: 1<-4 d0 1.2: 2<- d0 1.2: 3<- d0"));
    QVERIFY(f.provider.subscribed(1, 1));
    QVERIFY(!f.provider.subscribed(1, 0));
  }

  // A connection request: answered at once, pending with the sources as they are when it was
  // taken; refused with the real sources, locked when another holds the output.
  void connection_data() {
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("target");
    QTest::addColumn<QList<int>>("sources");
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("host");  // "", "down", "busy", "protected", "readonly"
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("answer");
    using L = QList<int>;
    QTest::newRow("absolute, video") << 0 << 2 << L{4} << 0 << "" << "5V3." << "1.1: 2<- d2";
    QTest::newRow("connect, audio") << 1 << 1 << L{6} << 1 << "" << "7A2." << "1.2: 1<-4 d2";
    QTest::newRow("disconnect where the other level is closed") << 0 << 2 << L{} << 2 << "" << "3$." << "1.1: 2<- d2";
    QTest::newRow("absolute without sources closes") << 1 << 2 << L{} << 0 << "" << "3$." << "1.2: 2<- d2";
    QTest::newRow("disconnect that would close the other level too") << 0 << 1 << L{} << 2 << "" << "" << "1.1: 1<-1 d0";
    QTest::newRow("disconnect of a source the target does not carry") << 0 << 1 << L{5} << 2 << "" << "" << "1.1: 1<-1 d0";
    QTest::newRow("two sources on a one-to-N matrix") << 0 << 0 << L{1, 2} << 0 << "" << "" << "1.1: 0<-0 d0";
    QTest::newRow("a source past the inputs") << 0 << 0 << L{8} << 0 << "" << "" << "1.1: 0<-0 d0";
    QTest::newRow("a target past the outputs: nothing to answer") << 0 << 4 << L{1} << 0 << "" << "" << "";
    QTest::newRow("link down") << 0 << 0 << L{3} << 0 << "down" << "" << "1.1: 0<-0 d0";
    QTest::newRow("queue full") << 0 << 0 << L{3} << 0 << "busy" << "" << "1.1: 0<-0 d0";
    QTest::newRow("protected by another") << 1 << 0 << L{3} << 0 << "protected" << "" << "1.2: 0<-0 d3";
    QTest::newRow("read only") << 0 << 0 << L{3} << 0 << "readonly" << "" << "1.1: 0<-0 d0";
  }
  void connection() {
    QFETCH(int, level);
    QFETCH(QList<int>, sources);
    QFETCH(QString, host);
    Options options;
    options.readOnly = host == "readonly";
    Fixture f(options);
    f.host.isReady = host != "down";
    if (host == "busy") f.host.refusal = EmberHost::Sent::Refused;
    if (host == "protected") f.host.refusal = EmberHost::Sent::Protected;
    f.host.queued = true;
    Consumer& c = f.join(1);
    QFETCH(int, target);
    QFETCH(int, operation);
    f.ask(1, req::Connect(level == 0 ? glow::Path{1, 1} : glow::Path{1, 2}, target,
                          std::vector<int>(sources.begin(), sources.end()), operation));
    QTEST(QString::fromLatin1(f.host.sent.join(' ')), "command");
    QTEST(connectionsText(c.state), "answer");
    QCOMPARE(f.host.readOnlyRefusals, options.readOnly ? 1 : 0);
  }

  // Modified goes to the requester only once the switcher reported the route after the
  // command went; every subscriber hears a change as a tally; others hear nothing.
  void routesToldOnceReported() {
    Fixture f;
    f.host.queued = true;
    Consumer& a = f.join(1);
    Consumer& b = f.join(2);
    Consumer& other = f.join(3);
    f.ask(1, req::GetDirectory(req::On::Matrix, {1, 1}));
    f.ask(2, req::GetDirectory(req::On::Matrix, {1, 1}));
    f.ask(1, req::Connect({1, 1}, 0, {3}, 0));
    QCOMPARE(connectionsText(a.state), QStringLiteral("1.1: 0<-0 d2"));
    // A report before the command went is not its answer.
    f.provider.routeChanged(1);
    f.provider.flushRoutes();
    QCOMPARE(a.state.messages, 2);
    f.host.writes.front()();
    f.host.video[1] = 4;
    f.provider.routeChanged(1);
    QCOMPARE(connectionsText(a.state), QStringLiteral("1.1: 0<-3 d1"));
    QCOMPARE(connectionsText(b.state), QStringLiteral("1.1: 0<-3 d0"));
    QCOMPARE(other.state.messages, 0);
    QVERIFY(!f.provider.waiting(1));

    // Made elsewhere, in a burst: one message a matrix to each subscriber of it.
    f.ask(2, req::Subscribe({1, 2}));
    f.host.video[2] = 7;
    f.host.audio[2] = 7;
    f.host.video[3] = 6;
    for (int o = 1; o <= 4; ++o) f.provider.routeChanged(o);
    const int before = b.state.messages;
    QTRY_COMPARE(b.state.messages, before + 2);
    QCOMPARE(connectionsText(b.state), QStringLiteral("1.2: 1<-6 d0"));
    const auto& videoOfA = a.state.matrices[glow::Path({1, 1})].connections;
    QCOMPARE(videoOfA.at(1), std::vector<int>{6});
    QCOMPARE(videoOfA.at(2), std::vector<int>{5});
    QVERIFY(!a.state.matrices.count(glow::Path({1, 2})));
    QCOMPARE(other.state.messages, 0);

    f.ask(1, unsubscribe({1, 1}));
    f.host.video[1] = 1;
    f.provider.routeChanged(1);
    f.provider.flushRoutes();
    QCOMPARE(a.state.matrices[glow::Path({1, 1})].connections.at(0), std::vector<int>{3});
    QCOMPARE(b.state.matrices[glow::Path({1, 1})].connections.at(0), std::vector<int>{0});
  }

  // A request is answered modified only by a report of its own level that shows what it asked
  // for; the other level, an older report still on its way or another's route do not.
  void answeredByItsOwnReport_data() {
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("input");   // asked of output 3, whose video and audio are closed
    QTest::addColumn<bool>("other");  // another consumer asks input 7 of it too
    QTest::addColumn<int>("video");   // then reported
    QTest::addColumn<int>("audio");
    QTest::addColumn<bool>("modified");
    QTest::newRow("its own report") << 1 << 6 << false << 0 << 6 << true;
    QTest::newRow("its own report, another asked too") << 0 << 6 << true << 6 << 0 << true;
    QTest::newRow("the other level's report") << 1 << 6 << false << 6 << 0 << false;
    QTest::newRow("an older report of its level") << 0 << 6 << false << 0 << 0 << false;
    QTest::newRow("another request's route") << 0 << 6 << true << 7 << 0 << false;
  }
  void answeredByItsOwnReport() {
    QFETCH(int, level);
    QFETCH(int, input);
    QFETCH(bool, other);
    QFETCH(int, video);
    QFETCH(int, audio);
    QFETCH(bool, modified);
    Fixture f;
    Consumer& c = f.join(1);
    f.join(2);
    const glow::Path matrix = level == 0 ? glow::Path{1, 1} : glow::Path{1, 2};
    f.ask(1, req::Connect(matrix, 2, {input - 1}, 0));
    if (other) f.ask(2, req::Connect(matrix, 2, {6}, 0));
    f.host.video[3] = video;
    f.host.audio[3] = audio;
    f.provider.routeChanged(3);
    QCOMPARE(connectionsText(c.state), modified ? QStringLiteral("%1: 2<-%2 d1").arg(pathText(matrix)).arg(input - 1)
                                                : QStringLiteral("%1: 2<- d2").arg(pathText(matrix)));
  }

  // A message that cannot be read, or asks more than any consumer does, is not carried out at
  // all; answers are bounded by what one read may make.
  void refusedWhole_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("answers");
    QTest::newRow("a route, then an element that cannot be read")
        << QByteArray::fromHex("602c6b2aa01f711da0040d020101a5153013a011700fa003020103a1030d0107a203020101a0076a05a0030d0181") << 0;
    QTest::newRow("more requests than any consumer sends") << salvo(kMaxRequestsPerMessage + 1, 1) << 0;
    QTest::newRow("more connections than both matrices have") << salvo(2, kMaxConnectionsPerMessage / 2 + 1) << 0;
  }
  void refusedWhole() {
    QFETCH(QByteArray, message);
    Fixture f;
    Consumer& c = f.join(1);
    f.ask(1, message);
    QTEST(c.state.messages, "answers");
    QCOMPARE(f.host.sent, QByteArrayList());
  }

  void answersBoundedByRead() {
    Fixture f;
    f.host.inputCount = 256;
    Consumer& c = f.join(1);
    ber::Writer w;
    w.begin(ber::Application(0));
    w.begin(ber::Application(11));
    for (int k = 0; k < kMaxRequestsPerMessage; ++k) {
      w.begin(ber::Context(0));
      w.begin(ber::Application(10));
      w.contextRelativeOid(0, {1, 3, 2});
      w.begin(ber::Context(2));
      w.begin(ber::Application(4));
      w.begin(ber::Context(0));
      w.begin(ber::Application(2));
      w.contextInteger(0, glow::kGetDirectory);
      for (int e = 0; e < 6; ++e) w.end();
    }
    w.end();
    w.end();
    f.ask(1, w.bytes());
    // Each answer is some 7 KiB: the read's budget ends the answers well before the requests.
    QVERIFY2(c.state.messages > 1 && c.state.messages * 7 * 1024 < kMaxAnswerPerRead * 2, qPrintable(QString::number(c.state.messages)));
  }

  // A route the switcher never reports: asked for once, then the requester hears the route as
  // it stands; a command dropped before it went is answered with the route as it stands.
  void unreportedAndDroppedRoutes() {
    Fixture f;
    Consumer& a = f.join(1);
    f.ask(1, req::Connect({1, 1}, 1, {6}, 0));
    QTRY_COMPARE(f.host.sent, (QByteArrayList{"7V2.", "Status2."}));
    QTRY_COMPARE(a.state.messages, 2);
    QCOMPARE(connectionsText(a.state), QStringLiteral("1.1: 1<-1 d0"));

    f.host.queued = true;
    f.ask(1, req::Connect({1, 2}, 0, {2}, 0));
    f.host.drops.back()();
    QCOMPARE(connectionsText(a.state), QStringLiteral("1.2: 0<-0 d0"));
    QVERIFY(!f.provider.waiting(1));
    // Its requester gone, a report answers nobody.
    f.ask(1, req::Connect({1, 2}, 0, {2}, 0));
    f.host.writes.back()();
    f.provider.leave(1);
    f.provider.routeChanged(1);
  }

  // A label set renames, and every consumer that browsed the labels hears the new name; a name
  // refused, a read-only provider and the state parameters answer the value as it is.
  void renames_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("heard");  // by a consumer that browsed the inputs' names
    QTest::newRow("renamed") << req::SetString({1, 3, 2, 3}, "Camera 4") << "" << false << "Camera 4" << "Camera 4";
    QTest::newRow("refused by the names' rules") << req::SetString({1, 3, 2, 3}, "x") << "too long" << false << "IN 4" << "";
    QTest::newRow("read only") << req::SetString({1, 3, 2, 3}, "Camera 4") << "" << true << "IN 4" << "";
    QTest::newRow("a state parameter") << req::SetString({1, 4, 2}, "Other") << "" << false << "MATRIX 8X4" << "";
    QTest::newRow("past the inputs") << req::SetString({1, 3, 2, 8}, "Camera 9") << "" << false << "" << "";
  }
  void renames() {
    QFETCH(QByteArray, request);
    Options options;
    QFETCH(bool, readOnly);
    QFETCH(QString, problem);
    options.readOnly = readOnly;
    Fixture f(options);
    f.host.renameProblem = problem;
    Consumer& setter = f.join(1);
    Consumer& browser = f.join(2);
    Consumer& other = f.join(3);
    f.ask(2, req::GetDirectory(req::On::Node, {1, 3, 2}));
    f.ask(3, req::GetDirectory(req::On::Node, {1, 3, 1}));
    const int seen = other.state.messages;
    f.ask(1, request);
    f.provider.namesChanged();
    QStringList values;
    for (const auto& p : setter.state.lastParameters) values << setter.state.parameters[p].value;
    QTEST(values.join(' '), "answer");
    QFETCH(QString, heard);
    QCOMPARE(browser.state.messages, heard.isEmpty() ? 1 : 2);
    if (!heard.isEmpty()) QCOMPARE(browser.state.parameters[glow::Path({1, 3, 2, 3})].value, heard);
    QCOMPARE(other.state.messages, seen);
    QCOMPARE(f.host.names.count(std::make_pair(true, 4)), size_t(heard.isEmpty() ? 0 : 1));
    QCOMPARE(f.host.readOnlyRefusals, readOnly ? 1 : 0);
  }

  // A keep-alive request is answered at once; a consumer silent for the quiet period is asked.
  void keepAlive() {
    Options options;
    options.keepAliveQuiet = std::chrono::milliseconds(100);
    Fixture f(options);
    Consumer& c = f.join(1);
    const QByteArray request = s101::KeepAliveRequest();
    f.provider.bytesIn(1, request.constData(), int(request.size()));
    QCOMPARE(c.bytes, s101::KeepAliveResponse());
    QTRY_COMPARE(c.keepAliveRequests, 1);
    QTRY_COMPARE(c.keepAliveRequests, 2);
    QCOMPARE(c.bytes.count(s101::KeepAliveRequest()), 2);
  }

  // The node, the state parameters and the matrices follow the link and the identification,
  // to consumers that browsed them.
  void treeFollowsTheLink() {
    Fixture f;
    Consumer& root = f.join(1);
    Consumer& state = f.join(2);
    f.ask(1, req::GetDirectory(req::On::Root, {}));
    f.ask(2, req::GetDirectory(req::On::Node, {1, 4}));
    f.host.isOnline = false;
    f.host.isReady = false;
    f.host.linkReason = "no such device";
    f.provider.deviceChanged();
    QTRY_COMPARE(root.state.nodes[glow::Path({1})].isOnline, 0);
    QCOMPARE(root.state.messages, 2);
    QCOMPARE(state.state.parameters[glow::Path({1, 4, 1})].value, QStringLiteral("down: no such device"));
    QCOMPARE(state.state.messages, 2);
    // A state the engine passes through within one turn (a link up, before its identification
    // begins) is never told.
    f.host.isReady = true;
    f.provider.deviceChanged();
    f.host.isReady = false;
    f.provider.deviceChanged();
    QCoreApplication::processEvents();
    QCOMPARE(root.state.messages + state.state.messages, 4);

    // Another switcher, with more inputs: the matrices' sizes and the new inputs' names.
    Consumer& sw = f.join(3);
    f.ask(3, req::GetDirectory(req::On::Node, {1}));
    f.ask(3, req::GetDirectory(req::On::Node, {1, 3, 2}));
    f.host.inputCount = 10;
    f.provider.deviceChanged();
    QTRY_COMPARE(sw.state.matrices[glow::Path({1, 2})].sourceCount, 10);
    QCOMPARE(sw.state.parameters[glow::Path({1, 3, 2, 9})].value, QStringLiteral("IN 10"));
  }
};

QTEST_GUILESS_MAIN(TestEmberProvider)
#include "tst_emberprovider.moc"
