// The window's link handed to the engine, and the engine's services shown on the window.
#include "EngineFrontEnd.h"

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>
#include <QTcpSocket>
#include <QTimer>

#include "CodeTreeView.h"
#include "Com.h"
#include "Feedback.h"
#include "GatewayServer.h"
#include "Ini.h"
#include "Memo.h"
#include "Prompts.h"
#include "RoutingSnapshot.h"
#include "RoutingView.h"
#include "ServiceStatus.h"
#include "Services.h"
#include "SessionLogLink.h"
#include "SwitcherEngine.h"
#include "SwitcherLink.h"
#include "Unit1.h"
#include "ValidateIp.h"

namespace {

constexpr char kSwitcherIni[] = "Switcher.ini";

engine::ServiceRun runOverrides;
QPointer<engine::SwitcherEngine> current;  // one window per process
int dialogOutput = 0;

// The window's link, as its handlers keep it: clients' commands are written to the COM
// port's own queue (never blocking the window) or to the socket.
class WindowLink final : public engine::SwitcherLink {
 public:
  explicit WindowLink(TMainForm& form) : SwitcherLink(&form), form(form) {}
  bool isUp() const override { return form.tcpMode() ? form.socketActive() : form.serialOpen(); }
  QString name() const override {
    if (form.tcpMode()) return QStringLiteral("TCP %1:%2").arg(CanonicalIp(form.Edit6->text())).arg(form.tcpPort());
    return QStringLiteral("COM%1 %2").arg(form.OpenPort).arg(platform::comDevicePath(form.OpenPort));
  }
  void write(const QByteArray& command, Written done) override {
    if (!isUp()) {
      if (done) done(false);
      return;
    }
    if (!form.tcpMode() && form.SerialPort) {
      form.SerialPort->Queue(command, std::move(done));
      return;
    }
    form.socketSend(command);
    if (done) done(true);
  }

 private:
  TMainForm& form;
};

// The root's groups as the tree shows them, with their code items' commands.
QList<engine::Preset> presetsOfTree(const TMainForm& form) {
  QList<engine::Preset> out;
  if (!form.RootNode) return out;
  for (int i = 0; i < form.RootNode->childCount(); ++i) {
    auto* group = TCodeTreeView::nodeOf(form.RootNode->child(i));
    if (!group->record || group->record->type != TNode::kGroup) continue;
    engine::Preset p;
    p.name = QString::fromStdString(DisplayText(*group->record));
    for (int k = 0; k < group->childCount(); ++k) {
      auto* item = TCodeTreeView::nodeOf(group->child(k));
      if (item->record && !item->record->code.empty()) p.codes.append(QByteArray::fromStdString(item->record->code));
    }
    out.append(p);
  }
  return out;
}

}  // namespace

engine::SwitcherEngine* EngineOf(const TMainForm& form) {
  return current && current->parent() == &form ? current.data() : nullptr;
}

void SetGatewayPortForRun(int port) { runOverrides.gatewayPort = port; }
void SetPanelPortForRun(int port) { runOverrides.panelPort = port; }
void SetWebPortForRun(int port) { runOverrides.webPort = port; }
void SetSwp08PortForRun(int port) { runOverrides.swp08Port = port; }
void SetEmberPortForRun(int port) { runOverrides.emberPort = port; }
void SetMqttBrokerForRun(const QString& host, int port) {
  runOverrides.mqttHost = host;
  runOverrides.mqttPort = port;
}

void TMainForm::SetupEngine() {
  auto* e = new engine::SwitcherEngine(this);
  current = e;
  e->setLink(new WindowLink(*this), engine::LinkOwner::FrontEnd);
  e->queue().setPace(platform::GetPrivateProfileInt("Link", "Pace", 0, kSwitcherIni));
  // The socket's events and a change of mode; the COM port's open, close and loss come
  // through LogComLink.
  connect(ClientSocket1, &QAbstractSocket::stateChanged, e, &engine::SwitcherEngine::linkEvent);
  connect(RadioButton1, &QAbstractButton::toggled, e, &engine::SwitcherEngine::linkEvent);
  // A client's command in the send list and the session log, with its client named.
  connect(&e->queue(), &engine::CommandQueue::clientSent, this, [this](const QByteArray& command, const QString& label) {
    appendSendLog(command + "   [" + label.toLatin1() + "]");
  });
}

void TMainForm::SetupServices() {
  engine::SwitcherEngine* e = EngineOf(*this);
  // The tree's groups are the presets, as MQTT and the web page show them: read again once the
  // edits of this turn are done (a tree being rebuilt has no root for a moment, and a file's
  // load is one change, not one per node).
  auto* treeChanged = new QTimer(e);
  treeChanged->setSingleShot(true);
  treeChanged->setInterval(0);
  connect(treeChanged, &QTimer::timeout, e, [this, e] { e->presets().set(presetsOfTree(*this)); });
  QAbstractItemModel* tree = TreeView1->model();
  auto later = [treeChanged] { treeChanged->start(); };
  connect(tree, &QAbstractItemModel::rowsInserted, treeChanged, later);
  connect(tree, &QAbstractItemModel::rowsRemoved, treeChanged, later);
  connect(tree, &QAbstractItemModel::rowsMoved, treeChanged, later);
  connect(tree, &QAbstractItemModel::dataChanged, treeChanged, later);
  connect(tree, &QAbstractItemModel::modelReset, treeChanged, later);
  e->presets().set(presetsOfTree(*this));

  engine::Services& services = e->services();
  connect(&services, &engine::Services::status, this,
          [this](const QString& service, const QString& text) { SetServiceStatus(*this, service, text); });
  connect(&services, &engine::Services::failed, this, [this](const QString&, const QString& error) {
    // Once the window is up; the console runs on without the service.
    QTimer::singleShot(0, this, [this, error] {
      platform::showMessage(this, error, QStringLiteral("Error"), platform::Icon::Warning);
    });
  });
  // The identification rewrites the System memo from its switcher line on.
  connect(this, &TMainForm::identificationFinished, e, [this] {
    for (const char* service : {"Gateway", "Panel", "MQTT", "Web", "SW-P-08", "Ember+"}) {
      const QString text = ServiceStatus(*this, QLatin1String(service));
      if (!text.isEmpty()) SetServiceStatus(*this, QLatin1String(service), text);
    }
  });
  // A remote client's routing capture joins the tree as the operator's own would, without
  // taking the operator to the Code Group tab.
  e->setPresetKeeper([this](const routing::Snapshot& snap) {
    if (!AppendSnapshotGroup(*this, snap)) return QStringLiteral("the code tree is being replaced");
    CodeTreeChanged = 1;
    return QString();
  });
  services.start(runOverrides, kSwitcherIni);
}

void GatewaySwitcherBytes(TMainForm& form, const char* data, int size) {
  if (engine::SwitcherEngine* e = EngineOf(form)) e->switcherBytes(data, size);
}

void GatewayDialogOpens(TMainForm&, int output) { dialogOutput = output; }

bool GatewayLineFillsDialog(TMainForm& form, const feedback::Line& line) {
  // The reply to the dialog's own query names its output; anything else may be a client's.
  const engine::SwitcherEngine* e = EngineOf(form);
  if (!e || !e->services().gateway()) return true;
  return line.kind != feedback::Kind::Other && line.output == dialogOutput;
}

void SerialLinkFailing(TMainForm& form) {
  engine::SwitcherEngine* e = EngineOf(form);
  if (!e || !form.SerialPort || !form.SerialPort->DeviceFailed()) return;
  StopPacedRun(form, QStringLiteral("the link was lost"));
  // What waits in the port's own queue will not go either.
  form.SerialPort->DropQueued();
  e->linkFailing(QStringLiteral("COM%1 %2 went away").arg(form.OpenPort).arg(platform::comDevicePath(form.OpenPort)));
}
