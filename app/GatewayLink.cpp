// The gateway on the main window: its start from Switcher.ini, its status line under the System memo,
// clients' commands through SendCode with the client in the send list, and the switcher's
// bytes handed on from both links.
#include "GatewayLink.h"

#include <QPointer>
#include <QTimer>

#include "ClientCommands.h"
#include "Feedback.h"
#include "GatewayServer.h"
#include "Memo.h"
#include "Prompts.h"
#include "ServiceStatus.h"
#include "Unit1.h"

namespace {

constexpr char kSwitcherIni[] = "Switcher.ini";
// The gateway's line under the System memo.
constexpr char kService[] = "Gateway";
constexpr char kGatewayObject[] = "Gateway";

int portForRun = 0;

class GatewayLink final : public QObject, public gateway::GatewayHost {
 public:
  explicit GatewayLink(TMainForm& form) : QObject(&form), form(form), server(new gateway::GatewayServer(*this, this)) {
    setObjectName(kGatewayObject);
  }

  bool linkReady() const override { return ClientLinkReady(form); }

  // ReplyTarget is left as it is: the console's own exchange keeps its replies.
  void sendCommand(const QByteArray& command, const QString& label) override {
    const QPointer<gateway::GatewayServer> to(server);
    const auto result = ClientSend(form, command, label, [to, label] {
      if (to) to->tell(label, gateway::kLinkClosedLine);
    });
    if (result == ClientSendResult::Busy) server->tell(label, gateway::kBusyLine);
    if (result == ClientSendResult::LinkClosed) server->tell(label, gateway::kLinkClosedLine);
  }

  bool waiting(const QString& label) const override { return ClientCommandsWaiting(form, label) > 0; }

  void showState() {
    const int n = server->clientCount();
    SetServiceStatus(form, kService, QStringLiteral("Gateway: listening on %1, %2 client%3")
                                         .arg(server->listenText())
                                         .arg(n)
                                         .arg(n == 1 ? "" : "s"));
  }

  TMainForm& form;
  gateway::GatewayServer* server;
  int dialogOutput = 0;
};

// The running gateway of this window; null when it is off. Looked up once per byte on the
// serial path, so it is kept rather than searched for.
QPointer<GatewayLink> running;

GatewayLink* gatewayOf(TMainForm& form) {
  return running && &running->form == &form ? running.data() : nullptr;
}

}  // namespace

void SetGatewayPortForRun(int port) { portForRun = port; }

void TMainForm::SetupGateway() {
  gateway::Settings settings = gateway::ReadSettings(kSwitcherIni);
  if (portForRun != 0) settings.port = portForRun;
  if (settings.port == 0) return;
  auto* link = new GatewayLink(*this);
  const QString error = link->server->start(settings);
  if (!error.isEmpty()) {
    delete link;
    SetServiceStatus(*this, kService, QStringLiteral("Gateway: not started"));
    // Once the window is up; the console runs on without the gateway.
    QTimer::singleShot(0, this, [this, error] {
      platform::showMessage(this, error, QStringLiteral("Error"), platform::Icon::Warning);
    });
    return;
  }
  running = link;
  link->showState();
  connect(link->server, &gateway::GatewayServer::clientCountChanged, link, [link] { link->showState(); });
}

void GatewaySwitcherBytes(TMainForm& form, const char* data, int size) {
  if (GatewayLink* g = gatewayOf(form)) g->server->switcherBytes(data, size);
}

void GatewayDialogOpens(TMainForm& form, int output) {
  if (GatewayLink* g = gatewayOf(form)) g->dialogOutput = output;
}

bool GatewayLineFillsDialog(TMainForm& form, const feedback::Line& line) {
  // The reply to the dialog's own query names its output; anything else may be a client's.
  const GatewayLink* g = gatewayOf(form);
  return !g || (line.kind != feedback::Kind::Other && line.output == g->dialogOutput);
}
