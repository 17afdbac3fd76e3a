#include "Swp08Protocol.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace swp08 {

namespace {
constexpr int kNothingTold = -2;

// Exactly what is served: control systems send nothing the answer does not list.
const std::vector<quint8> kSends = {0x03, 0x04, 0x09, 0x0B, 0x0D, 0x0F, 0x12, 0x14, 0x16, 0x17, 0x62,
                                    0x6A, 0x6B, 0x83, 0x84, 0x8B, 0x8D, 0x8F, 0x94, 0x97, 0xEA, 0xEB};
const std::vector<quint8> kReceives = {0x01, 0x02, 0x08, 0x0A, 0x0C, 0x0E, 0x11, 0x13, 0x15, 0x61, 0x64,
                                       0x66, 0x81, 0x82, 0x8A, 0x8C, 0x8E, 0x93, 0x95, 0xE4, 0xE6};

QByteArray keyOf(char kind, int level, int destination) {
  return QByteArray(1, kind) + QByteArray::number(level) + ':' + QByteArray::number(destination);
}

// What a route command of one level reads: "3V12." moves the video of output 12 to input 3.
QByteArray routeCommand(int level, int input, int output) {
  return QByteArray::number(input) + (level == 0 ? 'V' : 'A') + QByteArray::number(output) + '.';
}
}  // namespace

Swp08Protocol::Swp08Protocol(Swp08Host& host, Options options, QObject* parent)
    : QObject(parent),
      host(host),
      options(options),
      flushTimer(new QTimer(this)),
      resendTimer(new QTimer(this)),
      pendingTimer(new QTimer(this)) {
  clock.start();
  flushTimer->setSingleShot(true);
  QObject::connect(flushTimer, &QTimer::timeout, this, &Swp08Protocol::flushRoutes);
  for (auto& level : told) level.assign(size_t(kMaxOutputs), kNothingTold);
  // One timer for every client's resends: a resend is due a whole kAckWait after its send, so
  // a tick of a tenth of it keeps the wait within 10 %.
  resendTimer->setInterval(int(kAckWait.count() / 10));
  QObject::connect(resendTimer, &QTimer::timeout, this, &Swp08Protocol::tick);
  pendingTimer->setInterval(int(kReportBound.count() / 2));
  QObject::connect(pendingTimer, &QTimer::timeout, this, &Swp08Protocol::checkPending);
}

Swp08Protocol::~Swp08Protocol() = default;

void Swp08Protocol::join(ClientId id, const QString& label, Sink sink, Closer close) {
  Client& c = clients[id];
  c.label = label;
  c.sink = std::move(sink);
  c.close = std::move(close);
}

void Swp08Protocol::leave(ClientId id) {
  const auto it = clients.find(id);
  if (it == clients.end()) return;
  const QString label = it->second.label;
  clients.erase(it);
  for (auto& [key, p] : pending)
    if (p.client == id) p.client = 0;
  host.forgetProtects(label);
}

bool Swp08Protocol::waiting(ClientId id) const {
  const auto it = clients.find(id);
  if (it != clients.end() && (!it->second.queue.empty() || !dirty.empty())) return true;
  return std::any_of(pending.begin(), pending.end(), [id](const auto& p) { return p.second.client == id; });
}

void Swp08Protocol::bytesIn(ClientId id, const char* data, int size) {
  std::vector<Deframer::Event> events;
  {
    const auto it = clients.find(id);
    if (it == clients.end()) return;
    it->second.deframer.push(data, size, &events);
  }
  for (const Deframer::Event& e : events) {
    const auto it = clients.find(id);
    if (it == clients.end()) return;  // closed on the way
    Client& c = it->second;
    switch (e.kind) {
      case Deframer::Event::Ack: acked(id, true); break;
      case Deframer::Event::Nak: acked(id, false); break;
      case Deframer::Event::Bad: c.sink(NakBytes()); break;
      case Deframer::Event::Message:
        // The acknowledge says the frame arrived whole; it goes before any answer.
        c.sink(AckBytes());
        if (clients.count(id)) message(id, c, e.data);
        break;
    }
  }
}

void Swp08Protocol::noteOnce(ClientId id, const QString& text) {
  // Never makes a client: one dropped on the way is not brought back.
  const auto it = clients.find(id);
  if (it == clients.end()) return;
  Client& c = it->second;
  if (c.noted.size() < 64 && c.noted.insert(text.toUtf8()).second) emit note(QStringLiteral("SW-P-08 %1: %2").arg(c.label, text));
}

QString Swp08Protocol::labelOf(ClientId id) const {
  const auto it = clients.find(id);
  return it == clients.end() ? QString() : it->second.label;
}

bool Swp08Protocol::ours(ClientId id, const Request& r) {
  if (r.matrix == options.matrix && r.level >= 0 && r.level < kLevels) return true;
  noteOnce(id, QStringLiteral("matrix %1 level %2 asked; this is matrix %3, levels 0 (video) and 1 (audio)")
                            .arg(r.matrix)
                            .arg(r.level)
                            .arg(options.matrix));
  return false;
}

void Swp08Protocol::message(ClientId id, Client& c, const QByteArray& data) {
  Request r;
  if (!Parse(data, &r)) {
    noteOnce(id, QStringLiteral("command 0x%1 too short, ignored").arg(quint8(data.isEmpty() ? 0 : data[0]), 2, 16, QLatin1Char('0')));
    return;
  }
  if (r.extended) c.extended = true;
  switch (r.kind) {
    case Kind::Interrogate: return interrogate(id, r);
    case Kind::Connect: return route(id, r);
    case Kind::TallyDump: return tallyDump(id, r);
    case Kind::SourceNames: return names(id, r, true);
    case Kind::DestinationNames: return names(id, r, false);
    case Kind::Implementation: return queue(id, Implementation(kSends, kReceives));
    case Kind::DualStatus: return queue(id, DualStatus());
    case Kind::ProtectInterrogate:
      if (ours(id, r) && r.destination < host.outputs()) tellProtect(id, r.extended, r.level, r.destination);
      return;
    case Kind::ProtectConnect:
    case Kind::ProtectDisconnect: return protectRequest(id, r);
    case Kind::ProtectTallyDump: return protectDump(id, r);
    case Kind::ProtectDeviceName: return queue(id, ProtectDeviceName(r.device, host.deviceName(r.device)));
    case Kind::Other: break;
  }
  noteOnce(id, QStringLiteral("command 0x%1 not served").arg(r.command, 2, 16, QLatin1Char('0')));
}

void Swp08Protocol::tellTally(ClientId id, bool extended, int level, int destination) {
  const int input = host.input(level, destination + 1);
  // An answer: never replaced by a later change, which the client awaits as it is.
  queue(id, Tally(extended, options.matrix, level, destination, std::max(input - 1, 0), input <= 0));
}

void Swp08Protocol::tellProtect(ClientId id, bool extended, int level, int destination) {
  const auto it = clients.find(id);
  if (it == clients.end()) return;
  const ProtectView v = host.protect(destination + 1, it->second.label);
  queue(id, ProtectTally(extended, options.matrix, level, destination, v.wire));
}

void Swp08Protocol::interrogate(ClientId id, const Request& r) {
  if (!ours(id, r)) return;
  if (r.destination >= host.outputs()) {
    noteOnce(id, QStringLiteral("destination %1 asked; the switcher has %2").arg(r.destination).arg(host.outputs()));
    return;
  }
  tellTally(id, r.extended, r.level, r.destination);
}

void Swp08Protocol::route(ClientId id, const Request& r) {
  if (!ours(id, r)) return;
  const QString label = labelOf(id);
  const int output = r.destination + 1;
  const int input = r.source + 1;
  if (r.destination >= host.outputs() || r.source >= host.inputs()) {
    noteOnce(id, QStringLiteral("route %1 to %2 is outside the switcher (%3 inputs, %4 outputs)")
                    .arg(r.source)
                    .arg(r.destination)
                    .arg(host.inputs())
                    .arg(host.outputs()));
    if (r.destination < host.outputs()) tellTally(id, r.extended, r.level, r.destination);
    return;
  }
  const ProtectView protect = host.protect(output, label);
  if (protect.held && !protect.mine) tellProtect(id, r.extended, r.level, r.destination);
  if (options.readOnly) {
    host.refusedReadOnly();
    return tellTally(id, r.extended, r.level, r.destination);
  }
  if (!host.ready() || (protect.held && !protect.mine)) return tellTally(id, r.extended, r.level, r.destination);
  const QPointer<Swp08Protocol> self(this);
  const int level = r.level;
  const bool extended = r.extended;
  pending[{level, output}] = Pending{id, input, -1, false};
  const bool sent = host.send(
      routeCommand(level, input, output), label,
      [self, id, level, output, extended] {
        if (!self) return;
        self->pending.erase({level, output});
        if (self->clients.count(id)) self->tellTally(id, extended, level, output - 1);
      },
      [self, level, output] {
        if (!self) return;
        // Reports from here on are the switcher's answer to it.
        const auto p = self->pending.find({level, output});
        if (p != self->pending.end()) p->second.since = self->clock.elapsed();
        if (!self->pendingTimer->isActive()) self->pendingTimer->start();
      });
  if (!sent) {
    pending.erase({level, output});
    return tellTally(id, r.extended, r.level, r.destination);
  }
}

void Swp08Protocol::tallyDump(ClientId id, const Request& r) {
  if (!ours(id, r)) return;
  // The switcher's last report, whether or not the link is up now.
  std::vector<int> sources(size_t(host.outputs()));
  for (int d = 0; d < host.outputs(); ++d) {
    const int input = host.input(r.level, d + 1);
    sources[size_t(d)] = input > 0 ? input - 1 : -1;
  }
  for (const QByteArray& m : TallyDump(r.extended, options.matrix, r.level, sources)) queue(id, m);
}

void Swp08Protocol::names(ClientId id, const Request& r, bool inputs) {
  if (r.matrix != options.matrix) {
    ours(id, r);
    return;
  }
  if (NameChars(r.nameLength) < 0) {
    noteOnce(id, QStringLiteral("name length code %1 not known").arg(r.nameLength));
    return;
  }
  QStringList list;
  const int count = inputs ? host.inputs() : host.outputs();
  for (int n = 1; n <= count; ++n) list << host.name(inputs, n);
  const auto messages = inputs ? SourceNames(r.extended, options.matrix, r.level, r.nameLength, list)
                               : DestinationNames(r.extended, options.matrix, r.level, r.nameLength, list);
  for (const QByteArray& m : messages) queue(id, m);
}

void Swp08Protocol::protectRequest(ClientId id, const Request& r) {
  if (!ours(id, r) || r.destination >= host.outputs()) return;
  const bool take = r.kind == Kind::ProtectConnect;
  // A refused protect is answered with the protect as it stands; a done one is told to every
  // client by protectChanged().
  if (options.readOnly) {
    host.refusedReadOnly();
    return tellProtect(id, r.extended, r.level, r.destination);
  }
  if (!host.setProtect(r.destination + 1, labelOf(id), r.device, take, false))
    tellProtect(id, r.extended, r.level, r.destination);
}

void Swp08Protocol::protectDump(ClientId id, const Request& r) {
  if (!ours(id, r)) return;
  const auto it = clients.find(id);
  if (it == clients.end()) return;
  std::vector<Protect> protects;
  for (int d = std::max(r.first, 0); d < host.outputs(); ++d) protects.push_back(host.protect(d + 1, it->second.label).wire);
  for (const QByteArray& m : ProtectDump(r.extended, options.matrix, r.level, r.first, protects)) queue(id, m);
}

void Swp08Protocol::routeChanged(int output) {
  if (output < 1 || output > kMaxOutputs) return;
  // A route a client asked for is told at once; other changes wait for the burst they may
  // belong to (a status of every output) to end.
  if (answered({0, output}) || answered({1, output})) {
    dirty.erase(output);
    return tellRoute(output);
  }
  dirty.insert(output);
  const qint64 now = clock.elapsed();
  if (dirtySince < 0) dirtySince = now;
  if (now - dirtySince < kBurstHold.count()) flushTimer->start(kBurstQuiet);
}

bool Swp08Protocol::answered(std::pair<int, int> key) const {
  const auto p = pending.find(key);
  return p != pending.end() && p->second.since >= 0;
}

void Swp08Protocol::flushRoutes() {
  flushTimer->stop();
  dirtySince = -1;
  for (const int output : std::exchange(dirty, {})) tellRoute(output);
}

void Swp08Protocol::tellRoute(int output) {
  for (int level = 0; level < kLevels; ++level) {
    const int input = host.input(level, output);
    int& was = told[level][size_t(output - 1)];
    const auto p = pending.find({level, output});
    const bool asked = p != pending.end() && p->second.since >= 0;
    if (input == was && !asked) continue;
    was = input;
    if (asked) pending.erase(p);
    if (clients.empty()) continue;
    const int destination = output - 1;
    if (input > 0) {
      toAll([&](bool extended) { return Connected(extended, options.matrix, level, destination, input - 1); },
            keyOf('t', level, destination));
    } else {
      // Closed or unknown: no source to connect, so the tally says "bad source".
      toAll([&](bool extended) { return Tally(extended, options.matrix, level, destination, 0, true); },
            keyOf('t', level, destination));
    }
  }
}

void Swp08Protocol::protectChanged(int output) {
  if (output < 1 || output > kMaxOutputs || clients.empty()) return;
  const int destination = output - 1;
  std::vector<ClientId> ids;
  for (const auto& [id, c] : clients) ids.push_back(id);
  for (ClientId id : ids) {
    const auto it = clients.find(id);
    if (it == clients.end()) continue;
    const ProtectView v = host.protect(output, it->second.label);
    for (int level = 0; level < kLevels; ++level) {
      const bool extended = it->second.extended;
      const QByteArray data = v.held ? ProtectConnected(extended, options.matrix, level, destination, v.wire)
                                     : ProtectDisconnected(extended, options.matrix, level, destination, v.wire);
      queueFrame(id, Frame(data), keyOf('p', level, destination));
    }
  }
}

void Swp08Protocol::toAll(const std::function<QByteArray(bool)>& data, const QByteArray& key) {
  const QByteArray general = Frame(data(false));
  const QByteArray extended = Frame(data(true));
  std::vector<ClientId> ids;
  for (const auto& [id, c] : clients) ids.push_back(id);
  for (ClientId id : ids) {
    const auto it = clients.find(id);
    if (it != clients.end()) queueFrame(id, it->second.extended ? extended : general, key);
  }
}

void Swp08Protocol::checkPending() {
  const qint64 now = clock.elapsed();
  const qint64 bound = kReportBound.count();
  for (auto it = pending.begin(); it != pending.end();) {
    Pending& p = it->second;
    const auto [level, output] = it->first;
    if (p.since < 0 || now - p.since < bound) {
      ++it;
      continue;
    }
    if (!p.asked) {
      // Not reported: perhaps it was so already and the switcher said nothing. Ask.
      p.asked = true;
      p.since = now;
      if (p.client && clients.count(p.client))
        host.send("Status" + QByteArray::number(output) + '.', labelOf(p.client), {}, {});
      ++it;
      continue;
    }
    // Still nothing: the requester hears the route as last reported.
    const ClientId client = p.client;
    it = pending.erase(it);
    const auto c = clients.find(client);
    if (c != clients.end()) tellTally(client, c->second.extended, level, output - 1);
  }
  if (pending.empty()) pendingTimer->stop();
}

// ---- what goes to one client: one message at a time, each until acknowledged ----

void Swp08Protocol::queueFrame(ClientId id, const QByteArray& frame, const QByteArray& key) {
  const auto it = clients.find(id);
  if (it == clients.end()) return;
  Client& c = it->second;
  if (!key.isEmpty()) {
    const auto same = c.waitingByKey.find(key);
    if (same != c.waitingByKey.end()) {
      same->second->frame = frame;
      return;
    }
  }
  if (int(c.queue.size()) >= kMaxWaiting) {
    noteOnce(id, QStringLiteral("dropped: %1 messages wait for its acknowledges").arg(kMaxWaiting));
    const Closer close = c.close;
    leave(id);
    if (close) close();
    return;
  }
  c.queue.push_back({frame, key});
  // A deque keeps its elements in place as it grows at the back and shrinks at the front.
  if (!key.isEmpty()) c.waitingByKey[key] = &c.queue.back();
  pump(id);
}

void Swp08Protocol::pump(ClientId id) {
  const auto it = clients.find(id);
  if (it == clients.end()) return;
  Client& c = it->second;
  if (c.awaitingAck || c.queue.empty()) return;
  // On the wire it is no longer replaced: a newer one goes after it.
  if (!c.queue.front().key.isEmpty()) c.waitingByKey.erase(c.queue.front().key);
  c.awaitingAck = true;
  c.tries = 1;
  c.sentAt.start();
  if (!resendTimer->isActive()) resendTimer->start();
  c.sink(c.queue.front().frame);
}

void Swp08Protocol::acked(ClientId id, bool ok) {
  const auto it = clients.find(id);
  if (it == clients.end()) return;
  Client& c = it->second;
  if (!c.awaitingAck) return;
  if (!ok && c.tries < kTries) {
    ++c.tries;
    c.sentAt.start();
    c.sink(c.queue.front().frame);
    return;
  }
  c.awaitingAck = false;
  c.queue.pop_front();
  pump(id);
}

void Swp08Protocol::tick() {
  bool any = false;
  std::vector<ClientId> ids;
  for (const auto& [id, c] : clients) ids.push_back(id);
  for (ClientId id : ids) {
    const auto it = clients.find(id);
    if (it == clients.end() || !it->second.awaitingAck) continue;
    Client& c = it->second;
    any = true;
    if (c.sentAt.elapsed() < kAckWait.count()) continue;
    if (c.tries >= kTries) {
      // Given up on this one: the next may fare better.
      c.awaitingAck = false;
      c.queue.pop_front();
      pump(id);
      continue;
    }
    ++c.tries;
    c.sentAt.start();
    c.sink(c.queue.front().frame);
  }
  if (!any) resendTimer->stop();
}

}  // namespace swp08
