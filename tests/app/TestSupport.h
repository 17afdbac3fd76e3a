#pragma once
// Shared pieces of the console tests: scripted prompts, settings files, and switchers on
// loopback TCP and on a real pseudo-terminal, all driven by the test's event loop.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QPointer>
#include <QSocketNotifier>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "FakePrompts.h"
#include "Ini.h"
#include "Prompts.h"
#include "SwitcherCore.h"
#include "Unit1.h"

// A fresh settings folder's Switcher.ini. COM1..COM4 point nowhere unless given, so that
// no test ever opens a real serial port of the machine.
inline void writeSwitcherIni(const QString& extra, const QStringList& comPaths = {}) {
  const QString dir = platform::configDir();
  QDir().mkpath(dir);
  QFile::remove(platform::profilePath("Switcher.ini"));
  QByteArray text = "[COM]\n";
  for (int i = 0; i < 4; ++i) {
    const QString path = i < comPaths.size() ? comPaths[i] : QStringLiteral("/nonexistent/tty%1").arg(i);
    text += "COM" + QByteArray::number(i + 1) + "=" + path.toLocal8Bit() + "\n";
  }
  text += extra.toLatin1();
  QFile f(platform::profilePath("Switcher.ini"));
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(text);
}

// The simulator core served on a loopback port, one framer per client.
class SimTcpSwitcher : public QObject {
 public:
  enum class Mode { Answer, Silent, IdentifyOnly, Refuse };
  explicit SimTcpSwitcher(Mode m = Mode::Answer) : mode(m) {
    server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server, &QTcpServer::newConnection, this, [this] { accept(); });
  }
  quint16 port() const { return server.serverPort(); }
  // The switcher goes away: no more connections on its port.
  void stopListening() { server.close(); }
  QTcpSocket* client() const { return clients.isEmpty() ? nullptr : clients.last().data(); }
  void send(const QByteArray& bytes) {
    if (QTcpSocket* c = client()) {
      c->write(bytes);
      c->flush();
    }
  }

  sim::SwitcherCore core;
  Mode mode;
  QList<QByteArray> commands;  // every command received, in order
  int connections = 0;

 private:
  void accept() {
    while (QTcpSocket* s = server.nextPendingConnection()) {
      ++connections;
      if (mode == Mode::Refuse) {
        s->abort();
        s->deleteLater();
        continue;
      }
      clients << s;
      auto framer = std::make_shared<sim::CommandFramer>();
      QObject::connect(s, &QTcpSocket::readyRead, this, [this, s, framer] {
        const QByteArray in = s->readAll();
        for (const auto& f : framer->push(in)) {
          commands << f.command;
          if (mode == Mode::Silent) continue;
          if (mode == Mode::IdentifyOnly && f.command.startsWith("Status")) continue;
          s->write(core.execute(f.command));
        }
      });
    }
  }
  QTcpServer server;
  QList<QPointer<QTcpSocket>> clients;
};

// The window in TCP/IP mode at 127.0.0.1, connected to sw (Switcher.ini also holds extra):
// whether the link came up on both sides.
inline bool startOnTcp(const SimTcpSwitcher& sw, const QString& extra = {}) {
  qputenv(kTcpPortEnv, QByteArray::number(sw.port()));
  writeSwitcherIni("[TCP]\nConnect=1\nIP=127.0.0.1\n" + extra);
  CreateForms();
  return QTest::qWaitFor([&sw] { return MainForm->socketActive() && sw.client(); }, 5000);
}

// The set-up of the suites that drive the window through a live link: scripted prompts, a
// fresh simulator core, the window connected to it.
inline bool beginLive(FakePrompts& prompts, std::unique_ptr<SimTcpSwitcher>& sw,
                      SimTcpSwitcher::Mode mode) {
  prompts.reset();
  platform::setPrompts(&prompts);
  sw = std::make_unique<SimTcpSwitcher>(mode);
  return startOnTcp(*sw);
}
// ... and its end: returns the boxes that no test expected.
inline QStringList endLive(FakePrompts& prompts, std::unique_ptr<SimTcpSwitcher>& sw) {
  DestroyForms();
  sw.reset();
  platform::setPrompts(nullptr);
  return prompts.unexpected;
}

// The simulator core behind the master side of a pseudo-terminal; the console opens the
// slave path as its COM port.
class SimPtySwitcher : public QObject {
 public:
  SimPtySwitcher() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    slavePath = QString::fromLocal8Bit(name);
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    readNotifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    writeNotifier = new QSocketNotifier(master, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    QObject::connect(readNotifier, &QSocketNotifier::activated, this, [this] { readInput(); });
    QObject::connect(writeNotifier, &QSocketNotifier::activated, this, [this] { flush(); });
  }
  ~SimPtySwitcher() override {
    delete readNotifier;
    delete writeNotifier;
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
  }
  bool ok() const { return master >= 0; }
  // A device that stops taking bytes (paused) and takes them again.
  void pause(bool paused) { readNotifier->setEnabled(!paused); }
  void send(const QByteArray& bytes) {
    out += bytes;
    flush();
  }

  sim::SwitcherCore core;
  QString slavePath;
  QList<QByteArray> commands;

 private:
  void readInput() {
    char buf[512];
    for (;;) {
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      for (const auto& f : framer.push(QByteArray(buf, int(n)))) {
        commands << f.command;
        out += core.execute(f.command);
      }
    }
    flush();
  }
  void flush() {
    while (!out.isEmpty()) {
      const ssize_t n = ::write(master, out.constData(), size_t(out.size()));
      if (n <= 0) break;
      out.remove(0, int(n));
    }
    writeNotifier->setEnabled(!out.isEmpty());
  }
  int master = -1;
  int slave = -1;
  sim::CommandFramer framer;
  QByteArray out;
  QSocketNotifier* readNotifier = nullptr;
  QSocketNotifier* writeNotifier = nullptr;
};
