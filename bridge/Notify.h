#pragma once
// systemd's service notifications (READY=1, STATUS=..., STOPPING=1) sent as the protocol
// describes them: one datagram to the socket named in $NOTIFY_SOCKET. Nothing without it.

#include <QByteArray>

namespace bridge {

// False when there is no socket to tell, or the datagram could not be sent.
bool Notify(const QByteArray& state);

}  // namespace bridge
