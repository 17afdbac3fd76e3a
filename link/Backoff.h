#pragma once
// The pause before the next attempt to reach a switcher that went away: 1 s, then twice the
// last pause, never more than 30 s.

#include <algorithm>
#include <chrono>

namespace link_policy {

constexpr std::chrono::seconds kFirstRetryPause{1};
constexpr std::chrono::seconds kLongestRetryPause{30};
// A link that stayed up this long counts as working again: the next loss starts at 1 s.
constexpr std::chrono::milliseconds kStableLink{30000};

constexpr std::chrono::seconds NextRetryPause(std::chrono::seconds previous) {
  return previous < kFirstRetryPause ? kFirstRetryPause
                                     : std::min(previous * 2, kLongestRetryPause);
}

}  // namespace link_policy
