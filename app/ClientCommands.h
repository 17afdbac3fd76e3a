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
// identified) when it came due.
ClientSendResult ClientSend(TMainForm& form, const QByteArray& command, const QString& label,
                            std::function<void()> onDropped);

// Commands of this client accepted and not yet sent (nor dropped).
int ClientCommandsWaiting(const TMainForm& form, const QString& label);
