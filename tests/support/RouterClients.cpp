#include "RouterClients.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>

#include <mosquitto.h>

namespace support {

namespace {

constexpr int kKeptLines = 64;
constexpr int kPanelClosedIndex = 999;
constexpr int kMqttKeepAliveS = 10;

// " A/V : 003 > 012", "VIDEO: 003 > 012", "AUDIO: ...": the fixed columns a switcher reports.
bool parseReport(const QByteArray& line, char* kind, int* input, int* output) {
  if (line.size() < 16 || line.mid(6, 1) != " " || line.mid(10, 3) != " > ") return false;
  const QByteArray head = line.left(5);
  if (head == " A/V ") *kind = 'B';
  else if (head == "VIDEO") *kind = 'V';
  else if (head == "AUDIO") *kind = 'A';
  else return false;
  bool a = false, b = false;
  *input = line.mid(7, 3).toInt(&a);
  *output = line.mid(13, 3).toInt(&b);
  return a && b;
}

int jsonLevel(const QJsonValue& v) { return v.isDouble() ? v.toInt() : kUnknown; }

}  // namespace

QString NameOrNone(const QString& name, const char* kind, int number) {
  return name == QStringLiteral("%1 %2").arg(QLatin1String(kind)).arg(number) ? QString() : name;
}

QStringList Differences(const View& view, const Truth& truth, bool videoOnly, bool names, int limit) {
  QStringList out;
  int more = 0;
  auto note = [&](const QString& s) {
    if (out.size() < limit) out << s;
    else ++more;
  };
  for (const auto& [o, want] : truth.routes) {
    const auto at = view.routes.find(o);
    const Route got = at == view.routes.end() ? Route{} : at->second;
    if (got.video != want.video) note(QStringLiteral("out %1 video %2, want %3").arg(o).arg(got.video).arg(want.video));
    if (!videoOnly && got.audio != want.audio)
      note(QStringLiteral("out %1 audio %2, want %3").arg(o).arg(got.audio).arg(want.audio));
  }
  if (names) {
    auto compare = [&](const std::map<int, QString>& got, const std::map<int, QString>& want, const char* kind, int count) {
      for (int n = 1; n <= count; ++n) {
        const auto g = got.find(n);
        const auto w = want.find(n);
        const QString gs = g == got.end() ? QString() : NameOrNone(g->second, kind, n);
        const QString ws = w == want.end() ? QString() : w->second;
        if (gs != ws) note(QStringLiteral("%1 %2 named \"%3\", want \"%4\"").arg(QLatin1String(kind)).arg(n).arg(gs, ws));
      }
    };
    compare(view.inputNames, truth.inputNames, "Input", truth.inputs);
    compare(view.outputNames, truth.outputNames, "Output", truth.outputs);
  }
  if (more > 0) out << QStringLiteral("and %1 more").arg(more);
  return out;
}

// ---- gateway -------------------------------------------------------------------------------

GatewayClient::GatewayClient(QObject* parent) : QObject(parent) {
  connect(&socket, &QTcpSocket::readyRead, this, &GatewayClient::read);
}

void GatewayClient::open(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }

void GatewayClient::send(const QByteArray& command) {
  ++counts.sent;
  socket.write(command);
}

void GatewayClient::read() {
  pending += socket.readAll();
  for (int end = pending.indexOf("\r\n"); end >= 0; end = pending.indexOf("\r\n")) {
    const QByteArray line = pending.left(end);
    pending.remove(0, end + 2);
    lines.append(line);
    if (lines.size() > kKeptLines) lines.removeFirst();
    char kind = 0;
    int input = 0, output = 0;
    if (parseReport(line, &kind, &input, &output)) {
      ++reportsHeard;
      Route& r = view.routes[output];
      if (kind != 'A') r.video = input;
      if (kind != 'V') r.audio = input;
    } else if (line == "Busy" || line == "Link closed" || line == "Read only" || line == "Locked") {
      ++counts.refused;
    }
  }
}

// ---- router panel --------------------------------------------------------------------------

PanelClient::PanelClient(QObject* parent) : QObject(parent) {
  connect(&socket, &QTcpSocket::readyRead, this, &PanelClient::read);
}

void PanelClient::open(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }

void PanelClient::route(int input, int output) {
  ++counts.sent;
  asked.push_back({});
  socket.write("VIDEO OUTPUT ROUTING:\n" + QByteArray::number(output - 1) + ' ' + QByteArray::number(input - 1) + "\n\n");
}

void PanelClient::rename(const QString& kind, int number, const QString& name) {
  ++counts.sent;
  asked.push_back({kind, number, name});
  const QByteArray header = kind == QLatin1String("input") ? "INPUT LABELS:\n" : "OUTPUT LABELS:\n";
  socket.write(header + QByteArray::number(number - 1) + ' ' + name.toUtf8() + "\n\n");
}

void PanelClient::read() {
  pending += socket.readAll();
  for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
    QByteArray line = pending.left(end);
    pending.remove(0, end + 1);
    if (line.endsWith('\r')) line.chop(1);
    if (!line.isEmpty()) {
      current.append(line);
      continue;
    }
    if (!current.isEmpty()) block(current);
    current.clear();
  }
}

void PanelClient::block(const QList<QByteArray>& lines) {
  const QByteArray& head = lines.first();
  if (head == "ACK" || head == "NAK") {
    if (asked.empty()) return;
    const Asked a = asked.front();
    asked.pop_front();
    if (head == "NAK") ++counts.refused;
    else if (!a.kind.isEmpty() && renamed) renamed(a.kind, a.number, a.name);
    return;
  }
  if (head == "VIDEOHUB DEVICE:") {
    for (const QByteArray& l : lines)
      if (l.startsWith("Device present:")) devicePresent = l.endsWith("true");
    return;
  }
  if (head == "VIDEO OUTPUT LOCKS:") {
    for (int k = 1; k < lines.size(); ++k)
      if (lines[k].indexOf(' ') > 0) locks[lines[k].left(lines[k].indexOf(' ')).toInt() + 1] = lines[k].back();
    return;
  }
  const bool inputs = head == "INPUT LABELS:";
  const bool outputs = head == "OUTPUT LABELS:";
  const bool routing = head == "VIDEO OUTPUT ROUTING:";
  if (!inputs && !outputs && !routing) return;
  for (int k = 1; k < lines.size(); ++k) {
    const int space = lines[k].indexOf(' ');
    if (space < 0) continue;
    const int index = lines[k].left(space).toInt();
    const QByteArray value = lines[k].mid(space + 1);
    if (routing) {
      const int input = value.toInt();
      view.routes[index + 1].video = input == kPanelClosedIndex ? 0 : input + 1;
    } else {
      (inputs ? view.inputNames : view.outputNames)[index + 1] = QString::fromUtf8(value);
    }
  }
}

// ---- MQTT ----------------------------------------------------------------------------------

MqttClient::MqttClient(QString base, QByteArray id) : base(std::move(base)) {
  mosquitto_lib_init();
  m = mosquitto_new(id.constData(), true, this);
  mosquitto_connect_callback_set(m, &MqttClient::onConnect);
  mosquitto_message_callback_set(m, &MqttClient::onMessage);
}

MqttClient::~MqttClient() {
  mosquitto_disconnect(m);
  mosquitto_loop_stop(m, true);
  mosquitto_destroy(m);
}

bool MqttClient::open(quint16 port) {
  if (mosquitto_connect_async(m, "127.0.0.1", port, kMqttKeepAliveS) != MOSQ_ERR_SUCCESS) return false;
  return mosquitto_loop_start(m) == MOSQ_ERR_SUCCESS;
}

void MqttClient::onConnect(mosquitto* m, void* self, int rc) {
  auto* c = static_cast<MqttClient*>(self);
  if (rc != 0) return;
  const QByteArray topic = (c->base + QStringLiteral("/#")).toUtf8();
  mosquitto_subscribe(m, nullptr, topic.constData(), 0);
  std::lock_guard<std::mutex> g(c->lock);
  c->subscribed = true;
}

void MqttClient::onMessage(mosquitto*, void* self, const mosquitto_message* msg) {
  auto* c = static_cast<MqttClient*>(self);
  const QString topic = QString::fromUtf8(msg->topic);
  if (!topic.startsWith(c->base + QLatin1Char('/'))) return;
  const QStringList levels = topic.mid(c->base.size() + 1).split(QLatin1Char('/'));
  const QByteArray payload(static_cast<const char*>(msg->payload), msg->payloadlen);
  std::lock_guard<std::mutex> g(c->lock);
  if (levels == QStringList{QStringLiteral("error")}) {
    ++c->tally.refused;
    return;
  }
  if (levels == QStringList{QStringLiteral("link")}) {
    c->linkWord = QString::fromUtf8(payload);
    return;
  }
  if (levels.size() != 3) return;
  const int n = levels[1].toInt();
  if (levels[0] == QLatin1String("output") && levels[2] == QLatin1String("video"))
    c->state.routes[n].video = payload.isEmpty() ? kUnknown : payload.toInt();
  else if (levels[0] == QLatin1String("output") && levels[2] == QLatin1String("audio"))
    c->state.routes[n].audio = payload.isEmpty() ? kUnknown : payload.toInt();
  else if (levels[2] == QLatin1String("name") && levels[0] == QLatin1String("output"))
    c->state.outputNames[n] = QString::fromUtf8(payload);
  else if (levels[2] == QLatin1String("name") && levels[0] == QLatin1String("input"))
    c->state.inputNames[n] = QString::fromUtf8(payload);
}

bool MqttClient::ready() const {
  std::lock_guard<std::mutex> g(lock);
  return subscribed;
}

void MqttClient::publish(const QString& topicUnderBase, const QByteArray& payload) {
  const QByteArray topic = (base + QLatin1Char('/') + topicUnderBase).toUtf8();
  {
    std::lock_guard<std::mutex> g(lock);
    ++tally.sent;
  }
  mosquitto_publish(m, nullptr, topic.constData(), int(payload.size()), payload.constData(), 0, false);
}

View MqttClient::snapshot() const {
  std::lock_guard<std::mutex> g(lock);
  return state;
}

Counts MqttClient::counts() const {
  std::lock_guard<std::mutex> g(lock);
  return tally;
}

QString MqttClient::link() const {
  std::lock_guard<std::mutex> g(lock);
  return linkWord;
}

// ---- web page ------------------------------------------------------------------------------

PageClient::PageClient(QObject* parent) : QObject(parent) {
  connect(&ws, &QWebSocket::textMessageReceived, this, &PageClient::message);
}

void PageClient::open(quint16 port) {
  // The page's own origin: the server takes a WebSocket from no other.
  QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
  request.setRawHeader("Origin", QStringLiteral("http://127.0.0.1:%1").arg(port).toUtf8());
  ws.open(request);
}

void PageClient::sendJson(const QByteArray& json) {
  ++counts.sent;
  ws.sendTextMessage(QString::fromUtf8(json));
}

void PageClient::route(int input, int output, char signal) {
  const double id = nextId++;
  sendJson(QJsonDocument(QJsonObject{{"op", "route"}, {"id", id}, {"input", input},
                                     {"outputs", QJsonArray{output}}, {"signal", QString(QLatin1Char(signal))}})
               .toJson(QJsonDocument::Compact));
}

void PageClient::rename(const QString& kind, int number, const QString& name) {
  const double id = nextId++;
  asked[id] = {kind, number, name};
  sendJson(QJsonDocument(QJsonObject{{"op", "rename"}, {"id", id}, {"kind", kind}, {"number", number}, {"name", name}})
               .toJson(QJsonDocument::Compact));
}

void PageClient::message(const QString& text) {
  ++messages;
  const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
  const QString type = o.value(QLatin1String("type")).toString();
  if (type == QLatin1String("done") || type == QLatin1String("error")) {
    const auto at = asked.find(o.value(QLatin1String("id")).toDouble());
    if (type == QLatin1String("error")) ++counts.refused;
    if (at == asked.end()) return;
    if (type == QLatin1String("done") && renamed) renamed(at->second.kind, at->second.number, at->second.name);
    asked.erase(at);
    return;
  }
  if (type != QLatin1String("state") && type != QLatin1String("change")) return;
  if (o.contains(QLatin1String("link"))) link = o.value(QLatin1String("link")).toObject().value(QLatin1String("state")).toString();
  if (o.contains(QLatin1String("names"))) {
    const QJsonObject names = o.value(QLatin1String("names")).toObject();
    view.inputNames.clear();
    view.outputNames.clear();
    const QJsonArray in = names.value(QLatin1String("inputs")).toArray();
    const QJsonArray out = names.value(QLatin1String("outputs")).toArray();
    for (int k = 0; k < in.size(); ++k) view.inputNames[k + 1] = in[k].toString();
    for (int k = 0; k < out.size(); ++k) view.outputNames[k + 1] = out[k].toString();
  }
  const QJsonArray routes = o.value(QLatin1String("routes")).toArray();
  if (type == QLatin1String("state")) {
    view.routes.clear();
    for (int k = 0; k < routes.size(); ++k) {
      const QJsonArray r = routes[k].toArray();
      view.routes[k + 1] = {jsonLevel(r[0]), jsonLevel(r[1])};
    }
    gotState = true;
    emit stateReceived();
    return;
  }
  for (const QJsonValue& v : routes) {
    const QJsonArray r = v.toArray();
    view.routes[r[0].toInt()] = {jsonLevel(r[1]), jsonLevel(r[2])};
  }
}

}  // namespace support

// ---- SW-P-08 -------------------------------------------------------------------------------
// The answers are read here from the protocol's own layouts, not with the bridge's builders,
// so that a wrong builder shows as a wrong view.

namespace support {

namespace {
constexpr int kNoSourceOnWire = 1023;
constexpr int kKeptMessages = 256;

int byteAt(const QByteArray& d, int i) { return i < d.size() ? quint8(d[i]) : 0; }
int pairAt(const QByteArray& d, int i) { return byteAt(d, i) * 256 + byteAt(d, i + 1); }
QByteArray pair(int v) { return QByteArray(1, char((v >> 8) & 0xFF)) + char(v & 0xFF); }
}  // namespace

Swp08Client::Swp08Client(bool extended, int matrix, QObject* parent)
    : QObject(parent), extended(extended), matrix(matrix) {
  connect(&socket, &QTcpSocket::readyRead, this, &Swp08Client::read);
  connect(&socket, &QTcpSocket::connected, this, &Swp08Client::connected);
}

void Swp08Client::open(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }

void Swp08Client::sendData(const QByteArray& data) { socket.write(swp08::Frame(data)); }

void Swp08Client::route(int level, int input, int output) {
  ++counts.sent;
  const int d = output - 1, s = input - 1;
  if (extended) {
    sendData(QByteArray(1, char(0x82)) + char(matrix) + char(level) + pair(d) + pair(s));
  } else {
    const char mult = char((((d >> 7) & 7) << 4) | ((s >> 7) & 7));
    sendData(QByteArray(1, char(0x02)) + char((matrix << 4) | level) + mult + char(d & 0x7F) + char(s & 0x7F));
  }
}

void Swp08Client::askDump(int level) {
  if (extended) sendData(QByteArray(1, char(0x95)) + char(matrix) + char(level));
  else sendData(QByteArray(1, char(0x15)) + char((matrix << 4) | level));
}

void Swp08Client::protect(int output, bool take) {
  const int d = output - 1;
  const char command = char((take ? 0x0C : 0x0E) | (extended ? 0x80 : 0));
  if (extended) {
    sendData(QByteArray(1, command) + char(matrix) + char(0) + pair(d) + pair(device));
  } else {
    const char mult = char((((d >> 7) & 7) << 4) | ((device >> 7) & 7));
    sendData(QByteArray(1, command) + char(matrix << 4) + mult + char(d & 0x7F) + char(device & 0x7F));
  }
}

void Swp08Client::read() {
  const QByteArray bytes = socket.readAll();
  std::vector<swp08::Deframer::Event> events;
  deframer.push(bytes.constData(), int(bytes.size()), &events);
  for (const auto& e : events) {
    switch (e.kind) {
      case swp08::Deframer::Event::Ack: ++acks; break;
      case swp08::Deframer::Event::Nak: ++naks; break;
      case swp08::Deframer::Event::Bad: socket.write(swp08::NakBytes()); break;
      case swp08::Deframer::Event::Message:
        socket.write(swp08::AckBytes());
        take(e.data);
        break;
    }
  }
}

void Swp08Client::take(const QByteArray& d) {
  ++messages;
  heard.append(d);
  if (heard.size() > kKeptMessages) heard.removeFirst();
  decode(d);
  emit message(d);
}

void Swp08Client::decode(const QByteArray& d) {
  const int command = byteAt(d, 0);
  auto tell = [this](int level, int destination, int source, bool bad) {
    Route& r = view.routes[destination + 1];
    const int input = bad || source == kNoSourceOnWire ? 0 : source + 1;
    (level == 0 ? r.video : r.audio) = input;
  };
  auto levelOk = [](int level) { return level == 0 || level == 1; };
  switch (command) {
    case 0x03:
    case 0x04: {
      const int ml = byteAt(d, 1), mult = byteAt(d, 2);
      if (ml >> 4 != matrix || !levelOk(ml & 0x0F)) return;
      tell(ml & 0x0F, ((mult >> 4) & 7) * 128 + byteAt(d, 3), (mult & 7) * 128 + byteAt(d, 4), mult & 0x08);
      return;
    }
    case 0x83:
    case 0x84:
      if (byteAt(d, 1) != matrix || !levelOk(byteAt(d, 2))) return;
      tell(byteAt(d, 2), pairAt(d, 3), pairAt(d, 5), byteAt(d, 7) & 0x08);
      return;
    case 0x16: {  // ML N FIRST SRC..
      const int ml = byteAt(d, 1), n = byteAt(d, 2), first = byteAt(d, 3);
      if (ml >> 4 != matrix || !levelOk(ml & 0x0F)) return;
      for (int i = 0; i < n && 4 + i < d.size(); ++i) tell(ml & 0x0F, first + i, byteAt(d, 4 + i), false);
      return;
    }
    case 0x17: {  // ML N FD FM (SD SM)..
      const int ml = byteAt(d, 1), n = byteAt(d, 2), first = pairAt(d, 3);
      if (ml >> 4 != matrix || !levelOk(ml & 0x0F)) return;
      for (int i = 0; i < n && 6 + 2 * i < d.size(); ++i) tell(ml & 0x0F, first + i, pairAt(d, 5 + 2 * i), false);
      return;
    }
    case 0x97: {  // M L N FD FM (SD SM)..
      const int level = byteAt(d, 2), n = byteAt(d, 3), first = pairAt(d, 4);
      if (byteAt(d, 1) != matrix || !levelOk(level)) return;
      for (int i = 0; i < n && 7 + 2 * i < d.size(); ++i) tell(level, first + i, pairAt(d, 6 + 2 * i), false);
      return;
    }
    case 0x0B:
    case 0x0D:
    case 0x0F:
    case 0x8B:
    case 0x8D:
    case 0x8F: {
      // General: ML STATE MULT DST DEV; extended: M L STATE DD DM VD VM. Level 0's word is the
      // output's (a protect holds every level).
      const bool ext = command & 0x80;
      const int level = ext ? byteAt(d, 2) : byteAt(d, 1) & 0x0F;
      const int state = ext ? byteAt(d, 3) : byteAt(d, 2);
      const int mult = byteAt(d, 3);
      const int destination = ext ? pairAt(d, 4) : ((mult >> 4) & 7) * 128 + byteAt(d, 4);
      const int holder = ext ? pairAt(d, 6) : (mult & 7) * 128 + byteAt(d, 5);
      if (level != 0) return;
      if ((command & 0x7F) == 0x0B) ++counts.refused;
      if (state == 0) {
        protects.erase(destination + 1);
        protectStates.erase(destination + 1);
      } else {
        protects[destination + 1] = holder;
        protectStates[destination + 1] = state;
      }
      return;
    }
    default: return;
  }
}

}  // namespace support
