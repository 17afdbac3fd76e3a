#pragma once
// A TCP listener for the console's remote clients, shared by every protocol it serves (the
// gateway's command language, a router panel's text blocks): where it listens and who may
// connect, how many at once, how much of a client is read per turn, when a client that reads
// too slowly goes, and how a client that half-closes is kept until it had its answers. What
// the bytes mean is the business of one ClientProtocol object per client, made by a factory
// given to the core. QtCore and QtNetwork only.
//
// Life of a client: the core accepts the descriptor and judges the peer (Bind, Allow,
// MaxClients) before any byte is read; a refused peer is closed at once. An admitted one gets
// its protocol object; every read (at most kReadPerTurn per turn) goes to bytesIn(). At end
// of input (the peer half-closed, or closed) the core calls endOfInput(); a client owed
// nothing (neither outstanding() nor repliesDue(), nothing unsent) is closed and its slot
// freed at once, else it is kept while outstanding() holds and until nothing was sent to it
// for kLingerQuiet (at most kLingerMax after the end of input), then closed cleanly. A reset,
// a failed write, a failed keep-alive or a backlog over kMaxBacklog drops the client with a
// reset. Accepted sockets probe an idle peer (kKeepIdle, then every kKeepInterval, kKeepCount
// times), so a panel that lost its power gives its slot back within about a minute.

#include "GatewaySettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace gateway {

// A client whose unsent output passes this is disconnected: it reads too slowly.
constexpr qint64 kMaxBacklog = 1 << 20;
// Read from one client per event-loop turn, so that a flood cannot starve the window.
constexpr int kReadPerTurn = 64 * 1024;
// After end of input: how long nothing must have gone to the client, and the longest stay.
constexpr int kLingerQuiet = 500;
constexpr int kLingerMax = 5000;
// TCP keep-alive on every accepted socket: seconds idle before the first probe, between
// probes, and unanswered probes that end the client.
constexpr int kKeepIdle = 30;
constexpr int kKeepInterval = 10;
constexpr int kKeepCount = 3;

class ClientProtocol;

// One connected client as its protocol sees it. Owned by the core; valid while the protocol
// object lives (a closed client is deleted on a later turn of the event loop).
class ClientHandle {
 public:
  virtual ~ClientHandle() = default;
  // "ADDR:PORT" of the peer ("[::1]:PORT" for IPv6), as the send list shows it.
  virtual const QString& label() const = 0;
  // False once the client was closed (by either side); sends then do nothing.
  virtual bool isOpen() const = 0;
  // Queues bytes for the client, writing what the kernel takes at once. False when the
  // client was dropped for it (a failed write, or too far behind): it is closed by then.
  virtual bool send(const char* data, int size) = 0;
  bool send(const QByteArray& bytes) { return send(bytes.constData(), int(bytes.size())); }
  // clean: what is queued goes, then FIN; else a reset at once.
  virtual void close(bool clean) = 0;
  // Bytes queued for the client that the kernel has not taken yet.
  virtual qint64 backlog() const = 0;
  // This client's protocol object.
  virtual ClientProtocol& protocol() = 0;
};

// What one client's bytes mean. The core calls it on the window's thread only; it may send
// to, or close, its own client or any other from within any call.
class ClientProtocol {
 public:
  virtual ~ClientProtocol() = default;
  // Bytes read from the client, in pieces as they came.
  virtual void bytesIn(ClientHandle& client, const char* data, int size) = 0;
  // The peer sent its last byte (it half-closed, or closed). Work still to do for it goes on.
  virtual void endOfInput(ClientHandle& client) { (void)client; }
  // True while the client waits for work the protocol has taken on (commands accepted and not
  // yet sent): after end of input, the core keeps the client at least as long as this holds
  // (and kLingerMax at most).
  virtual bool outstanding() const { return false; }
  // True when answers may still come for this client that outstanding() does not track (the
  // switcher's reply to a command that went out a moment ago): after end of input the core
  // then waits for kLingerQuiet without a send. False: a client that is owed nothing more
  // goes at once.
  virtual bool repliesDue() const { return false; }
};

// Makes the protocol object of a newly admitted client.
using ProtocolFactory = std::function<std::unique_ptr<ClientProtocol>(ClientHandle&)>;

class CoreClient;
class CoreListener;

class ServerCore : public QObject {
  Q_OBJECT
 public:
  // name starts every message of start() ("Gateway", "Panel").
  ServerCore(QString name, ProtocolFactory factory, QObject* parent = nullptr);
  ~ServerCore() override;

  // Listens on settings.bind:settings.port (port 0: any free port) and admits by
  // settings.allow and settings.maxClients (readOnly is the protocol's). Returns an empty text
  // on success, else why not, beginning "NAME: ": a Bind that is not an address, an IPv6
  // Bind other than ::1 (Allow is IPv4 only), a
  // non-loopback bind without Allow, a bad Allow entry, a port in use, an address that cannot
  // be bound. A running server is stopped first.
  QString start(const Settings& settings);
  // Closes every client cleanly and stops listening.
  void stop();

  bool isListening() const;
  quint16 port() const;
  // "ADDR:PORT" of the listening socket, for the console's status line.
  QString listenText() const;
  int clientCount() const { return int(clients.size()); }
  // Connections closed unread: a peer Bind/Allow does not admit, or one past MaxClients.
  struct Rejections {
    quint64 address = 0;
    quint64 full = 0;
  };
  const Rejections& rejections() const { return rejected; }

  // Every open client, in the order they came; the list is a copy, so a client dropped on the
  // way is skipped by isOpen().
  std::vector<ClientHandle*> clientList() const;
  // The open client with this label, or null.
  ClientHandle* find(const QString& label) const;
  // The same bytes to every open client; a client too far behind is dropped.
  void sendToAll(const QByteArray& bytes);

 signals:
  void clientCountChanged(int count);
  // A client was closed (by either side): what it asked for and still waits may go.
  void clientGone(const QString& label);

 private:
  friend class CoreClient;
  friend class CoreListener;
  void admit(qintptr descriptor);
  bool allowed(const class QHostAddress& peer) const;
  // The client is closed: out of the list, deleted on a later turn.
  void forget(CoreClient* client);

  const QString name;
  ProtocolFactory factory;
  Settings settings;
  Rejections rejected;
  QList<Range> allow;
  bool loopbackOnly = true;
  CoreListener* listener = nullptr;
  std::vector<CoreClient*> clients;
};

}  // namespace gateway
