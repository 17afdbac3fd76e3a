#pragma once
// MQTT over the engine: state out to the broker, commands in.

#include "MqttBridge.h"
#include "RoutingTable.h"
#include "SwitcherEngine.h"

#include <QObject>
#include <QPointer>

namespace engine {

class MqttService final : public QObject, public mqtt::MqttHost {
 public:
  MqttService(SwitcherEngine& engine, QObject& owner, const mqtt::Settings& s)
      : QObject(&owner), engine(engine), bridge(new mqtt::MqttBridge(*this, s, this)) {
    setObjectName(QStringLiteral("Mqtt"));
    connect(&engine.routes(), &routing::RoutingTable::changed, bridge, &mqtt::MqttBridge::routeChanged);
    connect(&engine, &SwitcherEngine::namesChanged, bridge, &mqtt::MqttBridge::namesChanged);
    connect(&engine.presets(), &Presets::changed, bridge, &mqtt::MqttBridge::groupsChanged);
    connect(&engine, &SwitcherEngine::linkChanged, bridge, [this] { bridge->linkChanged(); });
    connect(&engine, &SwitcherEngine::answeringChanged, bridge, [this] { bridge->linkChanged(); });
    // The broker's session is MQTT's one client: what it asked for goes with it.
    connect(bridge, &mqtt::MqttBridge::connectedChanged, this, [this](bool connected) {
      if (!connected) this->engine.forgetClient(QStringLiteral("mqtt"));
    });
    connect(&engine, &SwitcherEngine::identifiedChanged, bridge, &mqtt::MqttBridge::infoChanged);
    connect(&engine.protects(), &routing::Protects::changed, bridge, &mqtt::MqttBridge::protectChanged);
  }

  // A link on which no switcher answers is "down" for MQTT's clients.
  bool linkUp() const override { return engine.linkUp() && engine.answering(); }
  bool linkReady() const override { return engine.ready(); }
  bool canSend(int count, const QString& label) const override {
    return engine.ready() && engine.queue().clientCanTake(label, count);
  }
  mqtt::SendResult sendCommand(const QByteArray& command, const QString& label, std::function<void()> onDropped) override {
    return toMqtt(engine.sendClient(Origin::Mqtt, command, label, std::move(onDropped)));
  }
  routing::Route route(int output) const override { return engine.routes().route(output); }
  QString name(names::Kind kind, int number) const override { return engine.names().name(kind, number); }
  QStringList groups() const override {
    QStringList out;
    for (const Preset& p : engine.presets().all()) out << p.name;
    return out;
  }
  std::vector<QByteArray> groupCodes(int index) const override {
    const QList<Preset>& all = engine.presets().all();
    if (index < 0 || index >= all.size()) return {};
    return {all[index].codes.begin(), all[index].codes.end()};
  }
  mqtt::Info info() const override {
    mqtt::Info i;
    i.link = engine.linkName();
    i.model = engine.model();
    i.version = engine.version();
    i.inputs = engine.inputs();
    i.outputs = engine.outputs();
    return i;
  }

  mqtt::Protect protect(int output) const override {
    const routing::ProtectHolder* h = engine.protects().holder(output);
    return h ? mqtt::Protect{h->label, h->shown} : mqtt::Protect{};
  }
  bool setProtect(int output, const QString& label, bool on) override {
    routing::Protects& table = engine.protects();
    return on ? table.protect(output, {label, QStringLiteral("MQTT")}) : table.release(output, label);
  }
  void refusedReadOnly() override { engine.countRefusal(Origin::Mqtt, Refusal::ReadOnly); }

  static mqtt::SendResult toMqtt(SendResult r) {
    switch (r) {
      case SendResult::Accepted: return mqtt::SendResult::Accepted;
      case SendResult::Busy: return mqtt::SendResult::Busy;
      case SendResult::LinkClosed: return mqtt::SendResult::LinkClosed;
      case SendResult::Protected: return mqtt::SendResult::Protected;
    }
    return mqtt::SendResult::LinkClosed;
  }

  SwitcherEngine& engine;
  mqtt::MqttBridge* bridge;
};

}  // namespace engine
