#pragma once
// Error boxes of the serial unit. The monitor thread must not touch widgets, so its boxes
// are handed to the window thread, and it waits there for the operator, unless it is told
// to stop waiting.

#include "Prompts.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace link_detail {

// One box handed over to the window thread.
struct PromptRequest {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;       // the operator closed it
  bool abandoned = false;  // the waiter no longer cares (port closed): skip or stop waiting
  void abandon();
};

// Shows p (with the application window as owner) on the window thread and returns when
// it is closed or req is abandoned. On the window thread itself, or with no application
// object, it is a plain call.
void showOnWindowThread(platform::Prompt p, const std::shared_ptr<PromptRequest>& req);

// Stop-icon box of the serial unit with caption "错误".
platform::Prompt errorPrompt(const QString& text);
// The serial error box for the operation `what` failing with errno value `error`.
platform::Prompt commErrorPrompt(const char* what, int error);

}  // namespace link_detail
