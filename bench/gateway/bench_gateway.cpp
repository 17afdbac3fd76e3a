// Benchmark of the console as a gateway, with switcher-sim behind the console on a
// pseudo-terminal (COM1), in one run:
//  1. round trip of "Status12." from a gateway client to its reply, against the same command
//     sent to switcher-sim directly over TCP: median, p95 and the difference (goal: the
//     gateway adds under 1 ms at the median);
//  2. a 256-line "Status." burst asked for by one of 8 clients: time until every client holds
//     all 256 lines;
//  3. bench_app's measure (a 256-line burst over the console's TCP link until the window has
//     handled every line) with 8 reading gateway clients against none (goal: ratio under 1.5).
// Clients are blocking sockets on threads of their own, as other programs would be.
// Usage: bench_gateway [rounds]   (runs headless; needs no display)
#include <QApplication>
#include <cstdio>
#include <memory>

#include "BenchSupport.h"
#include "GatewayServer.h"

using namespace bench;

namespace {
constexpr int kDefaultRounds = 200;
constexpr int kClients = 8;
constexpr int kLines = kStatusLines;
constexpr double kAddedGoalMs = 1.0;
constexpr double kRatioGoal = 1.5;
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("SWITCHER_CONFIG_DIR", config.path().toLocal8Bit());
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultRounds;

  QProcess ptySim, tcpSim;
  QByteArray ptyLine, tcpLine;
  if (!startSim(ptySim, {"--pty"}, &ptyLine) || !startSim(tcpSim, {"--port", "0"}, &tcpLine)) {
    std::fprintf(stderr, "switcher-sim did not start\n");
    return 1;
  }
  const quint16 simPort = quint16(tcpLine.mid(tcpLine.lastIndexOf(':') + 1).toUInt());

  // Console A: COM1 is the simulator's pty, the gateway on a free loopback port.
  const quint16 gatewayPort = freePort();
  writeIni(config, "[COM]\nCOM1=" + ptyLine.mid(4) + "\nCOM2=/nonexistent\nCOM3=/nonexistent\n" +
                       "COM4=/nonexistent\n[Gateway]\nPort=" + QByteArray::number(gatewayPort) + "\n");
  CreateForms();
  bool identified = false;
  QObject::connect(MainForm, &TMainForm::identificationFinished, MainForm, [&] { identified = true; });
  while (!identified) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

  // 1. Round trips.
  std::vector<double> direct, through;
  whileLoopRuns([&] {
    direct = roundTrips(simPort, rounds);
    through = roundTrips(gatewayPort, rounds);
  });
  if (direct.empty() || through.empty()) {
    std::fprintf(stderr, "round trips failed\n");
    return 1;
  }
  const double added = percentile(through, 0.5) - percentile(direct, 0.5);
  std::printf("round trip of \"Status12.\" (%d each): switcher-sim over TCP median %.3f ms, p95 %.3f ms; "
              "through the gateway (pty behind) median %.3f ms, p95 %.3f ms; ratio %.2f, added %.3f ms "
              "(goal < %.1f ms: %s)\n",
              rounds, percentile(direct, 0.5), percentile(direct, 0.95), percentile(through, 0.5),
              percentile(through, 0.95), percentile(through, 0.5) / percentile(direct, 0.5), added,
              kAddedGoalMs, added < kAddedGoalMs ? "met" : "NOT met");

  // 2. One client asks for "Status."; every one of 8 must hold the 256 lines.
  // The round trips' client may still be waiting for the switcher to fall quiet: with
  // MaxClients=8 a ninth would be closed, so wait until its slot is free.
  std::vector<double> burst;
  const char* failed = nullptr;
  const gateway::GatewayServer* server1 = MainForm->findChild<gateway::GatewayServer*>();
  while (server1->clientCount() > 0) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  whileLoopRuns([&] {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>(gatewayPort));
    while (server1->clientCount() < kClients) std::this_thread::yield();
    for (int r = 0; r < rounds / 4 + 5; ++r) {
      const auto t = Clock::now();
      clients[0]->send("Status.");
      std::vector<std::thread> readers;
      std::atomic<bool> ok{true};
      for (auto& c : clients) readers.emplace_back([&c, &ok] { ok = c->readLines(kLines) && ok; });
      for (auto& th : readers) th.join();
      if (!ok) {
        failed = "a client was closed before it held the burst";
        return;
      }
      if (r >= 5) burst.push_back(msSince(t));
    }
  });
  if (failed || burst.empty()) {
    std::printf("256-line \"Status.\" burst to %d clients: could not measure (%s)\n", kClients,
                failed ? failed : "no burst completed");
  } else {
    std::printf("256-line \"Status.\" burst to %d clients (%d bursts): all hold it after median %.3f ms, p95 %.3f ms\n",
                kClients, int(burst.size()), percentile(burst, 0.5), percentile(burst, 0.95));
  }
  DestroyForms();

  // 3. bench_app's burst over the console's TCP link, with and without 8 reading clients.
  QTcpServer peerServer;
  peerServer.listen(QHostAddress::LocalHost, 0);
  qputenv(kTcpPortEnv, QByteArray::number(peerServer.serverPort()));
  writeIni(config, "[TCP]\nConnect=1\nIP=127.0.0.1\n[COM]\nCOM1=/nonexistent\nCOM2=/nonexistent\n"
                   "COM3=/nonexistent\nCOM4=/nonexistent\n[Gateway]\nPort=" +
                       QByteArray::number(freePort()) + "\n");
  CreateForms();
  MainForm->show();
  QTcpSocket* peer = acceptConsole(peerServer);
  const quint16 port = MainForm->findChild<gateway::GatewayServer*>()->port();
  auto measure = [&] { return statusBurstMedian(peer, rounds); };
  const double alone = measure();
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::thread> readers;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(port));
    readers.emplace_back([&c = *clients.back(), &stop] { c.drain(stop); });
  }
  auto* server = MainForm->findChild<gateway::GatewayServer*>();
  while (server->clientCount() < kClients) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const double shared = measure();
  stop = true;
  for (auto& th : readers) th.join();
  std::printf("console's status burst over TCP (bench_app's measure, %d bursts): median %.3f ms alone, "
              "%.3f ms with %d gateway clients; ratio %.2f (goal < %.1f: %s)\n",
              rounds, alone, shared, kClients, shared / alone, kRatioGoal,
              shared / alone < kRatioGoal ? "met" : "NOT met");
  DestroyForms();
  for (QProcess* sim : {&ptySim, &tcpSim}) {
    sim->kill();
    sim->waitForFinished();
  }
  return 0;
}
