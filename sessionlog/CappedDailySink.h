#pragma once
// spdlog sink writing one file a day: keeps a day's file under a size cap, says once how much
// was left out, and removes the files of days past the kept number. The folder is made 0700
// and files 0600 whatever the umask, since commands and replies are the operator's business.
// One writer per file: the day's file is held with an advisory lock, and a second console
// that finds it held writes a file of its own (session_YYYY-MM-DD.<pid>.log).
// Runs on the logger's background thread; only the owner's finish() comes from elsewhere,
// after that thread has stopped.

#include <spdlog/sinks/base_sink.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sessionlog {

class CappedDailySink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // Files are <dir>/session_YYYY-MM-DD.log. days 0 keeps every day.
  CappedDailySink(std::string dir, int days, std::uint64_t maxBytes);
  ~CappedDailySink() override;
  CappedDailySink(const CappedDailySink&) = delete;
  CappedDailySink& operator=(const CappedDailySink&) = delete;

  // Called once, on the writer thread, with a note when the day's file is another writer's
  // and this one writes its own file instead. Set before the first line.
  void onOwnFile(std::function<void(const std::string&)> note) { ownFileNote_ = std::move(note); }

  // Writes what the day left out (lines past the cap, and lost lines the writer's queue
  // reported) and flushes. Called once at close.
  void finish(std::size_t queueOverruns);

  static std::string fileName(int yyyymmdd);
  // The file of a second writer on the same day.
  static std::string fileName(int yyyymmdd, long pid);

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
  void put(const spdlog::details::log_msg& msg);
  void writeOut();
  void closeFile();
  void removeOldDays(int today) const;
  void measureOverhead();

  std::string dir_;
  int days_;
  std::uint64_t maxBytes_;
  int fd_ = -1;            // the day's file, locked; -1 when it could not be opened
  std::string path_;       // of fd_
  std::string out_;        // formatted lines not yet written
  std::function<void(const std::string&)> ownFileNote_;
  bool ownFileNoted_ = false;
  std::size_t overhead_ = 0;  // time stamp, space and line end around each text
  int day_ = 0;               // YYYYMMDD of the day being written, 0 before the first line
  std::uint64_t bytes_ = 0;   // written to the day's file, including what was there at start
  bool capped_ = false;
  std::uint64_t leftLines_ = 0;
  std::uint64_t leftBytes_ = 0;
  Clock::time_point lastTime_{};
};

}  // namespace sessionlog
