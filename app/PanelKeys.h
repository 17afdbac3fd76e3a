#pragma once
// The front-panel look of the Keyboard and Auto tabs: keypad keys and the shaped signal
// buttons. Keys never take the keyboard focus, so the command line keeps it while keys are
// hit; the signal buttons take it by Tab only, so that the Auto tab works from the keyboard.

#include <QAbstractButton>
#include <QColor>

// One key of the keypad, its label drawn on a face coloured by its family.
class TPanelKey : public QAbstractButton {
  Q_OBJECT
 public:
  enum class Family { Digit, Signal, Function, Enter, Warning, Inert };
  TPanelKey(const QString& label, Family family, QColor face, QWidget* parent = nullptr);
  Family family() const { return Kind; }

 signals:
  // Any mouse button, pressed on the key and released (the LOCK key times the hold).
  void mouseDown();
  void mouseUp();

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  Family Kind;
  QColor Face;
};

// One of the side-by-side signal buttons of the Auto tab (checkable; a QButtonGroup makes
// them one radio group). The two outer ones are rounded on their outer side only.
class TShapeButton : public QAbstractButton {
  Q_OBJECT
 public:
  enum class Edge { Left, Middle, Right };
  TShapeButton(const QString& caption, Edge edge, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  Edge Side;
};
