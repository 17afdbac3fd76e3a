#pragma once
// The simulated switcher: routing state, presets, lock flag and password, and the command
// language in both directions (command bytes in, reply lines out). No I/O and no event loop,
// so tests and the switcher-sim server drive the same object.

#include "CommandFramer.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <optional>
#include <vector>

namespace sim {

constexpr int kMaxCommandLength = framing::kMaxCommandLength;
// Route reports carry three-digit numbers, so no port count may need a fourth digit.
constexpr int kMaxPorts = 999;
constexpr int kDefaultInputs = 256;
constexpr int kDefaultOutputs = 256;
constexpr int kPresetCount = 10;
constexpr int kPasswordLength = 8;

constexpr char kLineEnd[] = "\r\n";
using framing::kErrorText;

// The shared framer: one per client stream.
using CommandFramer = framing::CommandFramer;

class SwitcherCore {
 public:
  struct Route {
    int video = 0;  // 0 = closed
    int audio = 0;
    bool operator==(const Route& o) const { return video == o.video && audio == o.audio; }
  };

  // Inputs and outputs are clamped to 1..kMaxPorts. Input k feeds output k (video and
  // audio) at start unless startClosed.
  explicit SwitcherCore(int inputs = kDefaultInputs, int outputs = kDefaultOutputs,
                        bool startClosed = false);

  // Runs one complete command, terminator included, and returns its reply lines.
  QByteArray execute(const QByteArray& command);
  // Runs the frames completed by bytes; appends each command's text (or a note for an
  // overflow) to *log when given.
  QByteArray feed(CommandFramer& framer, const QByteArray& bytes,
                  QList<QByteArray>* log = nullptr);
  // Same, with the core's own framer: for a single stream.
  QByteArray feed(const QByteArray& bytes, QList<QByteArray>* log = nullptr);

  // The routing at start again with nothing to undo, as after switching the switcher off and
  // on; presets, the lock and the password are kept, as in a switcher's own memory.
  void powerOn();

  int inputs() const { return inputCount; }
  int outputs() const { return outputCount; }
  // Output 1..outputs(); a closed route for any other number.
  Route route(int output) const;
  bool locked() const { return keyboardLocked; }
  QByteArray password() const { return passwordText; }

  // " A/V : 003 > 012" for equal inputs, else a VIDEO line and an AUDIO line, each with CR LF.
  static QByteArray routeReport(int output, const Route& route);
  static QByteArray typeLine(int inputs, int outputs);
  static QByteArray versionLine();

 private:
  using Matrix = std::vector<Route>;  // index 0 unused, 1..outputs

  QByteArray executeSystem(const QByteArray& body);
  QByteArray executeMatrix(const QByteArray& body);
  QByteArray reports(const std::vector<int>& outputList) const;
  // Keeps the matrix for Undo before a change.
  void remember();
  bool validInput(int n) const { return n >= 0 && n <= inputCount; }
  bool validOutput(int n) const { return n >= 1 && n <= outputCount; }

  Matrix startMatrix() const;

  int inputCount;
  int outputCount;
  bool startClosed;
  Matrix matrix;
  std::optional<Matrix> undoMatrix;
  std::array<std::optional<Matrix>, kPresetCount> presets;
  bool keyboardLocked = false;
  QByteArray passwordText;
  CommandFramer ownFramer;
};

}  // namespace sim
