#pragma once
// The services that share the switcher held by the engine: the gateway (its own command
// language), router panels and the MQTT bridge, each started from its section of
// Switcher.ini (or a port given for one run) and serving the engine's state, with no window.

#include <QObject>
#include <QString>

namespace gateway {
class GatewayServer;
class PanelServer;
}
namespace mqtt {
class MqttBridge;
}
namespace web {
class WebServer;
}
namespace swp08 {
class Swp08Server;
}
namespace ember {
class EmberServer;
}
namespace metrics {
class MetricsServer;
}

namespace engine {

class SwitcherEngine;

// Ports and hosts given on the command line for one run; 0 or empty: Switcher.ini's.
struct ServiceRun {
  int gatewayPort = 0;
  int panelPort = 0;
  QString mqttHost;
  int mqttPort = 0;
  int webPort = 0;
  int swp08Port = 0;
  int emberPort = 0;
  // The bridge's name ([Bridge] Name, else its instance's or the host's), shown by the web page
  // so that two bridges' pages are told apart; empty (the console): none shown.
  QString name;
};

class GatewayService;
class PanelService;
class MqttService;
class WebService;
class Swp08Service;
class EmberService;
class MetricsService;

class Services : public QObject {
  Q_OBJECT
 public:
  explicit Services(SwitcherEngine& engine);
  ~Services() override;

  // Starts every service its settings turn on. A service that cannot start is reported by
  // failed() (once, with the reason) and the others start all the same.
  void start(const ServiceRun& run, const QString& iniFile = QStringLiteral("Switcher.ini"));
  // Closes every client, stops listening, and says goodbye on the broker.
  void stop();

  gateway::GatewayServer* gateway() const;
  gateway::PanelServer* panel() const;
  mqtt::MqttBridge* mqtt() const;
  web::WebServer* web() const;
  swp08::Swp08Server* swp08() const;
  ember::EmberServer* ember() const;
  metrics::MetricsServer* metrics() const;

 signals:
  // "Gateway: listening on 127.0.0.1:7000, 2 clients": one line per service, for a status
  // line or the journal. service: "Gateway", "Panel", "MQTT", "Web",
  // "SW-P-08", "Ember+", "Metrics".
  void status(const QString& service, const QString& text);
  void failed(const QString& service, const QString& error);

 private:
  void startGateway(const ServiceRun& run, const QString& iniFile);
  void startPanel(const ServiceRun& run, const QString& iniFile);
  void startMqtt(const ServiceRun& run, const QString& iniFile);
  void startWeb(const ServiceRun& run, const QString& iniFile);
  void startSwp08(const ServiceRun& run, const QString& iniFile);
  void startEmber(const ServiceRun& run, const QString& iniFile);
  void startMetrics(const QString& iniFile);
  // A listener that could not start: one status line and one report.
  void notStarted(const QString& name, const QString& error);
  // The service's status line now, and again whenever its client count changes.
  template <typename Service, typename Sender, typename Signal>
  void showStatus(const QString& name, Service* service, Sender* sender, Signal signal);

  SwitcherEngine& engine;
  GatewayService* gatewayService = nullptr;
  PanelService* panelService = nullptr;
  MqttService* mqttService = nullptr;
  WebService* webService = nullptr;
  Swp08Service* swp08Service = nullptr;
  EmberService* emberService = nullptr;
  MetricsService* metricsService = nullptr;
};

}  // namespace engine
