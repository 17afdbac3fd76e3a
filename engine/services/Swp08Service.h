#pragma once
// SW-P-08 over the engine: control systems route both levels, read names and tallies, and
// protect outputs in the engine's one table.

#include <QObject>

#include "Names.h"
#include "Protects.h"
#include "RoutingTable.h"
#include "ServerCore.h"
#include "ServiceText.h"
#include "SwitcherEngine.h"
#include "Swp08Server.h"

namespace engine {

// The device number SW-P-08 clients see for a protect held by another front end (a panel,
// the web page, MQTT): one no control system is given (the general messages carry 0..1023).
constexpr int kOtherFrontEndDevice = 1023;

class Swp08Service final : public QObject, public swp08::Swp08Host {
 public:
  Swp08Service(SwitcherEngine& engine, QObject& owner, swp08::Options options)
      : QObject(&owner), engine(engine), server(new swp08::Swp08Server(*this, options, this)) {
    setObjectName(QStringLiteral("Swp08"));
    swp08::Swp08Protocol* protocol = &server->protocol();
    connect(&engine.routes(), &routing::RoutingTable::changed, protocol, &swp08::Swp08Protocol::routeChanged);
    connect(&engine.routes(), &routing::RoutingTable::routeReported, protocol, &swp08::Swp08Protocol::routeChanged);
    connect(&engine.protects(), &routing::Protects::changed, protocol, &swp08::Swp08Protocol::protectChanged);
    connect(&server->core(), &gateway::ServerCore::clientGone, &engine, &SwitcherEngine::forgetClient);
    connect(protocol, &swp08::Swp08Protocol::note, &engine, &SwitcherEngine::note);
  }

  bool ready() const override { return engine.ready(); }
  int inputs() const override { return engine.inputs(); }
  int outputs() const override { return std::min(engine.outputs(), routing::kOutputs); }
  int input(int level, int output) const override {
    const routing::Route r = engine.routes().route(output);
    return level == 0 ? r.video : r.audio;
  }
  QString name(bool input, int number) const override { return ShownName(engine.names(), input, number); }
  bool send(const QByteArray& command, const QString& label, std::function<void()> dropped,
            std::function<void()> written) override {
    return engine.sendClient(Origin::Swp08, command, label, std::move(dropped), std::move(written)) == SendResult::Accepted;
  }
  swp08::ProtectView protect(int output, const QString& label) const override {
    swp08::ProtectView v;
    const routing::ProtectHolder* h = engine.protects().holder(output);
    if (!h) return v;
    v.held = true;
    v.mine = h->label == label;
    // A control system's protect carries its device; the console's own front ends protect as
    // the controller does.
    if (h->device >= 0) v.wire = {swp08::ProtectState::ProtectedOem, h->device};
    else v.wire = {swp08::ProtectState::Protected, kOtherFrontEndDevice};
    return v;
  }
  bool setProtect(int output, const QString& label, int device, bool take, bool force) override {
    routing::Protects& table = engine.protects();
    if (!take) return table.release(output, label, force);
    return table.protect(output, {label, QStringLiteral("SW-P-08 %1 (device %2)").arg(label).arg(device), device}, force);
  }
  void forgetProtects(const QString& label) override { engine.protects().forget(label); }
  QString deviceName(int device) const override {
    return device == kOtherFrontEndDevice ? QStringLiteral("BRIDGE") : QStringLiteral("DEV %1").arg(device);
  }
  void refusedReadOnly() override { engine.countRefusal(Origin::Swp08, Refusal::ReadOnly); }
  QString statusText() const {
    return QStringLiteral("SW-P-08: listening on %1, %2").arg(server->listenText(), ClientsText(server->clientCount()));
  }

  SwitcherEngine& engine;
  swp08::Swp08Server* server;
};

}  // namespace engine
