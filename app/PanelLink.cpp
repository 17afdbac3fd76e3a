// Router panels on the main window: the start from Switcher.ini [Panel], the status line,
// clients' routes through the one path for remote commands, and the routing table, names
// and link state handed to the panel protocol as they change.
#include "PanelLink.h"

#include <QHostInfo>
#include <QTimer>

#include <memory>
#include <utility>

#include "ClientCommands.h"
#include "Ini.h"
#include "Memo.h"
#include "PanelServer.h"
#include "Prompts.h"
#include "RoutingTable.h"
#include "RoutingView.h"
#include "ServerCore.h"
#include "ServiceStatus.h"
#include "SwitcherInfo.h"
#include "Unit1.h"

namespace {

constexpr char kSwitcherIni[] = "Switcher.ini";
constexpr char kPanelObject[] = "Panel";
constexpr char kService[] = "Panel";

int portForRun = 0;

class PanelLink final : public QObject, public gateway::PanelHost {
 public:
  PanelLink(TMainForm& form, const gateway::PanelExtras& extras, const gateway::PanelOptions& options)
      : QObject(&form),
        form(form),
        extras(extras),
        uniqueId(gateway::PanelUniqueId(platform::configDir(), gateway::MachineId())),
        server(new gateway::PanelServer(*this, options, this)) {
    setObjectName(kPanelObject);
  }

  gateway::PanelDevice device() const override {
    const SwitcherInfo* info = SwitcherInfo::of(form);
    gateway::PanelDevice d;
    d.present = info->ready() && info->identified();
    d.model = info->model();
    d.friendlyName = extras.friendlyName.isEmpty() ? QHostInfo::localHostName() : extras.friendlyName;
    d.uniqueId = uniqueId;
    d.inputs = extras.inputs > 0 ? extras.inputs : info->inputs();
    d.outputs = extras.outputs > 0 ? extras.outputs : info->outputs();
    return d;
  }
  routing::Route route(int output) const override { return TRouting::of(form)->table().route(output); }
  const names::Names& names() const override { return TRouting::of(form)->names(); }
  bool setNames(const names::Names& next) override {
    // A panel's rename that cannot be written is the panel's NAK, not a box on the console.
    QuietPrompts quiet;
    return TRouting::of(form)->setNames(next);
  }
  bool canSend(int count, const QString& label) const override { return ClientCanTake(form, label, count); }
  bool send(const QByteArray& command, const QString& label, std::function<void(bool)> done) override {
    // Each of the two is called at most once, and never both.
    auto once = std::make_shared<std::function<void(bool)>>(std::move(done));
    const auto finish = [once](bool written) {
      if (*once) std::exchange(*once, {})(written);
    };
    const ClientSendResult result =
        ClientSend(form, command, label, [finish] { finish(false); }, [finish] { finish(true); });
    return result == ClientSendResult::Accepted;
  }

  void showState() {
    const int n = server->core().clientCount();
    SetServiceStatus(form, kService,
                     QStringLiteral("Panel: listening on %1, %2 client%3")
                         .arg(server->core().listenText())
                         .arg(n)
                         .arg(n == 1 ? "" : "s"));
  }

  void wire() {
    gateway::PanelProtocol* protocol = &server->protocol();
    TRouting* routing = TRouting::of(form);
    connect(&routing->table(), &routing::RoutingTable::changed, protocol, &gateway::PanelProtocol::routeChanged);
    connect(routing, &TRouting::namesChanged, protocol, &gateway::PanelProtocol::namesChanged);
    const SwitcherInfo* info = SwitcherInfo::of(form);
    connect(info, &SwitcherInfo::linkChanged, protocol, &gateway::PanelProtocol::deviceChanged);
    connect(info, &SwitcherInfo::identifyingChanged, protocol, &gateway::PanelProtocol::deviceChanged);
    connect(info, &SwitcherInfo::identifiedChanged, protocol, &gateway::PanelProtocol::deviceChanged);
    connect(&server->core(), &gateway::ServerCore::clientCountChanged, this, [this] { showState(); });
    // The identification rewrites the System memo from its switcher line on.
    connect(&form, &TMainForm::identificationFinished, this, [this] { showState(); });
  }

  TMainForm& form;
  const gateway::PanelExtras extras;
  const QString uniqueId;
  gateway::PanelServer* server;
};


}  // namespace

void SetPanelPortForRun(int port) { portForRun = port; }

void TMainForm::SetupPanel() {
  gateway::Settings settings = gateway::ReadSettings(kSwitcherIni, gateway::kPanelSection);
  if (portForRun != 0) settings.port = portForRun;
  if (settings.port == 0) return;
  const gateway::PanelExtras extras = gateway::ReadPanelExtras(kSwitcherIni);
  QString error = !settings.problem.isEmpty() ? settings.problem : extras.problem;
  PanelLink* link = nullptr;
  if (error.isEmpty()) {
    link = new PanelLink(*this, extras, gateway::PanelOptions{extras.signal, settings.readOnly});
    error = link->server->start(settings);
  }
  if (!error.isEmpty()) {
    delete link;
    SetServiceStatus(*this, kService, QStringLiteral("Panel: not started"));
    // Once the window is up; the console runs on without the panel.
    QTimer::singleShot(0, this, [this, error] {
      platform::showMessage(this, error, QStringLiteral("Error"), platform::Icon::Warning);
    });
    return;
  }
  link->wire();
  link->showState();
}
