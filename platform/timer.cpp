#include "platform/timer.h"

#include <algorithm>

namespace vaskel {

TimerId SoftTimerQueue::Start(uint32_t period_ms, TimerCallback callback, void* user) {
  std::lock_guard lock(mutex_);
  TimerId id = next_id_++;
  entries_.push_back({id, period_ms, clock_.TickCountMs() + period_ms, callback, user, true});
  return id;
}

void SoftTimerQueue::Kill(TimerId id) {
  std::lock_guard lock(mutex_);
  for (Entry& e : entries_) {
    if (e.id == id) e.alive = false;
  }
}

size_t SoftTimerQueue::ActiveCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.alive; }));
}

int32_t SoftTimerQueue::DueInMs() {
  std::lock_guard lock(mutex_);
  const uint32_t now = clock_.TickCountMs();
  int32_t soonest = -1;
  for (const Entry& e : entries_) {
    if (!e.alive) continue;
    const int32_t in = std::max<int32_t>(0, static_cast<int32_t>(e.due_ms - now));
    if (soonest < 0 || in < soonest) soonest = in;
  }
  return soonest;
}

int SoftTimerQueue::Dispatch() {
  // The timers due when the call begins, oldest due first; each runs at most once per call, as
  // window-timer messages coalesce, so a tick body slower than its period cannot keep the
  // call from returning to the host's loop.
  std::vector<std::pair<uint32_t, TimerId>> due;
  {
    std::lock_guard lock(mutex_);
    entries_.erase(
        std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.alive; }),
        entries_.end());
    const uint32_t now = clock_.TickCountMs();
    for (const Entry& e : entries_) {
      if (static_cast<int32_t>(now - e.due_ms) >= 0) due.emplace_back(e.due_ms, e.id);
    }
  }
  std::stable_sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
    return static_cast<int32_t>(a.first - b.first) < 0;
  });
  int ran = 0;
  for (const auto& [due_ms, wanted] : due) {
    TimerCallback callback = nullptr;
    void* user = nullptr;
    {
      // An earlier callback may have killed it; callbacks may start or kill timers, so the
      // lock is not held while one runs.
      std::lock_guard lock(mutex_);
      auto it = std::find_if(entries_.begin(), entries_.end(),
                             [id = wanted](const Entry& e) { return e.id == id && e.alive; });
      if (it == entries_.end()) continue;
      // One that fell behind is rescheduled a period after now, like a window timer.
      it->due_ms = clock_.TickCountMs() + it->period_ms;
      callback = it->callback;
      user = it->user;
    }
    callback(user, wanted);
    ++ran;
  }
  return ran;
}

}  // namespace vaskel
