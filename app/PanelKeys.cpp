#include "PanelKeys.h"

#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace {
constexpr qreal kKeyRadius = 4.0;
constexpr int kKeyBevel = 3;  // pixels of the key's lower edge, gone while it is held
constexpr int kShapeRadius = 12;
constexpr qreal kLabelMargin = 4.0;    // pixels kept free beside a label
constexpr qreal kSmallestLabel = 5.0;  // points

QColor labelColour(const QColor& face) {
  return face.lightness() > 150 ? QColor(24, 30, 36) : QColor(Qt::white);
}
}  // namespace

TPanelKey::TPanelKey(const QString& label, Family family, QColor face, QWidget* parent)
    : QAbstractButton(parent), Kind(family), Face(face) {
  setText(label);
  setFocusPolicy(Qt::NoFocus);
  setCursor(family == Family::Inert ? Qt::ArrowCursor : Qt::PointingHandCursor);
  setAccessibleName(label);
  QFont f = font();
  f.setBold(true);
  f.setPointSize(family == Family::Digit ? 10 : 7);
  setFont(f);
}

void TPanelKey::mousePressEvent(QMouseEvent* e) {
  emit mouseDown();
  QAbstractButton::mousePressEvent(e);
}

void TPanelKey::mouseReleaseEvent(QMouseEvent* e) {
  emit mouseUp();
  QAbstractButton::mouseReleaseEvent(e);
}

void TPanelKey::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const bool down = isDown();
  const QRectF all = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  // The key's side: a darker band below the face, hidden when the key is pressed in.
  QPainterPath side;
  side.addRoundedRect(all, kKeyRadius, kKeyRadius);
  p.fillPath(side, Face.darker(down ? 190 : 160));
  const QRectF face = down ? all.adjusted(1, kKeyBevel, -1, 0) : all.adjusted(0, 0, 0, -kKeyBevel);
  QPainterPath top;
  top.addRoundedRect(face, kKeyRadius, kKeyRadius);
  QLinearGradient g(face.topLeft(), face.bottomLeft());
  const QColor base = down ? Face.darker(115) : (underMouse() ? Face.lighter(112) : Face);
  g.setColorAt(0, base.lighter(down ? 100 : 125));
  g.setColorAt(1, base);
  p.fillPath(top, g);
  p.setPen(QPen(Face.darker(200), 1));
  p.drawPath(top);
  // Long labels shrink to fit the key rather than lose letters.
  QFont f = font();
  while (QFontMetricsF(f).horizontalAdvance(text()) > face.width() - kLabelMargin &&
         f.pointSizeF() > kSmallestLabel)
    f.setPointSizeF(f.pointSizeF() - 0.5);
  p.setFont(f);
  p.setPen(labelColour(Face));
  p.drawText(face.toRect(), Qt::AlignCenter, text());
}

TShapeButton::TShapeButton(const QString& caption, Edge edge, QWidget* parent)
    : QAbstractButton(parent), Side(edge) {
  setText(caption);
  setCheckable(true);
  setFocusPolicy(Qt::TabFocus);
  setCursor(Qt::PointingHandCursor);
  setAccessibleName(caption);
  QFont f = font();
  f.setBold(true);
  setFont(f);
}

void TShapeButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  // A rounded rectangle, with the inner corners squared by overlaying plain rectangles.
  QPainterPath path;
  path.addRoundedRect(r, kShapeRadius, kShapeRadius);
  auto square = [&](qreal left) {
    QPainterPath half;
    half.addRect(QRectF(left, r.top(), r.width() / 2, r.height()));
    path = path.united(half);
  };
  if (Side != Edge::Left) square(r.left());
  if (Side != Edge::Right) square(r.center().x());
  const bool on = isChecked() || isDown();
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  if (on) {
    g.setColorAt(0, QColor(10, 96, 120));
    g.setColorAt(1, QColor(18, 138, 166));
  } else {
    g.setColorAt(0, underMouse() ? QColor(255, 255, 255) : QColor(246, 250, 252));
    g.setColorAt(1, QColor(200, 222, 230));
  }
  p.fillPath(path, g);
  p.setPen(QPen(QColor(11, 95, 116), 1));
  p.drawPath(path);
  if (hasFocus()) {
    p.setPen(QPen(QColor(255, 140, 0), 2));
    p.drawRoundedRect(r.adjusted(2, 2, -2, -2), kShapeRadius - 2, kShapeRadius - 2);
  }
  p.setPen(on ? QColor(Qt::white) : QColor(11, 63, 76));
  p.drawText(rect(), Qt::AlignCenter, text());
}
