#pragma once
// Time sources of the plug-in. Production uses the platform's clocks; tests and the
// deterministic simulator use a FakeClock they advance by hand.
#include <atomic>
#include <cstdint>

namespace vaskel {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since system start, 32-bit and wrapping (the dwell and timer clock).
  virtual uint32_t TickCountMs() = 0;
  // Calendar time in whole seconds since 1970-01-01 UTC; it may be stepped.
  virtual int64_t WallSeconds() = 0;
  // Calendar time in milliseconds, for the diagnostic log's time stamps.
  virtual int64_t WallMillis() { return WallSeconds() * 1000; }
  // A monotonic clock, in microseconds, for spans: the tick body, the stuck-write rule.
  virtual uint64_t MonotonicMicros() { return uint64_t{TickCountMs()} * 1000u; }
};

// Virtual time for tests: both clocks move only when the test says so.
class FakeClock : public Clock {
 public:
  explicit FakeClock(uint32_t tick_ms = 0, int64_t wall_ms = 1'700'000'000'000LL)
      : tick_ms_(tick_ms), wall_ms_(wall_ms) {}
  uint32_t TickCountMs() override { return tick_ms_.load(std::memory_order_relaxed); }
  int64_t WallSeconds() override { return wall_ms_.load(std::memory_order_relaxed) / 1000; }
  int64_t WallMillis() override { return wall_ms_.load(std::memory_order_relaxed); }
  void AdvanceMs(uint32_t ms) {
    tick_ms_.fetch_add(ms, std::memory_order_relaxed);  // wraps like the real tick count
    wall_ms_.fetch_add(ms, std::memory_order_relaxed);
  }
  void SetTickCountMs(uint32_t ms) { tick_ms_.store(ms, std::memory_order_relaxed); }
  // The calendar clock alone is stepped (a time sync, a user setting the clock).
  void StepWallMs(int64_t ms) { wall_ms_.fetch_add(ms, std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> tick_ms_;
  std::atomic<int64_t> wall_ms_;
};

}  // namespace vaskel
