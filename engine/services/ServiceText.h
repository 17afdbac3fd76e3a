#pragma once
// Words the services' status lines share.

#include <QString>

namespace engine {

// "1 client", "3 clients".
inline QString ClientsText(int n) { return QStringLiteral("%1 client%2").arg(n).arg(n == 1 ? "" : "s"); }

}  // namespace engine
