// ComPort and its monitor thread on real pseudo-terminals standing in for COM1.
#include "Com.h"
#include "Comthread.h"
#include "FakePrompts.h"
#include "Ini.h"
#include "Prompts.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kBaud = 9600;
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
constexpr int kTimeoutMs = 5000;

class Receiver : public QObject {
 public:
  QByteArray bytes;
  bool event(QEvent* e) override {
    if (e->type() != WM_SERIALBYTE) return QObject::event(e);
    bytes.append(char(static_cast<SerialByteEvent*>(e)->byte));
    return true;
  }
};

QString serialErrorText(const char* what, int error) {
  return QLatin1Char('"') + QString::fromUtf8(what) +
         QStringLiteral("\" 由于以下错误而失败: \n\n") + QString::fromLocal8Bit(std::strerror(error));
}

QByteArray allByteValues() {
  QByteArray b;
  for (int i = 0; i < 256; ++i) b.append(char(i));
  return b;
}

// Child process of exitWhileMonitoring(): leaves main() without closing the port while the
// monitor thread is busy posting bytes.
int exitWhileMonitoring(int argc, char** argv, int masterFd) {
  QCoreApplication app(argc, argv);
  struct FirstByteQuits : QObject {
    bool event(QEvent* e) override {
      if (e->type() == WM_SERIALBYTE) QCoreApplication::quit();
      return QObject::event(e);
    }
  } window;
  // Static: a leak checker sees it as still in use, as it is for the running thread.
  static ComPort* port = new ComPort;
  if (!port->Open(&window, 1, kBaud, 'N', kDataBits, kStopBits, EV_RXCHAR)) return 2;
  port->StartMonitor();
  const QByteArray data = allByteValues().repeated(256);
  if (::write(masterFd, data.constData(), size_t(data.size())) <= 0) return 3;
  return app.exec();  // the port is deliberately never closed
}

}  // namespace

class TstComPort : public QObject {
  Q_OBJECT

  FakePrompts fake;
  int master = -1;
  QString slavePath;
  QList<ComPort*> open;  // closed by cleanup() if a test stopped early

  void pointCom1At(const QString& path) {
    QVERIFY(platform::WritePrivateProfileString("COM", "COM1", QFile::encodeName(path),
                                                QStringLiteral("Switcher.ini")));
  }
  ComPort* openCom1(QObject* window, std::uint32_t mask = EV_RXCHAR) {
    auto* port = new ComPort;
    if (!port->Open(window, 1, kBaud, 'N', kDataBits, kStopBits, mask)) {
      port->Close();
      return nullptr;
    }
    open.append(port);
    return port;
  }
  void close(ComPort* port) {
    open.removeOne(port);
    port->Close();
  }
  bool writeMaster(const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(master, data.constData() + done, size_t(data.size() - done));
      if (n <= 0) return false;
      done += n;
    }
    return true;
  }
  QByteArray readMaster() {
    QByteArray out;
    char buf[512];
    for (;;) {
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) return out;
      out.append(buf, n);
    }
  }

 private slots:
  void initTestCase() { platform::setPrompts(&fake); }
  void cleanupTestCase() { platform::setPrompts(nullptr); }

  void init() {
    int slave = -1;
    char name[256] = {};
    QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
    ::close(slave);  // the port under test opens it by name
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    slavePath = QString::fromLocal8Bit(name);
    pointCom1At(slavePath);
  }
  void cleanup() {
    fake.onMessage = nullptr;
    for (ComPort* p : std::exchange(open, {})) p->Close();
    QTRY_COMPARE_WITH_TIMEOUT(TComThread::Running(), 0, kTimeoutMs);
    if (master >= 0) ::close(master);
    master = -1;
    const auto left = fake.take();
    for (const auto& p : left) qWarning() << "unexpected prompt:" << p.caption << p.text;
    QVERIFY(left.isEmpty());
    QCOMPARE(fake.offWindowThread.load(), 0);
  }

  void receivedBytesArriveInOrder_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("reply line with CR LF") << QByteArray(" A/V 001->002\r\n");
    QTest::newRow("zero, 0x7f, 0x80 and 0xff") << QByteArray("\x00\x7f\x80\xff\x00", 5);
    QTest::newRow("every value 0 to 255") << allByteValues();
    QTest::newRow("a burst longer than one read") << allByteValues().repeated(12);
  }
  void receivedBytesArriveInOrder() {
    QFETCH(QByteArray, data);
    Receiver window;
    ComPort* port = openCom1(&window);
    QVERIFY(port);
    port->StartMonitor();
    QVERIFY(writeMaster(data));
    QTRY_COMPARE_WITH_TIMEOUT(window.bytes.size(), data.size(), kTimeoutMs);
    QCOMPARE(window.bytes, data);
    close(port);
  }

  // Far more than the window takes between two looks at its queue: nothing is lost and
  // the order holds while the monitor waits for the window to catch up.
  void floodArrivesComplete() {
    Receiver window;
    ComPort* port = openCom1(&window);
    QVERIFY(port);
    port->StartMonitor();
    constexpr int kRepeats = 2048;  // 512 KiB
    const QByteArray data = allByteValues().repeated(kRepeats);
    const int fd = master;
    std::thread writer([fd, &data] {
      qsizetype done = 0;
      while (done < data.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, kTimeoutMs) != 1) return;
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno != EAGAIN) return;
        if (n > 0) done += n;
      }
    });
    const auto joinWriter = qScopeGuard([&writer] { writer.join(); });
    QTRY_COMPARE_WITH_TIMEOUT(window.bytes.size(), data.size(), 10 * kTimeoutMs);
    QVERIFY(window.bytes == data);
    close(port);
  }

  void commandLeavesByteByByte_data() {
    QTest::addColumn<QByteArray>("command");
    QTest::newRow("route command") << QByteArray("1V2,3,4.");
    QTest::newRow("every value 0 to 255") << allByteValues();
  }
  void commandLeavesByteByByte() {
    QFETCH(QByteArray, command);
    Receiver window;
    ComPort* port = openCom1(&window);
    QVERIFY(port);
    port->StartMonitor();
    for (char c : command) QVERIFY(port->WriteByte(std::uint8_t(c)));
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT((got += readMaster()).size(), command.size(), kTimeoutMs);
    QCOMPARE(got, command);
    close(port);
  }

  // Replies that came in while a command is being written, and that the monitor has not
  // read yet, are still there after the writes.
  void writingKeepsUnreadInput() {
    // A second descriptor of our own shows the input queue; opened before the port
    // makes the device exclusive.
    const int probe = ::open(QFile::encodeName(slavePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(probe >= 0);
    auto inputQueued = [probe] {
      int n = -1;
      return ::ioctl(probe, TIOCINQ, &n) == 0 ? n : -1;
    };
    Receiver window;
    ComPort* port = openCom1(&window);  // not started: nobody reads
    QVERIFY(port);
    QVERIFY(writeMaster("OK\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(inputQueued(), 4, kTimeoutMs);
    for (char c : QByteArray("Status.")) QVERIFY(port->WriteByte(std::uint8_t(c)));
    QCOMPARE(inputQueued(), 4);
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT(got += readMaster(), QByteArray("Status."), kTimeoutMs);
    close(port);
    ::close(probe);
  }

  // A peer that stops taking bytes costs one time-out, not one per byte; once it takes
  // bytes again, writing goes on.
  void stalledDeviceFailsFastThenRecovers() {
    Receiver window;
    ComPort* port = openCom1(&window);
    QVERIFY(port);
    constexpr int kMaxFill = 1 << 22;  // far more than any pseudo-terminal buffers
    int written = 0;
    while (written < kMaxFill && port->WriteByte('f')) ++written;
    QVERIFY2(written < kMaxFill, "the device never filled up");
    QVERIFY(!port->WriteByte('g'));
    QByteArray drained;
    QTRY_VERIFY_WITH_TIMEOUT((drained += readMaster()).size() >= written, kTimeoutMs);
    QVERIFY(drained.count('f') == drained.size());
    QVERIFY(port->WriteByte('!'));
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += readMaster()).endsWith('!'), kTimeoutMs);
    QCOMPARE(got.count('g'), 0);
    close(port);
  }

  void lineSettings() {
    Receiver window;
    ComPort* port = openCom1(&window);
    QVERIFY(port);
    termios t{};
    QVERIFY(::tcgetattr(master, &t) == 0);  // a master reports its slave's settings
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(cfgetispeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    QCOMPARE(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), tcflag_t(0));
    QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    close(port);
  }

  void openRejected_data() {
    QTest::addColumn<bool>("withWindow");
    QTest::addColumn<uint>("portNumber");
    QTest::addColumn<QString>("text");
    QTest::newRow("port 0") << true << 0u
                            << QStringLiteral("无法打开串口COM0,串口号只能是COM1、COM2、COM3或COM4中的一个.");
    QTest::newRow("port 5") << true << 5u
                            << QStringLiteral("无法打开串口COM5,串口号只能是COM1、COM2、COM3或COM4中的一个.");
    QTest::newRow("port -1 passed as unsigned") << true << 0xFFFFFFFFu
                                                << QStringLiteral("无法打开串口COM-1,串口号只能是COM1、COM2、COM3或COM4中的一个.");
    QTest::newRow("no window") << false << 1u
                               << QStringLiteral("串口的父窗口无效，串口监控线程无法正常工作.");
  }
  void openRejected() {
    QFETCH(bool, withWindow);
    QFETCH(uint, portNumber);
    QFETCH(QString, text);
    Receiver window;
    auto* port = new ComPort;
    QVERIFY(!port->Open(withWindow ? &window : nullptr, portNumber, kBaud, 'N', kDataBits,
                        kStopBits, EV_RXCHAR));
    port->Close();
    const auto shown = fake.take();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].text, text);
    QCOMPARE(shown[0].caption, QStringLiteral("错误"));
    QCOMPARE(shown[0].icon, platform::Icon::Stop);
    QCOMPARE(TComThread::Running(), 0);
    // The device was left alone: COM1 is still free.
    ComPort* other = openCom1(&window);
    QVERIFY(other);
    close(other);
  }

  void missingDeviceFailsSilently() {
    pointCom1At(QStringLiteral("/nonexistent/ttyX"));
    Receiver window;
    QVERIFY(!openCom1(&window));
    QCOMPARE(fake.count(), 0);
  }

  void configurationFailureIsReportedAndOpenGoesOn_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("baud");
    QTest::addColumn<char>("parity");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<uint>("mask");
    QTest::addColumn<QString>("text");
    QTest::newRow("not a terminal fails at the time-outs")
        << QStringLiteral("/dev/null") << kBaud << 'N' << kDataBits << uint(EV_RXCHAR)
        << serialErrorText("串口超时参数设置", ENOTTY);
    QTest::newRow("unknown event bit fails at the event mask")
        << QString() << kBaud << 'N' << kDataBits << 0x80000001u
        << serialErrorText("设置串口事件掩码", EINVAL);
    QTest::newRow("unsupported rate fails at building the control block")
        << QString() << 12345 << 'N' << kDataBits << uint(EV_RXCHAR)
        << serialErrorText("建立串口设备控制块", EINVAL);
    QTest::newRow("unknown parity fails at building the control block")
        << QString() << kBaud << 'Q' << kDataBits << uint(EV_RXCHAR)
        << serialErrorText("建立串口设备控制块", EINVAL);
    QTest::newRow("nine data bits fail at building the control block")
        << QString() << kBaud << 'N' << 9 << uint(EV_RXCHAR)
        << serialErrorText("建立串口设备控制块", EINVAL);
  }
  void configurationFailureIsReportedAndOpenGoesOn() {
    QFETCH(QString, device);
    QFETCH(int, baud);
    QFETCH(char, parity);
    QFETCH(int, dataBits);
    QFETCH(uint, mask);
    QFETCH(QString, text);
    if (!device.isEmpty()) pointCom1At(device);
    termios before{};
    QVERIFY(::tcgetattr(master, &before) == 0);
    Receiver window;
    auto* port = new ComPort;
    QVERIFY(port->Open(&window, 1, baud, parity, dataBits, kStopBits, mask));
    const auto shown = fake.take();
    QCOMPARE(shown.size(), 1);  // the steps after the failing one were skipped
    QCOMPARE(shown[0].text, text);
    QCOMPARE(shown[0].caption, QStringLiteral("串口错误"));
    QCOMPARE(shown[0].icon, platform::Icon::Stop);
    if (device.isEmpty()) {
      termios after{};
      QVERIFY(::tcgetattr(master, &after) == 0);
      QCOMPARE(after.c_lflag, before.c_lflag);  // the line settings were never applied
    }
    port->Close();  // never started: the thread must end all the same
  }

  void secondOpenOfTheSamePortFails() {
    Receiver window;
    ComPort* first = openCom1(&window);
    QVERIFY(first);
    QVERIFY(!openCom1(&window));
    QCOMPARE(fake.count(), 0);
    close(first);
  }

  void reopenRightAfterClose() {
    Receiver oldWindow;
    ComPort* port = openCom1(&oldWindow);
    QVERIFY(port);
    port->StartMonitor();
    close(port);
    Receiver window;
    port = openCom1(&window);
    QVERIFY(port);
    port->StartMonitor();
    QVERIFY(writeMaster("abc"));
    QTRY_COMPARE_WITH_TIMEOUT(window.bytes, QByteArray("abc"), kTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(TComThread::Running(), 1, kTimeoutMs);
    QCOMPARE(oldWindow.bytes, QByteArray());
    close(port);
  }

  // The exclusive claim is a flag of the terminal: if it outlived our close, a device that
  // someone else keeps open (a simulator's pseudo-terminal) could not be opened again.
  void closeGivesUpTheExclusiveClaim_data() {
    QTest::addColumn<bool>("start");
    QTest::newRow("monitor running") << true;
    QTest::newRow("monitor never started") << false;
  }
  void closeGivesUpTheExclusiveClaim() {
    QFETCH(bool, start);
    const int holder = ::open(QFile::encodeName(slavePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(holder >= 0);
    const auto closeHolder = qScopeGuard([holder] { ::close(holder); });
    auto exclusive = [holder] {
      int on = -1;
      return ::ioctl(holder, TIOCGEXCL, &on) == 0 ? on : -1;
    };
    Receiver window;
    ComPort* port = openCom1(&window);
    QVERIFY(port);
    if (start) port->StartMonitor();
    QCOMPARE(exclusive(), 1);
    close(port);
    QCOMPARE(exclusive(), 0);
  }

  void windowDestroyedWithoutClose() {
    auto* window = new Receiver;
    ComPort* port = openCom1(window);
    QVERIFY(port);
    port->StartMonitor();
    delete window;
    QVERIFY(writeMaster("late bytes go nowhere"));
    // A read that went on would need the master to drain; reading back proves nothing, so
    // check the port still works for writing and closes cleanly.
    QVERIFY(port->WriteByte('z'));
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT(got += readMaster(), QByteArray("z"), kTimeoutMs);
    close(port);
  }

  // The process may end while a monitor thread still runs (the window was never closed).
  void exitWhileMonitoring() {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TST_COMPORT_CHILD_MASTER"), QString::number(master));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(kTimeoutMs));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
  }

  void vanishedDeviceIsReportedOnce() {
    Receiver window;
    ComPort* port = openCom1(&window);
    QVERIFY(port);
    port->StartMonitor();
    ::close(master);
    master = -1;
    QTRY_COMPARE_WITH_TIMEOUT(TComThread::Running(), 0, kTimeoutMs);
    QCoreApplication::processEvents();
    const auto shown = fake.take();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].text, serialErrorText("等待串口事件", EIO));
    QCOMPARE(shown[0].caption, QStringLiteral("串口错误"));
    QCOMPARE(shown[0].icon, platform::Icon::Stop);
    QVERIFY(!port->WriteByte('x'));  // fails quietly; the caller goes on
    QCOMPARE(fake.count(), 0);
    close(port);
  }

  void closeWhileThreadBoxIsOpen() {
    Receiver window;
    ComPort* port = openCom1(&window);
    QVERIFY(port);
    port->StartMonitor();
    bool threadEndedWhileBoxOpen = false;
    fake.onMessage = [&] {
      // The operator leaves the box open; meanwhile the window goes away.
      close(port);
      threadEndedWhileBoxOpen = QTest::qWaitFor([] { return TComThread::Running() == 0; }, kTimeoutMs);
    };
    ::close(master);
    master = -1;
    QTRY_COMPARE_WITH_TIMEOUT(fake.count(), 1, kTimeoutMs);
    QVERIFY(threadEndedWhileBoxOpen);
    fake.take();
  }
};

int main(int argc, char** argv) {
  const QByteArray childMaster = qgetenv("TST_COMPORT_CHILD_MASTER");
  if (!childMaster.isEmpty()) return exitWhileMonitoring(argc, argv, childMaster.toInt());
  QCoreApplication app(argc, argv);
  // Run by hand, outside CTest: the COM1 entries must not land in the operator's settings.
  QTemporaryDir ownConfig;
  if (qEnvironmentVariableIsEmpty("SWITCHER_CONFIG_DIR")) {
    if (!ownConfig.isValid()) return 1;
    qputenv("SWITCHER_CONFIG_DIR", QFile::encodeName(ownConfig.path()));
  }
  TstComPort test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&test, argc, argv);
}
#include "tst_comport.moc"
