// switcher-bridge's settings and their check.
#include "BridgeSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>

#include "GatewaySettings.h"
#include "Ini.h"
#include "MqttSettings.h"
#include "PanelServer.h"
#include "WebSettings.h"

namespace bridge {

namespace {
constexpr char kSection[] = "Bridge";
constexpr int kValueBuffer = 4096;
constexpr int kMaxPort = 65535;

QString value(const char* section, const char* key, const QString& iniFile) {
  return QString::fromUtf8(platform::GetPrivateProfileString(section, key, "", kValueBuffer, iniFile)).trimmed();
}

// A listener's section, checked by the rules (and in the words) it starts with.
void checkListener(const char* section, const QString& iniFile, Check* c) {
  const gateway::Settings s = gateway::ReadSettings(iniFile, section);
  if (s.port == 0) return;
  if (!s.problem.isEmpty()) c->errors << s.problem;
  QHostAddress address;
  QList<gateway::Range> ranges;
  const QString problem = gateway::CheckListen(QLatin1String(section), s, &address, &ranges);
  if (!problem.isEmpty()) c->errors << problem;
  c->serves << QStringLiteral("%1 on %2:%3%4").arg(QLatin1String(section), s.bind).arg(s.port).arg(s.readOnly ? " (read only)" : "");
}
}  // namespace

QString ChooseConfigDir() {
  const QByteArray given = qgetenv("SWITCHER_CONFIG_DIR");
  if (!given.isEmpty()) return QFile::decodeName(given);
  // Set by systemd for the unit's ConfigurationDirectory= (and nowhere else).
  const QByteArray service = qgetenv("CONFIGURATION_DIRECTORY");
  if (!service.isEmpty()) return QFile::decodeName(service.split(':').first());
  return platform::configDir();
}

LinkChoice ReadLink(const QString& iniFile) {
  LinkChoice l;
  const QString text = value(kSection, "Link", iniFile);
  if (text.isEmpty() || text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
    bool ok = false;
    const int n = text.isEmpty() ? 1 : text.mid(3).toInt(&ok);
    if (!text.isEmpty() && (!ok || n < 1 || n > 4)) {
      l.problem = QStringLiteral("[Bridge] Link=%1 is not COM1 to COM4, a device path or TCP host:port").arg(text);
      return l;
    }
    l.device = platform::comDevicePath(n);
    l.label = QStringLiteral("COM%1 %2").arg(n).arg(l.device);
    return l;
  }
  if (text.startsWith(QLatin1String("TCP "), Qt::CaseInsensitive)) {
    l.kind = LinkChoice::Kind::Tcp;
    const QString where = text.mid(4).trimmed();
    const int colon = where.lastIndexOf(QLatin1Char(':'));
    l.host = colon < 0 ? where : where.left(colon);
    if (colon >= 0) {
      bool ok = false;
      l.port = where.mid(colon + 1).toInt(&ok);
      if (!ok || l.port < 1 || l.port > kMaxPort) l.problem = QStringLiteral("[Bridge] Link=%1: the port is not 1 to 65535").arg(text);
    }
    if (l.host.isEmpty()) l.problem = QStringLiteral("[Bridge] Link=%1 names no host").arg(text);
    return l;
  }
  if (!text.startsWith(QLatin1Char('/'))) {
    l.problem = QStringLiteral("[Bridge] Link=%1 is not COM1 to COM4, a device path or TCP host:port").arg(text);
    return l;
  }
  l.device = text;
  l.label = text;
  return l;
}

int ReadLinkCheck(const QString& iniFile, QString* problem) {
  const QString text = value("Link", "Check", iniFile);
  if (text.isEmpty()) return kLinkCheckDefault;
  bool ok = false;
  const int seconds = text.toInt(&ok);
  constexpr int kLongest = 86400;  // a day; a timer holds no more than 24 days
  if (ok && seconds >= 0 && seconds <= kLongest) return seconds;
  if (problem) *problem = QStringLiteral("[Link] Check=%1 is not a number of seconds from 0 (no check) to %2").arg(text).arg(kLongest);
  return kLinkCheckDefault;
}

QString CodeFilePath(const QString& iniFile) {
  const QString own = value(kSection, "CodeFile", iniFile);
  if (!own.isEmpty()) return own;
  return QFile::decodeName(platform::GetPrivateProfileString("CodeFile", "Dir", "", kValueBuffer, QStringLiteral("Switch.ini")));
}

Check CheckSettings(const QString& iniFile) {
  Check c;
  const QString path = platform::profilePath(iniFile);
  if (QFileInfo::exists(path) && !QFileInfo(path).isReadable()) c.errors << QStringLiteral("%1 cannot be read").arg(path);
  const LinkChoice link = ReadLink(iniFile);
  if (!link.problem.isEmpty()) c.errors << link.problem;
  else if (link.kind == LinkChoice::Kind::Serial) {
    if (!QFileInfo::exists(link.device)) c.errors << QStringLiteral("[Bridge] Link: %1 does not exist (see --list-ports)").arg(link.device);
    c.serves << QStringLiteral("switcher on %1").arg(link.label);
  } else {
    c.serves << QStringLiteral("switcher on TCP %1:%2").arg(link.host).arg(link.port);
  }
  checkListener("Gateway", iniFile, &c);
  checkListener(gateway::kPanelSection, iniFile, &c);
  checkListener("Web", iniFile, &c);
  const web::Settings w = web::ReadSettings(iniFile);
  if (w.listen.port != 0 && !w.passwordFile.isEmpty()) {
    QString why;
    if (web::ReadPassword(w.passwordFile, &why).isEmpty()) c.errors << QStringLiteral("[Web] %1").arg(why);
  }
  const QString pace = value("Link", "Pace", iniFile);
  bool paceOk = pace.isEmpty();
  if (!paceOk) paceOk = pace.toInt(&paceOk) >= 0 && paceOk;
  if (!paceOk) c.errors << QStringLiteral("[Link] Pace=%1 is not a number of milliseconds").arg(pace);
  QString checkProblem;
  ReadLinkCheck(iniFile, &checkProblem);
  if (!checkProblem.isEmpty()) c.errors << checkProblem;
  const gateway::PanelExtras extras = gateway::ReadPanelExtras(iniFile);
  if (!extras.problem.isEmpty() && gateway::ReadSettings(iniFile, gateway::kPanelSection).port != 0) c.errors << extras.problem;
  const mqtt::Settings m = mqtt::ReadSettings(iniFile);
  if (!m.host.isEmpty()) {
    const QString problem = mqtt::Problem(m);
    if (!problem.isEmpty()) c.errors << QStringLiteral("[MQTT] %1").arg(problem);
    c.serves << QStringLiteral("MQTT to %1:%2 as %3/%4").arg(m.host).arg(m.port).arg(m.prefix, m.id);
  }
  bool ok = true;
  platform::GetPrivateProfileBool("Log", "Enabled", true, iniFile, &ok);
  if (!ok) c.errors << QStringLiteral("[Log] Enabled=%1 is not 1/0, true/false, yes/no or on/off").arg(value("Log", "Enabled", iniFile));
  const QString codes = CodeFilePath(iniFile);
  if (!codes.isEmpty()) {
    if (!QFileInfo(codes).isReadable()) c.errors << QStringLiteral("code group file %1 cannot be read").arg(codes);
    else c.serves << QStringLiteral("presets from %1").arg(codes);
  }
  const QString names = platform::profilePath(QStringLiteral("Names.ini"));
  if (QFileInfo::exists(names) && !QFileInfo(names).isReadable()) c.errors << QStringLiteral("%1 cannot be read").arg(names);
  return c;
}

}  // namespace bridge
