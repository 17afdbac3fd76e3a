#include "SwitcherModel.h"

#include <QRegularExpression>

namespace model {

namespace {
constexpr int kMaxPorts = 999;  // three digits in route reports
}

bool ParseMatrixSize(const QString& typeReply, int* inputs, int* outputs) {
  static const QRegularExpression kForm(QStringLiteral("^\\s*MATRIX\\s+(\\d{1,3})[Xx](\\d{1,3})\\s*$"));
  const QRegularExpressionMatch m = kForm.match(typeReply);
  if (!m.hasMatch()) return false;
  const int i = m.captured(1).toInt();
  const int o = m.captured(2).toInt();
  if (i < 1 || o < 1 || i > kMaxPorts || o > kMaxPorts) return false;
  *inputs = i;
  *outputs = o;
  return true;
}

}  // namespace model
