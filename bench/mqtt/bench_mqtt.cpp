// Benchmark of the MQTT bridge, with switcher-sim behind the console on a pseudo-terminal
// (COM1) and a real mosquitto on loopback, in one run:
//  1. an MQTT output/12/video/set to the retained output/12/video update seen by a
//     subscriber: median and p95;
//  2. "NAll." on the command topic, and the 256-line status burst after it, to all 512
//     retained video/audio updates seen by the subscriber.
// Usage: bench_mqtt [rounds]   (runs headless; needs mosquitto on the PATH)
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mosquitto.h>
#include <mutex>
#include <signal.h>
#include <vector>

#include "Unit1.h"

namespace {
constexpr int kDefaultRounds = 200;
using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

quint16 freePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

// The subscriber: what arrived, counted on libmosquitto's own thread.
struct Watch {
  std::atomic<int> video12{-1};
  std::atomic<int> updates{0};  // output/N/video and output/N/audio since reset
  std::atomic<bool> ready{false};
};

void runUntil(const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!done() && Clock::now() < deadline) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("SWITCHER_CONFIG_DIR", config.path().toLocal8Bit());
  qputenv("SWITCHER_LOG_DIR", config.filePath("log").toLocal8Bit());
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultRounds;

  const quint16 port = freePort();
  QFile conf(config.filePath("mosquitto.conf"));
  conf.open(QIODevice::WriteOnly);
  conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n").arg(port).toLatin1());
  conf.close();
  QProcess broker, sim;
  broker.start("mosquitto", {"-c", conf.fileName()});
  sim.start(SC_SIM_PATH, {"--pty", "--quiet"});
  if (!broker.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
    std::fprintf(stderr, "mosquitto or switcher-sim did not start\n");
    return 1;
  }
  const QByteArray pty = sim.readLine().trimmed().mid(4);
  for (int i = 0; i < 100; ++i) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (s.waitForConnected(100)) break;
  }

  QFile ini(config.filePath("Switcher.ini"));
  ini.open(QIODevice::WriteOnly);
  ini.write("[COM]\nCOM1=" + pty + "\nCOM2=/nonexistent\nCOM3=/nonexistent\nCOM4=/nonexistent\n[MQTT]\nHost=127.0.0.1\nPort=" +
            QByteArray::number(port) + "\n");
  ini.close();
  CreateForms();
  bool identified = false;
  QObject::connect(MainForm, &TMainForm::identificationFinished, MainForm, [&] { identified = true; });
  runUntil([&] { return identified; });

  Watch watch;
  mosquitto_lib_init();
  mosquitto* sub = mosquitto_new(nullptr, true, &watch);
  mosquitto_message_callback_set(sub, [](mosquitto*, void* w, const mosquitto_message* m) {
    auto* watch = static_cast<Watch*>(w);
    const QByteArray topic(m->topic);
    if (!topic.endsWith("/video") && !topic.endsWith("/audio")) return;
    ++watch->updates;
    if (topic == "switcher/switcher/output/12/video")
      watch->video12 = QByteArray(static_cast<const char*>(m->payload), m->payloadlen).toInt();
  });
  mosquitto_subscribe_callback_set(sub, [](mosquitto*, void* w, int, int, const int*) { static_cast<Watch*>(w)->ready = true; });
  mosquitto_connect_callback_set(sub, [](mosquitto* m, void*, int) { mosquitto_subscribe(m, nullptr, "switcher/switcher/output/#", 1); });
  mosquitto_connect(sub, "127.0.0.1", port, 30);
  mosquitto_loop_start(sub);
  runUntil([&] { return watch.ready.load() && watch.video12 >= 0; });
  auto publish = [&](const char* topic, const QByteArray& payload) {
    mosquitto_publish(sub, nullptr, topic, int(payload.size()), payload.constData(), 0, false);
  };

  // 1. set -> retained update.
  std::vector<double> setMs;
  for (int r = 0; r < rounds; ++r) {
    const int input = 3 + r % 2;
    const auto t = Clock::now();
    publish("switcher/switcher/output/12/video/set", QByteArray::number(input));
    runUntil([&] { return watch.video12 == input; });
    if (watch.video12 != input) {
      std::fprintf(stderr, "no update for round %d\n", r);
      return 1;
    }
    setMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
  }
  std::printf("MQTT output/12/video/set to the retained output/12/video (%d rounds): median %.3f ms, p95 %.3f ms\n",
              rounds, percentile(setMs, 0.5), percentile(setMs, 0.95));

  // 2. 256-line burst -> 512 retained updates.
  std::vector<double> burstMs;
  const int bursts = std::max(5, rounds / 20);
  for (int b = 0; b < bursts; ++b) {
    // "NAll." changes every output; the console's status refresh after it is the burst.
    watch.updates = 0;
    const auto t = Clock::now();
    publish("switcher/switcher/command", QByteArray::number(5 + b % 2) + "All.");
    runUntil([&] { return watch.updates >= 512; });
    if (watch.updates < 512) {
      std::fprintf(stderr, "burst %d: %d updates of 512\n", b, watch.updates.load());
      break;
    }
    burstMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
  }
  if (!burstMs.empty()) std::printf("\"NAll.\" and its 256-line status burst to all 512 retained updates (%d bursts): median %.3f ms, p95 %.3f ms\n",
              bursts, percentile(burstMs, 0.5), percentile(burstMs, 0.95));

  mosquitto_disconnect(sub);
  mosquitto_loop_stop(sub, false);
  mosquitto_destroy(sub);
  DestroyForms();
  for (QProcess* p : {&sim, &broker}) {
    ::kill(pid_t(p->processId()), SIGTERM);
    p->waitForFinished(5000);
  }
  return 0;
}
