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
  enum class Kind { Route, Raw, Group, Invalid };
  Kind kind = Kind::Invalid;
  char signal = 'B';          // Route: 'V', 'A' or 'B'
  int output = 0, input = 0;  // Route
  std::vector<QByteArray> commands;  // Route and Raw: the switcher's commands, framed
  QString group;              // Group
  QString reason;             // Invalid: why
};

// topic is the part after "PREFIX/ID/"; inputs/outputs bound the numbers.
Command ParseCommand(const QString& topic, const QByteArray& payload, int inputs, int outputs);

// The topics a bridge under base ("PREFIX/ID") subscribes to for commands.
QStringList CommandSubscriptions(const QString& base);

// "M name" or "M"; "0 Off" for a closed signal.
QString Label(int input, const QString& inputName);
QByteArray InfoJson(const Info& info);
QByteArray GroupsJson(const QStringList& groups);
QByteArray ErrorJson(const QString& topic, const QByteArray& payload, const QString& reason);

// Home Assistant discovery.
struct Discovery {
  QString prefix;  // "homeassistant"
  QString base;    // "PREFIX/ID"
  QString nodeId;  // "PREFIX_ID"
  Info info;
};
QString SelectConfigTopic(const Discovery& d, int output);
QByteArray SelectConfig(const Discovery& d, int output, const QString& outputName, const QStringList& options);
QString ButtonConfigTopic(const Discovery& d, const QString& group);
QByteArray ButtonConfig(const Discovery& d, const QString& group);

}  // namespace mqtt
