#pragma once
// Slows down password guessing on the page's login: after a wrong password an address waits
// 1 s, twice as long after each further one (60 s at most), and once kMaxFailedLogins wrong
// passwords came within a minute from anywhere, every address waits for the oldest of them
// to age out (many addresses guessing at once). Times are milliseconds of one steady clock,
// given by the caller.

#include <QHash>
#include <QString>
#include <QtGlobal>

#include <deque>

namespace web {

constexpr int kFirstLockoutMs = 1000;
constexpr int kMaxLockoutMs = 60000;
constexpr int kMaxFailedLogins = 10;
constexpr qint64 kFailedLoginWindowMs = 60000;
// Addresses kept waiting at once; past it the wait that ends soonest is forgotten.
constexpr int kMaxLockouts = 1024;

class LoginGuard {
 public:
  // How long the address must wait before it may try (0: it may), its own wait or everyone's.
  qint64 wait(const QString& peer, qint64 now) { return qMax(ownWait(peer, now), overallWait(now)); }
  qint64 ownWait(const QString& peer, qint64 now) const;
  qint64 overallWait(qint64 now);
  void failed(const QString& peer, qint64 now);
  void succeeded(const QString& peer) { lockouts.remove(peer); }
  void clear();
  int addresses() const { return int(lockouts.size()); }

 private:
  struct Lockout {
    int failures = 0;
    qint64 until = 0;
  };
  QHash<QString, Lockout> lockouts;
  std::deque<qint64> recent;  // when the wrong passwords of the last minute came
};

}  // namespace web
