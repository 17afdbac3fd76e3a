#pragma once
// A loopback TCP port that nothing listens on at the moment of asking (the kernel's pick).
// Another program may take it before the caller does: good enough for tests that start
// programs which need a port number in their settings.

#include <QHostAddress>
#include <QTcpServer>

inline quint16 freePort() {
  QTcpServer probe;
  if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
  return probe.serverPort();
}
