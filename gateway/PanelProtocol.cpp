#include "PanelProtocol.h"

#include <QCryptographicHash>
#include <QFile>
#include <QPointer>
#include <QMetaObject>
#include <QStringDecoder>
#include <QTimer>

#include <algorithm>

#include "Commands.h"

namespace gateway {

namespace {
constexpr char kPing[] = "PING:";
constexpr char kPreamble[] = "PROTOCOL PREAMBLE:";
constexpr char kDevice[] = "VIDEOHUB DEVICE:";
constexpr char kInputLabels[] = "INPUT LABELS:";
constexpr char kOutputLabels[] = "OUTPUT LABELS:";
constexpr char kLocks[] = "VIDEO OUTPUT LOCKS:";
constexpr char kRouting[] = "VIDEO OUTPUT ROUTING:";
constexpr char kEndPrelude[] = "END PRELUDE:";
constexpr char kConfiguration[] = "CONFIGURATION:";
constexpr char kTakeModeOff[] = "Take Mode: false\n";
constexpr char kAck[] = "ACK\n\n";
constexpr char kNak[] = "NAK\n\n";
constexpr int kUniqueIdBytes = 6;
constexpr int kMaxIndexDigits = 4;
// Labels for inputs the names file cannot hold are refused rather than dropped.
constexpr int kMaxNamed = names::kMaxNumber;

QByteArray blockOf(const char* header, const QByteArray& body) {
  return QByteArray(header) + '\n' + body + '\n';
}

// "number space value": the number (0-based index) and the value after the first space.
bool splitLine(const QByteArray& line, int* index, QByteArray* value) {
  const int space = int(line.indexOf(' '));
  if (space < 1 || space > kMaxIndexDigits) return false;
  int n = 0;
  for (int k = 0; k < space; ++k) {
    const char c = line[k];
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *index = n;
  *value = line.mid(space + 1);
  return true;
}

bool parseIndex(const QByteArray& text, int* out) {
  if (text.isEmpty() || text.size() > kMaxIndexDigits) return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}

bool sameDevice(const PanelDevice& a, const PanelDevice& b) {
  return a.present == b.present && a.model == b.model && a.friendlyName == b.friendlyName &&
         a.uniqueId == b.uniqueId && a.inputs == b.inputs && a.outputs == b.outputs;
}

// "Input 3", "Output 12": what a port without a name is called.
QString defaultLabel(names::Kind kind, int number) {
  return (kind == names::Kind::Input ? QStringLiteral("Input %1") : QStringLiteral("Output %1")).arg(number);
}

std::vector<int> sorted(const QSet<int>& set) {
  std::vector<int> v(set.begin(), set.end());
  std::sort(v.begin(), v.end());
  return v;
}
}  // namespace

QString PanelUniqueId(const QString& folder, const QByteArray& machineId) {
  const QByteArray digest =
      QCryptographicHash::hash(machineId + '\0' + folder.toUtf8(), QCryptographicHash::Sha256);
  return QString::fromLatin1(digest.left(kUniqueIdBytes).toHex().toUpper());
}

QByteArray MachineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    QFile f(QString::fromLatin1(path));
    if (f.open(QIODevice::ReadOnly)) {
      const QByteArray id = f.read(256).trimmed();
      if (!id.isEmpty()) return id;
    }
  }
  return {};
}

PanelProtocol::PanelProtocol(PanelHost& host, PanelOptions options, QObject* parent)
    : QObject(parent), host(host), options(options), pendingTimer(new QTimer(this)), namesTimer(new QTimer(this)) {
  clock.start();
  namesTimer->setSingleShot(true);
  namesTimer->setInterval(kPanelNamesSaveMs);
  connect(namesTimer, &QTimer::timeout, this, &PanelProtocol::saveHeldNames);
  pendingTimer->setInterval(kPanelReportBoundMs / 2);
  connect(pendingTimer, &QTimer::timeout, this, &PanelProtocol::checkPending);
  // The host is asked once a client comes or deviceChanged() is called: it may not be
  // ready yet while this is made.
}

PanelProtocol::~PanelProtocol() = default;

// What the clients are told from here on: the device now, and its labels.
void PanelProtocol::remember() {
  told = current();
  toldInputs.clear();
  toldOutputs.clear();
  for (int k = 1; k <= told.inputs; ++k) toldInputs << label(names::Kind::Input, k);
  for (int k = 1; k <= told.outputs; ++k) toldOutputs << label(names::Kind::Output, k);
  // Locks stay while the link is down or the device shrinks: they show again when it is back.
}

PanelDevice PanelProtocol::current() const {
  PanelDevice d = host.device();
  d.outputs = std::clamp(d.outputs, 0, routing::kOutputs);
  d.inputs = std::clamp(d.inputs, 0, routing::kMaxInput);
  if (!d.present) d.inputs = d.outputs = 0;
  return d;
}

QString PanelProtocol::label(names::Kind kind, int number) const {
  const auto held = heldNames.empty() ? heldNames.end() : heldNames.find({int(kind), number});
  const QString name = held != heldNames.end() ? held->second : host.names().name(kind, number);
  return name.isEmpty() ? defaultLabel(kind, number) : name;
}

void PanelProtocol::join(ClientId id, const QString& label, Sink sink) {
  if (!sameDevice(current(), told)) {
    deviceDirty = true;
    flush();  // the others hear of it first, and the newcomer's prelude is the device now
  }
  clients[id] = Client{label, std::move(sink)};
  write(id, prelude(id));
}

void PanelProtocol::leave(ClientId id) {
  const auto it = clients.find(id);
  if (it == clients.end()) return;
  const QString label = it->second.label;
  clients.erase(it);
  for (auto& [output, p] : pending) {
    if (p.client == id) p.client = 0;
  }
  host.forgetLocks(label);  // the others hear of it through lockChanged()
}

void PanelProtocol::lockChanged(int output) {
  if (output < 1 || output > routing::kOutputs) return;
  locksDirty.insert(output - 1);
  queueFlush();
}

bool PanelProtocol::waiting(ClientId id) const {
  return flushQueued || std::any_of(pending.begin(), pending.end(), [id](const auto& p) { return p.second.client == id; });
}

QByteArray PanelProtocol::prelude(ClientId id) const {
  QByteArray out = blockOf(kPreamble, QByteArray("Version: ") + kPanelProtocolVersion + '\n');
  out += deviceBlock();
  if (told.present) {
    out += labelsBlock(names::Kind::Input, nullptr);
    out += labelsBlock(names::Kind::Output, nullptr);
    out += locksBlock(id, nullptr);
    out += routingBlock(nullptr);
    out += blockOf(kConfiguration, kTakeModeOff);
  }
  out += blockOf(kEndPrelude, {});
  return out;
}

QByteArray PanelProtocol::deviceBlock() const {
  if (!told.present) return blockOf(kDevice, "Device present: false\n");
  QByteArray body = "Device present: true\n";
  body += "Model name: " + told.model.toUtf8() + '\n';
  body += "Friendly name: " + told.friendlyName.toUtf8() + '\n';
  body += "Unique ID: " + told.uniqueId.toUtf8() + '\n';
  body += "Video inputs: " + QByteArray::number(told.inputs) + '\n';
  body += "Video processing units: 0\n";
  body += "Video outputs: " + QByteArray::number(told.outputs) + '\n';
  body += "Video monitoring outputs: 0\n";
  body += "Serial ports: 0\n";
  return blockOf(kDevice, body);
}

QByteArray PanelProtocol::labelsBlock(names::Kind kind, const std::vector<int>* only) const {
  const int count = kind == names::Kind::Input ? told.inputs : told.outputs;
  QByteArray body;
  auto add = [&](int index) {
    if (index < count) body += QByteArray::number(index) + ' ' + label(kind, index + 1).toUtf8() + '\n';
  };
  if (only) {
    for (int index : *only) add(index);
  } else {
    for (int index = 0; index < count; ++index) add(index);
  }
  return blockOf(kind == names::Kind::Input ? kInputLabels : kOutputLabels, body);
}

QByteArray PanelProtocol::locksBlock(ClientId id, const std::vector<int>* only) const {
  QByteArray body;
  const auto it = clients.find(id);
  const QString clientLabel = it == clients.end() ? QString() : it->second.label;
  auto add = [&](int output) {
    if (output >= told.outputs) return;
    body += QByteArray::number(output) + ' ' + host.lockState(output + 1, clientLabel) + '\n';
  };
  if (only) {
    for (int output : *only) add(output);
  } else {
    for (int output = 0; output < told.outputs; ++output) add(output);
  }
  return blockOf(kLocks, body);
}

QByteArray PanelProtocol::routingBlock(const std::vector<int>* only) const {
  QByteArray body;
  auto add = [&](int output) {
    if (output >= told.outputs) return;
    // Inputs beyond the panels' count are told as they are: a panel shows none of its list
    // for them, as for a closed output, and every panel agrees.
    const int video = host.route(output + 1).video;
    if (video >= 0)
      body += QByteArray::number(output) + ' ' + QByteArray::number(video == 0 ? kPanelClosedIndex : video - 1) + '\n';
  };
  if (only) {
    for (int output : *only) add(output);
  } else {
    for (int output = 0; output < told.outputs; ++output) add(output);
  }
  return blockOf(kRouting, body);
}

void PanelProtocol::block(ClientId id, const PanelBlock& b) {
  if (clients.count(id) == 0) return;
  write(id, answer(id, b));
}

QByteArray PanelProtocol::answer(ClientId id, const PanelBlock& b) {
  const QByteArray& h = b.header;
  const bool query = b.lines.isEmpty();
  if (h == kPing) return kAck;
  // Status blocks with lines are a panel echoing what it was told: nothing to change.
  if (h == kPreamble)
    return query ? kAck + blockOf(kPreamble, QByteArray("Version: ") + kPanelProtocolVersion + '\n') : kAck;
  if (h == kDevice) return query ? kAck + deviceBlock() : kAck;
  if (h == kEndPrelude) return kAck;
  if (h == kConfiguration) return query ? kAck + blockOf(kConfiguration, kTakeModeOff) : configurationRequest(b);
  if (h == kInputLabels) return query ? kAck + labelsBlock(names::Kind::Input, nullptr) : labelRequest(names::Kind::Input, b);
  if (h == kOutputLabels) return query ? kAck + labelsBlock(names::Kind::Output, nullptr) : labelRequest(names::Kind::Output, b);
  if (h == kLocks) return query ? kAck + locksBlock(id, nullptr) : lockRequest(id, b);
  if (h == kRouting) return query ? kAck + routingBlock(nullptr) : routeRequest(id, b);
  return kNak;
}

QByteArray PanelProtocol::routeRequest(ClientId id, const PanelBlock& b) {
  if (options.readOnly) {
    host.refusedReadOnly();
    return kNak;
  }
  if (!told.present || !host.device().present) return kNak;
  std::map<int, int> wanted;  // output -> input, both 0-based; the last line for an output wins
  for (const QByteArray& line : b.lines) {
    int output = 0;
    int input = 0;
    QByteArray value;
    if (!splitLine(line, &output, &value) || !parseIndex(value, &input)) return kNak;
    if (output >= told.outputs || input >= told.inputs) return kNak;
    if (host.lockState(output + 1, clients[id].label) == 'L') return kNak;
    wanted[output] = input;
  }
  std::map<int, std::vector<int>> byInput;  // input -> its outputs, 1-based
  for (const auto& [output, input] : wanted) byInput[input + 1].push_back(output + 1);
  struct Command {
    int input;
    std::vector<int> outputs;  // 1-based
    QByteArray text;
  };
  std::vector<Command> commands;
  for (const auto& [input, outputs] : byInput) {
    // Greedy cut: as many outputs per command as fit the console's command size.
    size_t from = 0;
    while (from < outputs.size()) {
      size_t to = from + 1;
      while (to < outputs.size() &&
             commands::RouteText(input, outputs.data() + from, int(to + 1 - from), options.signal).size() <=
                 kPanelMaxCommand) {
        ++to;
      }
      commands.push_back({input, {outputs.begin() + long(from), outputs.begin() + long(to)},
                          commands::RouteText(input, outputs.data() + from, int(to - from), options.signal)});
      from = to;
    }
  }
  const QString clientLabel = clients[id].label;
  // All of the block is queued, or none of it.
  if (!host.canSend(int(commands.size()), clientLabel)) return kNak;
  bool anySent = false;
  for (const Command& c : commands) {
    const quint64 seq = ++lastCommand;
    for (int output : c.outputs) pending[output - 1] = Pending{c.input, id, -1, false, seq};
    const QPointer<PanelProtocol> self(this);
    if (host.send(c.text, clientLabel, [self, seq](bool written) {
          if (self) self->commandDone(seq, written);
        })) {
      anySent = true;
      continue;
    }
    // Taken by nobody after all: what the panels see stays the table's.
    for (int output : c.outputs) {
      const auto p = pending.find(output - 1);
      if (p != pending.end() && p->second.command == seq) pending.erase(p);
      if (anySent) routesDirty.insert(output - 1);
    }
  }
  if (!routesDirty.isEmpty()) queueFlush();
  return anySent ? kAck : kNak;
}

void PanelProtocol::commandDone(quint64 command, bool written) {
  bool dropped = false;
  for (auto it = pending.begin(); it != pending.end();) {
    if (it->second.command != command) {
      ++it;
    } else if (written) {
      // The report bound runs from here: a paced command may have waited long in the queue.
      it->second.since = clock.elapsed();
      ++it;
    } else {
      routesDirty.insert(it->first);
      it = pending.erase(it);
      dropped = true;
    }
  }
  if (written && !pending.empty() && !pendingTimer->isActive()) pendingTimer->start();
  if (dropped) queueFlush();
}

QByteArray PanelProtocol::configurationRequest(const PanelBlock& b) const {
  // Take mode is off and stays off; asking for what holds is fine.
  for (const QByteArray& line : b.lines) {
    const int colon = int(line.indexOf(':'));
    if (colon < 0) continue;
    if (line.left(colon).trimmed().compare("Take Mode", Qt::CaseInsensitive) == 0 &&
        line.mid(colon + 1).trimmed().compare("true", Qt::CaseInsensitive) == 0)
      return kNak;
  }
  return kAck;
}

QByteArray PanelProtocol::labelRequest(names::Kind kind, const PanelBlock& b) {
  if (options.readOnly) {
    host.refusedReadOnly();
    return kNak;
  }
  const int count = std::min(kind == names::Kind::Input ? told.inputs : told.outputs, kMaxNamed);
  std::vector<std::pair<int, QString>> changes;  // number, name
  for (const QByteArray& line : b.lines) {
    int index = 0;
    QByteArray value;
    if (!splitLine(line, &index, &value) || index >= count) return kNak;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(value);
    if (utf8.hasError() || !names::Problem(text).isEmpty()) return kNak;
    text = text.trimmed();
    // A panel that sends back the label it was shown names nothing.
    if (text == defaultLabel(kind, index + 1)) text.clear();
    changes.emplace_back(index + 1, text);
  }
  if (namesTimer->isActive()) {
    // Written a moment ago: these wait for the period's end, with any others that come.
    for (const auto& [number, text] : changes) heldNames[{int(kind), number}] = text;
  } else {
    names::Names next = host.names();
    for (const auto& [number, text] : changes) next.set(kind, number, text);
    if (next != host.names()) {
      if (!host.setNames(next)) return kNak;
      namesTimer->start();
    }
  }
  labelsDirty = true;
  queueFlush();
  return kAck;
}

void PanelProtocol::saveHeldNames() {
  if (heldNames.empty()) return;
  names::Names next = host.names();
  for (const auto& [key, text] : std::exchange(heldNames, {})) next.set(names::Kind(key.first), key.second, text);
  // One that cannot be written: the panels are told the labels the console holds.
  if (next != host.names() && host.setNames(next)) namesTimer->start();
  labelsDirty = true;
  queueFlush();
}

QByteArray PanelProtocol::lockRequest(ClientId id, const PanelBlock& b) {
  if (options.readOnly) {
    host.refusedReadOnly();
    return kNak;
  }
  std::vector<std::pair<int, char>> steps;
  for (const QByteArray& line : b.lines) {
    int output = 0;
    QByteArray value;
    if (!splitLine(line, &output, &value) || output >= told.outputs || value.size() != 1) return kNak;
    const char what = value[0];
    if (what != 'O' && what != 'U' && what != 'F') return kNak;
    // Taking or releasing another client's lock needs a force.
    if (what != 'F' && host.lockState(output + 1, clients[id].label) == 'L') return kNak;
    steps.emplace_back(output, what);
  }
  // The table tells every panel of each change (lockChanged).
  for (const auto& [output, what] : steps) host.setLock(output + 1, clients[id].label, what);
  return kAck;
}

void PanelProtocol::routeChanged(int output) {
  const int index = output - 1;
  if (index < 0 || index >= routing::kOutputs) return;
  const auto p = pending.find(index);
  if (p != pending.end() && host.route(output).video == p->second.input) pending.erase(p);
  routesDirty.insert(index);
  queueFlush();
}

void PanelProtocol::namesChanged() {
  labelsDirty = true;
  queueFlush();
}

void PanelProtocol::deviceChanged() {
  deviceDirty = true;
  queueFlush();
}

void PanelProtocol::checkPending() {
  const qint64 now = clock.elapsed();
  std::vector<int> ask;  // the first output of each command not reported in time
  QSet<quint64> asked;
  for (auto it = pending.begin(); it != pending.end();) {
    Pending& p = it->second;
    if (p.since < 0 || now - p.since < kPanelReportBoundMs) {
      ++it;
    } else if (!p.asked) {
      p.asked = true;
      p.since = now;
      if (!asked.contains(p.command)) {
        asked.insert(p.command);
        ask.push_back(it->first);
      }
      ++it;
    } else {
      // Not reported, or reported as it was: the panels get the route the console knows.
      routesDirty.insert(it->first);
      it = pending.erase(it);
    }
  }
  if (pending.empty()) pendingTimer->stop();
  for (int index : ask) {
    const auto p = pending.find(index);
    if (p == pending.end()) continue;
    const auto c = clients.find(p->second.client);
    host.send(commands::QueryStatusText(index + 1), c != clients.end() ? c->second.label : QStringLiteral("panel"), {});
  }
  if (!routesDirty.isEmpty()) queueFlush();
}

void PanelProtocol::write(ClientId id, const QByteArray& bytes) {
  const auto it = clients.find(id);
  if (it == clients.end() || bytes.isEmpty()) return;
  // The sink may drop the client, and with it this entry.
  const Sink sink = it->second.sink;
  sink(bytes);
}

void PanelProtocol::toAll(const QByteArray& bytes) {
  std::vector<ClientId> ids;
  for (const auto& c : clients) ids.push_back(c.first);
  for (ClientId id : ids) write(id, bytes);
}

void PanelProtocol::queueFlush() {
  if (flushQueued) return;
  flushQueued = true;
  QMetaObject::invokeMethod(this, &PanelProtocol::flush, Qt::QueuedConnection);
}

void PanelProtocol::flush() {
  flushQueued = false;
  if (deviceDirty) {
    deviceDirty = false;
    if (!sameDevice(current(), told)) {
      remember();
      routesDirty.clear();
      locksDirty.clear();
      labelsDirty = false;
      std::vector<ClientId> ids;
      for (const auto& c : clients) ids.push_back(c.first);
      for (ClientId id : ids) {
        QByteArray out = deviceBlock();
        if (told.present) {
          out += labelsBlock(names::Kind::Input, nullptr) + labelsBlock(names::Kind::Output, nullptr);
          out += locksBlock(id, nullptr) + routingBlock(nullptr) + blockOf(kConfiguration, kTakeModeOff);
        }
        write(id, out);
      }
      return;
    }
  }
  if (labelsDirty) {
    labelsDirty = false;
    for (names::Kind kind : {names::Kind::Input, names::Kind::Output}) {
      QStringList& was = kind == names::Kind::Input ? toldInputs : toldOutputs;
      std::vector<int> changed;
      for (int k = 0; k < was.size(); ++k) {
        const QString now = label(kind, k + 1);
        if (now != was[k]) {
          was[k] = now;
          changed.push_back(k);
        }
      }
      if (!changed.empty()) toAll(labelsBlock(kind, &changed));
    }
  }
  if (!locksDirty.isEmpty()) {
    const std::vector<int> changed = sorted(std::exchange(locksDirty, {}));
    std::vector<ClientId> ids;
    for (const auto& c : clients) ids.push_back(c.first);
    const qsizetype empty = qsizetype(qstrlen(kLocks)) + 2;
    for (ClientId id : ids) {
      const QByteArray out = locksBlock(id, &changed);
      if (out.size() > empty) write(id, out);
    }
  }
  if (!routesDirty.isEmpty() && told.present) {
    const std::vector<int> changed = sorted(std::exchange(routesDirty, {}));
    const QByteArray out = routingBlock(&changed);
    if (out.size() > qsizetype(qstrlen(kRouting) + 2)) toAll(out);
  }
  routesDirty.clear();
}

}  // namespace gateway
