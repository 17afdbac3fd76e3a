#pragma once
// The switcher as an Ember+ provider's tree, shared by every consumer; each consumer a plain id
// with a byte sink, so that it runs without a socket. The tree:
//   1       switcher  node: the model, online while the link is up
//   1.1     video     matrix oneToN, linear, outputs x inputs, labels at 1.3
//   1.2     audio     the same for the audio (breakaway) level
//   1.3     labels    1.3.1 targets (t0.. = output 1..), 1.3.2 sources (s0.. = input 1..): names
//   1.4     state     link, model, version (read only)
// Signals are zero-based: input n is source n-1, output n target n-1. Identifiers and numbers
// never change while it runs. The switcher is behind EmberHost. QtCore only.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "Glow.h"
#include "S101.h"

class QTimer;

namespace ember {

// A consumer heard from for this long is sent a keep-alive request (some consumers drop a
// connection that stays silent for 30 s).
constexpr std::chrono::milliseconds kKeepAliveQuiet{5000};
// A route the switcher has not reported by then is asked for; after as long again the requester
// is told the route as the switcher last reported it.
constexpr std::chrono::milliseconds kReportBound{300};
// Changes nobody waits for are told once no report came for kBurstQuiet (at most kBurstHold
// after the first): a status of every output reaches a consumer as one message a matrix.
constexpr std::chrono::milliseconds kBurstQuiet{5};
constexpr std::chrono::milliseconds kBurstHold{100};
constexpr int kLevels = 2;  // 0 video (matrix 1.1), 1 audio (matrix 1.2)
constexpr int kMaxOutputs = 256;
// A message asking more than this (requests, or connections in all) is no consumer's doing: it
// is refused whole, as a message that cannot be read is.
constexpr int kMaxRequestsPerMessage = 256;
constexpr int kMaxConnectionsPerMessage = kLevels * kMaxOutputs;
// Answers made for one consumer from what one read brought: past this the rest of its requests
// are not answered, so that no consumer holds up the others (the whole tree of a 999 by 256
// switcher is about 60 KiB).
constexpr int kMaxAnswerPerRead = 512 * 1024;
// Names.ini keeps names for numbers up to this: higher ones are shown read only.
constexpr int kMaxNamed = 256;

// The tree's paths.
namespace tree {
const glow::Path kSwitcher{1};
const glow::Path kVideo{1, 1};
const glow::Path kAudio{1, 2};
const glow::Path kLabels{1, 3};
const glow::Path kTargets{1, 3, 1};
const glow::Path kSources{1, 3, 2};
const glow::Path kState{1, 4};
const glow::Path kLink{1, 4, 1};
const glow::Path kModel{1, 4, 2};
const glow::Path kVersion{1, 4, 3};
}  // namespace tree

// The switcher seen from Ember+.
class EmberHost {
 public:
  enum class Sent { Accepted, Refused, Protected };
  virtual ~EmberHost() = default;
  // Consumers' routes may go (the link is up, the switcher identified and answering).
  virtual bool ready() const = 0;
  virtual bool online() const = 0;  // the link is up
  virtual QString model() const = 0;
  virtual QString version() const = 0;
  // "ready", "identifying", "down: no such device".
  virtual QString linkText() const = 0;
  virtual int inputs() const = 0;
  virtual int outputs() const = 0;
  // The input (1-based; 0 closed, -1 unknown) on the level of output 1..outputs().
  virtual int input(int level, int output) const = 0;
  // "Studio A", or the default "IN 1" / "OUT 1" when none is set.
  virtual QString name(bool input, int number) const = 0;
  // Empty when renamed (an empty name takes the default again), else why not.
  virtual QString rename(bool input, int number, const QString& name) = 0;
  // Sends `command` as the consumer's. Of an accepted command, dropped runs when it is dropped
  // before it went (the link closed), written once it went.
  virtual Sent send(const QByteArray& command, const QString& label, std::function<void()> dropped,
                    std::function<void()> written) = 0;
  // A client's command refused because this listener is read-only (counted in the metrics).
  virtual void refusedReadOnly() {}
};

struct Options {
  bool readOnly = false;
  std::chrono::milliseconds keepAliveQuiet = kKeepAliveQuiet;  // tests shorten it
};

class EmberProvider : public QObject {
  Q_OBJECT
 public:
  using ClientId = quint64;
  // False once the consumer was dropped (it reads too slowly): nothing more is made for it.
  using Sink = std::function<bool(const QByteArray&)>;

  EmberProvider(EmberHost& host, Options options, QObject* parent = nullptr);
  ~EmberProvider() override;

  void join(ClientId id, const QString& label, Sink sink);
  void leave(ClientId id);
  void bytesIn(ClientId id, const char* data, int size);
  int clientCount() const { return int(clients.size()); }
  // A route of the consumer's waits for the switcher's report.
  bool waiting(ClientId id) const;
  // Subscribed to the matrix of the level (tests).
  bool subscribed(ClientId id, int level) const;

  // The engine's events: the switcher reported an output (changed or not), the names changed,
  // the link or the identification changed (told on the next turn, once the engine settled:
  // a link that came up is not "ready" until its identification has begun and ended).
  void routeChanged(int output);
  void namesChanged();
  void deviceChanged();
  // Tells what routeChanged() gathered (tests call it to skip the wait).
  void flushRoutes();

 signals:
  // One line for the log: an unknown path, a refused request.
  void note(const QString& text);

 private:
  struct Client {
    QString label;
    Sink sink;
    s101::Decoder decoder;
    bool subscribed[kLevels] = {false, false};
    // Directories it asked for: changes below them are told to it.
    std::set<glow::Path> browsed;
    qint64 heard = 0;  // when it last sent anything
    qint64 asked = -1;  // our last keep-alive request
    std::set<QByteArray> noted;
    bool gone = false;  // dropped by its sink
    qint64 answered = 0;  // bytes made for it from the read being handled
  };
  // One connection request taken by the switcher's queue.
  struct Pending {
    ClientId client = 0;
    int level = 0, output = 0;
    int wanted = 0;  // the input asked for; 0 closes
    qint64 since = -1;  // when it went to the switcher; -1 while it waits in the queue
    bool asked = false;
  };
  // What a consumer is told of the tree besides the routes, as last told.
  struct Told {
    bool online = false;
    QString model, version, link;
    int inputs = -1, outputs = -1;
    std::vector<QString> names[2];  // [0] outputs, [1] inputs
  };

  void message(ClientId id, const QByteArray& glow);
  void request(ClientId id, const glow::Request& r);
  void directory(ClientId id, const glow::Request& r);
  void connectRequest(ClientId id, int level, const glow::Connection& c);
  void setValue(ClientId id, const glow::Request& r);

  // Elements.
  glow::Element switcherNode() const;
  glow::Element matrix(int level, bool withConnections) const;
  glow::Element labelParameter(bool input, int number) const;
  glow::Element stateParameter(const glow::Path& path) const;
  glow::Connection connection(int level, int output, int disposition) const;
  std::vector<glow::Element> children(const glow::Path& node) const;

  void send(ClientId id, const std::vector<glow::Element>& elements);
  // To every consumer that browsed `parent`.
  void toBrowsers(const glow::Path& parent, const std::vector<glow::Element>& elements);
  void tellRoutes(const std::set<int>& outputs);
  // A request on the output went to the switcher: its next report may answer it.
  bool awaited(int output) const;
  void checkPending();
  void tellDevice();
  void keepAlive();
  void noteOnce(ClientId id, const QString& text);
  QString labelOf(ClientId id) const;
  Told current() const;

  EmberHost& host;
  Options options;
  std::map<ClientId, Client> clients;
  // What every consumer was told of each target: [level][output-1]; -2 nothing yet.
  std::vector<int> told[kLevels];
  Told toldTree;
  std::map<quint64, Pending> pending;  // by request number
  quint64 nextRequest = 1;
  std::set<int> dirty;  // outputs reported and not yet told
  qint64 dirtySince = -1;
  QTimer* flushTimer;
  QTimer* pendingTimer;
  QTimer* keepAliveTimer;
  QTimer* deviceTimer;
  QElapsedTimer clock;
};

}  // namespace ember
