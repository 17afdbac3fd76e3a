#include "StatusLines.h"

#include <QTimer>

#include <utility>

namespace bridge {

StatusLines::StatusLines(Sink journal, Sink status, QObject* parent)
    : QObject(parent), journal(std::move(journal)), status(std::move(status)) {}

void StatusLines::setLink(const QString& text) {
  link = text;
  publish();
}

void StatusLines::setService(const QString& name, const QString& text, bool counts) {
  if (!services.contains(name)) order << name;
  Service& s = services[name];
  s.text = text;
  publish();
  if (text == s.written) return;
  const qint64 left = !counts || !s.since.isValid() ? 0 : quietMs - s.since.elapsed();
  if (left <= 0) return write(name);
  if (!s.timer) {
    s.timer = new QTimer(this);
    s.timer->setSingleShot(true);
    connect(s.timer, &QTimer::timeout, this, [this, name] { write(name); });
  }
  if (!s.timer->isActive()) s.timer->start(int(left));
}

void StatusLines::write(const QString& name) {
  Service& s = services[name];
  if (s.timer) s.timer->stop();
  if (s.text == s.written) return;
  s.written = s.text;
  s.since.start();
  journal(s.text);
}

void StatusLines::publish() {
  QStringList parts;
  if (!link.isEmpty()) parts << link;
  for (const QString& name : std::as_const(order)) parts << services.value(name).text;
  status(parts.join(QStringLiteral("; ")));
}

}  // namespace bridge
