#include "GatewaySettings.h"

#include <QCoreApplication>
#include <QTcpServer>

#include "Ini.h"

namespace gateway {

namespace {
constexpr int kBindBuffer = 64;        // longest IPv6 text plus room
constexpr int kAllowBuffer = 65536;    // thousands of ranges; a longer list is refused, not cut
constexpr int kIpv4Bits = 32;
constexpr int kPortDigits = 5;
constexpr int kMaxPort = 65535;

// The IPv4 form of an address, also when it arrives mapped into IPv6 (a dual-stack bind).
bool ipv4Of(const QHostAddress& address, quint32* out) {
  bool ok = false;
  const quint32 v = address.toIPv4Address(&ok);
  if (ok) *out = v;
  return ok;
}

constexpr int kIpv4Fields = 4;
constexpr int kMaxFieldDigits = 3;
constexpr int kMaxField = 255;

quint32 maskOf(int prefix) {
  return prefix == 0 ? 0u : ~quint32(0) << (kIpv4Bits - prefix);
}
}  // namespace

Settings ReadSettings(const QString& fileName, const char* section) {
  Settings s;
  const QString where = QString::fromLatin1(section);
  // Read as written: "19e3" or "1997O" is no port, not 19 or 1997.
  const QByteArray port =
      platform::GetPrivateProfileString(section, "Port", "", kBindBuffer, fileName).trimmed();
  bool portOk = !port.isEmpty() && port.size() <= kPortDigits;
  for (char c : port) portOk = portOk && c >= '0' && c <= '9';
  s.port = portOk ? port.toInt() : 0;
  if (!port.isEmpty() && (!portOk || s.port > kMaxPort)) {
    s.problem = QStringLiteral("%1: Port=%2 in %3 is not a whole number from 1 to %4.")
                    .arg(where, QString::fromLatin1(port), fileName)
                    .arg(kMaxPort);
    s.port = -1;  // not off: the start refuses it with the problem
  }
  s.bind = QString::fromLatin1(
      platform::GetPrivateProfileString(section, "Bind", "127.0.0.1", kBindBuffer, fileName));
  bool cut = false;
  s.allow = QString::fromLatin1(
      platform::GetPrivateProfileString(section, "Allow", "", kAllowBuffer, fileName, &cut));
  // A cut list would end in a different entry (10.0.0.0/24 read as 10.0.0.0/2).
  if (cut && s.problem.isEmpty()) {
    s.problem = QStringLiteral("%1: Allow in %2 is longer than %3 characters.")
                    .arg(where, fileName)
                    .arg(kAllowBuffer - 1);
  }
  s.maxClients =
      platform::GetPrivateProfileInt(section, "MaxClients", kDefaultMaxClients, fileName);
  bool ok = true;
  s.readOnly = platform::GetPrivateProfileBool(section, "ReadOnly", false, fileName, &ok);
  if (!ok && s.problem.isEmpty()) {
    s.problem = QStringLiteral("%1: ReadOnly=%2 in %3 is not 1/0, true/false, yes/no or on/off.")
                    .arg(where,
                         QString::fromLatin1(platform::GetPrivateProfileString(
                             section, "ReadOnly", "", kBindBuffer, fileName)),
                         fileName);
  }
  return s;
}

bool ParseAddress(const QString& text, QHostAddress* address) {
  if (text.contains(QLatin1Char(':'))) {
    return address->setAddress(text) && address->protocol() == QAbstractSocket::IPv6Protocol;
  }
  const QStringList fields = text.split(QLatin1Char('.'));
  if (fields.size() != kIpv4Fields) return false;
  quint32 v = 0;
  for (const QString& f : fields) {
    bool ok = f.size() <= kMaxFieldDigits && !f.isEmpty();
    for (QChar c : f) ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const int n = ok ? f.toInt() : -1;
    if (n < 0 || n > kMaxField) return false;
    v = (v << 8) | quint32(n);
  }
  address->setAddress(v);
  return true;
}

bool Range::contains(const QHostAddress& address) const {
  quint32 v = 0;
  return ipv4Of(address, &v) && (v & maskOf(prefix)) == (network & maskOf(prefix));
}

bool ParseAllow(const QString& text, QList<Range>* ranges, QString* error) {
  ranges->clear();
  for (const QString& raw : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString entry = raw.trimmed();
    if (entry.isEmpty()) continue;
    const QStringList parts = entry.split(QLatin1Char('/'));
    Range r;
    bool ok = parts.size() <= 2;
    if (ok && parts.size() == 2) {
      r.prefix = parts[1].toInt(&ok);
      ok = ok && r.prefix >= 0 && r.prefix <= kIpv4Bits;
    }
    QHostAddress address;
    ok = ok && ParseAddress(parts[0].trimmed(), &address) &&
         address.protocol() == QAbstractSocket::IPv4Protocol && ipv4Of(address, &r.network);
    if (!ok) {
      *error = QStringLiteral("Allow entry \"%1\" is not an IPv4 address or range "
                              "(for example 192.168.1.20 or 192.168.1.0/24).")
                   .arg(entry);
      return false;
    }
    ranges->append(r);
  }
  return true;
}

bool IsLoopback(const QHostAddress& address) {
  quint32 v = 0;
  return address.isLoopback() || (ipv4Of(address, &v) && (v >> 24) == 127);
}

namespace {
QString tr(const char* text) { return QCoreApplication::translate("gateway::ServerCore", text); }
}  // namespace

QString HostPort(const QHostAddress& a, quint16 port) {
  const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + a.toString() + QLatin1Char(']')
                                                                      : a.toString();
  return host + QLatin1Char(':') + QString::number(port);
}

QString CheckListen(const QString& name, const Settings& s, QHostAddress* address, QList<Range>* ranges) {
  const QString bind = s.bind.trimmed();
  if (bind.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
    *address = QHostAddress(QHostAddress::LocalHost);
  } else if (!ParseAddress(bind, address)) {
    return tr("%1: Bind=%2 is not an IP address.").arg(name, bind);
  }
  if (s.port < 0 || s.port > kMaxPort)
    return tr("%1: Port=%2 is not a TCP port (1 to %3).").arg(name).arg(s.port).arg(kMaxPort);
  if (s.maxClients < 1) return tr("%1: MaxClients=%2 must be 1 or more.").arg(name).arg(s.maxClients);
  QString error;
  if (!ParseAllow(s.allow, ranges, &error)) return name + QStringLiteral(": ") + error;
  const bool loopback = IsLoopback(*address);
  // Allow holds IPv4 ranges only: on any other IPv6 address nobody could be admitted.
  if (!loopback && address->protocol() == QAbstractSocket::IPv6Protocol) {
    return tr("%1: Bind=%2 is an IPv6 address; clients are admitted by IPv4 address only, "
              "so use Bind=0.0.0.0 (or an IPv4 address of this machine), or ::1 for this "
              "machine alone.")
        .arg(name, bind);
  }
  if (!loopback && ranges->isEmpty()) {
    return tr("%1: Bind=%2 is not a loopback address, so Allow must name the clients "
              "that may connect (for example Allow=192.168.1.0/24).")
        .arg(name, bind);
  }
  return {};
}

QString ListenFailure(const QString& name, const QHostAddress& address, quint16 port, const QTcpServer& server) {
  const QString where = HostPort(address, port);
  switch (server.serverError()) {
    case QAbstractSocket::AddressInUseError: return tr("%1: %2 is already in use by another program.").arg(name, where);
    case QAbstractSocket::SocketAddressNotAvailableError:
      return tr("%1: %2 cannot be bound: %3 is not an address of this machine.").arg(name, where, address.toString());
    case QAbstractSocket::SocketAccessError: return tr("%1: no permission to listen on %2.").arg(name, where);
    default: return tr("%1: cannot listen on %2: %3.").arg(name, where, server.errorString());
  }
}

}  // namespace gateway
