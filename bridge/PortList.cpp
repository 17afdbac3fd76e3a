// Serial devices from /dev and sysfs.
#include "PortList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace bridge {

namespace {
QString firstLine(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readLine()).trimmed();
}

// Whether at is inside the folder root (and not root itself).
bool inside(const QString& at, const QString& root) { return at.startsWith(root + QLatin1Char('/')); }

// The driver of the port's hardware. Since Linux 6.5 a UART's tty hangs off a "port" device
// under a "ctrl" device of the serial core's own bus (serial-base), whose drivers say nothing:
// the hardware's driver is the first one above them (serial8250, imx-uart, ...).
QString driverOf(const QString& device, const QString& sysRoot) {
  for (QString at = device; inside(at, sysRoot); at = QFileInfo(at).path()) {
    const QString driver = QFileInfo(at + QStringLiteral("/driver")).canonicalFilePath();
    if (driver.isEmpty() || QFileInfo(driver).path().endsWith(QLatin1String("/serial-base/drivers"))) continue;
    return QFileInfo(driver).fileName();
  }
  return {};
}

// The kernel's names of serial ports: PC UARTs, USB adapters and modems, the UARTs of
// embedded boards (ARM PL011, i.MX, Tegra, LPUART, SC16IS7xx, OMAP, Samsung, Qualcomm) and
// Bluetooth serial links.
const QStringList& portPatterns() {
  static const QStringList patterns = {
      QStringLiteral("ttyS*"),   QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*"),   QStringLiteral("ttyAMA*"),
      QStringLiteral("ttymxc*"), QStringLiteral("ttyTHS*"), QStringLiteral("ttyLP*"),    QStringLiteral("ttySC*"),
      QStringLiteral("ttyO*"),   QStringLiteral("ttySAC*"), QStringLiteral("ttyMSM*"),   QStringLiteral("ttyXRUSB*"),
      QStringLiteral("rfcomm*")};
  return patterns;
}
}  // namespace

QList<SerialDevice> ListSerialDevices(const QString& devRoot, const QString& sysRoot) {
  QList<SerialDevice> out;
  const QDir ttys(sysRoot + QStringLiteral("/class/tty"));
  const QString sysReal = QFileInfo(sysRoot).canonicalFilePath();
  if (sysReal.isEmpty()) return out;
  for (const QString& name : ttys.entryList(portPatterns(), QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
    const QString sys = ttys.filePath(name);
    // Every machine lists ttyS0..ttyS31; a port with no UART behind it has type 0.
    if (name.startsWith(QLatin1String("ttyS")) && firstLine(sys + QStringLiteral("/type")) == QLatin1String("0")) continue;
    const QString device = QFileInfo(sys + QStringLiteral("/device")).canonicalFilePath();
    if (device.isEmpty()) continue;  // a virtual terminal
    SerialDevice d;
    d.path = devRoot + QLatin1Char('/') + name;
    d.driver = driverOf(device, sysReal);
    // A USB adapter's interface sits under its device, which names the product.
    for (QString at = device; inside(at, sysReal) && d.description.isEmpty(); at = QFileInfo(at).path()) {
      const QString product = firstLine(at + QStringLiteral("/product"));
      if (!product.isEmpty()) {
        const QString maker = firstLine(at + QStringLiteral("/manufacturer"));
        d.description = maker.isEmpty() ? product : maker + QLatin1Char(' ') + product;
      }
    }
    out << d;
  }
  const QDir byId(devRoot + QStringLiteral("/serial/by-id"));
  for (const QFileInfo& link : byId.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
    const QString target = QFileInfo(link.symLinkTarget()).fileName();
    for (SerialDevice& d : out)
      if (QFileInfo(d.path).fileName() == target) d.stableName = link.absoluteFilePath();
  }
  std::sort(out.begin(), out.end(), [](const SerialDevice& a, const SerialDevice& b) { return a.path < b.path; });
  return out;
}

}  // namespace bridge
