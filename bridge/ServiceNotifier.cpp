#include "ServiceNotifier.h"

#include <QTimer>

#include <algorithm>

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace bridge {

std::chrono::milliseconds WatchdogInterval() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (!usec || !*usec) return std::chrono::milliseconds(0);
  // Set for another process (our parent's, say): not ours to answer.
  if (const char* pid = std::getenv("WATCHDOG_PID"); pid && *pid && std::strtol(pid, nullptr, 10) != long(::getpid()))
    return std::chrono::milliseconds(0);
  char* end = nullptr;
  const long long value = std::strtoll(usec, &end, 10);
  if (*end != '\0' || value <= 0) return std::chrono::milliseconds(0);
  return std::chrono::milliseconds(std::max(1LL, value / 1000));
}

ServiceNotifier::ServiceNotifier(std::function<void(const QByteArray&)> tell, QObject* parent)
    : QObject(parent), tell(std::move(tell)), bound(new QTimer(this)), watchdog(new QTimer(this)) {
  bound->setSingleShot(true);
  bound->setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(kReadyBound));
  connect(bound, &QTimer::timeout, this, &ServiceNotifier::tellReady);
  connect(watchdog, &QTimer::timeout, this, [this] { this->tell("WATCHDOG=1"); });
}

void ServiceNotifier::started() {
  waiting = true;
  bound->start();
}

void ServiceNotifier::settle() {
  if (waiting) tellReady();
}

void ServiceNotifier::tellReady() {
  if (!waiting) return;
  waiting = false;
  ready = true;
  bound->stop();
  tell("READY=1");
}

void ServiceNotifier::reloading() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
  tell("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void ServiceNotifier::reloaded() {
  // A reload during the start is told ready with the start.
  if (ready) tell("READY=1");
}

void ServiceNotifier::startWatchdog(std::chrono::milliseconds interval) {
  if (interval.count() <= 0) return;
  watchdog->start(std::max<long long>(1, interval.count() / 2));
}

}  // namespace bridge
