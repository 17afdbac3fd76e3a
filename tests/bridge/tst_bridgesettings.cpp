// What switcher-bridge reads before it starts: the link it drives, and the serial devices
// it lists (from a made-up /dev and /sys).

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "BridgeSettings.h"
#include "Instances.h"
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
  void listsEveryUartWithItsDriver_data();
  void listsEveryUartWithItsDriver();
  void checkSaysEachFaultOnce_data();
  void checkSaysEachFaultOnce();
  void checkSaysWhetherThePageAsksAPassword_data();
  void checkSaysWhetherThePageAsksAPassword();
  void checkAcrossBridges_data();
  void checkAcrossBridges();
  void instanceNames_data();
  void instanceNames();
};

namespace {
// Switcher.ini with the given text in a folder of its own, for as long as it lives.
struct Settings {
  explicit Settings(const QByteArray& ini) {
    QFile f(dir.filePath("Switcher.ini"));
    if (f.open(QIODevice::WriteOnly)) f.write(ini);
    qputenv("SWITCHER_CONFIG_DIR", QFile::encodeName(dir.path()));
  }
  QTemporaryDir dir;
};
}  // namespace

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
  Settings s(value.isEmpty() ? QByteArray() : "[Link]\nCheck=" + value + "\n");
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

void TestBridgeSettings::listsEveryUartWithItsDriver_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("device");  // under sys/devices
  QTest::addColumn<QStringList>("drivers");  // "folder=bus/driver" links, from the device up
  QTest::addColumn<QString>("driver");
  QTest::newRow("8250 behind the serial core's port and ctrl")
      << "ttyS0" << "platform/serial8250/serial8250:0/serial8250:0.0"
      << QStringList{"platform/serial8250/serial8250:0/serial8250:0.0=serial-base/port",
                     "platform/serial8250/serial8250:0=serial-base/ctrl", "platform/serial8250=platform/serial8250"}
      << "serial8250";
  QTest::newRow("PCI 8250 card") << "ttyS4" << "pci0000:00/0000:00:1c.0/0000:03:00.0/0000:03:00.0:0/0000:03:00.0:0.0"
                                 << QStringList{"pci0000:00/0000:00:1c.0/0000:03:00.0/0000:03:00.0:0/0000:03:00.0:0.0=serial-base/port",
                                                "pci0000:00/0000:00:1c.0/0000:03:00.0/0000:03:00.0:0=serial-base/ctrl",
                                                "pci0000:00/0000:00:1c.0/0000:03:00.0=pci/serial"}
                                 << "serial";
  QTest::newRow("a device out of the tree: not followed") << "ttyUSB3" << "../../outside/usb" << QStringList{"../../outside/usb=usb-serial/pl2303"} << "";
  QTest::newRow("i.MX") << "ttymxc1" << "platform/soc/2020000.serial" << QStringList{"platform/soc/2020000.serial=platform/imx-uart"} << "imx-uart";
  QTest::newRow("Tegra") << "ttyTHS1" << "platform/3110000.serial" << QStringList{"platform/3110000.serial=platform/serial-tegra"} << "serial-tegra";
  QTest::newRow("LPUART") << "ttyLP0" << "platform/29390000.serial" << QStringList{"platform/29390000.serial=platform/fsl-lpuart"} << "fsl-lpuart";
  QTest::newRow("SC16IS7xx on SPI") << "ttySC0" << "platform/spi0/spi0.0" << QStringList{"platform/spi0/spi0.0=spi/sc16is7xx"} << "sc16is7xx";
}

void TestBridgeSettings::listsEveryUartWithItsDriver() {
  QFETCH(QString, name);
  QFETCH(QString, device);
  QFETCH(QStringList, drivers);
  QFETCH(QString, driver);
  QTemporaryDir root;
  QDir r(root.path());
  QVERIFY(r.mkpath("sys/devices/" + device));
  QVERIFY(r.mkpath("sys/class/tty/" + name));
  QVERIFY(QFile::link(r.filePath("sys/devices/" + device), r.filePath("sys/class/tty/" + name + "/device")));
  for (const QString& d : drivers) {
    const QStringList parts = d.split('=');
    QVERIFY(r.mkpath("sys/bus/" + parts[1].section('/', 0, 0) + "/drivers/" + parts[1].section('/', 1)));
    QVERIFY(QFile::link(r.filePath("sys/bus/" + parts[1].section('/', 0, 0) + "/drivers/" + parts[1].section('/', 1)),
                        r.filePath("sys/devices/" + parts[0] + "/driver")));
  }
  const QList<bridge::SerialDevice> got = bridge::ListSerialDevices(r.filePath("dev"), r.filePath("sys"));
  QCOMPARE(got.size(), 1);
  QCOMPARE(got[0].path, r.filePath("dev/" + name));
  QCOMPARE(got[0].driver, driver);
}

void TestBridgeSettings::checkSaysEachFaultOnce_data() {
  QTest::addColumn<QByteArray>("ini");
  QTest::addColumn<QString>("error");  // a part of the one error; empty: none
  const QByteArray tcp = "[Bridge]\nLink=TCP 127.0.0.1\n";
  QTest::newRow("the documented Pace=0") << tcp + "[Link]\nPace=0\n" << "";
  QTest::newRow("Pace that is no number") << tcp + "[Link]\nPace=fast\n" << "[Link] Pace=fast";
  QTest::newRow("two services on one port") << tcp + "[Gateway]\nPort=7000\n[Web]\nPort=7000\n" << "Web: Port=7000 is the Gateway's port too";
  QTest::newRow("one port on every address and on loopback")
      << tcp + "[Panel]\nPort=9990\nBind=0.0.0.0\nAllow=10.0.0.0/8\n[Gateway]\nPort=9990\n" << "Panel: Port=9990 is the Gateway's port too";
  QTest::newRow("one port on two addresses") << tcp + "[Panel]\nPort=9990\nBind=127.0.0.2\n[Gateway]\nPort=9990\n" << "";
  QTest::newRow("a second [Web] section")
      << tcp + "[Web]\nPort=8080\n[Gateway]\nPort=7000\n[web]\nPasswordFile=/etc/pw\n" << "line 7: [Web] is there already (line 3)";
  QTest::newRow("a panel setting that cannot be taken") << tcp + "[Panel]\nPort=9990\nSignal=A\n" << "Panel: Signal=A must be B";
  QTest::newRow("a misspelt key") << tcp + "[Web]\nPort=8080\nPaswordFile=/etc/pw\n" << "PaswordFile is not a key of [Web]";
  QTest::newRow("a misspelt section") << tcp + "[Gatway]\nPort=7000\n" << "[Gatway] is not a section";
  QTest::newRow("a key given twice") << tcp + "[Gateway]\nPort=7000\nport=7001\n" << "[Gateway] Port is there already (line 4)";
  QTest::newRow("a key outside any section") << "Port=7000\n" + tcp << "Port is outside any section";
  QTest::newRow("a line with no =") << tcp + "[Gateway]\nPort 7000\n" << "line 4: \"Port 7000\" is neither";
  QTest::newRow("a value with no key") << tcp + "[Gateway]\n=7000\n" << "line 4: \"=7000\" is neither";
  QTest::newRow("a section with no ]") << tcp + "[Web\n" << "line 3: \"[Web\" is neither";
  QTest::newRow("a port with a letter") << tcp + "[Web]\nPort=18890x\n" << "Port=18890x";
  QTest::newRow("MaxClients with a letter") << tcp + "[Gateway]\nPort=7000\nMaxClients=8x\n" << "[Gateway] MaxClients=8x";
  QTest::newRow("log days that are no number") << tcp + "[Log]\nDays=ten\n" << "[Log] Days=ten";
  QTest::newRow("MQTT port with a letter") << tcp + "[MQTT]\nHost=broker\nPort=1883x\n" << "[MQTT] Port=1883x";
  QTest::newRow("comments with # and a key put out of use") << tcp + "# the rack's bridge\n[Web]\n#Port=8080\n" << "";
  QTest::newRow("a code file not there yet") << tcp + "CodeFile=/nonexistent/show.cgf\n" << "";
  QTest::newRow("a folder as code file") << tcp + "CodeFile=/\n" << "code group file / cannot be read";
  QTest::newRow("SW-P-08 keys are known") << tcp + "[SWP08]\nPort=8910\nMatrix=15\nBaud=9600\nMaxClients=4\nReadOnly=1\n" << "";
  QTest::newRow("SW-P-08 matrix beyond 15") << tcp + "[SWP08]\nPort=8910\nMatrix=16\n" << "SWP08: Matrix=16";
  QTest::newRow("SW-P-08 baud not served") << tcp + "[SWP08]\nPort=8910\nBaud=1200\n" << "SWP08: Baud=1200";
  QTest::newRow("SW-P-08 on the gateway's port") << tcp + "[Gateway]\nPort=7000\n[SWP08]\nPort=7000\n" << "SWP08: Port=7000 is the Gateway's port too";
  QTest::newRow("Ember+ keys are known") << tcp + "[Ember]\nPort=9000\nBind=127.0.0.1\nMaxClients=2\nReadOnly=1\n" << "";
  QTest::newRow("Ember+ on the SW-P-08 port") << tcp + "[SWP08]\nPort=9000\n[Ember]\nPort=9000\n" << "Port=9000 is the SWP08's port too";
  QTest::newRow("Ember+ MaxClients with a letter") << tcp + "[Ember]\nPort=9000\nMaxClients=x\n" << "[Ember] MaxClients=x";
  QTest::newRow("Metrics keys are known") << tcp + "[Metrics]\nPort=9101\nBind=0.0.0.0\nAllow=10.0.0.5\n" << "";
  QTest::newRow("Metrics on the gateway's port") << tcp + "[Gateway]\nPort=7000\n[Metrics]\nPort=7000\n" << "Metrics: Port=7000 is the Gateway's port too";
  QTest::newRow("Metrics on every address without Allow") << tcp + "[Metrics]\nPort=9101\nBind=0.0.0.0\n" << "Metrics:";
  QTest::newRow("Metrics takes no MaxClients") << tcp + "[Metrics]\nPort=9101\nMaxClients=4\n" << "MaxClients is not a key of [Metrics]";
  QTest::newRow("a console key is known") << tcp + "[TCP]\nIP=10.0.0.5\nConnect=1\n[COM]\nCOM2=/dev/ttyUSB0\n[Link]\nReconnect=0\n" << "";
}

void TestBridgeSettings::checkSaysEachFaultOnce() {
  QFETCH(QByteArray, ini);
  QFETCH(QString, error);
  Settings s(ini);
  const bridge::Check c = bridge::CheckSettings();
  QVERIFY2(c.errors.size() == (error.isEmpty() ? 0 : 1), qPrintable(c.errors.join('\n')));
  if (!error.isEmpty()) QVERIFY2(c.errors[0].contains(error), qPrintable(c.errors[0]));
  for (const QString& line : c.serves) QVERIFY2(!line.contains(":-1"), qPrintable(line));
}

void TestBridgeSettings::checkSaysWhetherThePageAsksAPassword_data() {
  QTest::addColumn<QByteArray>("section");
  QTest::addColumn<int>("runPort");
  QTest::addColumn<QString>("serves");  // the page's line; empty: none
  QTest::newRow("no password") << QByteArray("[Web]\nPort=8080\n") << 0 << "Web on 127.0.0.1:8080, no password";
  QTest::newRow("a password") << QByteArray("[Web]\nPort=8080\nPasswordFile=%1\n") << 0 << "Web on 127.0.0.1:8080, password from %1";
  QTest::newRow("the port of this run") << QByteArray("[Web]\nPasswordFile=%1\n") << 8090 << "Web on 127.0.0.1:8090, password from %1";
  QTest::newRow("off") << QByteArray("[Web]\nPasswordFile=%1\n") << 0 << "";
}

void TestBridgeSettings::checkSaysWhetherThePageAsksAPassword() {
  QFETCH(QByteArray, section);
  QFETCH(int, runPort);
  QFETCH(QString, serves);
  QTemporaryDir dir;
  const QString password = dir.filePath("web.password");
  QFile f(password);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("secret\n");
  f.close();
  Settings s("[Bridge]\nLink=TCP 127.0.0.1\n" + QString::fromUtf8(section).arg(password).toUtf8());
  engine::ServiceRun run;
  run.webPort = runPort;
  const bridge::Check c = bridge::CheckSettings(QStringLiteral("Switcher.ini"), run);
  QVERIFY2(c.errors.isEmpty(), qPrintable(c.errors.join('\n')));
  const QStringList web = c.serves.filter(QStringLiteral("Web"));
  QCOMPARE(web, serves.isEmpty() ? QStringList() : QStringList{serves.arg(password)});
}


// Bridges of one machine: /etc/switcher-bridge (the plain unit's) holding the instances'
// folders. "main" is checked, against one other bridge's settings.
void TestBridgeSettings::checkAcrossBridges_data() {
  QTest::addColumn<QByteArray>("mine");
  QTest::addColumn<QString>("other");  // "plain", or the other instance's folder name
  QTest::addColumn<QByteArray>("theirs");
  QTest::addColumn<bool>("asInstance");  // main checked as an instance, else as the plain unit
  QTest::addColumn<QString>("error");    // the one error expected; empty: none
  QTest::addColumn<QString>("warning");  // the one warning expected; empty: none
  const QByteArray gw = "[Bridge]\nLink=TCP 10.0.0.1\n[Gateway]\nPort=8888\n";
  QTest::newRow("same port, same address") << gw << "monitors" << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[Panel]\nPort=8888\n") << true
      << "Gateway: Port=8888 is the Panel port of instance monitors too" << "";
  QTest::newRow("same port, theirs on every address")
      << gw << "monitors" << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[Web]\nPort=8888\nBind=0.0.0.0\nAllow=10.0.0.0/8\n") << true
      << "Gateway: Port=8888 is the Web port of instance monitors" << "";
  QTest::newRow("same port, other addresses") << gw << "monitors"
      << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[Gateway]\nPort=8888\nBind=127.0.0.2\n") << true << "" << "";
  QTest::newRow("other ports") << gw << "monitors" << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[Gateway]\nPort=8889\n") << true << "" << "";
  QTest::newRow("the plain unit's: a warning") << gw << "plain" << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[Gateway]\nPort=8888\n")
      << true << "" << "Gateway: Port=8888 is the Gateway port of switcher-bridge.service too";
  QTest::newRow("checked as the plain unit: a warning") << gw << "monitors"
      << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[Gateway]\nPort=8888\n") << false << ""
      << "Gateway: Port=8888 is the Gateway port of instance monitors too";
  QTest::newRow("one switcher, spelt in another case") << gw << "monitors" << QByteArray("[Bridge]\nLink=tcp 10.0.0.1:8888\n") << true
      << "[Bridge] Link: TCP 10.0.0.1:8888 is the switcher of instance monitors" << "";
  QTest::newRow("one serial device") << QByteArray("[Bridge]\nLink=/dev/null\n") << "monitors" << QByteArray("[Bridge]\nLink=/dev/null\n")
      << true << "[Bridge] Link: /dev/null is the switcher of instance monitors" << "";
  const QByteArray mqtt = "[Bridge]\nLink=TCP 10.0.0.1\n[MQTT]\nHost=broker\n";
  QTest::newRow("one MQTT name on one broker") << mqtt << "monitors" << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[MQTT]\nHost=Broker\nPort=1883\n")
      << true << "[MQTT] Id: switcher/switcher on broker:1883 is the MQTT name of instance monitors" << "";
  QTest::newRow("one MQTT name on another broker") << mqtt << "monitors"
      << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[MQTT]\nHost=broker\nPort=1884\n") << true << "" << "";
  QTest::newRow("MQTT Ids of their own") << mqtt << "monitors" << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[MQTT]\nHost=broker\nId=monitors\n")
      << true << "" << "";
  QTest::newRow("MQTT off there") << mqtt << "monitors" << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[MQTT]\nId=switcher\n") << true << "" << "";
  QTest::newRow("a folder no instance can have") << gw << "old.d" << QByteArray("[Bridge]\nLink=TCP 10.0.0.2\n[Gateway]\nPort=8888\n")
      << true << "" << "";
}

void TestBridgeSettings::checkAcrossBridges() {
  QFETCH(QByteArray, mine);
  QFETCH(QString, other);
  QFETCH(QByteArray, theirs);
  QFETCH(bool, asInstance);
  QFETCH(QString, error);
  QFETCH(QString, warning);
  QTemporaryDir etc;
  const auto write = [&](const QString& folder, const QByteArray& ini) {
    QVERIFY(QDir(etc.path()).mkpath(folder));
    QFile f(QDir(etc.filePath(folder)).filePath("Switcher.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(ini);
  };
  // Checked as an instance, main is /etc/switcher-bridge/main; as the plain unit, the folder above.
  const QString own = asInstance ? etc.filePath("main") : etc.path();
  write(asInstance ? "main" : ".", mine);
  write(other == "plain" ? "." : other, theirs);
  qputenv("SWITCHER_CONFIG_DIR", QFile::encodeName(own));
  const bridge::Check mineChecked = bridge::CheckSettings(QDir(own).filePath("Switcher.ini"));
  QCOMPARE(mineChecked.errors, QStringList());
  const bridge::Check c = bridge::CheckAcrossBridges(own, asInstance, mineChecked);
  QCOMPARE(c.errors.size(), error.isEmpty() ? 0 : 1);
  if (!error.isEmpty()) QVERIFY2(c.errors[0].startsWith(error), qPrintable(c.errors[0]));
  QCOMPARE(c.warnings.size(), warning.isEmpty() ? 0 : 1);
  if (!warning.isEmpty()) QVERIFY2(c.warnings[0].startsWith(warning), qPrintable(c.warnings[0]));
}

void TestBridgeSettings::instanceNames_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<bool>("valid");
  QTest::newRow("letters, digits, - and _") << "Main-2_b" << true;
  QTest::newRow("a dot") << "main.v2" << false;
  QTest::newRow("the plain unit's log folder") << "log" << false;
  QTest::newRow("empty") << "" << false;
  QTest::newRow("a path") << "a/b" << false;
  QTest::newRow("not ASCII") << QString::fromUtf8("régie") << false;
  QTest::newRow("64 characters") << QString(64, 'a') << true;
  QTest::newRow("65 characters") << QString(65, 'a') << false;
}

void TestBridgeSettings::instanceNames() {
  QFETCH(QString, name);
  QFETCH(bool, valid);
  QCOMPARE(bridge::ValidInstanceName(name), valid);
}

QTEST_GUILESS_MAIN(TestBridgeSettings)
#include "tst_bridgesettings.moc"
