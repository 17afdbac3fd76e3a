#include "WebSettings.h"

#include <QFile>

#include "Ini.h"

namespace web {

namespace {
constexpr int kValueBuffer = 1024;
constexpr int kMaxPort = 65535;
constexpr qint64 kMaxPasswordFile = 4096;

QByteArray raw(const char* key, const QString& file) {
  return platform::GetPrivateProfileString(kSection, key, "", kValueBuffer, file).trimmed();
}

bool digitsOnly(const QByteArray& s) {
  if (s.isEmpty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}
// Letters, digits, '-' and '.', as DNS names are written.
bool hostName(const QByteArray& s) {
  if (s.size() > 253) return false;
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.')) return false;
  return true;
}
}  // namespace

Settings ReadSettings(const QString& file) {
  Settings s;
  s.listen = gateway::ReadSettings(file, kSection);
  // The gateway's reader takes leading digits and its own default; the page refuses what is
  // not a number at all, so that "Port=80x" is not silently port 80.
  const QByteArray port = raw("Port", file);
  const QByteArray clients = raw("MaxClients", file);
  s.listen.maxClients = clients.isEmpty() ? kDefaultMaxClients : s.listen.maxClients;
  auto problem = [&](const QString& text) {
    if (s.listen.problem.isEmpty()) s.listen.problem = text;
  };
  if (!port.isEmpty() && (!digitsOnly(port) || port.size() > 5 || port.toInt() > kMaxPort))
    problem(QStringLiteral("Web: Port=%1 in %2 is not a TCP port (1 to %3, or empty for off).")
                .arg(QString::fromLatin1(port), file).arg(kMaxPort));
  if (!clients.isEmpty() && (!digitsOnly(clients) || clients.size() > 4 || clients.toInt() < 1))
    problem(QStringLiteral("Web: MaxClients=%1 in %2 is not a number of 1 or more.")
                .arg(QString::fromLatin1(clients), file));
  s.passwordFile = QString::fromUtf8(raw("PasswordFile", file));
  for (const QByteArray& part : raw("Hosts", file).split(',')) {
    const QByteArray name = part.trimmed().toLower();
    if (name.isEmpty()) continue;
    if (!hostName(name)) {
      problem(QStringLiteral("Web: Hosts in %1: \"%2\" is not a host name.").arg(file, QString::fromLatin1(name)));
      continue;
    }
    s.hosts << QString::fromLatin1(name);
  }
  return s;
}

QByteArray ReadPassword(const QString& path, QString* error) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("cannot read the password file %1: %2").arg(path, f.errorString());
    return {};
  }
  QByteArray line = f.read(kMaxPasswordFile);
  const qsizetype end = line.indexOf('\n');
  if (end >= 0) line.truncate(end);
  if (line.endsWith('\r')) line.chop(1);
  if (line.isEmpty()) *error = QStringLiteral("the password file %1 holds no password").arg(path);
  return line;
}

}  // namespace web
