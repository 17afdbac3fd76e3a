#pragma once
// The web control page: the page's files from the resources and one WebSocket per page over
// QtHttpServer, on the owner's event loop. A page gets the whole state when it connects and
// only changes after, all of one event-loop turn in one message; its requests are checked as
// an MQTT command is and handed to the owner (WebHost). Admission is the gateway's (Bind,
// Allow), the WebSocket must come from the page's own origin, and with a password file a
// page needs the session cookie its password earned. QtCore and QtNetwork only.

#include "LoginGuard.h"
#include "WebHost.h"
#include "WebListener.h"
#include "WebSettings.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <vector>

class QHttpServerRequest;
class QTcpSocket;
class QTimer;
class QWebSocket;

namespace web {

// The cookie that carries a page's session when a password is set.
constexpr char kSessionCookie[] = "switcher_session";
// Requests one page may send per second before it is dropped as a flood.
constexpr int kMaxRequestsPerSecond = 100;
// A message or frame larger than this closes the WebSocket (the library refuses it unread).
constexpr int kMaxFrameBytes = 64 * 1024;
// Pages are pinged this often; one that did not answer the last ping is dropped.
constexpr int kPingMs = 15000;
// Sessions kept at once; when full, the least used of the same address goes first.
constexpr int kMaxSessions = 64;
// A session unused this long has ended.
constexpr qint64 kSessionIdleMs = 12 * 3600 * 1000;

class HttpFront;

class WebServer : public QObject {
  Q_OBJECT
 public:
  explicit WebServer(WebHost& host, QObject* parent = nullptr);
  ~WebServer() override;

  // Listens as settings say (port 0: any free one) and reads the password file; an empty text
  // on success, else why not, beginning "Web: ". A running server is stopped first.
  QString start(const Settings& settings);
  // Closes every page and stops listening.
  void stop();
  // Reads the password file again (the bridge's SIGHUP): a changed password ends every
  // session and closes every page. Empty when read, else why not (the password in force stays).
  QString reloadPassword();
  // The bridge's name, sent to pages that connect from now on for their title and header;
  // empty (the console's server): none sent.
  void setName(const QString& name) { bridgeName = name; }
  // For tests: the server's clock (sessions, login waits) jumps ahead.
  void passTime(qint64 ms) { skewMs += ms; }

  bool isListening() const;
  quint16 port() const;
  // "ADDR:PORT" of the listening socket, for the status line.
  QString listenText() const;
  // Pages (WebSockets) open.
  int clientCount() const { return int(clients.size()); }
  // TCP connections held, pages' and others'.
  int connectionCount() const { return listener ? listener->connectionCount() : 0; }

  // The owner's news: sent to every page with the other changes of this event-loop turn.
  void routeChanged(int output);
  void namesChanged();
  void presetsChanged();
  void linkChanged();
  void deviceChanged();
  // The output was protected, released or taken over.
  void protectChanged(int output);

 signals:
  void clientCountChanged(int count);
  // A page's connection closed (by either side): its label, as its commands were sent with.
  void clientGone(const QString& label);

 private:
  friend class HttpFront;
  struct Client {
    QString label;
    QString shown;  // its protects', for people
    QElapsedTimer window;  // the flood check's second
    int inWindow = 0;
    bool pinged = false;   // a ping is out and no pong came back yet
    QByteArray cookie;     // the handshake's: an open page keeps its session alive
  };
  enum Dirty : unsigned { kLink = 1, kNames = 2, kPresets = 4, kDevice = 8 };

  // The HTTP side; true when the request was answered (an upgrade: when it may go ahead).
  bool handle(const QHttpServerRequest& request, QTcpSocket* socket);
  void refuse(const QHttpServerRequest& request, QTcpSocket* socket);
  // Why a WebSocket handshake with these headers may not go ahead (0: it may), as a status.
  int handshakeRefusal(const QByteArray& path, const QByteArray& host, const QByteArray& origin,
                       const QByteArray& cookie) const;
  // Whether the cookie holds a live session; using it keeps it alive.
  bool hasSession(const QByteArray& cookieHeader) const;
  void addSession(const QByteArray& token, const QString& peer);
  qint64 now() const { return clock.elapsed() + skewMs; }
  void login(const QHttpServerRequest& request, QTcpSocket* socket);

  void accept();
  void received(QWebSocket* ws, const QString& text);
  void answer(QWebSocket* ws, const QByteArray& json);
  void send(QWebSocket* ws, const QString& text);
  void drop(QWebSocket* ws);
  void forget(QWebSocket* ws);
  void ping();
  // The whole state, for the page whose commands carry the label (its own protects are told apart).
  QByteArray stateMessage(const QString& label) const;
  // Why the label may not move these outputs ("output 3 is protected by ..."); empty when it may.
  QString protectedBy(const std::vector<int>& outputs, const QString& label) const;
  void mark(unsigned what);
  void flush();

  WebHost& host;
  Settings settings;
  QString bridgeName;
  QByteArray password;
  QPointer<Listener> listener;  // QtHttpServer may take it as its child
  HttpFront* http = nullptr;
  QTimer* pingTimer = nullptr;
  QHash<QWebSocket*, Client> clients;
  struct Session {
    QByteArray token;
    QString peer;
    qint64 used = 0;  // now() when it last let a page in
  };
  mutable QList<Session> sessions;
  LoginGuard logins;  // by peer address
  QElapsedTimer clock;
  qint64 skewMs = 0;

  unsigned dirty = 0;
  std::vector<bool> dirtyOutputs;
  std::vector<bool> dirtyProtects;
  bool flushQueued = false;
};

}  // namespace web
