// switcher-bridge's settings and their check.
#include "BridgeSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QSysInfo>

#include "EmberServer.h"
#include "GatewaySettings.h"
#include "Ini.h"
#include "MqttSettings.h"
#include "PanelServer.h"
#include "Swp08Server.h"
#include "WebSettings.h"

namespace bridge {

namespace {
constexpr char kSection[] = "Bridge";
constexpr int kValueBuffer = 4096;
constexpr int kMaxPort = 65535;

QString value(const char* section, const char* key, const QString& iniFile) {
  return QString::fromUtf8(platform::GetPrivateProfileString(section, key, "", kValueBuffer, iniFile)).trimmed();
}

// Every key each section of Switcher.ini takes, the console's and the bridge's: a misspelt
// key or section would otherwise be passed over in silence (a "PaswordFile" leaves the page
// open).
struct KnownSection {
  const char* name;
  QStringList keys;
};
const QList<KnownSection>& knownSections() {
  static const QStringList listener = {"Port", "Bind", "Allow", "MaxClients", "ReadOnly"};
  static const QList<KnownSection> all = {
      {"Bridge", {"Link", "CodeFile", "Name"}},
      {"COM", {"COM1", "COM2", "COM3", "COM4"}},
      {"TCP", {"IP", "Connect"}},
      {"Link", {"Pace", "Reconnect", "Check"}},
      {"Log", {"Enabled", "Days", "MaxMB"}},
      {"Gateway", listener},
      {"Panel", listener + QStringList{"Signal", "Inputs", "Outputs", "Name"}},
      {"Web", listener + QStringList{"PasswordFile", "Hosts"}},
      {"SWP08", listener + QStringList{"Matrix", "Device", "Baud"}},
      {"Ember", listener},
      {"Metrics", {"Port", "Bind", "Allow"}},
      {"MQTT", {"Host", "Port", "Id", "Prefix", "User", "PasswordFile", "TLS", "CAFile", "CertFile", "KeyFile", "Discovery",
                "DiscoveryPrefix", "ReadOnly", "Inputs", "Outputs"}},
  };
  return all;
}

// Sections given twice (the readers take the first alone), unknown sections and keys, and keys
// given twice, read the way the profile reader reads lines.
void checkLayout(const QString& path, Check* c) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return;
  const QString file = QFileInfo(path).fileName();
  QHash<QString, int> sectionLine;  // lower-case name -> first line
  QHash<QString, int> keyLine;      // lower-case "section/key" -> first line
  const KnownSection* known = nullptr;
  QString section;
  bool inSection = false;
  int number = 0;
  while (!f.atEnd()) {
    QByteArray line = f.readLine();
    if (++number == 1 && line.startsWith("\xEF\xBB\xBF")) line.remove(0, 3);
    line = line.trimmed();
    if (line.startsWith('\x1a')) line = line.mid(1).trimmed();
    if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')) continue;  // both comment marks in use
    // The reader passes over what is neither: its keys would be read from the section above.
    auto passedOver = [&] {
      c->errors << QStringLiteral("%1 line %2: \"%3\" is neither a [section] nor a key=value line")
                       .arg(file).arg(number).arg(QString::fromUtf8(line));
    };
    if (line.startsWith('[')) {
      const int close = int(line.indexOf(']'));
      if (close <= 0) {
        passedOver();
        continue;
      }
      section = QString::fromUtf8(line.mid(1, close - 1).trimmed());
      inSection = true;
      known = nullptr;
      for (const KnownSection& k : knownSections())
        if (section.compare(QLatin1String(k.name), Qt::CaseInsensitive) == 0) known = &k;
      if (!known) {
        c->errors << QStringLiteral("%1 line %2: [%3] is not a section of the bridge or the console").arg(file).arg(number).arg(section);
        continue;
      }
      section = QLatin1String(known->name);
      const int first = sectionLine.value(section, 0);
      if (first) c->errors << QStringLiteral("%1 line %2: [%3] is there already (line %4), and only the first is read: join them")
                                  .arg(file).arg(number).arg(section).arg(first);
      else sectionLine.insert(section, number);
      continue;
    }
    const int eq = int(line.indexOf('='));
    if (eq <= 0) {
      passedOver();
      continue;
    }
    const QString key = QString::fromUtf8(line.left(eq).trimmed());
    if (!inSection) {
      c->errors << QStringLiteral("%1 line %2: %3 is outside any section").arg(file).arg(number).arg(key);
      continue;
    }
    if (!known) continue;  // said once for its section
    QString name;
    for (const QString& k : known->keys)
      if (key.compare(k, Qt::CaseInsensitive) == 0) name = k;
    if (name.isEmpty()) {
      c->errors << QStringLiteral("%1 line %2: %3 is not a key of [%4] (it takes %5)")
                       .arg(file).arg(number).arg(key, section, known->keys.join(QStringLiteral(", ")));
      continue;
    }
    const QString id = section + QLatin1Char('/') + name;
    const int first = keyLine.value(id, 0);
    if (first) c->errors << QStringLiteral("%1 line %2: [%3] %4 is there already (line %5), and only the first is read")
                                .arg(file).arg(number).arg(section, name).arg(first);
    else keyLine.insert(id, number);
  }
}

// A whole number as written ("10ms" or "fast" is none: the readers would take 10 or 0).
bool wholeNumber(const char* section, const char* key, const QString& iniFile, Check* c) {
  const QString v = value(section, key, iniFile);
  bool ok = v.isEmpty();
  if (!ok) {
    ok = !v.isEmpty() && v.size() <= 9;
    for (const QChar ch : v) ok = ok && ch >= QLatin1Char('0') && ch <= QLatin1Char('9');
  }
  if (!ok) c->errors << QStringLiteral("[%1] %2=%3 is not a whole number").arg(QLatin1String(section), QLatin1String(key), v);
  return ok;
}

// A listener's section, checked by the rules (and in the words) it starts with: one error for
// a value that cannot be read, else what CheckListen says.
void checkListener(const char* section, gateway::Settings s, int runPort, QList<Check::Listener>* endpoints, Check* c,
                   const QString& note = {}) {
  if (runPort != 0) s.port = runPort;
  if (s.port == 0) return;
  if (!s.problem.isEmpty()) {
    c->errors << s.problem;
    return;
  }
  QHostAddress address;
  QList<gateway::Range> ranges;
  const QString problem = gateway::CheckListen(QLatin1String(section), s, &address, &ranges);
  if (!problem.isEmpty()) {
    c->errors << problem;
    return;
  }
  c->serves << QStringLiteral("%1 on %2:%3%4%5").arg(QLatin1String(section), s.bind).arg(s.port).arg(s.readOnly ? " (read only)" : "", note);
  endpoints->append({QLatin1String(section), address, s.port});
}

void checkClashes(const QList<Check::Listener>& endpoints, Check* c) {
  for (int i = 0; i < endpoints.size(); ++i)
    for (int j = 0; j < i; ++j) {
      const Check::Listener& a = endpoints[j];
      const Check::Listener& b = endpoints[i];
      if (Clash(a, b))
        c->errors << QStringLiteral("%1: Port=%2 is the %3's port too; each service needs a port of its own").arg(b.name).arg(b.port).arg(a.name);
    }
}
}  // namespace

bool Clash(const Check::Listener& a, const Check::Listener& b) {
  auto any = [](const QHostAddress& h) {
    return h == QHostAddress(QHostAddress::AnyIPv4) || h == QHostAddress(QHostAddress::AnyIPv6) || h == QHostAddress(QHostAddress::Any);
  };
  return a.port == b.port && (a.address.isEqual(b.address, QHostAddress::TolerantConversion) || any(a.address) || any(b.address));
}

QString ChooseConfigDir(const QString& instance) {
  const QByteArray given = qgetenv("SWITCHER_CONFIG_DIR");
  if (!given.isEmpty()) return QFile::decodeName(given);
  // Set by systemd for the unit's ConfigurationDirectory= (and nowhere else).
  const QByteArray service = qgetenv("CONFIGURATION_DIRECTORY");
  if (!service.isEmpty()) return QFile::decodeName(service.split(':').first());
  if (!instance.isEmpty()) return QStringLiteral("/etc/switcher-bridge/") + instance;
  return platform::configDir();
}

QString BridgeName(const QString& instance, const QString& iniFile) {
  const QString own = value(kSection, "Name", iniFile);
  if (!own.isEmpty()) return own;
  return instance.isEmpty() ? QSysInfo::machineHostName() : instance;
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

Check CheckSettings(const QString& iniFile, const engine::ServiceRun& run) {
  Check c;
  const QString path = platform::profilePath(iniFile);
  if (QFileInfo::exists(path) && !QFileInfo(path).isReadable()) c.errors << QStringLiteral("%1 cannot be read").arg(path);
  checkLayout(path, &c);
  const LinkChoice link = ReadLink(iniFile);
  if (!link.problem.isEmpty()) c.errors << link.problem;
  else if (link.kind == LinkChoice::Kind::Serial) {
    // An adapter may be plugged in later: the bridge waits for it, as it does when it goes.
    if (!QFileInfo::exists(link.device))
      c.warnings << QStringLiteral("[Bridge] Link: %1 does not exist (yet); the link opens when it appears (see --list-ports)").arg(link.device);
    c.serves << QStringLiteral("switcher on %1").arg(link.label);
    c.link = QFileInfo(link.device).canonicalFilePath();
    if (c.link.isEmpty()) c.link = link.device;
  } else {
    c.serves << QStringLiteral("switcher on TCP %1:%2").arg(link.host).arg(link.port);
    c.link = QStringLiteral("TCP %1:%2").arg(link.host.toLower()).arg(link.port);
  }
  QList<Check::Listener>& endpoints = c.listeners;
  if (wholeNumber("Gateway", "MaxClients", iniFile, &c)) checkListener("Gateway", gateway::ReadSettings(iniFile), run.gatewayPort, &endpoints, &c);
  const gateway::Settings panel = gateway::ReadSettings(iniFile, gateway::kPanelSection);
  const bool panelOn = (run.panelPort != 0 ? run.panelPort : panel.port) != 0;
  const bool panelNumbers = wholeNumber(gateway::kPanelSection, "MaxClients", iniFile, &c) &
                            wholeNumber(gateway::kPanelSection, "Inputs", iniFile, &c) &
                            wholeNumber(gateway::kPanelSection, "Outputs", iniFile, &c);
  const gateway::PanelExtras extras = gateway::ReadPanelExtras(iniFile);
  if (panelNumbers && !extras.problem.isEmpty() && panelOn) c.errors << extras.problem;
  else if (panelNumbers) checkListener(gateway::kPanelSection, panel, run.panelPort, &endpoints, &c);
  const web::Settings w = web::ReadSettings(iniFile);
  const bool webOn = (run.webPort != 0 ? run.webPort : w.listen.port) != 0;
  QString password = QStringLiteral(", no password");
  if (webOn && !w.passwordFile.isEmpty()) {
    QString why;
    if (web::ReadPassword(w.passwordFile, &why).isEmpty()) c.errors << QStringLiteral("[Web] %1").arg(why);
    password = QStringLiteral(", password from %1").arg(w.passwordFile);
  }
  checkListener("Web", w.listen, run.webPort, &endpoints, &c, password);
  const gateway::Settings swp = swp08::ReadServerSettings(iniFile);
  const swp08::Extras swpExtras = swp08::ReadExtras(iniFile);
  const bool swpOn = (run.swp08Port != 0 ? run.swp08Port : swp.port) != 0 || !swpExtras.device.isEmpty();
  if (wholeNumber(swp08::kSection, "MaxClients", iniFile, &c) && swpOn) {
    if (!swpExtras.problem.isEmpty()) c.errors << swpExtras.problem;
    checkListener(swp08::kSection, swp, run.swp08Port, &endpoints, &c, QStringLiteral(", matrix %1").arg(swpExtras.matrix));
    if (!swpExtras.device.isEmpty()) {
      if (!QFileInfo::exists(swpExtras.device)) c.warnings << QStringLiteral("[SWP08] Device: %1 does not exist (yet); the bridge exits and systemd tries again").arg(swpExtras.device);
      else c.serves << QStringLiteral("SWP08 on %1 at %2 baud").arg(swpExtras.device).arg(swpExtras.baud);
    }
  }
  if (wholeNumber(ember::kSection, "MaxClients", iniFile, &c))
    checkListener(ember::kSection, ember::ReadServerSettings(iniFile), run.emberPort, &endpoints, &c);
  checkListener("Metrics", gateway::ReadSettings(iniFile, "Metrics"), 0, &endpoints, &c);
  checkClashes(endpoints, &c);
  const QString pace = value("Link", "Pace", iniFile);
  bool paceOk = pace.isEmpty();
  if (!paceOk) paceOk = pace.toInt(&paceOk) >= 0 && paceOk;
  if (!paceOk) c.errors << QStringLiteral("[Link] Pace=%1 is not a number of milliseconds").arg(pace);
  QString checkProblem;
  ReadLinkCheck(iniFile, &checkProblem);
  if (!checkProblem.isEmpty()) c.errors << checkProblem;
  mqtt::Settings m = mqtt::ReadSettings(iniFile);
  if (!run.mqttHost.isEmpty()) {
    m.host = run.mqttHost;
    if (run.mqttPort > 0) m.port = run.mqttPort;
  }
  const bool mqttNumbers = wholeNumber("MQTT", "Port", iniFile, &c) & wholeNumber("MQTT", "Inputs", iniFile, &c) &
                           wholeNumber("MQTT", "Outputs", iniFile, &c);
  if (!m.host.isEmpty() && mqttNumbers) {
    const QString problem = mqtt::Problem(m);
    if (!problem.isEmpty()) c.errors << QStringLiteral("[MQTT] %1").arg(problem);
    else c.serves << QStringLiteral("MQTT to %1:%2 as %3/%4").arg(m.host).arg(m.port).arg(m.prefix, m.id);
    c.mqttName = QStringLiteral("%1:%2 %3/%4").arg(m.host.toLower()).arg(m.effectivePort()).arg(m.prefix, m.id);
  }
  bool ok = true;
  platform::GetPrivateProfileBool("Log", "Enabled", true, iniFile, &ok);
  if (!ok) c.errors << QStringLiteral("[Log] Enabled=%1 is not 1/0, true/false, yes/no or on/off").arg(value("Log", "Enabled", iniFile));
  wholeNumber("Log", "Days", iniFile, &c);
  wholeNumber("Log", "MaxMB", iniFile, &c);
  const QString codes = CodeFilePath(iniFile);
  if (!codes.isEmpty()) {
    // Not there yet is no fault: the first routing saved as a preset writes it.
    if (!QFileInfo::exists(codes)) c.warnings << QStringLiteral("code group file %1 does not exist (yet); no presets until a routing is saved").arg(codes);
    else if (!QFileInfo(codes).isFile() || !QFileInfo(codes).isReadable()) c.errors << QStringLiteral("code group file %1 cannot be read").arg(codes);
    else c.serves << QStringLiteral("presets from %1").arg(codes);
  }
  const QString names = platform::profilePath(QStringLiteral("Names.ini"));
  if (QFileInfo::exists(names) && !QFileInfo(names).isReadable()) c.errors << QStringLiteral("%1 cannot be read").arg(names);
  return c;
}

}  // namespace bridge
