#include "Widgets.h"

#include <QPainter>
#include <QPainterPath>
#include <QVariant>

namespace {
constexpr char kTagProperty[] = "Tag";
constexpr QSize kOutPortSize{23, 17};
constexpr qreal kOutPortRadius = 3.0;
constexpr int kOutPortPointSize = 7;
}  // namespace

int tagOf(const QObject* widget) { return widget ? widget->property(kTagProperty).toInt() : 0; }
void setTag(QObject* widget, int tag) { widget->setProperty(kTagProperty, tag); }

TOutPortButton::TOutPortButton(QWidget* parent) : QAbstractButton(parent) {
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
  setAccessibleName(objectName() + QLatin1Char(' ') + caption);
  update();
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
  p.setPen(Qt::red);
  p.drawText(rect().translated(0, down ? 1 : 0), Qt::AlignCenter, Caption);
}

TImageButton::TImageButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
  setObjectName(QString());
  setCursor(Qt::PointingHandCursor);
  setProperty("imageButton", true);
}
