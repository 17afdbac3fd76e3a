#pragma once
// One open COM port at 9600 8N1 for the switcher: one-byte writes, and a monitor thread
// that posts every received byte to the window as an event of type 1025.

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

class QObject;
class QSocketNotifier;
class TComThread;

// Received-character event mask, the only one the console uses.
constexpr std::uint32_t EV_RXCHAR = 1;

class ComPort {
 public:
  ComPort();
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  // window receives the byte events; port is 1..4 (mapped to a device path).
  bool Open(QObject* window, std::uint32_t port, int baud, char parity, int dataBits,
            int stopBits, std::uint32_t eventMask);
  // The same for a device given by its path (the bridge's /dev/serial/by-id/... names);
  // events go to `target`.
  bool OpenDevice(QObject* target, const QString& device, int baud, char parity, int dataBits,
                  int stopBits, std::uint32_t eventMask);
  // Starts the monitor thread that Open created suspended.
  void StartMonitor();
  // Asks the monitor thread to end (it closes the device) and deletes this object.
  void Close();
  // True when the monitor thread has ended on its own (the port is of no use any more).
  bool MonitorEnded() const;
  // True once the monitor thread has seen this port's device fail for good: a WM_SERIALFAILING
  // still queued from an earlier port is not this one's.
  bool DeviceFailed() const;
  // True when exactly one byte was written. A queued command that is partly out is finished
  // first (blocking as this does), so that the byte never lands inside it.
  bool WriteByte(std::uint8_t byte);
  // One whole command written as the device takes it, from the event loop, never blocking
  // the calling (window) thread; commands go in order. done(true) once its last byte was
  // written, done(false) when it was dropped (the port closed). The caller bounds how many
  // wait. Must be called on the thread that opened the port.
  using Written = std::function<void(bool written)>;
  void Queue(const QByteArray& command, Written done);
  int QueuedCommands() const { return int(queued.size()); }
  // The device is gone: every queued command is dropped (done(false)), the port stays.
  void DropQueued();
  // Serial error box for the operation `what`, with the text of errno (or `error`).
  static void ReportCommError(const char* what);
  static void ReportCommError(const char* what, int error);

  static constexpr std::chrono::milliseconds kWriteTimeout{5000};

 private:
  ~ComPort();

  int fd = -1;  // owned by `thread` once it exists
  // Shared with the running monitor: the thread may end on its own (device gone) and
  // Close must still be able to reach it.
  std::shared_ptr<TComThread> thread;
  // A byte timed out: until the device takes bytes again, fail at once rather than block
  // the window thread for a full time-out per byte; then drop what is left of the old output.
  bool stalled = false;

  // Writes what the device takes now of the queued commands.
  void drainQueue();
  // The command being written, blocking, as WriteByte would.
  void finishPartial();
  struct QueuedCommand {
    QByteArray bytes;
    Written done;
  };
  std::deque<QueuedCommand> queued;
  qsizetype queuedSent = 0;  // of queued.front()
  QSocketNotifier* writable = nullptr;
};
