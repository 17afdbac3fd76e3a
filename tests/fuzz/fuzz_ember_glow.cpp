// Fuzz target for the Ember+ BER reader and Glow request decoder: any bytes decode without harm
// (bounded depth, no read past the input); every connection request decoded, sent back as a
// provider's answer, decodes to the same connections.

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "Ber.h"
#include "Glow.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool SameConnections(const std::vector<ember::glow::Connection>& a, const std::vector<ember::glow::Connection>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].target != b[i].target || a[i].sources != b[i].sources || a[i].operation != b[i].operation ||
        a[i].disposition != b[i].disposition)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ember;
  const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));

  // The plain BER walk stays inside the input and under the depth bound.
  std::function<void(ber::Reader, int)> walk = [&](ber::Reader r, int depth) {
    Check(depth <= ber::kMaxDepth + 1, "walk past the depth bound");
    ber::Element e;
    while (r.next(&e)) {
      Check(e.length >= 0 && e.contents >= bytes.constData() &&
                e.contents + e.length <= bytes.constData() + bytes.size(),
            "element outside the input");
      if (e.tag.constructed) walk(r.open(e), depth + 1);
    }
  };
  walk(ber::Reader(bytes), 0);

  std::vector<glow::Request> requests;
  QString error;
  const bool ok = glow::DecodeRequests(bytes, &requests, &error);
  Check(ok || !error.isEmpty(), "refused without a reason");
  for (const glow::Request& r : requests) {
    if (r.kind != glow::Request::Connect) continue;
    Check(!r.connections.empty(), "connect request without connections");
    std::vector<glow::Request> back;
    Check(glow::DecodeRequests(glow::EncodeRoot({glow::MatrixConnections(r.path, r.connections)}), &back),
          "an answer does not decode");
    Check(back.size() == 1 && back[0].path == r.path && SameConnections(back[0].connections, r.connections),
          "an answer decodes to other connections");
  }
  return 0;
}
