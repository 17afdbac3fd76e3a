#pragma once
// TForm3: the password dialog (its contents arrive with the password feature).

#include <QDialog>

class TForm3 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm3(QWidget* owner = nullptr);
};
