#pragma once
// TForm3: the password dialog. OK sends exactly eight bytes as the switcher's new password.

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class TForm3 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm3(QWidget* owner = nullptr);

  void FormShow();
  void BitBtn1Click();

  QLabel* Label1 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QPushButton* BitBtn1 = nullptr;  // OK
  QPushButton* BitBtn2 = nullptr;  // Cancel

 protected:
  void showEvent(QShowEvent* e) override;
};
