#include "EmberClient.h"

#include <QHostAddress>

#include <algorithm>
#include <functional>

#include "Ber.h"

namespace support {

namespace {

using ember::ber::Class;
using ember::ber::Element;
using ember::ber::Reader;
using ember::glow::Path;

// APPLICATION numbers of the Glow types this consumer reads or sends.
constexpr std::uint32_t kRoot = 0, kParameter = 1, kCommand = 2, kNode = 3, kElementCollection = 4,
                        kQualifiedParameter = 9, kQualifiedNode = 10, kRootElementCollection = 11, kMatrix = 13,
                        kConnection = 16, kQualifiedMatrix = 17, kLabel = 18;
constexpr int kDirFieldMaskAll = -1;
constexpr int kTypeString = 3;
// Bounds on what odd input can make this consumer keep.
constexpr int kMaxPathLength = 16;
constexpr int kMaxNumber = 65536;
constexpr size_t kMaxElements = 100000;

const Path kVideo{1, 1}, kAudio{1, 2}, kTargetLabels{1, 3, 1}, kSourceLabels{1, 3, 2}, kState{1, 4};

bool IsApplication(const Element& e, std::uint32_t n) {
  return e.tag.cls == Class::Application && e.tag.constructed && e.tag.number == n;
}

bool StartsWith(const Path& path, const Path& prefix) {
  return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// Root { RootElementCollection { [0] ... } } around what body writes.
QByteArray Wrapped(const std::function<void(ember::ber::Writer&)>& body) {
  ember::ber::Writer w;
  w.begin(ember::ber::Application(kRoot));
  w.begin(ember::ber::Application(kRootElementCollection));
  w.begin(ember::ber::Context(0));
  body(w);
  w.end();
  w.end();
  w.end();
  return w.bytes();
}

void WriteCommand(ember::ber::Writer& w, int number, bool mask) {
  w.begin(ember::ber::Application(kCommand));
  w.contextInteger(0, number);
  if (mask) w.contextInteger(1, kDirFieldMaskAll);
  w.end();
}

// A qualified node or matrix carrying one command in its children, as node-emberplus sends it
// (a matrix with an empty connections list).
QByteArray QualifiedCommand(emberreq::On on, const Path& path, int number, bool mask) {
  return Wrapped([&](ember::ber::Writer& w) {
    if (on == emberreq::On::Root) return WriteCommand(w, number, mask);
    w.begin(ember::ber::Application(on == emberreq::On::Matrix ? kQualifiedMatrix : kQualifiedNode));
    w.contextRelativeOid(0, path);
    w.begin(ember::ber::Context(2));
    w.begin(ember::ber::Application(kElementCollection));
    w.begin(ember::ber::Context(0));
    WriteCommand(w, number, mask);
    w.end();
    w.end();
    w.end();
    if (on == emberreq::On::Matrix) {
      w.begin(ember::ber::Context(5));
      w.begin(ember::ber::Sequence());
      w.end();
      w.end();
    }
    w.end();
  });
}

class Walker {
 public:
  explicit Walker(EmberState& s) : s(s) {}
  bool good = true;

  void collection(const Reader& parent, const Element& seq, const Path& path) {
    Reader items = parent.open(seq);
    Element item, inner;
    while (items.next(&item)) {
      if (item.tag.cls != Class::Context || item.tag.number != 0) continue;
      Reader one = items.open(item);
      if (one.next(&inner)) element(one, inner, path);
      good = good && !one.error();
    }
    good = good && !items.error();
  }

 private:
  enum Type { kIsNode, kIsParameter, kIsMatrix };

  void element(const Reader& parent, const Element& e, const Path& parentPath) {
    if (e.tag.cls != Class::Application || !e.tag.constructed) return;
    Type type;
    bool qualified = false;
    switch (e.tag.number) {
      case kNode: type = kIsNode; break;
      case kParameter: type = kIsParameter; break;
      case kMatrix: type = kIsMatrix; break;
      case kQualifiedNode: type = kIsNode, qualified = true; break;
      case kQualifiedParameter: type = kIsParameter, qualified = true; break;
      case kQualifiedMatrix: type = kIsMatrix, qualified = true; break;
      default: return;  // commands, functions, streams: nothing a matrix provider sends us
    }
    Reader fields = parent.open(e);
    std::vector<Element> list;
    Element f;
    while (fields.next(&f))
      if (f.tag.cls == Class::Context && f.tag.constructed) list.push_back(f);
    if (fields.error()) return void(good = false);
    Path path;
    bool hasId = false;
    for (const Element& field : list) {
      if (field.tag.number != 0) continue;
      Reader r = fields.open(field);
      Element v;
      int number = -1;
      if (!r.next(&v)) break;
      if (qualified) hasId = ember::ber::ReadRelativeOid(v, &path);
      else if ((hasId = ember::ber::ReadInt32(v, &number) && number >= 0)) path = parentPath, path.push_back(number);
    }
    if (!hasId || path.empty() || int(path.size()) > kMaxPathLength || full()) return void(good = false);
    for (const Element& field : list) {
      if (field.tag.number == 1) contents(fields, field, type, path);
      else if (field.tag.number == 2) children(fields, field, path);
      else if (field.tag.number == 5 && type == kIsMatrix) connections(fields, field, path);
    }
  }

  bool full() const { return s.nodes.size() + s.parameters.size() + s.matrices.size() >= kMaxElements; }

  // The SET inside [1]: each context field's value, by number; holder.open(item) opens one.
  struct Field {
    Element item, value;
  };
  std::map<std::uint32_t, Field> setFields(const Reader& parent, const Element& field, Reader* holder) {
    std::map<std::uint32_t, Field> out;
    Reader r = parent.open(field);
    Element set;
    if (!r.next(&set) || set.tag.cls != Class::Universal || set.tag.number != ember::ber::kSet) {
      good = false;
      return out;
    }
    Reader items = r.open(set);
    Element item, v;
    while (items.next(&item)) {
      if (item.tag.cls != Class::Context || !item.tag.constructed) continue;
      Reader one = items.open(item);
      if (one.next(&v)) out[item.tag.number] = {item, v};
      else good = false;
    }
    good = good && !items.error();
    *holder = items;
    return out;
  }

  void contents(const Reader& parent, const Element& field, Type type, const Path& path) {
    Reader holder(nullptr, 0);
    const auto f = setFields(parent, field, &holder);
    auto text = [&](std::uint32_t n, QString* out) {
      const auto at = f.find(n);
      if (at != f.end() && !ember::ber::ReadUtf8(at->second.value, out)) good = false;
    };
    auto integer = [&](std::uint32_t n, int* out) {
      const auto at = f.find(n);
      if (at != f.end() && !ember::ber::ReadInt32(at->second.value, out)) good = false;
    };
    if (type == kIsNode) {
      EmberState::Node& node = s.nodes[path];
      text(0, &node.identifier);
      text(1, &node.description);
      const auto online = f.find(3);
      bool b = false;
      if (online != f.end()) {
        if (ember::ber::ReadBoolean(online->second.value, &b)) node.isOnline = b;
        else good = false;
      }
    } else if (type == kIsParameter) {
      EmberState::Parameter& p = s.parameters[path];
      text(0, &p.identifier);
      const auto value = f.find(2);
      if (value == f.end()) return;
      std::int64_t i = 0;
      bool b = false;
      const Element& v = value->second.value;
      if (ember::ber::ReadUtf8(v, &p.value)) {
      } else if (ember::ber::ReadInteger(v, &i)) {
        p.value = QString::number(i);
      } else if (ember::ber::ReadBoolean(v, &b)) {
        p.value = b ? QStringLiteral("true") : QStringLiteral("false");
      } else {
        good = false;
        return;
      }
      s.lastParameters.push_back(path);
    } else {
      EmberState::Matrix& m = s.matrices[path];
      text(0, &m.identifier);
      integer(4, &m.targetCount);
      integer(5, &m.sourceCount);
      const auto labels = f.find(10);
      if (labels == f.end()) return;
      m.labelBasePaths.clear();
      const Element& seq = labels->second.value;
      if (seq.tag.cls != Class::Universal || seq.tag.number != ember::ber::kSequence) return void(good = false);
      Reader items = holder.open(labels->second.item).open(seq);
      Element item, label, lf, v;
      while (items.next(&item)) {
        Reader one = items.open(item);
        if (!one.next(&label) || !IsApplication(label, kLabel)) continue;
        Reader lfs = one.open(label);
        while (lfs.next(&lf)) {
          Reader inner = lfs.open(lf);
          Path base;
          if (lf.tag.number == 0 && inner.next(&v) && ember::ber::ReadRelativeOid(v, &base)) m.labelBasePaths.push_back(base);
        }
      }
      good = good && !items.error();
    }
  }

  void children(const Reader& parent, const Element& field, const Path& path) {
    Reader r = parent.open(field);
    Element seq;
    if (r.next(&seq)) {
      if (IsApplication(seq, kElementCollection)) collection(r, seq, path);
    }
    good = good && !r.error();
  }

  void connections(const Reader& parent, const Element& field, const Path& path) {
    Reader r = parent.open(field);
    Element seq;
    if (!r.next(&seq) || seq.tag.cls != Class::Universal || seq.tag.number != ember::ber::kSequence) return void(good = false);
    EmberState::Matrix& m = s.matrices[path];
    Reader items = r.open(seq);
    Element item, c, cf, v;
    while (items.next(&item)) {
      Reader one = items.open(item);
      if (!one.next(&c) || !IsApplication(c, kConnection)) {
        good = false;
        continue;
      }
      Reader fields = one.open(c);
      ember::glow::Connection connection;
      bool hasTarget = false, ok = true;
      while (fields.next(&cf)) {
        Reader inner = fields.open(cf);
        if (cf.tag.cls != Class::Context || !inner.next(&v)) continue;
        switch (cf.tag.number) {
          case 0: ok = ok && ember::ber::ReadInt32(v, &connection.target); hasTarget = true; break;
          case 1: ok = ok && ember::ber::ReadRelativeOid(v, &connection.sources); break;
          case 2: ok = ok && ember::ber::ReadInt32(v, &connection.operation); break;
          case 3: ok = ok && ember::ber::ReadInt32(v, &connection.disposition); break;
          default: break;
        }
      }
      if (!ok || !hasTarget || fields.error() || connection.target < 0 || connection.target >= kMaxNumber) {
        good = false;
        continue;
      }
      m.connections[connection.target] = connection.sources;
      s.lastConnections.push_back({path, connection});
    }
    good = good && !items.error();
  }

  EmberState& s;
};

}  // namespace

namespace emberreq {

QByteArray GetDirectory(On on, const Path& path) { return QualifiedCommand(on, path, ember::glow::kGetDirectory, true); }

QByteArray Subscribe(const Path& matrix) { return QualifiedCommand(On::Matrix, matrix, ember::glow::kSubscribe, false); }

QByteArray Connect(const Path& matrix, int target, const std::vector<int>& sources, int operation) {
  return Wrapped([&](ember::ber::Writer& w) {
    w.begin(ember::ber::Application(kQualifiedMatrix));
    w.contextRelativeOid(0, matrix);
    w.begin(ember::ber::Context(5));
    w.begin(ember::ber::Sequence());
    w.begin(ember::ber::Context(0));
    w.begin(ember::ber::Application(kConnection));
    w.contextInteger(0, target);
    w.contextRelativeOid(1, sources);
    w.contextInteger(2, operation);
    w.end();
    w.end();
    w.end();
    w.end();
    w.end();
  });
}

QByteArray SetString(const Path& parameter, const QString& value) {
  return Wrapped([&](ember::ber::Writer& w) {
    w.begin(ember::ber::Application(kQualifiedParameter));
    w.contextRelativeOid(0, parameter);
    w.begin(ember::ber::Context(1));
    w.begin(ember::ber::Set());
    w.contextUtf8(2, value);
    w.contextInteger(13, kTypeString);
    w.end();
    w.end();
    w.end();
  });
}

}  // namespace emberreq

// ---- what a consumer is told ----------------------------------------------------------------

bool EmberState::take(const QByteArray& glow) {
  ++messages;
  lastConnections.clear();
  lastParameters.clear();
  Walker walker(*this);
  Reader top(glow);
  Element root, choice;
  bool good = top.next(&root) && IsApplication(root, kRoot);
  if (good) {
    Reader inside = top.open(root);
    while (inside.next(&choice))
      if (IsApplication(choice, kRootElementCollection)) walker.collection(inside, choice, {});
    good = walker.good && !inside.error();
  }
  if (!good) ++malformed;
  return good;
}

View EmberState::view() const {
  View v;
  for (int level = 0; level < 2; ++level) {
    const auto m = matrices.find(level == 0 ? kVideo : kAudio);
    if (m == matrices.end()) continue;
    for (const auto& [target, sources] : m->second.connections) {
      Route& r = v.routes[target + 1];
      (level == 0 ? r.video : r.audio) = sources.empty() ? 0 : sources.front() + 1;
    }
  }
  for (const auto& [path, p] : parameters) {
    const bool inputs = StartsWith(path, kSourceLabels);
    if (path.size() != 4 || !(inputs || StartsWith(path, kTargetLabels))) continue;
    const int n = path[3] + 1;
    const QString fallback = QStringLiteral("%1 %2").arg(QLatin1String(inputs ? "IN" : "OUT")).arg(n);
    (inputs ? v.inputNames : v.outputNames)[n] = p.value == fallback ? QString() : p.value;
  }
  return v;
}

int EmberState::targetsTold(int matrix) const {
  const auto m = matrices.find(matrix == 0 ? kVideo : kAudio);
  return m == matrices.end() ? 0 : int(m->second.connections.size());
}

int EmberState::labelsTold(bool inputs) const {
  int n = 0;
  for (const auto& entry : parameters) n += entry.first.size() == 4 && StartsWith(entry.first, inputs ? kSourceLabels : kTargetLabels);
  return n;
}

// ---- over TCP ------------------------------------------------------------------------------

EmberClient::EmberClient(QObject* parent) : QObject(parent) {
  connect(&socket, &QTcpSocket::readyRead, this, &EmberClient::read);
  connect(&socket, &QTcpSocket::connected, this, &EmberClient::connected);
}

void EmberClient::open(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }

void EmberClient::send(const QByteArray& glow) {
  for (const QByteArray& frame : ember::s101::EncodeMessage(glow)) socket.write(frame);
}

void EmberClient::browse(bool subscribe) {
  using emberreq::On;
  send(emberreq::GetDirectory(On::Root, {}));
  send(emberreq::GetDirectory(On::Node, {1}));
  send(emberreq::GetDirectory(On::Matrix, kVideo));
  send(emberreq::GetDirectory(On::Matrix, kAudio));
  if (subscribe) send(emberreq::Subscribe(kVideo)), send(emberreq::Subscribe(kAudio));
  send(emberreq::GetDirectory(On::Node, kTargetLabels));
  send(emberreq::GetDirectory(On::Node, kSourceLabels));
  send(emberreq::GetDirectory(On::Node, kState));
}

void EmberClient::route(int level, int input, int output) {
  ++counts.sent;
  const Path& matrix = level == 0 ? kVideo : kAudio;
  if (input == 0) send(emberreq::Connect(matrix, output - 1, {}, ember::glow::kDisconnect));
  else send(emberreq::Connect(matrix, output - 1, {input - 1}, ember::glow::kConnect));
}

void EmberClient::rename(const QString& kind, int number, const QString& name) {
  ++counts.sent;
  Path path = kind == QLatin1String("input") ? kSourceLabels : kTargetLabels;
  path.push_back(number - 1);
  asked[path] = name;
  send(emberreq::SetString(path, name));
}

void EmberClient::read() {
  std::vector<ember::s101::Decoder::Event> events;
  decoder.push(socket.readAll(), &events);
  for (const auto& e : events) {
    if (e.kind == ember::s101::Decoder::Event::KeepAliveRequest) {
      ++keepAliveRequests;
      socket.write(ember::s101::KeepAliveResponse());
      continue;
    }
    if (e.kind != ember::s101::Decoder::Event::Message) continue;
    state.take(e.data);
    for (const auto& told : state.lastConnections) counts.refused += told.connection.disposition == ember::glow::kLocked;
    for (const Path& p : state.lastParameters) {
      const auto at = asked.find(p);
      if (at == asked.end() || state.parameters[p].value != at->second) continue;
      const QString name = at->second;
      asked.erase(at);
      if (renamed) renamed(StartsWith(p, kSourceLabels) ? QStringLiteral("input") : QStringLiteral("output"), p[3] + 1, name);
    }
    emit message();
  }
}

}  // namespace support
