#include "SimServer.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// Under --pace replies go out in slices of this many bytes, one slice per byte-time budget.
constexpr int kPaceSlice = 8;
constexpr qint64 kNsPerMs = 1000000;
// A program that opens a serial port flushes it while it sets the port up: the greeting
// waits this long after the opening so that it is not flushed away.
constexpr std::chrono::milliseconds kGreetingSettle{100};
constexpr size_t kDevicePathSize = 256;

QByteArray withLineEnd(const QByteArray& text) { return text + kLineEnd; }

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

Device::Device(SwitcherCore& core, const ServeOptions& options, QObject* parent)
    : QObject(parent), core(core), options(options), silent(options.silent) {
  powerTimer.setSingleShot(true);
  connect(&powerTimer, &QTimer::timeout, this, [this] {
    off = false;
    this->core.powerOn();
    for (Connection* c : connections) c->startSession();
    emit poweredOn();
  });
}

QByteArray Device::run(const QByteArray& command) {
  if (off) return {};
  ++commands;
  if (options.refuseEvery > 0 && commands % quint64(options.refuseEvery) == 0) {
    ++refused;
    return withLineEnd(kRefusalText);
  }
  return core.execute(command);
}

bool Device::frontPanelRoute(int input, int output, const QByteArray& level) {
  char letter = 0;
  if (level == "av") letter = 'B';
  if (level == "v") letter = 'V';
  if (level == "a") letter = 'A';
  if (off || letter == 0 || input < 0 || input > core.inputs() || output < 1 ||
      output > core.outputs()) {
    return false;
  }
  // The panel changes the matrix as a command would and the switcher reports it the same way.
  const QByteArray reports =
      core.execute(QByteArray::number(input) + letter + QByteArray::number(output) + '.');
  broadcast(reports);
  return true;
}

void Device::powerCycle(std::chrono::milliseconds offFor) {
  off = true;
  powerTimer.start(offFor);
}

void Device::attach(Connection* connection) {
  connections.push_back(connection);
  connect(connection, &QObject::destroyed, this, [this, connection] {
    connections.erase(std::remove(connections.begin(), connections.end(), connection),
                      connections.end());
  });
}

void Device::broadcast(const QByteArray& bytes) {
  for (Connection* c : connections) c->sendUnasked(bytes);
}

Connection::Connection(Device& device, QString name, QObject* parent)
    : QObject(parent), device(device), options(device.settings()), name(std::move(name)) {
  pumpTimer.setSingleShot(true);
  pumpTimer.setTimerType(Qt::PreciseTimer);
  connect(&pumpTimer, &QTimer::timeout, this, &Connection::pump);
  clock.start();
  typeLate = versionLate = options.lateType.count() > 0;
  device.attach(this);
}

void Connection::startSession(std::chrono::milliseconds greetAfter) {
  typeLate = versionLate = options.lateType.count() > 0;
  if (options.greeting.isEmpty()) return;
  if (greetAfter.count() == 0) {
    sendUnasked(withLineEnd(options.greeting));
  } else {
    QTimer::singleShot(greetAfter, this, [this] { sendUnasked(withLineEnd(options.greeting)); });
  }
}

void Connection::sendUnasked(const QByteArray& bytes) {
  if (!device.answering() || bytes.isEmpty()) return;
  replies.push_back({bytes, QDeadlineTimer(0)});
  pump();
}

void Connection::receive(const QByteArray& bytes) {
  QByteArray reply;
  QList<QByteArray> log;
  bool late = false;
  for (const CommandFramer::Frame& frame : framer.push(bytes)) {
    if (frame.overflow) {
      if (!options.quiet) {
        log.append("(more than " + QByteArray::number(kMaxCommandLength) +
                   " bytes without a terminator)");
      }
      if (!device.poweredOff()) reply += withLineEnd(kErrorText);
      continue;
    }
    if (!options.quiet) log.append(frame.command);
    // Only the first identification of a session is late; the replies after it wait behind.
    if (typeLate && frame.command == "/*Type;") {
      typeLate = false;
      late = true;
    }
    if (versionLate && frame.command == "/^Version;") {
      versionLate = false;
      late = true;
    }
    reply += device.run(frame.command);
  }
  for (const QByteArray& command : log) {
    std::printf("%s: %s\n", qPrintable(name), printable(command).constData());
  }
  if (!log.isEmpty()) std::fflush(stdout);
  if (!device.answering() || reply.isEmpty()) return;
  const std::chrono::milliseconds delay =
      options.replyDelay + (late ? options.lateType : std::chrono::milliseconds{0});
  replies.push_back({reply, QDeadlineTimer(delay, Qt::PreciseTimer)});
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

TcpConnection::TcpConnection(Device& device, QTcpSocket* socket, QObject* parent)
    : Connection(device,
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

void TcpConnection::drop() {
  socket->abort();
  deleteLater();
}

void TcpConnection::readInput() {
  while (socket->bytesAvailable() > 0 && wantsInput()) receive(socket->read(kInputSlice));
}

void TcpConnection::transportWrite(const QByteArray& bytes) {
  socket->write(bytes);
  socket->flush();
}

qint64 TcpConnection::transportPending() const { return socket->bytesToWrite(); }

TtyConnection::TtyConnection(Device& device, int fd, QString name, QObject* parent)
    : Connection(device, std::move(name), parent),
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

TcpServer::TcpServer(Device& device, QObject* parent)
    : QObject(parent), device(device), server(new QTcpServer(this)) {
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
    auto* connection = new TcpConnection(device, socket, this);
    ++clients;
    connect(connection, &QObject::destroyed, this, [this] { --clients; });
    connect(&device, &Device::dropRequested, connection, &TcpConnection::drop);
    connection->startSession();
  }
}

PtyServer::PtyServer(Device& device, QString link, QObject* parent)
    : QObject(parent), device(device), link(std::move(link)) {
  connect(&device, &Device::dropRequested, this, [this] {
    // Hung up: the master goes, and the program on the other end sees the device fail.
    close();
    QString error;
    if (!open(&error)) emit failed(error);
  });
}

PtyServer::~PtyServer() { close(); }

bool PtyServer::open(QString* error) {
  int master = -1;
  int slave = -1;
  char buf[kDevicePathSize] = {};
  if (::openpty(&master, &slave, buf, nullptr, nullptr) != 0) {
    *error = QStringLiteral("openpty: ") + QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  if (!configureRawTty(slave)) {
    *error = QStringLiteral("pty settings: ") + QString::fromLocal8Bit(std::strerror(errno));
    ::close(master);
    ::close(slave);
    return false;
  }
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  // Holding the slave open keeps the master readable (no EIO) while no program has the
  // device open. It is never locked, since programs take the device exclusively.
  keptSlave = slave;
  devicePath = QString::fromLocal8Bit(buf);
  tty = new TtyConnection(device, master, QStringLiteral("pty"), this);
  connect(tty, &TtyConnection::failed, this, &PtyServer::failed);

  // Openings of the device by others are what a serial server's connects are to TCP.
  watchFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watchFd >= 0 && ::inotify_add_watch(watchFd, buf, IN_OPEN | IN_CLOSE) >= 0) {
    opens = new QSocketNotifier(watchFd, QSocketNotifier::Read, this);
    connect(opens, &QSocketNotifier::activated, this, &PtyServer::readOpens);
  }

  if (!link.isEmpty()) {
    // Replaced in one step, so that a program opening the link never finds it missing.
    const QByteArray target = link.toLocal8Bit();
    const QByteArray fresh = target + ".new";
    ::unlink(fresh.constData());
    if (::symlink(buf, fresh.constData()) != 0 || ::rename(fresh.constData(), target.constData()) != 0) {
      *error = QStringLiteral("%1: %2").arg(link, QString::fromLocal8Bit(std::strerror(errno)));
      return false;
    }
  }
  return true;
}

void PtyServer::readOpens() {
  alignas(inotify_event) char buf[4096];
  bool opened = false;
  bool closed = false;
  for (;;) {
    const ssize_t r = ::read(watchFd, buf, sizeof buf);
    if (r <= 0) break;
    for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= r;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
      opened |= (event->mask & IN_OPEN) != 0;
      closed |= (event->mask & IN_CLOSE) != 0;
      at += ssize_t(sizeof(inotify_event) + event->len);
    }
  }
  // A real port forgets TIOCEXCL at its last close. The slave held here would keep it set
  // after a program that took the device died without releasing it (a watchdog's SIGABRT),
  // and its restart would find the device busy.
  if (closed && keptSlave >= 0) ::ioctl(keptSlave, TIOCNXCL);
  if (opened && tty) tty->startSession(kGreetingSettle);
}

void PtyServer::close() {
  delete opens;
  opens = nullptr;
  if (watchFd >= 0) ::close(watchFd);
  watchFd = -1;
  delete tty;
  tty = nullptr;
  if (keptSlave >= 0) ::close(keptSlave);
  keptSlave = -1;
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
