#pragma once
// The console as a gateway: a TCP server that speaks the switcher's own command language.
// Clients' commands are framed as the switcher frames them and handed whole, in order, to
// the console (GatewayHost); every line the switcher sends reaches every client. QtCore and
// QtNetwork only.

#include "GatewaySettings.h"
#include "LineHolder.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <vector>

class QTcpServer;

namespace gateway {

// A client whose unsent output passes this is disconnected: it reads too slowly.
constexpr qint64 kMaxBacklog = 1 << 20;
// Read from one client per event-loop turn, so that a flood cannot starve the window.
constexpr int kReadPerTurn = 64 * 1024;

constexpr char kLinkClosedLine[] = "Link closed\r\n";
constexpr char kReadOnlyLine[] = "Read only\r\n";
constexpr char kErrorLine[] = "Command Code Error!\r\n";

// The console seen from the gateway.
class GatewayHost {
 public:
  virtual ~GatewayHost() = default;
  // True while the link is open and the switcher identified: commands may go out.
  virtual bool linkReady() const = 0;
  // Sends one complete command (terminator included) to the switcher; clientLabel is
  // "ADDR:PORT" of the client that sent it.
  virtual void sendCommand(const QByteArray& command, const QString& clientLabel) = 0;
};

class GatewayClient;

class GatewayServer : public QObject {
  Q_OBJECT
 public:
  explicit GatewayServer(GatewayHost& host, QObject* parent = nullptr);
  ~GatewayServer() override;

  // Listens on settings.bind:settings.port (port 0: any free port). Returns an empty text
  // on success, else why not: a non-loopback bind without Allow, a bad Allow entry, a port
  // in use, an address that cannot be bound. A running server is stopped first.
  QString start(const Settings& settings);
  // Closes every client and stops listening.
  void stop();

  bool isListening() const;
  quint16 port() const;
  // "ADDR:PORT" of the listening socket, for the console's system memo.
  QString listenText() const;
  int clientCount() const { return int(clients.size()); }

  // Bytes from the switcher, in any pieces: every complete line goes to every client once the
  // event loop has finished its current work (the console reads its own lines first, and a
  // burst that came in many pieces leaves in one write per client).
  void switcherBytes(const char* data, int size);
  void switcherBytes(const QByteArray& bytes) { switcherBytes(bytes.constData(), int(bytes.size())); }
  // One line to one client (by its "ADDR:PORT" label), if it is still there.
  void tell(const QString& clientLabel, const char* line);

 signals:
  void clientCountChanged(int count);

 private:
  friend class GatewayClient;
  void admit(qintptr descriptor);
  bool allowed(const QHostAddress& peer) const;
  // Commands of one client, already framed; the client may be dropped on the way.
  void command(GatewayClient* client, const QByteArray& text);
  // clean: a FIN after the last bytes; else a reset (a failed or too slow client).
  void drop(GatewayClient* client, bool clean);
  void broadcast();

  GatewayHost& host;
  Settings settings;
  QList<Range> allow;
  bool loopbackOnly = true;
  QTcpServer* listener = nullptr;
  LineHolder lines;
  QByteArray outgoing;  // complete lines not yet handed to the clients
  bool broadcastQueued = false;
  std::vector<GatewayClient*> clients;
};

}  // namespace gateway
