#include "SessionLog.h"

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/spdlog.h>

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <chrono>

#include "CappedDailySink.h"
#include "LogText.h"

namespace sessionlog {
namespace {

// Slots of the writer's queue. Each holds one event-loop turn's batch of lines, so a few
// hundred ride out a slow disk; every slot (about 400 bytes) is allocated at start.
constexpr std::size_t kQueueLines = 256;
constexpr std::chrono::seconds kFlushEvery{1};
// Each line carries its own time stamp (see write()); the file takes the text as it is.
constexpr char kPattern[] = "%v";
constexpr int kDefaultDays = 30;
constexpr int kDefaultMaxMB = 100;
constexpr qint64 kMiB = 1024 * 1024;
constexpr std::size_t kBatchBytes = 64 * 1024;  // a larger batch goes at once

std::atomic<int> serial{0};  // spdlog's registry wants a distinct name per logger

}  // namespace

SessionLog::SessionLog(QObject* parent) : QObject(parent) {
  batchTimer_.setSingleShot(true);
  batchTimer_.setInterval(0);
  connect(&batchTimer_, &QTimer::timeout, this, &SessionLog::flushBatch);
}

SessionLog::~SessionLog() { close(); }

QString SessionLog::defaultDir() {
  const QString own = qEnvironmentVariable("SWITCHER_LOG_DIR");
  if (!own.isEmpty()) return own;
  // A console with a settings folder of its own (a second console) keeps its log beside it.
  const QString config = qEnvironmentVariable("SWITCHER_CONFIG_DIR");
  if (!config.isEmpty()) return config + "/log";
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  // The base directory rules ignore a relative path.
  if (state.isEmpty() || QDir::isRelativePath(state)) state = QDir::homePath() + "/.local/state";
  return state + "/switcher-console/log";
}

SessionLogSettings SessionLog::settingsFrom(int enabled, int days, int maxMB) {
  SessionLogSettings s;
  s.enabled = enabled != 0;
  s.days = days >= 0 ? days : kDefaultDays;
  s.maxBytes = (maxMB > 0 ? maxMB : kDefaultMaxMB) * kMiB;
  return s;
}

void SessionLog::open(const SessionLogSettings& settings) {
  close();
  reported_ = false;
  overrunsNoted_ = 0;
  dayEnd_ = 0;
  folder_ = settings.dir.isEmpty() ? defaultDir() : settings.dir;
  if (!settings.enabled) return;

  sink_ = std::make_shared<CappedDailySink>(QFile::encodeName(folder_).toStdString(),
                                            settings.days,
                                            static_cast<std::uint64_t>(std::max<qint64>(settings.maxBytes, 0)));
  sink_->set_pattern(kPattern);
  sink_->onOwnFile([this](const std::string& note) {
    const QString text = QString::fromStdString(note);
    QMetaObject::invokeMethod(
        this, [this, text] { emit ownFile(text); }, Qt::QueuedConnection);
  });
  pool_ = std::make_shared<spdlog::details::thread_pool>(kQueueLines, 1);
  logger_ = std::make_shared<spdlog::async_logger>("session-" + std::to_string(++serial), sink_,
                                                   pool_, spdlog::async_overflow_policy::overrun_oldest);
  logger_->set_error_handler([this](const std::string& message) { reportFailure(message); });
  spdlog::register_logger(logger_);
  spdlog::flush_every(kFlushEvery);
}

void SessionLog::close() {
  if (!logger_) return;
  flushBatch();
  batchTimer_.stop();
  spdlog::drop(logger_->name());  // no more periodic flushes from the registry's thread
  const std::size_t overruns = pool_->overrun_counter() - overrunsNoted_;
  logger_.reset();
  pool_.reset();  // writes what is still queued, then joins the writer thread
  try {
    sink_->finish(overruns);
  } catch (const std::exception& e) {
    reportFailure(e.what());
  }
  sink_.reset();
}

QString SessionLog::fileFor(qint64 msecsSinceEpoch) const {
  const QDate d = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch).date();
  return folder_ + QLatin1Char('/') +
         QString::fromStdString(
             CappedDailySink::fileName(d.year() * 10000 + d.month() * 100 + d.day()));
}

qint64 SessionLog::sent(const QByteArray& bytes, const QString& link, const QByteArray& how) {
  if (!logger_) return write('>', {});
  QByteArray text = '[' + escape(link.toUtf8()) + "] " + escape(maskPasswords(bytes));
  if (!how.isEmpty()) text += "   " + escape(maskPasswords(how));
  return write('>', text);
}

qint64 SessionLog::received(const QByteArray& line) {
  return write('<', logger_ ? escape(line) : QByteArray());
}

qint64 SessionLog::event(const QString& text) {
  return write('*', logger_ ? escape(text.toUtf8()) : QByteArray());
}

qint64 SessionLog::write(char mark, const QByteArray& text) {
  // The wall clock may step back (time sync); the log's times never do.
  lastStamp_ = std::max(lastStamp_, QDateTime::currentMSecsSinceEpoch());
  if (!logger_) return lastStamp_;
  // A batch never spans midnight: each day's lines go to that day's file.
  if (lastStamp_ >= dayEnd_) {
    flushBatch();
    const QDateTime next(QDateTime::fromMSecsSinceEpoch(lastStamp_).date().addDays(1), QTime(0, 0));
    dayEnd_ = next.toMSecsSinceEpoch();
  }
  if (batch_.empty()) batchStart_ = lastStamp_;
  const qint64 second = lastStamp_ / 1000;
  if (second != second_) {
    // The date, time and offset change at most once a second: formatted once for all its lines.
    const QByteArray stamp = formatTime(second * 1000).toUtf8();
    secondHead_.assign(stamp.constData(), 19);
    offset_.assign(stamp.constData() + 23, static_cast<std::size_t>(stamp.size() - 23));
    second_ = second;
  }
  const int ms = static_cast<int>(lastStamp_ % 1000);
  batch_ += secondHead_;
  batch_ += '.';
  batch_ += static_cast<char>('0' + ms / 100);
  batch_ += static_cast<char>('0' + ms / 10 % 10);
  batch_ += static_cast<char>('0' + ms % 10);
  batch_ += offset_;
  batch_ += ' ';
  batch_ += mark;
  batch_ += ' ';
  batch_.append(text.constData(), static_cast<std::size_t>(text.size()));
  batch_ += '\n';
  if (batch_.size() >= kBatchBytes)
    flushBatch();
  else if (!batchTimer_.isActive())
    batchTimer_.start();
  return lastStamp_;
}

void SessionLog::flushBatch() {
  if (batch_.empty() || !logger_) return;
  const spdlog::log_clock::time_point at{std::chrono::milliseconds(batchStart_)};
  // One message for the lines of one turn of the event loop: handing the writer thread
  // one message per line costs more in their contention than the lines themselves.
  logger_->log(at, spdlog::source_loc{}, spdlog::level::info,
               spdlog::string_view_t(batch_.data(), batch_.size() - 1));
  batch_.clear();
  // Batches the full queue dropped are counted in the file soon after, so it never hides a gap.
  const std::size_t lost = pool_->overrun_counter();
  if (lost > overrunsNoted_) {
    const std::string note = formatTime(lastStamp_).toStdString() + " * " +
                             std::to_string(lost - overrunsNoted_) +
                             " batches of lines were lost because the log writer fell behind";
    logger_->log(at, spdlog::source_loc{}, spdlog::level::info, note);
    overrunsNoted_ = lost;
  }
}

void SessionLog::reportFailure(const std::string& message) {
  if (reported_.exchange(true)) return;
  // Called on the writer thread: the signal is emitted on the owner's thread, and dropped
  // with this object if it is gone by then.
  const QString text = QString::fromStdString(message);
  QMetaObject::invokeMethod(
      this, [this, text] { emit writeFailed(text); }, Qt::QueuedConnection);
}

}  // namespace sessionlog
