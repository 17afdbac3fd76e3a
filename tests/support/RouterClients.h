#pragma once
// Clients of every front end the engine serves, each keeping the routing and the names as it
// is told them: a gateway client (the switcher's own language), a router panel (the Videohub
// protocol), an MQTT client, a web page's WebSocket and an SW-P-08 control system. Tests compare what each was told with
// the truth (the simulator's routing, the names last accepted) and count what was refused.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QWebSocket>

#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "Swp08Frame.h"

struct mosquitto;
struct mosquitto_message;

namespace support {

constexpr int kUnknown = -1;

struct Route {
  int video = kUnknown;
  int audio = kUnknown;
  bool operator==(const Route& o) const { return video == o.video && audio == o.audio; }
};

// What a client has been told. Names: empty for none ("Input 3" reads as none).
struct View {
  std::map<int, Route> routes;  // output -> route; missing: never told
  std::map<int, QString> inputNames;
  std::map<int, QString> outputNames;
};

struct Truth {
  int inputs = 0;
  int outputs = 0;
  std::map<int, Route> routes;
  std::map<int, QString> inputNames;
  std::map<int, QString> outputNames;
};

// "Input 3" for input 3 is the default, which is no name.
QString NameOrNone(const QString& name, const char* kind, int number);

// The differences between a view and the truth, at most `limit` lines ("out 3 video 5, want 7").
// videoOnly: the client is told video alone; names: the client is told names.
QStringList Differences(const View& view, const Truth& truth, bool videoOnly, bool names, int limit = 4);

struct Counts {
  int sent = 0;
  int refused = 0;
};

// Renames acknowledged by a client: kind "input"/"output", number, name.
using RenameDone = std::function<void(const QString& kind, int number, const QString& name)>;

class GatewayClient : public QObject {
  Q_OBJECT
 public:
  explicit GatewayClient(QObject* parent = nullptr);
  void open(quint16 port);
  bool isOpen() const { return socket.state() == QAbstractSocket::ConnectedState; }
  void send(const QByteArray& command);
  void close() { socket.abort(); }
  View view;
  Counts counts;
  QList<QByteArray> lines;  // the last lines heard, for messages (bounded)
  int reportsHeard = 0;

 private:
  void read();
  QTcpSocket socket;
  QByteArray pending;
};

class PanelClient : public QObject {
  Q_OBJECT
 public:
  explicit PanelClient(QObject* parent = nullptr);
  void open(quint16 port);
  bool isOpen() const { return socket.state() == QAbstractSocket::ConnectedState; }
  bool present() const { return devicePresent; }
  // Route input to output (1-based) as a panel does.
  void route(int input, int output);
  void rename(const QString& kind, int number, const QString& name);
  View view;
  Counts counts;
  RenameDone renamed;
  std::map<int, char> locks;  // output -> 'O' its own, 'L' another's, 'U' free, as last told

 private:
  void read();
  void block(const QList<QByteArray>& lines);
  QTcpSocket socket;
  QByteArray pending;
  QList<QByteArray> current;
  bool devicePresent = false;
  struct Asked {
    QString kind;  // empty: a route
    int number = 0;
    QString name;
  };
  std::deque<Asked> asked;
};

// Runs libmosquitto's own network thread; the view is read under the lock.
class MqttClient {
 public:
  MqttClient(QString base, QByteArray id);
  ~MqttClient();
  bool open(quint16 port);
  bool ready() const;
  void publish(const QString& topicUnderBase, const QByteArray& payload);
  View snapshot() const;
  Counts counts() const;
  QString link() const;

 private:
  static void onMessage(mosquitto*, void* self, const mosquitto_message* m);
  static void onConnect(mosquitto*, void* self, int rc);
  const QString base;
  mosquitto* m = nullptr;
  mutable std::mutex lock;
  View state;
  Counts tally;
  QString linkWord;
  bool subscribed = false;
};

class PageClient : public QObject {
  Q_OBJECT
 public:
  explicit PageClient(QObject* parent = nullptr);
  // Opens ws://127.0.0.1:port/ws with the page's own Origin.
  void open(quint16 port);
  void close() { ws.close(); }
  bool hasState() const { return gotState; }
  bool isOpen() const { return ws.state() == QAbstractSocket::ConnectedState; }
  void route(int input, int output, char signal);
  void rename(const QString& kind, int number, const QString& name);
  View view;
  Counts counts;
  QString link;
  RenameDone renamed;
  int messages = 0;

 signals:
  void stateReceived();

 private:
  void message(const QString& text);
  void sendJson(const QByteArray& json);
  QWebSocket ws;
  bool gotState = false;
  double nextId = 1;
  struct Asked {
    QString kind;
    int number = 0;
    QString name;
  };
  std::map<double, Asked> asked;
};

// An SW-P-08 control system: the general messages, or the extended ones (extended). It ACKs
// every well-framed message and NAKs a bad one, and keeps what it is told of routes (tallies,
// connected and dumps; a bad source or no source reads as closed, 0) and of protects.
class Swp08Client : public QObject {
  Q_OBJECT
 public:
  explicit Swp08Client(bool extended, int matrix = 0, QObject* parent = nullptr);
  void open(quint16 port);
  bool isOpen() const { return socket.state() == QAbstractSocket::ConnectedState; }
  void close() { socket.abort(); }
  // Level 0 video, 1 audio; input and output 1-based as everywhere in these clients.
  void route(int level, int input, int output);
  void askDump(int level);
  // Protect connect (take) or disconnect of output 1.. with this client's device number.
  void protect(int output, bool take);
  void sendData(const QByteArray& data);  // DATA: framed and sent
  const bool extended;
  const int matrix;
  int device = 1;
  View view;
  Counts counts;      // refused: a protect tally heard for a route it asked
  // Output -> the device holding its protect as last told (level 0's word); missing: free.
  std::map<int, int> protects;
  std::map<int, int> protectStates;  // output -> the state last told (1 another front end, 3 a device)
  int acks = 0, naks = 0, messages = 0;
  QList<QByteArray> heard;  // every message's DATA (bounded)

 signals:
  void connected();
  void message(const QByteArray& data);

 private:
  void read();
  void take(const QByteArray& data);
  void decode(const QByteArray& data);
  QTcpSocket socket;
  swp08::Deframer deframer;
};

}  // namespace support
