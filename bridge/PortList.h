#pragma once
// The serial devices this machine has, for --list-ports: each with its stable
// /dev/serial/by-id/ name where udev made one, and its driver and description from sysfs.

#include <QList>
#include <QString>

namespace bridge {

struct SerialDevice {
  QString path;         // /dev/ttyUSB0
  QString stableName;   // /dev/serial/by-id/usb-FTDI_..., or empty
  QString driver;       // ftdi_sio, serial8250, ...
  QString description;  // the USB product, where known
};

// devRoot and sysRoot are "/dev" and "/sys" but for tests.
QList<SerialDevice> ListSerialDevices(const QString& devRoot = QStringLiteral("/dev"),
                                      const QString& sysRoot = QStringLiteral("/sys"));

}  // namespace bridge
