#pragma once
// The web control page over the engine.

#include "WebServer.h"
#include "RoutingTable.h"
#include "SwitcherEngine.h"

#include <QObject>
#include <QPointer>

namespace engine {

class WebService final : public QObject, public web::WebHost {
 public:
  WebService(SwitcherEngine& engine, QObject& owner) : QObject(&owner), engine(engine), server(new web::WebServer(*this, this)) {
    setObjectName(QStringLiteral("Web"));
    connect(&engine.routes(), &routing::RoutingTable::changed, server, &web::WebServer::routeChanged);
    connect(&engine, &SwitcherEngine::namesChanged, server, &web::WebServer::namesChanged);
    connect(&engine.presets(), &Presets::changed, server, &web::WebServer::presetsChanged);
    connect(&engine, &SwitcherEngine::stateChanged, server, &web::WebServer::linkChanged);
    connect(&engine, &SwitcherEngine::linkChanged, server, &web::WebServer::linkChanged);
    connect(&engine, &SwitcherEngine::identifyingChanged, server, &web::WebServer::linkChanged);
    connect(&engine, &SwitcherEngine::identifiedChanged, server, &web::WebServer::deviceChanged);
    connect(&engine.protects(), &routing::Protects::changed, server, &web::WebServer::protectChanged);
    // A page's protects end with its WebSocket: a reload is a new page with a new label.
    connect(server, &web::WebServer::clientGone, &engine, &SwitcherEngine::forgetClient);
  }

  web::Link link() const override {
    web::Link l;
    l.reason = engine.reason();
    if (engine.ready()) l.state = web::LinkState::Ready;
    else if (engine.linkUp()) l.state = web::LinkState::Identifying;
    else if (engine.state() == LinkState::Lost) l.state = web::LinkState::Lost;
    else if (engine.state() == LinkState::Opening) l.state = web::LinkState::Opening;
    else l.state = web::LinkState::Down;
    return l;
  }
  web::Device device() const override {
    web::Device d;
    d.model = engine.model();
    d.version = engine.version();
    if (engine.identified()) {
      d.inputs = engine.inputs();
      d.outputs = engine.outputs();
    }
    return d;
  }
  routing::Route route(int output) const override { return engine.routes().route(output); }
  QString name(names::Kind kind, int number) const override { return engine.names().name(kind, number); }
  std::vector<web::Preset> presets() const override {
    std::vector<web::Preset> out;
    for (const Preset& p : engine.presets().all()) out.push_back({p.id, p.name});
    return out;
  }
  bool canSend(int count, const QString& label) const override {
    return engine.ready() && engine.queue().clientCanTake(label, count);
  }
  web::SendResult sendCommand(const QByteArray& command, const QString& label, std::function<void()> onDropped) override {
    return toWeb(engine.sendClient(Origin::Web, command, label, std::move(onDropped)));
  }
  web::SendResult runPreset(const QString& id, const QString& label, std::function<void(int, int)> outcome) override {
    return toWeb(engine.runPreset(id, label, std::move(outcome), Origin::Web));
  }
  QString rename(names::Kind kind, int number, const QString& name) override {
    names::Names next = engine.names();
    const QString problem = next.set(kind, number, name);
    if (!problem.isEmpty()) return problem;
    QString why;
    return engine.setNames(next, &why) ? QString() : why;
  }
  web::Protect protect(int output) const override {
    const routing::ProtectHolder* h = engine.protects().holder(output);
    return h ? web::Protect{h->label, h->shown} : web::Protect{};
  }
  bool setProtect(int output, const web::Protect& by, bool on) override {
    routing::Protects& table = engine.protects();
    return on ? table.protect(output, {by.label, by.shown}) : table.release(output, by.label);
  }
  QString saveRoutingPreset(std::function<void(const QString&)> kept) override {
    return engine.captureRouting(QStringLiteral("web"), std::move(kept), Origin::Web);
  }
  void refusedReadOnly() override { engine.countRefusal(Origin::Web, Refusal::ReadOnly); }

  static web::SendResult toWeb(SendResult r) {
    switch (r) {
      case SendResult::Accepted: return web::SendResult::Accepted;
      case SendResult::Busy: return web::SendResult::Busy;
      case SendResult::LinkClosed: return web::SendResult::LinkClosed;
      case SendResult::Protected: return web::SendResult::Protected;
    }
    return web::SendResult::LinkClosed;
  }
  QString statusText() const {
    const int n = server->clientCount();
    return QStringLiteral("Web: http://%1/, %2 page%3").arg(server->listenText()).arg(n).arg(n == 1 ? "" : "s");
  }

  SwitcherEngine& engine;
  web::WebServer* server;
};

}  // namespace engine
