#include "CommandFramer.h"

namespace framing {

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
// "/+", the eight bytes, ";".
constexpr int kPasswordCommand = 2 + kPasswordLength + 1;
}  // namespace

std::vector<CommandFramer::Frame> CommandFramer::push(const QByteArray& bytes) {
  std::vector<Frame> frames;
  for (char c : bytes) {
    if (discarding) {
      if (c == ';' || (c == '.' && !discardingPassword)) discarding = false;
      continue;
    }
    if (pending.isEmpty() && isBlank(c)) continue;
    pending.append(c);
    if (pending.startsWith("/+")) {
      // Any eight bytes, ';' and '.' included, then ';'.
      if (pending.size() < kPasswordCommand) continue;
      if (c == ';') {
        frames.push_back({pending, false});
      } else {
        frames.push_back({QByteArray(), true});
        discarding = discardingPassword = true;
      }
      pending.clear();
    } else if (c == ';' || c == '.') {
      frames.push_back({pending, false});
      pending.clear();
    } else if (pending.size() > kMaxCommandLength) {
      frames.push_back({QByteArray(), true});
      discarding = true;
      discardingPassword = pending.startsWith("/+");
      pending.clear();
    }
  }
  return frames;
}

}  // namespace framing
