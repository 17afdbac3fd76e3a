// switcher-sim: a matrix switcher simulator for the console and its tests. It serves one
// SwitcherCore over TCP (default 127.0.0.1:8888), a fresh pseudo-terminal, or a serial device.
// The first line on stdout says where it listens: "TCP <addr>:<port>", "PTY <slave path>" or
// "SERIAL <device>"; with --control a second line "CONTROL 127.0.0.1:<port>"; then one line per
// command received unless --quiet.

#include "ControlChannel.h"
#include "SimServer.h"
#include "SwitcherCore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <unistd.h>

namespace {

constexpr quint16 kDefaultPort = 8888;
constexpr int kMaxReplyDelayMs = 60000;
constexpr int kMaxPort = 65535;
// Larger pieces than the longest reply (999 outputs of two lines) make no difference.
constexpr int kMaxChunk = 64 * 1024;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kMaxRefuseEvery = 1000000;
constexpr int kMaxGreeting = 200;

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // Nothing to do on failure: a full pipe already holds a pending stop request.
  [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

// SIGINT and SIGTERM end the event loop through a self-pipe, so shutdown runs on the main
// thread with every destructor.
bool installStopSignals(QObject* context) {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0) return false;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context,
                   [] { QCoreApplication::exit(0); });
  return true;
}

void announce(const QString& what) {
  std::printf("%s\n", qPrintable(what));
  std::fflush(stdout);
}

int fail(const QString& text, int code = kExitFailure) {
  std::fprintf(stderr, "switcher-sim: %s\n", qPrintable(text));
  return code;
}

QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }

// Reads an integer option in [lo, hi]; false (and a message) when it is not one.
bool intOption(const QCommandLineParser& p, const QString& name, int lo, int hi, int* out) {
  if (!p.isSet(name)) return true;
  bool ok = false;
  const int v = p.value(name).toInt(&ok);
  if (!ok || v < lo || v > hi) {
    fail(QStringLiteral("--%1 must be a number from %2 to %3").arg(name).arg(lo).arg(hi));
    return false;
  }
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("switcher-sim"));
  QCoreApplication::setApplicationVersion(QStringLiteral(SC_VERSION));

  QCommandLineParser p;
  p.setApplicationDescription(QStringLiteral(
      "Simulates an audio/video matrix switcher for switcher-console.\n"
      "First stdout line: \"TCP <addr>:<port>\", \"PTY <device>\" or \"SERIAL <device>\"."));
  p.addHelpOption();
  p.addVersionOption();
  p.addOptions({
      {"bind", "TCP address to listen on (default 127.0.0.1).", "addr", "127.0.0.1"},
      {"port", "TCP port (default 8888; 0 picks a free one).", "n"},
      {"pty", "Serve a new pseudo-terminal instead of TCP."},
      {"serial", "Serve a serial device (9600 8N1) instead of TCP.", "device"},
      {"inputs", "Number of inputs, 1 to 999 (default 256).", "n"},
      {"outputs", "Number of outputs, 1 to 999 (default 256).", "n"},
      {"closed", "Start with every output closed (default: input k feeds output k)."},
      {"quiet", "Do not print the commands received."},
      {"silent", "Never answer (a switcher that does not reply)."},
      {"reply-delay", "Wait this long before each reply.", "ms"},
      {"chunk", "Write replies in pieces of n bytes.", "n"},
      {"pace", "Write replies no faster than a 9600-baud line."},
      {"greeting", "Send this line when a client connects or the pty is opened, and after a "
                   "power cycle (as serial servers and some switchers do).", "text"},
      {"late-type", "Add this delay to the first type and version replies of each link "
                    "session (a switcher slow to wake up).", "ms"},
      {"refuse-every", "Answer the error line to every nth command instead of carrying it out.",
       "n"},
      {"control", "Serve the control channel on 127.0.0.1 at this port (0 picks a free one).",
       "port"},
      {"pty-link", "With --pty: keep a symbolic link at this path to the current device (a "
                   "dropped link serves a new one).", "path"},
  });
  p.process(app);
  if (!p.positionalArguments().isEmpty()) {
    return fail(QStringLiteral("unexpected argument %1").arg(p.positionalArguments().first()),
                kExitUsage);
  }

  int inputs = sim::kDefaultInputs;
  int outputs = sim::kDefaultOutputs;
  int port = kDefaultPort;
  int delayMs = 0;
  int chunk = 0;
  int lateMs = 0;
  int refuseEvery = 0;
  int controlPort = -1;
  if (!intOption(p, "inputs", 1, sim::kMaxPorts, &inputs) ||
      !intOption(p, "late-type", 0, kMaxReplyDelayMs, &lateMs) ||
      !intOption(p, "refuse-every", 1, kMaxRefuseEvery, &refuseEvery) ||
      !intOption(p, "control", 0, kMaxPort, &controlPort) ||
      !intOption(p, "outputs", 1, sim::kMaxPorts, &outputs) ||
      !intOption(p, "port", 0, kMaxPort, &port) ||
      !intOption(p, "reply-delay", 0, kMaxReplyDelayMs, &delayMs) ||
      !intOption(p, "chunk", 1, kMaxChunk, &chunk)) {
    return kExitUsage;
  }
  if (p.isSet("pty") && p.isSet("serial")) {
    return fail(QStringLiteral("--pty and --serial exclude each other"), kExitUsage);
  }
  if (p.isSet("pty-link") && !p.isSet("pty")) {
    return fail(QStringLiteral("--pty-link needs --pty"), kExitUsage);
  }
  const QByteArray greeting = p.value("greeting").toUtf8();
  if (greeting.size() > kMaxGreeting ||
      std::any_of(greeting.begin(), greeting.end(), [](char c) { return c == '\r' || c == '\n'; })) {
    return fail(QStringLiteral("--greeting must be one line of at most %1 bytes").arg(kMaxGreeting),
                kExitUsage);
  }

  sim::ServeOptions options;
  options.quiet = p.isSet("quiet");
  options.silent = p.isSet("silent");
  options.pace = p.isSet("pace");
  options.chunk = chunk;
  options.replyDelay = std::chrono::milliseconds(delayMs);
  options.greeting = greeting;
  options.lateType = std::chrono::milliseconds(lateMs);
  options.refuseEvery = refuseEvery;

  // A peer that goes away mid-write must not kill the simulator.
  std::signal(SIGPIPE, SIG_IGN);
  if (!installStopSignals(&app)) return fail(QStringLiteral("signal set-up: ") + errnoText());

  sim::SwitcherCore core(inputs, outputs, p.isSet("closed"));
  sim::Device device(core, options, &app);
  auto linkFailed = [](const QString& why) {
    fail(why);
    QCoreApplication::exit(kExitFailure);
  };

  if (p.isSet("pty")) {
    auto* pty = new sim::PtyServer(device, p.value("pty-link"), &app);
    QString error;
    if (!pty->open(&error)) return fail(error);
    QObject::connect(pty, &sim::PtyServer::failed, &app,
                     [linkFailed](const QString& why) { linkFailed(QStringLiteral("pty: ") + why); });
    announce(QStringLiteral("PTY ") + pty->path());
  } else if (p.isSet("serial")) {
    const QByteArray path = p.value("serial").toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(QStringLiteral("%1: %2").arg(p.value("serial"), errnoText()));
    if (!::isatty(fd) || !sim::configureRawTty(fd)) {
      const QString why = errnoText();
      ::close(fd);
      return fail(QStringLiteral("%1 is not a usable serial device: %2").arg(p.value("serial"), why));
    }
    auto* tty = new sim::TtyConnection(device, fd, QStringLiteral("serial"), &app);
    QObject::connect(tty, &sim::TtyConnection::failed, &app,
                     [linkFailed](const QString& why) { linkFailed(QStringLiteral("serial: ") + why); });
    tty->startSession();
    announce(QStringLiteral("SERIAL ") + p.value("serial"));
  } else {
    QHostAddress address;
    if (!address.setAddress(p.value("bind"))) {
      return fail(QStringLiteral("--bind: not an IP address: %1").arg(p.value("bind")), kExitUsage);
    }
    auto* server = new sim::TcpServer(device, &app);
    QString error;
    if (!server->listen(address, quint16(port), &error)) {
      return fail(QStringLiteral("cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(error));
    }
    announce(QStringLiteral("TCP %1:%2").arg(address.toString()).arg(server->port()));
  }

  if (controlPort >= 0) {
    auto* control = new sim::ControlChannel(device, !p.isSet("serial"), &app);
    QString error;
    if (!control->listen(quint16(controlPort), &error)) {
      return fail(QStringLiteral("cannot listen on 127.0.0.1:%1 for control: %2").arg(controlPort).arg(error));
    }
    announce(QStringLiteral("CONTROL 127.0.0.1:%1").arg(control->port()));
  }

  return app.exec();
}
