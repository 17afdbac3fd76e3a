#pragma once
// SW-P-08 for control systems over the switcher: one Swp08Protocol shared by every client,
// each client a plain id with a byte sink, so that it runs without a socket (TCP clients and a
// serial line look the same to it). Every well-framed message is acknowledged at once and
// then answered; what goes to a client goes one message at a time, each sent again after
// kAckWait without an acknowledge (kTries in all). The switcher is behind Swp08Host.
// Numbers on the wire are zero-based: input n is source n-1, output n destination n-1.
// QtCore only.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "Swp08Frame.h"
#include "Swp08Messages.h"

class QTimer;

namespace swp08 {

constexpr std::chrono::milliseconds kAckWait{1000};
constexpr int kTries = 5;  // the first send and four more
// A client this far behind (messages waiting for its acknowledges) reads too slowly: dropped.
constexpr int kMaxWaiting = 4096;
// A route the switcher has not reported by then is asked for; after as long again the
// requester is told the route as the switcher last reported it.
constexpr std::chrono::milliseconds kReportBound{300};
// Changes no client waits for are told once no report came for kBurstQuiet (at most kBurstHold
// after the first), so that a burst (a status of every output) is read before every client is
// told of it. A route a client asked for is told as soon as it is reported.
constexpr std::chrono::milliseconds kBurstQuiet{5};
constexpr std::chrono::milliseconds kBurstHold{100};
constexpr int kLevels = 2;  // 0 video, 1 audio
// The most outputs a switcher has here (the console's grid).
constexpr int kMaxOutputs = 256;

// What a client may see of a protect.
struct ProtectView {
  bool held = false;
  bool mine = false;  // held by this client
  Protect wire;       // as SW-P-08 tells it: the state and the holder's device number
};

// The switcher seen from SW-P-08.
class Swp08Host {
 public:
  virtual ~Swp08Host() = default;
  // Clients' routes may go (the link is up, the switcher identified and answering).
  virtual bool ready() const = 0;
  virtual int inputs() const = 0;
  virtual int outputs() const = 0;
  // The input (1-based; 0 closed, -1 unknown) on the level of output 1..outputs().
  virtual int input(int level, int output) const = 0;
  // "Studio A", or the default "IN 1" / "OUT 1" when none is set.
  virtual QString name(bool input, int number) const = 0;
  // Sends `command` as the client's; false when refused now. Of an accepted command, dropped
  // runs when it is dropped before it went (the link closed), written once it went.
  virtual bool send(const QByteArray& command, const QString& label, std::function<void()> dropped,
                    std::function<void()> written) = 0;
  virtual ProtectView protect(int output, const QString& label) const = 0;
  // Takes (take) or releases the client's protect of output 1..; force takes over or releases
  // another's. False when refused.
  virtual bool setProtect(int output, const QString& label, int device, bool take, bool force) = 0;
  virtual void forgetProtects(const QString& label) = 0;
  // The name of a protect's device number, for control systems that show it (8 characters).
  virtual QString deviceName(int device) const = 0;
  // A client's command refused because this listener is read-only (counted in the metrics).
  virtual void refusedReadOnly() {}
};

struct Options {
  int matrix = 0;
  bool readOnly = false;
};

class Swp08Protocol : public QObject {
  Q_OBJECT
 public:
  using ClientId = quint64;
  using Sink = std::function<void(const QByteArray&)>;
  // Closes the client (it reads too slowly).
  using Closer = std::function<void()>;

  Swp08Protocol(Swp08Host& host, Options options, QObject* parent = nullptr);
  ~Swp08Protocol() override;

  void join(ClientId id, const QString& label, Sink sink, Closer close = {});
  void leave(ClientId id);
  void bytesIn(ClientId id, const char* data, int size);
  int clientCount() const { return int(clients.size()); }
  // A route of the client's waits for the switcher's report, or messages for its acknowledges.
  bool waiting(ClientId id) const;

  // The engine's events: the switcher reported an output (changed or not), an output's
  // protect changed, the names changed.
  void routeChanged(int output);
  void protectChanged(int output);
  // Tells what routeChanged() gathered (tests call it to skip the wait).
  void flushRoutes();

 signals:
  // One line for the log: a request for another matrix, an unknown command.
  void note(const QString& text);

 private:
  struct Out {
    QByteArray frame;
    QByteArray key;  // a tally or connected for one destination: a newer one replaces it
  };
  struct Client {
    QString label;
    Sink sink;
    Closer close;
    Deframer deframer;
    bool extended = false;  // it spoke an extended message: changes go to it so
    std::deque<Out> queue;  // the first is on the wire when awaitingAck
    // Broadcasts waiting (not on the wire) by key: a newer one takes the place of the older.
    std::map<QByteArray, Out*> waitingByKey;
    bool awaitingAck = false;
    int tries = 0;
    QElapsedTimer sentAt;
    std::set<QByteArray> noted;  // log lines said once per client
  };
  struct Pending {
    ClientId client = 0;
    int input = 0;  // 1-based
    qint64 since = -1;  // when it went to the switcher; -1 while it waits in the queue
    bool asked = false;
  };

  void message(ClientId id, Client& c, const QByteArray& data);
  void interrogate(ClientId id, const Request& r);
  void route(ClientId id, const Request& r);
  void tallyDump(ClientId id, const Request& r);
  void names(ClientId id, const Request& r, bool inputs);
  void protectRequest(ClientId id, const Request& r);
  void deviceName(ClientId id, const Request& r);
  void protectDump(ClientId id, const Request& r);
  // The tally the switcher last reported for the destination, to one client.
  void tellTally(ClientId id, bool extended, int level, int destination);
  void tellProtect(ClientId id, bool extended, int level, int destination);
  // Each level of the output whose route changed, or that a connect waits for, to every client.
  void tellRoute(int output);
  // A client's connect of (level, output) went to the switcher: its next report answers it.
  bool answered(std::pair<int, int> key) const;
  bool ours(ClientId id, const Request& r);
  void noteOnce(ClientId id, const QString& text);
  QString labelOf(ClientId id) const;

  void queue(ClientId id, const QByteArray& data) { queueFrame(id, Frame(data), {}); }
  void queueFrame(ClientId id, const QByteArray& frame, const QByteArray& key);
  void pump(ClientId id);
  void acked(ClientId id, bool ok);
  void tick();
  void checkPending();
  void toAll(const std::function<QByteArray(bool extended)>& data, const QByteArray& key);

  Swp08Host& host;
  Options options;
  std::map<ClientId, Client> clients;
  // What every client was told of each destination: [level][output-1]; -2 nothing yet.
  std::vector<int> told[kLevels];
  std::map<std::pair<int, int>, Pending> pending;  // (level, output 1-based)
  std::set<int> dirty;  // outputs reported and not yet told
  qint64 dirtySince = -1;
  QTimer* flushTimer;
  QTimer* resendTimer;
  QTimer* pendingTimer;
  QElapsedTimer clock;
};

}  // namespace swp08
