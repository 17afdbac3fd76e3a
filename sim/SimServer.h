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

struct ServeOptions {
  bool quiet = false;
  bool silent = false;
  bool pace = false;
  int chunk = 0;  // 0 = whole replies
  std::chrono::milliseconds replyDelay{0};
};

// One byte stream to a client: frames its commands, runs them on the shared core, logs them
// and writes the replies with the fault options applied.
class Connection : public QObject {
  Q_OBJECT
 public:
  Connection(SwitcherCore& core, const ServeOptions& options, QString name, QObject* parent);

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

  SwitcherCore& core;
  ServeOptions options;
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
  TcpConnection(SwitcherCore& core, const ServeOptions& options, QTcpSocket* socket,
                QObject* parent);

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
  TtyConnection(SwitcherCore& core, const ServeOptions& options, int fd, QString name,
                QObject* parent);
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
  TcpServer(SwitcherCore& core, const ServeOptions& options, QObject* parent);
  // False with *error set when the address cannot be bound.
  bool listen(const QHostAddress& address, quint16 port, QString* error);
  quint16 port() const;

 private:
  void acceptClients();

  SwitcherCore& core;
  ServeOptions options;
  QTcpServer* server;
  int clients = 0;
};

// Serial line settings for the tty: raw, 9600 8N1, no flow control. False with errno set.
bool configureRawTty(int fd);

}  // namespace sim
