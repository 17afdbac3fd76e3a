#pragma once
// TForm5: the Update notice shown modally while the switcher is identified. It has no
// title-bar buttons and the operator cannot close it: the identification timers do.

#include <QDialog>

class QLabel;

class TForm5 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm5(QWidget* owner = nullptr);
  // Ends the modal run; does nothing while the window is not shown.
  void CloseUpdate();

  QLabel* Label1 = nullptr;

 public slots:
  void reject() override;  // Esc must not end the identification early

 protected:
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;

 private:
  bool Closing = false;
};
