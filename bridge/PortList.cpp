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
}  // namespace

QList<SerialDevice> ListSerialDevices(const QString& devRoot, const QString& sysRoot) {
  QList<SerialDevice> out;
  const QDir ttys(sysRoot + QStringLiteral("/class/tty"));
  const QStringList patterns = {QStringLiteral("ttyS*"), QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*"),
                                QStringLiteral("ttyAMA*"), QStringLiteral("ttyXRUSB*"), QStringLiteral("rfcomm*")};
  for (const QString& name : ttys.entryList(patterns, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
    const QString sys = ttys.filePath(name);
    // Every machine lists ttyS0..ttyS31; a port with no UART behind it has type 0.
    if (name.startsWith(QLatin1String("ttyS")) && firstLine(sys + QStringLiteral("/type")) == QLatin1String("0")) continue;
    const QString device = QFileInfo(sys + QStringLiteral("/device")).canonicalFilePath();
    if (device.isEmpty()) continue;  // a virtual terminal
    SerialDevice d;
    d.path = devRoot + QLatin1Char('/') + name;
    d.driver = QFileInfo(QFileInfo(sys + QStringLiteral("/device/driver")).canonicalFilePath()).fileName();
    // A USB adapter's interface sits under its device, which names the product.
    for (QString at = device; at.startsWith(sysRoot) && d.description.isEmpty(); at = QFileInfo(at).path()) {
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
