#pragma once
// A real mosquitto broker for one test, on a free loopback port with its own config file,
// stopped by its process id; and a subscriber on libmosquitto's own thread that keeps the
// last payload of every topic and the list of what arrived.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <mosquitto.h>
#include <atomic>
#include <mutex>
#include <signal.h>

class Broker {
 public:
  Broker() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    port = probe.serverPort();
  }
  ~Broker() { stop(); }
  // Starts (again) on the same port; true once it accepts connections.
  bool start(bool anonymous = true) {
    QFile conf(dir.filePath("mosquitto.conf"));
    if (!conf.open(QIODevice::WriteOnly)) return false;
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous %2\npersistence false\nlog_dest none\n").arg(port).arg(anonymous ? "true" : "false").toLatin1());
    conf.close();
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The broker lives in /usr/sbin, which a normal user's PATH leaves out.
    QString exe = QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
    if (exe.isEmpty())
      exe = QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    process.start(exe.isEmpty() ? QStringLiteral("mosquitto") : exe, {QStringLiteral("-c"), conf.fileName()});
    if (!process.waitForStarted(5000)) return false;
    return QTest::qWaitFor([this] {
      QTcpSocket s;
      s.connectToHost(QHostAddress::LocalHost, port);
      return s.waitForConnected(100);
    }, 5000);
  }
  void stop() {
    if (process.state() == QProcess::NotRunning) return;
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(5000)) process.kill();
    process.waitForFinished(5000);
  }
  quint16 port = 0;

 private:
  QTemporaryDir dir;
  QProcess process;
};

class Subscriber {
 public:
  explicit Subscriber(quint16 port, const char* pattern = "#") {
    mosquitto_lib_init();
    m = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
      auto* s = static_cast<Subscriber*>(self);
      const std::lock_guard<std::mutex> hold(s->lock);
      const QByteArray payload(static_cast<const char*>(msg->payload), msg->payloadlen);
      s->last.insert(QString::fromUtf8(msg->topic), payload);
      s->log.append({QString::fromUtf8(msg->topic), payload});
    });
    topic = pattern;
    mosquitto_connect_callback_set(m, [](mosquitto* mo, void* self, int) {
      mosquitto_subscribe(mo, nullptr, static_cast<Subscriber*>(self)->topic.constData(), 1);
    });
    mosquitto_subscribe_callback_set(m, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->subscribed = true;
    });
    mosquitto_connect(m, "127.0.0.1", port, 30);
    mosquitto_loop_start(m);
  }
  ~Subscriber() {
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
  }
  QByteArray value(const QString& t) {
    const std::lock_guard<std::mutex> hold(lock);
    return last.value(t, QByteArray("<none>"));
  }
  bool has(const QString& t) {
    const std::lock_guard<std::mutex> hold(lock);
    return last.contains(t);
  }
  QList<QPair<QString, QByteArray>> messages() {
    const std::lock_guard<std::mutex> hold(lock);
    return log;
  }
  int count(const QString& prefix) {
    const std::lock_guard<std::mutex> hold(lock);
    int n = 0;
    for (const auto& e : log) n += e.first.startsWith(prefix);
    return n;
  }
  void clear() {
    const std::lock_guard<std::mutex> hold(lock);
    log.clear();
    last.clear();
  }
  void publish(const QString& t, const QByteArray& payload, bool retain = false) {
    const QByteArray tt = t.toUtf8();
    mosquitto_publish(m, nullptr, tt.constData(), int(payload.size()), payload.constData(), retain ? 1 : 0, retain);
  }

 private:
  mosquitto* m = nullptr;
  QByteArray topic;

 public:
  std::atomic<bool> subscribed{false};

 private:
  std::mutex lock;
  QHash<QString, QByteArray> last;
  QList<QPair<QString, QByteArray>> log;
};
