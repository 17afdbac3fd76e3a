#pragma once
// TForm4: the command help window (its text arrives with the Custom Code tab).

#include <QWidget>

class TForm4 : public QWidget {
  Q_OBJECT
 public:
  explicit TForm4(QWidget* owner = nullptr);
};
