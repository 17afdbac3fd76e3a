#pragma once
// What the engine counts for a monitoring system: clients' commands by the service they came
// through, refusals by reason, link losses, lines heard, and how long a route took to be
// reported. Only bounded keys: no client's address or name.

#include "Exposition.h"

#include <QtGlobal>

#include <array>

namespace engine {

// The service a client's command came through.
enum class Origin { Operator, Gateway, Panel, Swp08, Ember, Mqtt, Web, Engine };
constexpr int kOrigins = 8;
inline const char* OriginWord(Origin o) {
  static constexpr const char* words[kOrigins] = {"operator", "gateway", "panel", "swp08", "ember", "mqtt", "web", "engine"};
  return words[int(o)];
}

// Why a client's command was refused.
enum class Refusal { Busy, Link, Protected, ReadOnly };
constexpr int kRefusals = 4;
inline const char* RefusalWord(Refusal r) {
  static constexpr const char* words[kRefusals] = {"busy", "link", "protected", "readonly"};
  return words[int(r)];
}

struct EngineCounts {
  std::array<quint64, kOrigins> commands{};
  std::array<std::array<quint64, kRefusals>, kOrigins> refused{};
  quint64 linkLosses = 0;
  quint64 linesReceived = 0;
  // From a client's route written to the switcher's report of that output.
  metrics::Histogram latency;
};

}  // namespace engine
