#pragma once
// Ember+ over the engine: broadcast control systems browse the switcher's tree, route both
// levels as matrices and rename through the label parameters.

#include <QObject>

#include "EmberServer.h"
#include "Protects.h"
#include "RoutingTable.h"
#include "ServerCore.h"
#include "ServiceText.h"
#include "SwitcherEngine.h"

namespace engine {

class EmberService final : public QObject, public ember::EmberHost {
 public:
  EmberService(SwitcherEngine& engine, QObject& owner, ember::Options options)
      : QObject(&owner), engine(engine), server(new ember::EmberServer(*this, options, this)) {
    setObjectName(QStringLiteral("Ember"));
    ember::EmberProvider* tree = &server->provider();
    connect(&engine.routes(), &routing::RoutingTable::changed, tree, &ember::EmberProvider::routeChanged);
    connect(&engine.routes(), &routing::RoutingTable::routeReported, tree, &ember::EmberProvider::routeChanged);
    connect(&engine, &SwitcherEngine::namesChanged, tree, &ember::EmberProvider::namesChanged);
    connect(&engine, &SwitcherEngine::stateChanged, tree, &ember::EmberProvider::deviceChanged);
    connect(&engine, &SwitcherEngine::linkChanged, tree, &ember::EmberProvider::deviceChanged);
    connect(&engine, &SwitcherEngine::identifyingChanged, tree, &ember::EmberProvider::deviceChanged);
    connect(&engine, &SwitcherEngine::answeringChanged, tree, &ember::EmberProvider::deviceChanged);
    connect(&engine, &SwitcherEngine::identifiedChanged, tree, &ember::EmberProvider::deviceChanged);
    connect(&server->core(), &gateway::ServerCore::clientGone, &engine, &SwitcherEngine::forgetClient);
    connect(tree, &ember::EmberProvider::note, &engine, &SwitcherEngine::note);
  }

  bool ready() const override { return engine.ready(); }
  bool online() const override { return engine.linkUp(); }
  QString model() const override { return engine.model(); }
  QString version() const override { return engine.version(); }
  QString linkText() const override {
    if (engine.ready()) return QStringLiteral("ready");
    if (engine.linkUp()) return engine.answering() ? QStringLiteral("identifying") : QStringLiteral("no switcher answers");
    return engine.reason().isEmpty() ? QStringLiteral("down") : QStringLiteral("down: %1").arg(engine.reason());
  }
  // Until a switcher has been identified the matrices are empty: numbers only ever appear, as
  // consumers keep what they were shown (a guess of 256 would leave phantoms behind).
  int inputs() const override { return engine.identified() ? engine.inputs() : 0; }
  int outputs() const override { return engine.identified() ? std::min(engine.outputs(), routing::kOutputs) : 0; }
  int input(int level, int output) const override {
    const routing::Route r = engine.routes().route(output);
    return level == 0 ? r.video : r.audio;
  }
  QString name(bool input, int number) const override { return ShownName(engine.names(), input, number); }
  QString rename(bool input, int number, const QString& name) override {
    names::Names next = engine.names();
    const QString problem = next.set(input ? names::Kind::Input : names::Kind::Output, number, name);
    if (!problem.isEmpty()) return problem;
    QString why;
    return engine.setNames(next, &why) ? QString() : why;
  }
  Sent send(const QByteArray& command, const QString& label, std::function<void()> dropped,
            std::function<void()> written) override {
    switch (engine.sendClient(Origin::Ember, command, label, std::move(dropped), std::move(written))) {
      case SendResult::Accepted: return Sent::Accepted;
      case SendResult::Protected: return Sent::Protected;
      case SendResult::Busy:
      case SendResult::LinkClosed: break;
    }
    return Sent::Refused;
  }
  void refusedReadOnly() override { engine.countRefusal(Origin::Ember, Refusal::ReadOnly); }
  QString statusText() const {
    return QStringLiteral("Ember+: listening on %1, %2").arg(server->listenText(), ClientsText(server->clientCount()));
  }

  SwitcherEngine& engine;
  ember::EmberServer* server;
};

}  // namespace engine
