#include "LoginGuard.h"

namespace web {

qint64 LoginGuard::ownWait(const QString& peer, qint64 now) const {
  const auto it = lockouts.constFind(peer);
  return it == lockouts.cend() ? 0 : qMax<qint64>(0, it->until - now);
}

qint64 LoginGuard::overallWait(qint64 now) {
  while (!recent.empty() && now - recent.front() >= kFailedLoginWindowMs) recent.pop_front();
  if (int(recent.size()) < kMaxFailedLogins) return 0;
  return qMax<qint64>(0, recent[recent.size() - kMaxFailedLogins] + kFailedLoginWindowMs - now);
}

void LoginGuard::failed(const QString& peer, qint64 now) {
  recent.push_back(now);
  while (int(recent.size()) > kMaxFailedLogins) recent.pop_front();
  Lockout& lock = lockouts[peer];
  ++lock.failures;
  lock.until = now + qMin<qint64>(qint64(kFirstLockoutMs) << qMin(lock.failures - 1, 16), kMaxLockoutMs);
  if (lockouts.size() <= kMaxLockouts) return;
  for (auto it = lockouts.begin(); it != lockouts.end();)
    it = it->until <= now && it.key() != peer ? lockouts.erase(it) : std::next(it);
  // Still full of live ones (many addresses at once): the one that ends soonest goes.
  while (lockouts.size() > kMaxLockouts) {
    auto soonest = lockouts.end();
    for (auto it = lockouts.begin(); it != lockouts.end(); ++it)
      if (it.key() != peer && (soonest == lockouts.end() || it->until < soonest->until)) soonest = it;
    if (soonest == lockouts.end()) break;
    lockouts.erase(soonest);
  }
}

void LoginGuard::clear() {
  lockouts.clear();
  recent.clear();
}

}  // namespace web
