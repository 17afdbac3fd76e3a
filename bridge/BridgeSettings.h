#pragma once
// What switcher-bridge reads before it starts: where its settings live, which link it
// drives ([Bridge] Link), the code group file, and a check of every section it serves.

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include "Services.h"

namespace bridge {

// Where the settings are: $SWITCHER_CONFIG_DIR, else the unit's configuration folder under
// systemd ($CONFIGURATION_DIRECTORY: /etc/switcher-bridge, or /etc/switcher-bridge/NAME for an
// instance), else an instance's /etc/switcher-bridge/NAME, else the user's folder of the
// console.
QString ChooseConfigDir(const QString& instance = {});

// What the web page calls this bridge: [Bridge] Name, else the instance's name, else the host's.
QString BridgeName(const QString& instance, const QString& iniFile = QStringLiteral("Switcher.ini"));

struct LinkChoice {
  enum class Kind { Serial, Tcp } kind = Kind::Serial;
  QString device;  // Serial: the path
  QString label;   // Serial: "COM1 /dev/ttyS0" for a COM number, else the path
  QString host;    // Tcp
  int port = 8888;
  QString problem;  // why [Bridge] Link cannot be taken; empty when it can
};

// [Bridge] Link: COM1..COM4 (mapped by [COM]), a device path, or "TCP host[:port]".
// Empty: COM1.
LinkChoice ReadLink(const QString& iniFile = QStringLiteral("Switcher.ini"));

// [Bridge] CodeFile, else the file the console used last (Switch.ini [CodeFile] Dir); empty:
// none.
QString CodeFilePath(const QString& iniFile = QStringLiteral("Switcher.ini"));

// [Link] Check: seconds of quiet on the link before the bridge asks whether the switcher is
// still there (0: never). Not a whole number of seconds, or negative: the default, and
// *problem says why.
constexpr int kLinkCheckDefault = 30;
int ReadLinkCheck(const QString& iniFile = QStringLiteral("Switcher.ini"), QString* problem = nullptr);

// Every problem the settings have, one line each ("[Panel] ReadOnly=maybe is not ..."), and
// a description of what would be served. The start refuses what errors holds; a warning (a
// serial device not plugged in yet) is said and the bridge waits for it.
struct Check {
  QStringList errors;
  QStringList warnings;
  QStringList serves;
  // What a bridge takes that another on the same machine cannot share: its listeners, its
  // switcher and its name on the MQTT broker.
  struct Listener {
    QString name;
    QHostAddress address;
    int port = 0;
  };
  QList<Listener> listeners;
  QString link;        // the device's path, or "TCP host:port"
  QString mqttName;  // "host:port Prefix/Id": its topics and client on its broker, while MQTT is on
};
// Two listeners on one port clash when their addresses are the same or either takes every
// address; the second would be refused at its start as "in use by another program".
bool Clash(const Check::Listener& a, const Check::Listener& b);

// run: the ports and broker given on the command line for this run.
Check CheckSettings(const QString& iniFile = QStringLiteral("Switcher.ini"), const engine::ServiceRun& run = {});

}  // namespace bridge
