#pragma once
// Commands of one run (a code group, an auto step, a gateway client's lines) sent with at
// least a given gap between two, for switchers that drop commands arriving back to back.
// The gap is kept by a timer on the event loop: the thread is never put to sleep, so the
// window stays responsive while a queue drains. With a pace of 0 every command is handed to
// the sender at once and nothing is queued.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>

class SendQueue : public QObject {
  Q_OBJECT
 public:
  // Puts one command on the link; false when it was refused (the link is down), which
  // drops the commands still waiting.
  using Sender = std::function<bool(const QByteArray&)>;

  explicit SendQueue(Sender sender, QObject* parent = nullptr);

  void setPace(int milliseconds);  // negative counts as 0
  int pace() const { return pace_; }

  // With pace 0 and nothing waiting: the sender at once, and its answer. Otherwise queues
  // behind the commands already waiting (the first goes on the next turn of the event loop
  // once the pace allows) and returns true.
  bool send(const QByteArray& command);
  int remaining() const { return static_cast<int>(waiting_.size()); }
  // True while commands wait, or one is being sent from the queue.
  bool busy() const { return !waiting_.empty() || sending_; }
  // Drops the commands still waiting; returns how many.
  int stop();
  // Drops `count` of the commands still waiting, the last ones (for a sender that picks what
  // goes itself, when some it held were given up); returns how many.
  int forget(int count);

 signals:
  void remainingChanged(int remaining);
  // The queue has just become empty: the last command went out, was refused, or stop().
  void drained();

 private:
  void sendNext();
  void schedule();
  int dropAll();

  Sender sender_;
  int pace_ = 0;
  std::deque<QByteArray> waiting_;
  QTimer timer_;
  QElapsedTimer sinceLast_;  // from the end of the last send
  bool sending_ = false;     // the sender may run a nested event loop (a refusal's box)
};
