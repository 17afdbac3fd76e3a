#pragma once
// A routing snapshot: the few commands that bring a switcher back to a routing, as the
// items of one code group. Every output gets each of its signals from exactly one item, so
// the items restore the routing in any order, and each one alone does what it says.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <vector>

#include "RoutingTable.h"

namespace names {
class Names;
}

namespace routing {

// The longest command a snapshot item holds, in bytes.
constexpr int kMaxCommandBytes = 64;
constexpr char kSnapshotUser[] = "Routing";

struct SnapshotItem {
  QString description;  // "Camera 2 to 4 outputs"
  QByteArray code;      // "2B1,5,9,12."
};

struct Snapshot {
  QString user;         // kSnapshotUser
  QString description;  // "2026-12-08 14:03", then " (3 outputs unknown)" when some were
  QList<SnapshotItem> items;
  int unknownOutputs = 0;  // left out: their video or audio was not known
};

// routes: index = output (1..size-1), as RoutingTable::refreshedRoutes() gives them.
// Order of the items: closes ("n,n$."), then per input its outputs taking video and audio
// ("iBn,n."), then video only ("iVn."), then audio only ("iAn."); a single closed signal is
// input 0 on that signal. names (may be null) gives the inputs' names for the descriptions.
Snapshot MakeSnapshot(const std::vector<Route>& routes, const names::Names* names,
                      const QDateTime& when);

}  // namespace routing
