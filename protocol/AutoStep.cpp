#include "AutoStep.h"

#include <optional>

#include "Commands.h"
#include "KeypadGrammar.h"

namespace autoseq {

namespace {

// Why an empty or over-long field cannot start the run.
QString ConversionText(const char* field, const QString& text) {
  if (text.isEmpty()) return QStringLiteral("%1 is empty: please enter a number.").arg(field);
  return QStringLiteral("%1: %2 is too large, at most %3.")
      .arg(field, text)
      .arg(keypad::kMaxNumber);
}

}  // namespace

QString InvalidNumberText() { return QStringLiteral("Error! Invalid number!"); }

Check ReadFields(const Fields& f) {
  const struct {
    const char* name;
    const QString& text;
    std::int32_t Start::*value;
  } fields[] = {{"Input From", f.inputFrom, &Start::input},
                {"Input To", f.inputTo, &Start::lastInput},
                {"Output From", f.outputFrom, &Start::output},
                {"Output To", f.outputTo, &Start::lastOutput},
                {"Delay", f.delay, &Start::delayMs}};
  Check check;
  for (const auto& field : fields) {
    if (!IsAllDigits(field.text)) {
      check.problem = Problem::NotDigits;
      check.message = InvalidNumberText();
      return check;
    }
  }
  for (const auto& field : fields) {
    const std::optional<std::int32_t> n = keypad::ToNumber(field.text);
    if (!n) {
      check.problem = Problem::Conversion;
      check.message = ConversionText(field.name, field.text);
      return check;
    }
    check.values.*field.value = *n;
  }
  return check;
}

QString Hint(std::int32_t input, std::int32_t output, char signal) {
  return QStringLiteral("%1-->%2 %3").arg(input).arg(output).arg(QLatin1Char(signal));
}

QByteArray StepCommand(std::int32_t input, std::int32_t output, char signal) {
  return commands::RouteText(input, &output, 1, signal);
}

bool Advance(std::int32_t& input, std::int32_t& output, std::int32_t lastInput,
             std::int32_t lastOutput, const QString& outputFromNow, const QString& inputFromNow) {
  std::int32_t nextOutput = output;
  // 64 bits: an input at the 32-bit limit must wrap, not overflow.
  std::int64_t nextInput = input;
  if (output < lastOutput) {
    ++nextOutput;
  } else {
    const std::optional<std::int32_t> first = keypad::ToNumber(outputFromNow);
    if (!first) return false;
    nextOutput = *first;
    ++nextInput;
  }
  if (nextInput > lastInput) {
    const std::optional<std::int32_t> first = keypad::ToNumber(inputFromNow);
    if (!first) return false;
    nextInput = *first;
  }
  input = static_cast<std::int32_t>(nextInput);
  output = nextOutput;
  return true;
}

}  // namespace autoseq
