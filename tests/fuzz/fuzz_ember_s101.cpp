// Fuzz target for the Ember+ S101 decoder: any bytes, cut into any pieces, give the same events
// and counts as the whole stream; no message passes its bound; every frame the deframer takes
// frames back to itself.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "S101.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool Same(const std::vector<ember::s101::Decoder::Event>& a, const std::vector<ember::s101::Decoder::Event>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].kind != b[i].kind || a[i].data != b[i].data) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ember::s101;
  FuzzedDataProvider in(data, size);
  std::uint32_t seed = in.ConsumeIntegral<std::uint32_t>() | 1u;
  const std::string text = in.ConsumeRemainingBytesAsString();
  const QByteArray bytes(text.data(), int(text.size()));

  Decoder whole;
  std::vector<Decoder::Event> wholeEvents;
  whole.push(bytes, &wholeEvents);

  Decoder cut;
  std::vector<Decoder::Event> cutEvents;
  int at = 0;
  while (at < bytes.size()) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const int piece = std::min<int>(1 + int(seed % 2000), int(bytes.size()) - at);
    cut.push(bytes.constData() + at, piece, &cutEvents);
    at += piece;
  }
  Check(Same(cutEvents, wholeEvents), "events depend on how the bytes were cut");
  Check(cut.badFrames() == whole.badFrames() && cut.droppedPackets() == whole.droppedPackets(),
        "counts depend on how the bytes were cut");
  for (const auto& e : wholeEvents) Check(e.data.size() <= kMaxMessage, "message over its bound");

  Deframer deframer;
  std::vector<QByteArray> bodies;
  deframer.push(bytes.constData(), int(bytes.size()), &bodies);
  for (const QByteArray& body : bodies) {
    Check(body.size() <= kMaxFrame, "frame over its bound");
    const QByteArray framed = Frame(body);
    for (int i = 1; i + 1 < framed.size(); ++i) Check(std::uint8_t(framed[i]) < kInvalid || std::uint8_t(framed[i]) == kCe, "unescaped byte in a frame");
    Deframer again;
    std::vector<QByteArray> back;
    again.push(framed.constData(), int(framed.size()), &back);
    Check(back.size() == 1 && back[0] == body && again.badFrames() == 0, "a frame does not frame back to itself");
  }
  return 0;
}
