#include "CappedDailySink.h"

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/details/os.h>
#include <spdlog/pattern_formatter.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string_view>
#include <system_error>

#include "LogText.h"

namespace sessionlog {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr std::size_t kWriteAt = 64 * 1024;  // buffered bytes that go out before the next flush

// Makes each missing folder of the path with kFolderMode, set explicitly so that no umask
// widens or narrows it. Folders that exist are left as they are (the path may be shared).
void makeFolders(const std::string& dir) {
  fs::path p;
  for (const fs::path& part : fs::path(dir)) {
    p /= part;
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) throw spdlog::spdlog_ex("not a folder: " + p.string(), ENOTDIR);
      continue;
    }
    if (::mkdir(p.c_str(), kFolderMode) != 0 && errno != EEXIST)
      throw spdlog::spdlog_ex("cannot create " + p.string(), errno);
    ::chmod(p.c_str(), kFolderMode);
  }
}

// The file opened for appending and locked, or -1 (*busy: another writer holds it).
int openLocked(const std::string& path, bool* busy) {
  *busy = false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kFileMode);
  if (fd < 0) return -1;
  ::fchmod(fd, kFileMode);  // also a file made before, or under a wider umask
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    *busy = error == EWOULDBLOCK;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int dayOf(spdlog::log_clock::time_point t) {
  const std::tm tm = spdlog::details::os::localtime(spdlog::log_clock::to_time_t(t));
  return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

// The day `days` days before `day`, as YYYYMMDD.
int daysBefore(int day, int days) {
  std::tm tm{};
  tm.tm_year = day / 10000 - 1900;
  tm.tm_mon = day / 100 % 100 - 1;
  tm.tm_mday = day % 100 - days;
  tm.tm_hour = 12;  // away from daylight-saving edges
  tm.tm_isdst = -1;
  std::mktime(&tm);
  return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

std::string capText(std::uint64_t maxBytes) {
  return maxBytes % kMiB == 0 ? std::to_string(maxBytes / kMiB) + " MB"
                              : std::to_string(maxBytes) + " bytes";
}

}  // namespace

CappedDailySink::CappedDailySink(std::string dir, int days, std::uint64_t maxBytes)
    : dir_(std::move(dir)), days_(days), maxBytes_(maxBytes) {
  measureOverhead();
}

CappedDailySink::~CappedDailySink() {
  try {
    closeFile();
  } catch (const std::exception&) {
    // Nobody is left to tell; what could not be written is lost.
  }
}

std::string CappedDailySink::fileName(int yyyymmdd) {
  char name[32];
  std::snprintf(name, sizeof name, "session_%04d-%02d-%02d.log", yyyymmdd / 10000,
                yyyymmdd / 100 % 100, yyyymmdd % 100);
  return name;
}

std::string CappedDailySink::fileName(int yyyymmdd, long pid) {
  std::string name = fileName(yyyymmdd);
  return name.insert(name.size() - 4, "." + std::to_string(pid));
}

void CappedDailySink::set_pattern_(const std::string& pattern) {
  base_sink::set_pattern_(pattern);
  measureOverhead();
}

void CappedDailySink::set_formatter_(std::unique_ptr<spdlog::formatter> formatter) {
  base_sink::set_formatter_(std::move(formatter));
  measureOverhead();
}

void CappedDailySink::measureOverhead() {
  const spdlog::details::log_msg probe(spdlog::source_loc{}, "", spdlog::level::info, "");
  spdlog::memory_buf_t out;
  formatter_->format(probe, out);
  overhead_ = out.size();
}

void CappedDailySink::sink_it_(const spdlog::details::log_msg& msg) {
  const int day = dayOf(msg.time);
  if (day != day_) {
    endDay();
    lastTime_ = msg.time;
    startDay(day);
  }
  lastTime_ = msg.time;
  if (fd_ < 0) return;  // the day's file could not be opened; reported once already
  // A message is a batch of lines, each with its own time stamp.
  const spdlog::string_view_t all = msg.payload;
  for (std::size_t from = 0; from <= all.size();) {
    std::size_t to = std::string_view(all.data(), all.size()).find('\n', from);
    if (to == std::string_view::npos) to = all.size();
    const spdlog::string_view_t line(all.data() + from, to - from);
    from = to + 1;
    const std::uint64_t size = overhead_ + line.size();
    if (capped_ || bytes_ + size > maxBytes_) {
      if (!capped_) {
        capped_ = true;
        write(msg.time, "* the day's log reached its cap of " + capText(maxBytes_) +
                            "; lines after this one are left out");
      }
      ++leftLines_;
      leftBytes_ += size;
      continue;
    }
    bytes_ += size;
    put(spdlog::details::log_msg(msg.time, spdlog::source_loc{}, "", spdlog::level::info, line));
  }
  if (out_.size() >= kWriteAt) writeOut();
}

void CappedDailySink::put(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t formatted;
  formatter_->format(msg, formatted);
  out_.append(formatted.data(), formatted.size());
}

void CappedDailySink::writeOut() {
  std::size_t done = 0;
  while (fd_ >= 0 && done < out_.size()) {
    const ssize_t n = ::write(fd_, out_.data() + done, out_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = errno;
      out_.clear();  // a full disk must not grow the buffer without bound
      throw spdlog::spdlog_ex("cannot write " + path_, error);
    }
    done += static_cast<std::size_t>(n);
  }
  out_.clear();
}

void CappedDailySink::closeFile() {
  if (fd_ < 0) return;
  struct Closer {
    int& fd;
    ~Closer() {
      ::close(fd);  // also drops the lock
      fd = -1;
    }
  } closer{fd_};
  writeOut();
}

void CappedDailySink::write(Clock::time_point time, const std::string& text) {
  if (fd_ < 0) return;
  const qint64 ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const std::string line = formatTime(ms).toStdString() + ' ' + text;
  bytes_ += overhead_ + line.size();
  put(spdlog::details::log_msg(time, spdlog::source_loc{}, "", spdlog::level::info, line));
}

void CappedDailySink::startDay(int day) {
  day_ = day;
  capped_ = false;
  leftLines_ = leftBytes_ = 0;
  bytes_ = 0;
  // A folder that cannot be written is tried again the next day, not on every line.
  // A failure throws to the logger's error handler, which reports it.
  closeFile();
  if (days_ > 0) removeOldDays(day);
  makeFolders(dir_);
  const std::string shared = dir_ + "/" + fileName(day);
  bool busy = false;
  path_ = shared;
  fd_ = openLocked(path_, &busy);
  if (fd_ < 0 && busy) {
    path_ = dir_ + "/" + fileName(day, static_cast<long>(::getpid()));
    fd_ = openLocked(path_, &busy);
  }
  if (fd_ < 0) throw spdlog::spdlog_ex("cannot open " + path_, errno);
  struct stat st {};
  if (::fstat(fd_, &st) == 0) bytes_ = static_cast<std::uint64_t>(st.st_size);
  if (path_ != shared && !ownFileNoted_) {
    ownFileNoted_ = true;
    const std::string note = fs::path(shared).filename().string() +
                             " is written by another console; this one writes " +
                             fs::path(path_).filename().string();
    write(lastTime_, "* " + note);
    if (ownFileNote_) ownFileNote_(note);
  }
}

void CappedDailySink::endDay() {
  if (day_ == 0 || leftLines_ == 0) return;
  write(lastTime_, "* " + std::to_string(leftLines_) + " lines (" + std::to_string(leftBytes_) +
                       " bytes) of this day were left out past the cap of " +
                       capText(maxBytes_));
  leftLines_ = leftBytes_ = 0;
}

void CappedDailySink::finish(std::size_t queueOverruns) {
  std::lock_guard<std::mutex> lock(mutex_);
  endDay();
  if (queueOverruns > 0) {
    write(Clock::now(), "* " + std::to_string(queueOverruns) +
                            " lines were lost because the log writer fell behind");
  }
  writeOut();
}

void CappedDailySink::flush_() { writeOut(); }

void CappedDailySink::removeOldDays(int today) const {
  static const std::regex kName(R"(session_(\d{4})-(\d{2})-(\d{2})(\.\d+)?\.log)");
  const int cutoff = daysBefore(today, days_);
  std::error_code ec;
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    std::smatch m;
    const std::string name = it->path().filename().string();
    if (!std::regex_match(name, m, kName)) continue;
    const int day = std::stoi(m[1]) * 10000 + std::stoi(m[2]) * 100 + std::stoi(m[3]);
    if (day <= cutoff) {
      std::error_code removeError;
      fs::remove(it->path(), removeError);  // a file we cannot remove is left for next time
    }
  }
}

}  // namespace sessionlog
