// The MQTT bridge on the main window: its start from Switcher.ini, its line in the System
// memo, the routing table, names, code groups and link handed to it, and its commands sent
// as a remote client's (code groups' too): through ClientSend, paced, "[mqtt]" in the send
// list, no boxes.
#include "MqttLink.h"

#include <QAbstractItemModel>
#include <QPointer>
#include <QTimer>
#include <cstdio>

#include "ClientCommands.h"
#include "CodeTreeView.h"
#include "Ini.h"
#include "Memo.h"
#include "MqttBridge.h"
#include "Prompts.h"
#include "RoutingTable.h"
#include "RoutingView.h"
#include "ServiceStatus.h"
#include "SessionLogLink.h"
#include "SwitcherInfo.h"
#include "Transmission.h"
#include "Unit1.h"

namespace {

constexpr char kSwitcherIni[] = "Switcher.ini";
constexpr char kMqttObject[] = "Mqtt";
QString hostForRun;
int portForRun = 0;

class MqttLink final : public QObject, public mqtt::MqttHost {
 public:
  MqttLink(TMainForm& form, TRouting& routing, SwitcherInfo& switcher, const mqtt::Settings& s)
      : QObject(&form), form(form), routing(routing), switcher(switcher), bridge(new mqtt::MqttBridge(*this, s, this)) {
    setObjectName(kMqttObject);
  }

  bool linkUp() const override { return switcher.linkUp(); }
  bool linkReady() const override { return switcher.ready(); }

  mqtt::SendResult sendCommand(const QByteArray& command, const QString& label, std::function<void()> onDropped) override {
    switch (ClientSend(form, command, label, std::move(onDropped))) {
      case ClientSendResult::Accepted: return mqtt::SendResult::Accepted;
      case ClientSendResult::Busy: return mqtt::SendResult::Busy;
      case ClientSendResult::LinkClosed: return mqtt::SendResult::LinkClosed;
    }
    return mqtt::SendResult::LinkClosed;
  }

  routing::Route route(int output) const override { return routing.table().route(output); }
  QString name(names::Kind kind, int number) const override { return routing.names().name(kind, number); }

  QStringList groups() const override {
    QStringList out;
    for (CodeTreeItem* g : groupNodes()) out << QString::fromStdString(DisplayText(*g->record));
    return out;
  }

  // The items' codes as the tree's Execute sends them (depth first); the bridge sends them as
  // a client's, so the operator's run state and selection are never touched.
  std::vector<QByteArray> groupCodes(int index) const override {
    std::vector<QByteArray> codes;
    const std::vector<CodeTreeItem*> all = groupNodes();
    if (index >= 0 && size_t(index) < all.size()) collect(all[size_t(index)], codes);
    return codes;
  }

  mqtt::Info info() const override {
    mqtt::Info i;
    i.link = switcher.linkName();
    i.model = switcher.model();
    i.version = switcher.version();
    i.inputs = switcher.inputs();
    i.outputs = switcher.outputs();
    return i;
  }

  std::vector<CodeTreeItem*> groupNodes() const {
    std::vector<CodeTreeItem*> out;
    if (!form.RootNode) return out;
    for (int i = 0; i < form.RootNode->childCount(); ++i) {
      auto* item = TCodeTreeView::nodeOf(form.RootNode->child(i));
      if (item->record && item->record->type == TNode::kGroup) out.push_back(item);
    }
    return out;
  }

  static void collect(CodeTreeItem* node, std::vector<QByteArray>& codes) {
    for (int i = 0; i < node->childCount(); ++i) {
      auto* child = TCodeTreeView::nodeOf(node->child(i));
      if (!child->record) continue;
      if (child->record->type == TNode::kCode) codes.push_back(QByteArray::fromStdString(child->record->code));
      else collect(child, codes);
    }
  }

  TMainForm& form;
  TRouting& routing;
  SwitcherInfo& switcher;
  mqtt::MqttBridge* bridge;
};

}  // namespace

void SetMqttBrokerForRun(const QString& host, int port) {
  hostForRun = host;
  portForRun = port;
}

void TMainForm::SetupMqtt() {
  // Off unless a host is given: nothing more of [MQTT] is read at a start without it.
  if (hostForRun.isEmpty() && platform::GetPrivateProfileString("MQTT", "Host", "", 256, kSwitcherIni).trimmed().isEmpty()) return;
  mqtt::Settings settings = mqtt::ReadSettings(kSwitcherIni);
  if (!hostForRun.isEmpty()) {
    settings.host = hostForRun;
    if (portForRun > 0) settings.port = portForRun;
  }
  if (settings.host.isEmpty()) return;
  TRouting* routing = TRouting::of(*this);
  SwitcherInfo* switcher = SwitcherInfo::of(*this);
  if (!routing || !switcher) return;
  const QString problem = mqtt::Problem(settings);
  if (!problem.isEmpty()) {
    SetServiceStatus(*this, "MQTT", QStringLiteral("MQTT: not started (%1)").arg(problem));
    // A value that is not a boolean says so in a box, as [Gateway] and [Panel] do, once the
    // window is up: a ReadOnly or TLS the console cannot read must not pass unnoticed.
    if (!settings.problem.isEmpty())
      QTimer::singleShot(0, this, [this, text = settings.problem] {
        platform::showMessage(this, QStringLiteral("MQTT: %1.").arg(text), QStringLiteral("Error"), platform::Icon::Warning);
      });
    return;
  }
  auto* link = new MqttLink(*this, *routing, *switcher, settings);
  mqtt::MqttBridge* bridge = link->bridge;
  connect(bridge, &mqtt::MqttBridge::statusChanged, link, [this](const QString& t) { SetServiceStatus(*this, "MQTT", t); });
  connect(&routing->table(), &routing::RoutingTable::changed, bridge, &mqtt::MqttBridge::routeChanged);
  // Groups: any edit of the tree; the bridge publishes only what changed.
  QAbstractItemModel* tree = TreeView1->model();
  connect(tree, &QAbstractItemModel::rowsInserted, bridge, [bridge] { bridge->groupsChanged(); });
  connect(tree, &QAbstractItemModel::rowsRemoved, bridge, [bridge] { bridge->groupsChanged(); });
  connect(tree, &QAbstractItemModel::rowsMoved, bridge, [bridge] { bridge->groupsChanged(); });
  connect(tree, &QAbstractItemModel::dataChanged, bridge, [bridge] { bridge->groupsChanged(); });
  connect(tree, &QAbstractItemModel::modelReset, bridge, [bridge] { bridge->groupsChanged(); });
  connect(routing, &TRouting::namesChanged, bridge, &mqtt::MqttBridge::namesChanged);
  connect(switcher, &SwitcherInfo::linkChanged, bridge, [bridge] { bridge->linkChanged(); });
  connect(switcher, &SwitcherInfo::identifiedChanged, bridge, &mqtt::MqttBridge::infoChanged);
  bridge->start();
}
