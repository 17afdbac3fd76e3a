#pragma once
// What travels on the page's WebSocket, as plain functions: a page's request read and
// checked the way an MQTT command is (numbers in range, UTF-8, bounded size), and the JSON
// texts of the state the server sends. No sockets: the tests read them directly.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <vector>

#include "WebHost.h"

namespace web {

// Longest request a page sends; a longer one is answered with an error.
constexpr int kMaxRequestBytes = 4096;
// Longest name sent in a rename request, in UTF-16 units (the names' own rules come after).
constexpr int kMaxNameUnits = 256;

struct Request {
  enum class Op { Route, Close, Protect, Release, Preset, Rename, Save, Invalid };
  Op op = Op::Invalid;
  double id = 0;              // echoed in the answer so the page knows which request it was
  char signal = 'B';          // Route: 'B' (AV), 'V' or 'A'
  int input = 0;              // Route: 0 closes the signal
  std::vector<int> outputs;   // Route, Close, Protect, Release: distinct, 1..outputs
  QString preset;             // Preset: an id from WebHost::presets()
  names::Kind kind = names::Kind::Input;  // Rename
  int number = 0;
  QString name;
  QString reason;             // Invalid: why
  // Route and Close: the switcher's commands, each at most routing::kMaxCommandBytes.
  std::vector<QByteArray> commands() const;
};

// A text message of a page; inputs/outputs bound the numbers.
Request ParseRequest(const QByteArray& utf8, int inputs, int outputs);

// The sizes the page is drawn at: the identification's, else 256 outputs and 256 inputs.
int InputCount(const Device& d);
int OutputCount(const Device& d);

QJsonObject LinkJson(const Link& link);
QJsonObject DeviceJson(const Device& device);
// [video, audio], null for a signal not reported yet.
QJsonValue RouteJson(const routing::Route& route);
QJsonObject NamesJson(const WebHost& host);
QJsonValue PresetsJson(const WebHost& host);
// [output, shown, label] of every protected output of the page's size.
QJsonArray ProtectsJson(const WebHost& host);
// [output, shown, label], or [output, null, null] when it is free.
QJsonArray ProtectJson(const WebHost& host, int output);
// {"type":"error","id":ID,"reason":...}
QByteArray ErrorMessage(double id, const QString& reason);
QByteArray DoneMessage(double id);

}  // namespace web
