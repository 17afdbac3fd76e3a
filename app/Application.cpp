#include "Application.h"

#include <exception>

#include "Prompts.h"

const char kExceptionCaption[] = "Switcher system";

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowException(QString::fromLocal8Bit(e.what()));
  } catch (...) {
    ShowException(QString());
  }
  return false;
}

void TApplication::ShowException(const QString& message) {
  platform::showMessage(platform::applicationWindow(), message, kExceptionCaption,
                        platform::Icon::Stop);
}
