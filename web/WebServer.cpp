#include "WebServer.h"

#include "ServerCore.h"
#include "WebListener.h"
#include "WebMessages.h"

#include <QAbstractHttpServer>
#include <QCryptographicHash>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>
#include <cctype>
#include <utility>

namespace web {

namespace {
using Status = QHttpServerResponder::StatusCode;

// Connections besides the pages' WebSockets: a browser loads the files over a few more.
constexpr int kSpareConnections = 8;
constexpr qint64 kSocketReadBuffer = 64 * 1024;
constexpr int kSessionBytes = 32;
constexpr int kMaxPasswordBytes = 1024;
constexpr char kWsPath[] = "/ws";
constexpr int kCloseWaitMs = 2000;

struct File {
  QByteArray body, type, etag;
};

// The page's files: the only paths served, each from the resources; nothing of a request's
// path reaches a file name.
const QHash<QByteArray, File>& files() {
  static const QHash<QByteArray, File> table = [] {
    const struct {
      const char *path, *resource, *type;
    } list[] = {
        {"/", ":/web/index.html", "text/html; charset=utf-8"},
        {"/app.js", ":/web/app.js", "text/javascript; charset=utf-8"},
        {"/style.css", ":/web/style.css", "text/css; charset=utf-8"},
        {"/icon.svg", ":/web/icon.svg", "image/svg+xml"},
    };
    QHash<QByteArray, File> t;
    for (const auto& f : list) {
      QFile in(QString::fromLatin1(f.resource));
      in.open(QIODevice::ReadOnly);
      File file{in.readAll(), f.type, {}};
      file.etag = '"' + QCryptographicHash::hash(file.body, QCryptographicHash::Sha256).left(12).toHex() + '"';
      t.insert(f.path, file);
    }
    return t;
  }();
  return table;
}

// Sent with every answer: the page runs only its own script and is never framed.
const QList<std::pair<QByteArray, QByteArray>>& commonHeaders() {
  static const QList<std::pair<QByteArray, QByteArray>> h{
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
       "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"X-Frame-Options", "DENY"},
  };
  return h;
}

// The name of a Host header written as "name", "name:port", "[v6]" or "[v6]:port"; empty for
// anything else, which the WebSocket library would not parse either.
QByteArray hostPart(const QByteArray& hostHeader) {
  QByteArray name = hostHeader, port;
  bool hasPort = false;
  if (hostHeader.startsWith('[')) {
    const qsizetype close = hostHeader.indexOf(']');
    if (close < 0) return {};
    name = hostHeader.mid(1, close - 1);
    const QByteArray rest = hostHeader.mid(close + 1);
    if (!rest.isEmpty() && !rest.startsWith(':')) return {};
    hasPort = !rest.isEmpty();
    port = rest.mid(1);
    if (QHostAddress(QString::fromLatin1(name)).protocol() != QAbstractSocket::IPv6Protocol) return {};
  } else {
    const qsizetype colon = hostHeader.indexOf(':');
    if (colon >= 0) {
      name = hostHeader.left(colon);
      port = hostHeader.mid(colon + 1);
      hasPort = true;
    }
    for (char c : name)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') return {};
  }
  if (hasPort) {
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || port.size() > 5 || port.startsWith('+') || number < 1 || number > 65535) return {};
  }
  return name;
}

// A Host the page may be reached by: an address, localhost, or this machine's own name. A
// page of another site whose name was pointed at this machine (DNS rebinding) names its own
// host and is refused, though its Origin and Host agree.
bool knownHost(const QByteArray& hostHeader, const QStringList& extra) {
  const QString host = QString::fromLatin1(hostPart(hostHeader)).toLower();
  if (host.isEmpty()) return false;
  if (!QHostAddress(host).isNull() || host == QLatin1String("localhost") || extra.contains(host)) return true;
  // Exactly this machine's names: "name.attacker.example" must not pass for "name".
  const QString self = QSysInfo::machineHostName().toLower();
  if (self.isEmpty()) return false;
  const QString domain = QHostInfo::localDomainName().toLower();
  return host == self || host == self + QLatin1String(".local") ||
         (!domain.isEmpty() && host == self + QLatin1Char('.') + domain);
}

// The page's own origin is the scheme and the Host it was loaded from; or one of the names set
// in Hosts over http or https (a TLS reverse proxy, which may pass on a Host of its own).
bool sameOrigin(const QByteArray& origin, const QByteArray& hostHeader, const QStringList& extra) {
  if (!hostHeader.isEmpty() && origin.compare("http://" + hostHeader, Qt::CaseInsensitive) == 0) return true;
  if (extra.isEmpty()) return false;
  const QUrl url(QString::fromLatin1(origin), QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  return url.isValid() && (scheme == QLatin1String("https") || scheme == QLatin1String("http")) && url.path().isEmpty() &&
         url.userInfo().isEmpty() && !url.hasQuery() && !url.hasFragment() && extra.contains(url.host().toLower());
}

QByteArray cookieValue(const QByteArray& header, const QByteArray& name) {
  for (const QByteArray& part : header.split(';')) {
    const QByteArray p = part.trimmed();
    if (p.startsWith(name + '=')) return p.mid(name.size() + 1);
  }
  return {};
}

// Compares in time that does not depend on where the texts differ.
bool equalSecret(const QByteArray& a, const QByteArray& b) {
  unsigned diff = unsigned(a.size() ^ b.size());
  for (qsizetype i = 0; i < a.size(); ++i) diff |= unsigned(char(a[i] ^ (i < b.size() ? b[i] : 0)));
  return diff == 0;
}

QByteArray compact(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

// Deleting a socket drops what it has not written yet, so a closed one goes once the close
// handshake is done, or after kCloseWaitMs at most.
void linger(QWebSocket* ws) {
  if (ws->state() == QAbstractSocket::UnconnectedState) return ws->deleteLater();
  QObject::connect(ws, &QWebSocket::disconnected, ws, &QObject::deleteLater);
  QTimer::singleShot(kCloseWaitMs, ws, [ws] {
    ws->abort();
    ws->deleteLater();
  });
}

// QtHttpServer warns of every WebSocket handshake it is told to refuse (another site's page,
// a page too many): a peer's doing, not for the journal.
QLoggingCategory::CategoryFilter otherFilter = nullptr;
void quietHttpServer(QLoggingCategory* category) {
  if (otherFilter) otherFilter(category);
  if (qstrcmp(category->categoryName(), "qt.httpserver") == 0) category->setEnabled(QtWarningMsg, false);
}

bool isUpgrade(const QHttpServerRequest& r) {
  return r.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}
}  // namespace

// QtHttpServer's request handling, answered by the server: no routing table of its own, the
// few paths are the server's.
class HttpFront final : public QAbstractHttpServer {
 public:
  HttpFront(WebServer& server) : QAbstractHttpServer(&server), server(server) {}

  void respond(const QHttpServerRequest& request, QTcpSocket* socket, Status status, const QByteArray& type,
               const QByteArray& body, const QList<std::pair<QByteArray, QByteArray>>& extra = {},
               bool headOnly = false) {
    QHttpServerResponder r = makeResponder(request, socket);
    r.writeStatusLine(status);
    for (const auto& h : commonHeaders()) r.writeHeader(h.first, h.second);
    for (const auto& h : extra) r.writeHeader(h.first, h.second);
    if (!type.isEmpty()) r.writeHeader("Content-Type", type);
    r.writeHeader("Content-Length", QByteArray::number(body.size()));
    r.writeBody(headOnly ? QByteArray() : body);
  }

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
    Listener::requestSeen(socket);
    return server.handle(request, socket);
  }
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override {
    server.refuse(request, socket);
  }

 private:
  WebServer& server;
};

WebServer::WebServer(WebHost& h, QObject* parent)
    : QObject(parent), host(h), dirtyOutputs(routing::kOutputs + 1, false), dirtyProtects(routing::kOutputs + 1, false) {
  static const bool quiet = [] {
    otherFilter = QLoggingCategory::installFilter(quietHttpServer);
    return true;
  }();
  (void)quiet;
  clock.start();
  pingTimer = new QTimer(this);
  pingTimer->setInterval(kPingMs);
  connect(pingTimer, &QTimer::timeout, this, &WebServer::ping);
}

WebServer::~WebServer() { stop(); }

QString WebServer::start(const Settings& s) {
  stop();
  if (!s.listen.problem.isEmpty()) return s.listen.problem;
  QByteArray secret;
  if (!s.passwordFile.isEmpty()) {
    QString error;
    secret = ReadPassword(s.passwordFile, &error);
    if (!error.isEmpty()) return QStringLiteral("Web: ") + error + QLatin1Char('.');
  }
  auto* l = new Listener(this);
  // Half of them per peer address: a browser needs its pages and a few loads, and a reverse
  // proxy, all of whose pages come from one address, still serves MaxClients.
  const int total = 2 * s.listen.maxClients + kSpareConnections;
  const QString error = l->start(s.listen, total, total / 2);
  if (!error.isEmpty()) {
    delete l;
    return error;
  }
  settings = s;
  password = secret;
  listener = l;
  http = new HttpFront(*this);
  http->bind(listener);
  connect(http, &QAbstractHttpServer::newWebSocketConnection, this, &WebServer::accept);
  return {};
}

void WebServer::stop() {
  const bool had = !clients.isEmpty();
  clients.clear();
  // An upgraded connection's TCP socket stays the listener's child: every WebSocket, also one
  // still closing, goes before the listener does.
  for (QWebSocket* ws : findChildren<QWebSocket*>(QString(), Qt::FindDirectChildrenOnly)) {
    ws->disconnect(this);
    if (ws->state() == QAbstractSocket::ConnectedState) ws->close(QWebSocketProtocol::CloseCodeGoingAway);
    ws->flush();
    delete ws;
  }
  pingTimer->stop();
  delete http;
  http = nullptr;
  delete listener;
  listener = nullptr;
  sessions.clear();
  logins.clear();
  if (had) emit clientCountChanged(0);
}

bool WebServer::isListening() const { return listener && listener->isListening(); }
quint16 WebServer::port() const { return listener ? listener->serverPort() : 0; }
QString WebServer::listenText() const {
  return listener ? HostPort(listener->serverAddress(), listener->serverPort()) : QString();
}

bool WebServer::hasSession(const QByteArray& cookieHeader) const {
  if (password.isEmpty()) return true;
  const QByteArray token = cookieValue(cookieHeader, kSessionCookie);
  if (token.isEmpty()) return false;
  for (Session& s : sessions) {
    if (!equalSecret(s.token, token)) continue;
    if (now() - s.used >= kSessionIdleMs) return false;
    s.used = now();
    return true;
  }
  return false;
}

void WebServer::addSession(const QByteArray& token, const QString& peer) {
  const qint64 t = now();
  sessions.erase(std::remove_if(sessions.begin(), sessions.end(), [t](const Session& s) { return t - s.used >= kSessionIdleMs; }),
                 sessions.end());
  // One holder of the password logging in again and again only ends its own address's sessions.
  while (sessions.size() >= kMaxSessions) {
    auto oldest = sessions.end();
    for (auto it = sessions.begin(); it != sessions.end(); ++it)
      if (it->peer == peer && (oldest == sessions.end() || it->used < oldest->used)) oldest = it;
    if (oldest == sessions.end())
      oldest = std::min_element(sessions.begin(), sessions.end(), [](const Session& a, const Session& b) { return a.used < b.used; });
    sessions.erase(oldest);
  }
  sessions.append({token, peer, t});
}

QString WebServer::reloadPassword() {
  if (!listener || settings.passwordFile.isEmpty()) return {};
  QString error;
  const QByteArray secret = ReadPassword(settings.passwordFile, &error);
  if (!error.isEmpty()) return QStringLiteral("Web: ") + error + QLatin1Char('.');
  if (secret == password) return {};
  password = secret;
  sessions.clear();
  logins.clear();
  // Their sessions have ended: the pages log in again.
  for (QWebSocket* ws : clients.keys()) {
    ws->close(QWebSocketProtocol::CloseCodePolicyViolated, tr("password changed"));
    forget(ws);
  }
  return {};
}

int WebServer::handshakeRefusal(const QByteArray& path, const QByteArray& hostHeader, const QByteArray& origin,
                                const QByteArray& cookie) const {
  if (path != kWsPath) return int(Status::NotFound);
  if (!knownHost(hostHeader, settings.hosts) || !sameOrigin(origin, hostHeader, settings.hosts)) return int(Status::Forbidden);
  if (!hasSession(cookie)) return int(Status::Unauthorized);
  if (clientCount() >= settings.listen.maxClients) return int(Status::ServiceUnavailable);
  return 0;
}

bool WebServer::handle(const QHttpServerRequest& request, QTcpSocket* socket) {
  const QByteArray path = request.url().path(QUrl::FullyEncoded).toUtf8();
  if (isUpgrade(request)) {
    // Going ahead means QtHttpServer hands the socket to its WebSocket server.
    if (handshakeRefusal(path, request.value("host"), request.value("origin"), request.value("cookie")) != 0)
      return false;
    Listener::upgraded(socket);
    return true;
  }
  const QHttpServerRequest::Method method = request.method();
  const bool get = method == QHttpServerRequest::Method::Get || method == QHttpServerRequest::Method::Head;
  const bool head = method == QHttpServerRequest::Method::Head;
  if (!knownHost(request.value("host"), settings.hosts)) {
    http->respond(request, socket, Status::Forbidden, "text/plain; charset=utf-8", "Unknown host name.\n");
    return true;
  }
  const auto file = files().constFind(path == "/index.html" ? QByteArray("/") : path);
  if (file != files().cend()) {
    if (!get) {
      http->respond(request, socket, Status::MethodNotAllowed, "text/plain; charset=utf-8", "GET only.\n", {{"Allow", "GET, HEAD"}});
      return true;
    }
    // Revalidated on every load, so a new version of the program never meets an old script.
    const QList<std::pair<QByteArray, QByteArray>> caching{{"Cache-Control", "no-cache"}, {"ETag", file->etag}};
    if (request.value("if-none-match") == file->etag) http->respond(request, socket, Status::NotModified, {}, {}, caching, true);
    else http->respond(request, socket, Status::Ok, file->type, file->body, caching, head);
    return true;
  }
  if (path == "/session" && get) {
    const QByteArray body = compact({{"password", !password.isEmpty()},
                                     {"session", hasSession(request.value("cookie"))},
                                     {"readOnly", settings.listen.readOnly}});
    http->respond(request, socket, Status::Ok, "application/json", body, {{"Cache-Control", "no-store"}}, head);
    return true;
  }
  if (path == "/login") {
    login(request, socket);
    return true;
  }
  http->respond(request, socket, Status::NotFound, "text/plain; charset=utf-8", "Not found.\n");
  return true;
}

void WebServer::refuse(const QHttpServerRequest& request, QTcpSocket* socket) {
  if (!http) return;
  int status = int(Status::NotFound);
  if (isUpgrade(request)) {
    status = handshakeRefusal(request.url().path(QUrl::FullyEncoded).toUtf8(), request.value("host"),
                              request.value("origin"), request.value("cookie"));
    if (status == 0) status = int(Status::ServiceUnavailable);
  }
  http->respond(request, socket, Status(status), "text/plain; charset=utf-8", "Refused.\n", {{"Connection", "close"}});
  socket->disconnectFromHost();
}

void WebServer::login(const QHttpServerRequest& request, QTcpSocket* socket) {
  const auto reply = [&](Status status, const QString& text, const QList<std::pair<QByteArray, QByteArray>>& extra = {}) {
    QList<std::pair<QByteArray, QByteArray>> headers = extra;
    headers.append(std::make_pair(QByteArray("Cache-Control"), QByteArray("no-store")));
    http->respond(request, socket, status, "application/json", compact({{"message", text}}), headers);
  };
  if (request.method() != QHttpServerRequest::Method::Post) return reply(Status::MethodNotAllowed, tr("POST only."));
  if (password.isEmpty()) return reply(Status::NotFound, tr("No password is needed."));
  // Only the page itself may log in: another site's form cannot plant a session.
  if (!sameOrigin(request.value("origin"), request.value("host"), settings.hosts)) return reply(Status::Forbidden, tr("Wrong origin."));
  const QString peer = request.remoteAddress().toString();
  if (const qint64 ms = logins.wait(peer, now()); ms > 0) {
    const qint64 seconds = (ms + 999) / 1000;
    return reply(Status::TooManyRequests, tr("Wait %1 s before the next try.").arg(seconds),
                 {{"Retry-After", QByteArray::number(seconds)}});
  }
  const QByteArray body = request.body();
  if (body.size() > kMaxPasswordBytes || !equalSecret(body, password)) {
    logins.failed(peer, now());
    return reply(Status::Forbidden, tr("Wrong password."));
  }
  logins.succeeded(peer);
  QByteArray token(kSessionBytes, Qt::Uninitialized);
  QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(token.data()), kSessionBytes / 4);
  token = token.toHex();
  addSession(token, peer);
  reply(Status::Ok, tr("Logged in."),
        {{"Set-Cookie", QByteArray(kSessionCookie) + '=' + token + "; Path=/; HttpOnly; SameSite=Strict"}});
}

void WebServer::accept() {
  while (http && http->hasPendingWebSocketConnections()) {
    QWebSocket* ws = http->nextPendingWebSocketConnection().release();
    ws->setParent(this);
    const QNetworkRequest& r = ws->request();
    // Checked again: two handshakes in flight may both have passed the count.
    if (handshakeRefusal(kWsPath, r.rawHeader("Host"), ws->origin().toUtf8(), r.rawHeader("Cookie")) != 0) {
      ws->close(QWebSocketProtocol::CloseCodePolicyViolated, tr("refused"));
      linger(ws);
      continue;
    }
    ws->setMaxAllowedIncomingFrameSize(kMaxFrameBytes);
    ws->setMaxAllowedIncomingMessageSize(kMaxFrameBytes);
    ws->setReadBufferSize(kSocketReadBuffer);
    Client c;
    c.label = QStringLiteral("web ") + HostPort(ws->peerAddress(), ws->peerPort());
    c.shown = QStringLiteral("web page ") + HostPort(ws->peerAddress(), ws->peerPort());
    c.window.start();
    c.cookie = r.rawHeader("Cookie");
    clients.insert(ws, c);
    connect(ws, &QWebSocket::textMessageReceived, this, [this, ws](const QString& text) { received(ws, text); });
    connect(ws, &QWebSocket::binaryMessageReceived, this, [this, ws](const QByteArray&) {
      answer(ws, ErrorMessage(0, tr("binary messages are not read")));
    });
    connect(ws, &QWebSocket::pong, this, [this, ws] {
      if (auto it = clients.find(ws); it != clients.end()) {
        it->pinged = false;
        hasSession(it->cookie);  // a page still open is in use
      }
    });
    connect(ws, &QWebSocket::disconnected, this, [this, ws] { forget(ws); });
    if (!pingTimer->isActive()) pingTimer->start();
    send(ws, QString::fromUtf8(stateMessage(c.label)));
    emit clientCountChanged(clientCount());
  }
}

void WebServer::forget(QWebSocket* ws) {
  const QString label = clients.value(ws).label;
  if (!clients.remove(ws)) return;
  linger(ws);
  if (clients.isEmpty()) pingTimer->stop();
  emit clientCountChanged(clientCount());
  emit clientGone(label);
}

void WebServer::drop(QWebSocket* ws) {
  ws->abort();
  forget(ws);
}

void WebServer::send(QWebSocket* ws, const QString& text) {
  // As the gateway's core: a page that left this much unread earlier is not keeping up.
  if (ws->bytesToWrite() > gateway::kMaxBacklog) return drop(ws);
  ws->sendTextMessage(text);
}

void WebServer::answer(QWebSocket* ws, const QByteArray& json) {
  if (clients.contains(ws)) send(ws, QString::fromUtf8(json));
}

void WebServer::ping() {
  for (QWebSocket* ws : clients.keys()) {
    auto it = clients.find(ws);
    if (it == clients.end()) continue;
    if (it->pinged) {
      drop(ws);  // gone without a word (a phone asleep, a cable pulled)
      continue;
    }
    it->pinged = true;
    ws->ping();
  }
}

void WebServer::received(QWebSocket* ws, const QString& text) {
  auto it = clients.find(ws);
  if (it == clients.end()) return;
  hasSession(it->cookie);  // in use: the session is kept alive
  if (it->window.elapsed() >= 1000) {
    it->window.start();
    it->inWindow = 0;
  }
  if (++it->inWindow > kMaxRequestsPerSecond) {
    ws->close(QWebSocketProtocol::CloseCodePolicyViolated, tr("too many requests"));
    forget(ws);
    return;
  }
  const QString label = it->label;
  const QString shown = it->shown;
  const Device device = host.device();
  const Request r = ParseRequest(text.toUtf8(), InputCount(device), OutputCount(device));
  if (r.op == Request::Op::Invalid) return answer(ws, ErrorMessage(r.id, r.reason));
  if (settings.listen.readOnly) {
    host.refusedReadOnly();
    return answer(ws, ErrorMessage(r.id, tr("read-only")));
  }
  const QPointer<QWebSocket> self(ws);
  const auto refused = [&](SendResult result) {
    switch (result) {
      case SendResult::Accepted: return false;
      case SendResult::Busy: answer(ws, ErrorMessage(r.id, tr("busy: 256 commands waiting"))); return true;
      case SendResult::LinkClosed: answer(ws, ErrorMessage(r.id, tr("link closed"))); return true;
      case SendResult::Protected: answer(ws, ErrorMessage(r.id, tr("protected"))); return true;
    }
    return true;
  };
  switch (r.op) {
    case Request::Op::Protect:
    case Request::Op::Release: {
      // All of them or none: a refusal leaves every one as it was.
      if (const QString why = protectedBy(r.outputs, label); !why.isEmpty()) return answer(ws, ErrorMessage(r.id, why));
      const Protect by{label, shown};
      for (int o : r.outputs) host.setProtect(o, by, r.op == Request::Op::Protect);
      break;
    }
    case Request::Op::Route:
    case Request::Op::Close: {
      if (host.link().state != LinkState::Ready) return answer(ws, ErrorMessage(r.id, tr("link closed")));
      // Refused before anything goes: a take moves all of its outputs or none.
      if (const QString why = protectedBy(r.outputs, label); !why.isEmpty()) return answer(ws, ErrorMessage(r.id, why));
      const QPointer<WebServer> server(this);
      const double id = r.id;
      const std::vector<QByteArray> commands = r.commands();
      // A take goes on air whole or not at all.
      if (!host.canSend(int(commands.size()), label)) return answer(ws, ErrorMessage(r.id, tr("busy: 256 commands waiting")));
      for (const QByteArray& command : commands) {
        const SendResult result = host.sendCommand(command, label, [server, self, id] {
          if (server && self) server->answer(self, ErrorMessage(id, tr("link closed")));
        });
        if (!self || refused(result)) return;
      }
      break;
    }
    case Request::Op::Preset: {
      bool known = false;
      for (const Preset& p : host.presets()) known = known || p.id == r.preset;
      if (!known) return answer(ws, ErrorMessage(r.id, tr("no such preset")));
      if (host.link().state != LinkState::Ready) return answer(ws, ErrorMessage(r.id, tr("link closed")));
      // Answered once every command went out: a link lost half way is told, not "done".
      const QPointer<WebServer> server(this);
      const double id = r.id;
      const SendResult result = host.runPreset(r.preset, label, [server, self, id](int sent, int total) {
        if (!server || !self) return;
        if (sent == total) server->answer(self, DoneMessage(id));
        else if (sent == 0) server->answer(self, ErrorMessage(id, tr("link closed")));
        else server->answer(self, ErrorMessage(id, tr("preset partly sent (%1 of %2): link closed").arg(sent).arg(total)));
      });
      if (self) refused(result);
      return;
    }
    case Request::Op::Rename:
      if (const QString error = host.rename(r.kind, r.number, r.name); !error.isEmpty())
        return answer(ws, ErrorMessage(r.id, error));
      break;
    case Request::Op::Save: {
      // "done" once the group is written, not when the capture starts.
      const QPointer<WebServer> server(this);
      const double id = r.id;
      const QString error = host.saveRoutingPreset([server, self, id](const QString& why) {
        if (server && self) server->answer(self, why.isEmpty() ? DoneMessage(id) : ErrorMessage(id, why));
      });
      if (!error.isEmpty()) answer(ws, ErrorMessage(r.id, error));
      return;
    }
    case Request::Op::Invalid: return;
  }
  if (self) answer(ws, DoneMessage(r.id));
}

QString WebServer::protectedBy(const std::vector<int>& outputs, const QString& label) const {
  for (int o : outputs) {
    const Protect p = host.protect(o);
    if (!p.label.isEmpty() && p.label != label) return tr("output %1 is protected by %2").arg(o).arg(p.shown);
  }
  return {};
}

QByteArray WebServer::stateMessage(const QString& label) const {
  const Device device = host.device();
  QJsonArray routes;
  for (int o = 1; o <= OutputCount(device); ++o) routes.append(RouteJson(host.route(o)));
  QJsonObject state{{"type", "state"},
                    {"link", LinkJson(host.link())},
                    {"device", DeviceJson(device)},
                    {"readOnly", settings.listen.readOnly},
                    {"routes", routes},
                    {"names", NamesJson(host)},
                    {"presets", PresetsJson(host)},
                    {"protects", ProtectsJson(host)},
                    {"you", label}};
  if (!bridgeName.isEmpty()) state.insert("name", bridgeName);
  return compact(state);
}

void WebServer::routeChanged(int output) {
  if (output < 1 || output > routing::kOutputs) return;
  dirtyOutputs[size_t(output)] = true;
  mark(0);
}
void WebServer::namesChanged() { mark(kNames); }
void WebServer::presetsChanged() { mark(kPresets); }
void WebServer::linkChanged() { mark(kLink); }
void WebServer::deviceChanged() { mark(kDevice); }
void WebServer::protectChanged(int output) {
  if (output < 1 || output > routing::kOutputs) return;
  dirtyProtects[size_t(output)] = true;
  mark(0);
}

void WebServer::mark(unsigned what) {
  dirty |= what;
  if (flushQueued) return;
  flushQueued = true;
  // After the rest of this turn: a burst read in one go leaves as one message.
  QMetaObject::invokeMethod(this, [this] { flush(); }, Qt::QueuedConnection);
}

void WebServer::flush() {
  flushQueued = false;
  const unsigned what = dirty;
  dirty = 0;
  std::vector<bool> outputs(routing::kOutputs + 1, false);
  outputs.swap(dirtyOutputs);
  std::vector<bool> protects(routing::kOutputs + 1, false);
  protects.swap(dirtyProtects);
  if (clients.isEmpty()) return;
  if (what & kDevice) {
    // A new size redraws the grid.
    for (QWebSocket* ws : clients.keys())
      if (auto it = clients.constFind(ws); it != clients.cend()) send(ws, QString::fromUtf8(stateMessage(it->label)));
    return;
  }
  QJsonObject change{{"type", "change"}};
  if (what & kLink) change.insert("link", LinkJson(host.link()));
  if (what & kNames) change.insert("names", NamesJson(host));
  if (what & kPresets) change.insert("presets", PresetsJson(host));
  QJsonArray routes;
  const int count = OutputCount(host.device());
  for (int o = 1; o <= count; ++o) {
    if (!outputs[size_t(o)]) continue;
    const QJsonArray r = RouteJson(host.route(o)).toArray();
    routes.append(QJsonArray{o, r[0], r[1]});
  }
  if (!routes.isEmpty()) change.insert("routes", routes);
  QJsonArray held;
  for (int o = 1; o <= count; ++o)
    if (protects[size_t(o)]) held.append(ProtectJson(host, o));
  if (!held.isEmpty()) change.insert("protects", held);
  if (change.size() == 1) return;
  const QByteArray message = compact(change);
  const QString text = QString::fromUtf8(message);
  for (QWebSocket* ws : clients.keys())
    if (clients.contains(ws)) send(ws, text);
}

}  // namespace web
