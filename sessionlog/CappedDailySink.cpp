#include "CappedDailySink.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/details/os.h>
#include <spdlog/pattern_formatter.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <string_view>
#include <system_error>

#include "LogText.h"

namespace sessionlog {
namespace {

namespace fs = std::filesystem;

constexpr char kBaseName[] = "session.log";
constexpr std::uint64_t kMiB = 1024 * 1024;

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

std::string CappedDailySink::fileName(int yyyymmdd) {
  std::tm tm{};
  tm.tm_year = yyyymmdd / 10000 - 1900;
  tm.tm_mon = yyyymmdd / 100 % 100 - 1;
  tm.tm_mday = yyyymmdd % 100;
  return spdlog::sinks::daily_filename_calculator::calc_filename(kBaseName, tm);
}

void CappedDailySink::set_pattern_(const std::string& pattern) {
  base_sink::set_pattern_(pattern);
  measureOverhead();
  if (file_) file_->set_formatter(formatter_->clone());
}

void CappedDailySink::set_formatter_(std::unique_ptr<spdlog::formatter> formatter) {
  base_sink::set_formatter_(std::move(formatter));
  measureOverhead();
  if (file_) file_->set_formatter(formatter_->clone());
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
    startDay(day);
  }
  lastTime_ = msg.time;
  if (!file_) return;  // the day's file could not be opened; reported once already
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
    file_->log(spdlog::details::log_msg(msg.time, spdlog::source_loc{}, "", spdlog::level::info, line));
  }
}

void CappedDailySink::write(Clock::time_point time, const std::string& text) {
  if (!file_) return;
  const qint64 ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const std::string line = formatTime(ms).toStdString() + ' ' + text;
  bytes_ += overhead_ + line.size();
  file_->log(spdlog::details::log_msg(time, spdlog::source_loc{}, "", spdlog::level::info, line));
}

void CappedDailySink::startDay(int day) {
  day_ = day;
  capped_ = false;
  leftLines_ = leftBytes_ = 0;
  bytes_ = 0;
  if (days_ > 0) removeOldDays(day);
  if (!file_) {
    // A folder that cannot be written is tried again the next day, not on every line.
    // A failure throws to the logger's error handler, which reports it.
    file_ = std::make_unique<spdlog::sinks::daily_file_sink_st>(dir_ + "/" + kBaseName, 0, 0);
    file_->set_formatter(formatter_->clone());
  }
  std::error_code ec;
  const auto existing = fs::file_size(fs::path(dir_) / fileName(day), ec);
  if (!ec) bytes_ = existing;
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
  if (file_) file_->flush();
}

void CappedDailySink::flush_() {
  if (file_) file_->flush();
}

void CappedDailySink::removeOldDays(int today) const {
  static const std::regex kName(R"(session_(\d{4})-(\d{2})-(\d{2})\.log)");
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
