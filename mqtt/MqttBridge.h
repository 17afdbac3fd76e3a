#pragma once
// The console as an MQTT client (libmosquitto, MQTT 5): the switcher's routing, names, groups
// and link as retained messages under PREFIX/ID/, and commands from the broker handed to the
// console (MqttHost) the way a gateway client's are. Everything runs on the thread that owns
// the bridge, on its event loop: the broker's socket under QSocketNotifiers, keep-alive on a
// timer. Only the connect call (name lookup, TCP connect) runs on a thread of its own, which
// the bridge never waits for: a call that hangs is left to finish (and free its handle) alone.
// The library is loaded when the first bridge starts. QtCore only.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
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

struct MosquittoApi;

// Retry delays after a failed or lost connection: 1, 2, 4 ... kMaxRetrySeconds; a refusal
// of the credentials or a TLS failure waits kMaxRetrySeconds at once.
constexpr int kFirstRetrySeconds = 1;
constexpr int kMaxRetrySeconds = 30;
constexpr int kKeepAliveSeconds = 30;
// The largest packet the broker may send the console (MQTT 5's maximum packet size): a bigger
// message is dropped at the broker and never read here.
constexpr int kMaxPacketBytes = 2 * 1024 * 1024;

// Protected: it would move an output another client protects.
enum class SendResult { Accepted, Busy, LinkClosed, Protected };

// Who holds an output's protect; both empty when it is free.
struct Protect {
  QString label;  // the holder's client label ("mqtt" for this bridge)
  QString shown;  // for people: "panel 10.0.0.5:40112"
};

// The console seen from the bridge.
class MqttHost {
 public:
  virtual ~MqttHost() = default;
  virtual bool linkUp() const = 0;
  // The link is up and no identification runs: commands may go out.
  virtual bool linkReady() const = 0;
  // One command for the switcher as a client's, shown as the label's in the send list;
  // onDropped runs when an accepted command is dropped before it goes out.
  virtual SendResult sendCommand(const QByteArray& command, const QString& label,
                                 std::function<void()> onDropped) = 0;
  // Whether count more commands of the label's would all be accepted now.
  virtual bool canSend(int count, const QString& label) const = 0;
  virtual routing::Route route(int output) const = 0;
  virtual QString name(names::Kind kind, int number) const = 0;
  // The code groups' names as the tree shows them, in its order.
  virtual QStringList groups() const = 0;
  // The codes of groups()[index], in the order the tree's Execute sends them.
  virtual std::vector<QByteArray> groupCodes(int index) const = 0;
  virtual Info info() const = 0;
  virtual Protect protect(int output) const = 0;
  // Takes (on) or ends the output's protect for the label: false when another holds it.
  virtual bool setProtect(int output, const QString& label, bool on) = 0;
  // A client's command refused because this listener is read-only (counted in the metrics).
  virtual void refusedReadOnly() {}
};

class MqttBridge : public QObject {
  Q_OBJECT
 public:
  enum class State { Off, Connecting, Connected, Waiting };

  MqttBridge(MqttHost& host, const Settings& settings, QObject* parent = nullptr);
  // Publishes "link down" and "offline" and disconnects (a bounded wait for the bytes to
  // leave); never waits for a connect call still running.
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
  // The output was protected, released or taken over.
  void protectChanged(int output) { routeChanged(output); }

  // Messages handed to the broker library since start (retained state, errors, discovery).
  quint64 publishCount() const { return published; }

 signals:
  void statusChanged(const QString& text);
  void connectedChanged(bool connected);

 private:
  struct ConnectJob;
  struct Incoming {
    QString topic;
    QByteArray payload;
    bool retained;
  };
  enum Dirty : unsigned { kLink = 1, kInfo = 2, kNames = 4, kGroups = 8, kDiscovery = 16, kAll = 31 };
  void connectNow();
  void connectDone(const std::shared_ptr<ConnectJob>& job, mosquitto* handle, int rc, int err, bool keyLocked);
  void lost(const QString& reason, bool slow);
  void teardown();
  void pump(int which);
  void updateWrite();
  void setStatus(const QString& text);
  void handle(const Incoming& m);
  void learned(const QString& topic);
  bool mayStay(const QString& topic) const;
  void refuseRetained(const Incoming& m);
  void send(const QString& topic, const QByteArray& payload, const std::vector<QByteArray>& commands);
  void fail(const QString& topic, const QByteArray& payload, const QString& reason);
  // Why this bridge may not move the output ("output 3 is protected by ..."); empty when it may.
  QString protectedBy(int output) const;
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
  const MosquittoApi* api = nullptr;
  QByteArray password;
  State st = State::Off;
  QString status;
  int delay = kFirstRetrySeconds;
  mosquitto* mosq = nullptr;
  std::shared_ptr<ConnectJob> connecting;  // the connect call running, if any
  QSocketNotifier* readNotifier = nullptr;
  QSocketNotifier* writeNotifier = nullptr;
  QTimer* miscTimer = nullptr;
  QTimer* retryTimer = nullptr;
  // What the library's callbacks saw, handled once the library call has returned.
  QString refusal;  // CONNACK refused
  bool justConnected = false;
  std::vector<Incoming> inbox;

  unsigned dirty = 0;
  std::vector<bool> dirtyOutputs;
  bool flushQueued = false;
  QHash<QString, QByteArray> sent;           // last payload per retained topic on this connection
  QHash<int, QSet<QString>> families;        // retained topics per family, across connections
  QSet<QByteArray> retainedRefused;          // retained commands answered once
  int lastOutputs = 0;
  quint64 published = 0;
};

}  // namespace mqtt
