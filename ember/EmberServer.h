#pragma once
// Ember+ on the console's server core (admission, limits and slow readers as for the gateway),
// and the [Ember] section's keys. QtCore and QtNetwork only.

#include <QObject>
#include <QString>

#include "EmberProvider.h"
#include "GatewaySettings.h"

namespace gateway {
class ServerCore;
}

namespace ember {

constexpr char kSection[] = "Ember";
constexpr int kDefaultPort = 9000;  // the convention; off unless set
constexpr int kDefaultMaxClients = 8;

// The core's settings of [Ember]: MaxClients defaults to 8 here.
gateway::Settings ReadServerSettings(const QString& fileName = QStringLiteral("Switcher.ini"));

class EmberServer : public QObject {
  Q_OBJECT
 public:
  EmberServer(EmberHost& host, Options options, QObject* parent = nullptr);
  ~EmberServer() override;

  // As ServerCore::start, messages beginning "Ember+: ".
  QString start(const gateway::Settings& settings);
  void stop();
  gateway::ServerCore& core() const { return *serverCore; }
  EmberProvider& provider() const { return *tree; }
  QString listenText() const;
  int clientCount() const;

 signals:
  void clientCountChanged(int count);

 private:
  EmberProvider* tree;
  gateway::ServerCore* serverCore;
  quint64 nextId = 1;
};

}  // namespace ember
