#pragma once
// Router panels over the engine: panels see the routing, names and protects, and route.

#include "PanelServer.h"
#include "ServerCore.h"
#include "RoutingTable.h"
#include "SwitcherEngine.h"
#include "Ini.h"
#include <QHostInfo>
#include <memory>
#include <utility>

#include <QObject>
#include "ServiceText.h"
#include <QPointer>

namespace engine {

class PanelService final : public QObject, public gateway::PanelHost {
 public:
  PanelService(SwitcherEngine& engine, QObject& owner, const gateway::PanelExtras& extras,
               const gateway::PanelOptions& options)
      : QObject(&owner),
        engine(engine),
        extras(extras),
        uniqueId(gateway::PanelUniqueId(platform::configDir(), gateway::MachineId())),
        server(new gateway::PanelServer(*this, options, this)) {
    setObjectName(QStringLiteral("Panel"));
    gateway::PanelProtocol* protocol = &server->protocol();
    connect(&engine.routes(), &routing::RoutingTable::changed, protocol, &gateway::PanelProtocol::routeChanged);
    connect(&engine, &SwitcherEngine::namesChanged, protocol, &gateway::PanelProtocol::namesChanged);
    connect(&engine, &SwitcherEngine::linkChanged, protocol, &gateway::PanelProtocol::deviceChanged);
    connect(&engine, &SwitcherEngine::identifyingChanged, protocol, &gateway::PanelProtocol::deviceChanged);
    connect(&engine, &SwitcherEngine::identifiedChanged, protocol, &gateway::PanelProtocol::deviceChanged);
    connect(&engine, &SwitcherEngine::answeringChanged, protocol, &gateway::PanelProtocol::deviceChanged);
    connect(&server->core(), &gateway::ServerCore::clientGone, &engine, &SwitcherEngine::forgetClient);
    connect(&engine.protects(), &routing::Protects::changed, protocol, &gateway::PanelProtocol::lockChanged);
  }

  gateway::PanelDevice device() const override {
    gateway::PanelDevice d;
    // An up link counts as present with the configured or default size, identified or not:
    // the console's TCP/IP link is not identified on its first connect.
    d.present = engine.ready();
    d.model = engine.model();
    d.friendlyName = extras.friendlyName.isEmpty() ? QHostInfo::localHostName() : extras.friendlyName;
    d.uniqueId = uniqueId;
    d.inputs = extras.inputs > 0 ? extras.inputs : engine.inputs();
    d.outputs = extras.outputs > 0 ? extras.outputs : engine.outputs();
    return d;
  }
  routing::Route route(int output) const override { return engine.routes().route(output); }
  const names::Names& names() const override { return engine.names(); }
  bool setNames(const names::Names& next) override { return engine.setNames(next); }
  bool canSend(int count, const QString& label) const override {
    return engine.ready() && engine.queue().clientCanTake(label, count);
  }
  bool send(const QByteArray& command, const QString& label, std::function<void(bool)> done) override {
    // Each of the two is called at most once, and never both.
    auto once = std::make_shared<std::function<void(bool)>>(std::move(done));
    const auto finish = [once](bool written) {
      if (*once) std::exchange(*once, {})(written);
    };
    return engine.sendClient(Origin::Panel, command, label, [finish] { finish(false); }, [finish] { finish(true); }) == SendResult::Accepted;
  }
  char lockState(int output, const QString& label) const override {
    const routing::ProtectHolder* h = engine.protects().holder(output);
    return !h ? 'U' : h->label == label ? 'O' : 'L';
  }
  bool setLock(int output, const QString& label, char what) override {
    routing::Protects& table = engine.protects();
    if (what == 'O') return table.protect(output, {label, QStringLiteral("panel %1").arg(label)});
    return table.release(output, label, what == 'F');
  }
  void forgetLocks(const QString& label) override { engine.protects().forget(label); }
  void refusedReadOnly() override { engine.countRefusal(Origin::Panel, Refusal::ReadOnly); }
  QString statusText() const {
    return QStringLiteral("Panel: listening on %1, %2").arg(server->core().listenText(), ClientsText(server->core().clientCount()));
  }

  SwitcherEngine& engine;
  const gateway::PanelExtras extras;
  const QString uniqueId;
  gateway::PanelServer* server;
};

}  // namespace engine
