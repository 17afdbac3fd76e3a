#include "SendQueue.h"

#include <algorithm>

SendQueue::SendQueue(Sender sender, QObject* parent)
    : QObject(parent), sender_(std::move(sender)) {
  timer_.setSingleShot(true);
  // A coarse timer may fire early; the gap is a floor.
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &SendQueue::sendNext);
}

void SendQueue::setPace(int milliseconds) { pace_ = std::max(0, milliseconds); }

bool SendQueue::send(const QByteArray& command) {
  if (pace_ == 0 && waiting_.empty()) return sender_(command);
  waiting_.push_back(command);
  emit remainingChanged(remaining());
  // Even the first command waits for the event loop, so that a run queued in one go is
  // drained once, at its end.
  if (!timer_.isActive() && !sending_) schedule();
  return true;
}

void SendQueue::schedule() {
  const qint64 left = sinceLast_.isValid() ? pace_ - sinceLast_.elapsed() : 0;
  // elapsed() rounds down, so one more millisecond keeps the floor.
  timer_.start(left > 0 ? static_cast<int>(left) + 1 : 0);
}

void SendQueue::sendNext() {
  if (waiting_.empty() || sending_) return;
  if (sinceLast_.isValid() && sinceLast_.elapsed() < pace_) {
    schedule();
    return;
  }
  const QByteArray command = waiting_.front();
  waiting_.pop_front();
  emit remainingChanged(remaining());
  sending_ = true;
  const bool ok = sender_(command);
  sending_ = false;
  // Measured from the end of the send: a serial write takes the line's time.
  sinceLast_.start();
  if (!ok) dropAll();
  if (waiting_.empty()) {
    emit drained();
  } else {
    schedule();
  }
}

int SendQueue::dropAll() {
  const int dropped = remaining();
  waiting_.clear();
  timer_.stop();
  if (dropped > 0) emit remainingChanged(0);
  return dropped;
}

int SendQueue::stop() {
  const bool waited = busy();
  const int dropped = dropAll();
  // Within a send, sendNext() reports the end once the sender returns.
  if (waited && !sending_) emit drained();
  return dropped;
}

int SendQueue::forget(int count) {
  count = std::clamp(count, 0, remaining());
  if (count == 0) return 0;
  waiting_.erase(waiting_.end() - count, waiting_.end());
  emit remainingChanged(remaining());
  if (waiting_.empty()) {
    timer_.stop();
    // Within a send, sendNext() reports the end once the sender returns.
    if (!sending_) emit drained();
  }
  return count;
}
