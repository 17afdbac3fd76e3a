// The web page's server over the simulator's core: HTTP answers, the WebSocket's state and
// changes, requests checked like MQTT commands, origin and password, read-only and limits.

#include "SimHost.h"
#include "WebMessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtNetwork>
#include <QtTest>

namespace {
// One page: its WebSocket and every message it got.
struct Page {
  Page(quint16 port, const QByteArray& cookie = {}, const QByteArray& origin = {}) {
    QObject::connect(&ws, &QWebSocket::textMessageReceived, &ws,
                     [this](const QString& t) { got << QJsonDocument::fromJson(t.toUtf8()).object(); });
    QNetworkRequest r(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
    r.setRawHeader("Origin", origin.isEmpty() ? "http://127.0.0.1:" + QByteArray::number(port) : origin);
    if (!cookie.isEmpty()) r.setRawHeader("Cookie", cookie);
    ws.open(r);
  }
  QJsonObject last() const { return got.isEmpty() ? QJsonObject() : got.last(); }
  QWebSocket ws;
  QList<QJsonObject> got;
};

// A raw HTTP request on loopback (the server runs on this thread's event loop); the answer
// as far as its head, or what came before the server closed, within a bound.
QByteArray rawHttp(quint16 port, const QByteArray& request, const QHostAddress& from = {}) {
  QTcpSocket s;
  if (!from.isNull()) s.bind(from);
  QByteArray got;
  QObject::connect(&s, &QTcpSocket::connected, &s, [&] { s.write(request); });
  QObject::connect(&s, &QTcpSocket::readyRead, &s, [&] { got += s.readAll(); });
  s.connectToHost(QHostAddress::LocalHost, port);
  (void)QTest::qWaitFor([&] { return got.contains("\r\n\r\n") || s.state() == QAbstractSocket::UnconnectedState; }, 5000);
  return got;
}

QByteArray handshake(quint16 port, const QByteArray& host, const QByteArray& origin, const QByteArray& cookie = {},
                     const QByteArray& path = "/ws") {
  QByteArray r = "GET " + path + " HTTP/1.1\r\nHost: " + host + ":" + QByteArray::number(port) +
                 "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\n";
  if (!origin.isEmpty()) r += "Origin: " + origin + "\r\n";
  if (!cookie.isEmpty()) r += "Cookie: " + cookie + "\r\n";
  return rawHttp(port, r + "\r\n").left(12);
}

web::Settings settings(bool readOnly = false, int maxClients = 16, const QString& passwordFile = {}) {
  web::Settings s;
  s.listen.readOnly = readOnly;
  s.listen.maxClients = maxClients;
  s.passwordFile = passwordFile;
  return s;
}

// A server that asks for the password in its file ("s3cret" until written again).
struct PasswordServer {
  PasswordServer() {
    write("s3cret");
    started = host.server.start(settings(false, 16, file)).isEmpty();
  }
  void write(const QByteArray& pw) const {
    QFile f(file);
    if (f.open(QIODevice::WriteOnly)) f.write(pw + "\n");
  }
  // The answer to a login with pw from that address.
  QByteArray login(const QByteArray& pw, const QString& from) {
    const QByteArray port = QByteArray::number(host.server.port());
    return rawHttp(host.server.port(), "POST /login HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://127.0.0.1:" + port +
                                           "\r\nContent-Length: " + QByteArray::number(pw.size()) + "\r\n\r\n" + pw,
                   QHostAddress(from));
  }
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("web.pw"));
  SimHost host;
  bool started = false;
};

}  // namespace

class TestWebServer : public QObject {
  Q_OBJECT
 private slots:
  void files_data();
  void files();
  void stateThenChanges();
  void stateNamesTheBridge_data();
  void stateNamesTheBridge();
  void burstIsOneMessage();
  void badRequests_data();
  void badRequests();
  void requestAnswers_data();
  void requestAnswers();
  void protects_data();
  void protects();
  void protectsShownAndEnded();
  void handshakeRefused_data();
  void handshakeRefused();
  void passwordAndCookie();
  void floodAndSlowReaderDropped();
  void slotsComeBack();
  void idleConnectionsDoNotLockOut();
  void loginWaits_data();
  void loginWaits();
  void loginChecksThePassword_data();
  void loginChecksThePassword();
  void sessionsEnd_data();
  void sessionsEnd();
  void badInputIsQuiet_data();
  void badInputIsQuiet();
  void boundsOfTheSwitcher_data();
  void boundsOfTheSwitcher();
  void headerInPiecesCut();
  void readSettings_data();
  void readSettings();
};

void TestWebServer::files_data() {
  QTest::addColumn<QByteArray>("request");
  QTest::addColumn<QByteArray>("status");
  QTest::addColumn<QByteArray>("header");  // one header the answer must hold
  QTest::newRow("page") << QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") << QByteArray("200")
                        << QByteArray("Content-Type: text/html; charset=utf-8");
  QTest::newRow("script") << QByteArray("GET /app.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") << QByteArray("200")
                          << QByteArray("Content-Type: text/javascript; charset=utf-8");
  QTest::newRow("revalidated") << QByteArray("GET /style.css HTTP/1.1\r\nHost: localhost\r\n\r\n")
                               << QByteArray("200") << QByteArray("Cache-Control: no-cache");
  QTest::newRow("unknown path") << QByteArray("GET /etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                                << QByteArray("404") << QByteArray("Content-Length: 11");
  QTest::newRow("path out of the folder") << QByteArray("GET /../../app.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                                          << QByteArray("404") << QByteArray("nosniff");
  QTest::newRow("not a GET") << QByteArray("DELETE / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") << QByteArray("405")
                             << QByteArray("Allow: GET, HEAD");
  QTest::newRow("another site's name") << QByteArray("GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n")
                                       << QByteArray("403") << QByteArray("frame-ancestors 'none'");
}

void TestWebServer::files() {
  QFETCH(QByteArray, request);
  QFETCH(QByteArray, status);
  QFETCH(QByteArray, header);
  SimHost host;
  QCOMPARE(host.server.start(settings()), QString());
  const QByteArray answer = rawHttp(host.server.port(), request);
  QCOMPARE(answer.left(12), "HTTP/1.1 " + status);
  QVERIFY2(answer.contains(header), answer.constData());
  if (status == "200") {  // the same file again, as the browser asks: not sent twice
    const QByteArray etag = answer.mid(answer.indexOf("ETag: ") + 6).split('\r').first();
    const QByteArray again = request.replace("\r\n\r\n", "\r\nIf-None-Match: " + etag + "\r\n\r\n");
    QCOMPARE(rawHttp(host.server.port(), again).left(12), QByteArray("HTTP/1.1 304"));
  }
}

void TestWebServer::stateThenChanges() {
  SimHost host(8, 12);
  host.dev.outputs = 14;  // the switcher never reports 13 and 14
  host.nameTable.set(names::Kind::Output, 2, QStringLiteral("<b>Stage</b>"));
  QCOMPARE(host.server.start(settings()), QString());
  Page page(host.server.port());
  QTRY_COMPARE(page.got.size(), 1);
  const QJsonObject state = page.got[0];
  QCOMPARE(state["type"].toString(), QStringLiteral("state"));
  QCOMPARE(state["routes"].toArray().size(), 14);
  QCOMPARE(state["routes"].toArray()[10], QJsonValue(QJsonArray{0, 0}));  // no input 11: closed
  QCOMPARE(state["routes"].toArray()[13], QJsonValue(QJsonArray{QJsonValue::Null, QJsonValue::Null}));
  QCOMPARE(state["names"]["outputs"][1].toString(), QStringLiteral("<b>Stage</b>"));
  QCOMPARE(state["device"]["outputs"].toInt(), 14);
  page.ws.sendTextMessage(QStringLiteral(R"({"id":7,"op":"route","input":3,"outputs":[2],"signal":"A"})"));
  QTRY_COMPARE(page.got.size(), 3);  // done, then the switcher's report
  QCOMPARE(page.got[1], (QJsonObject{{"type", "done"}, {"id", 7}}));
  QCOMPARE(page.got[2], (QJsonObject{{"type", "change"}, {"routes", QJsonArray{QJsonArray{2, 2, 3}}}}));
  QCOMPARE(host.labels.value(0), QStringLiteral("web 127.0.0.1:%1").arg(page.ws.localPort()));
}

void TestWebServer::stateNamesTheBridge_data() {
  QTest::addColumn<QString>("name");
  QTest::newRow("named, as given") << QStringLiteral("Main <b>x</b>");
  QTest::newRow("no name: no key, the state as before") << QString();
}

void TestWebServer::stateNamesTheBridge() {
  QFETCH(QString, name);
  SimHost host;
  host.server.setName(name);
  QCOMPARE(host.server.start(settings()), QString());
  Page page(host.server.port());
  QTRY_COMPARE(page.got.size(), 1);
  QCOMPARE(page.got[0].contains("name"), !name.isEmpty());
  QCOMPARE(page.got[0]["name"].toString(), name);
}

void TestWebServer::burstIsOneMessage() {
  SimHost host(256, 256);
  QCOMPARE(host.server.start(settings()), QString());
  Page page(host.server.port());
  QTRY_COMPARE(page.got.size(), 1);
  host.core.execute("All$.");  // every output changes
  host.reportAll();  // 256 report lines in one read
  // A request read after the burst is answered after all of the burst's messages.
  QTRY_VERIFY(page.got.size() > 1);
  page.ws.sendTextMessage(QStringLiteral("{}"));
  QTRY_COMPARE(page.last()["type"].toString(), QStringLiteral("error"));
  QCOMPARE(page.got.size(), 3);
  QCOMPARE(page.got[1]["routes"].toArray().size(), 256);
}

void TestWebServer::badRequests_data() {
  QTest::addColumn<QByteArray>("message");
  QTest::addColumn<QString>("reason");  // the answer's; its id is 4 where the message was read that far
  QTest::newRow("not JSON") << QByteArray("5B1.") << "not a JSON object";
  QTest::newRow("array") << QByteArray("[1,2]") << "not a JSON object";
  QTest::newRow("unknown op") << QByteArray(R"({"id":4,"op":"raw","text":"All$."})") << "unknown op";
  QTest::newRow("output 0") << QByteArray(R"({"id":4,"op":"close","outputs":[0]})") << "output not 1 to 16";
  QTest::newRow("output past the size") << QByteArray(R"({"id":4,"op":"close","outputs":[17]})") << "output not 1 to 16";
  QTest::newRow("output twice") << QByteArray(R"({"id":4,"op":"close","outputs":[3,3]})") << "output 3 given twice";
  QTest::newRow("output not whole") << QByteArray(R"({"id":4,"op":"close","outputs":[2.5]})") << "output not 1 to 16";
  QTest::newRow("output as text") << QByteArray(R"({"id":4,"op":"close","outputs":["2"]})") << "output not 1 to 16";
  QTest::newRow("input past the size") << QByteArray(R"({"id":4,"op":"route","input":17,"outputs":[1],"signal":"B"})")
                                       << "input not 0 to 16";
  QTest::newRow("signal") << QByteArray(R"({"id":4,"op":"route","input":1,"outputs":[1],"signal":"X"})")
                          << "signal not B, V or A";
  QTest::newRow("over 4096 bytes") << R"({"id":4,"op":"save","pad":")" + QByteArray(4100, 'x') + "\"}"
                                   << "message over 4096 bytes";
  QTest::newRow("unknown preset") << QByteArray(R"({"id":4,"op":"preset","preset":"../g1"})") << "no such preset";
  QTest::newRow("rename past the size") << QByteArray(R"({"id":4,"op":"rename","kind":"input","number":300,"name":"x"})")
                                        << "input not 1 to 16";
  QTest::newRow("rename lone surrogate") << QByteArray(R"({"id":4,"op":"rename","kind":"output","number":1,"name":"\ud800"})")
                                         << "name is not a name";
  QTest::newRow("rename by the names' rules") << R"({"id":4,"op":"rename","kind":"output","number":1,"name":")" +
                                                     QByteArray(65, 'n') + "\"}"
                                              << names::Problem(QString(65, QLatin1Char('n')));
  QTest::newRow("rename with a bidi override")
      << QByteArray(R"({"id":4,"op":"rename","kind":"output","number":1,"name":"a\u202eb"})")
      << names::Problem(QStringLiteral("a\u202eb"));
  QTest::newRow("binary") << QByteArray() << "binary messages are not read";
}

void TestWebServer::badRequests() {
  QFETCH(QByteArray, message);
  QFETCH(QString, reason);
  SimHost host;
  QCOMPARE(host.server.start(settings()), QString());
  Page page(host.server.port());
  QTRY_COMPARE(page.got.size(), 1);
  if (message.isEmpty()) page.ws.sendBinaryMessage("1B1.");
  else page.ws.sendTextMessage(QString::fromUtf8(message));
  QTRY_COMPARE(page.got.size(), 2);
  QCOMPARE(page.last()["type"].toString(), QStringLiteral("error"));
  QCOMPARE(page.last()["reason"].toString(), reason);
  const bool read = message.startsWith('{') && message.size() <= web::kMaxRequestBytes;
  QCOMPARE(page.last()["id"].toInt(), read ? 4 : 0);
  QCOMPARE(host.sent, QByteArrayList());
  QCOMPARE(host.name(names::Kind::Output, 1), QString());
  QCOMPARE(page.ws.state(), QAbstractSocket::ConnectedState);
}

void TestWebServer::requestAnswers_data() {
  QTest::addColumn<QByteArray>("message");
  QTest::addColumn<int>("setting");  // 0 plain, 1 read-only, 2 link lost, 3 queue full, 4 dropped later, 5 room for one,
                                     // 6 a saved routing not kept, 7 the link lost after one command went
  QTest::addColumn<QByteArrayList>("sent");
  QTest::addColumn<QString>("answer");  // "done" or the error's reason
  const QByteArray take = R"({"id":1,"op":"route","input":12,"outputs":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,)"
                          R"(17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32],"signal":"V"})";
  QTest::newRow("take over 32 outputs, in commands of 64 bytes at most")
      << take << 0
      << QByteArrayList{"12V1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23.",
                        "12V24,25,26,27,28,29,30,31,32."}
      << "done";
  QTest::newRow("close") << QByteArray(R"({"id":1,"op":"close","outputs":[4,2]})") << 0 << QByteArrayList{"4,2$."}
                         << "done";
  QTest::newRow("audio closed by input 0") << QByteArray(R"({"id":1,"op":"route","input":0,"outputs":[3],"signal":"A"})")
                                           << 0 << QByteArrayList{"0A3."} << "done";
  QTest::newRow("preset") << QByteArray(R"({"id":1,"op":"preset","preset":"g2"})") << 0
                          << QByteArrayList{"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16$.", "17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32$."}
                          << "done";
  QTest::newRow("preset cut short") << QByteArray(R"({"id":1,"op":"preset","preset":"g2"})") << 7
                                   << QByteArrayList{"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16$.", "17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32$."}
                                   << "preset partly sent (1 of 2): link closed";
  QTest::newRow("preset dropped whole") << QByteArray(R"({"id":1,"op":"preset","preset":"g1"})") << 4
                                        << QByteArrayList{"1B1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16.", "1B17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32."}
                                        << "link closed";
  QTest::newRow("save kept") << QByteArray(R"({"id":1,"op":"save"})") << 0 << QByteArrayList{} << "done";
  QTest::newRow("save not written") << QByteArray(R"({"id":1,"op":"save"})") << 6 << QByteArrayList{} << "disk full";
  QTest::newRow("read-only") << QByteArray(R"({"id":1,"op":"close","outputs":[4]})") << 1 << QByteArrayList{}
                             << "read-only";
  QTest::newRow("read-only rename") << QByteArray(R"({"id":1,"op":"rename","kind":"input","number":1,"name":"Cam"})")
                                    << 1 << QByteArrayList{} << "read-only";
  QTest::newRow("link lost") << QByteArray(R"({"id":1,"op":"close","outputs":[4]})") << 2 << QByteArrayList{}
                             << "link closed";
  QTest::newRow("queue full") << QByteArray(R"({"id":1,"op":"close","outputs":[4]})") << 3 << QByteArrayList{}
                              << "busy: 256 commands waiting";
  QTest::newRow("take with room for half of it") << take << 5 << QByteArrayList{} << "busy: 256 commands waiting";
  QTest::newRow("dropped before it went") << QByteArray(R"({"id":1,"op":"close","outputs":[4]})") << 4
                                          << QByteArrayList{"4$."} << "link closed";
}

void TestWebServer::requestAnswers() {
  QFETCH(QByteArray, message);
  QFETCH(int, setting);
  QFETCH(QByteArrayList, sent);
  QFETCH(QString, answer);
  SimHost host(32, 32);
  QCOMPARE(host.server.start(settings(setting == 1)), QString());
  if (setting == 2) host.setLink(web::LinkState::Lost, QStringLiteral("cable"));
  host.capacity = setting == 3 ? 0 : setting == 5 ? 1 : 256;
  host.holdQueue = setting == 4 || setting == 7;
  if (setting == 6) host.keepFails = QStringLiteral("disk full");
  Page page(host.server.port());
  QTRY_COMPARE(page.got.size(), 1);
  QCOMPARE(page.got[0]["readOnly"].toBool(), setting == 1);
  page.ws.sendTextMessage(QString::fromUtf8(message));
  // A preset is answered once its commands went out, or when the link closed under them.
  const bool preset = message.contains("preset");
  if (preset && (setting == 4 || setting == 7)) {
    QTRY_COMPARE(host.sent.size(), sent.size());
    host.pump(setting == 7 ? 1 : 0);
    QCOMPARE(page.got.size(), 1);
    host.setLink(web::LinkState::Lost);
  }
  QTRY_VERIFY(page.got.size() >= 2);  // a preset saved: its answer, then the list
  if (setting == 4 && !preset) {
    QCOMPARE(page.last()["type"].toString(), QStringLiteral("done"));
    host.setLink(web::LinkState::Lost);
    QTRY_VERIFY(page.got.size() >= 3);
  }
  QCOMPARE(host.sent, sent);
  const QJsonObject reply = page.got[setting == 4 && !preset ? 2 : 1];
  QCOMPARE(answer == "done" ? reply["type"].toString() : reply["reason"].toString(), answer);
}

void TestWebServer::protects_data() {
  QTest::addColumn<QByteArrayList>("messages");  // the page's, in order; each answered before the next
  QTest::addColumn<int>("setting");              // 0 plain, 1 read-only, 2 link lost
  QTest::addColumn<QString>("answer");           // of the last: "done" or the error's reason
  QTest::addColumn<QString>("held");             // the holders of outputs 1 to 4: "-" free, "P" the panel, "W" the page
  QTest::addColumn<QByteArrayList>("sent");
  // Output 3 is held by a panel before the page opens.
  const QString other = "output 3 is protected by panel 10.0.0.9:4000";
  const auto op = [](const char* name, const char* outputs) {
    return QByteArray(R"({"id":1,"op":")") + name + R"(","outputs":[)" + outputs + "]}";
  };
  QTest::newRow("protect a free output") << QByteArrayList{op("protect", "2")} << 0 << "done" << "-WP-" << QByteArrayList{};
  QTest::newRow("protect while the link is down") << QByteArrayList{op("protect", "2")} << 2 << "done" << "-WP-" << QByteArrayList{};
  QTest::newRow("protect one another holds") << QByteArrayList{op("protect", "3")} << 0 << other << "--P-" << QByteArrayList{};
  QTest::newRow("protect several, one another's: none taken")
      << QByteArrayList{op("protect", "2,3,4")} << 0 << other << "--P-" << QByteArrayList{};
  QTest::newRow("release one another holds") << QByteArrayList{op("release", "3")} << 0 << other << "--P-" << QByteArrayList{};
  QTest::newRow("release its own") << QByteArrayList{op("protect", "1,2"), op("release", "2")} << 0 << "done" << "W-P-"
                                   << QByteArrayList{};
  QTest::newRow("release a free output") << QByteArrayList{op("release", "4")} << 0 << "done" << "--P-" << QByteArrayList{};
  QTest::newRow("read-only") << QByteArrayList{op("protect", "2")} << 1 << "read-only" << "--P-" << QByteArrayList{};
  QTest::newRow("output past the size") << QByteArrayList{op("protect", "17")} << 0 << "output not 1 to 16" << "--P-"
                                        << QByteArrayList{};
  QTest::newRow("take over another's output: nothing sent")
      << QByteArrayList{R"({"id":1,"op":"route","input":5,"outputs":[1,2,3,4],"signal":"B"})"} << 0 << other << "--P-"
      << QByteArrayList{};
  QTest::newRow("close of another's output: nothing sent") << QByteArrayList{op("close", "2,3")} << 0 << other << "--P-"
                                                           << QByteArrayList{};
  QTest::newRow("route to its own protected output")
      << QByteArrayList{op("protect", "2"), R"({"id":1,"op":"route","input":5,"outputs":[2],"signal":"V"})"} << 0 << "done"
      << "-WP-" << QByteArrayList{"5V2."};
}

void TestWebServer::protects() {
  QFETCH(QByteArrayList, messages);
  QFETCH(int, setting);
  QFETCH(QString, answer);
  QFETCH(QString, held);
  QFETCH(QByteArrayList, sent);
  SimHost host;
  QVERIFY(host.held.protect(3, {QStringLiteral("10.0.0.9:4000"), QStringLiteral("panel 10.0.0.9:4000")}));
  QCOMPARE(host.server.start(settings(setting == 1)), QString());
  if (setting == 2) host.setLink(web::LinkState::Lost, QStringLiteral("cable"));
  Page page(host.server.port());
  QTRY_COMPARE(page.got.size(), 1);
  QJsonObject reply;
  // The answer to the last message sent: changes may come between.
  const auto answered = [&](int from) {
    for (int k = from; k < page.got.size(); ++k)
      if (page.got[k]["type"] != QStringLiteral("change")) return !(reply = page.got[k]).isEmpty();
    return false;
  };
  for (const QByteArray& m : messages) {
    const int before = int(page.got.size());
    page.ws.sendTextMessage(QString::fromUtf8(m));
    QTRY_VERIFY(answered(before));
  }
  QCOMPARE(answer == "done" ? reply["type"].toString() : reply["reason"].toString(), answer);
  const QString mine = QStringLiteral("web 127.0.0.1:%1").arg(page.ws.localPort());
  QString holders;
  for (int o = 1; o <= 4; ++o) {
    const routing::ProtectHolder* h = host.held.holder(o);
    holders += !h ? QLatin1Char('-') : h->label == mine ? QLatin1Char('W') : QLatin1Char('P');
    if (h && h->label == mine) QCOMPARE(h->shown, QStringLiteral("web page 127.0.0.1:%1").arg(page.ws.localPort()));
  }
  QCOMPARE(holders, held);
  QCOMPARE(host.sent, sent);
}

// The state names every holder and the page itself; changes follow; a page's protects end
// with its WebSocket, and the same browser's next page does not inherit them.
void TestWebServer::protectsShownAndEnded() {
  SimHost host;
  QVERIFY(host.held.protect(3, {QStringLiteral("10.0.0.9:4000"), QStringLiteral("panel 10.0.0.9:4000")}));
  QCOMPARE(host.server.start(settings()), QString());
  Page first(host.server.port());
  Page second(host.server.port());
  QTRY_COMPARE(first.got.size(), 1);
  QTRY_COMPARE(second.got.size(), 1);
  const QString label = QStringLiteral("web 127.0.0.1:%1").arg(first.ws.localPort());
  const QString shown = QStringLiteral("web page 127.0.0.1:%1").arg(first.ws.localPort());
  QCOMPARE(first.got[0]["you"].toString(), label);
  QCOMPARE(first.got[0]["protects"], QJsonValue(QJsonArray{QJsonArray{3, "panel 10.0.0.9:4000", "10.0.0.9:4000"}}));

  first.ws.sendTextMessage(QStringLiteral(R"({"id":2,"op":"protect","outputs":[5]})"));
  QTRY_COMPARE(second.got.size(), 2);
  QCOMPARE(second.got[1], (QJsonObject{{"type", "change"}, {"protects", QJsonArray{QJsonArray{5, shown, label}}}}));
  second.ws.sendTextMessage(QStringLiteral(R"({"id":3,"op":"route","input":1,"outputs":[5],"signal":"B"})"));
  QTRY_COMPARE(second.got.size(), 3);
  QCOMPARE(second.got[2]["reason"].toString(), "output 5 is protected by " + shown);

  // The panel lets go: every page hears it.
  QVERIFY(host.held.release(3, QStringLiteral("10.0.0.9:4000")));
  QTRY_COMPARE(second.got.size(), 4);
  QCOMPARE(second.got[3], (QJsonObject{{"type", "change"}, {"protects", QJsonArray{QJsonArray{3, QJsonValue::Null, QJsonValue::Null}}}}));

  // The first page is reloaded: its WebSocket goes, a new one comes.
  first.ws.close();
  QTRY_COMPARE(second.got.size(), 5);
  QCOMPARE(second.got[4]["protects"], QJsonValue(QJsonArray{QJsonArray{5, QJsonValue::Null, QJsonValue::Null}}));
  Page again(host.server.port());
  QTRY_COMPARE(again.got.size(), 1);
  QCOMPARE(again.got[0]["protects"], QJsonValue(QJsonArray{}));
  QVERIFY(again.got[0]["you"].toString() != label);
  QVERIFY(!host.held.holder(5));
}

void TestWebServer::handshakeRefused_data() {
  QTest::addColumn<QByteArray>("host");
  QTest::addColumn<QByteArray>("origin");  // "SELF": the page's own
  QTest::addColumn<QByteArray>("path");
  QTest::addColumn<int>("open");           // pages already open, MaxClients=2
  QTest::addColumn<QByteArray>("status");
  QTest::newRow("own origin") << QByteArray("127.0.0.1") << QByteArray("SELF") << QByteArray("/ws") << 0 << QByteArray("101");
  QTest::newRow("another site") << QByteArray("127.0.0.1") << QByteArray("http://evil.example") << QByteArray("/ws") << 0
                                << QByteArray("403");
  QTest::newRow("no origin") << QByteArray("127.0.0.1") << QByteArray() << QByteArray("/ws") << 0 << QByteArray("403");
  QTest::newRow("same port, other scheme") << QByteArray("127.0.0.1") << QByteArray("https://127.0.0.1:PORT")
                                           << QByteArray("/ws") << 0 << QByteArray("403");
  QTest::newRow("rebound name") << QByteArray("evil.example") << QByteArray("SELF") << QByteArray("/ws") << 0
                                << QByteArray("403");
  QTest::newRow("this machine's name heading another domain")
      << QSysInfo::machineHostName().toLatin1() + ".evil.example" << QByteArray("SELF") << QByteArray("/ws") << 0
      << QByteArray("403");
  QTest::newRow("a name of Hosts") << QByteArray("switcher.example") << QByteArray("SELF") << QByteArray("/ws") << 0
                                   << QByteArray("101");
  QTest::newRow("a name of Hosts over https") << QByteArray("switcher.example") << QByteArray("https://switcher.example")
                                              << QByteArray("/ws") << 0 << QByteArray("101");
  QTest::newRow("a proxy passing its own Host") << QByteArray("127.0.0.1") << QByteArray("https://switcher.example")
                                                << QByteArray("/ws") << 0 << QByteArray("101");
  QTest::newRow("a name of Hosts heading another domain") << QByteArray("switcher.example.evil.example") << QByteArray("SELF")
                                                          << QByteArray("/ws") << 0 << QByteArray("403");
  QTest::newRow("another site over https") << QByteArray("127.0.0.1") << QByteArray("https://evil.example")
                                           << QByteArray("/ws") << 0 << QByteArray("403");
  QTest::newRow("a Hosts name with a path") << QByteArray("127.0.0.1") << QByteArray("https://switcher.example/x")
                                            << QByteArray("/ws") << 0 << QByteArray("403");
  QTest::newRow("other path") << QByteArray("127.0.0.1") << QByteArray("SELF") << QByteArray("/") << 0 << QByteArray("404");
  QTest::newRow("third over MaxClients=2") << QByteArray("127.0.0.1") << QByteArray("SELF") << QByteArray("/ws") << 2
                                           << QByteArray("503");
}

void TestWebServer::handshakeRefused() {
  QFETCH(QByteArray, host);
  QFETCH(QByteArray, origin);
  QFETCH(QByteArray, path);
  QFETCH(int, open);
  QFETCH(QByteArray, status);
  SimHost sim;
  web::Settings s = settings(false, 2);
  s.hosts = QStringList{QStringLiteral("switcher.example")};
  QCOMPARE(sim.server.start(s), QString());
  const QByteArray port = QByteArray::number(sim.server.port());
  std::vector<std::unique_ptr<Page>> pages;
  for (int k = 0; k < open; ++k) pages.push_back(std::make_unique<Page>(sim.server.port()));
  QTRY_COMPARE(sim.server.clientCount(), open);
  if (origin == "SELF") origin = "http://" + host + ":" + port;
  QCOMPARE(handshake(sim.server.port(), host, origin.replace("PORT", port), {}, path), "HTTP/1.1 " + status);
  if (open > 0) {  // a page closed makes room
    pages.front()->ws.close();
    QTRY_COMPARE(sim.server.clientCount(), open - 1);
    QCOMPARE(handshake(sim.server.port(), host, origin), QByteArray("HTTP/1.1 101"));
  }
}

void TestWebServer::passwordAndCookie() {
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("web.pw"));
  QFile f(file);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("s3cret\n");
  f.close();
  SimHost host;
  QCOMPARE(host.server.start(settings(false, 16, file)), QString());
  const quint16 port = host.server.port();
  const QByteArray self = "Origin: http://127.0.0.1:" + QByteArray::number(port) + "\r\n";
  const auto login = [&](const QByteArray& password, const QByteArray& origin) {
    return rawHttp(port, "POST /login HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n" + origin +
                             "Content-Length: " + QByteArray::number(password.size()) + "\r\n\r\n" + password);
  };
  QCOMPARE(handshake(port, "127.0.0.1", "http://127.0.0.1:" + QByteArray::number(port)), QByteArray("HTTP/1.1 401"));
  QCOMPARE(login("s3cret", "Origin: http://evil.example\r\n").left(12), QByteArray("HTTP/1.1 403"));
  QCOMPARE(login("guess", self).left(12), QByteArray("HTTP/1.1 403"));
  QVERIFY(login("s3cret", self).startsWith("HTTP/1.1 429"));  // slowed down: even the right one waits
  host.server.stop();  // a new start forgets the wait
  QCOMPARE(host.server.start(settings(false, 16, file)), QString());
  const quint16 port2 = host.server.port();
  const QByteArray ok = rawHttp(port2, "POST /login HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port2) +
                                           "\r\nOrigin: http://127.0.0.1:" + QByteArray::number(port2) +
                                           "\r\nContent-Length: 6\r\n\r\ns3cret");
  QVERIFY2(ok.startsWith("HTTP/1.1 200"), ok.constData());
  const QByteArray cookie = ok.mid(ok.indexOf("Set-Cookie: ") + 12).split('\r').first();
  QVERIFY2(cookie.contains("; HttpOnly") && cookie.contains("; SameSite=Strict"), cookie.constData());
  const QByteArray pair = cookie.split(';').first();
  Page page(port2, pair);
  QTRY_COMPARE(page.got.size(), 1);
  QCOMPARE(page.got[0]["type"].toString(), QStringLiteral("state"));
  Page forged(port2, QByteArray(web::kSessionCookie) + "=" + QByteArray(64, '0'));
  QTRY_COMPARE(forged.ws.state(), QAbstractSocket::UnconnectedState);
  QCOMPARE(forged.got.size(), 0);
}

void TestWebServer::floodAndSlowReaderDropped() {
  SimHost host(16, 256);
  QCOMPARE(host.server.start(settings()), QString());
  Page flood(host.server.port());
  QTRY_COMPARE(flood.got.size(), 1);
  for (int k = 0; k <= web::kMaxRequestsPerSecond; ++k) flood.ws.sendTextMessage(QStringLiteral("{}"));
  QTRY_COMPARE(flood.ws.state(), QAbstractSocket::UnconnectedState);
  QCOMPARE(flood.ws.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);

  // A page that never reads: the server's changes pile up until it is dropped.
  QTcpSocket idle;
  idle.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
  idle.connectToHost(QHostAddress::LocalHost, host.server.port());
  QVERIFY(idle.waitForConnected(5000));
  idle.write("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://127.0.0.1\r\nUpgrade: websocket\r\n"
             "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  QTRY_COMPARE(host.server.clientCount(), 1);
  for (int o = 1; o <= 256; ++o) host.nameTable.set(names::Kind::Output, o, QString(64, QChar(0x4E2D)));
  for (int turn = 0; turn < 400 && host.server.clientCount() == 1; ++turn) {  // 50 kB a turn
    host.server.namesChanged();
    QCoreApplication::processEvents();
  }
  QCOMPARE(host.server.clientCount(), 0);
}

// Every page that closes gives its connection back: many more sessions than the listener
// holds at once, one after another, and the page still loads.
void TestWebServer::slotsComeBack() {
  SimHost host;
  constexpr int kMaxClients = 2;
  QCOMPARE(host.server.start(settings(false, kMaxClients)), QString());
  for (int k = 0; k < 3 * (2 * kMaxClients + 8); ++k) {
    Page page(host.server.port());
    QTRY_COMPARE(page.got.size(), 1);
    page.ws.close();
    QTRY_COMPARE(host.server.clientCount(), 0);
    QTRY_COMPARE(page.ws.state(), QAbstractSocket::UnconnectedState);
  }
  QCOMPARE(rawHttp(host.server.port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").left(12), QByteArray("HTTP/1.1 200"));
  Page page(host.server.port());
  QTRY_COMPARE(page.got.size(), 1);
}

// Connections that send nothing, from one address: they hold part of the slots, and only until
// their first request is overdue.
void TestWebServer::idleConnectionsDoNotLockOut() {
  SimHost host;
  constexpr int kMaxClients = 2;  // 12 connections, 6 of one address
  constexpr int kIdle = 40;
  QCOMPARE(host.server.start(settings(false, kMaxClients)), QString());
  const QByteArray get = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<std::unique_ptr<QTcpSocket>> idle;
  for (int k = 0; k < kIdle; ++k) {
    idle.push_back(std::make_unique<QTcpSocket>());
    idle.back()->connectToHost(QHostAddress::LocalHost, host.server.port());
  }
  const auto closed = [&] {
    return int(std::count_if(idle.begin(), idle.end(), [](const auto& s) { return s->state() == QAbstractSocket::UnconnectedState; }));
  };
  QTRY_COMPARE(closed(), kIdle - (2 * kMaxClients + 8) / 2);
  QCOMPARE(rawHttp(host.server.port(), get, QHostAddress(QStringLiteral("127.0.0.2"))).left(12), QByteArray("HTTP/1.1 200"));
  QTRY_COMPARE_WITH_TIMEOUT(closed(), kIdle, web::kFirstRequestMs + 2000);
  QCOMPARE(rawHttp(host.server.port(), get).left(12), QByteArray("HTTP/1.1 200"));
}

void TestWebServer::loginWaits_data() {
  QTest::addColumn<QStringList>("failures");  // "address@ms", in order
  QTest::addColumn<QString>("asker");
  QTest::addColumn<qint64>("at");
  QTest::addColumn<bool>("own");      // the address's own wait alone
  QTest::addColumn<qint64>("wait");
  QTest::newRow("first wrong: 1 s") << QStringList{"a@0"} << "a" << qint64(0) << false << qint64(1000);
  QTest::newRow("third wrong: 4 s") << QStringList{"a@0", "a@1000", "a@3000"} << "a" << qint64(3000) << false << qint64(4000);
  QTest::newRow("another address may try") << QStringList{"a@0"} << "b" << qint64(0) << false << qint64(0);
  QStringList ten, nine;
  for (int k = 0; k < web::kMaxFailedLogins; ++k) ten << QStringLiteral("a%1@%2").arg(k).arg(k * 1000);
  nine = ten.mid(1);
  QTest::newRow("ten wrong anywhere in a minute: all wait") << ten << "z" << qint64(10000) << false << qint64(50000);
  QTest::newRow("nine wrong in a minute: no wait") << nine << "z" << qint64(10000) << false << qint64(0);
  QTest::newRow("ten wrong over more than a minute") << ten << "z" << qint64(60000) << false << qint64(0);
  // A full table forgets the wait that ends soonest, never the longest.
  QStringList full{"soon@0"};
  for (int k = 0; k < 5; ++k) full << QStringLiteral("late@0");
  for (int k = 0; k < web::kMaxLockouts - 2; ++k) full << QStringLiteral("x%1@500").arg(k);
  full << QStringLiteral("new@600");
  QTest::newRow("full table keeps the longest wait") << full << "late" << qint64(600) << true << qint64(16000 - 600);
  QTest::newRow("full table drops the soonest") << full << "soon" << qint64(600) << true << qint64(0);
}

void TestWebServer::loginWaits() {
  QFETCH(QStringList, failures);
  QFETCH(QString, asker);
  QFETCH(qint64, at);
  QFETCH(bool, own);
  QFETCH(qint64, wait);
  web::LoginGuard guard;
  for (const QString& f : failures) guard.failed(f.section('@', 0, 0), f.section('@', 1).toLongLong());
  QVERIFY(guard.addresses() <= web::kMaxLockouts);
  QCOMPARE(own ? guard.ownWait(asker, at) : guard.wait(asker, at), wait);
}

void TestWebServer::loginChecksThePassword_data() {
  QTest::addColumn<QByteArray>("password");  // the file holds "s3cret"
  QTest::addColumn<int>("wrongElsewhere");   // wrong passwords from other addresses before
  QTest::addColumn<QByteArray>("status");
  QTest::newRow("right") << QByteArray("s3cret") << 0 << QByteArray("200");
  QTest::newRow("empty") << QByteArray() << 0 << QByteArray("403");
  QTest::newRow("prefix") << QByteArray("s3cre") << 0 << QByteArray("403");
  QTest::newRow("longer") << QByteArray("s3cret!") << 0 << QByteArray("403");
  QTest::newRow("same length") << QByteArray("s3creT") << 0 << QByteArray("403");
  QTest::newRow("right, after ten wrong from ten addresses") << QByteArray("s3cret") << web::kMaxFailedLogins << QByteArray("429");
  QTest::newRow("right, after nine wrong from nine addresses") << QByteArray("s3cret") << web::kMaxFailedLogins - 1 << QByteArray("200");
}

void TestWebServer::loginChecksThePassword() {
  QFETCH(QByteArray, password);
  QFETCH(int, wrongElsewhere);
  QFETCH(QByteArray, status);
  PasswordServer ps;
  QVERIFY(ps.started);
  for (int k = 0; k < wrongElsewhere; ++k)
    QCOMPARE(ps.login("guess", QStringLiteral("127.0.1.%1").arg(k + 1)).left(12), QByteArray("HTTP/1.1 403"));
  QCOMPARE(ps.login(password, QStringLiteral("127.0.0.1")).left(12), "HTTP/1.1 " + status);
}

void TestWebServer::sessionsEnd_data() {
  QTest::addColumn<int>("step");  // what happens after a page of 127.0.0.2 logged in and opened
  QTest::addColumn<bool>("pageStays");
  QTest::addColumn<QByteArray>("status");  // of a new handshake with that page's cookie
  QTest::newRow("password changed, read again") << 0 << false << QByteArray("401");
  QTest::newRow("password file read again, unchanged") << 1 << true << QByteArray("101");
  QTest::newRow("password file gone: the password stays") << 2 << true << QByteArray("101");
  QTest::newRow("unused for 12 h") << 3 << true << QByteArray("401");
  QTest::newRow("used within 12 h, twice over") << 4 << true << QByteArray("101");
  QTest::newRow("another address logs in 64 times") << 5 << true << QByteArray("101");
  QTest::newRow("an open page in use for 12 h, twice over") << 6 << true << QByteArray("101");
}

void TestWebServer::sessionsEnd() {
  QFETCH(int, step);
  QFETCH(bool, pageStays);
  QFETCH(QByteArray, status);
  PasswordServer ps;
  QVERIFY(ps.started);
  SimHost& host = ps.host;
  const QByteArray origin = "http://127.0.0.1:" + QByteArray::number(host.server.port());
  const auto login = [&](const QString& from) {
    const QByteArray ok = ps.login("s3cret", from);
    return ok.startsWith("HTTP/1.1 200") ? ok.mid(ok.indexOf("Set-Cookie: ") + 12).split(';').first() : QByteArray();
  };
  const QByteArray cookie = login(QStringLiteral("127.0.0.2"));
  QVERIFY(!cookie.isEmpty());
  Page page(host.server.port(), cookie);
  QTRY_COMPARE(page.got.size(), 1);
  switch (step) {
    case 0: ps.write("other"); QCOMPARE(host.server.reloadPassword(), QString()); break;
    case 1: ps.write("s3cret"); QCOMPARE(host.server.reloadPassword(), QString()); break;
    case 2: QFile::remove(ps.file); QVERIFY(host.server.reloadPassword().startsWith(QLatin1String("Web: "))); break;
    case 3: host.server.passTime(web::kSessionIdleMs); break;
    case 4:
      host.server.passTime(web::kSessionIdleMs - 1000);
      QCOMPARE(handshake(host.server.port(), "127.0.0.1", origin, cookie), QByteArray("HTTP/1.1 101"));
      host.server.passTime(web::kSessionIdleMs - 1000);
      break;
    case 5:
      for (int k = 0; k < web::kMaxSessions; ++k) QVERIFY(!login(QStringLiteral("127.0.0.1")).isEmpty());
      break;
    case 6:
      // A wall display that never reconnects: what it says keeps its session alive.
      for (int k = 0; k < 2; ++k) {
        host.server.passTime(web::kSessionIdleMs - 1000);
        page.ws.sendTextMessage(QStringLiteral("{}"));
        QTRY_COMPARE(page.got.size(), 2 + k);
      }
      break;
  }
  if (pageStays) QCOMPARE(page.ws.state(), QAbstractSocket::ConnectedState);
  else QTRY_COMPARE(page.ws.state(), QAbstractSocket::UnconnectedState);
  QCOMPARE(handshake(host.server.port(), "127.0.0.1", origin, cookie), "HTTP/1.1 " + status);
}

void TestWebServer::badInputIsQuiet_data() {
  QTest::addColumn<QByteArray>("request");
  QTest::newRow("host with a space") << QByteArray("GET / HTTP/1.1\r\nHost: a b\r\n\r\n");
  QTest::newRow("host control byte") << QByteArray("GET / HTTP/1.1\r\nHost: a\x01\r\n\r\n");
  QTest::newRow("bad request line") << QByteArray("GET\r\n\r\n");
  const QByteArray upgrade = "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  QTest::newRow("upgrade refused: another site") << "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example" + upgrade;
  for (const QByteArray& h : {QByteArray("[::1]x"), QByteArray("[::1"), QByteArray("a@127.0.0.1")})
    QTest::newRow("upgrade, host " + h) << "GET /ws HTTP/1.1\r\nHost: " + h + "\r\nOrigin: http://" + h + upgrade;
}

// Whatever a peer sends, nothing of Qt's own reaches the log.
void TestWebServer::badInputIsQuiet() {
  QFETCH(QByteArray, request);
  QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
  SimHost host;
  QCOMPARE(host.server.start(settings()), QString());
  rawHttp(host.server.port(), request);
  // Whatever it made of it, the server has let the connection go.
  QTRY_COMPARE(host.server.connectionCount(), 0);
}

void TestWebServer::boundsOfTheSwitcher_data() {
  QTest::addColumn<int>("inputs");
  QTest::addColumn<int>("outputs");
  QTest::addColumn<QByteArray>("message");
  QTest::addColumn<QString>("answer");  // "done" or the error's reason
  const auto route = [](int input, int output) {
    return QByteArray(R"({"id":1,"op":"route","input":)") + QByteArray::number(input) + R"(,"outputs":[)" +
           QByteArray::number(output) + R"(],"signal":"B"})";
  };
  QTest::newRow("16x8: the last input") << 16 << 8 << route(16, 8) << "done";
  QTest::newRow("16x8: an output past 8") << 16 << 8 << route(1, 9) << "output not 1 to 8";
  QTest::newRow("8x16: the last output") << 8 << 16 << route(8, 16) << "done";
  QTest::newRow("8x16: an input past 8") << 8 << 16 << route(9, 1) << "input not 0 to 8";
}

void TestWebServer::boundsOfTheSwitcher() {
  QFETCH(int, inputs);
  QFETCH(int, outputs);
  QFETCH(QByteArray, message);
  QFETCH(QString, answer);
  SimHost host(inputs, outputs);
  QCOMPARE(host.server.start(settings()), QString());
  Page page(host.server.port());
  QTRY_COMPARE(page.got.size(), 1);
  page.ws.sendTextMessage(QString::fromUtf8(message));
  QTRY_VERIFY(page.got.size() >= 2);
  const QJsonObject reply = page.got[1];
  QCOMPARE(answer == "done" ? reply["type"].toString() : reply["reason"].toString(), answer);
}

// A request's bytes are counted over every read: a header sent in pieces is cut past the bound
// (well before a new connection's first request is overdue).
void TestWebServer::headerInPiecesCut() {
  SimHost host;
  QCOMPARE(host.server.start(settings()), QString());
  QTcpSocket s;
  s.connectToHost(QHostAddress::LocalHost, host.server.port());
  QVERIFY(s.waitForConnected(5000));
  QElapsedTimer since;
  since.start();
  s.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  constexpr int kPiece = 4096;
  for (qint64 sent = 0; sent <= web::kMaxHttpRequest && s.state() == QAbstractSocket::ConnectedState; sent += kPiece) {
    s.write("X-Pad: " + QByteArray(kPiece - 9, 'p') + "\r\n");
    s.waitForBytesWritten(5000);  // false once the server has cut it
    // The server reads this piece on its own before the next is sent.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
  }
  QTRY_COMPARE_WITH_TIMEOUT(s.state(), QAbstractSocket::UnconnectedState, web::kFirstRequestMs / 2);
  QVERIFY(since.elapsed() < web::kFirstRequestMs);
}

void TestWebServer::readSettings_data() {
  QTest::addColumn<QByteArray>("section");
  QTest::addColumn<QString>("problem");  // of ReadSettings, or of start() when it starts with "start:"
  QTest::newRow("MaxClients absent: 16") << QByteArray("Port=0\n") << QString();
  QTest::newRow("port not a number") << QByteArray("Port=80x\n") << "Web: Port=80x in";
  QTest::newRow("MaxClients 0") << QByteArray("MaxClients=0\n") << "Web: MaxClients=0 in";
  QTest::newRow("ReadOnly not a boolean") << QByteArray("ReadOnly=perhaps\n") << "Web: ReadOnly=perhaps in";
  QTest::newRow("Hosts read") << QByteArray("Hosts=Switcher.Example, other.example\n") << QString();
  QTest::newRow("Hosts not host names") << QByteArray("Hosts=switcher.example, a b\n") << "Web: Hosts in";
  QTest::newRow("open bind without Allow") << QByteArray("Bind=0.0.0.0\n") << "start:Web: Bind=0.0.0.0 is not a loopback";
  QTest::newRow("password file missing") << QByteArray("PasswordFile=/nonexistent/pw\n")
                                         << "start:Web: cannot read the password file /nonexistent/pw";
}

void TestWebServer::readSettings() {
  QFETCH(QByteArray, section);
  QFETCH(QString, problem);
  QTemporaryDir dir;
  const QString ini = dir.filePath(QStringLiteral("Switcher.ini"));
  QFile f(ini);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("[Web]\n" + section);
  f.close();
  const web::Settings s = web::ReadSettings(ini);
  SimHost host;
  const QString started = host.server.start(s);
  if (problem.startsWith(QLatin1String("start:"))) {
    QVERIFY2(started.startsWith(problem.mid(6)), qPrintable(started));
    return;
  }
  QVERIFY2(problem.isEmpty() ? s.listen.problem.isEmpty() : s.listen.problem.startsWith(problem),
           qPrintable(s.listen.problem));
  QCOMPARE(started, s.listen.problem);
  if (problem.isEmpty()) QCOMPARE(s.listen.maxClients, web::kDefaultMaxClients);
  if (problem.isEmpty() && section.startsWith("Hosts"))
    QCOMPARE(s.hosts, (QStringList{QStringLiteral("switcher.example"), QStringLiteral("other.example")}));
}

QTEST_MAIN(TestWebServer)
#include "tst_webserver.moc"
