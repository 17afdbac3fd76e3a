#include "MqttBridge.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace mqtt {

namespace {
constexpr int kMiscMs = 1000;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kCloseFlushMs = 1000;
constexpr int kStateQos = 1;
// Retained state awaiting the broker's acknowledgement; the rest waits in the library's queue.
// The library walks its whole list of unacknowledged messages on every publish while it may
// still send, so an unbounded window made a 768-message burst quadratic (36 us a publish, a
// 256-line status burst holding the window for tens of ms); with a bounded one a publish is
// a queue append and the rest leave as acknowledgements come back.
constexpr int kInflight = 100;
constexpr int kCommandQos = 0;  // a command is never delivered twice
constexpr char kLabel[] = "mqtt";
enum Family { kNamesFamily = 1, kDiscoveryFamily = 2 };
enum Which { kRead, kWrite, kMisc };

// The library is initialised once per process; it keeps no state the bridges share.
void initLibrary() {
  static const bool once = [] {
    mosquitto_lib_init();
    return true;
  }();
  (void)once;
}

QString reasonOf(int rc, int err) {
  switch (rc) {
    case MOSQ_ERR_ERRNO: return QString::fromLocal8Bit(std::strerror(err)).toLower();
    case MOSQ_ERR_CONN_LOST: return QStringLiteral("connection lost");
    case MOSQ_ERR_EAI: return QStringLiteral("host not found");
    case MOSQ_ERR_TLS: return QStringLiteral("TLS failure");
    case MOSQ_ERR_NO_CONN: return QStringLiteral("not connected");
    default: {
      QString s = QString::fromUtf8(mosquitto_strerror(rc));
      if (s.endsWith(QLatin1Char('.'))) s.chop(1);
      return s.isEmpty() ? s : s.at(0).toLower() + s.mid(1);
    }
  }
}

QByteArray utf8(const QString& s) { return s.toUtf8(); }

// TCP_CORK for a scope: the kernel holds small writes until the scope ends (or a segment fills).
class Cork {
 public:
  explicit Cork(int fd) : fd(fd) { set(1); }
  ~Cork() { set(0); }
  Cork(const Cork&) = delete;
  Cork& operator=(const Cork&) = delete;

 private:
  void set(int on) {
    if (fd >= 0) ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  }
  int fd;
};
}  // namespace

MqttBridge::MqttBridge(MqttHost& h, const Settings& s, QObject* parent)
    : QObject(parent), host(h), cfg(s), dirtyOutputs(routing::kOutputs + 1, false) {
  initLibrary();
  miscTimer = new QTimer(this);
  miscTimer->setInterval(kMiscMs);
  connect(miscTimer, &QTimer::timeout, this, [this] { pump(kMisc); });
  retryTimer = new QTimer(this);
  retryTimer->setSingleShot(true);
  connect(retryTimer, &QTimer::timeout, this, [this] {
    if (st == State::Waiting) connectNow();
    else if (st == State::Connecting && mosq && !connecting.joinable()) lost(QStringLiteral("no answer from the broker"), false);
  });
}

MqttBridge::~MqttBridge() {
  if (connecting.joinable()) connecting.join();  // its result is dropped with this object
  if (mosq && st == State::Connected) {
    const QByteArray topic = utf8(cfg.base() + QStringLiteral("/status"));
    // QoS 0: it goes out now, ahead of any state still queued behind the in-flight window.
    mosquitto_publish(mosq, nullptr, topic.constData(), 7, "offline", 0, true);
    mosquitto_disconnect(mosq);
    // What the socket did not take at once, for a bounded time.
    const int fd = mosquitto_socket(mosq);
    QDeadlineTimer deadline(kCloseFlushMs);
    while (fd >= 0 && mosquitto_want_write(mosq) && !deadline.hasExpired()) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, int(deadline.remainingTime())) <= 0) break;
      if (mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  teardown();
}

void MqttBridge::start() {
  if (st != State::Off) return;
  if (!cfg.user.isEmpty() && !cfg.passwordFile.isEmpty()) {
    QString error;
    password = ReadPassword(cfg.passwordFile, &error);
    if (!error.isEmpty()) {
      setStatus(QStringLiteral("MQTT: not started (%1)").arg(error));
      return;
    }
  }
  connectNow();
}

void MqttBridge::connectNow() {
  teardown();
  st = State::Connecting;
  refusal.clear();
  justConnected = false;
  const QByteArray clientId = utf8(QStringLiteral("switcher-console-%1-%2").arg(cfg.prefix, cfg.id));
  mosq = mosquitto_new(clientId.constData(), true, this);
  if (!mosq) {
    lost(QStringLiteral("out of memory"), false);
    return;
  }
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_max_inflight_messages_set(mosq, kInflight);
  // A lone update (one route set) leaves at once instead of waiting for the broker's ack of
  // the one before (Nagle's algorithm against delayed acks: 40-90 ms on loopback).
  mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
  const QByteArray will = utf8(cfg.base() + QStringLiteral("/status"));
  mosquitto_will_set(mosq, will.constData(), 7, "offline", kStateQos, true);
  if (!cfg.user.isEmpty()) {
    const QByteArray user = utf8(cfg.user);
    mosquitto_username_pw_set(mosq, user.constData(), password.isEmpty() ? nullptr : password.constData());
  }
  if (cfg.tls) {
    const QByteArray ca = utf8(cfg.caFile), cert = utf8(cfg.certFile), key = utf8(cfg.keyFile);
    if (ca.isEmpty()) mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    const int rc = mosquitto_tls_set(mosq, ca.isEmpty() ? nullptr : ca.constData(), nullptr,
                                     cert.isEmpty() ? nullptr : cert.constData(),
                                     key.isEmpty() ? nullptr : key.constData(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      lost(QStringLiteral("TLS set-up: %1").arg(reasonOf(rc, errno)), true);
      return;
    }
  }
  mosquitto_connect_callback_set(mosq, &MqttBridge::connectCallback);
  mosquitto_message_callback_set(mosq, &MqttBridge::messageCallback);

  // The name lookup and the start of the TCP connect may block: off the window's thread.
  // Nothing else touches the handle until connectDone runs here.
  const QByteArray hostName = utf8(cfg.host);
  connecting = std::thread([this, m = mosq, hostName, port = cfg.effectivePort()] {
    const int rc = mosquitto_connect_async(m, hostName.constData(), port, kKeepAliveSeconds);
    const int err = errno;
    QMetaObject::invokeMethod(this, [this, rc, err] { connectDone(rc, err); }, Qt::QueuedConnection);
  });
  retryTimer->start(kConnectTimeoutMs);
}

void MqttBridge::connectDone(int rc, int err) {
  if (connecting.joinable()) connecting.join();
  if (rc != MOSQ_ERR_SUCCESS) {
    lost(reasonOf(rc, err), false);
    return;
  }
  const int fd = mosquitto_socket(mosq);
  if (fd < 0) {
    lost(QStringLiteral("no socket"), false);
    return;
  }
  readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  connect(readNotifier, &QSocketNotifier::activated, this, [this] { pump(kRead); });
  connect(writeNotifier, &QSocketNotifier::activated, this, [this] { pump(kWrite); });
  miscTimer->start();
  updateWrite();
}

void MqttBridge::pump(int which) {
  if (!mosq || connecting.joinable()) return;
  const int rc = which == kRead ? mosquitto_loop_read(mosq, 1)
                 : which == kWrite ? mosquitto_loop_write(mosq, 1)
                                   : mosquitto_loop_misc(mosq);
  const int err = errno;
  if (!refusal.isEmpty()) {
    lost(refusal, true);
    return;
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    lost(reasonOf(rc, err), rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_AUTH);
    return;
  }
  const QPointer<MqttBridge> self(this);
  if (justConnected) {
    justConnected = false;
    st = State::Connected;
    delay = kFirstRetrySeconds;
    retryTimer->stop();
    for (const QString& t : CommandSubscriptions(cfg.base())) {
      const QByteArray topic = utf8(t);
      mosquitto_subscribe(mosq, nullptr, topic.constData(), kCommandQos);
    }
    publishAll();
    setStatus(QStringLiteral("MQTT: connected to %1:%2 as %3").arg(cfg.host).arg(cfg.effectivePort()).arg(cfg.base()));
    emit connectedChanged(true);
    if (!self) return;
  }
  if (!inbox.empty()) {
    std::vector<std::pair<QString, QByteArray>> todo;
    todo.swap(inbox);
    for (const auto& m : todo) {
      handle(m.first, m.second);
      if (!self || !mosq) return;
    }
  }
  updateWrite();
}

void MqttBridge::updateWrite() {
  if (writeNotifier && mosq) writeNotifier->setEnabled(mosquitto_want_write(mosq));
}

void MqttBridge::lost(const QString& reason, bool slow) {
  const bool wasConnected = st == State::Connected;
  teardown();
  st = State::Waiting;
  if (wasConnected) delay = kFirstRetrySeconds;
  const int wait = slow ? kMaxRetrySeconds : delay;
  delay = slow ? kMaxRetrySeconds : qMin(delay * 2, kMaxRetrySeconds);
  retryTimer->start(wait * 1000);
  setStatus(QStringLiteral("MQTT: %1 (%2), next try in %3 s")
                .arg(wasConnected ? QStringLiteral("connection lost") : QStringLiteral("cannot connect"), reason)
                .arg(wait));
  if (wasConnected) emit connectedChanged(false);
}

void MqttBridge::teardown() {
  delete readNotifier;
  delete writeNotifier;
  readNotifier = writeNotifier = nullptr;
  miscTimer->stop();
  inbox.clear();
  if (mosq) {
    mosquitto_destroy(mosq);
    mosq = nullptr;
  }
}

void MqttBridge::setStatus(const QString& text) {
  if (text == status) return;
  status = text;
  emit statusChanged(status);
}

void MqttBridge::connectCallback(mosquitto*, void* self, int rc) {
  auto* b = static_cast<MqttBridge*>(self);
  if (rc == 0) b->justConnected = true;
  else {
    b->refusal = QString::fromUtf8(mosquitto_connack_string(rc)).toLower();
    if (b->refusal.endsWith(QLatin1Char('.'))) b->refusal.chop(1);
  }
}

void MqttBridge::messageCallback(mosquitto*, void* self, const mosquitto_message* m) {
  auto* b = static_cast<MqttBridge*>(self);
  b->inbox.emplace_back(QString::fromUtf8(m->topic),
                        QByteArray(static_cast<const char*>(m->payload), qMax(0, m->payloadlen)));
}

void MqttBridge::handle(const QString& topic, const QByteArray& payload) {
  const QString base = cfg.base() + QLatin1Char('/');
  if (!topic.startsWith(base)) return fail(topic, payload, QStringLiteral("unknown topic"));
  const Command c = ParseCommand(topic.mid(base.size()), payload, inputCount(), outputCount());
  if (c.kind == Command::Kind::Invalid) return fail(topic, payload, c.reason);
  if (cfg.readOnly) return fail(topic, payload, QStringLiteral("read-only"));
  if (!host.linkReady()) return fail(topic, payload, QStringLiteral("link closed"));
  auto refused = [&](SendResult r) {
    switch (r) {
      case SendResult::Accepted: return false;
      case SendResult::Busy: fail(topic, payload, QStringLiteral("busy: 256 commands waiting")); return true;
      case SendResult::LinkClosed: fail(topic, payload, QStringLiteral("link closed")); return true;
      case SendResult::UnknownGroup: fail(topic, payload, QStringLiteral("no such group")); return true;
    }
    return true;
  };
  if (c.kind == Command::Kind::Group) {
    refused(host.executeGroup(c.group));
    return;
  }
  const QPointer<MqttBridge> self(this);
  for (const QByteArray& command : c.commands) {
    const SendResult r = host.sendCommand(command, QString::fromLatin1(kLabel), [self, topic, payload] {
      if (self) self->fail(topic, payload, QStringLiteral("link closed"));
    });
    if (!self || refused(r)) return;
  }
}

void MqttBridge::fail(const QString& topic, const QByteArray& payload, const QString& reason) {
  if (!mosq || st != State::Connected) return;
  const QByteArray t = utf8(cfg.base() + QStringLiteral("/error"));
  const QByteArray json = ErrorJson(topic, payload.left(kMaxPayload), reason);
  mosquitto_publish(mosq, nullptr, t.constData(), int(json.size()), json.constData(), kCommandQos, false);
  ++published;
}

void MqttBridge::routeChanged(int output) {
  if (output < 1 || output > routing::kOutputs) return;
  dirtyOutputs[size_t(output)] = true;
  mark(0);
}
void MqttBridge::namesChanged() { mark(kNames); }
void MqttBridge::groupsChanged() { mark(kGroups); }
void MqttBridge::infoChanged() { mark(kInfo); }
void MqttBridge::linkChanged() { mark(kLink | kInfo); }

void MqttBridge::mark(unsigned what) {
  dirty |= what;
  if (flushQueued) return;
  flushQueued = true;
  // After the rest of this turn: a burst read in one go leaves as one batch.
  QMetaObject::invokeMethod(this, [this] { flush(); }, Qt::QueuedConnection);
}

int MqttBridge::inputCount() const { return cfg.inputs > 0 ? cfg.inputs : qBound(1, host.info().inputs, routing::kMaxInput); }
int MqttBridge::outputCount() const { return cfg.outputs > 0 ? cfg.outputs : qBound(1, host.info().outputs, routing::kOutputs); }

Discovery MqttBridge::discovery() const {
  return {cfg.discoveryPrefix, cfg.base(), cfg.prefix + QLatin1Char('_') + cfg.id, host.info()};
}

void MqttBridge::flush() {
  flushQueued = false;
  if (st != State::Connected || !mosq) {
    dirty = 0;  // all of it goes out on the next connect
    std::fill(dirtyOutputs.begin(), dirtyOutputs.end(), false);
    return;
  }
  // One turn's publishes leave in full segments, not one small write each.
  const Cork cork(mosquitto_socket(mosq));
  const QString base = cfg.base();
  const unsigned what = dirty;
  dirty = 0;
  const int outputs = outputCount();
  const int inputs = inputCount();
  if (what & kLink) publishRetained(base + QStringLiteral("/link"), host.linkUp() ? "up" : "down");
  bool allOutputs = false;
  bool names = what & kNames, disco = what & kDiscovery;
  if (what & kInfo) {
    Info info = host.info();
    info.inputs = inputs;
    info.outputs = outputs;
    publishRetained(base + QStringLiteral("/info"), InfoJson(info));
    disco = true;  // the device's model and version
    if (outputs != lastOutputs) {
      // Outputs no longer published lose their state.
      for (int o = outputs + 1; o <= lastOutputs; ++o)
        for (const char* leaf : {"video", "audio", "label"})
          publishRetained(QStringLiteral("%1/output/%2/%3").arg(base).arg(o).arg(QLatin1String(leaf)), {});
      lastOutputs = outputs;
      names = allOutputs = true;
    }
  }
  QStringList groups;
  if ((what & kGroups) || disco) groups = host.groups();
  if (what & kGroups) {
    publishRetained(base + QStringLiteral("/groups"), GroupsJson(groups));
    disco = true;
  }
  if (names) {
    QHash<QString, QByteArray> desired;
    // Named ones only; a name removed since it was published is cleared by syncFamily.
    for (int i = 1; i <= qMin(inputs, names::kMaxNumber); ++i)
      if (const QString n = host.name(names::Kind::Input, i); !n.isEmpty())
        desired.insert(QStringLiteral("%1/input/%2/name").arg(base).arg(i), utf8(n));
    for (int o = 1; o <= outputs; ++o)
      if (const QString n = host.name(names::Kind::Output, o); !n.isEmpty())
        desired.insert(QStringLiteral("%1/output/%2/name").arg(base).arg(o), utf8(n));
    syncFamily(kNamesFamily, desired);
    allOutputs = disco = true;  // labels and options carry the input names
  }
  if (disco) {
    QHash<QString, QByteArray> desired;
    if (cfg.discovery) {
      const Discovery d = discovery();
      QStringList options;
      for (int i = 0; i <= inputs; ++i) options << Label(i, host.name(names::Kind::Input, i));
      for (int o = 1; o <= outputs; ++o)
        desired.insert(SelectConfigTopic(d, o), SelectConfig(d, o, host.name(names::Kind::Output, o), options));
      for (const QString& g : groups) desired.insert(ButtonConfigTopic(d, g), ButtonConfig(d, g));
    }
    syncFamily(kDiscoveryFamily, desired);
  }
  for (int o = 1; o <= outputs; ++o) {
    if (!allOutputs && !dirtyOutputs[size_t(o)]) continue;
    publishOutput(o);
  }
  std::fill(dirtyOutputs.begin(), dirtyOutputs.end(), false);
  updateWrite();
}

void MqttBridge::publishOutput(int o) {
  const routing::Route r = host.route(o);
  const QString at = QStringLiteral("%1/output/%2/").arg(cfg.base()).arg(o);
  if (r.video != routing::kUnknown) {
    publishRetained(at + QStringLiteral("video"), QByteArray::number(r.video));
    publishRetained(at + QStringLiteral("label"), utf8(Label(r.video, host.name(names::Kind::Input, r.video))));
  }
  if (r.audio != routing::kUnknown) publishRetained(at + QStringLiteral("audio"), QByteArray::number(r.audio));
}

void MqttBridge::syncFamily(int family, const QHash<QString, QByteArray>& desired) {
  QSet<QString>& have = families[family];
  for (auto it = have.begin(); it != have.end();) {
    if (desired.contains(*it)) {
      ++it;
      continue;
    }
    publishRetained(*it, {});  // an empty retained message removes it at the broker
    it = have.erase(it);
  }
  for (auto it = desired.cbegin(); it != desired.cend(); ++it) {
    publishRetained(it.key(), it.value());
    if (!it.value().isEmpty()) have.insert(it.key());
  }
}

void MqttBridge::publishRetained(const QString& topic, const QByteArray& payload) {
  auto at = sent.find(topic);
  if (at != sent.end() && *at == payload) return;
  if (!mosq || st != State::Connected) return;
  sent.insert(topic, payload);
  const QByteArray t = utf8(topic);
  mosquitto_publish(mosq, nullptr, t.constData(), int(payload.size()), payload.constData(), kStateQos, true);
  ++published;
}

void MqttBridge::publishAll() {
  sent.clear();
  lastOutputs = 0;
  publishRetained(cfg.base() + QStringLiteral("/status"), "online");
  dirty |= kAll;
  flush();
}

}  // namespace mqtt
