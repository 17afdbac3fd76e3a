// Router panels on the main window: the start from Switcher.ini [Panel], the status line,
// clients' routes through the one path for remote commands, and the routing table, names
// and link state handed to the panel protocol as they change.
#include "PanelLink.h"

#include <QHostInfo>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>
#include <functional>

#include "Ini.h"
#include "Memo.h"
#include "PanelServer.h"
#include "Prompts.h"
#include "RoutingTable.h"
#include "RoutingView.h"
#include "ServerCore.h"
#include "SessionLogLink.h"
#include "Transmission.h"
#include "Unit1.h"

namespace {

// ---- Stand-ins for the shared pieces that other branches bring: SwitcherInfo (link and
// identification), TRouting::of, ClientSend, SetServiceStatus and ReadSettings by section.
// They sit here alone so that each is replaced by its real one without touching the rest.

constexpr int kPollMs = 100;
constexpr int kDefaultPorts = 256;

class SwitcherInfo final : public QObject {
 public:
  explicit SwitcherInfo(TMainForm& form) : QObject(&form), form(form) {
    setObjectName(QStringLiteral("PanelSwitcherInfo"));
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this] { check(); });
    connect(&form, &TMainForm::identificationFinished, this, [this] { check(); });
    poll->start(kPollMs);
  }
  static SwitcherInfo* of(const TMainForm& form) {
    return static_cast<SwitcherInfo*>(form.findChild<QObject*>(QStringLiteral("PanelSwitcherInfo")));
  }
  bool linkUp() const { return form.tcpMode() ? form.socketActive() : form.serialOpen(); }
  bool ready() const { return linkUp() && !form.identifying(); }
  bool identified() const { return !model().isEmpty(); }
  QString model() const {
    for (const QString& line : form.MemoSysInfo->lines())
      if (line.startsWith(QLatin1String("MATRIX "))) return line;
    return {};
  }
  int inputs() const { return size(1); }
  int outputs() const { return std::min(size(2), kDefaultPorts); }
  std::function<void()> changed;
  std::function<void()> namesChanged;

 private:
  int size(int which) const {
    static const QRegularExpression re(QStringLiteral("^MATRIX (\\d{1,3})X(\\d{1,3})$"));
    const QRegularExpressionMatch m = re.match(model());
    const int n = m.hasMatch() ? m.captured(which).toInt() : 0;
    return n >= 1 ? n : kDefaultPorts;
  }
  void check() {
    // The names dialog's edits too, until TRouting says so itself.
    if (const TRouting* r = form.findChild<TRouting*>(); r && r->names() != names) {
      names = r->names();
      if (namesChanged) namesChanged();
    }
    const QString now = QString::number(ready()) + QString::number(linkUp()) + model();
    if (now == state) return;
    state = now;
    if (changed) changed();
  }
  TMainForm& form;
  QString state;
  names::Names names;
};

TRouting* routingOf(const TMainForm& form) { return form.findChild<TRouting*>(); }

class ClientLink final : public LinkContext {
 public:
  ClientLink(TMainForm& form, const QString& label) : form(form), suffix("   [" + label.toLatin1() + "]") {}
  bool tcpMode() const override { return form.tcpMode(); }
  bool socketActive() const override { return form.socketActive(); }
  void socketSend(const QByteArray& bytes) override { form.socketSend(bytes); }
  bool serialOpen() const override { return form.serialOpen(); }
  bool serialWriteByte(std::uint8_t byte) override { return form.serialWriteByte(byte); }
  void appendSendLog(const QByteArray& line) override { form.appendSendLog(line + suffix); }
  QWidget* mainWindow() const override { return form.mainWindow(); }

 private:
  TMainForm& form;
  QByteArray suffix;
};

class QuietPrompts final : public platform::Prompts {
 public:
  QuietPrompts() : previous(platform::setPrompts(this)) {}
  ~QuietPrompts() override { platform::setPrompts(previous); }
  platform::Answer message(const platform::Prompt& p) override {
    std::fprintf(stderr, "switcher-console: panel client command: %s\n", qPrintable(p.text));
    return platform::Answer::Ok;
  }
  QString openFileName(const platform::FileDialog&) override { return {}; }
  QString saveFileName(const platform::FileDialog&) override { return {}; }

 private:
  platform::Prompts* previous;
};

enum class ClientSendResult { Accepted, Busy, LinkClosed };
ClientSendResult ClientSend(TMainForm& form, const QByteArray& command, const QString& label, std::function<void()>) {
  const SwitcherInfo* info = SwitcherInfo::of(form);
  if (!info || !info->ready()) return ClientSendResult::LinkClosed;
  PacedSendWith(form, command, [&form, label](const QByteArray& c) {
    const SwitcherInfo* i = SwitcherInfo::of(form);
    if (!i || !i->ready()) return true;
    ClientLink link(form, label);
    QuietPrompts quiet;
    return SendCode(link, c);
  });
  return ClientSendResult::Accepted;
}

void SetServiceStatus(TMainForm& form, const QString& service, const QString& text) {
  const QString prefix = service + QLatin1Char(':');
  const QStringList lines = form.MemoSysInfo->lines();
  for (int k = 0; k < lines.size(); ++k) {
    if (lines[k].startsWith(prefix)) {
      form.MemoSysInfo->replaceLine(k, text);
      return;
    }
  }
  form.MemoSysInfo->appendLine(text);
}

gateway::Settings ReadPanelSettings(const QString& file) {
  gateway::Settings s;
  s.port = platform::GetPrivateProfileInt(gateway::kPanelSection, "Port", 0, file);
  s.bind = QString::fromLatin1(platform::GetPrivateProfileString(gateway::kPanelSection, "Bind", "127.0.0.1", 64, file));
  s.allow = QString::fromLatin1(platform::GetPrivateProfileString(gateway::kPanelSection, "Allow", "", 4096, file));
  s.maxClients = platform::GetPrivateProfileInt(gateway::kPanelSection, "MaxClients", gateway::kDefaultMaxClients, file);
  s.readOnly = platform::GetPrivateProfileInt(gateway::kPanelSection, "ReadOnly", 0, file) != 0;
  return s;
}
// ---- end of the stand-ins

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
        uniqueId(gateway::PanelUniqueId(platform::configDir())),
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
  routing::Route route(int output) const override { return routingOf(form)->table().route(output); }
  const names::Names& names() const override { return routingOf(form)->names(); }
  bool setNames(const names::Names& next) override { return routingOf(form)->setNames(next); }
  bool send(const QByteArray& command, const QString& label) override {
    return ClientSend(form, command, label, [] {}) == ClientSendResult::Accepted;
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
    TRouting* routing = routingOf(form);
    connect(&routing->table(), &routing::RoutingTable::changed, protocol, &gateway::PanelProtocol::routeChanged);
    SwitcherInfo* info = SwitcherInfo::of(form);
    info->changed = [protocol] { protocol->deviceChanged(); };
    info->namesChanged = [protocol] { protocol->namesChanged(); };
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
  gateway::Settings settings = ReadPanelSettings(kSwitcherIni);
  if (portForRun != 0) settings.port = portForRun;
  if (settings.port == 0) return;
  const gateway::PanelExtras extras = gateway::ReadPanelExtras(kSwitcherIni);
  QString error = extras.problem;
  PanelLink* link = nullptr;
  if (error.isEmpty()) {
    if (!SwitcherInfo::of(*this)) new SwitcherInfo(*this);
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
