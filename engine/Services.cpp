// The gateway, router panels and MQTT over the engine.
#include "Services.h"

#include <QHostInfo>
#include <QPointer>

#include <memory>
#include <utility>

#include "GatewayServer.h"
#include "Ini.h"
#include "MqttBridge.h"
#include "MqttSettings.h"
#include "PanelServer.h"
#include "RoutingTable.h"
#include "ServerCore.h"
#include "SwitcherEngine.h"
#include "SwitcherLink.h"
#include "WebServer.h"
#include "WebSettings.h"

namespace engine {

namespace {
QString clients(int n) { return QStringLiteral("%1 client%2").arg(n).arg(n == 1 ? "" : "s"); }
}  // namespace

// ---- the gateway ----

class Services::GatewayService final : public QObject, public gateway::GatewayHost {
 public:
  GatewayService(SwitcherEngine& engine, Services& owner)
      : QObject(&owner), engine(engine), server(new gateway::GatewayServer(*this, this)) {
    setObjectName(QStringLiteral("Gateway"));
    connect(&engine, &SwitcherEngine::switcherBytesArrived, server,
            [this](const QByteArray& b) { server->switcherBytes(b.constData(), int(b.size())); });
    connect(server, &gateway::GatewayServer::clientGone, &engine, &SwitcherEngine::forgetClient);
  }
  bool linkReady() const override { return engine.ready(); }
  void sendCommand(const QByteArray& command, const QString& label) override {
    const QPointer<gateway::GatewayServer> to(server);
    const auto result = engine.sendClient(command, label, [to, label] {
      if (to) to->tell(label, gateway::kLinkClosedLine);
    });
    if (result == SendResult::Busy) server->tell(label, gateway::kBusyLine);
    if (result == SendResult::LinkClosed) server->tell(label, gateway::kLinkClosedLine);
  }
  bool waiting(const QString& label) const override { return engine.queue().waiting(label) > 0; }
  QString statusText() const {
    return QStringLiteral("Gateway: listening on %1, %2").arg(server->listenText(), clients(server->clientCount()));
  }

  SwitcherEngine& engine;
  gateway::GatewayServer* server;
};

// ---- router panels ----

class Services::PanelService final : public QObject, public gateway::PanelHost {
 public:
  PanelService(SwitcherEngine& engine, Services& owner, const gateway::PanelExtras& extras,
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
    return engine.sendClient(command, label, [finish] { finish(false); }, [finish] { finish(true); }) == SendResult::Accepted;
  }
  QString statusText() const {
    return QStringLiteral("Panel: listening on %1, %2").arg(server->core().listenText(), clients(server->core().clientCount()));
  }

  SwitcherEngine& engine;
  const gateway::PanelExtras extras;
  const QString uniqueId;
  gateway::PanelServer* server;
};

// ---- MQTT ----

class Services::MqttService final : public QObject, public mqtt::MqttHost {
 public:
  MqttService(SwitcherEngine& engine, Services& owner, const mqtt::Settings& s)
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
  }

  // A link on which no switcher answers is "down" for MQTT's clients.
  bool linkUp() const override { return engine.linkUp() && engine.answering(); }
  bool linkReady() const override { return engine.ready(); }
  bool canSend(int count, const QString& label) const override {
    return engine.ready() && engine.queue().clientCanTake(label, count);
  }
  mqtt::SendResult sendCommand(const QByteArray& command, const QString& label, std::function<void()> onDropped) override {
    return toMqtt(engine.sendClient(command, label, std::move(onDropped)));
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

  static mqtt::SendResult toMqtt(SendResult r) {
    switch (r) {
      case SendResult::Accepted: return mqtt::SendResult::Accepted;
      case SendResult::Busy: return mqtt::SendResult::Busy;
      case SendResult::LinkClosed: return mqtt::SendResult::LinkClosed;
    }
    return mqtt::SendResult::LinkClosed;
  }

  SwitcherEngine& engine;
  mqtt::MqttBridge* bridge;
};

// ---- the web page ----

class Services::WebService final : public QObject, public web::WebHost {
 public:
  WebService(SwitcherEngine& engine, Services& owner) : QObject(&owner), engine(engine), server(new web::WebServer(*this, this)) {
    setObjectName(QStringLiteral("Web"));
    connect(&engine.routes(), &routing::RoutingTable::changed, server, &web::WebServer::routeChanged);
    connect(&engine, &SwitcherEngine::namesChanged, server, &web::WebServer::namesChanged);
    connect(&engine.presets(), &Presets::changed, server, &web::WebServer::presetsChanged);
    connect(&engine, &SwitcherEngine::stateChanged, server, &web::WebServer::linkChanged);
    connect(&engine, &SwitcherEngine::linkChanged, server, &web::WebServer::linkChanged);
    connect(&engine, &SwitcherEngine::identifyingChanged, server, &web::WebServer::linkChanged);
    connect(&engine, &SwitcherEngine::identifiedChanged, server, &web::WebServer::deviceChanged);
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
    return toWeb(engine.sendClient(command, label, std::move(onDropped)));
  }
  web::SendResult runPreset(const QString& id, const QString& label, std::function<void(int, int)> outcome) override {
    return toWeb(engine.runPreset(id, label, std::move(outcome)));
  }
  QString rename(names::Kind kind, int number, const QString& name) override {
    names::Names next = engine.names();
    const QString problem = next.set(kind, number, name);
    if (!problem.isEmpty()) return problem;
    QString why;
    return engine.setNames(next, &why) ? QString() : why;
  }
  QString saveRoutingPreset(std::function<void(const QString&)> kept) override {
    return engine.captureRouting(QStringLiteral("web"), std::move(kept));
  }

  static web::SendResult toWeb(SendResult r) {
    switch (r) {
      case SendResult::Accepted: return web::SendResult::Accepted;
      case SendResult::Busy: return web::SendResult::Busy;
      case SendResult::LinkClosed: return web::SendResult::LinkClosed;
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

// ---- starting and stopping ----

Services::Services(SwitcherEngine& engine) : QObject(&engine), engine(engine) { setObjectName(QStringLiteral("Services")); }

Services::~Services() { stop(); }

gateway::GatewayServer* Services::gateway() const { return gatewayService ? gatewayService->server : nullptr; }
gateway::PanelServer* Services::panel() const { return panelService ? panelService->server : nullptr; }
mqtt::MqttBridge* Services::mqtt() const { return mqttService ? mqttService->bridge : nullptr; }
web::WebServer* Services::web() const { return webService ? webService->server : nullptr; }

void Services::start(const ServiceRun& run, const QString& iniFile) {
  startGateway(run, iniFile);
  startPanel(run, iniFile);
  startMqtt(run, iniFile);
  startWeb(run, iniFile);
}

void Services::stop() {
  delete webService;
  webService = nullptr;
  delete mqttService;  // publishes "offline" on its way out
  mqttService = nullptr;
  delete panelService;
  panelService = nullptr;
  delete gatewayService;
  gatewayService = nullptr;
}

void Services::notStarted(const QString& name, const QString& error) {
  emit status(name, name + QStringLiteral(": not started"));
  emit failed(name, error);
}

template <typename Service, typename Sender, typename Signal>
void Services::showStatus(const QString& name, Service* service, Sender* sender, Signal signal) {
  auto show = [this, name, service] { emit status(name, service->statusText()); };
  connect(sender, signal, service, show);
  show();
}

void Services::startGateway(const ServiceRun& run, const QString& iniFile) {
  gateway::Settings settings = gateway::ReadSettings(iniFile);
  if (run.gatewayPort != 0) settings.port = run.gatewayPort;
  if (settings.port == 0) return;
  auto* service = new GatewayService(engine, *this);
  const QString error = service->server->start(settings);
  if (!error.isEmpty()) {
    delete service;
    return notStarted(QStringLiteral("Gateway"), error);
  }
  gatewayService = service;
  showStatus(QStringLiteral("Gateway"), service, service->server, &gateway::GatewayServer::clientCountChanged);
}

void Services::startPanel(const ServiceRun& run, const QString& iniFile) {
  gateway::Settings settings = gateway::ReadSettings(iniFile, gateway::kPanelSection);
  if (run.panelPort != 0) settings.port = run.panelPort;
  if (settings.port == 0) return;
  const gateway::PanelExtras extras = gateway::ReadPanelExtras(iniFile);
  QString error = !settings.problem.isEmpty() ? settings.problem : extras.problem;
  PanelService* service = nullptr;
  if (error.isEmpty()) {
    service = new PanelService(engine, *this, extras, gateway::PanelOptions{extras.signal, settings.readOnly});
    error = service->server->start(settings);
  }
  if (!error.isEmpty()) {
    delete service;
    return notStarted(QStringLiteral("Panel"), error);
  }
  panelService = service;
  showStatus(QStringLiteral("Panel"), service, &service->server->core(), &gateway::ServerCore::clientCountChanged);
}

void Services::startMqtt(const ServiceRun& run, const QString& iniFile) {
  // Off unless a host is given: nothing more of [MQTT] is read at a start without it.
  constexpr int kHostBuffer = 256;
  if (run.mqttHost.isEmpty() &&
      platform::GetPrivateProfileString("MQTT", "Host", "", kHostBuffer, iniFile).trimmed().isEmpty())
    return;
  mqtt::Settings settings = mqtt::ReadSettings(iniFile);
  if (!run.mqttHost.isEmpty()) {
    settings.host = run.mqttHost;
    if (run.mqttPort > 0) settings.port = run.mqttPort;
  }
  if (settings.host.isEmpty()) return;
  const QString problem = mqtt::Problem(settings);
  if (!problem.isEmpty()) {
    emit status(QStringLiteral("MQTT"), QStringLiteral("MQTT: not started (%1)").arg(problem));
    // A value that is not a boolean is said in a box, as [Gateway] and [Panel] do: a ReadOnly
    // or TLS that cannot be read must not pass unnoticed.
    if (!settings.problem.isEmpty()) emit failed(QStringLiteral("MQTT"), QStringLiteral("MQTT: %1.").arg(settings.problem));
    return;
  }
  mqttService = new MqttService(engine, *this, settings);
  connect(mqttService->bridge, &mqtt::MqttBridge::statusChanged, this,
          [this](const QString& t) { emit status(QStringLiteral("MQTT"), t); });
  mqttService->bridge->start();
}

}  // namespace engine

namespace engine {

void Services::startWeb(const ServiceRun& run, const QString& iniFile) {
  web::Settings settings = web::ReadSettings(iniFile);
  if (run.webPort != 0) settings.listen.port = run.webPort;
  if (settings.listen.port == 0) return;
  auto* service = new WebService(engine, *this);
  const QString error = service->server->start(settings);
  if (!error.isEmpty()) {
    delete service;
    return notStarted(QStringLiteral("Web"), error);
  }
  webService = service;
  showStatus(QStringLiteral("Web"), service, service->server, &web::WebServer::clientCountChanged);
}

}  // namespace engine
