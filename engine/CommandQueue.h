#pragma once
// The one way out to the switcher: the front end's own runs (a code group's Execute, auto
// steps) and every remote client's commands (gateway, panels, MQTT, web), in one queue
// paced by [Link] Pace, so that no client can push the operator's runs aside and no switcher
// gets commands back to back.
//
// A client's command goes out through the link's non-blocking write, named by its client's
// label. With a pace, the waiting commands go in turns: one of each client (and one of the
// front end's run) per turn, so that one client's flood holds no other back; a client that
// leaves takes its waiting commands with it. What may wait is bounded by count
// (kClientWaitingEach of one client, kClientWaitingAll of all) and, with a pace, by the
// switcher's time it takes to send it (kClientWaitTimeEach, kClientWaitTimeAll); the rest
// are refused with Busy. The front end's own commands keep the sender it gives (the window's
// SendCode, with its boxes) and are never refused for the clients.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>

class SendQueue;

namespace engine {

class SwitcherLink;

enum class SendResult {
  Accepted,    // sent, or waiting to be sent
  Busy,        // too many of this client's (or of all clients') commands wait already
  LinkClosed,  // the link is down, or the switcher is being identified
  Protected,   // it would move an output that another client protects
};

constexpr int kClientWaitingEach = 256;
constexpr int kClientWaitingAll = 4096;
// With a pace: at most this much of the switcher's time (count x pace) waits.
constexpr std::chrono::milliseconds kClientWaitTimeEach{60000};
constexpr std::chrono::milliseconds kClientWaitTimeAll{180000};

class CommandQueue : public QObject {
  Q_OBJECT
 public:
  using Sender = std::function<bool(const QByteArray&)>;
  using Ready = std::function<bool()>;

  // ready: whether clients' commands may go now (the link up, no identification running).
  CommandQueue(Ready ready, QObject* parent = nullptr);

  // The link clients' commands are written to; null while there is none.
  void setLink(SwitcherLink* link) { this->link = link; }
  void setPace(int milliseconds);
  int pace() const;

  // One command of the front end's own run: with pace 0 at once through send, exactly as
  // without a queue; else behind what waits. False only when it was sent at once and refused.
  // dropped is called when it will not go (stop(), or a refusal of the command before it).
  bool sendOwn(const QByteArray& command, Sender send, std::function<void()> dropped = {});

  // One complete command of a client. onDropped is called, at most once, when an Accepted
  // command is dropped before it went; onWritten, at most once and never with onDropped, when
  // the link has written it to the switcher.
  SendResult sendClient(const QByteArray& command, const QString& label, std::function<void()> onDropped = {},
                        std::function<void()> onWritten = {});
  // Whether `count` more commands of this client would all be accepted now.
  bool clientCanTake(const QString& label, int count) const;
  // How many commands of one client, and of all clients, may wait at the pace set now.
  int waitingBoundEach() const;
  int waitingBoundAll() const;
  // The client is gone (disconnected, or closed): its waiting commands are dropped, each
  // with its onDropped; returns how many.
  int dropClient(const QString& label);
  // Commands of this client accepted and not yet sent (nor dropped).
  int waiting(const QString& label) const { return each.value(label); }
  int clientsWaiting() const { return all; }

  // Commands waiting or going out of the paced queue.
  int backlog() const;
  // Drops what waits (the operator's Stop or Esc, the link closed or lost); returns how many.
  int stop();

 signals:
  // A client's command handed to the link: the send list's and the log's line.
  void clientSent(const QByteArray& command, const QString& label);
  void remainingChanged(int remaining);
  void drained();
  // "N commands were not sent: the link is not open": for the System memo and the log.
  void note(const QString& text);

 private:
  struct Waiting {
    QByteArray command;
    Sender send;
    std::function<void()> dropped;
  };
  struct Turn {
    bool own;
    QString label;
  };
  void take(const QString& label);
  void settle(const QString& label);
  void writeClient(const QByteArray& command, const QString& label, std::function<void(bool)> done);
  void enqueue(const Turn& turn, Waiting w);
  bool takeNext(Waiting* next);
  void dropWaiting();

  Ready ready;
  SwitcherLink* link = nullptr;
  SendQueue* queue;
  std::deque<Waiting> own;                         // the front end's run, in its order
  QHash<QString, std::deque<Waiting>> ofClient;    // each client's, in its order
  std::deque<Turn> turns;                          // whose command goes next: each once
  QHash<QString, int> each;
  int all = 0;
};

}  // namespace engine
