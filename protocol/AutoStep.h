#pragma once
// The auto switching sequence without its widgets: reading the five fields at start, one
// step's hint and route command, and the advance to the next pair.

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace autoseq {

// The texts of InputFrom, InputTo, MaskEdit3, MaskEdit4 and DelayTime.
struct Fields {
  QString inputFrom, inputTo, outputFrom, outputTo, delay;
};

struct Start {
  std::int32_t input = 0, lastInput = 0, output = 0, lastOutput = 0, delayMs = 0;
};

enum class Problem { None, NotDigits, Conversion };
struct Check {
  Problem problem = Problem::None;
  QString message;  // the box text for a problem
  Start values;
};

// "Error! Invalid number!": a field that holds anything but digits.
QString InvalidNumberText();

// All five fields, checked before any is converted, so that a failing start changes nothing.
Check ReadFields(const Fields& fields);

// "2-->4 V": the pair about to be sent.
QString Hint(std::int32_t input, std::int32_t output, char signal);
// The route command of one step: one input to one output.
QByteArray StepCommand(std::int32_t input, std::int32_t output, char signal);

// Moves to the next pair: outputs fastest, then the next input, back to the first input after
// the last. The first fields are read again only at the moment a range wraps; when the one
// needed then holds no number, nothing moves and the result is false.
bool Advance(std::int32_t& input, std::int32_t& output, std::int32_t lastInput,
             std::int32_t lastOutput, const QString& outputFromNow, const QString& inputFromNow);

}  // namespace autoseq
