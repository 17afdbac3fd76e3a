#pragma once
// Operator prompts: every message box and file dialog of the console goes through here,
// so that tests can record them and answer from a script.

#include <QString>

class QWidget;

namespace platform {

enum class Icon { None, Stop, Warning, Information, Question };
enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
enum class Answer { Ok, Cancel, Yes, No };

struct Prompt {
  QWidget* owner = nullptr;  // null: a box without owner window
  QString text;
  QString caption;
  Icon icon = Icon::None;
  Buttons buttons = Buttons::Ok;
};

struct FileDialog {
  QWidget* owner = nullptr;
  QString caption;
  QString directory;
  QString filter;            // Qt filter, e.g. "Code Group File (*.cgf)"
  QString defaultSuffix;     // e.g. "cgf"
};

class Prompts {
 public:
  virtual ~Prompts() = default;
  // Shows a modal box and returns the button pressed. Window thread only: the serial
  // monitor thread hands its boxes over to the window thread itself.
  virtual Answer message(const Prompt& prompt) = 0;
  // Returns the chosen path, or an empty string when the operator cancels.
  virtual QString openFileName(const FileDialog& dialog) = 0;
  virtual QString saveFileName(const FileDialog& dialog) = 0;
};

// The process-wide prompts. Until the application installs its own, a fallback writes
// the text to stderr and answers Ok/Cancel, so that libraries never need a display.
Prompts& prompts();
// Installs p (not owned); null restores the fallback. Returns the previous one.
Prompts* setPrompts(Prompts* p);

// The application's main window, owner of "application" message boxes. Null until set.
QWidget* applicationWindow();
void setApplicationWindow(QWidget* w);

// Convenience: OK box.
Answer showMessage(QWidget* owner, const QString& text, const QString& caption,
                   Icon icon = Icon::None, Buttons buttons = Buttons::Ok);

}  // namespace platform
