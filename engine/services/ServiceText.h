#pragma once
// Words the services' status lines share.

#include <QString>

#include "Names.h"

namespace engine {

// "1 client", "3 clients".
inline QString ClientsText(int n) { return QStringLiteral("%1 client%2").arg(n).arg(n == 1 ? "" : "s"); }

// The name a control system shows: "Studio A", or "IN 1" / "OUT 1" when none is set.
inline QString ShownName(const names::Names& names, bool input, int number) {
  const QString n = names.name(input ? names::Kind::Input : names::Kind::Output, number);
  if (!n.isEmpty()) return n;
  return QStringLiteral("%1 %2").arg(input ? QStringLiteral("IN") : QStringLiteral("OUT")).arg(number);
}

}  // namespace engine
