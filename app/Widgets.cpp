#include "Widgets.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QVariant>
#include <limits>

#include "Names.h"
#include "Protects.h"
#include "RoutingTable.h"

namespace {
constexpr char kTagProperty[] = "Tag";
constexpr QSize kOutPortSize{23, 17};
constexpr qreal kOutPortRadius = 3.0;
constexpr int kOutPortPointSize = 7;
constexpr qreal kMarkSize = 7.0;  // legs of the audio mark's triangle
const QColor kMarkColour(112, 36, 168);
// The protect mark: a dark amber ear in the bottom left corner, apart from the audio mark.
const QColor kProtectColour(176, 88, 0);
constexpr int kRedescribe = -2;  // a MarkedAudio no route gives: the next check redraws  // violet: apart from the red caption and the teal rim

// " name" when there is one.
void appendName(QString& s, const names::Names* source, names::Kind kind, int number) {
  if (!source) return;
  const QString name = source->name(kind, number);
  if (!name.isEmpty()) s += QLatin1Char(' ') + name;
}
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
  describe();
  update();
}

void TOutPortButton::describe() {
  // Plain appends: a status burst renames all 256 buttons.
  QString s = QLatin1String("Output ") + QString::number(Output);
  appendName(s, NameSource, names::Kind::Output, Output);
  s += QLatin1String(", input ") + Caption;
  if (NameSource) appendName(s, NameSource, names::Kind::Input, Caption.toInt());
  if (MarkedAudio >= 0) {
    s += QLatin1String(", audio input ") + QString::number(MarkedAudio);
    appendName(s, NameSource, names::Kind::Input, MarkedAudio);
  }
  if (Protected)
    if (const routing::ProtectHolder* h = Held->holder(Output)) s += QLatin1String(", protected by ") + h->shown;
  setAccessibleName(s);
}

void TOutPortButton::setProtects(const routing::Protects* protects) {
  Held = protects;
  protectChanged();
}

void TOutPortButton::protectChanged() {
  const bool held = Held && Held->holder(Output);
  // A protect taken over by another holder keeps the mark but names the new one.
  if (!held && !Protected) return;
  Protected = held;
  describe();
  update();
}

void TOutPortButton::setSources(const routing::RoutingTable* table, const names::Names* names) {
  Table = table;
  NameSource = names;
  MarkedAudio = kRedescribe;
  sourcesChanged();
}

void TOutPortButton::sourcesChanged() {
  const routing::Route r = Table ? Table->route(Output) : routing::Route{};
  const int mark = r.breakaway() ? r.audio : -1;
  if (mark == MarkedAudio) return;
  MarkedAudio = mark;
  describe();
  update();
}

QString TOutPortButton::tipText() const {
  const routing::Route r = Table ? Table->route(Output) : routing::Route{};
  const auto input = [this](int in) {
    if (in == routing::kUnknown) return QStringLiteral("unknown");
    if (in == 0) return QStringLiteral("closed");
    QString s = QLatin1String("input ") + QString::number(in);
    appendName(s, NameSource, names::Kind::Input, in);
    return s;
  };
  QString s = QLatin1String("Output ") + QString::number(Output);
  appendName(s, NameSource, names::Kind::Output, Output);
  s += QLatin1String("\nVideo: ") + input(r.video) + QLatin1String("\nAudio: ") + input(r.audio);
  if (const routing::ProtectHolder* h = Held ? Held->holder(Output) : nullptr)
    s += QLatin1String("\nProtected by ") + h->shown;
  return s;
}

bool TOutPortButton::event(QEvent* e) {
  // Built when asked for: a burst changes routes far more often than anyone hovers.
  if (e->type() == QEvent::ToolTip && Table) {
    QToolTip::showText(static_cast<QHelpEvent*>(e)->globalPos(), tipText(), this, rect());
    return true;
  }
  return QAbstractButton::event(e);
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
  if (MarkedAudio >= 0) {
    // Audio from another input than video: a dog-ear in the top right corner, under the
    // caption's digits.
    QPainterPath ear;
    ear.moveTo(r.right() - kMarkSize, r.top());
    ear.lineTo(r.topRight());
    ear.lineTo(r.right(), r.top() + kMarkSize);
    ear.closeSubpath();
    p.save();
    p.setClipPath(path);
    p.fillPath(ear, kMarkColour);
    p.restore();
  }
  if (Protected) {
    // Protected: an ear in the bottom left corner, clear of the audio mark and the digits.
    QPainterPath ear;
    ear.moveTo(r.left(), r.bottom() - kMarkSize);
    ear.lineTo(r.bottomLeft());
    ear.lineTo(r.left() + kMarkSize, r.bottom());
    ear.closeSubpath();
    p.save();
    p.setClipPath(path);
    p.fillPath(ear, kProtectColour);
    p.restore();
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
