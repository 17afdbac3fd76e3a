#pragma once
// The router panel protocol (the Videohub Ethernet protocol that panels, Companion pages and
// show-control systems speak) over the console's routing table and names: what each client is
// told on connect, how its blocks are answered, and which changes go to every client. Clients
// are plain ids with a byte sink, so the protocol runs without a socket; the console is behind
// PanelHost. QtCore only.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <map>
#include <vector>

#include "Names.h"
#include "PanelBlockParser.h"
#include "RoutingTable.h"

class QTimer;

namespace gateway {

constexpr char kPanelProtocolVersion[] = "2.8";
// Route commands are cut to the console's command size.
constexpr int kPanelMaxCommand = 64;
// A route request the switcher has not reported by then is asked for ("Statusn."); after as
// long again the panels are told the table's route, whatever it is.
constexpr int kPanelReportBoundMs = 300;
// An output whose route is closed (" A/V : 000 > 003") is reported as routed from this input
// index, which no switcher has (route reports carry three digits): the protocol has no word
// for "nothing", and every panel then shows the same (no input of its list).
constexpr int kPanelClosedIndex = routing::kMaxInput;
// Labels from panels are written to the names file at once when none was written for this
// long, else once when it has passed: a flood of label blocks costs one write per period.
constexpr int kPanelNamesSaveMs = 100;

struct PanelDevice {
  bool present = false;  // the link is up and the switcher identified
  QString model;         // the identification's type reply
  QString friendlyName;
  QString uniqueId;      // 12 hex digits
  int inputs = 0;        // ports shown to panels (outputs at most routing::kOutputs)
  int outputs = 0;
};

// The console seen from the panel protocol.
class PanelHost {
 public:
  virtual ~PanelHost() = default;
  virtual PanelDevice device() const = 0;
  // Output 1..routing::kOutputs as the switcher last reported it.
  virtual routing::Route route(int output) const = 0;
  virtual const names::Names& names() const = 0;
  // Writes the names (Names.ini) and shows them; false when they could not be written.
  virtual bool setNames(const names::Names& next) = 0;
  // Whether count more commands of this client would be taken now (the link is ready and its
  // quota has room): a route block is sent whole or not at all.
  virtual bool canSend(int count, const QString& clientLabel) const = 0;
  // One complete command for the switcher on behalf of the client; false when it cannot go.
  // done (when given) is called once: true when the command was written to the switcher
  // (maybe before send returns), false when it was dropped before it went.
  virtual bool send(const QByteArray& command, const QString& clientLabel,
                    std::function<void(bool written)> done) = 0;
  // Output 1.. as this client sees its protect: 'U' free, 'O' its own, 'L' another's (any
  // front end's: panels share one table of protects with every protocol).
  virtual char lockState(int output, const QString& clientLabel) const = 0;
  // 'O' takes the output, 'U' releases the client's own, 'F' releases anyone's; false when
  // another holds it (and it is not 'F').
  virtual bool setLock(int output, const QString& clientLabel, char what) = 0;
  // The client is gone: its protects end.
  virtual void forgetLocks(const QString& clientLabel) = 0;
  // A client's command refused because this listener is read-only (counted in the metrics).
  virtual void refusedReadOnly() {}
};

struct PanelOptions {
  char signal = 'B';  // 'B' a route moves video and audio, 'V' video only
  bool readOnly = false;
};

// "ABCDEF012345": the same 12 upper-case hex digits for the same machine id and folder, so
// that two installs in the same folder on different machines differ.
QString PanelUniqueId(const QString& folder, const QByteArray& machineId);
// This machine's id (/etc/machine-id, else D-Bus's copy); empty when there is none.
QByteArray MachineId();

class PanelProtocol : public QObject {
  Q_OBJECT
 public:
  using ClientId = quint64;
  // Hands bytes to one client; the client may be dropped on the way (then leave() follows,
  // at once or later).
  using Sink = std::function<void(const QByteArray&)>;

  PanelProtocol(PanelHost& host, PanelOptions options, QObject* parent = nullptr);
  ~PanelProtocol() override;

  // A client connected: it is sent the prelude.
  void join(ClientId id, const QString& label, Sink sink);
  // A client is gone: its locks end (the others are told on the next turn). Locks end only
  // so, by their owner's release or by a force: never by the link or the identification.
  void leave(ClientId id);
  // One block of a client, answered at once.
  void block(ClientId id, const PanelBlock& block);
  int clientCount() const { return int(clients.size()); }
  // Whether this client is still owed something: a route request of its own that waits for
  // the switcher's report, or changes queued for every client (a report that just came).
  bool waiting(ClientId id) const;

  // The console's events: a route report changed an output; the names changed; the link or
  // the identification changed (device() tells what holds now).
  void routeChanged(int output);
  void namesChanged();
  void deviceChanged();
  // The output (1-based) was protected or released, by a panel or any other front end.
  void lockChanged(int output);

  // The blocks of the prelude (exposed for the benchmark and tests).
  QByteArray prelude(ClientId id) const;

 private:
  struct Client {
    QString label;
    Sink sink;
  };
  struct Pending {
    int input = 0;  // 1-based
    ClientId client = 0;
    qint64 since = -1;  // when its command was written to the switcher; -1 while it waits
    bool asked = false;
    quint64 command = 0;  // the command that carries it
  };

  QByteArray answer(ClientId id, const PanelBlock& b);
  QByteArray routeRequest(ClientId id, const PanelBlock& b);
  QByteArray labelRequest(names::Kind kind, const PanelBlock& b);
  QByteArray lockRequest(ClientId id, const PanelBlock& b);
  QByteArray configurationRequest(const PanelBlock& b) const;
  void commandDone(quint64 command, bool written);
  void saveHeldNames();

  QByteArray deviceBlock() const;
  QByteArray labelsBlock(names::Kind kind, const std::vector<int>* only) const;
  QByteArray locksBlock(ClientId id, const std::vector<int>* only) const;
  QByteArray routingBlock(const std::vector<int>* only) const;
  QString label(names::Kind kind, int number) const;
  // host.device() as panels may see it: counts in range, none while absent.
  PanelDevice current() const;

  void write(ClientId id, const QByteArray& bytes);
  void toAll(const QByteArray& bytes);
  void queueFlush();
  void flush();
  void checkPending();
  void remember();

  PanelHost& host;
  PanelOptions options;
  std::map<ClientId, Client> clients;
  // What the clients were last told, so that only changes go out.
  PanelDevice told;
  QStringList toldInputs;
  QStringList toldOutputs;

  QSet<int> routesDirty;  // 0-based outputs
  QSet<int> locksDirty;
  bool labelsDirty = false;
  bool deviceDirty = false;
  bool flushQueued = false;

  std::map<int, Pending> pending;  // 0-based output
  quint64 lastCommand = 0;
  QTimer* pendingTimer;
  // Labels taken from panels and not yet written: (kind, number) -> name; empty removes.
  std::map<std::pair<int, int>, QString> heldNames;
  QTimer* namesTimer;  // runs while a write was made less than kPanelNamesSaveMs ago
  QElapsedTimer clock;
};

}  // namespace gateway
