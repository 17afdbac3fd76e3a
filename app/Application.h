#pragma once
// The application object: an exception thrown by any event handler is shown in a box
// with its message, and the program goes on.

#include <QApplication>

class TApplication : public QApplication {
  Q_OBJECT
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
  // The box for an exception; an empty message for thrown objects that are not exceptions.
  static void ShowException(const QString& message);
};

extern const char kExceptionCaption[];
