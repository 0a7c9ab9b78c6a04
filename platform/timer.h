#pragma once
// Periodic timers that call back on the thread that dispatches them (the host's UI thread).
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace vaskel {

using TimerId = std::uintptr_t;
using TimerCallback = void (*)(void* user, TimerId id);

class TimerService {
 public:
  virtual ~TimerService() = default;
  // Starts a new periodic timer; returns its identifier (never 0), or 0 when none could be made.
  virtual TimerId Start(uint32_t period_ms, TimerCallback callback, void* user) = 0;
  virtual void Kill(TimerId id) = 0;
  // Runs the ticks that are due, where the caller's loop delivers them (0 elsewhere).
  virtual int Dispatch() { return 0; }
  // Milliseconds until the next tick is due where the caller's loop delivers them (0: one is
  // due now), or -1 when no timer runs or the system delivers the ticks.
  virtual int32_t DueInMs() { return -1; }
};

// Timers kept in a table and run by whoever calls Dispatch() from its loop: the Linux form of
// a window timer, and the virtual-time timer of tests.
class SoftTimerQueue : public TimerService {
 public:
  explicit SoftTimerQueue(Clock& clock) : clock_(clock) {}
  TimerId Start(uint32_t period_ms, TimerCallback callback, void* user) override;
  void Kill(TimerId id) override;
  // Runs the timers due when the call begins, oldest due first, each at most once; returns how
  // many ran. A timer that fell behind runs once and is rescheduled a period after now, like
  // a window timer, so the call always returns.
  int Dispatch() override;
  int32_t DueInMs() override;
  size_t ActiveCount() const;

 private:
  struct Entry {
    TimerId id;
    uint32_t period_ms;
    uint32_t due_ms;
    TimerCallback callback;
    void* user;
    bool alive;
  };
  Clock& clock_;
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  TimerId next_id_ = 1;
};

}  // namespace vaskel
