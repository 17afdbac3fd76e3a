#pragma once
// Where the engine's link to the switcher stands, as every front end and service shows it.

#include <QString>

namespace engine {

enum class LinkState {
  Down,         // nothing open (never opened, or closed on purpose)
  Opening,      // a device is being opened or a connection made
  Identifying,  // up, the switcher's type, version and routing being asked for
  Ready,        // up and identified: commands may go
  Lost,         // went away; a new attempt follows
};

// "down", "opening", "identifying", "ready", "lost": the words of the bridge's log, MQTT
// status and the web page.
inline QString LinkStateWord(LinkState s) {
  switch (s) {
    case LinkState::Down: return QStringLiteral("down");
    case LinkState::Opening: return QStringLiteral("opening");
    case LinkState::Identifying: return QStringLiteral("identifying");
    case LinkState::Ready: return QStringLiteral("ready");
    case LinkState::Lost: return QStringLiteral("lost");
  }
  return {};
}

}  // namespace engine
