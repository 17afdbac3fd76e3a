// Fuzz target for the simulator's command side: any bytes, cut into any pieces, through the
// command framer and the switcher core. Checks that the framer never holds more than one
// command's worth of bytes and that the replies do not depend on how the bytes were cut.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "SwitcherCore.h"

namespace {

constexpr int kMaxPiece = 400;  // more than the longest command

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int inputs = in.ConsumeIntegralInRange<int>(1, 300);
  const int outputs = in.ConsumeIntegralInRange<int>(1, 300);
  const bool closed = in.ConsumeBool();
  std::uint32_t seed = in.ConsumeIntegral<std::uint32_t>() | 1u;
  const std::string text = in.ConsumeRemainingBytesAsString();
  const QByteArray bytes(text.data(), int(text.size()));

  sim::SwitcherCore whole(inputs, outputs, closed);
  const QByteArray wholeReply = whole.feed(bytes);

  sim::SwitcherCore pieces(inputs, outputs, closed);
  sim::CommandFramer framer;
  QByteArray piecesReply;
  int at = 0;
  while (at < bytes.size()) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const int piece = std::min<int>(1 + int(seed % kMaxPiece), bytes.size() - at);
    piecesReply += pieces.feed(framer, bytes.mid(at, piece));
    Check(framer.pendingLength() <= sim::kMaxCommandLength, "framer holds more than a command");
    at += piece;
  }

  Check(wholeReply == piecesReply, "replies depend on how the bytes were cut");
  for (int o = 1; o <= outputs; ++o) {
    Check(whole.route(o) == pieces.route(o), "routes depend on how the bytes were cut");
    Check(whole.route(o).video >= 0 && whole.route(o).video <= inputs, "video input out of range");
    Check(whole.route(o).audio >= 0 && whole.route(o).audio <= inputs, "audio input out of range");
  }
  return 0;
}
