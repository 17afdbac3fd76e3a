#include "RoutingTable.h"

#include "Feedback.h"

namespace routing {

RoutingTable::RoutingTable(QObject* parent) : QObject(parent) {}

Route RoutingTable::route(int output) const {
  return output >= 1 && output <= kOutputs ? table[size_t(output)] : Route{};
}

void RoutingTable::set(int output, int input, unsigned char which) {
  if (output < 1 || output > kOutputs || input < 0 || input > kMaxInput) return;
  Route& r = table[size_t(output)];
  const Route before = r;
  if (which & kVideoBit) r.video = input;
  if (which & kAudioBit) r.audio = input;
  unsigned char& bits = fresh[size_t(output)];
  const bool wasComplete = bits == kBothBits;
  bits |= which;
  const bool completes = !wasComplete && bits == kBothBits;
  if (completes) ++reported;
  if (r != before) emit changed(output);
  emit routeReported(output);
  if (completes && reported == kOutputs) emit allReported();
}

void RoutingTable::setBoth(int output, int input) { set(output, input, kBothBits); }
void RoutingTable::setVideo(int output, int input) { set(output, input, kVideoBit); }
void RoutingTable::setAudio(int output, int input) { set(output, input, kAudioBit); }
void RoutingTable::close(int output) { set(output, 0, kBothBits); }

bool RoutingTable::apply(const feedback::Line& line) {
  // ParseLine reads the output field of all three kinds alike; 0 means no such output.
  if (line.output == 0 || line.input < 0 || line.input > kMaxInput) return false;
  switch (line.kind) {
    case feedback::Kind::AudioVideo: setBoth(line.output, line.input); return true;
    case feedback::Kind::Video: setVideo(line.output, line.input); return true;
    case feedback::Kind::Audio: setAudio(line.output, line.input); return true;
    case feedback::Kind::Other: break;
  }
  return false;
}

void RoutingTable::beginRefresh() {
  fresh.fill(0);
  reported = 0;
}

std::vector<Route> RoutingTable::refreshedRoutes() const {
  std::vector<Route> out(kOutputs + 1);
  for (int o = 1; o <= kOutputs; ++o) {
    if (fresh[size_t(o)] & kVideoBit) out[size_t(o)].video = table[size_t(o)].video;
    if (fresh[size_t(o)] & kAudioBit) out[size_t(o)].audio = table[size_t(o)].audio;
  }
  return out;
}

std::vector<Route> RoutingTable::routes() const { return {table.begin(), table.end()}; }

}  // namespace routing
