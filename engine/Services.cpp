// Starts and stops the services over the engine from the settings; each protocol's adapter
// is a file of its own in services/.
#include "Services.h"

#include <QHostInfo>
#include <QPointer>

#include <memory>
#include <utility>

#include "GatewayServer.h"
#include "services/GatewayService.h"
#include "services/MqttService.h"
#include "services/PanelService.h"
#include "services/EmberService.h"
#include "services/MetricsService.h"
#include "services/Swp08Service.h"
#include "services/WebService.h"
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





// ---- starting and stopping ----

Services::Services(SwitcherEngine& engine) : QObject(&engine), engine(engine) { setObjectName(QStringLiteral("Services")); }

Services::~Services() { stop(); }

gateway::GatewayServer* Services::gateway() const { return gatewayService ? gatewayService->server : nullptr; }
gateway::PanelServer* Services::panel() const { return panelService ? panelService->server : nullptr; }
mqtt::MqttBridge* Services::mqtt() const { return mqttService ? mqttService->bridge : nullptr; }
web::WebServer* Services::web() const { return webService ? webService->server : nullptr; }
swp08::Swp08Server* Services::swp08() const { return swp08Service ? swp08Service->server : nullptr; }
ember::EmberServer* Services::ember() const { return emberService ? emberService->server : nullptr; }
metrics::MetricsServer* Services::metrics() const { return metricsService ? metricsService->server : nullptr; }

void Services::start(const ServiceRun& run, const QString& iniFile) {
  startGateway(run, iniFile);
  startPanel(run, iniFile);
  startMqtt(run, iniFile);
  startWeb(run, iniFile);
  startSwp08(run, iniFile);
  startEmber(run, iniFile);
  startMetrics(iniFile);
}

void Services::stop() {
  delete metricsService;
  metricsService = nullptr;
  delete emberService;
  emberService = nullptr;
  delete swp08Service;
  swp08Service = nullptr;
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
  service->server->setName(run.name);
  const QString error = service->server->start(settings);
  if (!error.isEmpty()) {
    delete service;
    return notStarted(QStringLiteral("Web"), error);
  }
  webService = service;
  showStatus(QStringLiteral("Web"), service, service->server, &web::WebServer::clientCountChanged);
}

}  // namespace engine

namespace engine {

void Services::startSwp08(const ServiceRun& run, const QString& iniFile) {
  gateway::Settings settings = swp08::ReadServerSettings(iniFile);
  if (run.swp08Port != 0) settings.port = run.swp08Port;
  const swp08::Extras extras = swp08::ReadExtras(iniFile);
  if (settings.port == 0 && extras.device.isEmpty()) return;
  const QString name = QStringLiteral("SW-P-08");
  QString error = !settings.problem.isEmpty() ? settings.problem : extras.problem;
  Swp08Service* service = nullptr;
  if (error.isEmpty()) {
    service = new Swp08Service(engine, *this, swp08::Options{extras.matrix, settings.readOnly});
    error = service->server->start(settings, extras.device, extras.baud);
  }
  if (!error.isEmpty()) {
    delete service;
    return notStarted(name, error);
  }
  swp08Service = service;
  showStatus(name, service, service->server, &swp08::Swp08Server::clientCountChanged);
}

}  // namespace engine

namespace engine {

void Services::startEmber(const ServiceRun& run, const QString& iniFile) {
  gateway::Settings settings = ember::ReadServerSettings(iniFile);
  if (run.emberPort != 0) settings.port = run.emberPort;
  if (settings.port == 0) return;
  const QString name = QStringLiteral("Ember+");
  QString error = settings.problem;
  EmberService* service = nullptr;
  if (error.isEmpty()) {
    service = new EmberService(engine, *this, ember::Options{settings.readOnly});
    error = service->server->start(settings);
  }
  if (!error.isEmpty()) {
    delete service;
    return notStarted(name, error);
  }
  emberService = service;
  showStatus(name, service, service->server, &ember::EmberServer::clientCountChanged);
}

}  // namespace engine

namespace engine {

void Services::startMetrics(const QString& iniFile) {
  const gateway::Settings settings = gateway::ReadSettings(iniFile, "Metrics");
  if (settings.port == 0) return;
  const QString name = QStringLiteral("Metrics");
  auto* service = new MetricsService(engine, *this);
  const QString error = service->server->start(settings);
  if (!error.isEmpty()) {
    delete service;
    return notStarted(name, error);
  }
  metricsService = service;
  emit status(name, service->statusText());
}

}  // namespace engine
