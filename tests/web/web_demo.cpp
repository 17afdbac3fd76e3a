// web-demo: the web page served over a simulated switcher, for a browser to look at and for
// the browser test. Prints "listening http://ADDR:PORT/" once it serves; reads commands on
// stdin, one a line: "down REASON", "up", "burst" (the switcher reports every output),
// "quit".

#include "SimHost.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCommandLineParser p;
  p.addHelpOption();
  p.addOption({"port", "TCP port (0: any free one).", "port", "0"});
  p.addOption({"inputs", "Inputs of the simulated switcher.", "n", "16"});
  p.addOption({"outputs", "Outputs of the simulated switcher.", "n", "16"});
  p.addOption({"password-file", "Ask for the password in this file.", "file"});
  p.addOption({"read-only", "State only."});
  p.addOption({"unreported", "The last N outputs are never reported.", "n", "2"});
  p.addOption({"name", "The bridge's name the page shows.", "name"});
  p.process(app);

  const int outputs = p.value("outputs").toInt();
  SimHost host(p.value("inputs").toInt(), qMax(1, outputs - p.value("unreported").toInt()));
  host.dev.outputs = outputs;
  host.replyDelayMs = 5;
  // Some names, a breakaway and a closed output, so that every kind of tile shows.
  const char* inputs[] = {"Camera 1", "Camera 2", "Lectern", "Playback", "Laptop HDMI", "Stage box"};
  const char* screens[] = {"Projector left", "Projector right", "Confidence", "Stream", "Recorder", "Foyer"};
  for (int k = 0; k < 6; ++k) {
    host.nameTable.set(names::Kind::Input, k + 1, QString::fromUtf8(inputs[k]));
    host.nameTable.set(names::Kind::Output, k + 1, QString::fromUtf8(screens[k]));
  }
  for (const char* command : {"4V2.", "5A4.", "6$."}) host.feed(host.core.execute(command));
  web::Settings s;
  s.listen.port = p.value("port").toInt();
  s.listen.maxClients = web::kDefaultMaxClients;
  s.listen.readOnly = p.isSet("read-only");
  s.passwordFile = p.value("password-file");
  host.server.setName(p.value("name"));
  if (const QString error = host.server.start(s); !error.isEmpty()) {
    std::fprintf(stderr, "web-demo: %s\n", qPrintable(error));
    return 1;
  }
  std::printf("listening http://%s/\n", qPrintable(host.server.listenText()));
  std::fflush(stdout);

  QSocketNotifier in(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&in, &QSocketNotifier::activated, &app, [&] {
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer - 1);
    if (n <= 0) return app.quit();
    for (const QByteArray& raw : QByteArray(buffer, int(n)).split('\n')) {
      const QByteArray line = raw.trimmed();
      if (line.startsWith("down")) host.setLink(web::LinkState::Lost, QString::fromUtf8(line.mid(5)));
      else if (line == "up") {
        host.setLink(web::LinkState::Ready);
        host.reportAll();
      } else if (line == "burst") host.reportAll();
      else if (line == "quit") app.quit();
    }
  });
  return app.exec();
}
