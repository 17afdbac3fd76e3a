#include "MqttSettings.h"

#include <QCryptographicHash>
#include <QFile>

#include "Ini.h"

namespace mqtt {

namespace {
constexpr char kSection[] = "MQTT";
constexpr int kTextBuffer = 1024;
constexpr int kMaxPort = 65535;
constexpr int kMaxCount = 256;
constexpr qint64 kMaxPasswordFile = 64 * 1024;

QString text(const char* key, const char* fallback, const QString& file) {
  return QString::fromUtf8(platform::GetPrivateProfileString(kSection, key, fallback, kTextBuffer, file)).trimmed();
}
// The gateway's reading (1/0, true/false, yes/no, on/off); anything else is a problem that
// names the key, never a silent 0 (ReadOnly=true read as off, TLS=yes as plain text).
bool flag(const char* key, bool fallback, const QString& file, QString* problem) {
  bool ok = true;
  const bool v = platform::GetPrivateProfileBool(kSection, key, fallback, file, &ok);
  if (!ok && problem->isEmpty())
    *problem = QStringLiteral("%1=%2 in %3 is not 1/0, true/false, yes/no or on/off")
                   .arg(QLatin1String(key), text(key, "", file), file);
  return v;
}
// A topic level the bridge puts its own name in: no wildcards, separators or blanks.
// Checked by hand: a regular expression would load PCRE2 (and its JIT) into every start.
bool plainLevel(const QString& s) {
  if (s.isEmpty()) return false;
  for (const QChar c : s) {
    const char16_t u = c.unicode();
    const bool ok = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '_' || u == '-';
    if (!ok) return false;
  }
  return true;
}
}  // namespace

Settings ReadSettings(const QString& file) {
  Settings s;
  s.host = text("Host", "", file);
  s.port = platform::GetPrivateProfileInt(kSection, "Port", 0, file);
  s.id = text("Id", "switcher", file);
  s.prefix = text("Prefix", "switcher", file);
  s.user = text("User", "", file);
  s.passwordFile = text("PasswordFile", "", file);
  s.tls = flag("TLS", false, file, &s.problem);
  s.caFile = text("CAFile", "", file);
  s.certFile = text("CertFile", "", file);
  s.keyFile = text("KeyFile", "", file);
  s.discovery = flag("Discovery", true, file, &s.problem);
  s.discoveryPrefix = text("DiscoveryPrefix", "homeassistant", file);
  s.readOnly = flag("ReadOnly", false, file, &s.problem);
  s.inputs = platform::GetPrivateProfileInt(kSection, "Inputs", 0, file);
  s.outputs = platform::GetPrivateProfileInt(kSection, "Outputs", 0, file);
  return s;
}

QString Settings::clientId() const {
  const QChar join = prefix.contains(QLatin1Char('-')) || id.contains(QLatin1Char('-')) ? QLatin1Char('/') : QLatin1Char('-');
  return QStringLiteral("switcher-console-") + prefix + join + id;
}

QString Settings::nodeId() const {
  const QString plain = prefix + QLatin1Char('_') + id;
  if (!prefix.contains(QLatin1Char('_')) && !id.contains(QLatin1Char('_'))) return plain;
  return plain + QLatin1Char('_') +
         QString::fromLatin1(QCryptographicHash::hash(base().toUtf8(), QCryptographicHash::Sha1).left(4).toHex());
}

QString Problem(const Settings& s) {
  if (!s.problem.isEmpty()) return s.problem;
  if (s.port < 0 || s.port > kMaxPort) return QStringLiteral("Port=%1 is not a TCP port (1 to %2)").arg(s.port).arg(kMaxPort);
  if (!plainLevel(s.id)) return QStringLiteral("Id=%1 may hold only letters, digits, - and _").arg(s.id);
  if (!plainLevel(s.prefix)) return QStringLiteral("Prefix=%1 may hold only letters, digits, - and _").arg(s.prefix);
  if (s.discovery && !plainLevel(s.discoveryPrefix))
    return QStringLiteral("DiscoveryPrefix=%1 may hold only letters, digits, - and _").arg(s.discoveryPrefix);
  if (s.inputs < 0 || s.inputs > kMaxCount) return QStringLiteral("Inputs=%1 is not 0 to %2").arg(s.inputs).arg(kMaxCount);
  if (s.outputs < 0 || s.outputs > kMaxCount) return QStringLiteral("Outputs=%1 is not 0 to %2").arg(s.outputs).arg(kMaxCount);
  if (s.certFile.isEmpty() != s.keyFile.isEmpty()) return QStringLiteral("CertFile and KeyFile go together");
  return {};
}

bool ParseHostPort(const QString& t, QString* host, int* port) {
  QString h = t.trimmed();
  int p = 0;
  // "[v6]:port", "v6" (two or more colons), "name:port", "name".
  if (h.startsWith(QLatin1Char('['))) {
    const int close = int(h.indexOf(QLatin1Char(']')));
    if (close < 0) return false;
    const QString rest = h.mid(close + 1);
    h = h.mid(1, close - 1);
    if (!rest.isEmpty()) {
      bool ok = false;
      if (!rest.startsWith(QLatin1Char(':'))) return false;
      p = rest.mid(1).toInt(&ok);
      if (!ok) return false;
    }
  } else if (h.count(QLatin1Char(':')) == 1) {
    bool ok = false;
    p = h.section(QLatin1Char(':'), 1).toInt(&ok);
    if (!ok) return false;
    h = h.section(QLatin1Char(':'), 0, 0);
  }
  if (h.isEmpty() || h.contains(QLatin1Char(' ')) || p < 0 || p > kMaxPort) return false;
  if (t.contains(QLatin1Char(':')) && !t.contains(QLatin1Char('[')) && t.count(QLatin1Char(':')) == 1 && p == 0) return false;
  *host = h;
  *port = p;
  return true;
}

QByteArray ReadPassword(const QString& path, QString* error) {
  QFile f(platform::profilePath(path));
  if (!f.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("cannot read the password file %1").arg(f.fileName());
    return {};
  }
  QByteArray line = f.read(kMaxPasswordFile);
  const int end = int(line.indexOf('\n'));
  if (end >= 0) line.truncate(end);
  if (line.endsWith('\r')) line.chop(1);
  return line;
}

}  // namespace mqtt
