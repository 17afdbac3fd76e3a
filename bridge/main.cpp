// switcher-bridge: the switcher shared from a machine with no screen. It opens the link of
// [Bridge] Link, identifies the switcher whenever the link comes up, and serves the gateway,
// router panels and MQTT of Switcher.ini, with the session log; a systemd service
// (Type=notify) or a program in a terminal.
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BridgeSettings.h"
#include "Instances.h"
#include "CommandQueue.h"
#include "Ini.h"
#include "MqttSettings.h"
#include "Notify.h"
#include "ServiceNotifier.h"
#include "PortList.h"
#include "RoutingSnapshot.h"
#include "Presets.h"
#include "SerialLink.h"
#include "Services.h"
#include "SessionLog.h"
#include "StatusLines.h"
#include "SwitcherEngine.h"
#include "TcpLink.h"
#include "WebServer.h"


namespace {

constexpr char kIni[] = "Switcher.ini";
// sysexits' EX_CONFIG: the unit does not restart on settings that stay wrong until edited.
constexpr int kExitSettings = 78;
int signalPipe[2] = {-1, -1};

// stderr is the journal's stream: $JOURNAL_STREAM names its device and inode (a shell started
// from a service inherits the variable, not the stream).
bool toJournal() {
  const QByteArray stream = qgetenv("JOURNAL_STREAM");
  const int colon = stream.indexOf(':');
  struct stat st {};
  if (colon < 0 || ::fstat(STDERR_FILENO, &st) != 0) return false;
  return stream.left(colon).toULongLong() == st.st_dev && stream.mid(colon + 1).toULongLong() == st.st_ino;
}

void logLine(const QString& text) {
  // The journal stamps its own lines.
  static const bool journal = toJournal();
  const QByteArray line = text.toUtf8();
  if (journal) std::fprintf(stderr, "%s\n", line.constData());
  else
    std::fprintf(stderr, "%s switcher-bridge: %s\n",
                 qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)), line.constData());
  std::fflush(stderr);
}

void notify(const QByteArray& state) { bridge::Notify(state); }

void onSignal(int n) {
  const int saved = errno;
  const char b = char(n);
  [[maybe_unused]] const ssize_t w = ::write(signalPipe[1], &b, 1);  // full: one is waiting already
  errno = saved;
}

void printHelp() {
  std::printf(
      "Usage: switcher-bridge [options]\n"
      "Shares one matrix switcher with no desktop: the gateway, router panels, MQTT, the web\n"
      "page and SW-P-08.\n\n"
      "  -h, --help           show this help and exit\n"
      "  --version            show the version and exit\n"
      "  --list-ports         list the serial devices of this machine and exit\n"
      "  --check              read the settings, say what would be served, and exit\n"
      "                       (non-zero with one line per error)\n"
      "  --gateway PORT       the gateway on PORT for this run ([Gateway] Port)\n"
      "  --panel PORT         router panels on PORT for this run ([Panel] Port)\n"
      "  --mqtt HOST[:PORT]   the MQTT broker for this run ([MQTT] Host and Port)\n"
      "  --web PORT           the web control page on PORT for this run ([Web] Port)\n"
      "  --swp08 PORT         SW-P-08 for control systems on PORT for this run ([SWP08] Port)\n"
      "  --ember PORT         Ember+ for control systems on PORT for this run ([Ember] Port)\n"
      "  --instance NAME      run as instance NAME of switcher-bridge@.service: settings in\n"
      "                       /etc/switcher-bridge/NAME, checked against the other instances'\n\n"
      "Settings: Switcher.ini and Names.ini in $SWITCHER_CONFIG_DIR, else /etc/switcher-bridge\n"
      "under systemd, else ~/.config/switcher-console. [Bridge] Link=COM1..COM4, a device path\n"
      "(/dev/serial/by-id/... is stable) or TCP host[:port]; [Bridge] CodeFile=<.cgf> for presets.\n"
      "SIGHUP reads Names.ini and the code group file again.\n");
}

int listPorts() {
  const QList<bridge::SerialDevice> devices = bridge::ListSerialDevices();
  if (devices.isEmpty()) std::printf("no serial devices found\n");
  for (const bridge::SerialDevice& d : devices) {
    std::printf("%s", qPrintable(d.path));
    if (!d.stableName.isEmpty()) std::printf("  %s", qPrintable(d.stableName));
    if (!d.driver.isEmpty()) std::printf("  [%s]", qPrintable(d.driver));
    if (!d.description.isEmpty()) std::printf("  %s", qPrintable(d.description));
    std::printf("\n");
  }
  return 0;
}

int check(const bridge::Check& c) {
  std::printf("settings: %s\n", qPrintable(platform::profilePath(kIni)));
  for (const QString& s : c.serves) std::printf("serves: %s\n", qPrintable(s));
  for (const QString& w : c.warnings) std::fprintf(stderr, "warning: %s\n", qPrintable(w));
  for (const QString& e : c.errors) std::fprintf(stderr, "error: %s\n", qPrintable(e));
  return c.errors.isEmpty() ? 0 : 1;
}

bool portArg(const char* text, int* port) {
  char* end = nullptr;
  const long v = text ? std::strtol(text, &end, 10) : 0;
  if (!text || *end || v < 1 || v > 65535) return false;
  *port = int(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  engine::ServiceRun run;
  bool doCheck = false;
  QString instance;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
      printHelp();
      return 0;
    }
    if (!std::strcmp(a, "--version")) {
      std::printf("switcher-bridge %s\n", SC_VERSION);
      return 0;
    }
    if (!std::strcmp(a, "--list-ports")) return listPorts();
    if (!std::strcmp(a, "--check")) {
      doCheck = true;
      continue;
    }
    if (!std::strcmp(a, "--gateway") || !std::strcmp(a, "--panel") || !std::strcmp(a, "--web") || !std::strcmp(a, "--swp08") ||
        !std::strcmp(a, "--ember")) {
      int* port = a[2] == 'g'   ? &run.gatewayPort
                  : a[2] == 'p' ? &run.panelPort
                  : a[2] == 's' ? &run.swp08Port
                  : a[2] == 'e' ? &run.emberPort
                                : &run.webPort;
      if (!portArg(next, port)) {
        std::fprintf(stderr, "switcher-bridge: %s needs a port from 1 to 65535\n", a);
        return 2;
      }
      ++i;
      continue;
    }
    if (!std::strcmp(a, "--instance")) {
      instance = next ? QString::fromLocal8Bit(next) : QString();
      if (!bridge::ValidInstanceName(instance)) {
        std::fprintf(stderr, "switcher-bridge: --instance needs a name of letters, digits, - and _, at most 64, not log\n");
        return kExitSettings;  // the unit's name: restarting cannot mend it
      }
      ++i;
      continue;
    }
    if (!std::strcmp(a, "--mqtt")) {
      if (!next || !mqtt::ParseHostPort(QString::fromLocal8Bit(next), &run.mqttHost, &run.mqttPort)) {
        std::fprintf(stderr, "switcher-bridge: --mqtt needs HOST or HOST:PORT\n");
        return 2;
      }
      ++i;
      continue;
    }
    std::fprintf(stderr, "switcher-bridge: unknown option %s (see --help)\n", a);
    return 2;
  }

  // Under systemd, the plain unit's settings folder holds its instances' folders.
  const bool underSystemd = !qEnvironmentVariableIsEmpty("CONFIGURATION_DIRECTORY");
  qputenv("SWITCHER_CONFIG_DIR", QFile::encodeName(bridge::ChooseConfigDir(instance)));
  // Under systemd the log goes to the service's state folder.
  if (qEnvironmentVariableIsEmpty("SWITCHER_LOG_DIR") && !qEnvironmentVariableIsEmpty("STATE_DIRECTORY"))
    qputenv("SWITCHER_LOG_DIR", qgetenv("STATE_DIRECTORY") + "/log");
  // The start takes the settings through the same check as --check, and refuses what it calls
  // an error rather than start with a value read as something else.
  bridge::Check settings = bridge::CheckSettings(kIni, run);
  if (!instance.isEmpty() || underSystemd) {
    // --check names what another instance shares as an error; the start only warns, for the
    // other may be disabled or its folder left over, and a port it holds fails the start anyway.
    const bridge::Check across = bridge::CheckAcrossBridges(platform::configDir(), !instance.isEmpty(), settings);
    (doCheck ? settings.errors : settings.warnings) << across.errors;
    settings.warnings << across.warnings;
  }
  if (doCheck) return check(settings);
  run.name = bridge::BridgeName(instance, kIni);

  // Qt's own event loop: the GLib one maps GLib and PCRE2 for nothing a bridge uses.
  if (qEnvironmentVariableIsEmpty("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
  QCoreApplication app(argc, argv);
  // The bridge uses no plugin, and none is looked for: the HTTP servers' TLS configuration
  // would load every TLS backend, OpenSSL's with libssl and libcrypto (about 6 MiB resident),
  // though nothing here speaks TLS through Qt (MQTT's TLS is libmosquitto's own).
  QCoreApplication::setLibraryPaths({});
  QLoggingCategory::setFilterRules(QStringLiteral("qt.network.ssl.warning=false"));
  for (const QString& w : settings.warnings) logLine(QStringLiteral("warning: ") + w);
  if (!settings.errors.isEmpty()) {
    for (const QString& e : settings.errors) logLine(QStringLiteral("error: ") + e);
    logLine(QStringLiteral("not started: the settings in %1 need mending (switcher-bridge --check)").arg(platform::profilePath(kIni)));
    return kExitSettings;
  }
  for (const QString& s : settings.serves) logLine(QStringLiteral("serves: ") + s);
  const bridge::LinkChoice choice = bridge::ReadLink(kIni);

  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // The status line holds the link and every service with its clients; the journal hears client
  // counts at most once a minute per service. It outlives the engine, whose end may still report.
  bridge::StatusLines statusLines(logLine, [](const QString& text) { notify("STATUS=" + text.toUtf8()); });
  engine::SwitcherEngine engine;
  sessionlog::SessionLog log;
  bool ok = true;
  log.open(sessionlog::SessionLog::settingsFrom(platform::GetPrivateProfileBool("Log", "Enabled", true, kIni, &ok),
                                                platform::GetPrivateProfileInt("Log", "Days", 30, kIni),
                                                platform::GetPrivateProfileInt("Log", "MaxMB", 100, kIni)));
  QObject::connect(&log, &sessionlog::SessionLog::writeFailed, &app,
                   [&log](const QString& why) { logLine(QStringLiteral("session log: cannot write to %1 (%2)").arg(log.folder(), why)); });

  engine::SwitcherLink* link = nullptr;
  if (choice.kind == bridge::LinkChoice::Kind::Tcp) link = new engine::TcpLink(choice.host, quint16(choice.port));
  else link = new engine::SerialLink(choice.device, choice.label);
  engine.setLink(link, engine::LinkOwner::Engine);
  engine.queue().setPace(platform::GetPrivateProfileInt("Link", "Pace", 0, kIni));
  QString checkProblem;
  engine.setLinkCheck(std::chrono::seconds(bridge::ReadLinkCheck(kIni, &checkProblem)));
  if (!checkProblem.isEmpty()) logLine(checkProblem);

  QObject::connect(&engine, &engine::SwitcherEngine::note, &app, [&log](const QString& t) {
    logLine(t);
    log.event(t);
  });
  QObject::connect(&engine, &engine::SwitcherEngine::stateChanged, &app, [&statusLines](engine::LinkState s, const QString& why) {
    const QString word = engine::LinkStateWord(s);
    statusLines.setLink(QStringLiteral("link %1%2").arg(word, why.isEmpty() ? QString() : QStringLiteral(": ") + why));
  });
  QObject::connect(&engine.queue(), &engine::CommandQueue::clientSent, &app, [&engine, &log](const QByteArray& c, const QString& label) {
    log.sent(c + "   [" + label.toUtf8() + "]", engine.linkName());
  });
  QObject::connect(&engine, &engine::SwitcherEngine::ownSent, &app, [&engine, &log](const QByteArray& c) { log.sent(c, engine.linkName()); });
  QObject::connect(link, &engine::SwitcherLink::lineReceived, &app, [&log](const QByteArray& line) { log.received(line); });

  // Presets come from the code group file, and a routing saved from the web page joins it.
  const QString configured = bridge::CodeFilePath(kIni);
  const QString codeFile = configured.isEmpty() ? platform::profilePath(QStringLiteral("Presets.cgf")) : configured;
  auto loadPresets = [&engine, codeFile] {
    if (!QFile::exists(codeFile)) return;
    const QString why = engine.presets().load(codeFile);
    if (!why.isEmpty()) logLine(QStringLiteral("code group file %1: %2").arg(codeFile, why));
    else logLine(QStringLiteral("%1 presets from %2").arg(engine.presets().all().size()).arg(codeFile));
  };
  loadPresets();
  engine.setPresetKeeper([&engine, codeFile](const routing::Snapshot& snap) {
    const QString why = engine.presets().appendToFile(codeFile, snap);
    logLine(why.isEmpty() ? QStringLiteral("routing saved as preset \"%1: %2\" in %3").arg(snap.user, snap.description, codeFile)
                          : QStringLiteral("routing not saved to %1: %2").arg(codeFile, why));
    return why;
  });

  QObject::connect(&engine.services(), &engine::Services::status, &app, [&statusLines](const QString& service, const QString& text) {
    // The listeners' lines change with their client counts alone; MQTT's say the broker's state.
    statusLines.setService(service, text, service != QLatin1String("MQTT"));
  });
  QStringList notStarted;
  QObject::connect(&engine.services(), &engine::Services::failed, &app, [&notStarted](const QString& service, const QString& error) {
    logLine(error);
    notStarted << service;
  });

  // The start has settled once the switcher is identified, or the link failed or found no
  // switcher once: systemd's start returns then, with the link's state in the status.
  bridge::ServiceNotifier notifier(notify);
  QObject::connect(&engine, &engine::SwitcherEngine::identifyingChanged, &notifier, [&engine, &notifier](bool on) {
    if (!on && engine.ready()) notifier.settle();
  });
  QObject::connect(&engine, &engine::SwitcherEngine::stateChanged, &notifier, [&notifier](engine::LinkState s, const QString& why) {
    if (s == engine::LinkState::Lost || (s == engine::LinkState::Down && !why.isEmpty())) notifier.settle();
  });
  QObject::connect(&engine, &engine::SwitcherEngine::answeringChanged, &notifier, [&notifier](bool answering) {
    if (!answering) notifier.settle();
  });

  QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
    char b = 0;
    if (::read(signalPipe[0], &b, 1) != 1) return;
    if (b == SIGHUP) {
      logLine(QStringLiteral("SIGHUP: reading Names.ini and the code group file again"));
      notifier.reloading();
      engine.reloadNames();
      loadPresets();
      if (web::WebServer* page = engine.services().web())
        if (const QString why = page->reloadPassword(); !why.isEmpty()) logLine(why);
      notifier.reloaded();
      return;
    }
    logLine(QStringLiteral("stopping"));
    notify("STOPPING=1");
    app.quit();
  });

  engine.services().start(run, kIni);
  // A service the settings ask for and that cannot run fails the start, so that the unit shows
  // it (and restarts once the port is free) rather than report ready without it.
  if (!notStarted.isEmpty()) {
    logLine(QStringLiteral("not started: %1 could not start").arg(notStarted.join(QStringLiteral(", "))));
    engine.services().stop();
    log.close();
    return 1;
  }
  notifier.started();
  notifier.startWatchdog(bridge::WatchdogInterval());
  link->open();
  logLine(QStringLiteral("started: settings in %1").arg(platform::configDir()));

  const int rc = app.exec();
  // In this order: the broker hears the link's end and "offline", then the link closes.
  engine.services().stop();
  link->close();
  log.close();
  return rc;
}
