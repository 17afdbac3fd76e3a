#pragma once
// TForm4: the command help window. Not modal; shown and hidden by the Help button and by
// the F1 and Esc keys anywhere in the program.

#include <QStringList>
#include <QWidget>

class QPlainTextEdit;

class TForm4 : public QWidget {
  Q_OBJECT
 public:
  explicit TForm4(QWidget* owner = nullptr);

  // The help text, one entry per line, its columns lined up in the memo's fixed-pitch font.
  static QStringList HelpLines();

  QPlainTextEdit* Memo1 = nullptr;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  bool Placed = false;
};
