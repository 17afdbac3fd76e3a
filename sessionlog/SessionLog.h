#pragma once
// The session log: every command sent, every line received and every link event, with its
// local time, in one UTF-8 text file a day. The lines of one turn of the event loop are handed
// to spdlog's asynchronous logger as one message, whose own thread writes them, so a call never
// waits on the disk: when the writer falls far behind, the oldest waiting batches are dropped
// (and counted in the file) rather than stall the caller.
//
// A line: "2024-05-01T14:03:22.123+02:00 > [COM1 /dev/ttyUSB0] 1V2,3,4." with the marks
//   ">" sent (with the link it went out on), "<" received, "*" link event or a note of the
//   log itself. Bytes are written as LogText's escape() gives them, with the bytes of each
//   password command masked ("/+********;").
// Call from one thread (the window's); writeFailed arrives on that thread's event loop.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <memory>

namespace spdlog {
class async_logger;
namespace details {
class thread_pool;
}
}  // namespace spdlog

namespace sessionlog {

class CappedDailySink;

struct SessionLogSettings {
  bool enabled = true;
  int days = 30;                            // days of files kept, today included; 0: all
  qint64 maxBytes = 100LL * 1024 * 1024;    // cap of one day's file
  QString dir;                              // empty: SessionLog::defaultDir()
};

class SessionLog : public QObject {
  Q_OBJECT
 public:
  explicit SessionLog(QObject* parent = nullptr);
  ~SessionLog() override;

  // $SWITCHER_LOG_DIR when set, else $SWITCHER_CONFIG_DIR/log when that is set, else
  // $XDG_STATE_HOME/switcher-console/log (default ~/.local/state/switcher-console/log).
  static QString defaultDir();
  // [Log] Enabled, Days and MaxMB of Switcher.ini, read by the caller; out-of-range values
  // fall back to the defaults.
  static SessionLogSettings settingsFrom(int enabled, int days, int maxMB);

  // Starts writing with these settings (closing what was open). With enabled false the
  // calls below only return their time.
  void open(const SessionLogSettings& settings);
  // Writes what is queued and the day's closing note; called by the destructor.
  void close();

  bool isOpen() const { return logger_ != nullptr; }
  QString folder() const { return folder_; }
  // The file the lines of the given day go to.
  QString fileFor(qint64 msecsSinceEpoch) const;

  // Each returns the time stamp written with its line (milliseconds since the epoch, never
  // earlier than the one before), so that a list can show the same time as the file.
  // `bytes` as they went out; `how`, when given, follows them (the form the operator typed).
  qint64 sent(const QByteArray& bytes, const QString& link, const QByteArray& how = {});
  qint64 received(const QByteArray& line);
  qint64 event(const QString& text);

 signals:
  // The first failure to create or write the file, once per open; the log goes on trying
  // silently after it.
  void writeFailed(const QString& message);
  // The day's file was another console's, so this one writes its own: said once per open.
  void ownFile(const QString& note);

 private:
  qint64 write(char mark, const QByteArray& text);
  void reportFailure(const std::string& message);

  QString folder_;
  std::shared_ptr<spdlog::details::thread_pool> pool_;
  std::shared_ptr<spdlog::async_logger> logger_;
  std::shared_ptr<CappedDailySink> sink_;
  std::atomic_bool reported_{false};
  qint64 lastStamp_ = 0;
  std::size_t overrunsNoted_ = 0;  // lost batches already written down
  // The lines of this turn of the event loop, each with its time stamp, sent as one message.
  void flushBatch();
  std::string batch_;
  qint64 batchStart_ = 0;
  qint64 dayEnd_ = 0;  // next local midnight
  QTimer batchTimer_;
  qint64 second_ = -1;
  std::string secondHead_;  // "2024-05-01T14:03:22" of second_
  std::string offset_;      // "+02:00"
};

}  // namespace sessionlog
