#pragma once
// The console as an MQTT client (libmosquitto): the switcher's routing, names, groups and link
// as retained messages under PREFIX/ID/, and commands from the broker handed to the console
// (MqttHost) the way a gateway client's are. Everything runs on the thread that owns the
// bridge, on its event loop: the broker's socket under QSocketNotifiers, keep-alive on a timer.
// Only the connect call (name lookup, TCP connect) runs on a short-lived thread, and the
// handle goes back to the event loop before anything else touches it. QtCore only.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <thread>
#include <vector>

#include "MqttSettings.h"
#include "MqttTopics.h"
#include "Names.h"
#include "RoutingTable.h"

class QSocketNotifier;
class QTimer;
struct mosquitto;
struct mosquitto_message;

namespace mqtt {

// Retry delays after a failed or lost connection: 1, 2, 4 ... kMaxRetrySeconds; a refusal
// of the credentials or a TLS failure waits kMaxRetrySeconds at once.
constexpr int kFirstRetrySeconds = 1;
constexpr int kMaxRetrySeconds = 30;
constexpr int kKeepAliveSeconds = 30;

enum class SendResult { Accepted, Busy, LinkClosed, UnknownGroup };

// The console seen from the bridge.
class MqttHost {
 public:
  virtual ~MqttHost() = default;
  virtual bool linkUp() const = 0;
  // The link is up and no identification runs: commands may go out.
  virtual bool linkReady() const = 0;
  // One complete command for the switcher, shown as the label's in the send list;
  // onDropped runs when an accepted command is dropped before it goes out.
  virtual SendResult sendCommand(const QByteArray& command, const QString& label,
                                 std::function<void()> onDropped) = 0;
  // The root's group of that name, executed as the tree's Execute runs it.
  virtual SendResult executeGroup(const QString& name) = 0;
  virtual routing::Route route(int output) const = 0;
  virtual QString name(names::Kind kind, int number) const = 0;
  virtual QStringList groups() const = 0;
  virtual Info info() const = 0;
};

class MqttBridge : public QObject {
  Q_OBJECT
 public:
  enum class State { Off, Connecting, Connected, Waiting };

  MqttBridge(MqttHost& host, const Settings& settings, QObject* parent = nullptr);
  // Publishes "offline" and disconnects (a bounded wait for the bytes to leave).
  ~MqttBridge() override;

  void start();
  State state() const { return st; }
  const Settings& settings() const { return cfg; }
  // The System memo's line.
  QString statusText() const { return status; }
  // Seconds until the next try while Waiting.
  int retryDelay() const { return delay; }

  // The host's news: published with the other changes of this event-loop turn.
  void routeChanged(int output);
  void namesChanged();
  void groupsChanged();
  void infoChanged();
  void linkChanged();

  // Messages handed to the broker library since start (retained state, errors, discovery).
  quint64 publishCount() const { return published; }

 signals:
  void statusChanged(const QString& text);
  void connectedChanged(bool connected);

 private:
  enum Dirty : unsigned { kLink = 1, kInfo = 2, kNames = 4, kGroups = 8, kDiscovery = 16, kAll = 31 };
  void connectNow();
  void connectDone(int rc, int err);
  void lost(const QString& reason, bool slow);
  void teardown();
  void pump(int which);
  void updateWrite();
  void setStatus(const QString& text);
  void onConnect(int rc);
  void handle(const QString& topic, const QByteArray& payload);
  void fail(const QString& topic, const QByteArray& payload, const QString& reason);
  void mark(unsigned what);
  void flush();
  void publishAll();
  void publishOutput(int output);
  void publishRetained(const QString& topic, const QByteArray& payload);
  void syncFamily(int family, const QHash<QString, QByteArray>& desired);
  int inputCount() const;
  int outputCount() const;
  Discovery discovery() const;

  static void connectCallback(mosquitto*, void* self, int rc);
  static void messageCallback(mosquitto*, void* self, const mosquitto_message* m);

  MqttHost& host;
  Settings cfg;
  QByteArray password;
  State st = State::Off;
  QString status;
  int delay = kFirstRetrySeconds;
  mosquitto* mosq = nullptr;
  std::thread connecting;
  QSocketNotifier* readNotifier = nullptr;
  QSocketNotifier* writeNotifier = nullptr;
  QTimer* miscTimer = nullptr;
  QTimer* retryTimer = nullptr;
  // What the library's callbacks saw, handled once the library call has returned.
  QString refusal;  // CONNACK refused
  bool justConnected = false;
  std::vector<std::pair<QString, QByteArray>> inbox;

  unsigned dirty = 0;
  std::vector<bool> dirtyOutputs;
  bool flushQueued = false;
  QHash<QString, QByteArray> sent;           // last payload per retained topic on this connection
  QHash<int, QSet<QString>> families;        // retained topics per family, across connections
  int lastOutputs = 0;
  quint64 published = 0;
};

}  // namespace mqtt
