// Settings that two bridges on one machine cannot share.
#include "Instances.h"

#include <QDir>
#include <QFileInfo>

namespace bridge {

namespace {
constexpr int kMaxInstanceName = 64;
const QString kIni = QStringLiteral("Switcher.ini");

void say(const OtherBridge& other, bool bothInstances, const QString& what, Check* found) {
  const QString line = QStringLiteral("%1 %2 too (%3)").arg(what, other.label, other.iniFile);
  if (bothInstances) found->errors << line;
  else found->warnings << line + QStringLiteral(", if both run");
}
}  // namespace

bool ValidInstanceName(const QString& name) {
  // "log" is the plain unit's log folder, beside the instances' state folders.
  if (name.isEmpty() || name.size() > kMaxInstanceName || name == QLatin1String("log")) return false;
  for (const QChar ch : name)
    if (!(ch.isLetterOrNumber() && ch.unicode() < 128) && ch != QLatin1Char('-') && ch != QLatin1Char('_')) return false;
  return true;
}

QString InstanceConfigDir(const QString& name) { return QStringLiteral("/etc/switcher-bridge/") + name; }

QList<OtherBridge> OtherBridges(const QString& ownDir, bool instance) {
  QList<OtherBridge> others;
  const QDir own(ownDir);
  QDir top = own;
  if (instance) {
    if (!top.cdUp()) return others;
    if (QFileInfo(top.filePath(kIni)).isFile()) others.append({QStringLiteral("switcher-bridge.service"), top.filePath(kIni), true});
  }
  const QString ownPath = own.canonicalPath();
  for (const QFileInfo& dir : top.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
    if (dir.canonicalFilePath() == ownPath || !ValidInstanceName(dir.fileName())) continue;
    const QString ini = QDir(dir.filePath()).filePath(kIni);
    if (QFileInfo(ini).isFile()) others.append({QStringLiteral("instance ") + dir.fileName(), ini, false});
  }
  return others;
}

Check CheckAcrossBridges(const QString& ownDir, bool instance, const Check& own) {
  Check found;
  for (const OtherBridge& other : OtherBridges(ownDir, instance)) {
    const bool errors = instance && !other.plain;
    if (!QFileInfo(other.iniFile).isReadable()) {
      found.warnings << QStringLiteral("%1 cannot be read: its ports are not compared with these").arg(other.iniFile);
      continue;
    }
    const Check theirs = CheckSettings(other.iniFile);
    for (const Check::Listener& mine : own.listeners)
      for (const Check::Listener& their : theirs.listeners)
        if (Clash(mine, their))
          say(other, errors, QStringLiteral("%1: Port=%2 is the %3 port of").arg(mine.name).arg(mine.port).arg(their.name), &found);
    if (!own.link.isEmpty() && own.link == theirs.link)
      say(other, errors, QStringLiteral("[Bridge] Link: %1 is the switcher of").arg(own.link), &found);
    if (!own.mqttName.isEmpty() && own.mqttName == theirs.mqttName)
      say(other, errors,
          QStringLiteral("[MQTT] Id: %1 on %2 is the MQTT name of")
              .arg(own.mqttName.section(QLatin1Char(' '), 1), own.mqttName.section(QLatin1Char(' '), 0, 0)),
          &found);
  }
  return found;
}

}  // namespace bridge
