// The bridge's own serial port: opened, watched and looked for again.
#include "SerialLink.h"

#include <QFileInfo>
#include <QTimer>

#include "Com.h"
#include "Comthread.h"

namespace engine {

namespace {
constexpr int kBaud = 9600;
constexpr char kParity = 'N';
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
}  // namespace

SerialLink::SerialLink(const QString& device, const QString& label, QObject* parent)
    : SwitcherLink(parent), device(device), label(label.isEmpty() ? device : label), retry(new QTimer(this)) {
  retry->setInterval(kSerialRetry);
  connect(retry, &QTimer::timeout, this, &SerialLink::tryOpen);
}

SerialLink::~SerialLink() {
  if (port) port->Close();
}

void SerialLink::open() {
  wanted = true;
  toldMissing = false;
  emit opening();
  tryOpen();
}

void SerialLink::close() {
  wanted = false;
  retry->stop();
  if (!port) return;
  ComPort* p = port;
  port = nullptr;
  failing = false;
  p->Close();
  emit closed();
}

void SerialLink::tryOpen() {
  if (port || !wanted) return;
  auto* p = new ComPort;
  if (!p->OpenDevice(this, device, kBaud, kParity, kDataBits, kStopBits, EV_RXCHAR)) {
    p->Close();
    // Said once per absence, not every half second.
    if (!toldMissing) {
      toldMissing = true;
      emit lost(QFileInfo::exists(device) ? QStringLiteral("cannot open %1").arg(device)
                                          : QStringLiteral("%1 is missing").arg(device));
    }
    retry->start();
    return;
  }
  retry->stop();
  toldMissing = false;
  port = p;
  failing = false;
  assembler = {};
  port->StartMonitor();
  emit opened();
}

void SerialLink::write(const QByteArray& command, Written done) {
  if (!isUp()) {
    if (done) done(false);
    return;
  }
  port->Queue(command, std::move(done));
}

void SerialLink::drop(const QString& reason) {
  if (!port) return;
  ComPort* p = port;
  port = nullptr;
  failing = false;
  p->Close();  // drops what waits: done(false)
  emit lost(reason);
  if (wanted) retry->start();
}

bool SerialLink::event(QEvent* e) {
  if (e->type() == WM_SERIALBYTE) {
    const auto byte = static_cast<SerialByteEvent*>(e)->byte;
    if (!port) return true;
    emit bytesReceived(QByteArray(1, char(byte)));
    QByteArray line;
    if (assembler.push(byte, &line)) emit lineReceived(line);
    return true;
  }
  if (e->type() == WM_SERIALFAILING) {
    if (port && !failing && port->DeviceFailed()) {
      failing = true;
      drop(QStringLiteral("%1 went away").arg(device));
    }
    return true;
  }
  if (e->type() == WM_SERIALENDED) {
    if (port && port->MonitorEnded()) drop(QStringLiteral("%1 failed").arg(device));
    return true;
  }
  return SwitcherLink::event(e);
}

}  // namespace engine
