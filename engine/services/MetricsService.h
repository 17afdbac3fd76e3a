#pragma once
// Health and metrics over the engine, for a monitoring system: readiness from the link and
// the identification, and the engine's counts in the Prometheus text format.

#include "EmberServer.h"
#include "Exposition.h"
#include "GatewayServer.h"
#include "MetricsServer.h"
#include "PanelServer.h"
#include "Services.h"
#include "SwitcherEngine.h"
#include "Swp08Server.h"
#include "WebServer.h"

#include <QObject>

namespace engine {

class MetricsService final : public QObject, public metrics::MetricsHost {
 public:
  MetricsService(SwitcherEngine& engine, Services& owner)
      : QObject(&owner), engine(engine), services(owner), server(new metrics::MetricsServer(*this, this)) {
    setObjectName(QStringLiteral("Metrics"));
    startedAt = metrics::StartTimeSeconds();
  }

  QString notReady() const override {
    if (!engine.linkUp()) {
      const QString why = engine.reason();
      return QStringLiteral("link %1").arg(LinkStateWord(engine.state())) + (why.isEmpty() ? QString() : QStringLiteral(": ") + why);
    }
    if (!engine.answering()) return QStringLiteral("no switcher answers");
    if (engine.identifying()) return QStringLiteral("identifying the switcher");
    if (!engine.identified()) return QStringLiteral("switcher not identified");
    if (!engine.routingKnown()) return QStringLiteral("routing not known yet");
    return {};
  }

  QByteArray exposition() const override {
    using metrics::Labels;
    const EngineCounts& n = engine.counts();
    metrics::Exposition e;
    e.family("switcher_link_up", "Whether the link to the switcher is up.", "gauge");
    e.sample("switcher_link_up", engine.linkUp() ? 1 : 0);
    e.family("switcher_link_state", "The link's state: 1 for the state it is in.", "gauge");
    for (LinkState s : {LinkState::Down, LinkState::Opening, LinkState::Identifying, LinkState::Ready, LinkState::Lost})
      e.sample("switcher_link_state", engine.state() == s ? 1 : 0, Labels{{"state", LinkStateWord(s)}});
    e.family("switcher_link_losses_total", "Times the link to the switcher was lost.", "counter");
    e.sample("switcher_link_losses_total", double(n.linkLosses));
    e.family("switcher_identified_info", "The switcher's model and version as it reports them.", "gauge");
    if (engine.identified())
      e.sample("switcher_identified_info", 1, Labels{{"model", engine.model()}, {"version", engine.version()}});
    e.family("switcher_commands_total", "Clients' commands accepted, by the service they came through.", "counter");
    for (int o = 0; o < kOrigins; ++o)
      e.sample("switcher_commands_total", double(n.commands[o]), Labels{{"origin", QLatin1String(OriginWord(Origin(o)))}});
    e.family("switcher_commands_refused_total", "Clients' commands refused, by service and reason.", "counter");
    for (int o = 0; o < kOrigins; ++o)
      for (int r = 0; r < kRefusals; ++r)
        e.sample("switcher_commands_refused_total", double(n.refused[o][r]),
                 Labels{{"origin", QLatin1String(OriginWord(Origin(o)))}, {"reason", QLatin1String(RefusalWord(Refusal(r)))}});
    e.family("switcher_queue_depth", "Clients' commands waiting to be written to the switcher.", "gauge");
    e.sample("switcher_queue_depth", engine.queue().clientsWaiting());
    e.family("switcher_command_latency_seconds", "From a client's route written to the switcher's report of that output.",
             "histogram");
    e.histogram("switcher_command_latency_seconds", n.latency);
    e.family("switcher_lines_received_total", "Lines received from the switcher.", "counter");
    e.sample("switcher_lines_received_total", double(n.linesReceived));
    e.family("bridge_clients", "Clients connected, by service.", "gauge");
    const auto clients = [&e](const char* service, int count) {
      e.sample("bridge_clients", count, Labels{{"service", QLatin1String(service)}});
    };
    if (auto* s = services.gateway()) clients("gateway", s->clientCount());
    if (auto* s = services.panel()) clients("panel", s->core().clientCount());
    if (auto* s = services.swp08()) clients("swp08", s->clientCount());
    if (auto* s = services.ember()) clients("ember", s->clientCount());
    if (auto* s = services.web()) clients("web", s->clientCount());
    e.family("bridge_client_rejections_total", "Connections closed unread, by service and reason.", "counter");
    const auto rejections = [&e](const char* service, const gateway::ServerCore& core) {
      e.sample("bridge_client_rejections_total", double(core.rejections().address),
               Labels{{"service", QLatin1String(service)}, {"reason", QStringLiteral("address")}});
      e.sample("bridge_client_rejections_total", double(core.rejections().full),
               Labels{{"service", QLatin1String(service)}, {"reason", QStringLiteral("full")}});
    };
    if (auto* s = services.gateway()) rejections("gateway", s->serverCore());
    if (auto* s = services.panel()) rejections("panel", s->core());
    if (auto* s = services.swp08()) rejections("swp08", s->core());
    if (auto* s = services.ember()) rejections("ember", s->core());
    e.family("process_resident_memory_bytes", "Resident memory size in bytes.", "gauge");
    e.sample("process_resident_memory_bytes", metrics::ResidentBytes());
    e.family("process_start_time_seconds", "Start time of the process since the epoch in seconds.", "gauge");
    e.sample("process_start_time_seconds", startedAt);
    return e.text();
  }

  QString statusText() const { return QStringLiteral("Metrics: http://%1/metrics").arg(server->listenText()); }

  SwitcherEngine& engine;
  Services& services;
  metrics::MetricsServer* server;
  double startedAt = 0;
};

}  // namespace engine
