// The gateway with raw TCP clients and a fake console: framing and the replies that stand in
// for a send, start errors and admission, whole lines to every client, and a slow reader.

#include "GatewayServer.h"

#include <QTemporaryDir>
#include <QtNetwork>
#include <QtTest>

#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using gateway::GatewayServer;

namespace {
struct FakeHost final : gateway::GatewayHost {
  bool ready = true;
  QByteArrayList commands;
  QStringList labels;
  std::function<void()> answer;
  QElapsedTimer busyFor;  // waiting() holds while this runs under busyMs
  int busyMs = 0;
  bool linkReady() const override { return ready; }
  bool waiting(const QString&) const override { return busyFor.isValid() && busyFor.elapsed() < busyMs; }
  void sendCommand(const QByteArray& command, const QString& label) override {
    commands << command;
    labels << label;
    if (answer) answer();
  }
};

// A client that keeps everything it receives.
struct Client {
  explicit Client(quint16 port, const QString& from = {}) {
    if (!from.isEmpty()) socket.bind(QHostAddress(from));
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { got += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, port);
  }
  void write(const QByteArray& bytes) {
    if (socket.state() != QAbstractSocket::ConnectedState) socket.waitForConnected(5000);
    socket.write(bytes);
    socket.flush();
  }
  QTcpSocket socket;
  QByteArray got;
};
}  // namespace

class TestGateway : public QObject {
  Q_OBJECT
 private slots:
  void framing_data();
  void framing();
  void admission_data();
  void admission();
  void settingsRefused_data();
  void settingsRefused();
  void wholeLinesToEveryClient();
  void slowReaderDroppedSteadyKept();
  void halfClosedClientGetsItsAnswers_data();
  void halfClosedClientGetsItsAnswers();
  void clientOwedNothingFreesItsSlot();
  void refusedNewcomerLeavesWaitingBytes();
  void acceptedSocketsProbeIdlePeers();
};

void TestGateway::framing_data() {
  QTest::addColumn<QByteArrayList>("pieces");
  QTest::addColumn<bool>("vanish");
  QTest::addColumn<QByteArrayList>("commands");
  QTest::addColumn<QByteArray>("reply");
  QTest::addColumn<int>("setting");  // 0 plain, 1 ReadOnly=1, 2 link not ready
  const QByteArray error = gateway::kErrorLine;
  QTest::newRow("split") << QByteArrayList{"5V", "12", "."} << false << QByteArrayList{"5V12."}
                         << QByteArray() << 0;
  QTest::newRow("joined, blanks between")
      << QByteArrayList{"1V2.Status.\r\n/*Type; 5B6,7."} << false
      << QByteArrayList{"1V2.", "Status.", "/*Type;", "5B6,7."} << QByteArray() << 0;
  QTest::newRow("password holding '.'") << QByteArrayList{"/+ab.cd.e", "f;Status3."} << false
                                        << QByteArrayList{"/+ab.cd.ef;", "Status3."} << QByteArray() << 0;
  QTest::newRow("password holding ';'") << QByteArrayList{"/+a;b;", "c;d;;Status3."} << false
                                        << QByteArrayList{"/+a;b;c;d;;", "Status3."} << QByteArray() << 0;
  QTest::newRow("over-long, skipped to the next '.'")
      << QByteArrayList{QByteArray(200, 'x'), QByteArray(100, 'x') + "y.Status1."} << false
      << QByteArrayList{"Status1."} << error << 0;
  QTest::newRow("over-long password, skipped to ';'")
      << QByteArrayList{"/+" + QByteArray(300, 'x') + "a.b;Status2."} << false
      << QByteArrayList{"Status2."} << error << 0;
  QTest::newRow("vanishes mid-command") << QByteArrayList{"Status1.5V1", "2,13"} << true
                                        << QByteArrayList{"Status1."} << QByteArray() << 0;
  QTest::newRow("ReadOnly=1") << QByteArrayList{"Status1.5V12."} << false << QByteArrayList{}
                              << QByteArray("Read only\r\nRead only\r\n") << 1;
  QTest::newRow("link not ready") << QByteArrayList{"Status1.5V12."} << false << QByteArrayList{}
                                  << QByteArray("Link closed\r\nLink closed\r\n") << 2;
}

void TestGateway::framing() {
  QFETCH(QByteArrayList, pieces);
  QFETCH(bool, vanish);
  QFETCH(QByteArrayList, commands);
  QFETCH(QByteArray, reply);
  QFETCH(int, setting);
  FakeHost host;
  host.ready = setting != 2;
  GatewayServer server(host);
  QCOMPARE(server.start({0, "127.0.0.1", {}, 8, setting == 1}), QString());
  Client c(server.port());
  for (const QByteArray& piece : pieces) c.write(piece);
  if (vanish) {
    QTRY_COMPARE(server.clientCount(), 1);
    c.socket.abort();
    QTRY_COMPARE(server.clientCount(), 0);
  }
  QTRY_COMPARE(host.commands, commands);
  QTRY_COMPARE(c.got, reply);
  if (!commands.isEmpty() && !vanish)
    QCOMPARE(host.labels.value(0), QStringLiteral("127.0.0.1:%1").arg(c.socket.localPort()));
}

void TestGateway::admission_data() {
  QTest::addColumn<QString>("bind");
  QTest::addColumn<QString>("allow");
  QTest::addColumn<QString>("error");  // of start(); empty: it listens
  QTest::addColumn<QStringList>("sources");
  QTest::addColumn<QString>("kept");  // '1' kept, '0' closed, one per source
  QTest::newRow("ninth over MaxClients=8")
      << "127.0.0.1" << "" << "" << QStringList(9, "127.0.0.1") << "111111110";
  QTest::newRow("outside Allow on 0.0.0.0")
      << "0.0.0.0" << "127.0.0.1/32" << "" << QStringList{"127.0.0.2", "127.0.0.1"} << "01";
  QTest::newRow("outside Allow on loopback")
      << "127.0.0.1" << "10.0.0.0/8, 127.0.0.1" << "" << QStringList{"127.0.0.2", "127.0.0.1"} << "01";
  QTest::newRow("non-loopback bind without Allow") << "0.0.0.0" << "" << "Allow must" << QStringList() << "";
  QTest::newRow("address of another machine")
      << "192.0.2.1" << "192.0.2.0/24" << "not an address of this machine" << QStringList() << "";
  QTest::newRow("any IPv6 address") << "::" << "127.0.0.1" << "is an IPv6 address" << QStringList() << "";
  QTest::newRow("IPv6 loopback") << "::1" << "" << "" << QStringList() << "";
  QTest::newRow("Allow entry in shorthand") << "127.0.0.1" << "127.1" << "Allow entry" << QStringList() << "";
}

void TestGateway::admission() {
  QFETCH(QString, bind);
  QFETCH(QString, allow);
  QFETCH(QString, error);
  QFETCH(QStringList, sources);
  QFETCH(QString, kept);
  FakeHost host;
  GatewayServer server(host);
  const QString text = server.start({0, bind, allow});
  QVERIFY2(text.contains(error) && text.isEmpty() == error.isEmpty(), qPrintable(text));
  QCOMPARE(server.isListening(), error.isEmpty());
  std::vector<std::unique_ptr<Client>> clients;
  int admitted = 0;
  for (int i = 0; i < sources.size(); ++i) {
    clients.push_back(std::make_unique<Client>(server.port(), sources[i]));
    clients.back()->write("Status1.");
    admitted += kept[i] == '1';
    QTRY_COMPARE(server.clientCount(), admitted);
    if (kept[i] != '1') QTRY_COMPARE(clients.back()->socket.state(), QAbstractSocket::UnconnectedState);
  }
  QTRY_COMPARE(host.commands.size(), admitted);  // nothing read from a closed one
  server.stop();
  for (int i = 0; i < sources.size(); ++i) {
    if (kept[i] != '1') continue;
    QTRY_COMPARE(clients[size_t(i)]->socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(clients[size_t(i)]->socket.error(), QAbstractSocket::RemoteHostClosedError);  // no reset
  }
}

void TestGateway::settingsRefused_data() {
  QTest::addColumn<QByteArray>("body");
  QTest::addColumn<QString>("error");     // of start(); empty: it listens
  QTest::addColumn<bool>("readOnly");
  QByteArray longAllow = "127.0.0.1";
  while (longAllow.size() < 70000) longAllow += ", 10.1.2.3";
  QTest::newRow("Allow past the reader's room") << "Allow=" + longAllow + ", 10.0.0.0/24\n"
                                              << "Allow in" << false;
  QTest::newRow("Allow of 5,000 bytes is read whole")
      << "Allow=" + longAllow.left(4990) + ", 10.0.0.0/24\n" << "" << false;
  QTest::newRow("ReadOnly=maybe") << QByteArray("ReadOnly=maybe\n") << "ReadOnly=maybe" << false;
  QTest::newRow("ReadOnly=yes") << QByteArray("ReadOnly=yes\n") << "" << true;
  QTest::newRow("ReadOnly=On") << QByteArray("ReadOnly=On\n") << "" << true;
  QTest::newRow("ReadOnly=false") << QByteArray("ReadOnly=false\n") << "" << false;
  QTest::newRow("Port=19e3") << QByteArray("Port=19e3\n") << "Port=19e3 in" << false;
  QTest::newRow("Port=1997O") << QByteArray("Port=1997O\n") << "Port=1997O in" << false;
  QTest::newRow("Port=70000") << QByteArray("Port=70000\n") << "Port=70000 in" << false;
}

void TestGateway::settingsRefused() {
  QFETCH(QByteArray, body);
  QFETCH(QString, error);
  QFETCH(bool, readOnly);
  QTemporaryDir dir;
  const QString file = dir.filePath("Switcher.ini");
  for (const char* section : {"Gateway", "Panel"}) {
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("[" + QByteArray(section) + "]\n" + (body.startsWith("Port=") ? "" : "Port=0\n") + body);
    f.close();
    const gateway::Settings s = gateway::ReadSettings(file, section);
    FakeHost host;
    GatewayServer server(host);
    const QString text = server.start(s);
    QVERIFY2(text.contains(error) && text.isEmpty() == error.isEmpty(), qPrintable(text));
    if (!error.isEmpty()) QVERIFY2(text.startsWith(QLatin1String(section) + ": "), qPrintable(text));
    QCOMPARE(server.isListening(), error.isEmpty());
    QCOMPARE(s.readOnly, readOnly);
    if (error.isEmpty() && body.startsWith("Allow")) QVERIFY(s.allow.endsWith("10.0.0.0/24"));
  }
}

void TestGateway::wholeLinesToEveryClient() {
  FakeHost host;
  GatewayServer server(host);
  QCOMPARE(server.start({}), QString());
  Client a(server.port());
  Client b(server.port());
  QTRY_COMPARE(server.clientCount(), 2);
  const QByteArray first = "VIDEO: 001 > 002\r\n";
  for (const char* piece : {"VIDEO: 00", "1 > 002\r", "\nAUDIO"}) server.switcherBytes(piece);
  QTRY_COMPARE(a.got, first);  // "AUDIO" waits for its line end
  const QByteArray longLine(300, 'z');  // passed on in pieces
  server.switcherBytes("\r\n" + longLine + "\r\n");
  QTRY_COMPARE(a.got, first + "AUDIO\r\n" + longLine + "\r\n");
  QTRY_COMPARE(b.got, a.got);
}

void TestGateway::slowReaderDroppedSteadyKept() {
  constexpr int kBursts = 1000;  // about 4.6 MB in all
  QByteArray burst;
  for (int o = 1; o <= 256; ++o) burst += QString::asprintf(" A/V : %03d > %03d\r\n", o, o).toLatin1();
  FakeHost host;
  GatewayServer server(host);
  QCOMPARE(server.start({}), QString());
  host.answer = [&] { server.switcherBytes(burst); };
  // Never reads, with a small receive buffer (set before connecting) so that the kernel takes
  // little of its backlog.
  const int slow = ::socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  ::setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in to{AF_INET, htons(server.port()), {htonl(INADDR_LOOPBACK)}, {}};
  QCOMPARE(::connect(slow, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  QTRY_COMPARE(server.clientCount(), 1);
  Client steady(server.port());  // asks for the next burst as soon as it holds the last one
  QTRY_COMPARE(server.clientCount(), 2);
  int asked = 1;
  QObject::connect(&steady.socket, &QTcpSocket::readyRead, &steady.socket, [&] {
    if (steady.got.size() == asked * burst.size() && asked < kBursts && ++asked) steady.write("Status.");
  });
  steady.write("Status.");
  QTRY_COMPARE_WITH_TIMEOUT(steady.got.size(), kBursts * burst.size(), 60000);
  QCOMPARE(steady.socket.state(), QAbstractSocket::ConnectedState);
  QCOMPARE(steady.got.right(burst.size()), burst);
  QCOMPARE(server.clientCount(), 1);  // the slow one went
  ::close(slow);
}

void TestGateway::halfClosedClientGetsItsAnswers_data() {
  QTest::addColumn<int>("replyAfter");  // ms after the command; then every `every` ms
  QTest::addColumn<int>("every");       // 0: one reply
  QTest::addColumn<int>("busyMs");      // the client's command waits this long to go out
  QTest::addColumn<int>("closedWithin");
  QTest::addColumn<int>("closedAfter");  // the quiet time runs from the last send
  QTest::newRow("reply 300 ms after the end of input") << 300 << 0 << 0 << 2000 << 750;
  QTest::newRow("command waits 1.5 s in the queue") << 1600 << 0 << 1500 << 3000 << 2050;
  QTest::newRow("switcher never quiet: closed after 5 s") << 100 << 100 << 0 << 6500 << 4900;
}

void TestGateway::halfClosedClientGetsItsAnswers() {
  QFETCH(int, replyAfter);
  QFETCH(int, every);
  QFETCH(int, busyMs);
  QFETCH(int, closedWithin);
  QFETCH(int, closedAfter);
  FakeHost host;
  GatewayServer server(host);
  QCOMPARE(server.start({}), QString());
  QTimer replies;
  replies.setSingleShot(every == 0);
  connect(&replies, &QTimer::timeout, &replies, [&] {
    server.switcherBytes("VIDEO: 001 > 012\r\n");
    replies.setInterval(every);
  });
  host.busyMs = busyMs;
  host.answer = [&] {
    host.busyFor.start();
    replies.start(replyAfter);
  };
  Client c(server.port());
  c.write("Status12.");
  ::shutdown(int(c.socket.socketDescriptor()), SHUT_WR);  // printf ... | nc -q 1
  QElapsedTimer clock;
  clock.start();
  QTRY_VERIFY_WITH_TIMEOUT(c.socket.state() == QAbstractSocket::UnconnectedState, closedWithin + 1000);
  QVERIFY2(clock.elapsed() < closedWithin && clock.elapsed() >= closedAfter, qPrintable(QString::number(clock.elapsed())));
  QVERIFY(c.got.startsWith("VIDEO: 001 > 012\r\n"));
  QCOMPARE(c.socket.error(), QAbstractSocket::RemoteHostClosedError);
  QCOMPARE(server.clientCount(), 0);
}

void TestGateway::clientOwedNothingFreesItsSlot() {
  FakeHost host;
  GatewayServer server(host);
  QCOMPARE(server.start({0, "127.0.0.1", {}, 1}), QString());
  sockaddr_in to{AF_INET, htons(server.port()), {htonl(INADDR_LOOPBACK)}, {}};
  const int first = ::socket(AF_INET, SOCK_STREAM, 0);
  QCOMPARE(::connect(first, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  QTRY_COMPARE(server.clientCount(), 1);
  // Closes with nothing sent, and reconnects at once (MaxClients=1), before the console has
  // read the close.
  ::close(first);
  const int next = ::socket(AF_INET, SOCK_STREAM, 0);
  QCOMPARE(::connect(next, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  QCOMPARE(::send(next, "Status1.", 8, 0), ssize_t(8));
  QTRY_COMPARE(host.commands, QByteArrayList{"Status1."});
  QCOMPARE(server.clientCount(), 1);
  ::close(next);
  QTRY_COMPARE(server.clientCount(), 0);
}

// With MaxClients full, the check for a slot freed by a client gone must not take a byte of a
// live client's command still waiting to be read.
void TestGateway::refusedNewcomerLeavesWaitingBytes() {
  FakeHost host;
  GatewayServer server(host);
  QCOMPARE(server.start({0, "127.0.0.1", {}, 1}), QString());
  sockaddr_in to{AF_INET, htons(server.port()), {htonl(INADDR_LOOPBACK)}, {}};
  const int first = ::socket(AF_INET, SOCK_STREAM, 0);
  QCOMPARE(::connect(first, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  QTRY_COMPARE(server.clientCount(), 1);
  // Both wait for the same turn of the event loop: the newcomer's admission comes first.
  const int next = ::socket(AF_INET, SOCK_STREAM, 0);
  QCOMPARE(::connect(next, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  QCOMPARE(::send(first, "Status1.", 8, 0), ssize_t(8));
  QTRY_COMPARE(host.commands, QByteArrayList{"Status1."});
  QCOMPARE(server.clientCount(), 1);
  ::close(next);
  ::close(first);
  QTRY_COMPARE(server.clientCount(), 0);
}

void TestGateway::acceptedSocketsProbeIdlePeers() {
  FakeHost host;
  GatewayServer server(host);
  QCOMPARE(server.start({}), QString());
  Client c(server.port());
  QTRY_COMPARE(server.clientCount(), 1);
  // The console's end of this connection, among this process's descriptors.
  int accepted = -1;
  for (int fd = 0; fd < 1024 && accepted < 0; ++fd) {
    sockaddr_in local{}, peer{};
    socklen_t a = sizeof local, b = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &a) == 0 && local.sin_family == AF_INET &&
        ntohs(local.sin_port) == server.port() && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &b) == 0 &&
        ntohs(peer.sin_port) == c.socket.localPort())
      accepted = fd;
  }
  QVERIFY(accepted >= 0);
  auto option = [accepted](int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    ::getsockopt(accepted, level, name, &v, &len);
    return v;
  };
  QCOMPARE(option(SOL_SOCKET, SO_KEEPALIVE), 1);
  QCOMPARE(option(IPPROTO_TCP, TCP_KEEPIDLE), gateway::kKeepIdle);
  QCOMPARE(option(IPPROTO_TCP, TCP_KEEPINTVL), gateway::kKeepInterval);
  QCOMPARE(option(IPPROTO_TCP, TCP_KEEPCNT), gateway::kKeepCount);
}

QTEST_GUILESS_MAIN(TestGateway)
#include "tst_gateway.moc"
