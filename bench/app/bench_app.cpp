// Benchmark of the console's feedback handling on the real main window:
//  1. a 256-output "Status." reply burst over loopback TCP, from the switcher's write until
//     all 256 captions are set (goal: under 5 ms);
//  2. the line handler's throughput (HandleFeedbackLine), and the serial path's per byte.
// Usage: bench_app [bursts]   (runs headless; needs no display)
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "Comthread.h"
#include "Memo.h"
#include "Prompts.h"
#include "SwitcherCore.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
constexpr int kDefaultBursts = 200;
constexpr int kWarmupBursts = 10;
constexpr int kHandlerLines = 200000;
constexpr int kSerialLines = 20000;
constexpr double kGoalMs = 5.0;

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("SWITCHER_CONFIG_DIR", config.path().toLocal8Bit());
  // The session log writes as in use, into the run's own folder.
  qputenv("SWITCHER_LOG_DIR", config.filePath("log").toLocal8Bit());
  QApplication app(argc, argv);
  const int bursts = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultBursts;

  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost, 0)) {
    std::fprintf(stderr, "cannot listen on loopback\n");
    return 1;
  }
  qputenv(kTcpPortEnv, QByteArray::number(server.serverPort()));
  {
    QFile ini(config.filePath("Switcher.ini"));
    if (!ini.open(QIODevice::WriteOnly)) return 1;
    ini.write("[TCP]\nConnect=1\nIP=127.0.0.1\n[COM]\nCOM1=/nonexistent\nCOM2=/nonexistent\n"
              "COM3=/nonexistent\nCOM4=/nonexistent\n");
  }
  // SC_BENCH_NAMES set: every input and output has a name, as at a large site.
  if (qEnvironmentVariableIsSet("SC_BENCH_NAMES")) {
    QFile names(config.filePath("Names.ini"));
    if (!names.open(QIODevice::WriteOnly)) return 1;
    for (const char* kind : {"Inputs", "Outputs"}) {
      names.write(QByteArray("[") + kind + "]\n");
      for (int k = 1; k <= kOutputCount; ++k)
        names.write(QByteArray::number(k) + '=' + kind + " name " + QByteArray::number(k) + '\n');
    }
  }
  CreateForms();
  MainForm->show();
  while (!server.hasPendingConnections() || !MainForm->socketActive())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  QTcpSocket* peer = server.nextPendingConnection();

  sim::SwitcherCore core;
  // Two full status replies with different inputs, so that every burst changes every caption.
  const QByteArray replyA = core.execute("Status.");
  core.execute("9All.");
  const QByteArray replyB = core.execute("Status.");

  MainForm->ReplyTarget = 7;
  std::vector<double> ms;
  std::vector<double> msWithLog;
  for (int i = 0; i < bursts + kWarmupBursts; ++i) {
    const QByteArray& reply = (i % 2) ? replyB : replyA;
    const QString last = (i % 2) ? "9" : "256";
    const std::uint64_t target = MainForm->LinesHandled + kOutputCount;
    QElapsedTimer t;
    t.start();
    peer->write(reply);
    peer->flush();
    while (MainForm->LinesHandled < target)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double elapsed = double(t.nsecsElapsed()) / 1e6;
    // The receive log takes the burst's lines on the next loop pass; count that too.
    MainForm->Memo6->flushPending();
    const double withLog = double(t.nsecsElapsed()) / 1e6;
    if (MainForm->OutPort[kOutputCount]->caption() != last) {
      std::fprintf(stderr, "burst %d: caption of output 256 is wrong\n", i);
      return 1;
    }
    if (i >= kWarmupBursts) {
      ms.push_back(elapsed);
      msWithLog.push_back(withLog);
    }
    // Let the window repaint between bursts as it would in use.
    QCoreApplication::processEvents();
  }
  double sum = 0;
  for (double v : ms) sum += v;
  std::printf("status burst over TCP (256 lines, %d bursts): mean %.3f ms, median %.3f ms, "
              "p95 %.3f ms, max %.3f ms  (goal < %.1f ms: %s)\n",
              int(ms.size()), sum / double(ms.size()), percentile(ms, 0.5), percentile(ms, 0.95),
              *std::max_element(ms.begin(), ms.end()), kGoalMs,
              percentile(ms, 0.5) < kGoalMs ? "met" : "NOT met");

  std::printf("  including the 256 lines in the receive log: median %.3f ms, p95 %.3f ms\n",
              percentile(msWithLog, 0.5), percentile(msWithLog, 0.95));

  // The line handler alone, with the receive log brought up to date every 256 lines.
  std::vector<QByteArray> lines;
  for (int n = 1; n <= kOutputCount; ++n)
    lines.push_back(sim::SwitcherCore::routeReport(n, {n % 200, n % 200}).chopped(2));
  QElapsedTimer t;
  t.start();
  for (int i = 0; i < kHandlerLines; ++i) {
    MainForm->HandleFeedbackLine(lines[size_t(i) % lines.size()]);
    if (i % kOutputCount == kOutputCount - 1) MainForm->Memo6->flushPending();
  }
  const double handlerSec = double(t.nsecsElapsed()) / 1e9;
  std::printf("HandleFeedbackLine: %d lines in %.3f s = %.0f lines/s (%.2f us/line)\n", kHandlerLines,
              handlerSec, kHandlerLines / handlerSec, handlerSec * 1e6 / kHandlerLines);

  // The serial hand-over: one posted event per byte.
  QByteArray serialBytes;
  for (int i = 0; i < kSerialLines; ++i) serialBytes += lines[size_t(i) % lines.size()] + "\r\n";
  t.restart();
  for (char c : serialBytes) QCoreApplication::postEvent(MainForm, new SerialByteEvent(std::uint8_t(c)));
  QCoreApplication::sendPostedEvents(MainForm, WM_SERIALBYTE);
  MainForm->Memo6->flushPending();
  const double serialSec = double(t.nsecsElapsed()) / 1e9;
  std::printf("serial path: %d bytes (%d lines) in %.3f s = %.1f MB/s\n", int(serialBytes.size()),
              kSerialLines, serialSec, serialBytes.size() / serialSec / 1e6);

  DestroyForms();
  return 0;
}
