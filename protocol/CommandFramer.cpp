#include "CommandFramer.h"

namespace framing {

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
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
    // A password may hold any character, '.' included, so only ';' ends "/+...".
    if (c == ';' || (c == '.' && !pending.startsWith("/+"))) {
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
