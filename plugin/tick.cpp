// The 20 ms tick: the timer's callback with its lapse rule (a tick that sees no Update for 50
// ticks ends its timer), the body it guards, and the Linux host's stand-in for a message loop.
#include <algorithm>
#include <climits>
#include <string>

#include "plugin/entry_guard.h"
#include "plugin/plugin_context.h"

namespace vaskel {

void PluginContext::TimerThunk(void* user, TimerId id) {
  // The tick runs inside the host's message loop: nothing may be thrown into it.
  auto* ctx = static_cast<PluginContext*>(user);
  try {
    ctx->OnTimerTick(id);
  } catch (...) {
    ctx->tick_.tick_busy = 0;  // the next tick runs again
    RecoverFromFailedEntry(*ctx, EntryKind::Motion);
  }
}

void PluginContext::OnTimerTick(TimerId id) {
  ++tick_.lapse_count;
  if (tick_.lapse_count > kLapseTicks && !tick_.update_seen) {
    platform_.timers().Kill(id);
    live_timers_.erase(std::remove(live_timers_.begin(), live_timers_.end(), id),
                       live_timers_.end());
    tick_.timer_armed = false;
    link_.stats().OnTickLapse();
    return;
  }
  if (tick_.update_seen) {
    tick_.update_seen = false;
    tick_.lapse_count = 0;
    tick_.timer_armed = true;
  }
  TickBody();
}

void PluginContext::TickBody() {
  if (tick_.tick_busy == 1) return;
  tick_.tick_busy = 1;
  ++tick_.bodies_run;
  Clock& clock = platform_.clock();
  const uint64_t start_us = clock.MonotonicMicros();
  motion_.NoteEStop();
  NoteSignedBacklashAmounts();
  if (link_.link_running()) motion_.MotionStep();
  link_.stats().OnTick(static_cast<uint32_t>(clock.MonotonicMicros() - start_us));
  tick_.tick_busy = 0;
}

void PluginContext::NoteSignedBacklashAmounts() {
  DiagnosticLog& log = platform_.log();
  if (!log.enabled()) return;
  for (size_t a = 0; a < 6; ++a) {
    const int32_t amount = blocks_.engine.Get(engine::kBacklashAmount[a]);
    if (amount >= 0 || amount == signed_backlash_noted_[a]) continue;
    signed_backlash_noted_[a] = amount;
    log.Write("vaskel: axis " + std::to_string(a) + " backlash amount " + std::to_string(amount) +
              " is a width: taken as " +
              (amount == INT32_MIN ? std::string("2147483647") : std::to_string(-amount)));
  }
}

int PluginContext::DispatchTimers() {
  platform_.workers().Pump();
  return platform_.timers().Dispatch();
}

}  // namespace vaskel
