// The paced send queue with the clients' bounds.
#include "CommandQueue.h"

#include <QPointer>

#include <algorithm>

#include <memory>

#include "SendQueue.h"
#include "SwitcherLink.h"

namespace engine {

CommandQueue::CommandQueue(Ready ready, QObject* parent)
    : QObject(parent),
      ready(std::move(ready)),
      queue(new SendQueue(
          // The paced queue keeps the time; which command goes is chosen here, in turns.
          [this](const QByteArray&) {
            Waiting next;
            if (!takeNext(&next)) return true;
            const int rest = queue->remaining();
            const bool sent = next.send(next.command);
            // The refusal has been shown once; the queue drops the rest.
            if (!sent && rest > 0) emit note(QStringLiteral("%1 commands were not sent: the link is not open").arg(rest));
            return sent;
          },
          this)) {
  setObjectName(QStringLiteral("CommandQueue"));
  queue->setObjectName(QStringLiteral("SendQueue"));
  connect(queue, &SendQueue::remainingChanged, this, &CommandQueue::remainingChanged);
  connect(queue, &SendQueue::drained, this, [this] {
    dropWaiting();  // those left behind a refused command
    emit drained();
  });
}

void CommandQueue::setPace(int milliseconds) { queue->setPace(milliseconds); }
int CommandQueue::pace() const { return queue->pace(); }

int CommandQueue::backlog() const { return queue->busy() ? qMax(1, queue->remaining()) : 0; }

bool CommandQueue::sendOwn(const QByteArray& command, Sender send, std::function<void()> dropped) {
  if (queue->pace() == 0) return send(command);
  enqueue({true, {}}, {command, std::move(send), std::move(dropped)});
  return queue->send(command);
}

void CommandQueue::enqueue(const Turn& turn, Waiting w) {
  std::deque<Waiting>& line = turn.own ? own : ofClient[turn.label];
  // A party with nothing waiting joins the turns at their end.
  if (line.empty()) turns.push_back(turn);
  line.push_back(std::move(w));
}

bool CommandQueue::takeNext(Waiting* next) {
  while (!turns.empty()) {
    const Turn turn = turns.front();
    turns.pop_front();
    const auto at = ofClient.find(turn.label);
    std::deque<Waiting>* line = turn.own ? &own : (at == ofClient.end() ? nullptr : &*at);
    if (!line || line->empty()) continue;
    *next = std::move(line->front());
    line->pop_front();
    // Its next command waits for the others' turns.
    if (!line->empty()) turns.push_back(turn);
    else if (!turn.own) ofClient.erase(at);
    return true;
  }
  return false;
}

int CommandQueue::stop() {
  const int dropped = queue->stop();
  dropWaiting();
  return dropped;
}

void CommandQueue::dropWaiting() {
  std::deque<Waiting> gone = std::move(own);
  own.clear();
  for (std::deque<Waiting>& line : ofClient)
    for (Waiting& w : line) gone.push_back(std::move(w));
  ofClient.clear();
  turns.clear();
  for (Waiting& w : gone) {
    if (w.dropped) w.dropped();
  }
}

int CommandQueue::dropClient(const QString& label) {
  const auto at = ofClient.find(label);
  if (at == ofClient.end()) return 0;
  const std::deque<Waiting> gone = std::move(*at);
  ofClient.erase(at);
  turns.erase(std::remove_if(turns.begin(), turns.end(), [&](const Turn& t) { return !t.own && t.label == label; }),
              turns.end());
  queue->forget(int(gone.size()));
  for (const Waiting& w : gone) {
    if (w.dropped) w.dropped();
  }
  return int(gone.size());
}

int CommandQueue::waitingBoundEach() const {
  if (queue->pace() == 0) return kClientWaitingEach;
  return int(std::clamp<qint64>(kClientWaitTimeEach.count() / queue->pace(), 1, kClientWaitingEach));
}

int CommandQueue::waitingBoundAll() const {
  if (queue->pace() == 0) return kClientWaitingAll;
  return int(std::clamp<qint64>(kClientWaitTimeAll.count() / queue->pace(), 1, kClientWaitingAll));
}

bool CommandQueue::clientCanTake(const QString& label, int count) const {
  return each.value(label) + count <= waitingBoundEach() && all + count <= waitingBoundAll();
}

void CommandQueue::take(const QString& label) {
  ++each[label];
  ++all;
}

void CommandQueue::settle(const QString& label) {
  auto at = each.find(label);
  if (at == each.end()) return;
  if (--*at == 0) each.erase(at);
  --all;
}

void CommandQueue::writeClient(const QByteArray& command, const QString& label, std::function<void(bool)> done) {
  emit clientSent(command, label);
  link->write(command, std::move(done));
}

SendResult CommandQueue::sendClient(const QByteArray& command, const QString& label, std::function<void()> onDropped,
                                    std::function<void()> onWritten) {
  if (!link || !ready()) return SendResult::LinkClosed;
  if (!clientCanTake(label, 1)) return SendResult::Busy;
  take(label);
  // Settled once: when it went, or when it was dropped.
  auto settled = std::make_shared<bool>(false);
  const QPointer<CommandQueue> self(this);
  auto settle = [self, label, settled] {
    if (*settled) return false;
    *settled = true;
    if (self) self->settle(label);
    return true;
  };
  auto dropped = [settle, onDropped] {
    if (settle() && onDropped) onDropped();
  };
  auto done = [settle, dropped, onWritten](bool written) {
    if (!written) dropped();
    else if (settle() && onWritten) onWritten();
  };
  if (queue->pace() == 0) {
    writeClient(command, label, done);
    return SendResult::Accepted;
  }
  enqueue({false, label}, {command,
                           [this, label, done, dropped](const QByteArray& c) {
                             // It can come due while the switcher is being identified or the
                             // link is down: the client is told, and the commands queued
                             // behind it still go.
                             if (!link || !ready()) {
                               dropped();
                               return true;
                             }
                             writeClient(c, label, done);
                             return true;
                           },
                           dropped});
  queue->send(command);
  return SendResult::Accepted;
}

}  // namespace engine
