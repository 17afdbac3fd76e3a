#pragma once
// The switcher, held without widgets: its link and the link's state, the identification
// (type, version, size), the routing table, the names, the send queue with the clients'
// bounds, the presets, and the services that share the switcher (gateway, router panels,
// MQTT). Front ends (the console's window, switcher-bridge) present it; nothing here waits
// for anyone: faults and changes are signals.
//
// Two ways to hold the link. The bridge gives the engine a link of its own (SerialLink,
// TcpLink) and the engine does the rest: it identifies the switcher whenever the link comes
// up and feeds the routing table from every line. The console's window keeps its own link,
// as its handlers have always done, hands the engine a SwitcherLink over it for clients'
// writes, and reports its identification and route lines through the hooks below.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

#include "CommandQueue.h"
#include "EngineCounts.h"
#include "LinkState.h"
#include "Names.h"
#include "Presets.h"
#include "Protects.h"

class QTimer;

#include <chrono>

namespace routing {
class RoutingTable;
struct Snapshot;
}

namespace engine {

class SwitcherLink;
class Services;

// How long a client's routing capture waits for every output's report.
constexpr std::chrono::milliseconds kCaptureBound{3000};

// What the engine needs to know when it takes its link.
enum class LinkOwner {
  Engine,    // identify on every open, lines feed the routing table
  FrontEnd,  // the front end identifies and feeds the table (the console's window)
};

class SwitcherEngine : public QObject {
  Q_OBJECT
 public:
  explicit SwitcherEngine(QObject* parent = nullptr);
  ~SwitcherEngine() override;

  // The link to drive (the engine becomes its parent when it has none).
  void setLink(SwitcherLink* link, LinkOwner owner);
  SwitcherLink* link() const { return switcherLink; }

  // ---- the link and the switcher ----
  LinkState state() const { return linkState; }
  QString reason() const { return linkReason; }  // why it is down or lost; empty otherwise
  QString linkName() const;                       // empty while down
  bool linkUp() const;
  bool identifying() const { return isIdentifying; }
  // False while the link is up and no switcher answers (the last identification, or the
  // link's check, heard nothing): the engine asks again, and nothing else may go.
  bool answering() const { return !silent; }
  bool ready() const { return linkUp() && !isIdentifying && !silent; }  // clients' commands may go
  QString model() const { return switcherModel; }
  QString version() const { return switcherVersion; }
  bool identified() const { return !switcherModel.isEmpty(); }
  int inputs() const { return inputCount; }    // from "MATRIX <I>X<O>", else 256
  int outputs() const { return outputCount; }  // the same, at most 256

  // How long the identification waits for the type reply, and how often a link on which no
  // switcher answers is asked again (tests shorten them).
  void setAnswerWaits(std::chrono::milliseconds reply, std::chrono::milliseconds again);
  // [Link] Check, for a link the engine holds: once nothing came from the switcher for this
  // long, it is asked for its version; two questions unanswered in a row, and no switcher
  // answers until it does again. 0: never asked.
  void setLinkCheck(std::chrono::milliseconds quiet);

  routing::RoutingTable& routes() const { return *table; }
  CommandQueue& queue() const { return *commands; }
  Presets& presets() const { return *groups; }
  // Protected outputs, honoured by every client's command (not by the front end's own runs).
  routing::Protects& protects() const { return *held; }
  Services& services() const { return *serviceSet; }

  // ---- names (Names.ini in the settings folder) ----
  const names::Names& names() const { return currentNames; }
  // Writes Names.ini and tells everyone; false with *why when it could not be written.
  bool setNames(const names::Names& next, QString* why = nullptr);
  // Reads Names.ini again (the bridge's SIGHUP).
  void reloadNames();

  // ---- a client's command and a preset ----
  // Protected when the command would move an output another holds.
  SendResult sendClient(const QByteArray& command, const QString& label, std::function<void()> onDropped = {},
                        std::function<void()> onWritten = {});
  // The same, counted under the service it came through.
  SendResult sendClient(Origin origin, const QByteArray& command, const QString& label,
                        std::function<void()> onDropped = {}, std::function<void()> onWritten = {});
  const EngineCounts& counts() const { return tally; }
  // A service refused a client's command itself (a read-only listener, no link): counted.
  void countRefusal(Origin origin, Refusal why) { ++tally.refused[int(origin)][int(why)]; }
  // Identified, and every output's route reported since.
  bool routingKnown() const;
  // The client is gone: its commands still waiting are dropped (each told its drop), and its
  // protects end.
  void forgetClient(const QString& label);
  // Every code of the preset, as the label's commands: all of them accepted, or none. An
  // accepted run tells outcome once: how many of its total went out (fewer when the link
  // closed before the rest).
  SendResult runPreset(const QString& id, const QString& label, std::function<void(int sent, int total)> outcome = {},
                       Origin origin = Origin::Operator);
  // A routing snapshot as the label's request: the status of every output is asked for, and
  // once all have reported, or after kCaptureBound with those that did, the group goes to the
  // preset keeper. Empty when it started, else why not; a capture that started tells outcome
  // once: empty when the group was kept, else why not.
  QString captureRouting(const QString& label, std::function<void(const QString& why)> outcome = {},
                         Origin origin = Origin::Operator);
  // Keeps a captured group with the presets (the bridge's code group file, the console's
  // tree): empty when it was written, else why not.
  using PresetKeeper = std::function<QString(const routing::Snapshot& snapshot)>;
  void setPresetKeeper(PresetKeeper keeper) { presetKeeper = std::move(keeper); }

  // ---- the front end's hooks, when it holds the link (LinkOwner::FrontEnd) ----
  void identificationStarts();
  void identificationLine(const QByteArray& line);
  void identificationEnds();
  // The front end's link opened, closed or went away: isUp() is read again after the
  // handler that reported it has finished.
  void linkEvent();
  // The front end's link is gone, though its own handlers still hold it (a box is shown):
  // clients are told now.
  void linkFailing(const QString& reason);
  // Bytes from the switcher, for the gateway's clients.
  void switcherBytes(const char* data, int size);
  // Every line the front end's link delivered (for a routing capture of a client).
  void lineArrived(const QByteArray& line);

 signals:
  void stateChanged(engine::LinkState state, const QString& reason);
  void linkChanged(bool up);
  void identifyingChanged(bool on);
  // The switcher stopped answering ("no switcher answers") or answers again.
  void answeringChanged(bool answering);
  // Model and version (so inputs and outputs) were learnt or changed.
  void identifiedChanged();
  void namesChanged();
  // A line worth a front end's log: link events, identification, notes of the queue.
  void note(const QString& text);
  void switcherBytesArrived(const QByteArray& bytes);
  // The engine's own query (the identification's) went to the switcher: for the session log.
  void ownSent(const QByteArray& command);

 private:
  void setState(LinkState s, const QString& why = {});
  void recheck();
  void learn(const QString& model, const QString& version);
  // The bridge's own identification.
  void identify();
  void ownLine(const QByteArray& line);
  void identifyStep();
  void askRoutes();
  void writeOwn(const QByteArray& command);
  void finishIdentification();
  // Nothing answered: clients are refused and the identification is tried again later.
  void goSilent(const QString& why);
  void setSilent(bool on);
  void armCheck();
  void checkLink();
  void finishCapture();

  SwitcherLink* switcherLink = nullptr;
  LinkOwner owner = LinkOwner::FrontEnd;
  LinkState linkState = LinkState::Down;
  QString linkReason;
  bool lastUp = false;
  bool failing = false;  // linkFailing() until the front end's link is really gone

  bool isIdentifying = false;
  bool silent = false;  // the link is up and no switcher answers
  std::chrono::milliseconds replyWait, identifyAgain;
  int linesSeen = 0;  // of the running identification: the first is the type, the second the version
  QString switcherModel, switcherVersion, pendingModel, pendingVersion;
  int inputCount, outputCount;
  enum class Step { None, Type, Status } step = Step::None;
  QTimer* identifyTimer;
  std::chrono::milliseconds checkQuiet{0};  // [Link] Check; 0: off
  QTimer* checkTimer;
  int checksUnanswered = 0;
  QElapsedTimer statusSince;  // the identification's status burst began
  QTimer* refreshTimer;  // the status asked for after a change the switcher did not report
  QElapsedTimer lastRefresh;

  routing::RoutingTable* table;
  routing::RoutingTable* captureTable;  // a client's capture: the reports since it began
  QTimer* captureBound;
  bool capturing = false;
  std::function<void(const QString&)> captureOutcome;
  PresetKeeper presetKeeper;
  names::Names currentNames;
  CommandQueue* commands;
  Presets* groups;
  routing::Protects* held;
  Services* serviceSet;
  EngineCounts tally;
  // When a client's route to each output was written (ms on `since`; 0: none waits for its report).
  QElapsedTimer since;
  std::vector<qint64> routeWritten;
  void count(Origin origin, SendResult result);
  // Why the preset's run would be refused now; Accepted when it would not.
  SendResult presetRefusal(const QString& id, const QString& label) const;
};

}  // namespace engine
