// The router panel protocol without a window or a socket: the block parser under any cut,
// the answers to each kind of block, locks between clients, and routes told only once the
// switcher has reported them.

#include "PanelProtocol.h"
#include "Protects.h"
#include "PanelServer.h"
#include "ServerCore.h"

#include <QtNetwork>
#include <QtTest>

#include <atomic>
#include <functional>
#include <map>
#include <thread>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using gateway::PanelBlock;
using gateway::PanelBlockParser;
using gateway::PanelProtocol;

Q_DECLARE_METATYPE(std::vector<PanelBlock>)

namespace {
struct FakeHost final : gateway::PanelHost {
  gateway::PanelDevice dev{true, "MATRIX 8X4", "desk", "0123456789AB", 8, 4};
  std::map<int, routing::Route> routes{{1, {1, 1}}, {2, {2, 2}}, {3, {0, 0}}};
  names::Names nameSet;
  bool sendable = true;
  bool canWrite = true;
  int room = 1 << 20;   // commands the client's quota still takes
  bool queued = false;  // commands wait (a paced queue) until the test writes them
  int saves = 0;
  int readOnlyRefusals = 0;
  QByteArrayList commands;
  std::vector<std::function<void(bool)>> waitingCommands;
  std::function<void()> onSend;
  std::function<void()> onDevice;
  gateway::PanelDevice device() const override {
    if (onDevice) onDevice();
    return dev;
  }
  routing::Route route(int output) const override {
    const auto it = routes.find(output);
    return it == routes.end() ? routing::Route{} : it->second;
  }
  const names::Names& names() const override { return nameSet; }
  void refusedReadOnly() override { ++readOnlyRefusals; }
  bool setNames(const names::Names& next) override {
    ++saves;
    if (canWrite) nameSet = next;
    return canWrite;
  }
  routing::Protects protects;
  char lockState(int output, const QString& label) const override {
    const routing::ProtectHolder* h = protects.holder(output);
    return !h ? 'U' : h->label == label ? 'O' : 'L';
  }
  bool setLock(int output, const QString& label, char what) override {
    return what == 'O' ? protects.protect(output, {label, label}) : protects.release(output, label, what == 'F');
  }
  void forgetLocks(const QString& label) override { protects.forget(label); }
  void wire(gateway::PanelProtocol& p) {
    QObject::connect(&protects, &routing::Protects::changed, &p, &gateway::PanelProtocol::lockChanged);
  }
  bool canSend(int count, const QString&) const override { return sendable && count <= room; }
  bool send(const QByteArray& command, const QString&, std::function<void(bool)> done) override {
    if (!sendable) return false;
    commands << command;
    --room;
    if (queued) waitingCommands.push_back(done);
    else if (done) done(true);
    if (onSend) onSend();
    return true;
  }
};

PanelBlock blockOf(const QByteArray& text) {
  PanelBlockParser p;
  std::vector<PanelBlock> out;
  p.push(text + "\n\n", &out);
  return out.empty() ? PanelBlock{} : out.front();
}
}  // namespace

class TestPanel : public QObject {
  Q_OBJECT
 private slots:
  void parserAnyCut_data();
  void parserAnyCut();
  void answers_data();
  void answers();
  void preludeFollowsTheDevice();
  void locksBetweenClients();
  void routeToldOnceReported();
  void unreportedRouteIsAskedFor();
  void labelsGoToEveryClient();
  void labelFloodWritesOnce();
  void locksOutliveTheLink();
  void routeBlockWholeOrNothing();
  void reportBoundFromTheWrite();
  void waitingRouteIsNotOverdue();
  void uniqueIdMixesTheMachine();
  void overTcp_data();
  void overTcp();
  void resetDuringPreludeFreesTheSlot();

 private:
  struct Peer {
    QByteArray got;
  };
  void join(PanelProtocol& p, std::map<int, Peer>& peers, int id) {
    p.join(quint64(id), QStringLiteral("client%1").arg(id), [&peers, id](const QByteArray& b) { peers[id].got += b; });
  }
  // Joins each client and forgets its prelude.
  void joinQuiet(PanelProtocol& p, std::map<int, Peer>& peers, std::initializer_list<int> ids) {
    for (int id : ids) join(p, peers, id);
    for (int id : ids) peers[id].got.clear();
  }
};

void TestPanel::parserAnyCut_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<bool>("ok");
  QTest::addColumn<int>("blocks");
  QTest::newRow("LF, two blocks") << QByteArray("PING:\n\nVIDEO OUTPUT ROUTING:\n0 1\n1 2\n\n") << true << 2;
  QTest::newRow("CR LF is LF") << QByteArray("PING:\r\n\r\nINPUT LABELS:\r\n0 A\r\n\r\n") << true << 2;
  QTest::newRow("blank lines between blocks") << QByteArray("\n\r\n\nPING:\n\n\n\n") << true << 1;
  QTest::newRow("unfinished block held") << QByteArray("PING:\n\nVIDEO OUTPUT ROUTING:\n0 1\n") << true << 1;
  QTest::newRow("line of 1024 bytes kept") << "INPUT LABELS:\n" + QByteArray(1024, 'x') + "\r\n\n" << true << 1;
  QTest::newRow("CR alone ends lines") << QByteArray("PING:\r\rINPUT LABELS:\r0 A\r\r") << true << 2;
  QTest::newRow("CR, LF and CR LF mixed") << QByteArray("PING:\r\n\nVIDEO OUTPUT ROUTING:\r0 1\n1 2\r\n\r") << true << 2;
  QTest::newRow("line of 1025 bytes ends the client") << "PING:\n\n" + QByteArray(1025, 'x') + "\n" << false << 1;
  QTest::newRow("endless line ends the client") << QByteArray(5000, 'x') << false << 0;
  QByteArray big = "INPUT LABELS:\n";
  while (big.size() < 64 * 1024) big += "1 " + QByteArray(1000, 'y') + "\n";
  QTest::newRow("block over 64 KiB ends the client") << big + "\n" << false << 0;
}

void TestPanel::parserAnyCut() {
  QFETCH(QByteArray, bytes);
  QFETCH(bool, ok);
  QFETCH(int, blocks);
  PanelBlockParser whole;
  std::vector<PanelBlock> wholeBlocks;
  QCOMPARE(whole.push(bytes, &wholeBlocks), ok);
  QCOMPARE(int(wholeBlocks.size()), blocks);
  for (int step : {1, 2, 7, 1000}) {
    PanelBlockParser cut;
    std::vector<PanelBlock> cutBlocks;
    bool cutOk = true;
    for (int at = 0; at < bytes.size(); at += step) cutOk = cut.push(bytes.mid(at, step), &cutBlocks) && cutOk;
    QCOMPARE(cutOk, ok);
    QVERIFY(cutBlocks == wholeBlocks);
  }
  if (ok && blocks > 0) QVERIFY(!wholeBlocks.back().header.endsWith('\r'));
}

void TestPanel::answers_data() {
  QTest::addColumn<QByteArray>("request");
  QTest::addColumn<bool>("readOnly");
  QTest::addColumn<bool>("linkUp");
  QTest::addColumn<QByteArray>("reply");
  QTest::addColumn<QByteArrayList>("commands");
  const QByteArray nak = "NAK\n\n";
  const QByteArray ack = "ACK\n\n";
  QTest::newRow("PING") << QByteArray("PING:") << false << true << ack << QByteArrayList{};
  QTest::newRow("PING read-only") << QByteArray("PING:") << true << true << ack << QByteArrayList{};
  QTest::newRow("unknown header") << QByteArray("VIDEO INPUT STATUS:") << false << true << nak << QByteArrayList{};
  QTest::newRow("device block with lines") << QByteArray("VIDEOHUB DEVICE:\nDevice present: true") << false << true << ack << QByteArrayList{};
  QTest::newRow("preamble echoed") << QByteArray("PROTOCOL PREAMBLE:\nVersion: 2.8") << false << true << ack << QByteArrayList{};
  QTest::newRow("end of prelude echoed") << QByteArray("END PRELUDE:") << false << true << ack << QByteArrayList{};
  QTest::newRow("configuration query") << QByteArray("CONFIGURATION:") << false << true
                                       << ack + "CONFIGURATION:\nTake Mode: false\n\n" << QByteArrayList{};
  QTest::newRow("take mode off asked") << QByteArray("CONFIGURATION:\nTake Mode: false") << true << true << ack << QByteArrayList{};
  QTest::newRow("take mode on refused") << QByteArray("CONFIGURATION:\nTake Mode: true") << false << true << nak << QByteArrayList{};
  QTest::newRow("routing query") << QByteArray("VIDEO OUTPUT ROUTING:") << false << true
                                 << ack + "VIDEO OUTPUT ROUTING:\n0 0\n1 1\n2 999\n\n" << QByteArrayList{};
  QTest::newRow("route") << QByteArray("VIDEO OUTPUT ROUTING:\n3 4") << false << true << ack << QByteArrayList{"5B4."};
  QTest::newRow("one input, one command") << QByteArray("VIDEO OUTPUT ROUTING:\n0 7\n2 7\n1 7\n3 0") << false << true << ack
                                          << QByteArrayList{"1B4.", "8B1,2,3."};
  QTest::newRow("output out of range") << QByteArray("VIDEO OUTPUT ROUTING:\n0 1\n4 1") << false << true << nak << QByteArrayList{};
  QTest::newRow("input out of range") << QByteArray("VIDEO OUTPUT ROUTING:\n0 8") << false << true << nak << QByteArrayList{};
  QTest::newRow("not number space value") << QByteArray("VIDEO OUTPUT ROUTING:\n0 1\n2,3") << false << true << nak << QByteArrayList{};
  QTest::newRow("negative index") << QByteArray("VIDEO OUTPUT ROUTING:\n-1 2") << false << true << nak << QByteArrayList{};
  QTest::newRow("route read-only") << QByteArray("VIDEO OUTPUT ROUTING:\n0 1") << true << true << nak << QByteArrayList{};
  QTest::newRow("route, link down") << QByteArray("VIDEO OUTPUT ROUTING:\n0 1") << false << false << nak << QByteArrayList{};
  QTest::newRow("label with a tab") << QByteArray("INPUT LABELS:\n0 a\tb") << false << true << nak << QByteArrayList{};
  QTest::newRow("label of 65 characters") << "OUTPUT LABELS:\n1 " + QByteArray(65, 'z') << false << true << nak << QByteArrayList{};
  QTest::newRow("label not UTF-8") << QByteArray("INPUT LABELS:\n0 \xff\xfe") << false << true << nak << QByteArrayList{};
  QTest::newRow("label read-only") << QByteArray("INPUT LABELS:\n0 Cam") << true << true << nak << QByteArrayList{};
  QTest::newRow("lock with a bad letter") << QByteArray("VIDEO OUTPUT LOCKS:\n0 X") << false << true << nak << QByteArrayList{};
  QTest::newRow("lock read-only") << QByteArray("VIDEO OUTPUT LOCKS:\n0 O") << true << true << nak << QByteArrayList{};
  QTest::newRow("locks query") << QByteArray("VIDEO OUTPUT LOCKS:") << true << true
                               << ack + "VIDEO OUTPUT LOCKS:\n0 U\n1 U\n2 U\n3 U\n\n" << QByteArrayList{};
}

void TestPanel::answers() {
  QFETCH(QByteArray, request);
  QFETCH(bool, readOnly);
  QFETCH(bool, linkUp);
  QFETCH(QByteArray, reply);
  QFETCH(QByteArrayList, commands);
  FakeHost host;
  host.dev.present = linkUp;
  PanelProtocol p(host, {'B', readOnly});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1});
  p.block(1, blockOf(request));
  QCOMPARE(peers[1].got, reply);
  QCOMPARE(host.commands, commands);
  // Each change a read-only listener refuses is counted once; what it answers is not.
  QCOMPARE(host.readOnlyRefusals, readOnly && reply.startsWith("NAK") ? 1 : 0);
  if (reply.startsWith("NAK")) {
    QVERIFY(host.nameSet.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(peers[1].got, reply);  // nothing changed, so nothing follows
  }
}

void TestPanel::preludeFollowsTheDevice() {
  FakeHost host;
  host.dev.present = false;
  host.routes[4] = {12, 12};  // an input beyond the 8 the panels are shown
  host.nameSet.set(names::Kind::Input, 2, QStringLiteral("Camera 2"));
  PanelProtocol p(host, {});
  host.wire(p);
  std::map<int, Peer> peers;
  join(p, peers, 1);
  QCOMPARE(peers[1].got, QByteArray("PROTOCOL PREAMBLE:\nVersion: 2.8\n\nVIDEOHUB DEVICE:\nDevice present: false\n\n"
                                    "END PRELUDE:\n\n"));
  peers[1].got.clear();
  host.dev.present = true;
  p.deviceChanged();
  QTRY_VERIFY(!peers[1].got.isEmpty());
  QVERIFY(peers[1].got.startsWith("VIDEOHUB DEVICE:\nDevice present: true\nModel name: MATRIX 8X4\nFriendly name: desk\n"
                                  "Unique ID: 0123456789AB\nVideo inputs: 8\nVideo processing units: 0\nVideo outputs: 4\n"));
  QVERIFY(peers[1].got.contains("INPUT LABELS:\n0 Input 1\n1 Camera 2\n2 Input 3\n"));
  QVERIFY(peers[1].got.contains("OUTPUT LABELS:\n0 Output 1\n1 Output 2\n2 Output 3\n3 Output 4\n\n"));
  // Output 3 is closed (index 999), output 4 fed by input 12 (index 11, past the count).
  const QByteArray tail = "VIDEO OUTPUT ROUTING:\n0 0\n1 1\n2 999\n3 11\n\nCONFIGURATION:\nTake Mode: false\n\n";
  QVERIFY(peers[1].got.endsWith(tail));
  join(p, peers, 2);
  QVERIFY(peers[2].got.endsWith(tail + "END PRELUDE:\n\n"));
  // A route that closes an output reaches the panels too.
  host.routes[1] = {0, 0};
  p.routeChanged(1);
  QTRY_VERIFY(peers[2].got.endsWith("VIDEO OUTPUT ROUTING:\n0 999\n\n"));
  host.dev.present = false;
  p.deviceChanged();
  QTRY_VERIFY(peers[2].got.endsWith("VIDEOHUB DEVICE:\nDevice present: false\n\n"));
  p.block(2, blockOf("VIDEO OUTPUT ROUTING:\n0 1"));
  QVERIFY(peers[2].got.endsWith("NAK\n\n"));
}

void TestPanel::locksBetweenClients() {
  FakeHost host;
  PanelProtocol p(host, {});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1, 2});
  p.block(1, blockOf("VIDEO OUTPUT LOCKS:\n1 O\n2 O"));
  QCOMPARE(peers[1].got, QByteArray("ACK\n\n"));
  QTRY_COMPARE(peers[2].got, QByteArray("VIDEO OUTPUT LOCKS:\n1 L\n2 L\n\n"));
  QCOMPARE(peers[1].got, QByteArray("ACK\n\nVIDEO OUTPUT LOCKS:\n1 O\n2 O\n\n"));
  peers[2].got.clear();
  // Another client's lock: no route, no take, no release without force.
  for (const char* req : {"VIDEO OUTPUT ROUTING:\n1 3", "VIDEO OUTPUT LOCKS:\n1 O", "VIDEO OUTPUT LOCKS:\n0 O\n2 U"}) {
    p.block(2, blockOf(req));
    QCOMPARE(peers[2].got, QByteArray("NAK\n\n"));
    peers[2].got.clear();
  }
  QVERIFY(host.commands.isEmpty());
  p.block(1, blockOf("VIDEO OUTPUT ROUTING:\n1 3"));
  QCOMPARE(host.commands, QByteArrayList{"4B2."});
  p.block(2, blockOf("VIDEO OUTPUT LOCKS:\n2 F"));
  QTRY_COMPARE(peers[2].got, QByteArray("ACK\n\nVIDEO OUTPUT LOCKS:\n2 U\n\n"));
  peers[2].got.clear();
  p.leave(1);
  QTRY_COMPARE(peers[2].got, QByteArray("VIDEO OUTPUT LOCKS:\n1 U\n\n"));
  p.block(2, blockOf("VIDEO OUTPUT LOCKS:"));
  QVERIFY(peers[2].got.endsWith("VIDEO OUTPUT LOCKS:\n0 U\n1 U\n2 U\n3 U\n\n"));
}

void TestPanel::routeToldOnceReported() {
  FakeHost host;
  PanelProtocol p(host, {'V', false});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1, 2});
  p.block(1, blockOf("VIDEO OUTPUT ROUTING:\n0 5\n1 5"));
  QCOMPARE(host.commands, QByteArrayList{"6V1,2."});
  QCoreApplication::processEvents();  // the turn in which updates would go out
  QCOMPARE(peers[1].got, QByteArray("ACK\n\n"));
  QCOMPARE(peers[2].got, QByteArray());
  host.routes[1] = {6, 1};
  host.routes[2] = {6, 2};
  p.routeChanged(1);
  p.routeChanged(2);
  QVERIFY(p.waiting(1));  // reported, not yet told: a half-closed panel is kept for it
  QTRY_COMPARE(peers[2].got, QByteArray("VIDEO OUTPUT ROUTING:\n0 5\n1 5\n\n"));
  QCOMPARE(peers[1].got, QByteArray("ACK\n\nVIDEO OUTPUT ROUTING:\n0 5\n1 5\n\n"));
  QVERIFY(!p.waiting(1));
}

void TestPanel::unreportedRouteIsAskedFor() {
  FakeHost host;
  PanelProtocol p(host, {});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1});
  // Already routed so: the switcher's report changes nothing in the table.
  p.block(1, blockOf("VIDEO OUTPUT ROUTING:\n1 1"));
  QVERIFY(p.waiting(1));
  QTRY_COMPARE(host.commands, (QByteArrayList{"2B2.", "Status2."}));
  QTRY_COMPARE(peers[1].got, QByteArray("ACK\n\nVIDEO OUTPUT ROUTING:\n1 1\n\n"));
  QVERIFY(!p.waiting(1));
}

void TestPanel::labelsGoToEveryClient() {
  FakeHost host;
  PanelProtocol p(host, {});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1, 2});
  // The names file cannot be written: refused, and the label stays.
  host.canWrite = false;
  p.block(2, blockOf("INPUT LABELS:\n0 Other"));
  QCOMPARE(peers[2].got, QByteArray("NAK\n\n"));
  QCOMPARE(host.nameSet.name(names::Kind::Input, 1), QString());
  peers[2].got.clear();
  host.canWrite = true;
  // Sent back as shown ("Input 2" is index 1): no name. "Output 1" for output 2 is one.
  p.block(1, blockOf("INPUT LABELS:\n0 Camera 1 \xc3\xa9\n1 Input 2"));
  QCOMPARE(peers[1].got, QByteArray("ACK\n\n"));
  QCOMPARE(host.nameSet.name(names::Kind::Input, 1), QString::fromUtf8("Camera 1 \xc3\xa9"));
  QCOMPARE(host.nameSet.name(names::Kind::Input, 2), QString());
  QTRY_COMPARE(peers[2].got, QByteArray("INPUT LABELS:\n0 Camera 1 \xc3\xa9\n\n"));
  p.block(1, blockOf("OUTPUT LABELS:\n1 Output 1\n2 Output 3"));
  QTRY_COMPARE(host.nameSet.name(names::Kind::Output, 2), QStringLiteral("Output 1"));
  QCOMPARE(host.nameSet.name(names::Kind::Output, 3), QString());
}

void TestPanel::labelFloodWritesOnce() {
  FakeHost host;
  PanelProtocol p(host, {});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1, 2});
  constexpr int kBlocks = 3000;  // one 64 KiB write of a panel
  for (int k = 0; k < kBlocks; ++k)
    p.block(1, blockOf("INPUT LABELS:\n" + QByteArray::number(k % 8) + " Name " + QByteArray::number(k)));
  QCOMPARE(host.saves, 1);  // the first at once; the rest wait for the period's end
  QCOMPARE(peers[1].got, QByteArray("ACK\n\n").repeated(kBlocks));
  QTRY_COMPARE(host.nameSet.name(names::Kind::Input, 8), QStringLiteral("Name 2999"));
  QCOMPARE(host.saves, 2);
  QCOMPARE(host.nameSet.name(names::Kind::Input, 1), QStringLiteral("Name 2992"));
  // The other panel heard the labels once, as they ended.
  QCOMPARE(peers[2].got.count("INPUT LABELS:"), 1);
  QVERIFY(peers[2].got.contains("7 Name 2999\n"));
}

void TestPanel::locksOutliveTheLink() {
  FakeHost host;
  PanelProtocol p(host, {});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1, 2});
  p.block(1, blockOf("VIDEO OUTPUT LOCKS:\n1 O"));
  // The link drops and comes back; then the switcher is identified again as another model.
  host.dev.present = false;
  p.deviceChanged();
  QTRY_VERIFY(peers[2].got.endsWith("Device present: false\n\n"));
  host.dev.present = true;
  p.deviceChanged();
  QTRY_VERIFY(peers[2].got.contains("VIDEO OUTPUT LOCKS:\n0 U\n1 L\n"));
  host.dev.model = "MATRIX 8X8";
  p.deviceChanged();
  QTRY_VERIFY(peers[2].got.contains("MATRIX 8X8"));
  peers[2].got.clear();
  p.block(2, blockOf("VIDEO OUTPUT ROUTING:\n1 3"));
  QCOMPARE(peers[2].got, QByteArray("NAK\n\n"));
  QVERIFY(host.commands.isEmpty());
  p.block(1, blockOf("VIDEO OUTPUT LOCKS:"));
  QVERIFY(peers[1].got.endsWith("VIDEO OUTPUT LOCKS:\n0 U\n1 O\n2 U\n3 U\n\n"));
}

void TestPanel::routeBlockWholeOrNothing() {
  FakeHost host;
  host.room = 2;  // room for two of the three commands
  PanelProtocol p(host, {});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1});
  p.block(1, blockOf("VIDEO OUTPUT ROUTING:\n0 1\n1 2\n2 3"));
  QCOMPARE(peers[1].got, QByteArray("NAK\n\n"));
  QVERIFY(host.commands.isEmpty());
  QVERIFY(!p.waiting(1));
  host.room = 3;
  p.block(1, blockOf("VIDEO OUTPUT ROUTING:\n0 1\n1 2\n2 3"));
  QCOMPARE(host.commands, (QByteArrayList{"2B1.", "3B2.", "4B3."}));
}

void TestPanel::reportBoundFromTheWrite() {
  FakeHost host;
  host.queued = true;
  host.routes[4] = {2, 2};
  PanelProtocol p(host, {});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1});
  p.block(1, blockOf("VIDEO OUTPUT ROUTING:\n0 5\n1 5\n2 6\n3 7"));
  QCOMPARE(host.commands, (QByteArrayList{"6B1,2.", "7B3.", "8B4."}));
  // Waiting in the queue three times the bound: nothing asked, nothing told.
  QTest::qWait(3 * gateway::kPanelReportBoundMs);
  QCOMPARE(host.commands.size(), 3);
  QCOMPARE(peers[1].got, QByteArray("ACK\n\n"));
  QVERIFY(p.waiting(1));
  // The third is dropped before it went: the panels get the table's route at once.
  host.waitingCommands[2](false);
  QTRY_COMPARE(peers[1].got, QByteArray("ACK\n\nVIDEO OUTPUT ROUTING:\n3 1\n\n"));
  QElapsedTimer sinceWrite;
  sinceWrite.start();
  host.waitingCommands[0](true);
  host.waitingCommands[1](true);
  // Unreported: one query per command (not per output), a bound after the write.
  QTRY_COMPARE(host.commands.size(), 5);
  QVERIFY2(sinceWrite.elapsed() >= gateway::kPanelReportBoundMs, qPrintable(QString::number(sinceWrite.elapsed())));
  QCOMPARE(host.commands.mid(3), (QByteArrayList{"Status1.", "Status3."}));
  QTRY_VERIFY(!p.waiting(1));
  QVERIFY(peers[1].got.endsWith("VIDEO OUTPUT ROUTING:\n0 0\n1 1\n2 999\n\n"));
}

// With a pace, another command's write starts no bound for a route still waiting in the
// queue: the panels keep the route asked for, not the old one, until its own is written.
void TestPanel::waitingRouteIsNotOverdue() {
  FakeHost host;
  host.queued = true;
  PanelProtocol p(host, {});
  host.wire(p);
  std::map<int, Peer> peers;
  joinQuiet(p, peers, {1});
  p.block(1, blockOf("VIDEO OUTPUT ROUTING:\n0 5"));
  p.block(1, blockOf("VIDEO OUTPUT ROUTING:\n1 6"));
  QCOMPARE(host.commands, (QByteArrayList{"6B1.", "7B2."}));
  host.waitingCommands[0](true);
  host.routes[1] = {6, 6};
  p.routeChanged(1);
  QTRY_COMPARE(peers[1].got, QByteArray("ACK\n\nACK\n\nVIDEO OUTPUT ROUTING:\n0 5\n\n"));
  // Three bounds after the first was written: the second is neither asked for nor undone.
  QVERIFY(!QTest::qWaitFor([&] { return host.commands.size() > 2 || peers[1].got.count("ROUTING") > 1; },
                           3 * gateway::kPanelReportBoundMs));
  QVERIFY(p.waiting(1));
  host.waitingCommands[1](true);
  host.routes[2] = {7, 7};
  p.routeChanged(2);
  QTRY_VERIFY(peers[1].got.endsWith("VIDEO OUTPUT ROUTING:\n1 6\n\n"));
  QVERIFY(!p.waiting(1));
}

void TestPanel::uniqueIdMixesTheMachine() {
  const QString folder = QStringLiteral("/home/op/.config/switcher-console");
  const QString id = gateway::PanelUniqueId(folder, "0123abcd");
  QCOMPARE(id, gateway::PanelUniqueId(folder, "0123abcd"));
  QVERIFY(id != gateway::PanelUniqueId(folder, "4567ef01"));
  QVERIFY(id != gateway::PanelUniqueId(folder + "2", "0123abcd"));
  QVERIFY(QRegularExpression("^[0-9A-F]{12}$").match(id).hasMatch());
}

void TestPanel::overTcp_data() {
  QTest::addColumn<QByteArray>("request");
  QTest::addColumn<bool>("halfClose");
  QTest::addColumn<QByteArray>("tail");  // what the client got last before the server closed it
  QTest::newRow("line of 2 KiB ends the client") << "INPUT LABELS:\n0 " + QByteArray(2048, 'x') + "\n\n" << false
                                               << QByteArray("END PRELUDE:\n\n");
  QByteArray big = "OUTPUT LABELS:\n";
  for (int k = 0; k < 70; ++k) big += "0 " + QByteArray(1000, 'y') + "\n";
  QTest::newRow("block over 64 KiB ends the client") << big << false << QByteArray("END PRELUDE:\n\n");
  QTest::newRow("half-closed client gets its route") << QByteArray("PING:\n\nVIDEO OUTPUT ROUTING:\n0 5\n\n") << true
                                                     << QByteArray("ACK\n\nACK\n\nVIDEO OUTPUT ROUTING:\n0 5\n\n");
}

void TestPanel::overTcp() {
  QFETCH(QByteArray, request);
  QFETCH(bool, halfClose);
  QFETCH(QByteArray, tail);
  FakeHost host;
  gateway::PanelServer server(host, {});
  // The switcher reports the route a while after the command.
  host.onSend = [&] {
    QTimer::singleShot(50, &server, [&] {
      host.routes[1] = {6, 6};
      server.protocol().routeChanged(1);
    });
  };
  QCOMPARE(server.start(gateway::Settings{}), QString());
  QTcpSocket client;
  QByteArray got;
  connect(&client, &QTcpSocket::readyRead, &client, [&] { got += client.readAll(); });
  client.connectToHost(QHostAddress::LocalHost, server.core().port());
  QTRY_VERIFY(got.endsWith("END PRELUDE:\n\n"));
  client.write(request);
  client.flush();
  if (halfClose) ::shutdown(int(client.socketDescriptor()), SHUT_WR);
  QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
  QVERIFY2(got.endsWith(tail), got.right(80).constData());
}

void TestPanel::resetDuringPreludeFreesTheSlot() {
  FakeHost host;
  gateway::PanelServer server(host, {});
  gateway::Settings settings;
  settings.maxClients = 2;
  QCOMPARE(server.start(settings), QString());
  sockaddr_in to{AF_INET, htons(server.core().port()), {htonl(INADDR_LOOPBACK)}, {}};
  auto resetting = [&] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return fd;
  };
  // Reset while the console is about to write the prelude: the write fails.
  int victim = -1;
  host.onDevice = [&] {
    if (victim >= 0) ::close(std::exchange(victim, -1));
  };
  for (int k = 0; k < 4; ++k) {
    victim = resetting();
    QTRY_COMPARE(victim, -1);
  }
  host.onDevice = {};
  // And in a loop, as a script would, while the console runs.
  std::atomic<bool> done{false};
  std::thread script([&] {
    for (int k = 0; k < 200; ++k) ::close(resetting());
    done = true;
  });
  QTRY_VERIFY(done.load());
  script.join();
  QTRY_COMPARE(server.core().clientCount(), 0);
  QTcpSocket panel;
  QByteArray got;
  connect(&panel, &QTcpSocket::readyRead, &panel, [&] { got += panel.readAll(); });
  panel.connectToHost(QHostAddress::LocalHost, server.core().port());
  QTRY_VERIFY(got.endsWith("END PRELUDE:\n\n"));
  QCOMPARE(server.core().clientCount(), 1);
  QCOMPARE(panel.state(), QAbstractSocket::ConnectedState);
}

QTEST_GUILESS_MAIN(TestPanel)
#include "tst_panel.moc"
