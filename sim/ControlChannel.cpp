#include "ControlChannel.h"

#include "SimServer.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>

namespace sim {

namespace {

constexpr int kMaxRefuseEvery = 1000000;

QByteArray ok(const QByteArray& text = {}) {
  return (text.isEmpty() ? QByteArray("OK") : "OK " + text) + '\n';
}
QByteArray err(const QByteArray& text) { return "ERR " + text + '\n'; }

// A whole decimal number in [lo, hi].
bool number(const QByteArray& s, int lo, int hi, int* out) {
  bool good = false;
  const int v = s.toInt(&good);
  if (!good || v < lo || v > hi || s.startsWith('+')) return false;
  *out = v;
  return true;
}

}  // namespace

ControlChannel::ControlChannel(Device& device, bool canDrop, QObject* parent)
    : QObject(parent), device(device), canDrop(canDrop), server(new QTcpServer(this)) {
  connect(server, &QTcpServer::newConnection, this, &ControlChannel::accept);
}

bool ControlChannel::listen(quint16 port, QString* error) {
  // Loopback only: whoever reaches this port can pull the simulated cable.
  if (server->listen(QHostAddress::LocalHost, port)) return true;
  *error = server->errorString();
  return false;
}

quint16 ControlChannel::port() const { return server->serverPort(); }

void ControlChannel::accept() {
  while (QTcpSocket* socket = server->nextPendingConnection()) {
    if (findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly).size() >= kMaxControlClients) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  }
}

void ControlChannel::read(QTcpSocket* socket) {
  bool tooLong = false;
  while (!tooLong && socket->canReadLine()) {
    const QByteArray line = socket->readLine(kMaxControlLine + 2);
    tooLong = !line.endsWith('\n');
    if (!tooLong) socket->write(execute(line));
  }
  if (tooLong || socket->bytesAvailable() > kMaxControlLine) {
    socket->write(err("line longer than " + QByteArray::number(kMaxControlLine) + " bytes"));
    socket->disconnectFromHost();
  }
}

QByteArray ControlChannel::execute(const QByteArray& line) {
  const QList<QByteArray> words = line.simplified().split(' ');
  const QByteArray& verb = words.first();
  const qsizetype args = words.size() - 1;
  int a = 0;
  int b = 0;

  if (verb == "route") {
    if (args < 2 || args > 3) return err("usage: route INPUT OUTPUT [av|v|a]");
    const QByteArray level = args == 3 ? words[3] : QByteArray("av");
    if (device.poweredOff()) return err("the switcher is off");
    if (!number(words[1], 0, kMaxPorts, &a) || !number(words[2], 1, kMaxPorts, &b) ||
        !device.frontPanelRoute(a, b, level)) {
      return err("no such route: " + line.simplified().mid(6));
    }
    return ok();
  }
  if (verb == "silent" && args == 0) {
    device.setSilent(true);
    return ok();
  }
  if (verb == "answer" && args == 0) {
    device.setSilent(false);
    return ok();
  }
  if (verb == "drop" && args == 0) {
    if (!canDrop) return err("a serial device cannot be dropped");
    device.dropLinks();
    return ok();
  }
  if (verb == "power-cycle" && args <= 1) {
    a = kDefaultPowerOffMs;
    if (args == 1 && !number(words[1], 0, kMaxControlMs, &a)) return err("usage: power-cycle [MS]");
    device.powerCycle(std::chrono::milliseconds(a));
    return ok();
  }
  if (verb == "late-type" && args == 1) {
    if (!number(words[1], 0, kMaxControlMs, &a)) return err("usage: late-type MS");
    device.setLateType(std::chrono::milliseconds(a));
    return ok();
  }
  if (verb == "refuse-every" && args == 1) {
    if (!number(words[1], 0, kMaxRefuseEvery, &a)) return err("usage: refuse-every N");
    device.setRefuseEvery(a);
    return ok();
  }
  if (verb == "status" && args == 0) {
    // One line per output: output, video input, audio input (0 = closed).
    const SwitcherCore& core = device.switcher();
    QByteArray out;
    for (int o = 1; o <= core.outputs(); ++o) {
      const SwitcherCore::Route r = core.route(o);
      out += QByteArray::number(o) + ' ' + QByteArray::number(r.video) + ' ' +
             QByteArray::number(r.audio) + '\n';
    }
    return out + ok(QByteArray("outputs=") + QByteArray::number(core.outputs()) +
                    " power=" + (device.poweredOff() ? "off" : "on") +
                    " answering=" + (device.answering() ? "yes" : "no") +
                    " commands=" + QByteArray::number(device.commandCount()) +
                    " refused=" + QByteArray::number(device.refusedCount()));
  }
  return err("unknown command: " + line.simplified().left(40));
}

}  // namespace sim
