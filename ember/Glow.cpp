#include "Glow.h"

#include <algorithm>

#include "Ber.h"

namespace ember::glow {

namespace {

using ber::Class;
using ber::Reader;

// APPLICATION numbers of the Glow types.
constexpr std::uint32_t kRoot = 0, kParameter = 1, kCommand = 2, kNode = 3, kElementCollection = 4,
                        kQualifiedParameter = 9, kQualifiedNode = 10, kRootElementCollection = 11, kMatrix = 13,
                        kConnection = 16, kQualifiedMatrix = 17, kLabel = 18;

bool IsApplication(const ber::Element& e, std::uint32_t n) {
  return e.tag.cls == Class::Application && e.tag.constructed && e.tag.number == n;
}
bool IsContext(const ber::Element& e, std::uint32_t n) {
  return e.tag.cls == Class::Context && e.tag.constructed && e.tag.number == n;
}
bool IsUniversal(const ber::Element& e, std::uint32_t n) {
  return e.tag.cls == Class::Universal && e.tag.number == n;
}

class RequestReader {
 public:
  explicit RequestReader(std::vector<Request>* out) : out_(out) {}
  QString error;

  bool root(const QByteArray& glow) {
    Reader top(glow);
    ber::Element root;
    if (!top.next(&root)) return fail(top.error() ? "malformed BER" : "empty message");
    if (!IsApplication(root, kRoot)) return fail("not a Glow root");
    Reader inside = top.open(root);
    ber::Element choice;
    while (inside.next(&choice)) {
      if (!IsApplication(choice, kRootElementCollection)) continue;  // streams, invocation results
      if (!collection(inside, choice, {}, Request::Root)) return false;
    }
    return inside.error() ? fail("malformed BER in the root") : true;
  }

 private:
  bool fail(const QString& why) {
    if (error.isEmpty()) error = why;
    return false;
  }

  // A SEQUENCE OF [0] element (RootElementCollection or ElementCollection).
  bool collection(const Reader& parent, const ber::Element& seq, const Path& path, Request::Element kind) {
    Reader items = parent.open(seq);
    ber::Element item;
    while (items.next(&item)) {
      if (!IsContext(item, 0)) continue;
      ber::Element inner;
      if (!items.inner(item, &inner)) return fail("empty collection item");
      if (!element(items, inner, path, kind)) return false;
    }
    return items.error() ? fail("malformed BER in a collection") : true;
  }

  bool element(const Reader& parent, const ber::Element& e, const Path& parentPath, Request::Element parentKind) {
    if (e.tag.cls != Class::Application || !e.tag.constructed) return true;
    Request::Element kind;
    bool qualified = false;
    switch (e.tag.number) {
      case kCommand: return command(parent, e, parentPath, parentKind);
      case kParameter: kind = Request::Parameter; break;
      case kNode: kind = Request::Node; break;
      case kMatrix: kind = Request::Matrix; break;
      case kQualifiedParameter: kind = Request::Parameter; qualified = true; break;
      case kQualifiedNode: kind = Request::Node; qualified = true; break;
      case kQualifiedMatrix: kind = Request::Matrix; qualified = true; break;
      default: return true;  // functions, templates: nothing this provider offers
    }
    Reader fields = parent.open(e);
    ber::Element field, contents, children, connections;
    bool hasId = false, hasContents = false, hasChildren = false, hasConnections = false;
    Path path;
    while (fields.next(&field)) {
      if (field.tag.cls != Class::Context) continue;
      if (field.tag.number == 0) {
        ber::Element id;
        if (!fields.inner(field, &id)) return fail("empty number or path");
        if (qualified) {
          if (!ber::ReadRelativeOid(id, &path)) return fail("bad path");
        } else {
          int number = 0;
          if (!ber::ReadInt32(id, &number) || number < 0) return fail("bad element number");
          path = parentPath;
          path.push_back(number);
        }
        hasId = true;
      } else if (field.tag.number == 1) {
        contents = field, hasContents = true;
      } else if (field.tag.number == 2) {
        children = field, hasChildren = true;
      } else if (field.tag.number == 5 && kind == Request::Matrix) {
        connections = field, hasConnections = true;
      }
    }
    if (fields.error()) return fail("malformed BER in an element");
    if (!hasId) return fail(qualified ? "element without a path" : "element without a number");
    const size_t before = out_->size();
    if (hasChildren) {
      // An empty children field is nothing; a malformed one is an error.
      Reader inside = fields.open(children);
      ber::Element seq;
      if (inside.next(&seq)) {
        if (IsApplication(seq, kElementCollection) && !collection(inside, seq, path, kind)) return false;
      } else if (inside.error()) {
        return fail("malformed children");
      }
    }
    // A consumer sends what it knows of an element along with a command on it (its cached value,
    // every connection it holds): that is no set and no route.
    const bool commanded = std::any_of(out_->begin() + std::ptrdiff_t(before), out_->end(), [&path](const Request& r) {
      return r.path == path && r.kind != Request::SetValue && r.kind != Request::Connect;
    });
    if (commanded) return true;
    if (hasContents && kind == Request::Parameter && !parameterValue(fields, contents, path)) return false;
    if (hasConnections && !matrixConnections(fields, connections, path)) return false;
    return true;
  }

  bool command(const Reader& parent, const ber::Element& e, const Path& path, Request::Element kind) {
    Reader fields = parent.open(e);
    ber::Element field, value;
    std::optional<int> number, mask;
    while (fields.next(&field)) {
      if (field.tag.cls != Class::Context || (field.tag.number != 0 && field.tag.number != 1)) continue;
      int v = 0;
      if (!fields.inner(field, &value) || !ber::ReadInt32(value, &v)) return fail("bad command field");
      (field.tag.number == 0 ? number : mask) = v;
    }
    if (fields.error()) return fail("malformed BER in a command");
    if (!number) return fail("command without a number");
    Request r;
    r.element = kind;
    r.path = path;
    switch (*number) {
      case kGetDirectory: r.kind = Request::GetDirectory; r.dirFieldMask = mask; break;
      case kSubscribe: r.kind = Request::Subscribe; break;
      case kUnsubscribe: r.kind = Request::Unsubscribe; break;
      default: return true;  // invoke: no functions here
    }
    out_->push_back(r);
    return true;
  }

  bool parameterValue(const Reader& parent, const ber::Element& contentsField, const Path& path) {
    ber::Element set;
    if (!parent.inner(contentsField, &set)) return fail("empty parameter contents");
    if (!IsUniversal(set, ber::kSet) || !set.tag.constructed) return fail("parameter contents not a SET");
    Reader fields = parent.open(contentsField).open(set);
    ber::Element field;
    while (fields.next(&field)) {
      if (!IsContext(field, 2)) continue;
      ber::Element v;
      if (!fields.inner(field, &v)) return fail("empty value");
      Request r;
      r.kind = Request::SetValue;
      r.element = Request::Parameter;
      r.path = path;
      bool ok = false;
      if (IsUniversal(v, ber::kInteger)) ok = ber::ReadInteger(v, &r.value.integer), r.value.type = Value::Integer;
      else if (IsUniversal(v, ber::kUtf8String)) ok = ber::ReadUtf8(v, &r.value.string), r.value.type = Value::String;
      else if (IsUniversal(v, ber::kBoolean)) ok = ber::ReadBoolean(v, &r.value.boolean), r.value.type = Value::Boolean;
      else if (IsUniversal(v, ber::kReal)) ok = ber::ReadReal(v, &r.value.real), r.value.type = Value::Real;
      else if (IsUniversal(v, ber::kOctetString)) ok = ber::ReadOctets(v, &r.value.octets), r.value.type = Value::Octets;
      if (!ok) return fail("bad parameter value");
      out_->push_back(r);
    }
    return fields.error() ? fail("malformed BER in parameter contents") : true;
  }

  bool matrixConnections(const Reader& parent, const ber::Element& field, const Path& path) {
    ber::Element seq;
    if (!parent.inner(field, &seq)) return fail("empty connections");
    if (!IsUniversal(seq, ber::kSequence) || !seq.tag.constructed) return fail("connections not a SEQUENCE");
    Reader items = parent.open(field).open(seq);
    Request r;
    r.kind = Request::Connect;
    r.element = Request::Matrix;
    r.path = path;
    ber::Element item;
    while (items.next(&item)) {
      if (!IsContext(item, 0)) continue;
      ber::Element c;
      if (!items.inner(item, &c) || !IsApplication(c, kConnection)) return fail("bad connection");
      Reader cf = items.open(c);
      ber::Element f, v;
      Connection connection;
      bool hasTarget = false;
      while (cf.next(&f)) {
        if (f.tag.cls != Class::Context || f.tag.number > 3) continue;
        if (!cf.inner(f, &v)) return fail("empty connection field");
        bool ok = false;
        switch (f.tag.number) {
          case 0: ok = ber::ReadInt32(v, &connection.target) && connection.target >= 0; hasTarget = ok; break;
          case 1: ok = ber::ReadRelativeOid(v, &connection.sources); break;
          case 2: ok = ber::ReadInt32(v, &connection.operation); break;
          case 3: ok = ber::ReadInt32(v, &connection.disposition); break;
        }
        if (!ok) return fail("bad connection field");
      }
      if (cf.error()) return fail("malformed BER in a connection");
      if (!hasTarget) return fail("connection without a target");
      r.connections.push_back(connection);
    }
    if (items.error()) return fail("malformed BER in connections");
    if (!r.connections.empty()) out_->push_back(r);
    return true;
  }

  std::vector<Request>* out_;
};

void WriteValue(ber::Writer& w, const Value& v) {
  switch (v.type) {
    case Value::Integer: w.integer(v.integer); break;
    case Value::String: w.utf8(v.string); break;
    case Value::Boolean: w.boolean(v.boolean); break;
    case Value::Octets: w.octets(v.octets); break;
    case Value::Real:  // no parameter of this provider is real
    case Value::None: break;
  }
}

void WriteConnections(ber::Writer& w, const std::vector<Connection>& connections) {
  w.begin(ber::Context(5));
  w.begin(ber::Sequence());
  for (const Connection& c : connections) {
    w.begin(ber::Context(0));
    w.begin(ber::Application(kConnection));
    w.contextInteger(0, c.target);
    w.contextRelativeOid(1, c.sources);
    w.contextInteger(2, c.operation);
    w.contextInteger(3, c.disposition);
    w.end();
    w.end();
  }
  w.end();
  w.end();
}

void WriteElement(ber::Writer& w, const Element& el, bool qualified) {
  static const std::uint32_t kTags[3][2] = {{kNode, kQualifiedNode},
                                            {kParameter, kQualifiedParameter},
                                            {kMatrix, kQualifiedMatrix}};
  w.begin(ber::Application(kTags[el.type][qualified ? 1 : 0]));
  if (qualified) w.contextRelativeOid(0, el.path);
  else w.contextInteger(0, el.path.empty() ? 0 : el.path.back());

  const bool hasContents = (el.type == Element::Node && el.node) || (el.type == Element::Parameter && el.parameter) ||
                           (el.type == Element::Matrix && el.matrix);
  if (hasContents) {
    w.begin(ber::Context(1));
    w.begin(ber::Set());
    if (el.type == Element::Node) {
      const NodeContents& c = *el.node;
      w.contextUtf8(0, c.identifier);
      if (!c.description.isEmpty()) w.contextUtf8(1, c.description);
      if (c.isOnline) w.contextBoolean(3, *c.isOnline);
    } else if (el.type == Element::Parameter) {
      const ParameterContents& c = *el.parameter;
      w.contextUtf8(0, c.identifier);
      if (!c.description.isEmpty()) w.contextUtf8(1, c.description);
      if (c.value.type != Value::None && c.value.type != Value::Real) {
        w.begin(ber::Context(2));
        WriteValue(w, c.value);
        w.end();
      }
      if (c.access) w.contextInteger(5, *c.access);
      if (c.type) w.contextInteger(13, *c.type);
    } else {
      const MatrixContents& c = *el.matrix;
      w.contextUtf8(0, c.identifier);
      if (!c.description.isEmpty()) w.contextUtf8(1, c.description);
      w.contextInteger(2, c.type);
      w.contextInteger(3, c.addressingMode);
      w.contextInteger(4, c.targetCount);
      w.contextInteger(5, c.sourceCount);
      if (!c.labels.empty()) {
        w.begin(ber::Context(10));
        w.begin(ber::Sequence());
        for (const Label& label : c.labels) {
          w.begin(ber::Context(0));
          w.begin(ber::Application(kLabel));
          w.contextRelativeOid(0, label.basePath);
          w.contextUtf8(1, label.description);
          w.end();
          w.end();
        }
        w.end();
        w.end();
      }
    }
    w.end();
    w.end();
  }
  if (el.children) {
    w.begin(ber::Context(2));
    w.begin(ber::Application(kElementCollection));
    for (const Element& child : *el.children) {
      w.begin(ber::Context(0));
      WriteElement(w, child, false);
      w.end();
    }
    w.end();
    w.end();
  }
  if (el.type == Element::Matrix && el.connections) WriteConnections(w, *el.connections);
  w.end();
}

}  // namespace

bool DecodeRequests(const QByteArray& glow, std::vector<Request>* requests, QString* error) {
  RequestReader reader(requests);
  const bool ok = reader.root(glow);
  if (error) *error = reader.error;
  return ok;
}

QByteArray EncodeRoot(const std::vector<Element>& elements) {
  ber::Writer w;
  w.begin(ber::Application(kRoot));
  w.begin(ber::Application(kRootElementCollection));
  for (const Element& el : elements) {
    w.begin(ber::Context(0));
    WriteElement(w, el, el.qualified || el.path.size() != 1);
    w.end();
  }
  w.end();
  w.end();
  return w.bytes();
}

Element QualifiedNode(const Path& path, const NodeContents& contents) {
  Element e;
  e.type = Element::Node;
  e.path = path;
  e.node = contents;
  return e;
}

Element QualifiedParameter(const Path& path, const ParameterContents& contents) {
  Element e;
  e.type = Element::Parameter;
  e.path = path;
  e.parameter = contents;
  return e;
}

Element QualifiedMatrix(const Path& path, const MatrixContents& contents) {
  Element e;
  e.type = Element::Matrix;
  e.path = path;
  e.matrix = contents;
  return e;
}

Element MatrixConnections(const Path& path, const std::vector<Connection>& connections) {
  Element e;
  e.type = Element::Matrix;
  e.path = path;
  e.connections = connections;
  return e;
}

}  // namespace ember::glow
