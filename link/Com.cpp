#include "Com.h"

#include "Comthread.h"
#include "Ini.h"
#include "LinkPrompts.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace link_detail {

void PromptRequest::abandon() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    abandoned = true;
  }
  changed.notify_all();
}

void showOnWindowThread(platform::Prompt p, const std::shared_ptr<PromptRequest>& req) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) {
    p.owner = platform::applicationWindow();
    platform::prompts().message(p);
    return;
  }
  QMetaObject::invokeMethod(
      app,
      [p, req]() mutable {
        {
          std::lock_guard<std::mutex> lock(req->mutex);
          if (req->abandoned) return;  // the port was closed before the box came up
        }
        p.owner = platform::applicationWindow();
        platform::prompts().message(p);
        {
          std::lock_guard<std::mutex> lock(req->mutex);
          req->done = true;
        }
        req->changed.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(req->mutex);
  req->changed.wait(lock, [&] { return req->done || req->abandoned; });
}

platform::Prompt errorPrompt(const QString& text) {
  platform::Prompt p;
  p.text = text;
  p.caption = QStringLiteral("错误");
  p.icon = platform::Icon::Stop;
  return p;
}

platform::Prompt commErrorPrompt(const char* what, int error) {
  char buf[256];
  // The GNU strerror_r: thread-safe, returns the text (not always in buf).
  const char* systemText = strerror_r(error, buf, sizeof buf);
  platform::Prompt p;
  p.text = QLatin1Char('"') + QString::fromUtf8(what) +
           QStringLiteral("\" 由于以下错误而失败: \n\n") + QString::fromLocal8Bit(systemText);
  p.caption = QStringLiteral("串口错误");
  p.icon = platform::Icon::Stop;
  return p;
}

}  // namespace link_detail

namespace {

constexpr std::uint32_t kFirstPort = 1;
constexpr std::uint32_t kLastPort = 4;
// Every event bit the classic communications API knows (EV_RXCHAR .. EV_EVENT2).
constexpr std::uint32_t kKnownEventBits = 0x1FFF;

void showError(const QString& text) {
  link_detail::showOnWindowThread(link_detail::errorPrompt(text),
                                  std::make_shared<link_detail::PromptRequest>());
}

bool toSpeed(int baud, speed_t* out) {
  static constexpr struct {
    int baud;
    speed_t speed;
  } kSpeeds[] = {{110, B110},     {300, B300},     {600, B600},      {1200, B1200},
                 {2400, B2400},   {4800, B4800},   {9600, B9600},    {19200, B19200},
                 {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& s : kSpeeds)
    if (s.baud == baud) {
      *out = s.speed;
      return true;
    }
  return false;
}

// The line definition: raw 8-bit transfer at the given rate and framing, no handshake.
bool buildLine(termios* t, int baud, char parity, int dataBits, int stopBits) {
  speed_t speed;
  if (!toSpeed(baud, &speed)) return false;
  tcflag_t size;
  switch (dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
  }
  tcflag_t parityFlags;
  switch (parity) {
    case 'N': case 'n': parityFlags = 0; break;
    case 'E': case 'e': parityFlags = PARENB; break;
    case 'O': case 'o': parityFlags = PARENB | PARODD; break;
    default: return false;
  }
  if (stopBits != 1 && stopBits != 2) return false;

  cfmakeraw(t);
  t->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t->c_cflag |= size | parityFlags | CLOCAL | CREAD;
  if (stopBits == 2) t->c_cflag |= CSTOPB;
  t->c_iflag &= ~(IXON | IXOFF | IXANY);
  return cfsetispeed(t, speed) == 0 && cfsetospeed(t, speed) == 0;
}

// Reads return at once with what is queued: the monitor thread waits with poll instead.
void setReadTimeouts(termios* t) {
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

}  // namespace

ComPort::ComPort() = default;

ComPort::~ComPort() {
  // Without a monitor thread nobody else will close the device.
  if (!thread && fd >= 0) link_detail::closeDevice(fd);
}

bool ComPort::Open(QObject* window, std::uint32_t port, int baud, char parity, int dataBits,
                   int stopBits, std::uint32_t eventMask) {
  if (port < kFirstPort || port > kLastPort) {
    // Shown as a signed number, so that a port of -1 from a caller reads "COM-1".
    showError(QStringLiteral("无法打开串口COM%1,串口号只能是COM1、COM2、COM3或COM4中的一个.")
                  .arg(static_cast<std::int32_t>(port)));
    return false;
  }
  if (!window) {
    showError(QStringLiteral("串口的父窗口无效，串口监控线程无法正常工作."));
    return false;
  }
  return OpenDevice(window, platform::comDevicePath(int(port)), baud, parity, dataBits, stopBits, eventMask);
}

bool ComPort::OpenDevice(QObject* window, const QString& device, int baud, char parity, int dataBits,
                         int stopBits, std::uint32_t eventMask) {
  if (fd >= 0) return false;  // one device per object

  const QByteArray path = QFile::encodeName(device);
  fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // TIOCEXCL alone does not keep out root, so the lock decides; a held lock is a busy port.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    fd = -1;
    return false;
  }
  ::ioctl(fd, TIOCEXCL);  // not a terminal: the configuration below reports it

  [&] {
    termios t{};
    if (::tcgetattr(fd, &t) != 0 || (setReadTimeouts(&t), ::tcsetattr(fd, TCSANOW, &t)) != 0) {
      ReportCommError("串口超时参数设置");
      return;
    }
    // No poll() flag matches the other events; only the received-character one is acted on.
    if (eventMask & ~kKnownEventBits) {
      ReportCommError("设置串口事件掩码", EINVAL);
      return;
    }
    termios dcb{};
    if (::tcgetattr(fd, &dcb) != 0) {
      ReportCommError("获取串口状态");
      return;
    }
    dcb.c_cflag &= ~CRTSCTS;
    dcb.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (!buildLine(&dcb, baud, parity, dataBits, stopBits)) {
      ReportCommError("建立串口设备控制块", EINVAL);
      return;
    }
    setReadTimeouts(&dcb);
    if (::tcsetattr(fd, TCSANOW, &dcb) != 0) {
      ReportCommError("设置串口");
      return;
    }
    // Both modem lines held off. A pseudo-terminal has none, which is no error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL)
      ReportCommError("设置串口");
  }();

  ::tcflush(fd, TCIOFLUSH);

  try {
    thread = TComThread::Create(window, fd, eventMask);
  } catch (const std::system_error& e) {
    ReportCommError("创建线程", e.code().value());
    return false;  // the device stays with this object; Close closes it
  }
  return true;
}

void ComPort::StartMonitor() {
  if (thread) thread->Resume();
}

void ComPort::Close() {
  delete writable;
  writable = nullptr;
  // Told after the port is gone, so that nobody queues behind them on a closing port.
  std::deque<QueuedCommand> dropped = std::move(queued);
  queued.clear();
  if (thread) {
    thread->Terminate();
    thread.reset();
    fd = -1;
  }
  delete this;
  for (QueuedCommand& c : dropped) {
    if (c.done) c.done(false);
  }
}

bool ComPort::MonitorEnded() const { return thread && thread->Finished(); }
bool ComPort::DeviceFailed() const { return thread && thread->Failed(); }

bool ComPort::WriteByte(std::uint8_t byte) {
  if (queuedSent > 0) finishPartial();
  if (fd < 0) {
    showError(QStringLiteral("串口句柄无效，无法发送数据."));
    return false;
  }
  using Clock = std::chrono::steady_clock;
  if (stalled) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) return false;
    // What is left of the command that timed out must not go out ahead of this one. Only
    // then: a purge before every byte would also discard bytes still on their way
    // (queued for the UART, or not yet passed on by a pseudo-terminal).
    ::tcflush(fd, TCOFLUSH);
    stalled = false;
  }

  const auto deadline = Clock::now() + kWriteTimeout;
  for (;;) {
    const ssize_t n = ::write(fd, &byte, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLOUT, 0};
    const int r = left.count() > 0 ? ::poll(&p, 1, int(left.count())) : 0;
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      stalled = r == 0;
      return false;
    }
  }
}

void ComPort::DropQueued() {
  std::deque<QueuedCommand> dropped = std::move(queued);
  queued.clear();
  queuedSent = 0;
  if (writable) writable->setEnabled(false);
  for (QueuedCommand& c : dropped) {
    if (c.done) c.done(false);
  }
}

void ComPort::Queue(const QByteArray& command, Written done) {
  queued.push_back({command, std::move(done)});
  if (!writable && fd >= 0) {
    writable = new QSocketNotifier(fd, QSocketNotifier::Write);
    QObject::connect(writable, &QSocketNotifier::activated, writable, [this] { drainQueue(); });
  }
  drainQueue();
}

void ComPort::drainQueue() {
  while (!queued.empty() && fd >= 0) {
    QueuedCommand& c = queued.front();
    const ssize_t n = ::write(fd, c.bytes.constData() + queuedSent, size_t(c.bytes.size() - queuedSent));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;  // the notifier says when there is room
    if (n > 0) queuedSent += n;
    // A failed write drops the command, as a failed byte of SendCode goes unsent; the port
    // reports its own faults.
    if (n < 0 || queuedSent == c.bytes.size()) {
      const Written done = std::move(c.done);
      queued.pop_front();
      queuedSent = 0;
      stalled = false;  // the device takes bytes again
      if (done) done(n >= 0);
    }
  }
  if (writable) writable->setEnabled(!queued.empty());
}

void ComPort::finishPartial() {
  QueuedCommand c = std::move(queued.front());
  queued.pop_front();
  const QByteArray rest = c.bytes.mid(queuedSent);
  queuedSent = 0;
  bool ok = true;
  for (char b : rest) ok = WriteByte(std::uint8_t(b)) && ok;
  if (c.done) c.done(ok);
  if (writable) writable->setEnabled(!queued.empty());
}

void ComPort::ReportCommError(const char* what) { ReportCommError(what, errno); }

void ComPort::ReportCommError(const char* what, int error) {
  link_detail::showOnWindowThread(link_detail::commErrorPrompt(what, error),
                                  std::make_shared<link_detail::PromptRequest>());
}
