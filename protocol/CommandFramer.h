#pragma once
// Cuts a byte stream of the switcher's command language into whole commands: "." ends a
// matrix command, ";" a system command, and a password command is framed by length: "/+",
// then exactly eight bytes of any value (";" and "." included), then ";". When the byte after
// the eight is not ";" the command is garbage, and the bytes up to the next ";" are skipped.
// Blanks between commands are skipped. The simulator and the console's gateway share it, so both cut every stream
// the same way. QtCore only.

#include <QByteArray>

#include <vector>

namespace framing {

// Longest command (terminator excluded) before the bytes count as garbage.
constexpr int kMaxCommandLength = 256;
// Bytes of a password, between "/+" and ";".
constexpr int kPasswordLength = 8;
// What the switcher answers to a command it cannot read, without its CR LF.
constexpr char kErrorText[] = "Command Code Error!";

// Each stream needs its own framer, because a command may arrive split over many reads.
class CommandFramer {
 public:
  struct Frame {
    QByteArray command;     // terminator included; empty for an overflow
    // Not a command: more than kMaxCommandLength bytes without a terminator, or a password
    // not ended by ';' after its eight bytes. Answered as the switcher answers garbage.
    bool overflow = false;
  };

  // Appends bytes and returns the frames they completed, in order. After an overflow the
  // bytes up to the next terminator are skipped.
  std::vector<Frame> push(const QByteArray& bytes);
  // Bytes of an unfinished command held for the next push (never above kMaxCommandLength).
  int pendingLength() const { return int(pending.size()); }

 private:
  QByteArray pending;
  bool discarding = false;          // after an overflow, drop everything up to a terminator
  bool discardingPassword = false;  // ... which for a password is ';' only
};

}  // namespace framing
