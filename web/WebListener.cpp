#include "WebListener.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace web {

namespace {
constexpr char kWatchName[] = "web-request-watch";

// Watches one HTTP connection: its idle time and the bytes of the request under way.
class Watch final : public QTimer {
 public:
  explicit Watch(QTcpSocket* socket) : QTimer(socket) {
    setObjectName(QLatin1String(kWatchName));
    setSingleShot(true);
    connect(this, &QTimer::timeout, socket, &QTcpSocket::abort);
    // Connected before the HTTP server's own slot, so the bytes are seen before they are read.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
      total += socket->bytesAvailable();  // the HTTP server reads all that is there each time
      if (total > kMaxHttpRequest) socket->abort();
    });
    start(kFirstRequestMs);
  }
  qint64 total = 0;
};

QHostAddress unmapped(const QHostAddress& a) {
  bool v4 = false;
  const quint32 ip4 = a.toIPv4Address(&v4);
  return v4 ? QHostAddress(ip4) : a;
}
}  // namespace

QString HostPort(const QHostAddress& address, quint16 port) {
  const QHostAddress a = unmapped(address);
  const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + a.toString() + QLatin1Char(']')
                                                                      : a.toString();
  return host + QLatin1Char(':') + QString::number(port);
}

// Holds one of the listener's slots for as long as its socket lives. A child, not a connection
// to the socket's destroyed signal: QtHttpServer drops the socket's connections when it hands
// it to the WebSocket server, and the slot would never come back.
class ConnectionSlot final : public QObject {
 public:
  ConnectionSlot(QTcpSocket* socket, Listener* owner, const QString& peer)
      : QObject(socket), listener(owner), peer(peer) {
    ++listener->open;
    ++listener->openByPeer[peer];
  }
  ~ConnectionSlot() override {
    if (!listener) return;
    --listener->open;
    if (--listener->openByPeer[peer] <= 0) listener->openByPeer.remove(peer);
  }

 private:
  QPointer<Listener> listener;
  const QString peer;
};

Listener::Listener(QObject* parent) : QTcpServer(parent) {}

QString Listener::start(const gateway::Settings& s, int maxOpen, int maxOpenPerPeer, const QString& section) {
  // The gateway's rules, in its words.
  QHostAddress address;
  QList<gateway::Range> ranges;
  const QString problem = gateway::CheckListen(section, s, &address, &ranges);
  if (!problem.isEmpty()) return problem;
  const bool loopback = gateway::IsLoopback(address);
  if (!listen(address, quint16(s.port))) return gateway::ListenFailure(section, address, quint16(s.port), *this);
  allow = ranges;
  loopbackOnly = loopback;
  maxConnections = maxOpen;
  maxPerPeer = maxOpenPerPeer;
  return {};
}

bool Listener::allowed(const QHostAddress& peer) const {
  if (loopbackOnly && !gateway::IsLoopback(peer)) return false;
  if (allow.isEmpty()) return true;
  for (const gateway::Range& r : allow)
    if (r.contains(peer)) return true;
  return false;
}

void Listener::incomingConnection(qintptr descriptor) {
  auto* socket = new QTcpSocket(this);
  // Nothing is read before the event loop runs again, so a refused peer sends nothing we see.
  const bool ok = socket->setSocketDescriptor(descriptor);
  const QHostAddress peer = unmapped(socket->peerAddress());
  // One address cannot hold every slot: the others still reach the page.
  if (!ok || !allowed(peer) || open >= maxConnections || openByPeer.value(peer.toString()) >= maxPerPeer) {
    socket->abort();
    delete socket;
    return;
  }
  // A route's change follows the request's "done" at once: Nagle would hold it for the ACK.
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  new ConnectionSlot(socket, this, peer.toString());
  new Watch(socket);
  addPendingConnection(socket);  // QTcpServer emits newConnection once this returns
}

void Listener::requestSeen(QTcpSocket* socket) {
  if (auto* w = static_cast<Watch*>(socket->findChild<QTimer*>(QLatin1String(kWatchName), Qt::FindDirectChildrenOnly))) {
    w->total = 0;
    w->start(kHttpIdleMs);
  }
}

void Listener::upgraded(QTcpSocket* socket) {
  delete socket->findChild<QTimer*>(QLatin1String(kWatchName), Qt::FindDirectChildrenOnly);
}

}  // namespace web
