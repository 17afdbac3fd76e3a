#pragma once
// The gateway over the engine: clients speak the switcher's own command language.

#include "GatewayServer.h"
#include "SwitcherEngine.h"

#include <QObject>
#include "ServiceText.h"
#include <QPointer>

namespace engine {

class GatewayService final : public QObject, public gateway::GatewayHost {
 public:
  GatewayService(SwitcherEngine& engine, QObject& owner)
      : QObject(&owner), engine(engine), server(new gateway::GatewayServer(*this, this)) {
    setObjectName(QStringLiteral("Gateway"));
    connect(&engine, &SwitcherEngine::switcherBytesArrived, server,
            [this](const QByteArray& b) { server->switcherBytes(b.constData(), int(b.size())); });
    connect(server, &gateway::GatewayServer::clientGone, &engine, &SwitcherEngine::forgetClient);
  }
  bool linkReady() const override { return engine.ready(); }
  void sendCommand(const QByteArray& command, const QString& label) override {
    const QPointer<gateway::GatewayServer> to(server);
    const auto result = engine.sendClient(Origin::Gateway, command, label, [to, label] {
      if (to) to->tell(label, gateway::kLinkClosedLine);
    });
    if (result == SendResult::Busy) server->tell(label, gateway::kBusyLine);
    if (result == SendResult::LinkClosed) server->tell(label, gateway::kLinkClosedLine);
    if (result == SendResult::Protected) server->tell(label, gateway::kLockedLine);
  }
  void refusedHere(bool readOnly) override {
    engine.countRefusal(Origin::Gateway, readOnly ? Refusal::ReadOnly : Refusal::Link);
  }
  bool waiting(const QString& label) const override { return engine.queue().waiting(label) > 0; }
  QString statusText() const {
    return QStringLiteral("Gateway: listening on %1, %2").arg(server->listenText(), ClientsText(server->clientCount()));
  }

  SwitcherEngine& engine;
  gateway::GatewayServer* server;
};

}  // namespace engine
