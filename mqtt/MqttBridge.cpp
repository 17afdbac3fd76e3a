#include "MqttBridge.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "MosquittoApi.h"

namespace mqtt {

namespace {
constexpr int kMiscMs = 1000;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kCloseFlushMs = 1000;
// Retained state goes at QoS 0: every connect publishes all of it again, so an acknowledgement
// would guard nothing, and with QoS 1 a 256-line burst's 768 messages waited behind a window
// of acknowledgements whose reads and sends ran into the next burst (bench_mqtt: the console's
// burst 3.4 to 4 times as long with a subscriber, 1.3 times at QoS 0).
constexpr int kStateQos = 0;
constexpr int kWillQos = 1;
// Messages awaiting the broker's acknowledgement (only the last will's kind now): the library
// walks that whole list on every publish, so it stays bounded.
constexpr int kInflight = 100;
constexpr int kCommandQos = 0;  // a command is never delivered twice
// Retained commands already answered; a flood of distinct ones starts the memory again.
constexpr int kMaxRetainedRefused = 4096;
constexpr char kLabel[] = "mqtt";
enum Family { kNamesFamily = 1, kDiscoveryFamily = 2 };
enum Which { kRead, kWrite, kMisc };

// Set by the key's pass-phrase callback on the connect call's thread.
thread_local bool keyAskedForPassphrase = false;

// OpenSSL asks this instead of the terminal: the console never prompts.
int refusePassphrase(char*, int, int, void*) {
  keyAskedForPassphrase = true;
  return 0;
}

bool tlsFailure(int rc) { return rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE; }

QString lowerFirst(QString s) {
  if (s.endsWith(QLatin1Char('.'))) s.chop(1);
  return s.isEmpty() ? s : s.at(0).toLower() + s.mid(1);
}

QString reasonOf(const MosquittoApi* api, int rc, int err) {
  switch (rc) {
    case MOSQ_ERR_ERRNO: return QString::fromLocal8Bit(std::strerror(err)).toLower();
    case MOSQ_ERR_CONN_LOST: return QStringLiteral("connection lost");
    case MOSQ_ERR_EAI: return QStringLiteral("host not found");
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE: return QStringLiteral("TLS failure");
    case MOSQ_ERR_NO_CONN: return QStringLiteral("not connected");
    default: return lowerFirst(QString::fromUtf8(api->strerror(rc)));
  }
}

// A CONNACK's MQTT 5 reason code, told in 3.1.1's words where one says the same.
QString refusalOf(const MosquittoApi* api, int rc) {
  int old = 0;
  switch (rc) {
    case 0x84: old = 1; break;  // unsupported protocol version
    case 0x85: old = 2; break;  // client identifier not valid
    case 0x88: old = 3; break;  // server unavailable
    case 0x86: old = 4; break;  // bad user name or password
    case 0x87: old = 5; break;  // not authorized
    default: break;
  }
  if (old > 0) return lowerFirst(QString::fromUtf8(api->connackString(old)).toLower());
  return QStringLiteral("connection refused: ") + lowerFirst(QString::fromUtf8(api->reasonString(rc)));
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

// "output/N/LEAF" of base: N, or 0 when the topic is not one.
int outputOf(QStringView rest, QStringView leaf) {
  if (!rest.startsWith(u"output/") || !rest.endsWith(leaf) || rest.size() <= 7 + leaf.size()) return 0;
  const QStringView n = rest.mid(7, rest.size() - 7 - leaf.size());
  bool ok = false;
  const int v = n.toInt(&ok);
  return ok && n.size() <= 3 && !n.startsWith(u'+') ? v : 0;
}
}  // namespace

// A connect call on its own thread. The bridge lets go of it (owner null) when it gives up
// waiting or goes away; the thread then destroys the handle itself.
struct MqttBridge::ConnectJob {
  std::mutex lock;
  MqttBridge* owner = nullptr;
};

MqttBridge::MqttBridge(MqttHost& h, const Settings& s, QObject* parent)
    : QObject(parent), host(h), cfg(s), dirtyOutputs(routing::kOutputs + 1, false) {
  miscTimer = new QTimer(this);
  miscTimer->setInterval(kMiscMs);
  connect(miscTimer, &QTimer::timeout, this, [this] { pump(kMisc); });
  retryTimer = new QTimer(this);
  retryTimer->setSingleShot(true);
  connect(retryTimer, &QTimer::timeout, this, [this] {
    if (st == State::Waiting) connectNow();
    else if (st == State::Connecting && (mosq || connecting)) lost(QStringLiteral("no answer from the broker"), false);
  });
}

MqttBridge::~MqttBridge() {
  if (mosq && !connecting && st == State::Connected) {
    // After whatever state is still queued; a clean close leaves no "up" behind it.
    const QByteArray link = utf8(cfg.base() + QStringLiteral("/link"));
    const QByteArray topic = utf8(cfg.base() + QStringLiteral("/status"));
    api->publish(mosq, nullptr, link.constData(), 4, "down", 0, true);
    api->publish(mosq, nullptr, topic.constData(), 7, "offline", 0, true);
    api->disconnect(mosq);
    // What the socket did not take at once, for a bounded time.
    const int fd = api->socket(mosq);
    QDeadlineTimer deadline(kCloseFlushMs);
    while (fd >= 0 && api->wantWrite(mosq) && !deadline.hasExpired()) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, int(deadline.remainingTime())) <= 0) break;
      if (api->loopWrite(mosq, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  teardown();
}

void MqttBridge::start() {
  if (st != State::Off) return;
  QString error;
  api = Mosquitto(&error);
  if (!api) {
    setStatus(QStringLiteral("MQTT: not started (%1)").arg(error));
    return;
  }
  if (!cfg.user.isEmpty() && !cfg.passwordFile.isEmpty()) {
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
  const QByteArray clientId = utf8(cfg.clientId());
  mosq = api->create(clientId.constData(), true, this);
  if (!mosq) {
    lost(QStringLiteral("out of memory"), false);
    return;
  }
  api->intOption(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  api->maxInflight(mosq, kInflight);
  // A lone update (one route set) leaves at once instead of waiting for the broker's ack of
  // the one before (Nagle's algorithm against delayed acks: 40-90 ms on loopback).
  api->intOption(mosq, MOSQ_OPT_TCP_NODELAY, 1);
  const QByteArray will = utf8(cfg.base() + QStringLiteral("/status"));
  api->willSet(mosq, will.constData(), 7, "offline", kWillQos, true);
  if (!cfg.user.isEmpty()) {
    const QByteArray user = utf8(cfg.user);
    api->usernamePwSet(mosq, user.constData(), password.isEmpty() ? nullptr : password.constData());
  }
  if (cfg.tls) {
    const QByteArray ca = utf8(cfg.caFile), cert = utf8(cfg.certFile), key = utf8(cfg.keyFile);
    if (ca.isEmpty()) api->intOption(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    const int rc = api->tlsSet(mosq, ca.isEmpty() ? nullptr : ca.constData(), nullptr,
                               cert.isEmpty() ? nullptr : cert.constData(),
                               key.isEmpty() ? nullptr : key.constData(), &refusePassphrase);
    if (rc != MOSQ_ERR_SUCCESS) {
      lost(QStringLiteral("TLS set-up: %1").arg(reasonOf(api, rc, errno)), true);
      return;
    }
  }
  api->connectCallbackSet(mosq, &MqttBridge::connectCallback);
  api->messageCallbackSet(mosq, &MqttBridge::messageCallback);

  // The name lookup and the TCP connect may block: on a thread of their own, which nothing
  // waits for. Nothing else touches the handle until connectDone runs here.
  auto job = std::make_shared<ConnectJob>();
  job->owner = this;
  connecting = job;
  std::thread([job, m = mosq, a = api, hostName = utf8(cfg.host), port = cfg.effectivePort()] {
    mosquitto_property* props = nullptr;
    a->propertyAddInt32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE, kMaxPacketBytes);
    keyAskedForPassphrase = false;
    const int rc = a->connectBindV5(m, hostName.constData(), port, kKeepAliveSeconds, nullptr, props);
    const int err = errno;
    const bool keyLocked = keyAskedForPassphrase;
    a->propertyFreeAll(&props);
    const std::lock_guard<std::mutex> hold(job->lock);
    if (!job->owner) {
      a->destroy(m);
      return;
    }
    MqttBridge* b = job->owner;
    QMetaObject::invokeMethod(b, [b, job, m, rc, err, keyLocked] { b->connectDone(job, m, rc, err, keyLocked); },
                              Qt::QueuedConnection);
  }).detach();
  retryTimer->start(kConnectTimeoutMs);
}

void MqttBridge::connectDone(const std::shared_ptr<ConnectJob>& job, mosquitto* handle, int rc, int err, bool keyLocked) {
  if (job != connecting) {  // given up on while its answer was on the way
    api->destroy(handle);
    return;
  }
  connecting.reset();
  if (keyLocked) {
    lost(QStringLiteral("KeyFile is protected by a pass phrase, which the console never asks for"), true);
    return;
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    lost(reasonOf(api, rc, err), tlsFailure(rc) || rc == MOSQ_ERR_AUTH);
    return;
  }
  const int fd = api->socket(mosq);
  if (fd < 0) {
    lost(QStringLiteral("no socket"), false);
    return;
  }
  // The library's connect left it blocking or not depending on its version: reads on the
  // window's thread must never wait.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  connect(readNotifier, &QSocketNotifier::activated, this, [this] { pump(kRead); });
  connect(writeNotifier, &QSocketNotifier::activated, this, [this] { pump(kWrite); });
  miscTimer->start();
  updateWrite();
}

void MqttBridge::pump(int which) {
  if (!mosq || connecting) return;
  const int rc = which == kRead ? api->loopRead(mosq, 1)
                 : which == kWrite ? api->loopWrite(mosq, 1)
                                   : api->loopMisc(mosq);
  const int err = errno;
  if (!refusal.isEmpty()) {
    lost(refusal, true);
    return;
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    lost(reasonOf(api, rc, err), tlsFailure(rc) || rc == MOSQ_ERR_AUTH);
    return;
  }
  const QPointer<MqttBridge> self(this);
  if (justConnected) {
    justConnected = false;
    st = State::Connected;
    delay = kFirstRetrySeconds;
    retryTimer->stop();
    // Commands keep their retain flag, so that a retained one is known for what it is; this
    // console's own retained topics of earlier runs come back once, for clearing what is stale.
    for (const QString& t : CommandSubscriptions(cfg.base())) {
      const QByteArray topic = utf8(t);
      api->subscribeV5(mosq, nullptr, topic.constData(), kCommandQos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    }
    for (const QString& t : StateSubscriptions(cfg.base(), cfg.discoveryPrefix, cfg.nodeId())) {
      const QByteArray topic = utf8(t);
      api->subscribeV5(mosq, nullptr, topic.constData(), kCommandQos, MQTT_SUB_OPT_NO_LOCAL, nullptr);
    }
    publishAll();
    setStatus(QStringLiteral("MQTT: connected to %1:%2 as %3").arg(cfg.host).arg(cfg.effectivePort()).arg(cfg.base()));
    emit connectedChanged(true);
    if (!self) return;
  }
  if (!inbox.empty()) {
    std::vector<Incoming> todo;
    todo.swap(inbox);
    for (const Incoming& m : todo) {
      handle(m);
      if (!self || !mosq) return;
    }
  }
  updateWrite();
}

void MqttBridge::updateWrite() {
  if (writeNotifier && mosq) writeNotifier->setEnabled(api->wantWrite(mosq));
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
  if (connecting) {
    // The connect call still holds the handle: it destroys it when it returns.
    const std::lock_guard<std::mutex> hold(connecting->lock);
    connecting->owner = nullptr;
    connecting.reset();
    mosq = nullptr;
  }
  if (mosq) {
    api->destroy(mosq);
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
  else b->refusal = refusalOf(b->api, rc);
}

void MqttBridge::messageCallback(mosquitto*, void* self, const mosquitto_message* m) {
  auto* b = static_cast<MqttBridge*>(self);
  b->inbox.push_back({QString::fromUtf8(m->topic),
                      QByteArray(static_cast<const char*>(m->payload), qMax(0, m->payloadlen)), m->retain});
}

void MqttBridge::handle(const Incoming& m) {
  const QString base = cfg.base() + QLatin1Char('/');
  if (!topicIsCommand(m.topic, cfg.base())) {
    // This console's own state (or discovery config) of an earlier run; others' live
    // messages on those topics are not ours to answer.
    if (m.retained) learned(m.topic);
    return;
  }
  if (m.retained) return refuseRetained(m);
  const Command c = ParseCommand(m.topic.mid(base.size()), m.payload, inputCount(), outputCount());
  if (c.kind == Command::Kind::Invalid) return fail(m.topic, m.payload, c.reason);
  if (cfg.readOnly) {
    host.refusedReadOnly();
    return fail(m.topic, m.payload, QStringLiteral("read-only"));
  }
  if (c.kind == Command::Kind::Protect) {
    // Held apart from the link: a protect set while the switcher is away holds when it is back.
    if (const QString why = protectedBy(c.output); !why.isEmpty()) return fail(m.topic, m.payload, why);
    host.setProtect(c.output, QString::fromLatin1(kLabel), c.protect);
    return;
  }
  if (!host.linkReady()) return fail(m.topic, m.payload, QStringLiteral("link closed"));
  if (c.kind == Command::Kind::Route)
    if (const QString why = protectedBy(c.output); !why.isEmpty()) return fail(m.topic, m.payload, why);
  if (c.kind != Command::Kind::Group) return send(m.topic, m.payload, c.commands);
  const QStringList groups = host.groups();
  const int at = GroupIndex(ButtonPayloads(groups), c.group);
  if (at < 0) return fail(m.topic, m.payload, QStringLiteral("no such group"));
  std::vector<QByteArray> codes;
  for (QByteArray& code : host.groupCodes(at))
    if (!code.isEmpty()) codes.push_back(std::move(code));
  send(m.topic, m.payload, codes);
}

void MqttBridge::send(const QString& topic, const QByteArray& payload, const std::vector<QByteArray>& commands) {
  const QPointer<MqttBridge> self(this);
  // One message's commands go on air whole or not at all; its drops are told once.
  if (commands.size() > 1 && !host.canSend(int(commands.size()), QString::fromLatin1(kLabel)))
    return fail(topic, payload, host.linkReady() ? QStringLiteral("busy: 256 commands waiting") : QStringLiteral("link closed"));
  auto told = std::make_shared<bool>(false);
  for (const QByteArray& command : commands) {
    const SendResult r = host.sendCommand(command, QString::fromLatin1(kLabel), [self, topic, payload, told] {
      if (!self || *told) return;
      *told = true;
      self->fail(topic, payload, QStringLiteral("link closed"));
    });
    if (!self) return;
    if (r == SendResult::Busy) return fail(topic, payload, QStringLiteral("busy: 256 commands waiting"));
    if (r == SendResult::LinkClosed) return fail(topic, payload, QStringLiteral("link closed"));
    if (r == SendResult::Protected) return fail(topic, payload, QStringLiteral("protected"));
  }
}

QString MqttBridge::protectedBy(int output) const {
  const Protect p = host.protect(output);
  if (p.label.isEmpty() || p.label == QLatin1String(kLabel)) return {};
  return QStringLiteral("output %1 is protected by %2").arg(output).arg(p.shown);
}

void MqttBridge::refuseRetained(const Incoming& m) {
  // A retained command comes again on every connect (a broker restart, a kicked client id):
  // never run, answered the first time only.
  const QByteArray key = utf8(m.topic) + '\0' + QCryptographicHash::hash(m.payload, QCryptographicHash::Sha1);
  if (retainedRefused.contains(key)) return;
  if (retainedRefused.size() >= kMaxRetainedRefused) retainedRefused.clear();
  retainedRefused.insert(key);
  fail(m.topic, m.payload, QStringLiteral("retained command ignored"));
}

bool MqttBridge::mayStay(const QString& topic) const {
  // An output that exists keeps its last state until its route is known again.
  const QString base = cfg.base() + QLatin1Char('/');
  if (!topic.startsWith(base)) return false;
  const QStringView rest = QStringView(topic).mid(base.size());
  int o = 0;
  for (const char16_t* leaf : {u"/video", u"/audio", u"/label", u"/protect"})
    if ((o = outputOf(rest, QStringView(leaf))) > 0) break;
  return o > 0 && o <= outputCount();
}

void MqttBridge::learned(const QString& topic) {
  if (sent.contains(topic) || mayStay(topic)) return;
  publishRetained(topic, {});  // left by an earlier run: gone at the broker
  updateWrite();
}

void MqttBridge::fail(const QString& topic, const QByteArray& payload, const QString& reason) {
  if (!mosq || st != State::Connected) return;
  const QByteArray t = utf8(cfg.base() + QStringLiteral("/error"));
  const QByteArray json = ErrorJson(topic, payload.left(kMaxPayload), reason);
  api->publish(mosq, nullptr, t.constData(), int(json.size()), json.constData(), kCommandQos, false);
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

Discovery MqttBridge::discovery() const { return {cfg.discoveryPrefix, cfg.base(), cfg.nodeId(), host.info()}; }

void MqttBridge::flush() {
  flushQueued = false;
  if (st != State::Connected || !mosq) {
    dirty = 0;  // all of it goes out on the next connect
    std::fill(dirtyOutputs.begin(), dirtyOutputs.end(), false);
    return;
  }
  // One turn's publishes leave in full segments, not one small write each.
  const Cork cork(api->socket(mosq));
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
        for (const char* leaf : {"video", "audio", "label", "protect"})
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
      if (cfg.readOnly) {
        // Nothing that cannot work: state only, no buttons.
        for (int o = 1; o <= outputs; ++o)
          desired.insert(SensorConfigTopic(d, o), SensorConfig(d, o, host.name(names::Kind::Output, o)));
      } else {
        QStringList options;
        for (int i = 0; i <= inputs; ++i) options << Label(i, host.name(names::Kind::Input, i));
        for (int o = 1; o <= outputs; ++o)
          desired.insert(SelectConfigTopic(d, o), SelectConfig(d, o, host.name(names::Kind::Output, o), options));
        const QStringList payloads = ButtonPayloads(groups);
        for (int g = 0; g < groups.size(); ++g)
          if (!payloads[g].isEmpty()) desired.insert(ButtonConfigTopic(d, payloads[g]), ButtonConfig(d, payloads[g]));
      }
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
  const Protect p = host.protect(o);
  publishRetained(at + QStringLiteral("protect"), p.label.isEmpty() ? QByteArray(kFree) : utf8(p.shown));
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
  api->publish(mosq, nullptr, t.constData(), int(payload.size()), payload.constData(), kStateQos, true);
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
