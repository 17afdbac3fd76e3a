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
  QString openFileName(const platform::FileDialog& d) override {
    std::lock_guard<std::mutex> lock(mutex);
    unexpected << QStringLiteral("open file dialog: %1").arg(d.caption);
    return {};
  }
  QString saveFileName(const platform::FileDialog& d) override {
    std::lock_guard<std::mutex> lock(mutex);
    unexpected << QStringLiteral("save file dialog: %1").arg(d.caption);
    return {};
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
  }

  // Read these on the window thread once no other thread can show a box.
  QList<platform::Prompt> shown;
  std::deque<Expected> expected;
  QStringList unexpected;

  std::function<void()> onMessage;  // runs after each box, outside the lock
  std::atomic<int> offWindowThread{0};

 private:
  const Mode mode;
  std::mutex mutex;
  platform::Prompts* previous = nullptr;
  bool installed = false;
};
