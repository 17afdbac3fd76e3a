#include "SimServer.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// Under --pace replies go out in slices of this many bytes, one slice per byte-time budget.
constexpr int kPaceSlice = 8;
constexpr qint64 kNsPerMs = 1000000;

// The command as one printable line: control and non-ASCII bytes as \xNN.
QByteArray printable(const QByteArray& bytes) {
  QByteArray out;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f && c != '\\') {
      out += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    }
  }
  return out;
}

}  // namespace

Connection::Connection(SwitcherCore& core, const ServeOptions& options, QString name,
                       QObject* parent)
    : QObject(parent), core(core), options(options), name(std::move(name)) {
  pumpTimer.setSingleShot(true);
  pumpTimer.setTimerType(Qt::PreciseTimer);
  connect(&pumpTimer, &QTimer::timeout, this, &Connection::pump);
  clock.start();
}

void Connection::receive(const QByteArray& bytes) {
  QList<QByteArray> log;
  const QByteArray reply = core.feed(framer, bytes, options.quiet ? nullptr : &log);
  for (const QByteArray& command : log) {
    std::printf("%s: %s\n", qPrintable(name), printable(command).constData());
  }
  if (!log.isEmpty()) std::fflush(stdout);
  if (options.silent || reply.isEmpty()) return;
  replies.push_back({reply, QDeadlineTimer(options.replyDelay, Qt::PreciseTimer)});
  pump();
}

qint64 Connection::queuedBytes() const {
  qint64 n = 0;
  for (const Reply& r : replies) n += r.bytes.size();
  return n;
}

bool Connection::wantsInput() {
  const bool room = queuedBytes() + transportPending() < kMaxPendingReply;
  if (!room) inputStalled = true;
  return room;
}

void Connection::transportDrained() { pump(); }

void Connection::pump() {
  // Transports may report progress from inside a write; the outer call carries on.
  if (pumping) return;
  pumping = true;
  pumpTimer.stop();
  while (!replies.empty() && transportPending() < kMaxPendingReply) {
    Reply& front = replies.front();
    if (!front.due.hasExpired()) {
      pumpTimer.start(std::max<std::chrono::milliseconds>(
          std::chrono::ceil<std::chrono::milliseconds>(front.due.remainingTimeAsDuration()),
          std::chrono::milliseconds{1}));
      break;
    }
    qint64 n = front.bytes.size();
    if (options.chunk > 0) n = std::min<qint64>(n, options.chunk);
    if (options.pace) {
      // A slice is written when its last byte would have arrived over the line.
      n = std::min<qint64>(n, kPaceSlice);
      const qint64 now = clock.nsecsElapsed();
      if (sliceDoneAt == 0) {
        sliceDoneAt =
            std::max(lineFreeAt, now) + n * std::chrono::nanoseconds(kByteTimeAt9600).count();
      }
      if (sliceDoneAt > now) {
        pumpTimer.start(int((sliceDoneAt - now + kNsPerMs - 1) / kNsPerMs));
        break;
      }
      lineFreeAt = sliceDoneAt;
      sliceDoneAt = 0;
    }
    transportWrite(front.bytes.left(int(n)));
    front.bytes.remove(0, int(n));
    if (front.bytes.isEmpty()) replies.pop_front();
    // Under --pace the next turn waits for the line; a chunk needs a gap of its own.
    if (!replies.empty() && options.chunk > 0 && !options.pace) {
      pumpTimer.start(kChunkGap);
      break;
    }
  }
  pumping = false;
  if (inputStalled && queuedBytes() + transportPending() < kMaxPendingReply) {
    inputStalled = false;
    // Queued, so that reading more input never runs inside a write of this connection.
    QMetaObject::invokeMethod(this, [this] { resumeInput(); }, Qt::QueuedConnection);
  }
}

TcpConnection::TcpConnection(SwitcherCore& core, const ServeOptions& options,
                             QTcpSocket* socket, QObject* parent)
    : Connection(core, options,
                 QStringLiteral("tcp %1:%2")
                     .arg(socket->peerAddress().toString())
                     .arg(socket->peerPort()),
                 parent),
      socket(socket) {
  socket->setParent(this);
  socket->setReadBufferSize(kSocketReadBuffer);
  // Pieces written under --chunk must leave as separate segments.
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  connect(socket, &QTcpSocket::readyRead, this, &TcpConnection::readInput);
  connect(socket, &QTcpSocket::bytesWritten, this, [this] { transportDrained(); });
  connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
  readInput();
}

void TcpConnection::readInput() {
  while (socket->bytesAvailable() > 0 && wantsInput()) receive(socket->read(kInputSlice));
}

void TcpConnection::transportWrite(const QByteArray& bytes) {
  socket->write(bytes);
  socket->flush();
}

qint64 TcpConnection::transportPending() const { return socket->bytesToWrite(); }

TtyConnection::TtyConnection(SwitcherCore& core, const ServeOptions& options, int fd,
                             QString name, QObject* parent)
    : Connection(core, options, std::move(name), parent),
      fd(fd),
      readNotifier(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
      writeNotifier(new QSocketNotifier(fd, QSocketNotifier::Write, this)) {
  writeNotifier->setEnabled(false);
  connect(readNotifier, &QSocketNotifier::activated, this, &TtyConnection::readInput);
  connect(writeNotifier, &QSocketNotifier::activated, this, [this] {
    flushOutput();
    transportDrained();
  });
}

TtyConnection::~TtyConnection() {
  readNotifier->setEnabled(false);
  writeNotifier->setEnabled(false);
  ::close(fd);
}

void TtyConnection::readInput() {
  char buf[kInputSlice];
  while (wantsInput()) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r > 0) {
      receive(QByteArray(buf, int(r)));
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    readNotifier->setEnabled(false);
    writeNotifier->setEnabled(false);
    emit failed(r == 0 ? QStringLiteral("end of file") : QString::fromLocal8Bit(std::strerror(errno)));
    return;
  }
  // Too many replies waiting: leave the input in the kernel until they have gone out.
  readNotifier->setEnabled(false);
}

void TtyConnection::resumeInput() {
  if (!readNotifier->isEnabled()) readNotifier->setEnabled(true);
}

void TtyConnection::transportWrite(const QByteArray& bytes) {
  outBuffer += bytes;
  flushOutput();
}

void TtyConnection::flushOutput() {
  while (!outBuffer.isEmpty()) {
    const ssize_t w = ::write(fd, outBuffer.constData(), size_t(outBuffer.size()));
    if (w > 0) {
      outBuffer.remove(0, int(w));
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      writeNotifier->setEnabled(true);
      return;
    }
    outBuffer.clear();
    readNotifier->setEnabled(false);
    writeNotifier->setEnabled(false);
    emit failed(QString::fromLocal8Bit(std::strerror(errno)));
    return;
  }
  writeNotifier->setEnabled(false);
}

TcpServer::TcpServer(SwitcherCore& core, const ServeOptions& options, QObject* parent)
    : QObject(parent), core(core), options(options), server(new QTcpServer(this)) {
  connect(server, &QTcpServer::newConnection, this, &TcpServer::acceptClients);
}

bool TcpServer::listen(const QHostAddress& address, quint16 port, QString* error) {
  if (server->listen(address, port)) return true;
  *error = server->errorString();
  return false;
}

quint16 TcpServer::port() const { return server->serverPort(); }

void TcpServer::acceptClients() {
  while (QTcpSocket* socket = server->nextPendingConnection()) {
    if (clients >= kMaxTcpClients) {
      std::fprintf(stderr, "switcher-sim: refusing a client: %d clients connected\n", clients);
      socket->abort();
      socket->deleteLater();
      continue;
    }
    auto* connection = new TcpConnection(core, options, socket, this);
    ++clients;
    connect(connection, &QObject::destroyed, this, [this] { --clients; });
  }
}

bool configureRawTty(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  t.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace sim
