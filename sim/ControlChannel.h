#pragma once
// switcher-sim's control channel: a second TCP port on loopback, one text command a line and
// one reply line each ("OK ..." or "ERR ..."; status sends the routing first). It does what
// an operator at the switcher would: routes from the front panel, pulls the cable, switches
// the switcher off and on; and it tells tests the true routing.

#include <QByteArray>
#include <QObject>

#include <functional>

class QTcpServer;
class QTcpSocket;

namespace sim {

class Device;

// A control line longer than this is refused and its client closed.
constexpr int kMaxControlLine = 256;
constexpr int kDefaultPowerOffMs = 3000;
constexpr int kMaxControlMs = 600000;
// Control clients at once; one more is closed at once.
constexpr int kMaxControlClients = 8;

class ControlChannel final : public QObject {
  Q_OBJECT
 public:
  // `canDrop` false: the link cannot be dropped (a real serial device).
  ControlChannel(Device& device, bool canDrop, QObject* parent);
  // False with *error set.
  bool listen(quint16 port, QString* error);
  quint16 port() const;

  // The reply to one line, line ends included.
  QByteArray execute(const QByteArray& line);

 private:
  void accept();
  void read(QTcpSocket* socket);

  Device& device;
  const bool canDrop;
  QTcpServer* server;
};

}  // namespace sim
