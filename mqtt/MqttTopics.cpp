#include "MqttTopics.h"

#include <QCryptographicHash>
#include <QHash>
#include <QSet>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include "CommandFramer.h"
#include "Commands.h"

namespace mqtt {

namespace {
constexpr int kMaxDigits = 3;  // no switcher numbers past 999

// Plain decimal, 1 to 3 digits; -1 otherwise.
int number(QStringView s) {
  if (s.isEmpty() || s.size() > kMaxDigits) return -1;
  int v = 0;
  for (QChar c : s) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return -1;
    v = v * 10 + (c.unicode() - '0');
  }
  return v;
}

Command invalid(const QString& reason) {
  Command c;
  c.reason = reason;
  return c;
}

bool validUtf8(const QByteArray& bytes) {
  QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  (void)QString(d.decode(bytes));
  return !d.hasError();
}

QJsonObject device(const Discovery& d) {
  QJsonObject o{{"identifiers", QJsonArray{d.nodeId}}, {"name", d.base}};
  if (!d.info.model.isEmpty()) o["model"] = d.info.model;
  if (!d.info.version.isEmpty()) o["sw_version"] = d.info.version;
  return o;
}

void availability(QJsonObject& o, const Discovery& d) {
  o["availability_topic"] = d.base + QStringLiteral("/status");
  o["payload_available"] = QStringLiteral("online");
  o["payload_not_available"] = QStringLiteral("offline");
}

QString groupId(const QString& group) {
  return QString::fromLatin1(
      QCryptographicHash::hash(group.toUtf8(), QCryptographicHash::Sha1).left(6).toHex());
}

QByteArray compact(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }
}  // namespace

Command ParseCommand(const QString& topic, const QByteArray& payload, int inputs, int outputs) {
  if (payload.size() > kMaxPayload) return invalid(QStringLiteral("payload over %1 bytes").arg(kMaxPayload));
  if (!validUtf8(payload)) return invalid(QStringLiteral("payload is not UTF-8"));
  const QString text = QString::fromUtf8(payload);

  if (topic == QLatin1String("command")) {
    framing::CommandFramer framer;
    Command c;
    for (framing::CommandFramer::Frame& f : framer.push(payload)) {
      if (f.overflow) return invalid(QStringLiteral("command over %1 bytes").arg(framing::kMaxCommandLength));
      c.commands.push_back(std::move(f.command));
    }
    if (framer.pendingLength() > 0) return invalid(QStringLiteral("command without its terminator (. or ;)"));
    if (c.commands.empty()) return invalid(QStringLiteral("no command"));
    c.kind = Command::Kind::Raw;
    return c;
  }
  if (topic == QLatin1String("group/execute")) {
    Command c;
    c.group = text;  // as advertised: blanks at the ends may be part of the name
    if (text.trimmed().isEmpty()) return invalid(QStringLiteral("no group name"));
    c.kind = Command::Kind::Group;
    return c;
  }

  // output/N/set, output/N/video/set, output/N/audio/set, output/N/protect/set
  const QStringList levels = topic.split(QLatin1Char('/'));
  if (levels.size() == 4 && levels[0] == QLatin1String("output") && levels[2] == QLatin1String("protect") &&
      levels[3] == QLatin1String("set")) {
    Command c;
    c.output = number(levels[1]);
    if (c.output < 1 || c.output > outputs) return invalid(QStringLiteral("output not 1 to %1").arg(outputs));
    // As a dashboard's switch sends them.
    const QString word = text.trimmed().toUpper();
    c.protect = word == QLatin1String("ON");
    if (!c.protect && word != QLatin1String("OFF")) return invalid(QStringLiteral("not ON or OFF"));
    c.kind = Command::Kind::Protect;
    return c;
  }
  const bool both = levels.size() == 3 && levels[2] == QLatin1String("set");
  const bool one = levels.size() == 4 && levels[3] == QLatin1String("set") &&
                   (levels[2] == QLatin1String("video") || levels[2] == QLatin1String("audio"));
  if (levels.value(0) != QLatin1String("output") || (!both && !one)) return invalid(QStringLiteral("unknown topic"));
  Command c;
  c.output = number(levels[1]);
  if (c.output < 1 || c.output > outputs) return invalid(QStringLiteral("output not 1 to %1").arg(outputs));
  // A number, or a dashboard's option text that starts with one ("3 Camera 3").
  const int space = int(text.indexOf(QLatin1Char(' ')));
  const QString digits = space < 0 ? text.trimmed() : text.left(space);
  c.input = number(digits);
  if (digits.isEmpty() || c.input < 0) return invalid(QStringLiteral("not a number"));
  if (c.input > inputs) return invalid(QStringLiteral("input not 0 to %1").arg(inputs));
  c.signal = both ? 'B' : levels[2] == QLatin1String("video") ? 'V' : 'A';
  // Closing both has its own command; one signal is closed by routing input 0 to it.
  c.commands.push_back(c.signal == 'B' && c.input == 0 ? commands::CloseOutputsText(&c.output, 1)
                                                       : commands::RouteText(c.input, &c.output, 1, c.signal));
  c.kind = Command::Kind::Route;
  return c;
}

QStringList CommandSubscriptions(const QString& base) {
  return {base + QStringLiteral("/output/+/set"), base + QStringLiteral("/output/+/+/set"),
          base + QStringLiteral("/command"), base + QStringLiteral("/group/execute")};
}

QStringList StateSubscriptions(const QString& base, const QString& discoveryPrefix, const QString& nodeId) {
  QStringList t;
  for (const char* leaf : {"status", "link", "info", "groups", "output/+/video", "output/+/audio", "output/+/label", "output/+/protect",
                           "output/+/name", "input/+/name"})
    t << base + QLatin1Char('/') + QLatin1String(leaf);
  for (const char* kind : {"select", "button", "sensor"})
    t << QStringLiteral("%1/%2/%3/+/config").arg(discoveryPrefix, QLatin1String(kind), nodeId);
  return t;
}

bool topicIsCommand(const QString& topic, const QString& base) {
  if (topic.size() <= base.size() || !topic.startsWith(base) || topic.at(base.size()) != QLatin1Char('/')) return false;
  const QStringView rest = QStringView(topic).mid(base.size() + 1);
  return rest == u"command" || rest == u"group/execute" || rest.endsWith(u"/set");
}

QStringList ButtonPayloads(const QStringList& groups) {
  QStringList out;
  QSet<QString> taken(groups.cbegin(), groups.cend());
  QHash<QString, int> seen;
  for (const QString& g : groups) {
    QString p = g;
    if (const int n = ++seen[g]; n > 1) {
      // The first keeps its name; the others a place no group name and no other button has.
      for (int k = n;; ++k) {
        p = g + QStringLiteral(" #%1").arg(k);
        if (!taken.contains(p)) break;
      }
      taken.insert(p);
    }
    out << (g.trimmed().isEmpty() || p.toUtf8().size() > kMaxPayload ? QString() : p);
  }
  return out;
}

int GroupIndex(const QStringList& payloads, const QString& payload) {
  if (payload.isEmpty()) return -1;
  if (const int at = int(payloads.indexOf(payload)); at >= 0) return at;
  const QString bare = payload.trimmed();
  for (int i = 0; i < payloads.size(); ++i)
    if (!payloads[i].isEmpty() && payloads[i].trimmed() == bare) return i;
  return -1;
}

QString Label(int input, const QString& inputName) {
  if (input == 0) return QStringLiteral("0 Off");
  return inputName.isEmpty() ? QString::number(input) : QString::number(input) + QLatin1Char(' ') + inputName;
}

QByteArray InfoJson(const Info& i) {
  return compact(QJsonObject{{"model", i.model},
                             {"version", i.version},
                             {"inputs", i.inputs},
                             {"outputs", i.outputs},
                             {"link", i.link}});
}

QByteArray GroupsJson(const QStringList& groups) {
  return QJsonDocument(QJsonArray::fromStringList(groups)).toJson(QJsonDocument::Compact);
}

QByteArray ErrorJson(const QString& topic, const QByteArray& payload, const QString& reason) {
  // Bytes that are not UTF-8 show as U+FFFD; the JSON stays valid.
  return compact(QJsonObject{{"topic", topic}, {"payload", QString::fromUtf8(payload)}, {"reason", reason}});
}

QString SelectConfigTopic(const Discovery& d, int output) {
  return QStringLiteral("%1/select/%2/output_%3/config").arg(d.prefix, d.nodeId).arg(output);
}

QByteArray SelectConfig(const Discovery& d, int output, const QString& outputName, const QStringList& options) {
  QJsonObject o{{"name", outputName.isEmpty() ? QStringLiteral("Output %1").arg(output) : outputName},
                {"unique_id", QStringLiteral("%1_output_%2").arg(d.nodeId).arg(output)},
                {"state_topic", QStringLiteral("%1/output/%2/label").arg(d.base).arg(output)},
                {"command_topic", QStringLiteral("%1/output/%2/video/set").arg(d.base).arg(output)},
                {"options", QJsonArray::fromStringList(options)},
                {"device", device(d)}};
  availability(o, d);
  return compact(o);
}

QString ButtonConfigTopic(const Discovery& d, const QString& payload) {
  return QStringLiteral("%1/button/%2/group_%3/config").arg(d.prefix, d.nodeId, groupId(payload));
}

QByteArray ButtonConfig(const Discovery& d, const QString& payload) {
  QJsonObject o{{"name", payload},
                {"unique_id", QStringLiteral("%1_group_%2").arg(d.nodeId, groupId(payload))},
                {"command_topic", d.base + QStringLiteral("/group/execute")},
                {"payload_press", payload},
                {"device", device(d)}};
  availability(o, d);
  return compact(o);
}

QString SensorConfigTopic(const Discovery& d, int output) {
  return QStringLiteral("%1/sensor/%2/output_%3/config").arg(d.prefix, d.nodeId).arg(output);
}

QByteArray SensorConfig(const Discovery& d, int output, const QString& outputName) {
  QJsonObject o{{"name", outputName.isEmpty() ? QStringLiteral("Output %1").arg(output) : outputName},
                {"unique_id", QStringLiteral("%1_output_%2").arg(d.nodeId).arg(output)},
                {"state_topic", QStringLiteral("%1/output/%2/label").arg(d.base).arg(output)},
                {"device", device(d)}};
  availability(o, d);
  return compact(o);
}

}  // namespace mqtt
