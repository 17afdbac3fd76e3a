#include "GatewayServer.h"

#include "CommandFramer.h"

#include <QMetaObject>

#include <utility>

namespace gateway {

// One client's side of the command language: its framer, and its commands to the server.
class GatewayProtocol final : public ClientProtocol {
 public:
  GatewayProtocol(GatewayServer& server, const QString& label) : server(server), label(label) {}

  void bytesIn(ClientHandle& client, const char* data, int size) override {
    for (const framing::CommandFramer::Frame& frame : framer.push(QByteArray(data, size))) {
      commanded = true;
      server.command(client, frame.overflow ? QByteArray() : frame.command);
      // The host may have stopped the gateway or dropped this client meanwhile.
      if (!client.isOpen()) return;
    }
  }
  // An unfinished command at the end of input is dropped with the framer.
  bool outstanding() const override { return server.host.waiting(label); }
  // The switcher's replies are not matched to commands: after any command, the core waits
  // for them to stop coming.
  bool repliesDue() const override { return commanded; }

 private:
  bool commanded = false;
  GatewayServer& server;
  const QString label;
  framing::CommandFramer framer;
};

GatewayServer::GatewayServer(GatewayHost& host, QObject* parent)
    : QObject(parent),
      host(host),
      core(QStringLiteral("Gateway"),
           [this](ClientHandle& client) { return std::make_unique<GatewayProtocol>(*this, client.label()); },
           this) {
  connect(&core, &ServerCore::clientCountChanged, this, &GatewayServer::clientCountChanged);
  connect(&core, &ServerCore::clientGone, this, &GatewayServer::clientGone);
}

GatewayServer::~GatewayServer() { stop(); }

QString GatewayServer::start(const Settings& s) {
  if (!s.problem.isEmpty()) return s.problem;
  stop();
  const QString error = core.start(s);
  if (error.isEmpty()) settings = s;
  return error;
}

void GatewayServer::stop() {
  core.stop();
  outgoing.clear();
}

void GatewayServer::command(ClientHandle& client, const QByteArray& text) {
  const char* reply = nullptr;
  if (text.isEmpty()) {
    reply = kErrorLine;  // more than a command's worth without a terminator
  } else if (settings.readOnly) {
    reply = kReadOnlyLine;
    host.refusedHere(true);
  } else if (!host.linkReady()) {
    reply = kLinkClosedLine;
    host.refusedHere(false);
  } else {
    host.sendCommand(text, client.label());
    return;
  }
  client.send(reply, int(qstrlen(reply)));
}

void GatewayServer::tell(const QString& clientLabel, const char* line) {
  if (ClientHandle* client = core.find(clientLabel)) client->send(line, int(qstrlen(line)));
}

void GatewayServer::switcherBytes(const char* data, int size) {
  outgoing += lines.push(data, size);
  if (outgoing.isEmpty() || broadcastQueued) return;
  broadcastQueued = true;
  QMetaObject::invokeMethod(this, &GatewayServer::broadcast, Qt::QueuedConnection);
}

void GatewayServer::broadcast() {
  broadcastQueued = false;
  const QByteArray complete = std::exchange(outgoing, QByteArray());
  if (!complete.isEmpty()) core.sendToAll(complete);
}

}  // namespace gateway
