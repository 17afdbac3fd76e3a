#include "Comthread.h"

#include "Com.h"
#include "LinkPrompts.h"

#include <QCoreApplication>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> running{0};

// Byte events posted and not yet consumed by the window. A window that falls behind a
// flood makes the thread pause instead of queueing without bound; the bytes wait in the
// driver meanwhile.
std::atomic<int> pendingEvents{0};
constexpr int kMaxPendingEvents = 1 << 16;
constexpr std::chrono::milliseconds kBackOff{10};
// Bytes taken from the driver per read call.
constexpr size_t kReadChunk = 256;
// Wake-ups in a row that found nothing to read before the device counts as gone.
constexpr int kMaxEmptyWakeups = 3;

class CountedByteEvent final : public SerialByteEvent {
 public:
  explicit CountedByteEvent(std::uint8_t b) : SerialByteEvent(b) { ++pendingEvents; }
  ~CountedByteEvent() override { --pendingEvents; }
};

bool deviceGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

}  // namespace

void link_detail::closeDevice(int fd) {
  ::ioctl(fd, TIOCNXCL);  // fails harmlessly on a device that is not a terminal
  ::close(fd);
}

std::shared_ptr<TComThread> TComThread::Create(QObject* window, int fd, std::uint32_t eventMask) {
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  std::shared_ptr<TComThread> self(new TComThread(window, fd, wakeFd, eventMask));
  ++running;
  try {
    std::thread([self] {
      self->Execute();
      --running;
    }).detach();
  } catch (...) {
    --running;
    self->fd = -1;  // not taken over after all
    throw;
  }
  // Tests delete windows without a Close; the thread must then forget them at once.
  std::weak_ptr<TComThread> weak = self;
  self->windowGone = QObject::connect(
      window, &QObject::destroyed, window,
      [weak] {
        if (auto t = weak.lock()) {
          std::lock_guard<std::mutex> lock(t->mutex);
          t->window = nullptr;
        }
      },
      Qt::DirectConnection);
  return self;
}

TComThread::TComThread(QObject* window, int fd, int wakeFd, std::uint32_t eventMask)
    : window(window), fd(fd), wakeFd(wakeFd), eventMask(eventMask) {}

TComThread::~TComThread() {
  if (fd >= 0) link_detail::closeDevice(fd);
  ::close(wakeFd);
}

int TComThread::Running() { return running.load(); }

void TComThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (started || terminated) return;
    started = true;
    // Done here rather than in the thread, so that nothing sent after StartMonitor
    // returns can be thrown away.
    if (fd >= 0) ::tcflush(fd, TCIOFLUSH);
  }
  wake.notify_all();
}

void TComThread::Terminate() {
  QObject::disconnect(windowGone);
  std::shared_ptr<link_detail::PromptRequest> box;
  {
    std::lock_guard<std::mutex> lock(mutex);
    terminated = true;
    window = nullptr;
    // Closing here releases the lock on the device, so that it can be opened again right
    // away. The thread only reads under this mutex, so it never reads a reused number.
    if (fd >= 0) link_detail::closeDevice(fd);
    fd = -1;
    box = pendingBox;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
  wake.notify_all();
  if (box) box->abandon();
}

bool TComThread::TerminateRequested() {
  std::lock_guard<std::mutex> lock(mutex);
  return terminated;
}

bool TComThread::Report(const QString& text, const QString& caption) {
  auto req = std::make_shared<link_detail::PromptRequest>();
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (terminated) return false;
    pendingBox = req;
  }
  platform::Prompt p = link_detail::errorPrompt(text);
  p.caption = caption;
  link_detail::showOnWindowThread(p, req);
  std::lock_guard<std::mutex> lock(mutex);
  pendingBox.reset();
  return !terminated;
}

bool TComThread::ReportError(const char* what, int error) {
  const platform::Prompt p = link_detail::commErrorPrompt(what, error);
  return Report(p.text, p.caption);
}

void TComThread::ReportLoss(const char* what, int error) {
  failed = true;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!terminated && window) QCoreApplication::postEvent(window, new QEvent(WM_SERIALFAILING));
  }
  ReportError(what, error);
}

bool TComThread::Finished() {
  std::lock_guard<std::mutex> lock(mutex);
  return finished;
}

void TComThread::Execute() {
  Monitor();
  std::lock_guard<std::mutex> lock(mutex);
  finished = true;
  // Ended by a fault rather than by Close: the window still holds the port as open.
  if (!terminated && window) QCoreApplication::postEvent(window, new QEvent(WM_SERIALENDED));
}

void TComThread::Monitor() {
  int device;
  {
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait(lock, [this] { return started || terminated; });
    if (terminated) return;
    device = fd;
  }
  if (device < 0) {
    Report(QStringLiteral("串口句柄无效，串口监控线程无法工作."), QStringLiteral("错误"));
    return;
  }
  const short want = (eventMask & EV_RXCHAR) ? POLLIN : 0;
  int failedReads = 0;
  int emptyWakeups = 0;

  while (!TerminateRequested()) {
    if (pendingEvents.load() >= kMaxPendingEvents) {
      pollfd w{wakeFd, POLLIN, 0};
      ::poll(&w, 1, int(kBackOff.count()));
      continue;
    }
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {device, want, 0}};
    const int r = ::poll(fds, 2, int(kWaitTimeout.count()));
    if (r < 0) {
      if (errno == EINTR) continue;
      ReportLoss("等待串口事件", errno);
      return;
    }
    if (r == 0) continue;
    if (fds[0].revents) return;  // only Terminate writes there
    const short ev = fds[1].revents;
    if (ev & POLLNVAL) return;  // closed by Terminate between two checks

    ReadResult res = ReadResult::Done;
    size_t got = 0;
    int error = 0;
    if (ev & POLLIN) {
      do res = ReadAvailable(&got, &error);
      while (res == ReadResult::More);
    }
    switch (res) {
      case ReadResult::Stopped:
        return;
      case ReadResult::Paused:
        continue;
      case ReadResult::Failed:
        // A failing read is reported once; if the next one fails too, the device is not
        // coming back and polling on would only spin.
        if (++failedReads > 1 || !ReportError("读串口", error)) return;
        continue;
      case ReadResult::Vanished:
        ReportLoss("等待串口事件", error);
        return;
      case ReadResult::More:
      case ReadResult::Done:
        failedReads = 0;
        break;
    }
    // Hung up with nothing left to read, or readable again and again without a byte (end
    // of file): the adapter was unplugged or the line hung up. Said once; then the thread
    // ends rather than spinning.
    emptyWakeups = got ? 0 : emptyWakeups + 1;
    if (got == 0 && ((ev & (POLLHUP | POLLERR)) || emptyWakeups > kMaxEmptyWakeups)) {
      ReportLoss("等待串口事件", EIO);
      return;
    }
  }
}

TComThread::ReadResult TComThread::ReadAvailable(size_t* got, int* error) {
  std::uint8_t buf[kReadChunk];
  std::lock_guard<std::mutex> lock(mutex);
  if (terminated || fd < 0) return ReadResult::Stopped;
  if (pendingEvents.load() >= kMaxPendingEvents) return ReadResult::Paused;
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n < 0) {
    if (errno == EINTR) return ReadResult::More;
    if (errno == EAGAIN) return ReadResult::Done;
    *error = errno;
    return deviceGone(errno) ? ReadResult::Vanished : ReadResult::Failed;
  }
  // With no minimum count set, a tty reads 0 bytes when its queue is empty.
  if (n == 0) return ReadResult::Done;
  *got += size_t(n);
  if (window) {
    for (ssize_t i = 0; i < n; ++i)
      QCoreApplication::postEvent(window, new CountedByteEvent(buf[i]));
  }
  return size_t(n) == sizeof buf ? ReadResult::More : ReadResult::Done;
}
