#include "KeypadGrammar.h"

#include "Commands.h"

bool IsAllDigits(const QString& text) {
  // ASCII digits only: other Unicode digits would pass QChar::isDigit and then fail to convert.
  for (QChar c : text) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
  }
  return true;
}

namespace keypad {

namespace {

const QString kAllWord = QStringLiteral("All");

bool IsDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// Digits at both ends, digits or commas between (doubled commas included).
bool IsNumberList(const QString& line) {
  if (!IsDigit(line.front()) || !IsDigit(line.back())) return false;
  for (QChar c : line) {
    if (!IsDigit(c) && c != QLatin1Char(',')) return false;
  }
  return true;
}

// Digits converted to a number and handed to the builder, or the conversion error.
template <typename Build>
Outcome NumberCommand(const QString& digits, Build build) {
  const std::optional<std::int32_t> x = ToNumber(digits);
  if (!x) return {Act::TooLarge, {}, TooLargeText(digits)};
  return {Act::Send, build(*x), {}};
}

Outcome ListKey(const QString& line, const char* allCommand, const char* terminator) {
  if (line.isEmpty()) return {};
  if (line == kAllWord) return {Act::Send, allCommand, {}};
  // The list goes out as typed: leading zeros and doubled commas included.
  if (IsNumberList(line)) return {Act::Send, line.toLatin1() + terminator, {}};
  return {Act::InvalidOrder, {}, {}};
}

}  // namespace

std::optional<std::int32_t> ToNumber(const QString& digits) {
  if (digits.isEmpty() || !IsAllDigits(digits)) return std::nullopt;
  std::int64_t value = 0;
  for (QChar c : digits) {
    value = value * 10 + (c.unicode() - '0');
    if (value > kMaxNumber) return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

QString TooLargeText(const QString& digits) {
  return QStringLiteral("The number %1 is too large: at most %2.").arg(digits).arg(kMaxNumber);
}

Outcome AllKey(const QString& line) {
  if (line.isEmpty()) return {Act::WriteAll, {}, {}};
  if (IsAllDigits(line)) return NumberCommand(line, commands::InputToAllText);
  return {Act::InvalidOrder, {}, {}};
}

Outcome StatusKey(const QString& line) {
  if (line.isEmpty()) return {};
  if (IsAllDigits(line)) return NumberCommand(line, commands::QueryStatusText);
  if (line == kAllWord) return {Act::Send, "Status.", {}};
  return {Act::InvalidOrder, {}, {}};
}

Outcome ThroughKey(const QString& line) { return ListKey(line, "All#.", "#."); }
Outcome CloseKey(const QString& line) { return ListKey(line, "All$.", "$."); }

}  // namespace keypad
