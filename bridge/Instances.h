#pragma once
// Several bridges on one machine, one per switcher: instance NAME of the template unit
// switcher-bridge@.service has its settings in /etc/switcher-bridge/NAME, beside the other
// instances' folders and under the plain unit's own /etc/switcher-bridge.

#include <QList>
#include <QString>

#include "BridgeSettings.h"

namespace bridge {

// What systemd passes as %i and what becomes a folder name: letters, digits, '-' and '_', at
// most 64 characters, not "log".
bool ValidInstanceName(const QString& name);

// /etc/switcher-bridge/NAME.
QString InstanceConfigDir(const QString& name);

// Another bridge's settings on this machine.
struct OtherBridge {
  QString label;  // "instance NAME", or "switcher-bridge.service" for the plain unit
  QString iniFile;
  bool plain = false;
};

// For an instance: the plain unit's settings in the folder above ownDir and every other
// folder there holding a Switcher.ini. For the plain unit: the instances' folders in ownDir.
QList<OtherBridge> OtherBridges(const QString& ownDir, bool instance);

// What own's settings share with the other bridges': a port, the switcher, the MQTT name.
// Between two instances an error (they cannot both run); with the plain unit a warning, since
// it may not be enabled.
Check CheckAcrossBridges(const QString& ownDir, bool instance, const Check& own);

}  // namespace bridge
