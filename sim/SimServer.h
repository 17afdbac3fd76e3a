#pragma once
// switcher-sim's transports: a TCP server with any number of clients, and a tty (the master
// of a pseudo-terminal, or a serial device). Every client has its own command framer and
// reply queue; all share one SwitcherCore.

#include "SwitcherCore.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

namespace sim {

// 10 bits per byte (start, 8 data, stop) at 9600 baud.
constexpr std::chrono::microseconds kByteTimeAt9600{1042};
// Pause between the pieces of a reply under --chunk, long enough that the peer sees them in
// separate reads.
constexpr std::chrono::milliseconds kChunkGap{2};
// Reply bytes queued per client before its input is no longer read: a client that sends
// commands but never reads cannot make the simulator grow without bound.
constexpr qint64 kMaxPendingReply = 1 << 20;
// Input is taken in slices so that the reply cap is checked between them.
constexpr int kInputSlice = 512;
// What the TCP socket buffers for us before the kernel (and TCP flow control) takes over.
constexpr qint64 kSocketReadBuffer = 64 * 1024;
constexpr int kMaxTcpClients = 32;
// What a switcher that refuses a command (as some do when busy) answers instead.
constexpr char kRefusalText[] = "E01";

struct ServeOptions {
  bool quiet = false;
  bool silent = false;
  bool pace = false;
  int chunk = 0;  // 0 = whole replies
  std::chrono::milliseconds replyDelay{0};
  // Sent as a line when a client connects, the pty is opened and after a power cycle.
  QByteArray greeting;
  // Added to the delay of the first type and version replies of each link session.
  std::chrono::milliseconds lateType{0};
  int refuseEvery = 0;  // 0 = never
};

class Connection;

// The switcher behind every link: the core, the options, and the faults that can change
// while it runs (silence, a power cycle, a dropped link). Front-panel routes and the greeting
// after a power cycle go out on every connection.
class Device final : public QObject {
  Q_OBJECT
 public:
  Device(SwitcherCore& core, const ServeOptions& options, QObject* parent);

  // One complete command from a link: its reply lines, or nothing while the switcher is
  // off. Under refuseEvery the Nth command is not carried out and answers the error line.
  QByteArray run(const QByteArray& command);
  // Silent: commands still act, but replies and reports are lost (as with --silent).
  bool answering() const { return !silent && !off; }
  bool poweredOff() const { return off; }
  void setSilent(bool on) { silent = on; }
  void setLateType(std::chrono::milliseconds ms) { options.lateType = ms; }
  void setRefuseEvery(int n) { options.refuseEvery = n; }
  // A route set on the front panel: "av", "v" or "a"; false for a bad input, output or level.
  bool frontPanelRoute(int input, int output, const QByteArray& level);
  // Off for `off` (commands are lost), then the routing at start and the greeting.
  void powerCycle(std::chrono::milliseconds offFor);
  // Closes every link; the transports take new ones as before.
  void dropLinks() { emit dropRequested(); }

  const ServeOptions& settings() const { return options; }
  SwitcherCore& switcher() { return core; }
  quint64 commandCount() const { return commands; }
  quint64 refusedCount() const { return refused; }

  void attach(Connection* connection);

 signals:
  void dropRequested();
  void poweredOn();

 private:
  void broadcast(const QByteArray& bytes);

  SwitcherCore& core;
  ServeOptions options;
  bool silent = false;
  bool off = false;
  quint64 commands = 0;
  quint64 refused = 0;
  std::vector<Connection*> connections;
  QTimer powerTimer;
};

// One byte stream to a client: frames its commands, runs them on the shared core, logs them
// and writes the replies with the fault options applied.
class Connection : public QObject {
  Q_OBJECT
 public:
  Connection(Device& device, QString name, QObject* parent);

  // Bytes the switcher sends on its own (front-panel reports, the greeting), in order after
  // the replies already waiting.
  void sendUnasked(const QByteArray& bytes);
  // A new link session: the first type and version replies late again, and the greeting
  // (after greetAfter).
  void startSession(std::chrono::milliseconds greetAfter = std::chrono::milliseconds{0});

 protected:
  // Feeds received bytes to the core and queues the reply.
  void receive(const QByteArray& bytes);
  // False while the replies waiting to go out exceed kMaxPendingReply.
  // Notes a stall so that input is resumed once the replies have drained.
  bool wantsInput();
  // The transport calls this when it has written some of its buffer.
  void transportDrained();

  // Hands bytes to the transport, which buffers what it cannot write at once.
  virtual void transportWrite(const QByteArray& bytes) = 0;
  virtual qint64 transportPending() const = 0;
  // Called when input may be read again after wantsInput() was false.
  virtual void resumeInput() = 0;

 private:
  struct Reply {
    QByteArray bytes;
    QDeadlineTimer due;
  };
  void pump();
  qint64 queuedBytes() const;

  Device& device;
  const ServeOptions& options;
  bool typeLate = false;
  bool versionLate = false;
  QString name;
  CommandFramer framer;
  std::deque<Reply> replies;
  QTimer pumpTimer;
  QElapsedTimer clock;
  // Under --pace, clock times in ns: when the line is free for the next byte, and when the
  // slice being sent will have gone through it (0 = no slice under way).
  qint64 lineFreeAt = 0;
  qint64 sliceDoneAt = 0;
  bool inputStalled = false;
  bool pumping = false;
};

class TcpConnection final : public Connection {
  Q_OBJECT
 public:
  TcpConnection(Device& device, QTcpSocket* socket, QObject* parent);
  void drop();

 private:
  void readInput();
  void transportWrite(const QByteArray& bytes) override;
  qint64 transportPending() const override;
  void resumeInput() override { readInput(); }

  QTcpSocket* socket;
};

// A tty file descriptor (non-blocking, raw), read and written through socket notifiers.
class TtyConnection final : public Connection {
  Q_OBJECT
 public:
  // Takes ownership of fd.
  TtyConnection(Device& device, int fd, QString name, QObject* parent);
  ~TtyConnection() override;

 signals:
  // The device went away or failed; the text says why.
  void failed(const QString& reason);

 private:
  void readInput();
  void flushOutput();
  void transportWrite(const QByteArray& bytes) override;
  qint64 transportPending() const override { return outBuffer.size(); }
  void resumeInput() override;

  int fd;
  QSocketNotifier* readNotifier;
  QSocketNotifier* writeNotifier;
  QByteArray outBuffer;
};

class TcpServer final : public QObject {
  Q_OBJECT
 public:
  TcpServer(Device& device, QObject* parent);
  // False with *error set when the address cannot be bound.
  bool listen(const QHostAddress& address, quint16 port, QString* error);
  quint16 port() const;

 private:
  void acceptClients();

  Device& device;
  QTcpServer* server;
  int clients = 0;
};

// A fresh pseudo-terminal served as the switcher's serial port. A dropped link hangs it up
// (the master is closed) and serves a new one; `link`, when given, is a symbolic link kept
// pointing at the current device, so that a program set up with it finds the new one. Each
// opening of the device by another program starts a link session (the greeting).
class PtyServer final : public QObject {
  Q_OBJECT
 public:
  PtyServer(Device& device, QString link, QObject* parent);
  ~PtyServer() override;
  // False with *error set.
  bool open(QString* error);
  QString path() const { return devicePath; }

 signals:
  void failed(const QString& reason);

 private:
  void close();
  void readOpens();

  Device& device;
  const QString link;
  QString devicePath;
  int keptSlave = -1;
  int watchFd = -1;
  QSocketNotifier* opens = nullptr;
  TtyConnection* tty = nullptr;
};

// Serial line settings for the tty: raw, 9600 8N1, no flow control. False with errno set.
bool configureRawTty(int fd);

}  // namespace sim
