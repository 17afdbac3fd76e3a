#pragma once
// The serial monitor thread: waits for received bytes and posts each one, in order,
// to the window as a SerialByteEvent (type 1025).

#include <QEvent>
#include <QObject>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

constexpr QEvent::Type WM_SERIALBYTE = static_cast<QEvent::Type>(1025);

// Posted once when the monitor thread ends on its own (the device failed or went away),
// so that the window can show the port as closed; never after Terminate.
constexpr QEvent::Type WM_SERIALENDED = static_cast<QEvent::Type>(1026);

// Posted when the monitor thread has seen the device fail for good, before it reports the
// fault and waits for the box: whoever relies on the link knows at once that it is gone.
constexpr QEvent::Type WM_SERIALFAILING = static_cast<QEvent::Type>(1027);

class SerialByteEvent : public QEvent {
 public:
  explicit SerialByteEvent(std::uint8_t b) : QEvent(WM_SERIALBYTE), byte(b) {}
  const std::uint8_t byte;
};

namespace link_detail {
struct PromptRequest;
// Drops the exclusive claim on a terminal, then closes it. The claim is a flag of the
// terminal, not of our descriptor: left set, it outlives the close while anyone else keeps
// the device open (a simulator holding its pseudo-terminal) and refuses every later open.
void closeDevice(int fd);
}  // namespace link_detail

// Implemented in Comthread.cpp. Owns the device once created: it closes it and frees
// itself when its body returns. Only ComPort creates and terminates it.
class TComThread : public std::enable_shared_from_this<TComThread> {
 public:
  // Starts the thread suspended; it owns fd from now on. Throws std::system_error when
  // the thread or its wake-up channel cannot be created (fd then stays with the caller).
  static std::shared_ptr<TComThread> Create(QObject* window, int fd, std::uint32_t eventMask);
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;
  ~TComThread();

  // Lets a suspended thread run; input received before this is discarded.
  void Resume();
  // Ends the monitoring without waiting for the thread: when it returns, no byte event
  // reaches the window any more, no error box of the thread is still awaited, and the
  // device is closed, so that the port can be opened again at once.
  void Terminate();

  // True once the thread body has returned.
  bool Finished();
  // True once the thread has seen the device fail for good (WM_SERIALFAILING was posted).
  bool Failed() const { return failed.load(); }

  // Monitor threads created and not yet finished, in this process.
  static int Running();

  // Bounds the time a wait can miss a termination request that did not wake it.
  static constexpr std::chrono::milliseconds kWaitTimeout{1000};

 private:
  TComThread(QObject* window, int fd, int wakeFd, std::uint32_t eventMask);
  void Execute();
  void Monitor();
  enum class ReadResult { More, Done, Paused, Failed, Vanished, Stopped };
  // Reads and posts what is queued; counts the bytes into *got, the errno into *error.
  ReadResult ReadAvailable(size_t* got, int* error);
  // Shows a box on the window thread and waits for it; false when terminated meanwhile.
  bool Report(const QString& text, const QString& caption);
  bool ReportError(const char* what, int error);
  // The device failed for good: WM_SERIALFAILING, then the box.
  void ReportLoss(const char* what, int error);
  bool TerminateRequested();

  std::mutex mutex;  // guards every field below that the window thread also touches
  std::condition_variable wake;
  QObject* window;  // null once terminated: nothing may be posted to it any more
  int fd;
  const int wakeFd;
  const std::uint32_t eventMask;
  std::atomic_bool failed{false};
  bool started = false;
  bool terminated = false;
  bool finished = false;
  std::shared_ptr<link_detail::PromptRequest> pendingBox;
  QMetaObject::Connection windowGone;
};
