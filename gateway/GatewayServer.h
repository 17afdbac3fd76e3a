#pragma once
// The console as a gateway: a TCP server that speaks the switcher's own command language.
// Clients' commands are framed as the switcher frames them and handed whole, in order, to
// the console (GatewayHost); every line the switcher sends reaches every client. Listening,
// admission, slow readers and half-closed clients are the shared ServerCore's. QtCore and
// QtNetwork only.

#include "GatewaySettings.h"
#include "LineHolder.h"
#include "ServerCore.h"

#include <QByteArray>
#include <QObject>
#include <QString>

namespace gateway {

constexpr char kLinkClosedLine[] = "Link closed\r\n";
constexpr char kReadOnlyLine[] = "Read only\r\n";
constexpr char kErrorLine[] = "Command Code Error!\r\n";
// A client with too many commands waiting to go out (with [Link] Pace set).
constexpr char kBusyLine[] = "Busy\r\n";
// A command that would move an output another client protects.
constexpr char kLockedLine[] = "Locked\r\n";

// The console seen from the gateway.
class GatewayHost {
 public:
  virtual ~GatewayHost() = default;
  // True while the link is open and the switcher identified: commands may go out.
  virtual bool linkReady() const = 0;
  // Sends one complete command (terminator included) to the switcher; clientLabel is
  // "ADDR:PORT" of the client that sent it. A command that cannot go (too many waiting, or
  // dropped later) is answered by the host through GatewayServer::tell.
  virtual void sendCommand(const QByteArray& command, const QString& clientLabel) = 0;
  // True while commands of this client wait to go out: a client that half-closed is kept
  // until they went.
  virtual bool waiting(const QString& clientLabel) const {
    (void)clientLabel;
    return false;
  }
  // The server answered a command itself, unsent: read-only, or no link (for the counts).
  virtual void refusedHere(bool readOnly) { (void)readOnly; }
};

class GatewayServer : public QObject {
  Q_OBJECT
 public:
  explicit GatewayServer(GatewayHost& host, QObject* parent = nullptr);
  ~GatewayServer() override;

  // Listens on settings.bind:settings.port (port 0: any free port). Returns an empty text
  // on success, else why not (see ServerCore::start). A running server is stopped first.
  QString start(const Settings& settings);
  // Closes every client and stops listening.
  void stop();

  bool isListening() const { return core.isListening(); }
  quint16 port() const { return core.port(); }
  // "ADDR:PORT" of the listening socket, for the console's status line.
  QString listenText() const { return core.listenText(); }
  int clientCount() const { return core.clientCount(); }
  const ServerCore& serverCore() const { return core; }

  // Bytes from the switcher, in any pieces: every complete line goes to every client once the
  // event loop has finished its current work (the console reads its own lines first, and a
  // burst that came in many pieces leaves in one write per client).
  void switcherBytes(const char* data, int size);
  void switcherBytes(const QByteArray& bytes) { switcherBytes(bytes.constData(), int(bytes.size())); }
  // One line to one client (by its "ADDR:PORT" label), if it is still there.
  void tell(const QString& clientLabel, const char* line);

 signals:
  void clientCountChanged(int count);
  void clientGone(const QString& clientLabel);

 private:
  friend class GatewayProtocol;
  // One framed command of a client (empty: an overflow).
  void command(ClientHandle& client, const QByteArray& text);
  void broadcast();

  GatewayHost& host;
  ServerCore core;
  Settings settings;
  LineHolder lines;
  QByteArray outgoing;  // complete lines not yet handed to the clients
  bool broadcastQueued = false;
};

}  // namespace gateway
