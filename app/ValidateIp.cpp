#include "ValidateIp.h"

#include <QStringList>

namespace {
constexpr int kFieldCount = 4;
constexpr int kMaxFieldLength = 3;
constexpr int kMaxFieldValue = 255;

// -1 when the field is not 1 to 3 decimal digits with a value up to 255.
int fieldValue(const QString& field) {
  if (field.isEmpty() || field.size() > kMaxFieldLength) return -1;
  int v = 0;
  for (QChar c : field) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return -1;
    v = v * 10 + (c.unicode() - '0');
  }
  return v <= kMaxFieldValue ? v : -1;
}

bool parse(const QString& text, int (&fields)[kFieldCount]) {
  QString rest = text;
  for (int i = 0; i < kFieldCount - 1; ++i) {
    const int dot = rest.indexOf(QLatin1Char('.'));
    if (dot < 0) return false;
    fields[i] = fieldValue(rest.left(dot));
    if (fields[i] < 0) return false;
    rest = rest.mid(dot + 1);
  }
  fields[kFieldCount - 1] = fieldValue(rest);
  return fields[kFieldCount - 1] >= 0;
}
}  // namespace

bool ValidateIp(const QString& text) {
  int fields[kFieldCount];
  return parse(text, fields);
}

QString CanonicalIp(const QString& text) {
  int fields[kFieldCount];
  if (!parse(text, fields)) return {};
  return QStringLiteral("%1.%2.%3.%4").arg(fields[0]).arg(fields[1]).arg(fields[2]).arg(fields[3]);
}
