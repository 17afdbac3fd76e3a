#pragma once
// The gateway's settings (Switcher.ini, section "Gateway") and the checks made before it
// listens: the bind address and the list of client addresses that may connect.

#include <QHostAddress>
#include <QList>
#include <QString>

class QTcpServer;

namespace gateway {

constexpr int kDefaultMaxClients = 8;

struct Settings {
  int port = 0;                          // 0 = gateway off (start() then takes any free port)
  QString bind = QStringLiteral("127.0.0.1");
  QString allow;                         // comma-separated IPv4 addresses or CIDR ranges
  int maxClients = kDefaultMaxClients;   // one more is closed at once
  bool readOnly = false;                 // commands answered "Read only", lines still sent
  QString problem = {};                  // a value that could not be read as written: no start
};

// Port, Bind, Allow, MaxClients, ReadOnly of the given section of the profile file. A value
// that cannot be taken as written (a Port that is not a whole number 1 to 65535, an Allow
// list longer than the reader holds, a ReadOnly that is no boolean) sets problem, naming the
// section and key; a bad Port reads as -1.
Settings ReadSettings(const QString& fileName = QStringLiteral("Switcher.ini"),
                      const char* section = "Gateway");

// One IPv4 range of the Allow list.
struct Range {
  quint32 network = 0;
  int prefix = 32;
  bool contains(const QHostAddress& address) const;
};
// "127.0.0.1, 192.168.1.0/24": every entry an IPv4 address, optionally with /0../32.
// False with *error naming the first entry that is not.
bool ParseAllow(const QString& text, QList<Range>* ranges, QString* error);

// Four dotted decimal fields of 0..255 (no shorthand such as "127.1"), or an IPv6 text.
bool ParseAddress(const QString& text, QHostAddress* address);

// What a listener may listen on and whom it admits, read from its settings: empty when it may
// start, else why not, beginning "name: " (the gateway, the panel listener and the web page
// share the rules and their words). Fills *address and *ranges.
QString CheckListen(const QString& name, const Settings& s, QHostAddress* address, QList<Range>* ranges);
// "10.0.0.5:8888", "[::1]:8888".
QString HostPort(const QHostAddress& address, quint16 port);
// Why listen() failed on address:port, in the same words.
QString ListenFailure(const QString& name, const QHostAddress& address, quint16 port, const QTcpServer& server);

// True for 127.0.0.0/8, ::1 and an IPv4 loopback mapped into IPv6.
bool IsLoopback(const QHostAddress& address);

}  // namespace gateway
