// Fuzz target for the SW-P-08 deframer: any bytes, cut into any pieces, give the same events as
// the whole stream; every message it takes has a right count, frames back to itself and parses
// without harm; nothing it holds passes the bound.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Swp08Frame.h"
#include "Swp08Messages.h"

namespace {

constexpr int kMaxPiece = 1500;  // more than the longest frame the deframer keeps

bool Same(const std::vector<swp08::Deframer::Event>& a, const std::vector<swp08::Deframer::Event>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].kind != b[i].kind || a[i].data != b[i].data) return false;
  return true;
}

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

  using Event = swp08::Deframer::Event;
  swp08::Deframer whole;
  std::vector<Event> wholeEvents;
  whole.push(bytes.constData(), int(bytes.size()), &wholeEvents);

  swp08::Deframer cut;
  std::vector<Event> cutEvents;
  int at = 0;
  while (at < bytes.size()) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const int piece = std::min<int>(1 + int(seed % kMaxPiece), int(bytes.size()) - at);
    cut.push(bytes.constData() + at, piece, &cutEvents);
    at += piece;
  }
  Check(Same(cutEvents, wholeEvents), "events depend on how the bytes were cut");

  for (const Event& e : wholeEvents) {
    if (e.kind == Event::Bad) Check(e.data.size() <= swp08::kMaxFrameData + 2, "bad frame over the bound");
    if (e.kind != Event::Message) continue;
    Check(!e.data.isEmpty() && e.data.size() <= 255, "message of an impossible count");
    swp08::Request request;
    swp08::Parse(e.data, &request);
    const QByteArray framed = swp08::Frame(e.data);
    // A stuffed 10 03 in DATA may also read as a lenient sender's end of frame; skip those.
    if (framed.contains(QByteArray("\x10\x10\x03", 3))) continue;
    swp08::Deframer again;
    std::vector<Event> back;
    again.push(framed.constData(), int(framed.size()), &back);
    Check(Same(back, {e}), "a message does not frame back to itself");
  }
  return 0;
}
