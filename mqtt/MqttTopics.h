#pragma once
// The bridge's topics and payloads as plain functions: what a command message asks for, the
// retained state's texts, the error message and Home Assistant's discovery configs. No
// broker, no network: the tests read them directly.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace mqtt {

// Longest command payload the bridge reads.
constexpr int kMaxPayload = 256;

struct Info {
  QString model, version, link;
  int inputs = 0, outputs = 0;
};

// One command message, read.
struct Command {
  enum class Kind { Route, Raw, Group, Protect, Invalid };
  Kind kind = Kind::Invalid;
  char signal = 'B';          // Route: 'V', 'A' or 'B'
  int output = 0, input = 0;  // Route; output also Protect
  bool protect = false;       // Protect: take it (ON) or end it (OFF)
  std::vector<QByteArray> commands;  // Route and Raw: the switcher's commands, framed
  QString group;              // Group
  QString reason;             // Invalid: why
};

// topic is the part after "PREFIX/ID/"; inputs/outputs bound the numbers.
Command ParseCommand(const QString& topic, const QByteArray& payload, int inputs, int outputs);

// The topics a bridge under base ("PREFIX/ID") subscribes to for commands.
QStringList CommandSubscriptions(const QString& base);
// Every retained topic a bridge under base ever publishes, its discovery configs included:
// subscribed to at connect to find what an earlier run left there.
QStringList StateSubscriptions(const QString& base, const QString& discoveryPrefix, const QString& nodeId);
// Whether a topic under base is one of the command topics (known or not), not state.
bool topicIsCommand(const QString& topic, const QString& base);

// What group/execute takes for each group: its name, told apart by " #N" (its place among
// the groups of that name) when another group has the same name; empty for a group whose
// name cannot be sent (blank, or over kMaxPayload bytes).
QStringList ButtonPayloads(const QStringList& groups);
// The group that payload names: the exact match, else the one whose text matches without
// blanks at the ends; -1 for none.
int GroupIndex(const QStringList& payloads, const QString& payload);

// An output's protect state: the holder's text, or this when it is free.
constexpr char kFree[] = "none";

// "M name" or "M"; "0 Off" for a closed signal.
QString Label(int input, const QString& inputName);
QByteArray InfoJson(const Info& info);
QByteArray GroupsJson(const QStringList& groups);
QByteArray ErrorJson(const QString& topic, const QByteArray& payload, const QString& reason);

// Home Assistant discovery.
struct Discovery {
  QString prefix;  // "homeassistant"
  QString base;    // "PREFIX/ID"
  QString nodeId;  // Settings::nodeId()
  Info info;
};
QString SelectConfigTopic(const Discovery& d, int output);
QByteArray SelectConfig(const Discovery& d, int output, const QString& outputName, const QStringList& options);
// payload: the group's entry of ButtonPayloads.
QString ButtonConfigTopic(const Discovery& d, const QString& payload);
QByteArray ButtonConfig(const Discovery& d, const QString& payload);
// A read-only console's output: state, no command.
QString SensorConfigTopic(const Discovery& d, int output);
QByteArray SensorConfig(const Discovery& d, int output, const QString& outputName);

}  // namespace mqtt
