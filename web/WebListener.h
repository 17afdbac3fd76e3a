#pragma once
// The page's TCP listener: admits peers by the gateway's rules (Bind, Allow, loopback only
// unless Allow) before any byte is read, bounds the connections open at once, and closes an
// HTTP connection that sends no complete request for a while or a request that grows past a
// bound. Admitted peers go to the HTTP server as ordinary sockets.

#include "GatewaySettings.h"

#include <QHash>
#include <QList>
#include <QTcpServer>

class QTcpSocket;

namespace web {

// An HTTP connection with no request for this long is closed (a WebSocket is not); a new
// connection must send its first request sooner.
constexpr int kHttpIdleMs = 10000;
constexpr int kFirstRequestMs = 3000;
// Bytes of one HTTP request (headers and body) before the connection is closed.
constexpr qint64 kMaxHttpRequest = 64 * 1024;

class ConnectionSlot;

class Listener final : public QTcpServer {
  Q_OBJECT
 public:
  explicit Listener(QObject* parent = nullptr);
  // Checks the settings as the gateway's core does and listens; the error text begins with
  // the section's name ("Web: "). One peer address holds at most maxPerPeer of the
  // maxConnections.
  QString start(const gateway::Settings& settings, int maxConnections, int maxPerPeer,
                const QString& section = QStringLiteral("Web"));
  int connectionCount() const { return open; }

  // The server read a complete request on the socket: its idle clock and byte count restart.
  static void requestSeen(QTcpSocket* socket);
  // The socket became a WebSocket: no idle or size limit from here on.
  static void upgraded(QTcpSocket* socket);

 protected:
  void incomingConnection(qintptr descriptor) override;

 private:
  friend class ConnectionSlot;
  bool allowed(const class QHostAddress& peer) const;

  QList<gateway::Range> allow;
  bool loopbackOnly = true;
  int maxConnections = 1;
  int maxPerPeer = 1;
  int open = 0;
  QHash<QString, int> openByPeer;
};

// "ADDR:PORT", "[::1]:PORT" for IPv6, an IPv4 peer mapped into IPv6 shown as IPv4.
QString HostPort(const class QHostAddress& address, quint16 port);

}  // namespace web
