#include "WebListener.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace web {

namespace {
constexpr int kMaxPort = 65535;
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
    start(kHttpIdleMs);
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

Listener::Listener(QObject* parent) : QTcpServer(parent) {}

QString Listener::start(const gateway::Settings& s, int maxOpen) {
  // The gateway's core makes the same checks with the same words (gateway/ServerCore.cpp).
  QHostAddress address;
  const QString bind = s.bind.trimmed();
  if (bind.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) address = QHostAddress(QHostAddress::LocalHost);
  else if (!gateway::ParseAddress(bind, &address)) return tr("Web: Bind=%1 is not an IP address.").arg(bind);
  if (s.port < 0 || s.port > kMaxPort) return tr("Web: Port=%1 is not a TCP port (1 to %2).").arg(s.port).arg(kMaxPort);
  if (s.maxClients < 1) return tr("Web: MaxClients=%1 must be 1 or more.").arg(s.maxClients);
  QList<gateway::Range> ranges;
  QString error;
  if (!gateway::ParseAllow(s.allow, &ranges, &error)) return QStringLiteral("Web: ") + error;
  const bool loopback = gateway::IsLoopback(address);
  if (!loopback && address.protocol() == QAbstractSocket::IPv6Protocol)
    return tr("Web: Bind=%1 is an IPv6 address; clients are admitted by IPv4 address only, so use "
              "Bind=0.0.0.0 (or an IPv4 address of this machine), or ::1 for this machine alone.")
        .arg(bind);
  if (!loopback && ranges.isEmpty())
    return tr("Web: Bind=%1 is not a loopback address, so Allow must name the clients that may "
              "connect (for example Allow=192.168.1.0/24).")
        .arg(bind);
  if (!listen(address, quint16(s.port))) {
    const QString where = HostPort(address, quint16(s.port));
    switch (serverError()) {
      case QAbstractSocket::AddressInUseError: return tr("Web: %1 is already in use by another program.").arg(where);
      case QAbstractSocket::SocketAddressNotAvailableError:
        return tr("Web: %1 cannot be bound: %2 is not an address of this machine.").arg(where, address.toString());
      case QAbstractSocket::SocketAccessError: return tr("Web: no permission to listen on %1.").arg(where);
      default: return tr("Web: cannot listen on %1: %2.").arg(where, errorString());
    }
  }
  allow = ranges;
  loopbackOnly = loopback;
  maxConnections = maxOpen;
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
  if (!socket->setSocketDescriptor(descriptor) || !allowed(unmapped(socket->peerAddress())) || open >= maxConnections) {
    socket->abort();
    delete socket;
    return;
  }
  // A route's change follows the request's "done" at once: Nagle would hold it for the ACK.
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  ++open;
  connect(socket, &QObject::destroyed, this, [this] { --open; });
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
