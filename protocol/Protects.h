#pragma once
// Protected outputs (the engine holds the one table): who holds each, for every front end at once. A router panel's lock, an
// SW-P-08 controller's protect, a web page's or MQTT's protect are the same entry here, so an
// output protected from one is protected from all. A protect ends when its holder releases it,
// when someone forces it off, or when its holder goes (forget()); a lost link keeps it.
// The console's own operator is not bound by it, only shown it. QtCore only.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <map>
#include <vector>

namespace routing {

struct ProtectHolder {
  QString label;  // the client's label, as the queue knows it ("10.0.0.5:40112", "mqtt")
  QString shown;  // for people: "SW-P-08 10.0.0.5:40112 (device 3)"
  int device = -1;  // the SW-P-08 device number it gave; -1 for other front ends
};

// Which outputs a command to the switcher may change: its list, or every output.
struct CommandMoves {
  bool all = false;
  std::vector<int> outputs;  // 1-based
};
// A route, a close or a through list names its outputs; a status, save or system command
// moves none; anything else (an input to all, all through, all closed, a recall, an undo, or
// a form not known here) may move every output.
CommandMoves MovesOf(const QByteArray& command);

class Protects : public QObject {
  Q_OBJECT
 public:
  explicit Protects(QObject* parent = nullptr);

  // The holder of output 1..256, or null when it is free.
  const ProtectHolder* holder(int output) const;
  // Free, or held by this label.
  bool mayRoute(int output, const QString& label) const;
  // False when the command would move an output someone else holds.
  bool mayRun(const QByteArray& command, const QString& label) const;
  // Takes the output for by. False when another holds it (unless force) or the output is out
  // of range; taking one's own again is true and changes nothing.
  bool protect(int output, const ProtectHolder& by, bool force = false);
  // Ends the protect. False when another holds it (unless force); a free output is true.
  bool release(int output, const QString& label, bool force = false);
  // The holder is gone: every protect it held ends. Returns how many.
  int forget(const QString& label);
  // Every protected output (1-based) and its holder.
  const std::map<int, ProtectHolder>& all() const { return held; }

 signals:
  // The output was protected, released or taken over.
  void changed(int output);

 private:
  std::map<int, ProtectHolder> held;
};

}  // namespace routing
