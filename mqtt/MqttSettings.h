#pragma once
// Switcher.ini [MQTT]: where the broker is and what the console publishes there.

#include <QString>

namespace mqtt {

constexpr int kDefaultPort = 1883;
constexpr int kDefaultTlsPort = 8883;

struct Settings {
  QString host;  // empty: the bridge is off
  int port = 0;  // 0: kDefaultPort, or kDefaultTlsPort with TLS
  QString id = QStringLiteral("switcher");
  QString prefix = QStringLiteral("switcher");
  QString user;
  QString passwordFile;
  bool tls = false;
  QString caFile, certFile, keyFile;
  bool discovery = true;
  QString discoveryPrefix = QStringLiteral("homeassistant");
  bool readOnly = false;
  int inputs = 0;   // 0: from the switcher's identification
  int outputs = 0;
  // A value ReadSettings could not read (a boolean that is not one), naming its key; the
  // bridge does not start with one.
  QString problem;
  int effectivePort() const { return port > 0 ? port : (tls ? kDefaultTlsPort : kDefaultPort); }
  // "PREFIX/ID"
  QString base() const { return prefix + QLatin1Char('/') + id; }
  // Different for different bases: "switcher-console-PREFIX-ID", or with '/' between them
  // when either holds a '-'.
  QString clientId() const;
  // Home Assistant's node: "PREFIX_ID", or with a short hash of the base after it when either
  // holds a '_'.
  QString nodeId() const;
};

Settings ReadSettings(const QString& fileName);
// What is wrong with the settings, as one sentence; empty when they can be used.
QString Problem(const Settings& s);
// "HOST[:PORT]" of --mqtt into host and port (0 when absent); false when it is not one.
bool ParseHostPort(const QString& text, QString* host, int* port);
// The first line of the password file, without its line end; *error says why not.
QByteArray ReadPassword(const QString& path, QString* error);

}  // namespace mqtt
