#include "Widgets.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QVariant>
#include <limits>

namespace {
constexpr char kTagProperty[] = "Tag";
constexpr QSize kOutPortSize{23, 17};
constexpr qreal kOutPortRadius = 3.0;
constexpr int kOutPortPointSize = 7;
}  // namespace

int tagOf(const QObject* widget) { return widget ? widget->property(kTagProperty).toInt() : 0; }
void setTag(QObject* widget, int tag) { widget->setProperty(kTagProperty, tag); }

QLabel* fixedLabel(const char* name, const QString& caption, QWidget* parent, QPoint at) {
  auto* l = new QLabel(caption, parent);
  l->setObjectName(name);
  l->move(at);
  l->adjustSize();
  return l;
}

void nameFor(QWidget* widget, const QString& name, const QString& description) {
  widget->setAccessibleName(name);
  if (!description.isEmpty()) widget->setAccessibleDescription(description);
}

void chainTabOrder(std::initializer_list<QWidget*> widgets) {
  QWidget* previous = nullptr;
  for (QWidget* w : widgets) {
    if (previous) QWidget::setTabOrder(previous, w);
    previous = w;
  }
}

TOutPortButton::TOutPortButton(int output, QWidget* parent) : QAbstractButton(parent), Output(output) {
  // Out of the Tab chain until the grid hands it the keyboard; a mouse click never takes
  // the focus from the field being typed in.
  setFocusPolicy(Qt::NoFocus);
  setCursor(Qt::PointingHandCursor);
  QFont f = font();
  f.setPointSize(kOutPortPointSize);
  f.setBold(true);
  setFont(f);
}

QSize TOutPortButton::sizeHint() const { return kOutPortSize; }

void TOutPortButton::setCaption(const QString& caption) {
  if (caption == Caption) return;
  Caption = caption;
  // Plain appends: a status burst renames all 256 buttons.
  setAccessibleName(QLatin1String("Output ") + QString::number(Output) + QLatin1String(", input ") + caption);
  update();
}

void TOutPortButton::keyPressEvent(QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down: emit arrowKey(e->key()); return;
    case Qt::Key_Enter:
    case Qt::Key_Return:
      if (!e->isAutoRepeat()) click();
      return;
    default: QAbstractButton::keyPressEvent(e);  // Space clicks on release
  }
}

void TOutPortButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  QPainterPath path;
  path.addRoundedRect(r, kOutPortRadius, kOutPortRadius);
  const bool down = isDown();
  const bool hot = underMouse();
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  g.setColorAt(0, down ? QColor(200, 214, 220) : (hot ? QColor(255, 255, 255) : QColor(246, 250, 252)));
  g.setColorAt(1, down ? QColor(226, 236, 240) : QColor(212, 226, 232));
  p.fillPath(path, g);
  p.setPen(QColor(14, 92, 112));
  p.drawPath(path);
  if (hasFocus()) {
    // The keyboard's place in the grid: a ring clear of the caption, seen on every face.
    QPainterPath ring;
    ring.addRoundedRect(r.adjusted(1, 1, -1, -1), kOutPortRadius - 1, kOutPortRadius - 1);
    p.setPen(QPen(QColor(255, 140, 0), 2));
    p.drawPath(ring);
  }
  p.setPen(Qt::red);
  p.drawText(rect().translated(0, down ? 1 : 0), Qt::AlignCenter, Caption);
}

TImageButton::TImageButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
  setObjectName(QString());
  setCursor(Qt::PointingHandCursor);
  setProperty("imageButton", true);
}

void unlimitedLength(QLineEdit* edit) { edit->setMaxLength(std::numeric_limits<int>::max()); }
