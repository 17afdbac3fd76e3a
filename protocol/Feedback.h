#pragma once
// Switcher feedback: line assembly for the serial path (byte by byte) and the TCP path
// (a receive ring scanned after every read), and the positional reading of one line.
// Both paths yield identical lines for identical bytes.

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <functional>

class QIODevice;

namespace feedback {

constexpr int kSerialLineSize = 128;
constexpr int kTcpRingSize = 2048;
constexpr int kMaxLineLength = 126;

enum class Kind { Other, AudioVideo, Video, Audio };

struct Line {
  QByteArray text;      // the line without CR LF; may hold zero bytes as received
  Kind kind = Kind::Other;
  int input = 0;        // input field read as an integer; 0 when absent or not a number
  int output = 0;       // 1..256 when the output field names an output button, else 0

  // What the memos show: the text up to its first zero byte.
  QByteArray shown() const;
};

// Reads kind, input and output by position. Characters missing from a short line count
// as absent: no output, input 0. Other lines get input 0 and output 0. The output of an
// "AUDIO" report is filled like the others, but only video reports set captions.
Line ParseLine(const QByteArray& text);

// Serial path: one byte at a time into a 128-byte line.
class SerialAssembler {
 public:
  // Returns true and fills *line when this byte completed a line.
  bool push(std::uint8_t byte, QByteArray* line);
  int length() const { return SerialLineLen; }

 private:
  char SerialLine[kSerialLineSize] = {};
  int SerialLineLen = 0;
};

// TCP path: a 2048-byte ring; an unfinished line stays in the ring until its end arrives.
//
// A read event may announce more bytes than the ring can take. Receive them in pieces and
// scan between the pieces, so that nothing unscanned is overwritten:
//
//   while (available > 0) {
//     n = min(available, freeSpace());
//     got = read(buf, n);            // may be short; stop on got <= 0
//     receive(buf, got);
//     scan(onLine);
//     available -= got;
//   }
//
// readAvailable() and feed() run exactly this loop. scan() keeps its position in members
// and updates them before each onLine call, so onLine may re-enter receive()/scan() (a
// nested event loop under a message box) without a line being handled twice.
class TcpAssembler {
 public:
  // Bytes the ring can take now without overwriting an unfinished line.
  int freeSpace() const;
  // Stores up to freeSpace() bytes and returns how many were taken.
  int receive(const char* data, int n);
  // Cuts every complete line, in order; drops 128 bytes without a line end.
  void scan(const std::function<void(const QByteArray& line)>& onLine);

  // receive() + scan() in pieces until all of bytes are taken.
  void feed(const QByteArray& bytes, const std::function<void(const QByteArray& line)>& onLine);
  // Reads everything the device has waiting, in pieces, scanning between them. Returns the
  // number of bytes read; stops early when a read fails or returns nothing.
  qint64 readAvailable(QIODevice& device,
                       const std::function<void(const QByteArray& line)>& onLine);

  std::uint32_t readPos() const { return TcpReadPos; }
  std::uint32_t writePos() const { return TcpWritePos; }

 private:
  char TcpRing[kTcpRingSize] = {};
  std::uint32_t TcpReadPos = 0;
  std::uint32_t TcpWritePos = 0;
  int pending = 0;  // bytes of the unfinished line already scanned
};

}  // namespace feedback
