#pragma once
// The console's own small widgets: the output buttons of the grid and the flat
// "image buttons" of the tabs, drawn here so that the window looks the same everywhere.

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>

// A VCL-style Tag: one small integer of state per widget.
int tagOf(const QObject* widget);
void setTag(QObject* widget, int tag);

// One output of the matrix: a 23 by 17 button whose caption is the input feeding it.
class TOutPortButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit TOutPortButton(QWidget* parent = nullptr);
  QSize sizeHint() const override;

  // The caption is the matrix status of this output. Kept apart from QAbstractButton's
  // text, whose setter also asks the parent for a new layout: 256 such requests per status
  // burst would cost more than the whole burst.
  const QString& caption() const { return Caption; }
  void setCaption(const QString& caption);

 private:
  QString Caption;

 protected:
  void paintEvent(QPaintEvent*) override;
};

// A flat push button in the console's colours.
class TImageButton : public QPushButton {
  Q_OBJECT
 public:
  explicit TImageButton(const QString& caption, QWidget* parent = nullptr);
};
