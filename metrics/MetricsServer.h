#pragma once
// Health and metrics for a monitoring system over QtHttpServer, on a port of its own:
// GET /healthz (the event loop runs), GET /readyz (the owner is ready, else 503 and why not)
// and GET /metrics (the owner's exposition). Admission is the web page's listener's (Bind,
// Allow, loopback only unless Allow).

#include "GatewaySettings.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

namespace web {
class Listener;
}

namespace metrics {

class MetricsFront;

// What the server asks its owner.
class MetricsHost {
 public:
  virtual ~MetricsHost() = default;
  // Empty when ready, else why not (a short line of text).
  virtual QString notReady() const = 0;
  // The whole exposition, in the text format.
  virtual QByteArray exposition() const = 0;
};

// Connections held at once, and by one peer address: scrapers and a probe or two.
constexpr int kMaxConnections = 16;
constexpr int kMaxPerPeer = 8;

class MetricsServer : public QObject {
  Q_OBJECT
 public:
  explicit MetricsServer(MetricsHost& host, QObject* parent = nullptr);
  ~MetricsServer() override;

  // Listens as settings say; empty on success, else why not, beginning "Metrics: ".
  QString start(const gateway::Settings& settings);
  void stop();
  bool isListening() const;
  quint16 port() const;
  QString listenText() const;

 private:
  friend class MetricsFront;
  MetricsHost& host;
  QPointer<web::Listener> listener;  // QtHttpServer takes it as its child
  MetricsFront* http = nullptr;
};

}  // namespace metrics
