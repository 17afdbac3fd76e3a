// Benchmark of the auto switching sequence on the real main window against switcher-sim
// over loopback TCP: route steps per second sent by the console and applied by the
// simulator (each applied route comes back as its route report), and the console's CPU
// share while it runs. A delay of 1 ms is the shortest that steps at all (0 never fires).
// Usage: bench_auto [seconds per delay]   (runs headless; needs no display)
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>

#include "Prompts.h"
#include "Unit1.h"

namespace {
constexpr int kDefaultSeconds = 5;
constexpr int kDelaysMs[] = {1, 5, 20, 300};
constexpr int kDrainMs = 2000;

double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void runFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("SWITCHER_CONFIG_DIR", config.path().toLocal8Bit());
  // The session log writes as in use, into the run's own folder.
  qputenv("SWITCHER_LOG_DIR", config.filePath("log").toLocal8Bit());
  QApplication app(argc, argv);
  const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultSeconds;

  QProcess sim;
  sim.start(SC_SIM_PATH, {"--port", "0", "--quiet"});
  if (!sim.waitForReadyRead(5000)) {
    std::fprintf(stderr, "switcher-sim did not start\n");
    return 1;
  }
  const QByteArray first = sim.readLine().trimmed();  // "TCP 127.0.0.1:<port>"
  qputenv(kTcpPortEnv, first.mid(first.lastIndexOf(':') + 1));
  {
    QFile ini(config.filePath("Switcher.ini"));
    if (!ini.open(QIODevice::WriteOnly)) return 1;
    ini.write("[TCP]\nConnect=1\nIP=127.0.0.1\n[COM]\nCOM1=/nonexistent\nCOM2=/nonexistent\n"
              "COM3=/nonexistent\nCOM4=/nonexistent\n");
  }
  CreateForms();
  MainForm->show();
  MainForm->PageControl->setCurrentWidget(MainForm->dxTabSheetAuto);
  while (!MainForm->socketActive()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

  std::uint64_t ticks = 0;
  QObject::connect(MainForm->AutoTimer, &QTimer::timeout, MainForm, [&] { ++ticks; });
  std::printf("auto sequence, inputs 1-16 to outputs 1-256 (AV), %d s per delay, switcher-sim over "
              "loopback TCP\n",
              seconds);
  for (int delay : kDelaysMs) {
    MainForm->InputFrom->setText("1");
    MainForm->InputTo->setText("16");
    MainForm->MaskEdit3->setText("1");
    MainForm->MaskEdit4->setText("256");
    MainForm->DelayTime->setText(QString::number(delay));
    const std::uint64_t ticks0 = ticks;
    const std::uint64_t lines0 = MainForm->LinesHandled;
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    MainForm->Button4->click();
    runFor(seconds * 1000);
    MainForm->Button5->click();
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const std::uint64_t sent = ticks - ticks0;
    QElapsedTimer drain;
    drain.start();
    while (MainForm->LinesHandled - lines0 < sent && drain.elapsed() < kDrainMs)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const std::uint64_t applied = MainForm->LinesHandled - lines0;
    std::printf("  delay %3d ms: %6.1f steps/s sent, %6.1f steps/s applied (%llu of %llu), "
                "console CPU %5.1f %% of one core\n",
                delay, double(sent) / elapsed, double(applied) / elapsed,
                static_cast<unsigned long long>(applied), static_cast<unsigned long long>(sent),
                100.0 * cpu / elapsed);
  }
  DestroyForms();
  sim.terminate();
  sim.waitForFinished(2000);
  return 0;
}
