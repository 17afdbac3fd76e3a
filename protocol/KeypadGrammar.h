#pragma once
// What the keypad's function keys make of the composed text, and the number fields of the
// Auto tab. No widgets: the handlers only carry out the outcome.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// True when every character is a decimal digit 0 to 9; also true for the empty text.
bool IsAllDigits(const QString& text);

namespace keypad {

// Numbers are signed 32-bit; a longer digit string does not convert.
constexpr std::int64_t kMaxNumber = 2147483647;

// A text of digits (IsAllDigits) as a number; nothing for the empty text or beyond kMaxNumber.
std::optional<std::int32_t> ToNumber(const QString& digits);

enum class Act {
  Nothing,       // the key does nothing with this text
  WriteAll,      // ALL on an empty line: the line becomes "All"
  Send,          // send `command`, then empty the line
  InvalidOrder,  // "Invalid order! Please input again."
  TooLarge,      // digits that do not fit 32 bits: `error` says so, nothing is sent
};
struct Outcome {
  Act act = Act::Nothing;
  QByteArray command;  // for Send
  QString error;       // for TooLarge
};

Outcome AllKey(const QString& line);
Outcome StatusKey(const QString& line);
Outcome ThroughKey(const QString& line);
Outcome CloseKey(const QString& line);

// The conversion error of a digit string too long for 32 bits.
QString TooLargeText(const QString& digits);

}  // namespace keypad
