// Program entry of switcher-console.
#include <QTabWidget>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "Application.h"
#include "EngineFrontEnd.h"
#include "MqttSettings.h"
#include "Prompts.h"
#include "QtPrompts.h"
#include "Unit1.h"
#include "Update.h"

namespace {

// --screenshot gives up waiting for the identification after this long.
constexpr std::chrono::milliseconds kScreenshotDeadline{20000};
// In TCP/IP mode: time after the connect event for the window to show the new state.
constexpr std::chrono::milliseconds kSettleTime{500};

void printHelp() {
  std::printf(
      "Usage: switcher-console [options]\n"
      "Operator console for audio/video matrix switchers (serial or TCP/IP).\n\n"
      "  -h, --help           show this help and exit\n"
      "  --version            show the version and exit\n"
      "  --screenshot FILE    once the switcher is identified (20 s at most), save the\n"
      "                       main window as a PNG image to FILE, print its path and exit\n"
      "  --tab N              start on tab N (0 System .. 5 Send/Recieve Code List)\n"
      "  --gateway PORT       share the switcher: listen on PORT for clients that speak its\n"
      "                       command language (overrides Switcher.ini [Gateway] Port)\n"
      "  --panel PORT         serve router panels (the Videohub Ethernet protocol) on PORT\n"
      "                       (overrides Switcher.ini [Panel] Port; panels dial 9990)\n"
      "  --mqtt HOST[:PORT]   publish routing and names on an MQTT broker and take its\n"
      "                       commands (overrides Switcher.ini [MQTT] Host and Port)\n"
      "  --web PORT           serve the web control page on PORT (overrides Switcher.ini\n"
      "                       [Web] Port)\n"
      "  --swp08 PORT         serve SW-P-08 control systems on PORT (overrides Switcher.ini\n"
      "                       [SWP08] Port; 8910 is the convention)\n"
      "  --ember PORT         serve Ember+ control systems on PORT (overrides Switcher.ini\n"
      "                       [Ember] Port; 9000 is the convention)\n\n"
      "Settings: Switcher.ini in $SWITCHER_CONFIG_DIR, else $XDG_CONFIG_HOME/switcher-console\n"
      "(default ~/.config/switcher-console). Section [TCP]: Connect=1 connects over TCP/IP\n"
      "at start, IP=<switcher address>; section [COM]: COM1..COM4=<device path>; section\n"
      "[Gateway]: Port (0 = off), Bind (127.0.0.1), Allow (addresses or CIDR ranges, needed\n"
      "for a Bind that is not loopback), MaxClients (8), ReadOnly (0). Section [Panel]: the\n"
      "same five keys, and Signal (B video and audio, V video only), Inputs and Outputs\n"
      "(0 = from the switcher's type reply), Name (the host name). Section [MQTT]: Host\n"
      "(empty = off), Port (1883; 8883 with TLS), Id (switcher), Prefix (switcher), User,\n"
      "PasswordFile, TLS, CAFile, CertFile, KeyFile, Discovery (1), DiscoveryPrefix\n"
      "(homeassistant), ReadOnly (0), Inputs, Outputs (from the switcher). Section [Web]: Port,\n"
      "Bind, Allow, MaxClients (16), ReadOnly as the gateway's, and PasswordFile.\n");
}

// Grabs the main window once it is free of the Update window, then quits.
void armScreenshot(const QString& path) {
  auto taken = std::make_shared<bool>(false);
  auto shoot = [path, taken] {
    if (!MainForm || *taken) return;
    *taken = true;
    const bool saved = MainForm->grab().save(path, "PNG");
    if (saved)
      std::printf("%s\n", path.toLocal8Bit().constData());
    else
      std::fprintf(stderr, "switcher-console: cannot write %s\n", path.toLocal8Bit().constData());
    std::fflush(stdout);
    QCoreApplication::exit(saved ? 0 : 1);
  };
  // After ButtonUpdateClick has returned and its caller has written the COM line.
  auto soon = [shoot] { QTimer::singleShot(0, MainForm, shoot); };
  QObject::connect(MainForm, &TMainForm::identificationFinished, MainForm, soon);
  QObject::connect(MainForm, &TMainForm::probeFinished, MainForm, soon);
  // TCP/IP mode connects at start but identifies only on request: show the link state.
  QObject::connect(MainForm->ClientSocket1, &QAbstractSocket::connected, MainForm,
                   [shoot] { QTimer::singleShot(kSettleTime, MainForm, shoot); });
  QTimer::singleShot(kScreenshotDeadline, MainForm, shoot);
}

void report(const char* what) {
  std::printf("%s\n", what);
  std::fflush(stdout);
}

// --report-start (benchmarks): "painted" on stdout once the main window's first frame is
// drawn, "ready" once the start-up identification has filled the grid.
class StartReporter : public QObject {
 public:
  explicit StartReporter(QObject* parent) : QObject(parent) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Paint && !painted) {
      painted = true;
      // Printed after this paint has been drawn and flushed.
      QTimer::singleShot(0, this, [] { report("painted"); });
    }
    return QObject::eventFilter(watched, e);
  }

 private:
  bool painted = false;
};

void armStartReport() {
  auto* reporter = new StartReporter(MainForm);
  MainForm->installEventFilter(reporter);
  QObject::connect(MainForm, &TMainForm::identificationFinished, reporter,
                   [] { report("ready"); });
}

}  // namespace

int main(int argc, char** argv) {
  QString screenshot;
  bool reportStart = false;
  int startTab = 0;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      printHelp();
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("switcher-console %s\n", SC_VERSION);
      return 0;
    }
    if (!std::strcmp(argv[i], "--report-start")) reportStart = true;
    if (!std::strcmp(argv[i], "--tab") && i + 1 < argc) startTab = std::atoi(argv[++i]);
    if (!std::strcmp(argv[i], "--gateway") || !std::strcmp(argv[i], "--panel") || !std::strcmp(argv[i], "--web") ||
        !std::strcmp(argv[i], "--swp08") || !std::strcmp(argv[i], "--ember")) {
      char* end = nullptr;
      const long port = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
      if (i + 1 >= argc || *end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "switcher-console: %s needs a TCP port (1 to 65535)\n", argv[i]);
        return 2;
      }
      if (argv[i][2] == 'g') SetGatewayPortForRun(int(port));
      else if (argv[i][2] == 'p') SetPanelPortForRun(int(port));
      else if (argv[i][2] == 's') SetSwp08PortForRun(int(port));
      else if (argv[i][2] == 'e') SetEmberPortForRun(int(port));
      else SetWebPortForRun(int(port));
      ++i;
      continue;
    }
    if (!std::strcmp(argv[i], "--mqtt")) {
      QString host;
      int port = 0;
      if (i + 1 >= argc || !mqtt::ParseHostPort(QString::fromLocal8Bit(argv[i + 1]), &host, &port)) {
        std::fprintf(stderr, "switcher-console: --mqtt needs a broker HOST or HOST:PORT\n");
        return 2;
      }
      SetMqttBrokerForRun(host, port);
      ++i;
    }
    if (!std::strcmp(argv[i], "--screenshot")) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "switcher-console: --screenshot needs a file name\n");
        return 2;
      }
      screenshot = QString::fromLocal8Bit(argv[++i]);
    }
  }

  TApplication app(argc, argv);
  QtPrompts qtPrompts;
  platform::setPrompts(&qtPrompts);
  int rc = 0;
  try {
    // The dialogs and the help window are made when first used, after the first frame.
    CreateForms(FormsMade::OnFirstUse);
    if (!screenshot.isEmpty()) armScreenshot(screenshot);
    if (reportStart) armStartReport();
    MainForm->PageControl->setCurrentIndex(startTab);
    MainForm->show();
    rc = app.exec();
  } catch (const std::exception& e) {
    TApplication::ShowException(QString::fromLocal8Bit(e.what()));
  } catch (...) {
    TApplication::ShowException(QString());
  }
  DestroyForms();
  platform::setPrompts(nullptr);
  return screenshot.isEmpty() ? 0 : rc;
}
