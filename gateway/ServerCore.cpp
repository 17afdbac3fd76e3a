#include "ServerCore.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace gateway {

namespace {
// A client closing cleanly may leave this much unread; more is not worth waiting for.
constexpr int kDrainOnClose = 64 * 1024;
// While a lingering client still has work outstanding, how often to look again: the quiet
// time counts from the last look that found work.
constexpr qint64 kLingerPoll = 50;

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

}  // namespace

// Hands every accepted descriptor to the core before Qt wraps it in a socket, so that a
// refused peer is closed before any of its bytes is read.
class CoreListener final : public QTcpServer {
 public:
  CoreListener(ServerCore& core) : QTcpServer(&core), core(core) {}

 protected:
  void incomingConnection(qintptr descriptor) override { core.admit(descriptor); }

 private:
  ServerCore& core;
};

// One client: a non-blocking descriptor read and written directly, so that its backlog is
// judged after the kernel has taken what it will.
class CoreClient final : public QObject, public ClientHandle {
 public:
  CoreClient(ServerCore& core, int fd, QString label)
      : QObject(&core),
        label_(std::move(label)),
        core(core),
        fd(fd),
        readNotifier(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
        writeNotifier(new QSocketNotifier(fd, QSocketNotifier::Write, this)) {
    writeNotifier->setEnabled(false);
    // Level-triggered: a client with more waiting is read again on the next turn.
    connect(readNotifier, &QSocketNotifier::activated, this, &CoreClient::readSome);
    connect(writeNotifier, &QSocketNotifier::activated, this, [this] {
      if (!flush()) drop(false);
    });
  }
  ~CoreClient() override { shut(true); }

  const QString& label() const override { return label_; }
  bool isOpen() const override { return fd >= 0; }
  qint64 backlog() const override { return out.size() - sent; }
  ClientProtocol& protocol() override { return *proto; }

  // Writes what the kernel takes now and keeps the rest. The client goes when a write failed,
  // or when what it left unread of earlier sends (once the kernel has taken what it will)
  // passed kMaxBacklog. The new bytes do not count, so a client that keeps reading is never
  // dropped for one large burst that a busy console handed over in a single turn.
  bool send(const char* data, int size) override {
    if (fd < 0) return false;
    if (lingering) quietSince.start();
    if (!flush()) return drop(false);
    const qint64 unread = backlog();
    if (unread == 0) {
      const int taken = writeSome(data, size);
      if (taken < 0) return drop(false);
      if (taken == size) return true;
      out.append(data + taken, size - taken);
      writeNotifier->setEnabled(true);
      return true;
    }
    out.append(data, size);
    return unread <= kMaxBacklog || drop(false);
  }

  void close(bool clean) override { drop(clean); }

  // A peer that closed or reset, and whose end the event loop has not read yet, is handled
  // now (a client that reconnects at once must not find its old slot still taken).
  void reapIfGone() {
    if (fd < 0 || !readNotifier) return;
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) endOfInput();
    else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) drop(false);
  }

  std::unique_ptr<ClientProtocol> proto;

 private:
  // Closes and leaves the core's list; always false, for send()'s answer.
  bool drop(bool clean) {
    if (fd < 0) return false;
    shut(clean);
    core.forget(this);
    return false;
  }

  // clean: hand the kernel what is left and end with FIN; else reset at once.
  void shut(bool clean) {
    if (fd < 0) return;
    delete readNotifier;
    delete writeNotifier;
    readNotifier = writeNotifier = nullptr;
    delete lingerTimer;
    lingerTimer = nullptr;
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
    if (n < 0) {
      drop(false);  // reset by the peer: nobody is left to answer
      return;
    }
    if (n == 0) {
      endOfInput();
      return;
    }
    proto->bytesIn(*this, buffer, int(n));
  }

  // The peer will send no more; it may still read. Kept until its answers are out.
  void endOfInput() {
    delete readNotifier;  // end of input stays readable: stop asking
    readNotifier = nullptr;
    const QPointer<CoreClient> self(this);
    proto->endOfInput(*this);
    if (!self || fd < 0) return;
    // Owed nothing: the slot is free for the next client now.
    if (!proto->outstanding() && !proto->repliesDue() && backlog() == 0) {
      drop(true);
      return;
    }
    lingering = true;
    ended.start();
    quietSince.start();
    lingerTimer = new QTimer(this);
    lingerTimer->setSingleShot(true);
    connect(lingerTimer, &QTimer::timeout, this, &CoreClient::lingerCheck);
    lingerCheck();
  }

  void lingerCheck() {
    if (fd < 0) return;
    const bool busy = proto->outstanding() || backlog() > 0;
    if (busy) quietSince.start();
    const qint64 left = kLingerMax - ended.elapsed();
    const qint64 quietLeft = busy ? kLingerPoll : kLingerQuiet - quietSince.elapsed();
    if (left <= 0 || quietLeft <= 0) {
      drop(true);
      return;
    }
    lingerTimer->start(int(std::min(left, quietLeft)) + 1);
  }

  const QString label_;
  ServerCore& core;
  int fd;
  QSocketNotifier* readNotifier;
  QSocketNotifier* writeNotifier;
  QByteArray out;  // unsent output from index sent on
  qsizetype sent = 0;
  bool lingering = false;
  QElapsedTimer ended;       // since the end of input
  QElapsedTimer quietSince;  // since the last send, or the last look that found work
  QTimer* lingerTimer = nullptr;
};

ServerCore::ServerCore(QString name, ProtocolFactory factory, QObject* parent)
    : QObject(parent), name(std::move(name)), factory(std::move(factory)) {}

ServerCore::~ServerCore() { stop(); }

QString ServerCore::start(const Settings& s) {
  stop();
  QHostAddress address;
  QList<Range> ranges;
  const QString problem = CheckListen(name, s, &address, &ranges);
  if (!problem.isEmpty()) return problem;
  const bool loopback = IsLoopback(address);
  auto* server = new CoreListener(*this);
  if (!server->listen(address, quint16(s.port))) {
    const QString error = ListenFailure(name, address, quint16(s.port), *server);
    delete server;
    return error;
  }
  listener = server;
  settings = s;
  allow = ranges;
  loopbackOnly = loopback;
  return {};
}

void ServerCore::stop() {
  const bool hadClients = !clients.empty();
  const std::vector<CoreClient*> all = std::move(clients);
  clients.clear();
  for (CoreClient* c : all) {
    c->close(true);
    c->deleteLater();
    emit clientGone(c->label());
  }
  delete listener;
  listener = nullptr;
  if (hadClients) emit clientCountChanged(0);
}

bool ServerCore::isListening() const { return listener && listener->isListening(); }

quint16 ServerCore::port() const { return listener ? listener->serverPort() : 0; }

QString ServerCore::listenText() const {
  return listener ? HostPort(listener->serverAddress(), listener->serverPort()) : QString();
}

std::vector<ClientHandle*> ServerCore::clientList() const { return {clients.begin(), clients.end()}; }

ClientHandle* ServerCore::find(const QString& label) const {
  for (CoreClient* c : clients) {
    if (c->isOpen() && c->label() == label) return c;
  }
  return nullptr;
}

void ServerCore::sendToAll(const QByteArray& bytes) {
  // A client dropped on the way stays allocated until the event loop runs again.
  for (ClientHandle* c : clientList()) {
    if (c->isOpen()) c->send(bytes);
  }
}

bool ServerCore::allowed(const QHostAddress& peer) const {
  if (loopbackOnly && !IsLoopback(peer)) return false;
  if (allow.isEmpty()) return true;
  for (const Range& r : allow) {
    if (r.contains(peer)) return true;
  }
  return false;
}

void ServerCore::admit(qintptr descriptor) {
  const int fd = int(descriptor);
  QHostAddress peer;
  quint16 peerPort = 0;
  if (int(clients.size()) >= settings.maxClients) {
    for (CoreClient* c : std::vector<CoreClient*>(clients)) c->reapIfGone();
  }
  const bool known = peerOf(fd, &peer, &peerPort);
  if (!known || !allowed(peer) || int(clients.size()) >= settings.maxClients) {
    if (known) ++(allowed(peer) ? rejected.full : rejected.address);
    ::close(fd);
    return;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  // Replies are short: waiting to coalesce them would only add latency.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A peer that vanished (power lost, cable pulled) fails its probes; the read that then fails
  // drops it. Unacknowledged data is given up after as long.
  const int idle = kKeepIdle, interval = kKeepInterval, count = kKeepCount;
  const unsigned userTimeout = unsigned(kKeepIdle + kKeepInterval * kKeepCount) * 1000u;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
  auto* client = new CoreClient(*this, fd, HostPort(peer, peerPort));
  // Counted before its protocol writes: a peer that resets during its first write is dropped
  // (and forgotten) like any other, never kept as a dead slot.
  clients.push_back(client);
  client->proto = factory(*client);
  if (client->isOpen()) emit clientCountChanged(clientCount());
}

void ServerCore::forget(CoreClient* client) {
  const auto at = std::find(clients.begin(), clients.end(), client);
  if (at == clients.end()) return;  // stop() has it already
  clients.erase(at);
  client->deleteLater();
  // One dropped while its protocol was being made was never announced.
  if (client->proto) emit clientCountChanged(clientCount());
  emit clientGone(client->label());
}

}  // namespace gateway
