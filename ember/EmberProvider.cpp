#include "EmberProvider.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace ember {

namespace {

constexpr int kNothingTold = -2;

const glow::Path& matrixPath(int level) { return level == 0 ? tree::kVideo : tree::kAudio; }

int levelOf(const glow::Path& path) {
  if (path == tree::kVideo) return 0;
  if (path == tree::kAudio) return 1;
  return -1;
}

// What a route command of one level reads: "3V12." moves the video of output 12 to input 3.
QByteArray routeCommand(int level, int input, int output) {
  return QByteArray::number(input) + (level == 0 ? 'V' : 'A') + QByteArray::number(output) + '.';
}

QString pathText(const glow::Path& path) {
  QStringList parts;
  for (int n : path) parts << QString::number(n);
  return parts.isEmpty() ? QStringLiteral("the root") : parts.join(QLatin1Char('.'));
}

glow::Path child(const glow::Path& parent, int number) {
  glow::Path p = parent;
  p.push_back(number);
  return p;
}

}  // namespace

EmberProvider::EmberProvider(EmberHost& host, Options options, QObject* parent)
    : QObject(parent),
      host(host),
      options(options),
      flushTimer(new QTimer(this)),
      pendingTimer(new QTimer(this)),
      keepAliveTimer(new QTimer(this)),
      deviceTimer(new QTimer(this)) {
  clock.start();
  // Changes are told against the routes as they are now: what a consumer browses.
  for (int level = 0; level < kLevels; ++level) {
    told[level].assign(size_t(kMaxOutputs), kNothingTold);
    for (int output = 1; output <= std::min(host.outputs(), kMaxOutputs); ++output)
      told[level][size_t(output - 1)] = host.input(level, output);
  }
  toldTree = current();
  flushTimer->setSingleShot(true);
  connect(flushTimer, &QTimer::timeout, this, &EmberProvider::flushRoutes);
  pendingTimer->setInterval(int(kReportBound.count() / 2));
  connect(pendingTimer, &QTimer::timeout, this, &EmberProvider::checkPending);
  // Silence is looked for five times a quiet period: a request goes within 20 % of it.
  keepAliveTimer->setInterval(std::max(1, int(options.keepAliveQuiet.count() / 5)));
  connect(keepAliveTimer, &QTimer::timeout, this, &EmberProvider::keepAlive);
  deviceTimer->setSingleShot(true);
  deviceTimer->setInterval(0);
  connect(deviceTimer, &QTimer::timeout, this, &EmberProvider::tellDevice);
}

EmberProvider::~EmberProvider() = default;

void EmberProvider::join(ClientId id, const QString& label, Sink sink) {
  Client& c = clients[id];
  c.label = label;
  c.sink = std::move(sink);
  c.heard = clock.elapsed();
  if (!keepAliveTimer->isActive()) keepAliveTimer->start();
}

void EmberProvider::leave(ClientId id) {
  clients.erase(id);
  for (auto& [number, p] : pending)
    if (p.client == id) p.client = 0;
  if (clients.empty()) keepAliveTimer->stop();
}

bool EmberProvider::waiting(ClientId id) const {
  return std::any_of(pending.begin(), pending.end(), [id](const auto& p) { return p.second.client == id; });
}

bool EmberProvider::subscribed(ClientId id, int level) const {
  const auto it = clients.find(id);
  return it != clients.end() && level >= 0 && level < kLevels && it->second.subscribed[level];
}

QString EmberProvider::labelOf(ClientId id) const {
  const auto it = clients.find(id);
  return it == clients.end() ? QString() : it->second.label;
}

void EmberProvider::noteOnce(ClientId id, const QString& text) {
  const auto it = clients.find(id);
  if (it == clients.end()) return;
  Client& c = it->second;
  if (c.noted.size() < 64 && c.noted.insert(text.toUtf8()).second) emit note(QStringLiteral("Ember+ %1: %2").arg(c.label, text));
}

// ---- what comes in ----

void EmberProvider::bytesIn(ClientId id, const char* data, int size) {
  std::vector<s101::Decoder::Event> events;
  {
    const auto it = clients.find(id);
    if (it == clients.end()) return;
    it->second.heard = clock.elapsed();
    it->second.answered = 0;
    it->second.decoder.push(data, size, &events);
  }
  for (const s101::Decoder::Event& e : events) {
    const auto it = clients.find(id);
    if (it == clients.end() || it->second.gone) return;  // closed on the way
    switch (e.kind) {
      // At once: a consumer drops a provider whose answer takes half a second.
      case s101::Decoder::Event::KeepAliveRequest: it->second.gone = !it->second.sink(s101::KeepAliveResponse()); break;
      case s101::Decoder::Event::KeepAliveResponse: break;
      case s101::Decoder::Event::Message: message(id, e.data); break;
    }
  }
}

void EmberProvider::message(ClientId id, const QByteArray& glow) {
  std::vector<glow::Request> requests;
  QString error;
  // Nothing of a message that cannot be read is carried out: not the routes before the fault.
  if (!glow::DecodeRequests(glow, &requests, &error))
    return noteOnce(id, QStringLiteral("message not understood (%1), nothing of it done").arg(error));
  size_t connections = 0;
  for (const glow::Request& r : requests) connections += r.connections.size();
  if (int(requests.size()) > kMaxRequestsPerMessage || connections > size_t(kMaxConnectionsPerMessage))
    return noteOnce(id, QStringLiteral("%1 requests and %2 connections in one message, nothing of it done (at most %3 and %4)")
                            .arg(requests.size())
                            .arg(connections)
                            .arg(kMaxRequestsPerMessage)
                            .arg(kMaxConnectionsPerMessage));
  for (const glow::Request& r : requests) {
    const auto it = clients.find(id);
    if (it == clients.end() || it->second.gone) return;
    request(id, r);
  }
}

void EmberProvider::request(ClientId id, const glow::Request& r) {
  const int level = levelOf(r.path);
  switch (r.kind) {
    case glow::Request::GetDirectory: return directory(id, r);
    case glow::Request::Subscribe:
    case glow::Request::Unsubscribe:
      // Parameters and nodes are told to whoever browsed them; only the matrices subscribe.
      if (level >= 0) clients[id].subscribed[level] = r.kind == glow::Request::Subscribe;
      return;
    case glow::Request::SetValue: return setValue(id, r);
    case glow::Request::Connect:
      if (level < 0) return noteOnce(id, QStringLiteral("connections for %1, which is no matrix").arg(pathText(r.path)));
      for (const glow::Connection& c : r.connections) {
        if (!clients.count(id)) return;
        connectRequest(id, level, c);
      }
      return;
  }
}

void EmberProvider::directory(ClientId id, const glow::Request& r) {
  const glow::Path& path = r.path;
  if (clients[id].answered > kMaxAnswerPerRead)
    return noteOnce(id, QStringLiteral("directories past %1 KiB of answers in one read are not answered").arg(kMaxAnswerPerRead / 1024));
  const int level = levelOf(path);
  if (level >= 0) {
    // Its connections, every target; and from now on their changes.
    clients[id].subscribed[level] = true;
    return send(id, {matrix(level, true)});
  }
  std::vector<glow::Element> elements = children(path);
  if (!elements.empty()) {
    clients[id].browsed.insert(path);
    return send(id, elements);
  }
  // A parameter asked by its path: the parameter itself.
  if (path.size() == 4 && (glow::Path(path.begin(), path.end() - 1) == tree::kTargets ||
                           glow::Path(path.begin(), path.end() - 1) == tree::kSources)) {
    const bool input = path[2] == 2;
    const int number = path[3] + 1;
    if (number >= 1 && number <= (input ? host.inputs() : std::min(host.outputs(), kMaxOutputs)))
      return send(id, {labelParameter(input, number)});
  }
  if (path == tree::kLink || path == tree::kModel || path == tree::kVersion) return send(id, {stateParameter(path)});
  noteOnce(id, QStringLiteral("%1 asked; there is no such element").arg(pathText(path)));
}

void EmberProvider::setValue(ClientId id, const glow::Request& r) {
  const glow::Path& path = r.path;
  if (path == tree::kLink || path == tree::kModel || path == tree::kVersion) {
    noteOnce(id, QStringLiteral("%1 is read only").arg(pathText(path)));
    return send(id, {stateParameter(path)});
  }
  const glow::Path parent = path.empty() ? path : glow::Path(path.begin(), path.end() - 1);
  const bool input = parent == tree::kSources;
  const int number = path.empty() ? 0 : path.back() + 1;
  if ((!input && parent != tree::kTargets) || number < 1 ||
      number > (input ? host.inputs() : std::min(host.outputs(), kMaxOutputs)))
    return noteOnce(id, QStringLiteral("a value for %1, which is no name").arg(pathText(path)));
  if (options.readOnly) {
    host.refusedReadOnly();
    noteOnce(id, QStringLiteral("renames refused: read only"));
  }
  else if (r.value.type != glow::Value::String) noteOnce(id, QStringLiteral("a name that is not a string for %1").arg(pathText(path)));
  else {
    const QString why = host.rename(input, number, r.value.string);
    if (!why.isEmpty()) noteOnce(id, QStringLiteral("rename of %1 refused: %2").arg(pathText(path), why));
  }
  if (!clients.count(id)) return;
  // The name as it is now: the new one, or the old one when it was refused.
  send(id, {labelParameter(input, number)});
}

void EmberProvider::connectRequest(ClientId id, int level, const glow::Connection& c) {
  const int outputs = std::min(host.outputs(), kMaxOutputs);
  const int output = c.target + 1;
  if (c.target < 0 || output > outputs)
    return noteOnce(id, QStringLiteral("target %1 asked; the switcher has %2").arg(c.target).arg(outputs));
  const glow::Path& path = matrixPath(level);
  const auto answer = [&](int disposition) { send(id, {glow::MatrixConnections(path, {connection(level, output, disposition)})}); };
  const bool close = c.operation == glow::kDisconnect || c.sources.empty();
  const int now = host.input(level, output);
  int input = 0;
  if (!close) {
    if (c.sources.size() > 1) {
      noteOnce(id, QStringLiteral("several sources for one target; a one-to-N matrix takes one"));
      return answer(glow::kTally);
    }
    input = c.sources[0] + 1;
    if (c.sources[0] < 0 || input > host.inputs()) {
      noteOnce(id, QStringLiteral("source %1 asked; the switcher has %2").arg(c.sources[0]).arg(host.inputs()));
      return answer(glow::kTally);
    }
  } else if (!c.sources.empty() && (c.sources.size() > 1 || c.sources[0] + 1 != now)) {
    // A source the target does not carry: nothing to disconnect.
    return answer(glow::kTally);
  }
  if (options.readOnly) {
    host.refusedReadOnly();
    return answer(glow::kTally);
  }
  if (!host.ready()) return answer(glow::kTally);
  QByteArray command;
  if (close) {
    // The switcher closes an output's video and audio together: one level closes only when
    // the other is closed already.
    if (host.input(1 - level, output) != 0) {
      noteOnce(id, QStringLiteral("closing one level of output %1 would close the other too: refused").arg(output));
      return answer(glow::kTally);
    }
    command = QByteArray::number(output) + "$.";
  } else {
    command = routeCommand(level, input, output);
  }
  const QPointer<EmberProvider> self(this);
  const quint64 number = nextRequest++;
  pending[number] = Pending{id, level, output, input, -1, false};
  const EmberHost::Sent sent = host.send(
      command, labelOf(id),
      [self, number, id, level, output, path] {
        if (!self || !self->pending.erase(number)) return;
        self->send(id, {glow::MatrixConnections(path, {self->connection(level, output, glow::kTally)})});
      },
      [self, number] {
        if (!self) return;
        // Reports from here on may be the switcher's answer to it.
        const auto p = self->pending.find(number);
        if (p != self->pending.end()) p->second.since = self->clock.elapsed();
        if (!self->pendingTimer->isActive()) self->pendingTimer->start();
      });
  if (sent != EmberHost::Sent::Accepted) {
    pending.erase(number);
    return answer(sent == EmberHost::Sent::Protected ? glow::kLocked : glow::kTally);
  }
  // Taken: the sources stay as they are until the switcher reports the route.
  answer(glow::kPending);
}

// ---- the tree ----

EmberProvider::Told EmberProvider::current() const {
  Told t;
  t.online = host.online();
  t.model = host.model();
  t.version = host.version();
  t.link = host.linkText();
  t.inputs = host.inputs();
  t.outputs = std::min(host.outputs(), kMaxOutputs);
  for (int n = 1; n <= t.outputs; ++n) t.names[0].push_back(host.name(false, n));
  for (int n = 1; n <= t.inputs; ++n) t.names[1].push_back(host.name(true, n));
  return t;
}

glow::Element EmberProvider::switcherNode() const {
  glow::NodeContents n;
  n.identifier = QStringLiteral("switcher");
  n.description = host.model();
  n.isOnline = host.online();
  return glow::QualifiedNode(tree::kSwitcher, n);
}

glow::Element EmberProvider::matrix(int level, bool withConnections) const {
  glow::MatrixContents m;
  m.identifier = level == 0 ? QStringLiteral("video") : QStringLiteral("audio");
  m.description = level == 0 ? QStringLiteral("Video") : QStringLiteral("Audio");
  m.type = glow::kOneToN;
  m.addressingMode = glow::kLinear;
  m.targetCount = std::min(host.outputs(), kMaxOutputs);
  m.sourceCount = host.inputs();
  m.labels = {{tree::kLabels, QStringLiteral("Names")}};
  glow::Element e = glow::QualifiedMatrix(matrixPath(level), m);
  if (withConnections) {
    // A consumer waits for the children collection, empty as it is.
    e.children = std::vector<glow::Element>{};
    std::vector<glow::Connection> all;
    for (int output = 1; output <= m.targetCount; ++output) all.push_back(connection(level, output, glow::kTally));
    e.connections = std::move(all);
  }
  return e;
}

glow::Element EmberProvider::labelParameter(bool input, int number) const {
  glow::ParameterContents p;
  p.identifier = QStringLiteral("%1%2").arg(input ? 's' : 't').arg(number - 1);
  p.value = glow::Value::fromString(host.name(input, number));
  p.access = options.readOnly || number > kMaxNamed ? glow::kAccessRead : glow::kAccessReadWrite;
  p.type = glow::kTypeString;
  return glow::QualifiedParameter(child(input ? tree::kSources : tree::kTargets, number - 1), p);
}

glow::Element EmberProvider::stateParameter(const glow::Path& path) const {
  glow::ParameterContents p;
  if (path == tree::kLink) {
    p.identifier = QStringLiteral("link");
    p.value = glow::Value::fromString(host.linkText());
  } else if (path == tree::kModel) {
    p.identifier = QStringLiteral("model");
    p.value = glow::Value::fromString(host.model());
  } else {
    p.identifier = QStringLiteral("version");
    p.value = glow::Value::fromString(host.version());
  }
  p.access = glow::kAccessRead;
  p.type = glow::kTypeString;
  return glow::QualifiedParameter(path, p);
}

glow::Connection EmberProvider::connection(int level, int output, int disposition) const {
  glow::Connection c;
  c.target = output - 1;
  const int input = host.input(level, output);
  if (input > 0) c.sources = {input - 1};  // closed or unknown: none
  c.operation = glow::kAbsolute;
  c.disposition = disposition;
  return c;
}

std::vector<glow::Element> EmberProvider::children(const glow::Path& node) const {
  const auto plainNode = [](const glow::Path& path, const char* identifier) {
    glow::NodeContents n;
    n.identifier = QString::fromLatin1(identifier);
    return glow::QualifiedNode(path, n);
  };
  if (node.empty()) {
    // The root's child numbered, as a consumer that browses again expects: it answers every
    // later root request too, where a qualified one would answer only the first.
    glow::Element e = switcherNode();
    e.qualified = false;
    return {e};
  }
  if (node == tree::kSwitcher)
    return {matrix(0, false), matrix(1, false), plainNode(tree::kLabels, "labels"), plainNode(tree::kState, "state")};
  if (node == tree::kLabels) return {plainNode(tree::kTargets, "targets"), plainNode(tree::kSources, "sources")};
  std::vector<glow::Element> out;
  if (node == tree::kTargets)
    for (int n = 1; n <= std::min(host.outputs(), kMaxOutputs); ++n) out.push_back(labelParameter(false, n));
  if (node == tree::kSources)
    for (int n = 1; n <= host.inputs(); ++n) out.push_back(labelParameter(true, n));
  if (node == tree::kState) out = {stateParameter(tree::kLink), stateParameter(tree::kModel), stateParameter(tree::kVersion)};
  return out;
}

// ---- what goes out ----

void EmberProvider::send(ClientId id, const std::vector<glow::Element>& elements) {
  const auto it = clients.find(id);
  if (it == clients.end() || it->second.gone || elements.empty()) return;
  Client& c = it->second;
  for (const QByteArray& frame : s101::EncodeMessage(glow::EncodeRoot(elements))) {
    c.answered += frame.size();
    if (!c.sink(frame)) {
      c.gone = true;
      return;
    }
  }
}

void EmberProvider::toBrowsers(const glow::Path& parent, const std::vector<glow::Element>& elements) {
  if (elements.empty()) return;
  std::vector<ClientId> ids;
  for (const auto& [id, c] : clients)
    if (c.browsed.count(parent)) ids.push_back(id);
  if (ids.empty()) return;
  const std::vector<QByteArray> frames = s101::EncodeMessage(glow::EncodeRoot(elements));
  for (ClientId id : ids) {
    const auto it = clients.find(id);
    if (it == clients.end()) continue;
    Client& c = it->second;
    for (const QByteArray& frame : frames)
      if (!c.gone && !c.sink(frame)) c.gone = true;
  }
}

void EmberProvider::routeChanged(int output) {
  if (output < 1 || output > kMaxOutputs) return;
  // A route a consumer asked for is told at once; other changes wait for the burst they may
  // belong to (a status of every output) to end.
  if (awaited(output)) {
    dirty.erase(output);
    return tellRoutes({output});
  }
  dirty.insert(output);
  const qint64 now = clock.elapsed();
  if (dirtySince < 0) dirtySince = now;
  if (now - dirtySince < kBurstHold.count()) flushTimer->start(kBurstQuiet);
}

bool EmberProvider::awaited(int output) const {
  return std::any_of(pending.begin(), pending.end(),
                     [output](const auto& p) { return p.second.output == output && p.second.since >= 0; });
}

void EmberProvider::flushRoutes() {
  flushTimer->stop();
  dirtySince = -1;
  tellRoutes(std::exchange(dirty, {}));
}

void EmberProvider::tellRoutes(const std::set<int>& outputs) {
  for (int level = 0; level < kLevels; ++level) {
    std::vector<glow::Connection> changes;
    std::map<ClientId, std::vector<glow::Connection>> answers;
    for (const int output : outputs) {
      const int input = host.input(level, output);
      int& was = told[level][size_t(output - 1)];
      if (input != was) changes.push_back(connection(level, output, glow::kTally));
      was = input;
      // A request is answered by a report of its own level that shows what it asked for (an
      // older report still on its way, or the other level's, does not).
      for (auto p = pending.begin(); p != pending.end();) {
        const Pending& q = p->second;
        if (q.level != level || q.output != output || q.since < 0 || q.wanted != input) {
          ++p;
          continue;
        }
        auto& mine = answers[q.client];
        if (q.client && std::none_of(mine.begin(), mine.end(), [output](const glow::Connection& c) { return c.target == output - 1; }))
          mine.push_back(connection(level, output, glow::kModified));
        p = pending.erase(p);
      }
    }
    std::vector<ClientId> ids;
    for (const auto& [id, c] : clients) ids.push_back(id);
    for (ClientId id : ids) {
      const auto it = clients.find(id);
      if (it == clients.end()) continue;
      const auto own = answers.find(id);
      std::vector<glow::Connection> mine = own == answers.end() ? std::vector<glow::Connection>{} : own->second;
      if (it->second.subscribed[level]) {
        for (const glow::Connection& c : changes) {
          const bool answeredHere = std::any_of(mine.begin(), mine.end(), [&c](const glow::Connection& m) { return m.target == c.target; });
          if (!answeredHere) mine.push_back(c);
        }
      }
      if (!mine.empty()) send(id, {glow::MatrixConnections(matrixPath(level), mine)});
    }
  }
}

void EmberProvider::checkPending() {
  const qint64 now = clock.elapsed();
  const qint64 bound = kReportBound.count();
  for (auto it = pending.begin(); it != pending.end();) {
    Pending& p = it->second;
    const int level = p.level, output = p.output;
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
    send(client, {glow::MatrixConnections(matrixPath(level), {connection(level, output, glow::kTally)})});
  }
  if (pending.empty()) pendingTimer->stop();
}

void EmberProvider::namesChanged() {
  const Told now = current();
  for (int kind = 0; kind < 2; ++kind) {
    std::vector<glow::Element> changed;
    const std::vector<QString>& was = toldTree.names[kind];
    for (size_t k = 0; k < now.names[kind].size(); ++k)
      if (k >= was.size() || was[k] != now.names[kind][k]) changed.push_back(labelParameter(kind == 1, int(k) + 1));
    toldTree.names[kind] = now.names[kind];
    toBrowsers(kind == 1 ? tree::kSources : tree::kTargets, changed);
  }
}

void EmberProvider::deviceChanged() { deviceTimer->start(); }

void EmberProvider::tellDevice() {
  const Told now = current();
  if (now.online != toldTree.online || now.model != toldTree.model) toBrowsers({}, {switcherNode()});
  std::vector<glow::Element> state;
  if (now.link != toldTree.link) state.push_back(stateParameter(tree::kLink));
  if (now.model != toldTree.model) state.push_back(stateParameter(tree::kModel));
  if (now.version != toldTree.version) state.push_back(stateParameter(tree::kVersion));
  toBrowsers(tree::kState, state);
  if (now.inputs != toldTree.inputs || now.outputs != toldTree.outputs) {
    toBrowsers(tree::kSwitcher, {matrix(0, false), matrix(1, false)});
    // The other size's names: new numbers appear with their names.
    toldTree.names[0].clear();
    toldTree.names[1].clear();
  }
  // The names are compared by namesChanged(), against what was told of them.
  std::vector<QString> outputNames = std::move(toldTree.names[0]), inputNames = std::move(toldTree.names[1]);
  toldTree = now;
  toldTree.names[0] = std::move(outputNames);
  toldTree.names[1] = std::move(inputNames);
  namesChanged();
}

void EmberProvider::keepAlive() {
  const qint64 now = clock.elapsed();
  const qint64 quiet = options.keepAliveQuiet.count();
  std::vector<ClientId> ids;
  for (const auto& [id, c] : clients) ids.push_back(id);
  for (ClientId id : ids) {
    const auto it = clients.find(id);
    if (it == clients.end()) continue;
    Client& c = it->second;
    if (now - c.heard < quiet || (c.asked >= 0 && now - c.asked < quiet)) continue;
    c.asked = now;
    if (!c.gone && !c.sink(s101::KeepAliveRequest())) c.gone = true;
  }
}

}  // namespace ember
