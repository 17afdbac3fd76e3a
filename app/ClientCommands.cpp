// Remote clients' commands on the main window: their bounds, the paced queue or the COM
// port's own queue, and the send list's marks.
#include "ClientCommands.h"

#include <QHash>
#include <QPointer>
#include <cstdio>
#include <memory>

#include "Com.h"
#include "Prompts.h"
#include "SessionLogLink.h"
#include "Transmission.h"
#include "Unit1.h"

namespace {

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

// How many commands each client has waiting. A child of the window, made on the first
// client command.
class ClientCounts final : public QObject {
 public:
  explicit ClientCounts(TMainForm& form) : QObject(&form), form(form) {
    setObjectName(QStringLiteral("ClientCommands"));
  }
  void take(const QString& label) {
    ++each[label];
    ++all;
  }
  void settle(const QString& label) {
    auto at = each.find(label);
    if (at == each.end()) return;
    if (--*at == 0) each.erase(at);
    --all;
  }
  TMainForm& form;
  QHash<QString, int> each;
  int all = 0;
};

QPointer<ClientCounts> theCounts;

ClientCounts* countsOf(const TMainForm& form, bool make) {
  if (theCounts && &theCounts->form == &form) return theCounts;
  if (!make) return nullptr;
  theCounts = new ClientCounts(const_cast<TMainForm&>(form));
  return theCounts;
}

}  // namespace

QuietPrompts::QuietPrompts() : previous(platform::setPrompts(this)) {}
QuietPrompts::~QuietPrompts() { platform::setPrompts(previous); }
platform::Answer QuietPrompts::message(const platform::Prompt& p) {
  std::fprintf(stderr, "switcher-console: client command: %s\n", qPrintable(p.text));
  return platform::Answer::Ok;
}

bool ClientLinkReady(const TMainForm& form) {
  const bool up = form.tcpMode() ? form.socketActive() : form.serialOpen();
  return up && !form.identifying();
}

int ClientCommandsWaiting(const TMainForm& form, const QString& label) {
  const ClientCounts* counts = countsOf(form, false);
  return counts ? counts->each.value(label) : 0;
}

bool ClientCanTake(const TMainForm& form, const QString& label, int count) {
  if (!ClientLinkReady(form)) return false;
  // Without Pace on TCP/IP a command goes out at once and waits nowhere.
  if (PacedPace(form) <= 0 && (form.tcpMode() || !form.SerialPort)) return true;
  const ClientCounts* counts = countsOf(form, false);
  const int each = counts ? counts->each.value(label) : 0;
  const int all = counts ? counts->all : 0;
  return each + count <= kClientWaitingEach && all + count <= kClientWaitingAll;
}

ClientSendResult ClientSend(TMainForm& form, const QByteArray& command, const QString& label,
                            std::function<void()> onDropped, std::function<void()> onWritten) {
  if (!ClientLinkReady(form)) return ClientSendResult::LinkClosed;
  ClientCounts* counts = countsOf(form, true);
  if (counts->each.value(label) >= kClientWaitingEach || counts->all >= kClientWaitingAll)
    return ClientSendResult::Busy;
  // Settled once: when it went, or when it was dropped.
  auto settled = std::make_shared<bool>(false);
  QPointer<ClientCounts> guard(counts);
  auto settle = [guard, label, settled] {
    if (*settled) return false;
    *settled = true;
    if (guard) guard->settle(label);
    return true;
  };
  auto dropped = [settle, onDropped] {
    if (settle() && onDropped) onDropped();
  };

  const bool paced = PacedPace(form) > 0;
  if (!paced && !form.tcpMode() && form.SerialPort) {
    // The port's own queue: written as the device takes it, in the send list at once.
    counts->take(label);
    form.SerialPort->Queue(command, [settle, dropped, onWritten](bool written) {
      if (!written) dropped();
      else if (settle() && onWritten) onWritten();
    });
    ClientLink(form, label).appendSendLog(command);
    return ClientSendResult::Accepted;
  }
  if (!paced) {
    ClientLink link(form, label);
    QuietPrompts quiet;
    if (!SendCode(link, command)) return ClientSendResult::LinkClosed;
    if (onWritten) onWritten();
    return ClientSendResult::Accepted;
  }
  counts->take(label);
  PacedSendWith(
      form, command,
      [&form, label, settle, dropped, onDropped, onWritten](const QByteArray& c) {
        // It can come due while the switcher is being identified or the link is down: the
        // client is told, and the commands queued behind it still go.
        if (!ClientLinkReady(form)) {
          dropped();
          return true;
        }
        settle();
        ClientLink link(form, label);
        QuietPrompts quiet;
        const bool sent = SendCode(link, c);
        if (sent && onWritten) onWritten();
        if (!sent && onDropped) onDropped();  // settled already: the client is told here
        return sent;
      },
      dropped);
  return ClientSendResult::Accepted;
}
