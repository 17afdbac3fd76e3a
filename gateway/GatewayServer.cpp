#include "GatewayServer.h"

#include "CommandFramer.h"

#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <utility>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace gateway {

namespace {
constexpr int kMaxPort = 65535;
// A client closing cleanly may leave this much unread; more is not worth waiting for.
constexpr int kDrainOnClose = 64 * 1024;

// Peer address of an accepted descriptor; IPv4 also when mapped into IPv6.
bool peerOf(int fd, QHostAddress* address, quint16* port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
  address->setAddress(reinterpret_cast<const sockaddr*>(&ss));
  bool v4 = false;
  const quint32 ip4 = address->toIPv4Address(&v4);
  if (v4) address->setAddress(ip4);
  *port = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return !address->isNull();
}

QString hostPort(const QHostAddress& address, quint16 port) {
  const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                           ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                           : address.toString();
  return host + QLatin1Char(':') + QString::number(port);
}

// Hands every accepted descriptor to the gateway before Qt wraps it in a socket, so that a
// refused peer is closed before any of its bytes is read.
class Listener final : public QTcpServer {
 public:
  Listener(std::function<void(qintptr)> onAccept, QObject* parent)
      : QTcpServer(parent), onAccept(std::move(onAccept)) {}

 protected:
  void incomingConnection(qintptr descriptor) override { onAccept(descriptor); }

 private:
  std::function<void(qintptr)> onAccept;
};
}  // namespace

// One client: a non-blocking descriptor read and written directly, so that its backlog is
// judged after the kernel has taken what it will.
class GatewayClient final : public QObject {
 public:
  GatewayClient(GatewayServer& server, int fd, QString label)
      : QObject(&server),
        label(std::move(label)),
        server(server),
        fd(fd),
        readNotifier(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
        writeNotifier(new QSocketNotifier(fd, QSocketNotifier::Write, this)) {
    writeNotifier->setEnabled(false);
    // Level-triggered: a client with more waiting is read again on the next turn.
    connect(readNotifier, &QSocketNotifier::activated, this, &GatewayClient::readSome);
    connect(writeNotifier, &QSocketNotifier::activated, this, [this] {
      if (!flush()) this->server.drop(this, false);
    });
  }
  ~GatewayClient() override { close(true); }

  bool isOpen() const { return fd >= 0; }
  qint64 backlog() const { return out.size() - sent; }

  // Writes what the kernel takes now and keeps the rest. False when the client must go: a
  // write failed, or what it left unread of earlier sends (once the kernel has taken what it
  // will) passed kMaxBacklog. The new bytes do not count, so a client that keeps reading is
  // never dropped for one large burst that a busy console handed over in a single turn.
  bool send(const char* data, int size) {
    if (fd < 0) return true;
    if (!flush()) return false;
    const qint64 unread = backlog();
    if (unread == 0) {
      const int taken = writeSome(data, size);
      if (taken < 0) return false;
      if (taken == size) return true;
      out.append(data + taken, size - taken);
      writeNotifier->setEnabled(true);
      return true;
    }
    out.append(data, size);
    return unread <= kMaxBacklog;
  }
  bool send(const QByteArray& bytes) { return send(bytes.constData(), int(bytes.size())); }

  // clean: hand the kernel what is left and end with FIN; else reset at once.
  void close(bool clean) {
    if (fd < 0) return;
    delete readNotifier;
    delete writeNotifier;
    readNotifier = writeNotifier = nullptr;
    if (clean) {
      flush();
      // Unread input would turn the close into a reset.
      char sink[4096];
      for (int drained = 0; drained < kDrainOnClose;) {
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) break;
        drained += int(n);
      }
      ::shutdown(fd, SHUT_WR);
    } else {
      const linger reset{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ::close(fd);
    fd = -1;
    out.clear();
    sent = 0;
  }

  const QString label;

 private:
  // Bytes the kernel took, 0 when it is full, -1 on a failure.
  int writeSome(const char* data, int size) {
    int done = 0;
    while (done < size) {
      const ssize_t w = ::send(fd, data + done, size_t(size - done), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0) {
        done += int(w);
      } else if (w < 0 && errno == EINTR) {
        continue;
      } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      } else {
        return -1;
      }
    }
    return done;
  }

  bool flush() {
    if (fd < 0) return true;
    const int taken = writeSome(out.constData() + sent, int(backlog()));
    if (taken < 0) return false;
    sent += taken;
    if (backlog() == 0) {
      out.clear();
      sent = 0;
    } else if (sent > out.size() / 2) {
      out.remove(0, sent);
      sent = 0;
    }
    if (writeNotifier) writeNotifier->setEnabled(backlog() > 0);
    return true;
  }

  void readSome() {
    static char buffer[kReadPerTurn];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // Gone, perhaps mid-command: the framer's unfinished bytes go with it.
      server.drop(this, n == 0);
      return;
    }
    const QPointer<GatewayClient> self(this);
    for (const framing::CommandFramer::Frame& frame : framer.push(QByteArray(buffer, int(n)))) {
      server.command(this, frame.overflow ? QByteArray() : frame.command);
      // The host may have stopped the gateway or dropped this client meanwhile.
      if (!self || !isOpen()) return;
    }
  }

  GatewayServer& server;
  int fd;
  QSocketNotifier* readNotifier;
  QSocketNotifier* writeNotifier;
  framing::CommandFramer framer;
  QByteArray out;  // unsent output from index sent on
  qsizetype sent = 0;
};

GatewayServer::GatewayServer(GatewayHost& host, QObject* parent) : QObject(parent), host(host) {}

GatewayServer::~GatewayServer() { stop(); }

QString GatewayServer::start(const Settings& s) {
  if (!s.problem.isEmpty()) return s.problem;
  stop();
  QHostAddress address;
  const QString bind = s.bind.trimmed();
  if (bind.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
    address = QHostAddress(QHostAddress::LocalHost);
  } else if (!ParseAddress(bind, &address)) {
    return tr("Gateway: Bind=%1 is not an IP address.").arg(bind);
  }
  if (s.port < 0 || s.port > kMaxPort)
    return tr("Gateway: Port=%1 is not a TCP port (1 to %2).").arg(s.port).arg(kMaxPort);
  if (s.maxClients < 1) return tr("Gateway: MaxClients=%1 must be 1 or more.").arg(s.maxClients);
  QList<Range> ranges;
  QString error;
  if (!ParseAllow(s.allow, &ranges, &error)) return tr("Gateway: ") + error;
  const bool loopback = IsLoopback(address);
  if (!loopback && ranges.isEmpty()) {
    return tr("Gateway: Bind=%1 is not a loopback address, so Allow must name the clients "
              "that may connect (for example Allow=192.168.1.0/24).")
        .arg(bind);
  }

  auto* server = new Listener([this](qintptr fd) { admit(fd); }, this);
  if (!server->listen(address, quint16(s.port))) {
    const QString where = hostPort(address, quint16(s.port));
    switch (server->serverError()) {
      case QAbstractSocket::AddressInUseError:
        error = tr("Gateway: %1 is already in use by another program.").arg(where);
        break;
      case QAbstractSocket::SocketAddressNotAvailableError:
        error = tr("Gateway: %1 cannot be bound: %2 is not an address of this machine.")
                    .arg(where, address.toString());
        break;
      case QAbstractSocket::SocketAccessError:
        error = tr("Gateway: no permission to listen on %1.").arg(where);
        break;
      default:
        error = tr("Gateway: cannot listen on %1: %2.").arg(where, server->errorString());
        break;
    }
    delete server;
    return error;
  }
  listener = server;
  settings = s;
  allow = ranges;
  loopbackOnly = loopback;
  return {};
}

void GatewayServer::stop() {
  const bool hadClients = !clients.empty();
  const std::vector<GatewayClient*> all = std::move(clients);
  clients.clear();
  for (GatewayClient* c : all) {
    c->close(true);
    c->deleteLater();
  }
  delete listener;
  listener = nullptr;
  outgoing.clear();
  if (hadClients) emit clientCountChanged(0);
}

bool GatewayServer::isListening() const { return listener && listener->isListening(); }

quint16 GatewayServer::port() const { return listener ? listener->serverPort() : 0; }

QString GatewayServer::listenText() const {
  return listener ? hostPort(listener->serverAddress(), listener->serverPort()) : QString();
}

bool GatewayServer::allowed(const QHostAddress& peer) const {
  if (loopbackOnly && !IsLoopback(peer)) return false;
  if (allow.isEmpty()) return true;
  for (const Range& r : allow) {
    if (r.contains(peer)) return true;
  }
  return false;
}

void GatewayServer::admit(qintptr descriptor) {
  const int fd = int(descriptor);
  QHostAddress peer;
  quint16 peerPort = 0;
  if (!peerOf(fd, &peer, &peerPort) || !allowed(peer) ||
      int(clients.size()) >= settings.maxClients) {
    ::close(fd);
    return;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  // Replies are single short lines: waiting to coalesce them would only add latency.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  clients.push_back(new GatewayClient(*this, fd, hostPort(peer, peerPort)));
  emit clientCountChanged(clientCount());
}

void GatewayServer::command(GatewayClient* client, const QByteArray& text) {
  const char* reply = nullptr;
  if (text.isEmpty()) {
    reply = kErrorLine;  // more than a command's worth without a terminator
  } else if (settings.readOnly) {
    reply = kReadOnlyLine;
  } else if (!host.linkReady()) {
    reply = kLinkClosedLine;
  } else {
    host.sendCommand(text, client->label);
    return;
  }
  if (!client->send(reply, int(qstrlen(reply)))) drop(client, false);
}

void GatewayServer::tell(const QString& clientLabel, const char* line) {
  for (GatewayClient* client : clients) {
    if (client->label != clientLabel) continue;
    if (!client->send(line, int(qstrlen(line)))) drop(client, false);
    return;
  }
}

void GatewayServer::switcherBytes(const char* data, int size) {
  outgoing += lines.push(data, size);
  if (outgoing.isEmpty() || broadcastQueued) return;
  broadcastQueued = true;
  QMetaObject::invokeMethod(this, &GatewayServer::broadcast, Qt::QueuedConnection);
}

void GatewayServer::broadcast() {
  broadcastQueued = false;
  const QByteArray complete = std::exchange(outgoing, QByteArray());
  if (complete.isEmpty()) return;
  // A client dropped on the way stays allocated until the event loop runs again.
  const std::vector<GatewayClient*> all = clients;
  for (GatewayClient* c : all) {
    if (c->isOpen() && !c->send(complete)) drop(c, false);
  }
}

void GatewayServer::drop(GatewayClient* client, bool clean) {
  if (!client->isOpen()) return;
  client->close(clean);
  clients.erase(std::remove(clients.begin(), clients.end(), client), clients.end());
  client->deleteLater();
  emit clientCountChanged(clientCount());
}

}  // namespace gateway
