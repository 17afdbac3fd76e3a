// Fuzz target for the shared command framer (the simulator's and the gateway's): any bytes,
// cut into any pieces, must give the same commands as the whole stream, and the framer never
// holds more than one command's worth of bytes. Behind it the simulator core must answer and route the
// same whatever the cut. The same bytes, read as the switcher's output, go through the
// gateway's line holder: the same bytes out whatever the cut, and never more held than the
// console's line buffer.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "CommandFramer.h"
#include "Feedback.h"
#include "LineHolder.h"
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

  gateway::LineHolder wholeLines;
  const QByteArray wholeOut = wholeLines.push(bytes);
  gateway::LineHolder cutLines;
  QByteArray cutOut;

  framing::CommandFramer wholeFramer;
  const std::vector<framing::CommandFramer::Frame> wholeFrames = wholeFramer.push(bytes);
  sim::SwitcherCore whole(inputs, outputs, closed);
  const QByteArray wholeReply = whole.feed(bytes);

  sim::SwitcherCore pieces(inputs, outputs, closed);
  framing::CommandFramer framer;
  framing::CommandFramer cutFramer;
  std::vector<framing::CommandFramer::Frame> cutFrames;
  QByteArray piecesReply;
  int at = 0;
  while (at < bytes.size()) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const int piece = std::min<int>(1 + int(seed % kMaxPiece), bytes.size() - at);
    const QByteArray chunk = bytes.mid(at, piece);
    piecesReply += pieces.feed(framer, chunk);
    for (auto& f : cutFramer.push(chunk)) cutFrames.push_back(std::move(f));
    cutOut += cutLines.push(chunk);
    Check(cutLines.heldLength() < feedback::kSerialLineSize, "line holder holds too much");
    Check(framer.pendingLength() <= framing::kMaxCommandLength, "framer holds more than a command");
    at += piece;
  }

  Check(cutFrames.size() == wholeFrames.size(), "frame count depends on the cut");
  for (size_t i = 0; i < cutFrames.size(); ++i) {
    Check(cutFrames[i].overflow == wholeFrames[i].overflow &&
              cutFrames[i].command == wholeFrames[i].command,
          "commands depend on how the bytes were cut");
  }
  Check(cutFramer.pendingLength() == wholeFramer.pendingLength(), "held bytes depend on the cut");
  for (const auto& f : wholeFrames) {
    Check(!f.command.startsWith("/+") || (f.command.size() == 2 + framing::kPasswordLength + 1 &&
                                          f.command.endsWith(';')),
          "a password command is not \"/+\", eight bytes, \";\"");
  }
  Check(cutOut == wholeOut && cutLines.heldLength() == wholeLines.heldLength(),
        "lines depend on how the bytes were cut");
  Check(wholeOut + QByteArray(bytes.right(wholeLines.heldLength())) == bytes,
        "line holder lost or changed bytes");
  Check(wholeReply == piecesReply, "replies depend on how the bytes were cut");
  for (int o = 1; o <= outputs; ++o) {
    Check(whole.route(o) == pieces.route(o), "routes depend on how the bytes were cut");
    Check(whole.route(o).video >= 0 && whole.route(o).video <= inputs, "video input out of range");
    Check(whole.route(o).audio >= 0 && whole.route(o).audio <= inputs, "audio input out of range");
  }
  return 0;
}
