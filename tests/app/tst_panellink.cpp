// Router panels on the real window, with the simulator behind it: the prelude from the
// simulator's routing and Names.ini, a route seen by two panels once applied, labels, locks
// released on disconnect, the device while the link is down or identifying, start errors.

#include <QtTest>
#include <QtWidgets>

#include "Memo.h"
#include "FreePort.h"
#include "Names.h"
#include "RoutingView.h"
#include "ServiceStatus.h"
#include "TestSupport.h"
#include "Widgets.h"

namespace {
constexpr int kWaitMs = 10000;
constexpr char kEnd[] = "END PRELUDE:\n\n";

// A panel: everything it received, and what of it the test has looked at.
struct Panel {
  explicit Panel(quint16 port) {
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { got += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, port);
  }
  void send(const QByteArray& block) {
    socket.write(block + "\n");
    socket.flush();
  }
  // Waits until text has come after what was taken before; takes everything up to its end.
  bool take(const QByteArray& text) {
    const bool ok = QTest::qWaitFor([&] { return got.indexOf(text, from) >= 0; }, kWaitMs);
    if (ok) from = got.indexOf(text, from) + text.size();
    return ok;
  }
  QTcpSocket socket;
  QByteArray got;
  qsizetype from = 0;
};

void writeNames(const QByteArray& text) {
  QDir().mkpath(platform::configDir());
  QFile f(platform::profilePath(names::kNamesFile));
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(text);
}
}  // namespace

class TestPanelLink : public QObject {
  Q_OBJECT
 private slots:
  void init() { prompts.install(); }
  void cleanup() {
    DestroyForms();
    QFile::remove(platform::profilePath(names::kNamesFile));
    QVERIFY2(prompts.unexpected.isEmpty(), qPrintable(prompts.unexpected.join('\n')));
  }
  void preludeRouteLabelsLocks();
  void deviceFollowsLinkAndIdentification();
  void nonSquareSwitcher();
  void startErrors_data();
  void startErrors();

 private:
  FakePrompts prompts{FakePrompts::Mode::Scripted};
};

void TestPanelLink::preludeRouteLabelsLocks() {
  SimPtySwitcher sw;
  QVERIFY(sw.ok());
  sw.core.execute("7B3.");
  writeNames("[Inputs]\n5=Camera 5\n[Outputs]\n12=Projector\n");
  const quint16 port = freePort();
  writeSwitcherIni(QStringLiteral("[Panel]\nPort=%1\n").arg(port), {sw.slavePath});
  CreateForms();
  QVERIFY(QSignalSpy(MainForm, &TMainForm::identificationFinished).wait(kWaitMs));
  QTRY_COMPARE_WITH_TIMEOUT(MainForm->OutPort[256]->caption(), QString("256"), kWaitMs);

  Panel a(port), b(port);
  QVERIFY(a.take(kEnd));
  QVERIFY(b.take(kEnd));
  QTRY_COMPARE(ServiceStatus(*MainForm, "Panel"), QStringLiteral("Panel: listening on 127.0.0.1:%1, 2 clients").arg(port));
  QVERIFY(a.got.startsWith("PROTOCOL PREAMBLE:\nVersion: 2.8\n\nVIDEOHUB DEVICE:\nDevice present: true\n"
                           "Model name: MATRIX 256X256\n"));
  QVERIFY(a.got.contains("Video inputs: 256\n"));
  QVERIFY(a.got.contains("\n3 Input 4\n4 Camera 5\n5 Input 6\n"));
  QVERIFY(a.got.contains("\n11 Projector\n"));
  QVERIFY(a.got.contains("VIDEO OUTPUT ROUTING:\n0 0\n1 1\n2 6\n3 3\n"));
  QVERIFY(a.got.contains("VIDEO OUTPUT LOCKS:\n0 U\n"));

  // A route from a: both see it once the simulator applied it.
  a.send("VIDEO OUTPUT ROUTING:\n11 4\n");
  QVERIFY(a.take("ACK\n\n"));
  QVERIFY(b.take("VIDEO OUTPUT ROUTING:\n11 4\n\n"));
  QVERIFY(a.take("VIDEO OUTPUT ROUTING:\n11 4\n\n"));
  QCOMPARE(sw.core.route(12), (sim::SwitcherCore::Route{5, 5}));
  QTRY_COMPARE(MainForm->OutPort[12]->caption(), QString("5"));
  QVERIFY(sw.commands.contains("5B12."));
  // A route made on the switcher's own front panel reaches every panel too.
  sw.send(" A/V : 009 > 003\r\n");
  QVERIFY(a.take("VIDEO OUTPUT ROUTING:\n2 8\n\n"));
  QVERIFY(b.take("VIDEO OUTPUT ROUTING:\n2 8\n\n"));

  // Labels: stored in Names.ini and sent to every panel.
  b.send("OUTPUT LABELS:\n0 Stage left\n");
  QVERIFY(b.take("ACK\n\n"));
  QVERIFY(a.take("OUTPUT LABELS:\n0 Stage left\n\n"));
  QCOMPARE(names::Names::load().name(names::Kind::Output, 1), QString("Stage left"));
  b.send("OUTPUT LABELS:\n1 Bad\tname\n");
  QVERIFY(b.take("NAK\n\n"));

  // Locks: a takes output 1; b may not route it; a goes, its lock with it.
  a.send("VIDEO OUTPUT LOCKS:\n0 O\n");
  QVERIFY(a.take("ACK\n\nVIDEO OUTPUT LOCKS:\n0 O\n\n"));
  QVERIFY(b.take("VIDEO OUTPUT LOCKS:\n0 L\n\n"));
  b.send("VIDEO OUTPUT ROUTING:\n0 9\n");
  QVERIFY(b.take("NAK\n\n"));
  b.send("PING:\n");
  QVERIFY(b.take("ACK\n\n"));
  a.socket.disconnectFromHost();
  QVERIFY(b.take("VIDEO OUTPUT LOCKS:\n0 U\n\n"));
  QCOMPARE(sw.core.route(1), (sim::SwitcherCore::Route{1, 1}));
}

void TestPanelLink::deviceFollowsLinkAndIdentification() {
  SimTcpSwitcher sw;
  const quint16 port = freePort();
  QVERIFY(startOnTcp(sw, QStringLiteral("[Panel]\nPort=%1\nOutputs=4\n").arg(port)));
  Panel p(port);
  // Connected, not identified (the first TCP/IP connect asks nothing): present, and routes go.
  QVERIFY(p.take("VIDEOHUB DEVICE:\nDevice present: true\n"));
  QVERIFY(p.take("END PRELUDE:\n\n"));
  const auto linesBefore = MainForm->LinesHandled;
  p.send("VIDEO OUTPUT ROUTING:\n0 1\n");
  QVERIFY(p.take("ACK\n\n"));
  QTRY_VERIFY(sw.commands.contains("2B1."));
  QTRY_VERIFY(MainForm->LinesHandled > linesBefore);  // its report, before the identification
  sw.commands.clear();
  MainForm->ButtonUpdateClick();
  QVERIFY(p.take("VIDEOHUB DEVICE:\nDevice present: true\nModel name: MATRIX 256X256\n"));
  QVERIFY(p.take("Video outputs: 4\n"));
  QVERIFY(p.take("OUTPUT LABELS:\n0 Output 1\n1 Output 2\n2 Output 3\n3 Output 4\n\n"));
  MainForm->ButtonCloseComClick();
  QVERIFY(p.take("VIDEOHUB DEVICE:\nDevice present: false\n\n"));
  p.send("VIDEO OUTPUT ROUTING:\n0 1\n");
  QVERIFY(p.take("NAK\n\n"));
  QVERIFY(!sw.commands.contains("2B1."));
}

void TestPanelLink::nonSquareSwitcher() {
  SimTcpSwitcher sw;
  sw.core = sim::SwitcherCore(8, 4);
  const quint16 port = freePort();
  QVERIFY(startOnTcp(sw, QStringLiteral("[Panel]\nPort=%1\n").arg(port)));
  MainForm->ButtonUpdateClick();
  Panel p(port);
  QVERIFY(p.take("Model name: MATRIX 8X4\n"));
  QVERIFY(p.take("Video inputs: 8\nVideo processing units: 0\nVideo outputs: 4\n"));
  QVERIFY(p.take("INPUT LABELS:\n0 Input 1\n1 Input 2\n2 Input 3\n3 Input 4\n4 Input 5\n5 Input 6\n6 Input 7\n7 Input 8\n\n"));
  QVERIFY(p.take("OUTPUT LABELS:\n0 Output 1\n1 Output 2\n2 Output 3\n3 Output 4\n\n"));
  QVERIFY(p.take(kEnd));
  p.send("VIDEO OUTPUT ROUTING:\n4 1\n");  // there is no output 5
  QVERIFY(p.take("NAK\n\n"));
  p.send("VIDEO OUTPUT ROUTING:\n3 7\n");
  QVERIFY(p.take("ACK\n\nVIDEO OUTPUT ROUTING:\n3 7\n\n"));
  QVERIFY(sw.commands.contains("8B4."));
}

void TestPanelLink::startErrors_data() {
  QTest::addColumn<QString>("panel");
  QTest::addColumn<QString>("box");
  QTest::newRow("bad Signal") << QString("Signal=X\n") << QString("Panel: Signal=X must be B (video and audio) or V (video only).");
  QTest::newRow("port that is no whole number")
      << QString("Port=19e3\n") << QString("Panel: Port=19e3 in Switcher.ini is not a whole number from 1 to 65535.");
  QTest::newRow("too many outputs") << QString("Outputs=300\n") << QString("Panel: Outputs=300 must be 0 (from the switcher) to 256.");
  QTest::newRow("open bind without Allow")
      << QString("Bind=0.0.0.0\n")
      << QString("Panel: Bind=0.0.0.0 is not a loopback address, so Allow must name the clients that may connect "
                 "(for example Allow=192.168.1.0/24).");
}

void TestPanelLink::startErrors() {
  QFETCH(QString, panel);
  QFETCH(QString, box);
  const QString port = panel.startsWith("Port=") ? QString() : QStringLiteral("Port=%1\n").arg(freePort());
  writeSwitcherIni("[Panel]\n" + port + panel);
  prompts.expect(box, "Error");
  CreateForms();
  QTRY_COMPARE(prompts.count(), 1);
  QCOMPARE(ServiceStatus(*MainForm, "Panel"), QString("Panel: not started"));
  QVERIFY(!MainForm->findChild<QObject*>("Panel"));
}

QTEST_MAIN(TestPanelLink)
#include "tst_panellink.moc"
