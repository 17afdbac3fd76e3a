// Fuzz target for the router panel's block parser: any bytes, cut into any pieces, give the
// same blocks (and the same verdict on over-long lines and blocks) as the whole stream, and
// no block passes the limits.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "PanelBlockParser.h"

namespace {

constexpr int kMaxPiece = 3000;  // more than the longest line

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::uint32_t seed = in.ConsumeIntegral<std::uint32_t>() | 1u;
  const std::string text = in.ConsumeRemainingBytesAsString();
  const QByteArray bytes(text.data(), int(text.size()));

  gateway::PanelBlockParser whole;
  std::vector<gateway::PanelBlock> wholeBlocks;
  const bool wholeOk = whole.push(bytes, &wholeBlocks);

  gateway::PanelBlockParser cut;
  std::vector<gateway::PanelBlock> cutBlocks;
  bool cutOk = true;
  int at = 0;
  while (at < bytes.size()) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const int piece = std::min<int>(1 + int(seed % kMaxPiece), int(bytes.size()) - at);
    cutOk = cut.push(bytes.constData() + at, piece, &cutBlocks) && cutOk;
    at += piece;
  }

  Check(cutOk == wholeOk, "the verdict depends on the cut");
  Check(cutBlocks == wholeBlocks, "blocks depend on how the bytes were cut");
  for (const gateway::PanelBlock& b : wholeBlocks) {
    Check(!b.header.isEmpty() && b.header.size() <= gateway::kMaxPanelLine && !b.header.contains('\r') &&
              !b.header.contains('\n'),
          "bad header");
    qsizetype total = b.header.size() + 1;
    for (const QByteArray& line : b.lines) {
      Check(!line.isEmpty() && line.size() <= gateway::kMaxPanelLine && !line.contains('\n') && !line.contains('\r'),
            "bad line");
      total += line.size() + 1;
    }
    Check(total <= gateway::kMaxPanelBlock, "block over the limit");
  }
  return 0;
}
