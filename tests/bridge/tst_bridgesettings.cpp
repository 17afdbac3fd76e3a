// What switcher-bridge reads before it starts: the link it drives, and the serial devices
// it lists (from a made-up /dev and /sys).

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "BridgeSettings.h"
#include "Ini.h"
#include "PortList.h"

class TestBridgeSettings : public QObject {
  Q_OBJECT
 private slots:
  void link_data();
  void link();
  void linkCheck_data();
  void linkCheck();
  void listsPortsWithTheirStableNames();
};

void TestBridgeSettings::link_data() {
  QTest::addColumn<QByteArray>("ini");
  QTest::addColumn<QString>("shown");  // device or host:port; empty: a problem
  QTest::newRow("COM number through [COM]") << QByteArray("[COM]\nCOM2=/dev/ttyUSB7\n[Bridge]\nLink=COM2\n") << "/dev/ttyUSB7";
  QTest::newRow("none: COM1") << QByteArray("[COM]\nCOM1=/dev/ttyAMA0\n") << "/dev/ttyAMA0";
  QTest::newRow("a device path") << QByteArray("[Bridge]\nLink=/dev/serial/by-id/usb-x\n") << "/dev/serial/by-id/usb-x";
  QTest::newRow("TCP with port") << QByteArray("[Bridge]\nLink=TCP 10.0.0.5:9000\n") << "10.0.0.5:9000";
  QTest::newRow("TCP without port") << QByteArray("[Bridge]\nLink=tcp 10.0.0.5\n") << "10.0.0.5:8888";
  QTest::newRow("TCP port out of range") << QByteArray("[Bridge]\nLink=TCP 10.0.0.5:70000\n") << "";
  QTest::newRow("COM5") << QByteArray("[Bridge]\nLink=COM5\n") << "";
  QTest::newRow("a relative name") << QByteArray("[Bridge]\nLink=ttyUSB0\n") << "";
}

void TestBridgeSettings::link() {
  QFETCH(QByteArray, ini);
  QFETCH(QString, shown);
  QTemporaryDir dir;
  QFile f(dir.filePath("Switcher.ini"));
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(ini);
  f.close();
  qputenv("SWITCHER_CONFIG_DIR", QFile::encodeName(dir.path()));  // [COM] is read there
  const bridge::LinkChoice l = bridge::ReadLink();
  QCOMPARE(l.problem.isEmpty(), !shown.isEmpty());
  if (shown.isEmpty()) return;
  QCOMPARE(l.kind == bridge::LinkChoice::Kind::Tcp ? QStringLiteral("%1:%2").arg(l.host).arg(l.port) : l.device, shown);
}

void TestBridgeSettings::linkCheck_data() {
  QTest::addColumn<QByteArray>("value");
  QTest::addColumn<int>("seconds");  // -1: a problem, and the default taken
  QTest::newRow("none: 30") << QByteArray() << 30;
  QTest::newRow("0: off") << QByteArray("0") << 0;
  QTest::newRow("a day") << QByteArray("86400") << 86400;
  QTest::newRow("over a day") << QByteArray("86401") << -1;
  QTest::newRow("negative") << QByteArray("-5") << -1;
  QTest::newRow("with a unit") << QByteArray("30s") << -1;
}

void TestBridgeSettings::linkCheck() {
  QFETCH(QByteArray, value);
  QFETCH(int, seconds);
  QTemporaryDir dir;
  QFile f(dir.filePath("Switcher.ini"));
  QVERIFY(f.open(QIODevice::WriteOnly));
  if (!value.isEmpty()) f.write("[Link]\nCheck=" + value + "\n");
  f.close();
  qputenv("SWITCHER_CONFIG_DIR", QFile::encodeName(dir.path()));
  QString problem;
  const int read = bridge::ReadLinkCheck(QStringLiteral("Switcher.ini"), &problem);
  QCOMPARE(problem.isEmpty(), seconds >= 0);
  QCOMPARE(read, seconds >= 0 ? seconds : bridge::kLinkCheckDefault);
}

void TestBridgeSettings::listsPortsWithTheirStableNames() {
  QTemporaryDir root;
  QDir r(root.path());
  auto file = [&](const QString& path, const QByteArray& text) {
    r.mkpath(QFileInfo(r.filePath(path)).path());
    QFile f(r.filePath(path));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
  };
  auto link = [&](const QString& target, const QString& at) {
    r.mkpath(QFileInfo(r.filePath(at)).path());
    QVERIFY(QFile::link(target, r.filePath(at)));
  };
  // A USB adapter: its tty under the interface, the product on the device above it.
  file("sys/devices/usb1/1-1/product", "FT232R USB UART\n");
  file("sys/devices/usb1/1-1/manufacturer", "FTDI\n");
  r.mkpath("sys/devices/usb1/1-1/1-1:1.0/ttyUSB0");
  r.mkpath("sys/bus/usb-serial/drivers/ftdi_sio");
  link(r.filePath("sys/bus/usb-serial/drivers/ftdi_sio"), "sys/devices/usb1/1-1/1-1:1.0/ttyUSB0/driver");
  link(r.filePath("sys/devices/usb1/1-1/1-1:1.0/ttyUSB0"), "sys/class/tty/ttyUSB0/device");
  // A UART that is there, and one of the 32 the kernel always lists.
  r.mkpath("sys/devices/platform/serial8250/tty/ttyS0");
  file("sys/class/tty/ttyS0/type", "4\n");
  link(r.filePath("sys/devices/platform/serial8250/tty/ttyS0"), "sys/class/tty/ttyS0/device");
  file("sys/class/tty/ttyS1/type", "0\n");
  link(r.filePath("sys/devices/platform/serial8250/tty/ttyS0"), "sys/class/tty/ttyS1/device");
  r.mkpath("dev/serial/by-id");
  link("../../ttyUSB0", "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2-if00-port0");

  const QList<bridge::SerialDevice> got = bridge::ListSerialDevices(r.filePath("dev"), r.filePath("sys"));
  QCOMPARE(got.size(), 2);
  QCOMPARE(got[0].path, r.filePath("dev/ttyS0"));
  QVERIFY(got[0].stableName.isEmpty());
  QCOMPARE(got[1].path, r.filePath("dev/ttyUSB0"));
  QCOMPARE(got[1].stableName, r.filePath("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2-if00-port0"));
  QCOMPARE(got[1].driver, QStringLiteral("ftdi_sio"));
  QCOMPARE(got[1].description, QStringLiteral("FTDI FT232R USB UART"));
}

QTEST_GUILESS_MAIN(TestBridgeSettings)
#include "tst_bridgesettings.moc"
