#pragma once
// The router panel protocol on the console's server core: one PanelProtocol shared by every
// client, a block parser per client. Admission, limits and the slow-reader rule are the
// core's, as for the gateway. Also [Panel]'s own keys. QtCore and QtNetwork only.

#include <QObject>
#include <QString>

#include "GatewaySettings.h"
#include "PanelProtocol.h"

namespace gateway {

class ServerCore;

constexpr char kPanelSection[] = "Panel";

// [Panel] keys beyond the server core's.
struct PanelExtras {
  char signal = 'B';      // Signal=B (video and audio) or V (video only)
  int inputs = 0;         // Inputs=, Outputs=: 0 = from the identification
  int outputs = 0;
  QString friendlyName;   // Name=; empty = the host name
  QString problem;        // why a key could not be taken, for the start-up box
};
PanelExtras ReadPanelExtras(const QString& fileName = QStringLiteral("Switcher.ini"));

class PanelServer : public QObject {
  Q_OBJECT
 public:
  PanelServer(PanelHost& host, PanelOptions options, QObject* parent = nullptr);
  ~PanelServer() override;

  // As ServerCore::start, messages beginning "Panel: ".
  QString start(const Settings& settings);
  void stop();
  ServerCore& core() const { return *serverCore; }
  PanelProtocol& protocol() const { return *panel; }

 private:
  PanelProtocol* panel;
  ServerCore* serverCore;
  quint64 nextId = 1;
};

}  // namespace gateway
