// The gateway on the main window: its start from Switcher.ini, its line in the System memo,
// clients' commands through SendCode with the client in the send list, and the switcher's
// bytes handed on from both links.
#include "GatewayLink.h"

#include <QPointer>
#include <QTimer>
#include <cstdio>

#include "Feedback.h"
#include "GatewayServer.h"
#include "Memo.h"
#include "Prompts.h"
#include "SessionLogLink.h"
#include "Transmission.h"
#include "Unit1.h"

namespace {

constexpr char kSwitcherIni[] = "Switcher.ini";
// MemoSysInfo's line 3 is empty in the console's own layout; the gateway's state goes there.
constexpr int kGatewayLine = 3;
constexpr char kGatewayObject[] = "Gateway";

int portForRun = 0;

// The window's link, with the client named on the command's line in the send list.
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

// A client's command never opens a box on the console: whatever the link would show while
// it goes out is written to stderr instead.
class QuietPrompts final : public platform::Prompts {
 public:
  QuietPrompts() : previous(platform::setPrompts(this)) {}
  ~QuietPrompts() override { platform::setPrompts(previous); }
  platform::Answer message(const platform::Prompt& p) override {
    std::fprintf(stderr, "switcher-console: gateway client command: %s\n", qPrintable(p.text));
    return platform::Answer::Ok;
  }
  QString openFileName(const platform::FileDialog&) override { return {}; }
  QString saveFileName(const platform::FileDialog&) override { return {}; }

 private:
  platform::Prompts* previous;
};

class GatewayLink final : public QObject, public gateway::GatewayHost {
 public:
  explicit GatewayLink(TMainForm& form) : QObject(&form), form(form), server(new gateway::GatewayServer(*this, this)) {
    setObjectName(kGatewayObject);
  }

  // Commands go out while the link of the current mode is up and no identification runs:
  // the Update window's exchange has the switcher to itself.
  bool linkReady() const override {
    const bool up = form.tcpMode() ? form.socketActive() : form.serialOpen();
    return up && !form.identifying();
  }

  // ReplyTarget is left as it is: the console's own exchange keeps its replies.
  void sendCommand(const QByteArray& command, const QString& label) override {
    // With [Link] Pace set, behind the commands already waiting in the send queue.
    PacedSendWith(form, command, [this, label](const QByteArray& c) {
      // A paced command can come due while the switcher is being identified or the link is
      // down: the client is told, and the commands queued behind it still go.
      if (!linkReady()) {
        server->tell(label, gateway::kLinkClosedLine);
        return true;
      }
      ClientLink link(form, label);
      QuietPrompts quiet;
      return SendCode(link, c);
    });
  }

  void showState() {
    const int n = server->clientCount();
    form.MemoSysInfo->replaceLine(kGatewayLine, QStringLiteral("Gateway: listening on %1, %2 client%3")
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
    MemoSysInfo->replaceLine(kGatewayLine, QStringLiteral("Gateway: not started"));
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
