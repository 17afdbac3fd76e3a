#pragma once
// spdlog sink in front of spdlog's daily file sink: keeps a day's file under a size cap,
// says once how much was left out, and removes the files of days past the kept number.
// Runs on the logger's background thread; only the owner's finish() comes from elsewhere,
// after that thread has stopped.

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/daily_file_sink.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace sessionlog {

class CappedDailySink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // Files are <dir>/session_YYYY-MM-DD.log. days 0 keeps every day.
  CappedDailySink(std::string dir, int days, std::uint64_t maxBytes);

  // Writes what the day left out (lines past the cap, and lost lines the writer's queue
  // reported) and flushes. Called once at close.
  void finish(std::size_t queueOverruns);

  static std::string fileName(int yyyymmdd);

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override;
  void set_pattern_(const std::string& pattern) override;
  void set_formatter_(std::unique_ptr<spdlog::formatter> formatter) override;

 private:
  using Clock = spdlog::log_clock;
  void startDay(int day);
  void endDay();
  void write(Clock::time_point time, const std::string& text);
  void removeOldDays(int today) const;
  void measureOverhead();

  std::string dir_;
  int days_;
  std::uint64_t maxBytes_;
  std::unique_ptr<spdlog::sinks::daily_file_sink_st> file_;
  std::size_t overhead_ = 0;  // time stamp, space and line end around each text
  int day_ = 0;               // YYYYMMDD of the day being written, 0 before the first line
  std::uint64_t bytes_ = 0;   // written to the day's file, including what was there at start
  bool capped_ = false;
  std::uint64_t leftLines_ = 0;
  std::uint64_t leftBytes_ = 0;
  Clock::time_point lastTime_{};
};

}  // namespace sessionlog
