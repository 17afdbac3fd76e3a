#pragma once
// Prompts for tests: records every box (from any thread) so that a test can check its exact
// text, caption, icon and owner. In Scripted mode each box must match the next expected one,
// which gives its answer; any other box, and any file dialog, lands in `unexpected`.

#include <QCoreApplication>
#include <QList>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include "Prompts.h"

class FakePrompts final : public platform::Prompts {
 public:
  enum class Mode { Record, Scripted };
  struct Expected {
    QString text;
    QString caption;
    platform::Answer answer = platform::Answer::Ok;
  };

  explicit FakePrompts(Mode m = Mode::Record) : mode(m) {}
  ~FakePrompts() override {
    if (installed) platform::setPrompts(previous);
  }
  FakePrompts(const FakePrompts&) = delete;
  FakePrompts& operator=(const FakePrompts&) = delete;

  // Makes this the process-wide prompts until it is destroyed.
  void install() {
    previous = platform::setPrompts(this);
    installed = true;
  }

  void expect(const QString& text, const QString& caption,
              platform::Answer answer = platform::Answer::Ok) {
    std::lock_guard<std::mutex> lock(mutex);
    expected.push_back({text, caption, answer});
  }

  platform::Answer message(const platform::Prompt& p) override {
    platform::Answer answer = platform::Answer::Ok;
    {
      std::lock_guard<std::mutex> lock(mutex);
      shown.append(p);
      if (QCoreApplication::instance() && QThread::currentThread() != qApp->thread())
        ++offWindowThread;
      if (!expected.empty() && expected.front().text == p.text &&
          expected.front().caption == p.caption) {
        answer = expected.front().answer;
        expected.pop_front();
      } else if (mode == Mode::Scripted) {
        unexpected << QStringLiteral("[%1] %2").arg(p.caption, p.text);
      }
    }
    if (onMessage) onMessage();
    return answer;
  }
  // File dialogs answer from these queues in order (an empty name: cancelled); a dialog
  // with no answer queued is unexpected.
  QString openFileName(const platform::FileDialog& d) override {
    return fileAnswer(openAnswers, d, "open");
  }
  QString saveFileName(const platform::FileDialog& d) override {
    return fileAnswer(saveAnswers, d, "save");
  }

  int count() {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(shown.size());
  }
  QList<platform::Prompt> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(shown, {});
  }
  bool allExpectedShown() {
    std::lock_guard<std::mutex> lock(mutex);
    return expected.empty();
  }
  void reset() {
    std::lock_guard<std::mutex> lock(mutex);
    shown.clear();
    expected.clear();
    unexpected.clear();
    openAnswers.clear();
    saveAnswers.clear();
    dialogs.clear();
  }

  // Read these on the window thread once no other thread can show a box.
  QList<platform::Prompt> shown;
  std::deque<Expected> expected;
  QStringList unexpected;

  std::deque<QString> openAnswers;
  std::deque<QString> saveAnswers;
  QList<platform::FileDialog> dialogs;  // every file dialog shown

  std::function<void()> onMessage;  // runs after each box, outside the lock
  std::atomic<int> offWindowThread{0};

 private:
  QString fileAnswer(std::deque<QString>& answers, const platform::FileDialog& d, const char* kind) {
    std::lock_guard<std::mutex> lock(mutex);
    dialogs.append(d);
    if (answers.empty()) {
      unexpected << QStringLiteral("%1 file dialog: %2").arg(QLatin1String(kind), d.caption);
      return {};
    }
    QString name = answers.front();
    answers.pop_front();
    return name;
  }

  const Mode mode;
  std::mutex mutex;
  platform::Prompts* previous = nullptr;
  bool installed = false;
};
