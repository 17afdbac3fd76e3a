// SW-P-08 clients over a fake switcher, without a socket: acknowledges before answers, one
// message on the wire at a time and its resends, routes told only once the switcher reports
// them and to every client in its own form, refusals answered with the real route, and
// protects shared with every other front end.

#include "Protects.h"
#include "Swp08Frame.h"
#include "Swp08Messages.h"
#include "Swp08Protocol.h"
#include "ServerCore.h"
#include "Swp08Server.h"

#include <QtTest>

#include <map>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

using namespace swp08;

namespace {

QByteArray H(const char* hex) { return QByteArray::fromHex(hex); }

// What the pseudo-terminal's master holds now, without waiting.
QByteArray readSome(int fd) {
  char buffer[256];
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return {};
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
}

struct FakeHost final : Swp08Host {
  bool isReady = true;
  bool refuse = false;  // the queue is full
  std::map<int, int> video{{1, 1}, {2, 2}, {3, 0}};
  std::map<int, int> audio{{1, 1}, {2, 5}, {3, 0}};
  QByteArrayList sent;
  std::vector<std::function<void()>> drops;
  routing::Protects protects;

  int readOnlyRefusals = 0;
  void refusedReadOnly() override { ++readOnlyRefusals; }
  bool ready() const override { return isReady; }
  int inputs() const override { return 8; }
  int outputs() const override { return 4; }
  int input(int level, int output) const override {
    const auto& m = level == 0 ? video : audio;
    const auto it = m.find(output);
    return it == m.end() ? -1 : it->second;
  }
  QString name(bool in, int n) const override { return QString(in ? "IN %1" : "OUT %1").arg(n); }
  bool queued = false;  // commands wait (a paced queue) until the test writes them
  std::vector<std::function<void()>> writes;
  bool send(const QByteArray& command, const QString&, std::function<void()> dropped,
            std::function<void()> written) override {
    if (refuse || !isReady) return false;
    sent << command;
    drops.push_back(dropped);
    if (!queued && written) written();
    else writes.push_back(written);
    return true;
  }
  ProtectView protect(int output, const QString& label) const override {
    ProtectView v;
    if (const routing::ProtectHolder* h = protects.holder(output)) {
      v.held = true;
      v.mine = h->label == label;
      v.wire = {h->device >= 0 ? ProtectState::ProtectedOem : ProtectState::Protected, std::max(h->device, 0)};
    }
    return v;
  }
  bool setProtect(int output, const QString& label, int device, bool take, bool force) override {
    return take ? protects.protect(output, {label, label, device}, force) : protects.release(output, label, force);
  }
  void forgetProtects(const QString& label) override { protects.forget(label); }
  QString deviceName(int device) const override { return QString("DEV %1").arg(device); }
};

// One client's side of the wire: what it received, cut into acknowledges and messages.
struct Peer {
  QByteArray got;
  bool closed = false;
  // "ack", "nak" or the DATA of each message, in hex, in order.
  QStringList heard() const {
    Deframer d;
    std::vector<Deframer::Event> events;
    d.push(got.constData(), int(got.size()), &events);
    QStringList out;
    for (const auto& e : events) {
      if (e.kind == Deframer::Event::Ack) out << "ack";
      else if (e.kind == Deframer::Event::Nak) out << "nak";
      else out << QString::fromLatin1(e.data.toHex(' '));
    }
    return out;
  }
};

struct Rig {
  FakeHost host;
  Options options;
  std::unique_ptr<Swp08Protocol> p;
  std::map<quint64, Peer> peers;
  explicit Rig(Options o = {}) : options(o), p(std::make_unique<Swp08Protocol>(host, o)) {
    QObject::connect(&host.protects, &routing::Protects::changed, p.get(), &Swp08Protocol::protectChanged);
  }
  void join(quint64 id) {
    p->join(
        id, QString("c%1").arg(id), [this, id](const QByteArray& b) { peers[id].got += b; },
        [this, id] { peers[id].closed = true; });
  }
  void say(quint64 id, const QByteArray& data) {
    const QByteArray f = Frame(data);
    p->bytesIn(id, f.constData(), int(f.size()));
  }
  // Acknowledges whatever the client has been sent so far, one by one, and forgets it.
  QStringList drain(quint64 id) {
    QStringList all;
    for (int guard = 0; guard < 100; ++guard) {
      const QStringList now = peers[id].heard();
      peers[id].got.clear();
      bool message = false;
      for (const QString& m : now) {
        all << m;
        message = message || (m != "ack" && m != "nak");
      }
      if (!message) break;
      p->bytesIn(id, "\x10\x06", 2);
    }
    return all;
  }
};

}  // namespace

class TestSwp08Protocol : public QObject {
  Q_OBJECT

 private slots:
  void answers_data();
  void answers();
  void routeToldOnceReported_data();
  void routeToldOnceReported();
  void refusedRouteTellsTheRealRoute_data();
  void refusedRouteTellsTheRealRoute();
  void reportBeforeTheCommandWentIsNoAnswer();
  void oneMessageOnTheWire();
  void unreportedRouteIsAskedThenTold();
  void protectsAreShared();
  void slowClientIsDropped();
  void servesASerialLine();
};

// What one request is answered with: the acknowledge first, then exactly these messages.
void TestSwp08Protocol::answers_data() {
  QTest::addColumn<QByteArray>("request");
  QTest::addColumn<QStringList>("answer");
  QTest::addColumn<int>("notes");
  // Destination 1 (output 2): video input 2 = source 1, audio input 5 = source 4.
  QTest::newRow("interrogate video") << H("01 00 00 01") << QStringList{"ack", "03 00 00 01 01"} << 0;
  QTest::newRow("interrogate audio") << H("01 01 00 01") << QStringList{"ack", "03 01 00 01 04"} << 0;
  QTest::newRow("interrogate closed output: bad source") << H("01 00 00 02") << QStringList{"ack", "03 00 08 02 00"} << 0;
  QTest::newRow("interrogate unknown output: bad source") << H("01 00 00 03") << QStringList{"ack", "03 00 08 03 00"} << 0;
  QTest::newRow("extended interrogate") << H("81 00 01 00 01") << QStringList{"ack", "83 00 01 00 01 00 04 00"} << 0;
  QTest::newRow("another matrix: nothing, a note") << H("01 10 00 01") << QStringList{"ack"} << 1;
  QTest::newRow("level 2: nothing, a note") << H("01 02 00 01") << QStringList{"ack"} << 1;
  QTest::newRow("destination beyond the switcher") << H("01 00 00 04") << QStringList{"ack"} << 1;
  QTest::newRow("unknown command: acknowledged, a note") << H("7f 00") << QStringList{"ack"} << 1;
  QTest::newRow("too short") << H("01 00") << QStringList{"ack"} << 1;
  QTest::newRow("dual controller status") << H("08") << QStringList{"ack", QString::fromLatin1(DualStatus().toHex(' '))} << 0;
  QTest::newRow("tally dump of audio")
      << H("15 01") << QStringList{"ack", QString::fromLatin1(TallyDump(false, 0, 1, {0, 4, -1, -1})[0].toHex(' '))} << 0;
  QTest::newRow("source names, 4 characters")
      << H("64 00 00") << QStringList{"ack", QString::fromLatin1(SourceNames(false, 0, 0, 0, {"IN 1", "IN 2", "IN 3", "IN 4", "IN 5", "IN 6", "IN 7", "IN 8"})[0].toHex(' '))} << 0;
  QTest::newRow("destination names, extended")
      << H("e6 00 01") << QStringList{"ack", QString::fromLatin1(DestinationNames(true, 0, 0, 1, {"OUT 1", "OUT 2", "OUT 3", "OUT 4"})[0].toHex(' '))} << 0;
}

void TestSwp08Protocol::answers() {
  QFETCH(QByteArray, request);
  QFETCH(QStringList, answer);
  QFETCH(int, notes);
  Rig r;
  QSignalSpy noted(r.p.get(), &Swp08Protocol::note);
  r.join(1);
  r.say(1, request);
  r.say(1, request);  // said once per client
  QStringList once = r.drain(1);
  QCOMPARE(once.mid(0, answer.size()), answer);
  QCOMPARE(noted.count(), notes);
  QVERIFY(r.host.sent.isEmpty());
}

void TestSwp08Protocol::routeToldOnceReported_data() {
  QTest::addColumn<QByteArray>("connect");
  QTest::addColumn<QByteArray>("command");
  QTest::addColumn<int>("level");
  QTest::addColumn<int>("input");     // what the switcher reports for output 1
  QTest::addColumn<QString>("general");   // told to a general client
  QTest::addColumn<QString>("extended");  // told to a client that spoke extended
  QTest::newRow("video") << H("02 00 00 00 04") << QByteArray("5V1.") << 0 << 5 << "04 00 00 00 04" << "84 00 00 00 00 00 04 00";
  QTest::newRow("audio") << H("02 01 00 00 06") << QByteArray("7A1.") << 1 << 7 << "04 01 00 00 06" << "84 00 01 00 00 00 06 00";
  QTest::newRow("extended request") << H("82 00 00 00 00 00 02") << QByteArray("3V1.") << 0 << 3 << "04 00 00 00 02" << "84 00 00 00 00 00 02 00";
  QTest::newRow("already so: told on the report") << H("02 00 00 00 00") << QByteArray("1V1.") << 0 << 1 << "04 00 00 00 00" << "84 00 00 00 00 00 00 00";
}

void TestSwp08Protocol::routeToldOnceReported() {
  QFETCH(QByteArray, connect);
  QFETCH(QByteArray, command);
  QFETCH(int, level);
  QFETCH(int, input);
  QFETCH(QString, general);
  QFETCH(QString, extended);
  Rig r;
  for (quint64 id : {1, 2, 3}) r.join(id);
  r.p->routeChanged(1);  // the clients know outputs 1 and 2 as they are
  r.p->routeChanged(2);
  r.p->flushRoutes();
  r.say(3, H("81 00 00 00 00"));  // client 3 speaks extended
  for (quint64 id : {1, 2, 3}) r.drain(id);
  r.say(1, connect);
  QCOMPARE(r.host.sent, QByteArrayList{command});
  QCOMPARE(r.drain(1), QStringList{"ack"});  // never before the switcher says so
  QVERIFY(r.drain(2).isEmpty());
  r.host.isReady = false;  // an identification's burst of reports is told all the same
  (level == 0 ? r.host.video : r.host.audio)[1] = input;
  r.p->routeChanged(1);
  r.p->routeChanged(1);  // the report after the change: told once
  QCOMPARE(r.drain(1).size(), 1);
  QCOMPARE(r.drain(2), QStringList{general});
  QCOMPARE(r.drain(3), QStringList{extended});
  // A change nobody asked for waits for the burst it may belong to, then is told once.
  r.host.video[2] = 8;
  r.p->routeChanged(2);
  r.p->routeChanged(2);
  QVERIFY(r.drain(2).isEmpty());
  QVERIFY(r.p->waiting(2));
  QStringList later;
  QTRY_VERIFY((later += r.drain(2), !later.isEmpty()));
  QCOMPARE(later, QStringList{"04 00 00 01 07"});
}

void TestSwp08Protocol::reportBeforeTheCommandWentIsNoAnswer() {
  Rig r;
  r.join(1);
  r.p->routeChanged(1);
  r.p->flushRoutes();
  r.drain(1);
  r.host.queued = true;  // the connect waits behind other clients' commands
  r.say(1, H("02 00 00 00 04"));
  r.drain(1);
  r.p->routeChanged(1);  // a status of the old route
  r.p->flushRoutes();
  QVERIFY(r.drain(1).isEmpty());
  r.host.writes.front()();
  r.host.video[1] = 5;
  r.p->routeChanged(1);
  QCOMPARE(r.drain(1), QStringList{"04 00 00 00 04"});
}

void TestSwp08Protocol::refusedRouteTellsTheRealRoute_data() {
  QTest::addColumn<QString>("why");
  QTest::addColumn<QStringList>("answer");
  // A route of input 8 to output 2's video: refused, the requester hears input 2 (source 1).
  const QString tally = "03 00 00 01 01";
  QTest::newRow("link down") << "down" << QStringList{"ack", tally};
  QTest::newRow("read only") << "readonly" << QStringList{"ack", tally};
  QTest::newRow("queue full") << "busy" << QStringList{"ack", tally};
  QTest::newRow("protected by another") << "protected" << QStringList{"ack", "0b 00 01 00 01 00", tally};
  QTest::newRow("input beyond the switcher") << "range" << QStringList{"ack", tally};
  QTest::newRow("dropped before it went") << "dropped" << QStringList{"ack", tally};
}

void TestSwp08Protocol::refusedRouteTellsTheRealRoute() {
  QFETCH(QString, why);
  QFETCH(QStringList, answer);
  Options o;
  o.readOnly = why == "readonly";
  Rig r(o);
  r.join(1);
  r.join(2);
  r.host.isReady = why != "down";
  r.host.refuse = why == "busy";
  if (why == "protected") r.host.protects.protect(2, {"panel", "panel", -1});
  r.drain(1);
  r.drain(2);
  r.say(1, why == "range" ? H("02 00 00 01 08") : H("02 00 00 01 07"));
  if (why == "dropped") {
    QCOMPARE(r.host.sent, QByteArrayList{"8V2."});
    r.host.drops.front()();
  } else {
    QVERIFY(r.host.sent.isEmpty());
  }
  QStringList heard = r.drain(1);
  if (why == "protected") heard[1] = heard[1].left(17);  // the state and device; the rest is layout
  QCOMPARE(heard, answer);
  QVERIFY(r.drain(2).isEmpty());  // only the requester
  QCOMPARE(r.host.readOnlyRefusals, why == "readonly" ? 1 : 0);
}

void TestSwp08Protocol::oneMessageOnTheWire() {
  Rig r;
  r.join(1);
  for (int output = 1; output <= 4; ++output) r.p->routeChanged(output);
  r.p->flushRoutes();
  r.drain(1);
  // Two interrogates at once: the second answer waits for the first's acknowledge.
  r.say(1, H("01 00 00 00"));
  r.say(1, H("01 00 00 01"));
  QCOMPARE(r.peers[1].heard(), (QStringList{"ack", "03 00 00 00 00", "ack"}));
  r.peers[1].got.clear();
  // A newer tally of the same destination replaces the one waiting.
  r.host.video[2] = 4;
  r.p->routeChanged(2);
  r.host.video[2] = 6;
  r.p->routeChanged(2);
  r.p->flushRoutes();
  // A NAK sends the one on the wire again at once.
  r.p->bytesIn(1, "\x10\x15", 2);
  QCOMPARE(r.peers[1].heard(), QStringList{"03 00 00 00 00"});
  r.peers[1].got.clear();
  r.p->bytesIn(1, "\x10\x06", 2);
  QCOMPARE(r.drain(1), (QStringList{"03 00 00 01 01", "04 00 00 01 05"}));
  // No acknowledge: sent again after a second, five times in all, then the next one goes.
  r.say(1, H("01 00 00 00"));
  r.say(1, H("01 00 00 01"));
  r.peers[1].got.clear();
  QTRY_COMPARE_WITH_TIMEOUT(r.peers[1].heard().size(), 4, 6000);
  QCOMPARE(r.peers[1].heard(), QStringList(4, "03 00 00 00 00"));
  QTRY_COMPARE_WITH_TIMEOUT(r.peers[1].heard().size(), 5, 3000);
  QTRY_COMPARE_WITH_TIMEOUT(r.peers[1].heard().last(), QString("03 00 00 01 05"), 3000);
  QVERIFY(r.p->waiting(1));
}

void TestSwp08Protocol::unreportedRouteIsAskedThenTold() {
  Rig r;
  r.join(1);
  r.say(1, H("02 00 00 00 04"));
  r.drain(1);
  // The switcher says nothing: output 1 is asked for, then the requester hears the table.
  QTRY_COMPARE(r.host.sent, (QByteArrayList{"5V1.", "Status1."}));
  QStringList heard;
  QTRY_VERIFY((heard += r.drain(1), !heard.isEmpty()));
  QCOMPARE(heard, QStringList{"03 00 00 00 00"});
  QVERIFY(!r.p->waiting(1));
}

void TestSwp08Protocol::protectsAreShared() {
  Rig r;
  for (quint64 id : {1, 2}) r.join(id);
  // Client 1 (device 5) protects destination 1; every client hears it, as OEM with device 5.
  r.say(1, H("0c 00 00 01 05"));
  QCOMPARE(r.host.protects.holder(2)->label, QString("c1"));
  QCOMPARE(r.host.protects.holder(2)->device, 5);
  QCOMPARE(r.drain(2).first().left(11), QString("0d 00 03 00"));
  r.drain(1);
  // Client 2 may neither route it nor release it; client 1 may route it.
  r.say(2, H("02 00 00 01 07"));
  r.say(2, H("0e 00 00 01 02"));
  QVERIFY(r.host.sent.isEmpty());
  QVERIFY(r.host.protects.holder(2));
  r.say(1, H("02 00 00 01 07"));
  QCOMPARE(r.host.sent, QByteArrayList{"8V2."});
  // A protect set elsewhere (a panel) is told too; the holder's leaving ends its own.
  r.host.protects.protect(1, {"panel", "panel", -1});
  QCOMPARE(r.drain(2).last().left(11), QString("0d 01 01 00"));
  r.p->leave(1);
  QVERIFY(!r.host.protects.holder(2));
  QVERIFY(r.host.protects.holder(1));
  QCOMPARE(r.drain(2).last().left(11), QString("0f 01 00 00"));
}

void TestSwp08Protocol::slowClientIsDropped() {
  Rig r;
  r.join(1);
  r.say(1, H("01 00 00 00"));  // its answer waits for an acknowledge that never comes
  for (int k = 0; k < kMaxWaiting + 10 && !r.peers[1].closed; ++k) r.say(1, H("61"));
  QVERIFY(r.peers[1].closed);
  QCOMPARE(r.p->clientCount(), 0);
}

void TestSwp08Protocol::servesASerialLine() {
  int master = -1, slave = -1;
  char name[256] = {};
  QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
  ::close(slave);  // the server opens it by its path, as a control system's adapter
  FakeHost host;
  Swp08Server server(host, {});
  gateway::Settings off;
  off.port = 0;
  QVERIFY(!server.start(off, "/nonexistent/ttyUSB9").isEmpty());
  QCOMPARE(server.start(off, QString::fromLatin1(name), 9600), QString());
  QCOMPARE(server.listenText(), QString("%1 at 9600").arg(name));
  QVERIFY(!server.core().isListening());
  // A second server on the same line is refused: it would take half of every message.
  Swp08Server second(host, {});
  QVERIFY(second.start(off, QString::fromLatin1(name)).contains("in use"));
  const QByteArray request = Frame(H("01 00 00 01"));
  QCOMPARE(::write(master, request.constData(), size_t(request.size())), ssize_t(request.size()));
  QByteArray got;
  const QByteArray want = AckBytes() + Frame(H("03 00 00 01 01"));
  QTRY_VERIFY((got += readSome(master), got == want));
  server.stop();
  ::close(master);
}

QTEST_GUILESS_MAIN(TestSwp08Protocol)
#include "tst_swp08protocol.moc"
