#include "LineHolder.h"

#include "Feedback.h"

namespace gateway {

namespace {
// The console drops a line that fills its serial buffer without a line end; the gateway
// passes such a line on at that size instead.
constexpr int kMaxHeld = feedback::kSerialLineSize;
}  // namespace

QByteArray LineHolder::push(const char* data, int size) {
  QByteArray out;
  int start = 0;  // first byte of data not yet in held or out
  for (int i = 0; i < size; ++i) {
    const bool lineEnd =
        data[i] == '\n' && (i > start ? data[i - 1] == '\r' : held.endsWith('\r'));
    const int length = held.size() + (i + 1 - start);
    if (lineEnd || length >= kMaxHeld) {
      held.append(data + start, i + 1 - start);
      start = i + 1;
      // A piece keeps a trailing CR back: its LF may be the next byte.
      const bool keepCr = !lineEnd && held.endsWith('\r');
      out.append(held.constData(), held.size() - (keepCr ? 1 : 0));
      held = keepCr ? QByteArray("\r") : QByteArray();
    }
  }
  held.append(data + start, size - start);
  return out;
}

}  // namespace gateway
