#pragma once
// An Ember+ consumer for tests and benchmarks: the requests encoded as node-emberplus encodes
// them, and what a provider sends read from Glow's own layouts (not with the provider's
// builders, so that a wrong builder shows as a wrong view). The switcher's tree: matrices 1.1
// (video) and 1.2 (audio), labels 1.3.1.n (output n+1) and 1.3.2.n (input n+1), zero-based.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>

#include <map>
#include <vector>

#include "Glow.h"
#include "RouterClients.h"
#include "S101.h"

namespace support {

namespace emberreq {
using ember::glow::Path;
enum class On { Root, Node, Matrix };
// Whole Glow messages (frame them with ember::s101::EncodeMessage).
QByteArray GetDirectory(On on, const Path& path);  // dirFieldMask all
QByteArray Subscribe(const Path& matrix);
// One connection: operation absolute/connect with sources, or disconnect.
QByteArray Connect(const Path& matrix, int target, const std::vector<int>& sources, int operation);
QByteArray SetString(const Path& parameter, const QString& value);
}  // namespace emberreq

// What a consumer has been told; no socket. Numbers are zero-based as on the wire.
class EmberState {
 public:
  struct Node {
    QString identifier, description;
    int isOnline = -1;  // -1 never told
  };
  struct Parameter {
    QString identifier;
    QString value;  // strings as they are, integers and booleans as text
  };
  struct Matrix {
    QString identifier;
    int targetCount = -1, sourceCount = -1;  // -1 until its contents came
    std::map<int, std::vector<int>> connections;  // target -> sources as last told
    std::vector<ember::glow::Path> labelBasePaths;
  };
  struct Told {  // one connection in the message last taken
    ember::glow::Path matrix;
    ember::glow::Connection connection;
  };

  // One Glow message; false (and counted) when it is no well-formed Root. What was read before
  // the fault is kept.
  bool take(const QByteArray& glow);

  std::map<ember::glow::Path, Node> nodes;
  std::map<ember::glow::Path, Parameter> parameters;
  std::map<ember::glow::Path, Matrix> matrices;
  std::vector<Told> lastConnections;
  std::vector<ember::glow::Path> lastParameters;  // paths whose value the last message told
  int messages = 0;
  int malformed = 0;

  // output n+1 <- target n of 1.1 (video) and 1.2 (audio); no source reads as 0 (closed);
  // labels named "IN n" / "OUT n" (the defaults) read as none.
  View view() const;
  // Targets of a matrix whose connection was told; labels told under 1.3.1 or 1.3.2.
  int targetsTold(int matrix) const;
  int labelsTold(bool inputs) const;
};

class EmberClient : public QObject {
  Q_OBJECT
 public:
  explicit EmberClient(QObject* parent = nullptr);
  void open(quint16 port);
  bool isOpen() const { return socket.state() == QAbstractSocket::ConnectedState; }
  void close() { socket.abort(); }
  void send(const QByteArray& glow);  // one Glow message, framed
  // The tree a control system reads at start: root, node 1, both matrices (which subscribes to
  // them), both label nodes and the state node; with subscribe, a subscribe to each matrix too.
  void browse(bool subscribe = false);
  // Level 0 video (1.1), 1 audio (1.2); input and output 1-based as in the other clients, input
  // 0 closes (a disconnect).
  void route(int level, int input, int output);
  // kind "input" / "output", number 1-based: a SetValue on the label parameter.
  void rename(const QString& kind, int number, const QString& name);

  EmberState state;
  Counts counts;  // refused: a connection answered locked
  RenameDone renamed;
  int keepAliveRequests = 0;
  int badFrames() const { return decoder.badFrames(); }

 signals:
  void connected();
  void message();

 private:
  void read();
  QTcpSocket socket;
  ember::s101::Decoder decoder;
  std::map<ember::glow::Path, QString> asked;  // label path -> the name a SetValue asked for
};

}  // namespace support
