#include "Swp08Server.h"

#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "Ini.h"
#include "ServerCore.h"

namespace swp08 {

namespace {
constexpr int kBuffer = 256;
constexpr int kMaxMatrix = 15;
constexpr int kReadChunk = 4096;

// One TCP client: its bytes to the shared protocol.
class Session final : public gateway::ClientProtocol {
 public:
  Session(Swp08Protocol& protocol, gateway::ClientHandle& client, quint64 id) : protocol(&protocol), id(id) {
    protocol.join(
        id, client.label(), [&client](const QByteArray& bytes) { client.send(bytes); },
        [&client] { client.close(false); });
  }
  ~Session() override {
    if (protocol) protocol->leave(id);
  }
  void bytesIn(gateway::ClientHandle&, const char* data, int size) override {
    if (protocol) protocol->bytesIn(id, data, size);
  }
  // A client that half-closed after a connect still hears it.
  bool outstanding() const override { return protocol && protocol->waiting(id); }

 private:
  QPointer<Swp08Protocol> protocol;
  const quint64 id;
};

bool toSpeed(int baud, speed_t* out) {
  static const struct {
    int baud;
    speed_t speed;
  } speeds[] = {{9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                {115200, B115200}, {230400, B230400}, {460800, B460800}};
  for (const auto& s : speeds) {
    if (s.baud == baud) {
      *out = s.speed;
      return true;
    }
  }
  return false;
}
}  // namespace

Extras ReadExtras(const QString& fileName) {
  Extras e;
  const QByteArray matrix = platform::GetPrivateProfileString(kSection, "Matrix", "0", kBuffer, fileName).trimmed();
  bool ok = false;
  e.matrix = matrix.toInt(&ok);
  if (!ok || e.matrix < 0 || e.matrix > kMaxMatrix) {
    e.problem = QStringLiteral("SWP08: Matrix=%1 in %2 must be 0 to %3.").arg(QString::fromLatin1(matrix), fileName).arg(kMaxMatrix);
    e.matrix = 0;
  }
  e.device = QString::fromUtf8(platform::GetPrivateProfileString(kSection, "Device", "", kBuffer, fileName)).trimmed();
  const QByteArray baud = platform::GetPrivateProfileString(kSection, "Baud", "", kBuffer, fileName).trimmed();
  if (!baud.isEmpty()) {
    e.baud = baud.toInt(&ok);
    speed_t speed;
    if ((!ok || !toSpeed(e.baud, &speed)) && e.problem.isEmpty())
      e.problem = QStringLiteral("SWP08: Baud=%1 in %2 must be 9600, 19200, 38400, 57600, 115200, 230400 or 460800.")
                      .arg(QString::fromLatin1(baud), fileName);
    if (!ok) e.baud = kDefaultBaud;
  }
  return e;
}

gateway::Settings ReadServerSettings(const QString& fileName) {
  gateway::Settings s = gateway::ReadSettings(fileName, kSection);
  s.maxClients = platform::GetPrivateProfileInt(kSection, "MaxClients", kDefaultMaxClients, fileName);
  return s;
}

Swp08Server::Swp08Server(Swp08Host& host, Options options, QObject* parent)
    : QObject(parent), codec(new Swp08Protocol(host, options, this)) {
  serverCore = new gateway::ServerCore(
      QStringLiteral("SW-P-08"),
      [this](gateway::ClientHandle& client) -> std::unique_ptr<gateway::ClientProtocol> {
        return std::make_unique<Session>(*codec, client, nextId++);
      },
      this);
  connect(serverCore, &gateway::ServerCore::clientCountChanged, this, [this] { emit clientCountChanged(clientCount()); });
}

Swp08Server::~Swp08Server() { stop(); }

QString Swp08Server::start(const gateway::Settings& settings, const QString& device, int baud) {
  stop();
  if (settings.port > 0 || device.isEmpty()) {
    const QString error = serverCore->start(settings);
    if (!error.isEmpty()) return error;
  }
  if (!device.isEmpty()) {
    const QString error = openSerial(device, baud);
    if (!error.isEmpty()) {
      serverCore->stop();
      return error;
    }
  }
  return {};
}

void Swp08Server::stop() {
  serverCore->stop();
  closeSerial();
}

QString Swp08Server::listenText() const {
  QStringList parts;
  if (serverCore->isListening()) parts << serverCore->listenText();
  if (serialFd >= 0) parts << QStringLiteral("%1 at %2").arg(serialPath).arg(serialBaud);
  return parts.join(QStringLiteral(" and "));
}

int Swp08Server::clientCount() const { return serverCore->clientCount() + (serialFd >= 0 ? 1 : 0); }

QString Swp08Server::openSerial(const QString& device, int baud) {
  speed_t speed;
  if (!toSpeed(baud, &speed)) return QStringLiteral("SW-P-08: %1 baud is not served.").arg(baud);
  const QByteArray path = device.toLocal8Bit();
  const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return QStringLiteral("SW-P-08: cannot open %1: %2.").arg(device, QString::fromLocal8Bit(strerror(errno)));
  // Another program on the same line would take half of every message.
  termios t{};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
    const int e = errno;
    ::close(fd);
    return QStringLiteral("SW-P-08: %1 is in use: %2.").arg(device, QString::fromLocal8Bit(strerror(e)));
  }
  if (::tcgetattr(fd, &t) != 0) {
    const int e = errno;
    ::close(fd);
    return QStringLiteral("SW-P-08: %1 is not a serial line: %2.").arg(device, QString::fromLocal8Bit(strerror(e)));
  }
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS8;
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  ::tcsetattr(fd, TCSANOW, &t);
  serialFd = fd;
  serialPath = device;
  serialBaud = baud;
  serialId = nextId++;
  serialNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(serialNotifier, &QSocketNotifier::activated, this, &Swp08Server::serialReadable);
  serialWritable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  serialWritable->setEnabled(false);
  connect(serialWritable, &QSocketNotifier::activated, this, [this] {
    const ssize_t n = ::write(serialFd, serialUnsent.constData(), size_t(serialUnsent.size()));
    if (n > 0) serialUnsent.remove(0, n);
    if (serialUnsent.isEmpty()) serialWritable->setEnabled(false);
  });
  const QPointer<Swp08Server> self(this);
  codec->join(serialId, QStringLiteral("serial %1").arg(device), [this, self](const QByteArray& bytes) {
    if (!self || serialFd < 0) return;
    // The line is slow: what the driver does not take now goes when it may.
    if (serialUnsent.isEmpty()) {
      const ssize_t n = ::write(serialFd, bytes.constData(), size_t(bytes.size()));
      if (n == bytes.size()) return;
      serialUnsent = bytes.mid(n > 0 ? n : 0);
    } else {
      serialUnsent += bytes;
    }
    if (serialUnsent.size() > gateway::kMaxBacklog) serialUnsent.clear();  // nobody reads the line
    serialWritable->setEnabled(!serialUnsent.isEmpty());
  });
  emit clientCountChanged(clientCount());
  return {};
}

void Swp08Server::serialReadable() {
  char buffer[kReadChunk];
  const ssize_t n = ::read(serialFd, buffer, sizeof buffer);
  if (n > 0) {
    codec->bytesIn(serialId, buffer, int(n));
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  // The adapter went away (unplugged): the line is closed rather than polled in a loop.
  closeSerial();
}

void Swp08Server::closeSerial() {
  if (serialFd < 0) return;
  codec->leave(serialId);
  delete serialNotifier;
  serialNotifier = nullptr;
  delete serialWritable;
  serialWritable = nullptr;
  ::close(serialFd);
  serialFd = -1;
  serialUnsent.clear();
  emit clientCountChanged(clientCount());
}

}  // namespace swp08
