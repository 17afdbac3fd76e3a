#include "Prompts.h"

#include <atomic>
#include <cstdio>

namespace platform {
namespace {

// Used until the application installs its own: libraries and tools stay usable without a
// display, and nothing is shown that nobody can close.
class StderrPrompts final : public Prompts {
 public:
  Answer message(const Prompt& p) override {
    std::fprintf(stderr, "[%s] %s\n", p.caption.toUtf8().constData(), p.text.toUtf8().constData());
    return p.buttons == Buttons::Ok || p.buttons == Buttons::OkCancel ? Answer::Ok : Answer::Cancel;
  }
  QString openFileName(const FileDialog&) override { return {}; }
  QString saveFileName(const FileDialog&) override { return {}; }
};

StderrPrompts fallback;
std::atomic<Prompts*> installed{nullptr};
std::atomic<QWidget*> appWindow{nullptr};

}  // namespace

Prompts& prompts() {
  Prompts* p = installed.load();
  return p ? *p : fallback;
}

Prompts* setPrompts(Prompts* p) { return installed.exchange(p); }

QWidget* applicationWindow() { return appWindow.load(); }
void setApplicationWindow(QWidget* w) { appWindow.store(w); }

Answer showMessage(QWidget* owner, const QString& text, const QString& caption, Icon icon,
                   Buttons buttons) {
  Prompt p;
  p.owner = owner;
  p.text = text;
  p.caption = caption;
  p.icon = icon;
  p.buttons = buttons;
  return prompts().message(p);
}

}  // namespace platform
