#pragma once
// The console's own small widgets: the output buttons of the grid and the flat
// "image buttons" of the tabs, drawn here so that the window looks the same everywhere.

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <initializer_list>

// A VCL-style Tag: one small integer of state per widget.
int tagOf(const QObject* widget);
void setTag(QObject* widget, int tag);

class QLineEdit;
namespace names {
class Names;
}
namespace routing {
class Protects;
class RoutingTable;
}
// No length limit: Qt's default of 32,767 characters would cut a longer value that the
// field shows and then write the cut value back.
void unlimitedLength(QLineEdit* edit);

// A label sized to its caption at a fixed place.
QLabel* fixedLabel(const char* name, const QString& caption, QWidget* parent, QPoint at);

// What a screen reader or a test tool calls the widget, and what it says about it.
void nameFor(QWidget* widget, const QString& name, const QString& description = {});
// Tab goes through the widgets in this order: the order of the layout, not of creation.
void chainTabOrder(std::initializer_list<QWidget*> widgets);

// One output of the matrix: a 23 by 17 button whose caption is the input feeding it.
// The grid is one Tab stop: only the button last reached by the keyboard is in the Tab
// chain, the arrow keys move between buttons, Enter, Return and Space click.
class TOutPortButton : public QAbstractButton {
  Q_OBJECT
 public:
  TOutPortButton(int output, QWidget* parent = nullptr);
  QSize sizeHint() const override;

  // The caption is the matrix status of this output. Kept apart from QAbstractButton's
  // text, whose setter also asks the parent for a new layout: 256 such requests per status
  // burst would cost more than the whole burst.
  const QString& caption() const { return Caption; }
  void setCaption(const QString& caption);

  // Where the button learns what its caption does not say: the routing table (audio from
  // another input than video puts a mark on the button; the tooltip) and the operator's
  // names (tooltip and accessible name). Null: left out, and the button reads as before.
  void setSources(const routing::RoutingTable* table, const names::Names* names);
  // The table changed this output's route.
  void sourcesChanged();
  // The engine's protects: a protected output gets a mark, and its holder is named in the
  // tooltip and the accessible name. Null: none shown.
  void setProtects(const routing::Protects* protects);
  // The output was protected or released.
  void protectChanged();
  bool protectMarked() const { return Protected; }
  // What the tooltip says.
  QString tipText() const;

 signals:
  // An arrow key pressed on the focused button (Qt::Key_Left, _Right, _Up or _Down).
  void arrowKey(int key);

 private:
  void describe();

  const int Output;
  QString Caption;
  const routing::RoutingTable* Table = nullptr;
  const names::Names* NameSource = nullptr;
  int MarkedAudio = -1;  // the audio input the mark stands for; -1: no mark
  const routing::Protects* Held = nullptr;
  bool Protected = false;

 protected:
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent*) override;
  void keyPressEvent(QKeyEvent* e) override;
};

// A flat push button in the console's colours.
class TImageButton : public QPushButton {
  Q_OBJECT
 public:
  explicit TImageButton(const QString& caption, QWidget* parent = nullptr);
};
