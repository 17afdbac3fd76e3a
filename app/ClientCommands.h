#pragma once
// One way out to the switcher for every remote client's command (gateway clients, and later
// router panels and MQTT): the client is named in the send list, no box ever opens for it,
// and its commands wait in bounded queues so that no client can freeze the window or push
// the operator's own runs aside.
//
// With [Link] Pace set, client commands join the paced send queue behind what waits there,
// at most kClientWaitingEach per client and kClientWaitingAll in all; the operator's runs
// (code group Execute, auto steps) are never refused for them. With Pace=0, a command goes
// out at once on TCP/IP, and on a COM port is written as the device takes it (never blocking
// the window), within the same bounds.

#include <QByteArray>
#include <QString>

#include <functional>

#include "Prompts.h"

class TMainForm;

enum class ClientSendResult {
  Accepted,    // sent, or waiting to be sent
  Busy,        // too many of this client's (or of all clients') commands wait already
  LinkClosed,  // the link is closed, or the switcher is being identified
};

constexpr int kClientWaitingEach = 256;
constexpr int kClientWaitingAll = 4096;

// Whether a client command may go now: the link of the current mode is up and no
// identification runs (the Update window's exchange has the switcher to itself).
bool ClientLinkReady(const TMainForm& form);

// One complete command of a client (terminator included). label names the client in the
// send list ("5V12.   [label]"). onDropped is called, at most once, when an Accepted command
// is dropped before it went: Esc, Stop, the link closed or lost, or not ready (closed, being
// identified) when it came due. onWritten (when given) is called, at most once, when an
// Accepted command is handed to the link (at once when nothing waits before it).
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
