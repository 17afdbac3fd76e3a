// The bare program bench_bridge measures switcher-bridge against: an event loop, one
// listening socket, libmosquitto loaded and initialised. Prints "ready" once listening.
#include <QCoreApplication>
#include <QTcpServer>

#include <cstdio>
#include <mosquitto.h>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  mosquitto_lib_init();
  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost, 0)) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}
