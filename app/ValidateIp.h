#pragma once
// The dotted IPv4 check of the switcher address field: four fields of 1 to 3 decimal
// digits, each 0..255, nothing trimmed.

#include <QString>

bool ValidateIp(const QString& text);
// The address with its fields read as decimal ("010.001.1.1" -> "10.1.1.1"), so that a
// leading zero never turns a field octal in the resolver. Empty when ValidateIp fails.
QString CanonicalIp(const QString& text);
