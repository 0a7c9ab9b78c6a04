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
  int ran = 0;
  // Each pass runs at most one due tick per timer; callbacks may start or kill timers, so the
  // lock is not held while one runs.
  for (;;) {
    TimerId id = 0;
    TimerCallback callback = nullptr;
    void* user = nullptr;
    {
      std::lock_guard lock(mutex_);
      entries_.erase(
          std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.alive; }),
          entries_.end());
      const uint32_t now = clock_.TickCountMs();
      Entry* due = nullptr;
      for (Entry& e : entries_) {
        const int32_t late = static_cast<int32_t>(now - e.due_ms);
        if (late >= 0 && (!due || static_cast<int32_t>(e.due_ms - due->due_ms) < 0)) due = &e;
      }
      if (!due) return ran;
      due->due_ms = now + due->period_ms;
      id = due->id;
      callback = due->callback;
      user = due->user;
    }
    callback(user, id);
    ++ran;
  }
}

}  // namespace vaskel
