// The MQTT bridge on the main window: its start from Switcher.ini, its line in the System
// memo, the routing table, names, code groups and link handed to it, and its commands sent
// as a remote client's: through SendCode, paced, "[mqtt]" in the send list, no boxes.
#include "MqttLink.h"

#include <QAbstractItemModel>
#include <QPointer>
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

  // As the tree's Execute runs it (Button12Click), with the group in place of the selection;
  // the operator's current node is left as it was.
  mqtt::SendResult executeGroup(const QString& name) override {
    CodeTreeItem* group = findGroup(name);
    if (!group) return mqtt::SendResult::UnknownGroup;
    if (PacedBacklog(form) >= kClientWaitingEach) return mqtt::SendResult::Busy;
    CodeTreeItem* previous = form.CurrentNode;
    form.CurrentNode = group;
    form.Busy = 1;
    {
      QuietPrompts quiet;
      group->record->Execute(*form.CodeHost);
    }
    if (PacedBacklog(form) == 0) form.Busy = 0;
    form.CurrentNode = previous;
    return mqtt::SendResult::Accepted;
  }

  routing::Route route(int output) const override { return routing.table().route(output); }
  QString name(names::Kind kind, int number) const override { return routing.names().name(kind, number); }

  QStringList groups() const override {
    QStringList out;
    if (!form.RootNode) return out;
    for (int i = 0; i < form.RootNode->childCount(); ++i) {
      auto* item = TCodeTreeView::nodeOf(form.RootNode->child(i));
      if (item->record && item->record->type == TNode::kGroup) out << QString::fromStdString(DisplayText(*item->record));
    }
    return out;
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

  CodeTreeItem* findGroup(const QString& name) const {
    if (!form.RootNode) return nullptr;
    for (int i = 0; i < form.RootNode->childCount(); ++i) {
      auto* item = TCodeTreeView::nodeOf(form.RootNode->child(i));
      if (item->record && item->record->type == TNode::kGroup &&
          QString::fromStdString(DisplayText(*item->record)) == name)
        return item;
    }
    return nullptr;
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
