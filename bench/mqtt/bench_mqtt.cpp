// Benchmark of the MQTT bridge against switcher-sim and a real mosquitto on loopback, in one
// run:
//  1. an MQTT output/12/video/set to the retained output/12/video update seen by a subscriber
//     (median, p95), beside the gateway's round trip of "Status12." on the same console
//     (switcher-sim behind it on a pseudo-terminal, COM1);
//  2. a 256-line "Status." burst after "NAll." changed every route in the simulator, to all
//     512 retained video and audio updates seen by the subscriber;
//  3. bench_app's burst over the console's TCP link with MQTT connected against without
//     (goal: ratio under 1.5);
//  4. 8 console processes on 8 simulators and the one broker: one subscriber sees all 2,048
//     outputs, then a route set on each console reaches it (median, p95).
// Usage: bench_mqtt [rounds]   (runs headless; needs mosquitto on the PATH)
#include <QApplication>
#include <QHash>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <mosquitto.h>
#include <mutex>
#include <signal.h>

#include "BenchSupport.h"
#include "MqttBridge.h"

using namespace bench;

namespace {
constexpr int kDefaultRounds = 200;
constexpr int kConsoles = 8;
constexpr double kRatioGoal = 1.5;
constexpr int kWaitMs = 20000;

// The subscriber, on libmosquitto's own thread: the last payload of each topic, how many
// video/audio updates came since reset, and a wake-up for the window's loop on each message.
class Watch {
 public:
  Watch(quint16 port, const char* pattern) : pattern(pattern) {
    m = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
      static_cast<Watch*>(self)->take(msg);
    });
    mosquitto_connect_callback_set(m, [](mosquitto* mo, void* self, int) {
      mosquitto_subscribe(mo, nullptr, static_cast<Watch*>(self)->pattern, 1);
    });
    mosquitto_subscribe_callback_set(m, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Watch*>(self)->subscribed = true;
    });
    mosquitto_connect(m, "127.0.0.1", port, 30);
    mosquitto_loop_start(m);
  }
  ~Watch() {
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
  }
  QByteArray value(const QByteArray& topic) {
    const std::lock_guard<std::mutex> hold(lock);
    return last.value(topic);
  }
  int topicsLike(const QByteArray& start, const QByteArray& leaf) {
    const std::lock_guard<std::mutex> hold(lock);
    int n = 0;
    for (auto it = last.cbegin(); it != last.cend(); ++it)
      n += it.key().startsWith(start) && it.key().endsWith(leaf) && !it.value().isEmpty();
    return n;
  }
  void publish(const QByteArray& topic, const QByteArray& payload) {
    mosquitto_publish(m, nullptr, topic.constData(), int(payload.size()), payload.constData(), 0, false);
  }
  std::atomic<int> updates{0};
  std::atomic<int> wakeAt{-1};  // -1: every message wakes the loop
  std::atomic<bool> subscribed{false};

 private:
  void take(const mosquitto_message* msg) {
    const QByteArray topic(msg->topic);
    {
      const std::lock_guard<std::mutex> hold(lock);
      last.insert(topic, QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen));
    }
    const int n = topic.endsWith("/video") || topic.endsWith("/audio") ? ++updates : updates.load();
    // The console of parts 1 and 2 shares the loop: a burst wakes it once, at its end.
    const int at = wakeAt;
    if (at < 0 || n == at) QMetaObject::invokeMethod(qApp, [] {}, Qt::QueuedConnection);
  }
  const char* pattern;
  mosquitto* m = nullptr;
  std::mutex lock;
  QHash<QByteArray, QByteArray> last;
};

// Runs the loop until done or the bound; the subscriber's messages wake it.
bool runUntil(const std::function<bool()>& done, int ms = kWaitMs) {
  QTimer tick;
  tick.start(20);
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

void stop(QProcess& p) {
  if (p.state() == QProcess::NotRunning) return;
  ::kill(pid_t(p.processId()), SIGTERM);
  if (!p.waitForFinished(5000)) p.kill();
  p.waitForFinished(5000);
}

QByteArray mqttSection(quint16 port, const QByteArray& id = "switcher") {
  return "[MQTT]\nHost=127.0.0.1\nPort=" + QByteArray::number(port) + "\nId=" + id + "\n";
}

QByteArray comSection(const QByteArray& pty) {
  return "[COM]\nCOM1=" + pty + "\nCOM2=/nonexistent\nCOM3=/nonexistent\nCOM4=/nonexistent\n";
}
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("SWITCHER_CONFIG_DIR", config.path().toLocal8Bit());
  qputenv("SWITCHER_LOG_DIR", config.filePath("log").toLocal8Bit());
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultRounds;
  mosquitto_lib_init();

  const quint16 port = freePort();
  QFile conf(config.filePath("mosquitto.conf"));
  conf.open(QIODevice::WriteOnly);
  // As a site would run it for control traffic: small messages leave at once.
  // As a site would run it for control traffic, small messages leaving at once; with
  // SC_BENCH_BROKER_NAGLE set, as mosquitto does by default (Nagle's algorithm on).
  conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n"
                            "max_queued_messages 0\n%2")
                 .arg(port)
                 .arg(qEnvironmentVariableIsSet("SC_BENCH_BROKER_NAGLE") ? "" : "set_tcp_nodelay true\n")
                 .toLatin1());
  conf.close();
  QProcess broker, sim;
  QByteArray simLine;
  broker.start(QFile::exists("/usr/sbin/mosquitto") ? QStringLiteral("/usr/sbin/mosquitto") : QStringLiteral("mosquitto"), {"-c", conf.fileName()});
  if (!broker.waitForStarted(5000) || !startSim(sim, {"--pty"}, &simLine)) {
    std::fprintf(stderr, "mosquitto or switcher-sim did not start\n");
    return 1;
  }
  runUntil([&] {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    return s.waitForConnected(100);
  });

  // 1. set -> retained update, and the gateway's round trip on the same console.
  const quint16 gatewayPort = freePort();
  writeIni(config, comSection(simLine.mid(4)) + "[Gateway]\nPort=" + QByteArray::number(gatewayPort) + "\n" + mqttSection(port));
  CreateForms();
  bool identified = false;
  QObject::connect(MainForm, &TMainForm::identificationFinished, MainForm, [&] { identified = true; });
  Watch watch(port, "switcher/switcher/#");
  const QByteArray video12 = "switcher/switcher/output/12/video";
  if (!runUntil([&] { return identified && watch.subscribed && watch.value("switcher/switcher/output/256/audio") == "256"; })) {
    std::fprintf(stderr, "the console's routing did not reach the broker\n");
    return 1;
  }
  std::vector<double> setMs;
  for (int r = 0; r < rounds + 10; ++r) {
    const QByteArray input = QByteArray::number(3 + r % 2);
    const auto t = Clock::now();
    watch.publish(video12 + "/set", input);
    if (!runUntil([&] { return watch.value(video12) == input; })) {
      std::fprintf(stderr, "no update for round %d\n", r);
      return 1;
    }
    if (r >= 10) setMs.push_back(msSince(t));
  }
  std::vector<double> gatewayMs;
  whileLoopRuns([&] { gatewayMs = roundTrips(gatewayPort, rounds); });
  std::printf("MQTT output/12/video/set to the retained output/12/video (%d rounds): median %.3f ms, p95 %.3f ms; "
              "gateway round trip of \"Status12.\": median %.3f ms, p95 %.3f ms\n",
              rounds, percentile(setMs, 0.5), percentile(setMs, 0.95), percentile(gatewayMs, 0.5),
              percentile(gatewayMs, 0.95));

  // 2. Every route changed in the simulator, then the 256-line status burst (the first, from
  // the routes of the identification, is not counted: output 1 keeps its input).
  std::vector<double> burstMs;
  const int bursts = std::max(5, rounds / 10);
  for (int b = -1; b < bursts; ++b) {
    const std::uint64_t before = MainForm->LinesHandled;
    watch.publish("switcher/switcher/command", QByteArray::number(b < 0 ? 1 : 5 + b % 2) + "All.");
    // Its "To All." reply: the simulator has changed every route.
    if (!runUntil([&] { return MainForm->LinesHandled > before; })) break;
    const int expected = b < 0 ? 2 * (kStatusLines - 1) : 2 * kStatusLines;
    watch.updates = 0;
    watch.wakeAt = expected;
    const auto t = Clock::now();
    watch.publish("switcher/switcher/command", "Status.");
    if (!runUntil([&] { return watch.updates >= expected; })) {
      std::fprintf(stderr, "burst %d: %d updates of %d\n", b, watch.updates.load(), expected);
      break;
    }
    if (b >= 0) burstMs.push_back(msSince(t));
    watch.wakeAt = -1;
  }
  std::printf("\"Status.\" on the command topic to all 512 retained updates after \"NAll.\" (%d bursts): "
              "median %.3f ms, p95 %.3f ms\n",
              int(burstMs.size()), percentile(burstMs, 0.5), percentile(burstMs, 0.95));
  DestroyForms();
  stop(sim);

  // 3. bench_app's burst with MQTT connected against without; the subscriber is a process of
  // its own, so that only the console's share of the work is in the measure.
  QProcess reader;
  reader.setStandardOutputFile(QProcess::nullDevice());
  reader.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(port), "-q", "1", "-t", "switcher/#"});
  QTcpServer peerServer;
  peerServer.listen(QHostAddress::LocalHost, 0);
  qputenv(kTcpPortEnv, QByteArray::number(peerServer.serverPort()));
  const QByteArray tcpIni = "[TCP]\nConnect=1\nIP=127.0.0.1\n" + comSection("/nonexistent");
  double settled[2] = {0, 0}, handled[2] = {0, 0};
  for (int withMqtt = 0; withMqtt < 2; ++withMqtt) {
    writeIni(config, tcpIni + (withMqtt ? mqttSection(port) : QByteArray()));
    CreateForms();
    MainForm->show();
    QTcpSocket* peer = acceptConsole(peerServer);
    if (withMqtt) {
      auto* bridge = MainForm->findChild<mqtt::MqttBridge*>();
      if (!bridge || !runUntil([&] { return bridge->state() == mqtt::MqttBridge::State::Connected; })) {
        std::fprintf(stderr, "the bridge did not connect\n");
        return 1;
      }
    }
    handled[withMqtt] = statusBurstMedian(peer, rounds, &settled[withMqtt]);
    DestroyForms();
  }
  std::printf("console's status burst over TCP (bench_app's measure, %d bursts): median %.3f ms without MQTT, "
              "%.3f ms with a subscriber on the broker; ratio %.2f (goal < %.1f: %s); with the loop pass "
              "after it (receive log, publishes): %.3f ms against %.3f ms, ratio %.2f\n",
              rounds, handled[0], handled[1], handled[1] / handled[0], kRatioGoal,
              handled[1] / handled[0] < kRatioGoal ? "met" : "NOT met", settled[0], settled[1],
              settled[1] / settled[0]);
  stop(reader);

  // 4. 8 consoles on 8 simulators, one broker, one subscriber for all.
  Watch all(port, "switcher/+/output/+/video");
  Watch errors(port, "switcher/+/error");
  std::vector<std::unique_ptr<QProcess>> sims, consoles;
  std::vector<std::unique_ptr<QTemporaryDir>> dirs;
  const auto started = Clock::now();
  for (int c = 1; c <= kConsoles; ++c) {
    sims.push_back(std::make_unique<QProcess>());
    QByteArray line;
    if (!startSim(*sims.back(), {"--pty"}, &line)) {
      std::fprintf(stderr, "switcher-sim %d did not start\n", c);
      return 1;
    }
    dirs.push_back(std::make_unique<QTemporaryDir>());
    writeIni(*dirs.back(), comSection(line.mid(4)) + mqttSection(port, "sw" + QByteArray::number(c)));
    consoles.push_back(std::make_unique<QProcess>());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SWITCHER_CONFIG_DIR", dirs.back()->path());
    env.insert("SWITCHER_LOG_DIR", dirs.back()->filePath("log"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    consoles.back()->setProcessEnvironment(env);
    consoles.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    consoles.back()->start(SC_CONSOLE_PATH, {});
  }
  const int allOutputs = kConsoles * kStatusLines;
  if (!runUntil([&] { return all.topicsLike("switcher/sw", "/video") >= allOutputs; }, 60000)) {
    std::fprintf(stderr, "the subscriber saw %d outputs of %d\n", all.topicsLike("switcher/sw", "/video"), allOutputs);
    return 1;
  }
  const double allSeenMs = msSince(started);
  // The statuses come while each console's Update window is still open, and commands are
  // refused until it closes: one set per console, tried again until it is taken.
  for (int c = 1; c <= kConsoles; ++c) {
    const QByteArray topic = "switcher/sw" + QByteArray::number(c) + "/output/256/video";
    bool taken = false;
    for (int tries = 0; tries < 100 && !taken; ++tries) {
      all.publish(topic + "/set", "1");
      taken = runUntil([&] { return all.value(topic) == "1"; }, 200);
    }
    if (!taken) {
      std::fprintf(stderr, "console %d takes no command\n", c);
      return 1;
    }
  }
  std::vector<double> fleetMs;
  const int perConsole = std::max(3, rounds / kConsoles);
  for (int r = 0; r < perConsole; ++r) {
    for (int c = 1; c <= kConsoles; ++c) {
      const QByteArray topic = "switcher/sw" + QByteArray::number(c) + "/output/" + QByteArray::number(1 + (r * 37 + c) % 255) + "/video";
      const QByteArray input = QByteArray::number(1 + (r * 53 + c * 7) % 255);
      if (all.value(topic) == input) continue;
      const auto t = Clock::now();
      all.publish(topic + "/set", input);
      if (!runUntil([&] { return all.value(topic) == input; })) {
        std::fprintf(stderr, "console %d: no update for %s (error: %s)\n", c, topic.constData(),
                     errors.value("switcher/sw" + QByteArray::number(c) + "/error").constData());
        return 1;
      }
      fleetMs.push_back(msSince(t));
    }
  }
  std::printf("%d consoles on %d simulators, one broker: the subscriber held all %d outputs %.0f ms after the start; "
              "a route set on each console to its update (%d sets): median %.3f ms, p95 %.3f ms\n",
              kConsoles, kConsoles, allOutputs, allSeenMs, int(fleetMs.size()), percentile(fleetMs, 0.5),
              percentile(fleetMs, 0.95));
  for (auto& p : consoles) stop(*p);
  for (auto& p : sims) stop(*p);
  stop(broker);
  return 0;
}
