#pragma once
// The switcher seen from the web page's server: what the page shows and what it may ask.
// The engine implements it; the server calls it on the engine's thread only.

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

#include "Names.h"
#include "RoutingTable.h"

namespace web {

enum class LinkState { Down, Opening, Identifying, Ready, Lost };

struct Link {
  LinkState state = LinkState::Down;
  QString reason;  // why it is down or lost; may be empty
};

struct Device {
  QString model, version;
  int inputs = 0, outputs = 0;  // 0: not identified (the page then shows 256)
};

struct Preset {
  QString id;    // stable while the code group file is unchanged
  QString name;  // as MQTT advertises the group
};

// Protected: it would move an output another client protects.
enum class SendResult { Accepted, Busy, LinkClosed, Protected };

// Who holds an output's protect; both empty when it is free.
struct Protect {
  QString label;  // the holder's client label, as its commands are sent with
  QString shown;  // for people: "panel 10.0.0.5:40112", "web page 10.0.0.7:51234"
};

class WebHost {
 public:
  virtual ~WebHost() = default;
  virtual Link link() const = 0;
  virtual Device device() const = 0;
  virtual routing::Route route(int output) const = 0;
  virtual QString name(names::Kind kind, int number) const = 0;
  virtual std::vector<Preset> presets() const = 0;
  // Whether count more commands of the label's would all be accepted now (a take goes whole).
  virtual bool canSend(int count, const QString& label) const = 0;
  // One complete command (terminator included) queued as the client label's; onDropped runs
  // when an accepted command is dropped before it goes out.
  virtual SendResult sendCommand(const QByteArray& command, const QString& label,
                                 std::function<void()> onDropped) = 0;
  // The preset's group executed as the label's commands (the id is one presets() gave); when
  // accepted, outcome is told once how many of its total commands went out.
  virtual SendResult runPreset(const QString& id, const QString& label, std::function<void(int sent, int total)> outcome) = 0;
  // Stores the name (empty removes it) as the names dialog does; the error text, else empty.
  virtual QString rename(names::Kind kind, int number, const QString& name) = 0;
  virtual Protect protect(int output) const = 0;
  // Takes (on) or ends the output's protect for by (its label; shown is for the others):
  // false when another holds it.
  virtual bool setProtect(int output, const Protect& by, bool on) = 0;
  // A routing snapshot group, as Ctrl+Shift+S makes one: the error text, else empty and
  // kept is told once, with empty when the group was written, else why not.
  virtual QString saveRoutingPreset(std::function<void(const QString& why)> kept) = 0;
  // A client's command refused because this listener is read-only (counted in the metrics).
  virtual void refusedReadOnly() {}
};

}  // namespace web
