#include "Feedback.h"

#include <QIODevice>
#include <algorithm>
#include <cstring>

namespace feedback {
namespace {

constexpr std::uint32_t kRingMask = kTcpRingSize - 1;
static_assert((kTcpRingSize & kRingMask) == 0, "ring index wraps by masking");
static_assert(kMaxLineLength == kSerialLineSize - 2, "a line and its CR LF fill the buffer");

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr int kLastLinePos = kSerialLineSize - 1;

// Field positions inside a line.
constexpr int kKindPos = 0;
constexpr int kKindLen = 5;
constexpr int kInputPos = 7;
constexpr int kOutputPos = 13;
constexpr int kNumberLen = 3;
constexpr int kFirstOutput = 1;
constexpr int kLastOutput = 256;
constexpr int kDecimalBase = 10;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The whole field must be a number in the usual string-to-integer sense: leading blanks,
// an optional sign, then digits up to the end of the field. Anything else reads as 0.
int ReadInput(const char* field, int len) {
  int k = 0;
  while (k < len && IsBlank(field[k])) {
    ++k;
  }
  bool negative = false;
  if (k < len && (field[k] == '+' || field[k] == '-')) {
    negative = field[k] == '-';
    ++k;
  }
  if (k == len) {
    return 0;
  }
  int value = 0;
  for (; k < len; ++k) {
    if (!IsDigit(field[k])) {
      return 0;
    }
    value = value * kDecimalBase + (field[k] - '0');
  }
  return negative ? -value : value;
}

// An output button exists for exactly "001" to "256".
int ReadOutput(const char* field) {
  int value = 0;
  for (int k = 0; k < kNumberLen; ++k) {
    if (!IsDigit(field[k])) {
      return 0;
    }
    value = value * kDecimalBase + (field[k] - '0');
  }
  return value >= kFirstOutput && value <= kLastOutput ? value : 0;
}

Kind ReadKind(const QByteArray& text) {
  if (text.size() < kKindPos + kKindLen) {
    return Kind::Other;
  }
  const char* kind = text.constData() + kKindPos;
  if (std::memcmp(kind, " A/V ", kKindLen) == 0) {
    return Kind::AudioVideo;
  }
  if (std::memcmp(kind, "VIDEO", kKindLen) == 0) {
    return Kind::Video;
  }
  if (std::memcmp(kind, "AUDIO", kKindLen) == 0) {
    return Kind::Audio;
  }
  return Kind::Other;
}

}  // namespace

QByteArray Line::shown() const {
  const qsizetype zero = text.indexOf('\0');
  return zero < 0 ? text : text.left(zero);
}

Line ParseLine(const QByteArray& text) {
  Line line;
  line.text = text;
  line.kind = ReadKind(text);
  if (line.kind == Kind::Other) {
    return line;
  }
  // Fields that reach past the end of a short line are absent: nothing is read from
  // whatever happened to follow the line in a buffer.
  if (text.size() >= kInputPos + kNumberLen) {
    line.input = ReadInput(text.constData() + kInputPos, kNumberLen);
  }
  if (text.size() >= kOutputPos + kNumberLen) {
    line.output = ReadOutput(text.constData() + kOutputPos);
  }
  return line;
}

bool SerialAssembler::push(std::uint8_t byte, QByteArray* line) {
  const char c = static_cast<char>(byte);
  SerialLine[SerialLineLen] = c;
  if (SerialLineLen >= 1 && c == kLf && SerialLine[SerialLineLen - 1] == kCr) {
    if (line != nullptr) {
      *line = QByteArray(SerialLine, SerialLineLen - 1);
    }
    SerialLineLen = 0;
    return true;
  }
  // 128 bytes without a line end: drop them, the next byte starts a new line.
  SerialLineLen = SerialLineLen == kLastLinePos ? 0 : SerialLineLen + 1;
  return false;
}

int TcpAssembler::freeSpace() const {
  // One slot stays empty so that a full ring is not mistaken for an empty one.
  const auto used = static_cast<int>((TcpWritePos - TcpReadPos) & kRingMask);
  return kTcpRingSize - 1 - used;
}

int TcpAssembler::receive(const char* data, int n) {
  if (data == nullptr || n <= 0) {
    return 0;
  }
  const int take = std::min(n, freeSpace());
  const int first = std::min(take, kTcpRingSize - static_cast<int>(TcpWritePos));
  std::memcpy(TcpRing + TcpWritePos, data, static_cast<std::size_t>(first));
  std::memcpy(TcpRing, data + first, static_cast<std::size_t>(take - first));
  TcpWritePos = (TcpWritePos + static_cast<std::uint32_t>(take)) & kRingMask;
  return take;
}

void TcpAssembler::scan(const std::function<void(const QByteArray& line)>& onLine) {
  // The same rules as SerialAssembler::push, with i in the role of SerialLineLen and the
  // ring from TcpReadPos on in the role of SerialLine.
  for (;;) {
    std::uint32_t start = TcpReadPos;
    int avail = static_cast<int>((TcpWritePos - start) & kRingMask);
    int i = pending;
    bool complete = false;
    while (i < avail) {
      const char c = TcpRing[(start + static_cast<std::uint32_t>(i)) & kRingMask];
      if (i >= 1 && c == kLf &&
          TcpRing[(start + static_cast<std::uint32_t>(i) - 1) & kRingMask] == kCr) {
        complete = true;
        break;
      }
      if (i == kLastLinePos) {
        start = (start + kSerialLineSize) & kRingMask;
        avail -= kSerialLineSize;
        i = 0;
      } else {
        ++i;
      }
    }
    if (!complete) {
      TcpReadPos = start;
      pending = i;
      return;
    }
    const int length = i - 1;  // without the CR
    QByteArray line(length, Qt::Uninitialized);
    const int first = std::min(length, kTcpRingSize - static_cast<int>(start));
    std::memcpy(line.data(), TcpRing + start, static_cast<std::size_t>(first));
    std::memcpy(line.data() + first, TcpRing, static_cast<std::size_t>(length - first));
    // Consume before the handler runs, so that a nested scan starts after this line.
    TcpReadPos = (start + static_cast<std::uint32_t>(i) + 1) & kRingMask;
    pending = 0;
    if (onLine) {
      onLine(line);
    }
  }
}

void TcpAssembler::feed(const QByteArray& bytes,
                        const std::function<void(const QByteArray& line)>& onLine) {
  const char* data = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const int piece = static_cast<int>(std::min<qsizetype>(left, freeSpace()));
    const int got = receive(data, piece);
    scan(onLine);
    if (got <= 0) {
      // Cannot happen after a scan (an unfinished line is at most 127 bytes); never spin.
      qWarning("TcpAssembler: ring full, %lld bytes dropped", static_cast<long long>(left));
      return;
    }
    data += got;
    left -= got;
  }
}

qint64 TcpAssembler::readAvailable(QIODevice& device,
                                   const std::function<void(const QByteArray& line)>& onLine) {
  char piece[kTcpRingSize];
  qint64 total = 0;
  for (;;) {
    const qint64 waiting = device.bytesAvailable();
    const qint64 room = freeSpace();
    if (waiting <= 0 || room <= 0) {
      return total;
    }
    const qint64 got = device.read(piece, std::min(waiting, room));
    if (got <= 0) {
      return total;
    }
    receive(piece, static_cast<int>(got));
    scan(onLine);
    total += got;
  }
}

}  // namespace feedback
