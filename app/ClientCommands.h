#pragma once
// Remote clients' commands on the console: the engine's one way out (the paced queue with
// the clients' bounds, see engine/CommandQueue.h), reached from the window, and the rule that
// no box ever opens on the console for a client.

#include <QByteArray>
#include <QString>

#include <functional>

#include "CommandQueue.h"
#include "Prompts.h"

class TMainForm;

using ClientSendResult = engine::SendResult;
using engine::kClientWaitingAll;
using engine::kClientWaitingEach;

// Whether a client command may go now: the link of the current mode is up and no
// identification runs (the Update window's exchange has the switcher to itself).
bool ClientLinkReady(const TMainForm& form);

// One complete command of a client (terminator included). label names the client in the
// send list ("5V12.   [label]"). onDropped is called, at most once, when an Accepted command
// is dropped before it went: Esc, Stop, the link closed or lost, or not ready (closed, being
// identified) when it came due. onWritten (when given) is called, at most once, when an
// Accepted command has been written to the switcher.
ClientSendResult ClientSend(TMainForm& form, const QByteArray& command, const QString& label,
                            std::function<void()> onDropped, std::function<void()> onWritten = {});

// Whether count more commands of this client would be Accepted now: the link is ready and
// both bounds have room for all of them (a router panel's block goes whole or not at all).
bool ClientCanTake(const TMainForm& form, const QString& label, int count);

// Commands of this client accepted and not yet sent (nor dropped).
int ClientCommandsWaiting(const TMainForm& form, const QString& label);

// While it lives, a remote client's command never opens a box on the console: whatever the
// link would show is written to stderr instead.
class QuietPrompts final : public platform::Prompts {
 public:
  QuietPrompts();
  ~QuietPrompts() override;
  platform::Answer message(const platform::Prompt& p) override;
  QString openFileName(const platform::FileDialog&) override { return {}; }
  QString saveFileName(const platform::FileDialog&) override { return {}; }

 private:
  platform::Prompts* previous;
};
