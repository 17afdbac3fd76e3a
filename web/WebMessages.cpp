#include "WebMessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QStringDecoder>

#include <cmath>
#include <functional>

#include "Commands.h"
#include "RoutingSnapshot.h"

namespace web {

namespace {
// Integers a JavaScript number holds exactly; the page counts its requests from 1.
constexpr double kMaxId = 9007199254740991.0;

Request invalid(double id, const QString& reason) {
  Request r;
  r.id = id;
  r.reason = reason;
  return r;
}

bool validUtf8(const QByteArray& bytes) {
  QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  (void)QString(d.decode(bytes));
  return !d.hasError();
}

// An integer lo..hi, else -1 (a JSON number such as 3.5 or 1e9 is not one).
int integer(const QJsonValue& v, int lo, int hi) {
  if (!v.isDouble()) return -1;
  const double d = v.toDouble();
  if (std::floor(d) != d || d < lo || d > hi) return -1;
  return int(d);
}

QByteArray compact(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

const char* linkWord(LinkState s) {
  switch (s) {
    case LinkState::Down: return "down";
    case LinkState::Opening: return "opening";
    case LinkState::Identifying: return "identifying";
    case LinkState::Ready: return "ready";
    case LinkState::Lost: return "lost";
  }
  return "down";
}

// Commands of the same kind over a list of outputs, each within the snapshot's bound, so a
// take over 256 outputs leaves as a few ordinary commands rather than one the switcher refuses.
std::vector<QByteArray> chunked(const std::vector<int>& outputs,
                                const std::function<QByteArray(const int*, int)>& make) {
  std::vector<QByteArray> out;
  size_t from = 0;
  while (from < outputs.size()) {
    int count = 1;
    while (from + size_t(count) < outputs.size() &&
           make(&outputs[from], count + 1).size() <= routing::kMaxCommandBytes)
      ++count;
    out.push_back(make(&outputs[from], count));
    from += size_t(count);
  }
  return out;
}
}  // namespace

std::vector<QByteArray> Request::commands() const {
  if (op == Op::Close || (op == Op::Route && signal == 'B' && input == 0))
    return chunked(outputs, [](const int* o, int n) { return commands::CloseOutputsText(o, n); });
  if (op != Op::Route) return {};
  return chunked(outputs, [this](const int* o, int n) { return commands::RouteText(input, o, n, signal); });
}

Request ParseRequest(const QByteArray& utf8, int inputs, int outputs) {
  if (utf8.size() > kMaxRequestBytes) return invalid(0, QStringLiteral("message over %1 bytes").arg(kMaxRequestBytes));
  if (!validUtf8(utf8)) return invalid(0, QStringLiteral("message is not UTF-8"));
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(utf8, &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject()) return invalid(0, QStringLiteral("not a JSON object"));
  const QJsonObject o = doc.object();
  const QJsonValue idValue = o.value(QLatin1String("id"));
  const double id = idValue.isDouble() && std::floor(idValue.toDouble()) == idValue.toDouble() &&
                            idValue.toDouble() >= 0 && idValue.toDouble() <= kMaxId
                        ? idValue.toDouble()
                        : 0;
  const QString op = o.value(QLatin1String("op")).toString();
  Request r;
  r.id = id;
  const bool protect = op == QLatin1String("protect") || op == QLatin1String("release");
  if (op == QLatin1String("route") || op == QLatin1String("close") || protect) {
    const QJsonValue list = o.value(QLatin1String("outputs"));
    if (!list.isArray() || list.toArray().isEmpty() || list.toArray().size() > outputs)
      return invalid(id, QStringLiteral("outputs: a list of 1 to %1 outputs").arg(outputs));
    QSet<int> seen;
    for (const QJsonValue& v : list.toArray()) {
      const int n = integer(v, 1, outputs);
      if (n < 0) return invalid(id, QStringLiteral("output not 1 to %1").arg(outputs));
      if (seen.contains(n)) return invalid(id, QStringLiteral("output %1 given twice").arg(n));
      seen.insert(n);
      r.outputs.push_back(n);
    }
    if (op == QLatin1String("close") || protect) {
      r.op = op == QLatin1String("close") ? Request::Op::Close
             : op == QLatin1String("protect") ? Request::Op::Protect
                                              : Request::Op::Release;
      return r;
    }
    r.input = integer(o.value(QLatin1String("input")), 0, inputs);
    if (r.input < 0) return invalid(id, QStringLiteral("input not 0 to %1").arg(inputs));
    const QString signal = o.value(QLatin1String("signal")).toString();
    if (signal != QLatin1String("B") && signal != QLatin1String("V") && signal != QLatin1String("A"))
      return invalid(id, QStringLiteral("signal not B, V or A"));
    r.signal = signal.at(0).toLatin1();
    r.op = Request::Op::Route;
    return r;
  }
  if (op == QLatin1String("preset")) {
    r.preset = o.value(QLatin1String("preset")).toString();
    if (r.preset.isEmpty()) return invalid(id, QStringLiteral("no preset"));
    r.op = Request::Op::Preset;
    return r;
  }
  if (op == QLatin1String("rename")) {
    const QString kind = o.value(QLatin1String("kind")).toString();
    if (kind != QLatin1String("input") && kind != QLatin1String("output"))
      return invalid(id, QStringLiteral("kind not input or output"));
    r.kind = kind == QLatin1String("input") ? names::Kind::Input : names::Kind::Output;
    const int last = qMin(names::kMaxNumber, r.kind == names::Kind::Input ? inputs : outputs);
    r.number = integer(o.value(QLatin1String("number")), 1, last);
    if (r.number < 0) return invalid(id, QStringLiteral("%1 not 1 to %2").arg(kind).arg(last));
    const QJsonValue name = o.value(QLatin1String("name"));
    if (!name.isString()) return invalid(id, QStringLiteral("no name"));
    r.name = name.toString();
    // A lone surrogate from a "\ud800" escape would not survive the names file.
    if (r.name.size() > kMaxNameUnits || !QStringView(r.name).isValidUtf16())
      return invalid(id, QStringLiteral("name is not a name"));
    r.op = Request::Op::Rename;
    return r;
  }
  if (op == QLatin1String("save")) {
    r.op = Request::Op::Save;
    return r;
  }
  return invalid(id, QStringLiteral("unknown op"));
}

int InputCount(const Device& d) { return d.inputs > 0 ? qMin(d.inputs, routing::kMaxInput) : routing::kOutputs; }
int OutputCount(const Device& d) { return d.outputs > 0 ? qMin(d.outputs, routing::kOutputs) : routing::kOutputs; }

QJsonObject LinkJson(const Link& link) {
  return {{"state", QLatin1String(linkWord(link.state))}, {"reason", link.reason}};
}

QJsonObject DeviceJson(const Device& d) {
  return {{"model", d.model}, {"version", d.version}, {"inputs", InputCount(d)}, {"outputs", OutputCount(d)}};
}

QJsonValue RouteJson(const routing::Route& r) {
  auto one = [](int v) { return v == routing::kUnknown ? QJsonValue(QJsonValue::Null) : QJsonValue(v); };
  return QJsonArray{one(r.video), one(r.audio)};
}

QJsonObject NamesJson(const WebHost& host) {
  const Device d = host.device();
  QJsonArray inputs, outputs;
  for (int i = 1; i <= qMin(InputCount(d), names::kMaxNumber); ++i) inputs.append(host.name(names::Kind::Input, i));
  for (int o = 1; o <= OutputCount(d); ++o) outputs.append(host.name(names::Kind::Output, o));
  return {{"inputs", inputs}, {"outputs", outputs}};
}

QJsonValue PresetsJson(const WebHost& host) {
  QJsonArray list;
  for (const Preset& p : host.presets()) list.append(QJsonObject{{"id", p.id}, {"name", p.name}});
  return list;
}

QJsonArray ProtectJson(const WebHost& host, int output) {
  const Protect p = host.protect(output);
  if (p.label.isEmpty()) return {output, QJsonValue::Null, QJsonValue::Null};
  return {output, p.shown, p.label};
}

QJsonArray ProtectsJson(const WebHost& host) {
  QJsonArray list;
  const int count = OutputCount(host.device());
  for (int o = 1; o <= count; ++o)
    if (!host.protect(o).label.isEmpty()) list.append(ProtectJson(host, o));
  return list;
}

QByteArray ErrorMessage(double id, const QString& reason) {
  return compact({{"type", "error"}, {"id", id}, {"reason", reason}});
}

QByteArray DoneMessage(double id) { return compact({{"type", "done"}, {"id", id}}); }

}  // namespace web
