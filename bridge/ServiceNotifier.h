#pragma once
// What systemd hears of the bridge beyond its status line: READY=1 once the first link attempt
// has settled (the switcher identified, or the link failed once) so that `systemctl start`
// returns with something to show; RELOADING=1 and READY=1 around a reload; and WATCHDOG=1 from
// the event loop at half the unit's WatchdogSec, so that a hung loop is restarted. QtCore only.

#include <QByteArray>
#include <QObject>

#include <chrono>
#include <functional>

class QTimer;

namespace bridge {

// A start is told ready after this at the latest, whatever the link does (systemd's start
// timeout is 90 s).
constexpr std::chrono::seconds kReadyBound{20};

// The watchdog interval systemd asks for ($WATCHDOG_USEC, for this process per
// $WATCHDOG_PID): 0 when none.
std::chrono::milliseconds WatchdogInterval();

class ServiceNotifier : public QObject {
  Q_OBJECT
 public:
  // tell sends one notification (bridge::Notify in the bridge; tests collect them).
  explicit ServiceNotifier(std::function<void(const QByteArray&)> tell, QObject* parent = nullptr);

  // The listeners are up: READY=1 follows at the first settle() (or after kReadyBound).
  void started();
  // The link came up and the switcher is identified, or the link failed: the start has settled.
  void settle();
  void reloading();
  void reloaded();
  // Pings every interval / 2 (nothing for 0).
  void startWatchdog(std::chrono::milliseconds interval);
  bool isReady() const { return ready; }

 private:
  void tellReady();

  std::function<void(const QByteArray&)> tell;
  bool waiting = false;
  bool ready = false;
  QTimer* bound;
  QTimer* watchdog;
};

}  // namespace bridge
