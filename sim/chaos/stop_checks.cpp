#include "sim/chaos/stop_checks.h"

#include <cstdio>
#include <utility>

namespace vaskel::chaos {
namespace {

bool Stopping(int32_t state) {
  return state == kStopRequested || state == kStopDraining;
}

}  // namespace

void StopChecks::Fail(const char* invariant, const std::string& text) {
  if (!invariant_.empty()) return;
  invariant_ = invariant;
  failure_ = text;
}

// Stop commands committed to the send ring so far; a link start resets the ring.
void StopChecks::ScanStops() {
  DeviceLink& link = ctx_.link();
  PacketRing& ring = link.send_ring();
  if (link.link_starts() != starts_seen_) {
    starts_seen_ = link.link_starts();
    write_seen_ = 0;
  }
  for (int32_t i = write_seen_; i != ring.write_index(); i = (i + 1) & (PacketRing::kSlots - 1)) {
    if (ring.SlotAt(i)[0] == kOpStopMotion) ++stops_committed_;
  }
  write_seen_ = ring.write_index();
}

void StopChecks::ExpectStop() {
  ScanStops();
  expecting_ = true;
  stops_at_request_ = stops_committed_;
}

bool StopChecks::AfterStep() {
  ScanStops();
  MotionEngine& motion = ctx_.motion();
  const int32_t state = motion.state();
  char text[200];
  // The host's stop holds the machine in StopRequested (or behind a take-up) until its
  // command goes out; what takes it out otherwise (an abort) sends one of its own.
  if (std::exchange(expecting_, false) && stops_committed_ == stops_at_request_) {
    stop_owed_ = state == kStopRequested ||
                 (state == kBacklashTakeUp && motion.resume_state() == kStopRequested);
  }
  if (stop_owed_ && stops_committed_ != stops_at_request_) stop_owed_ = false;
  // It goes out in the first motion tick after it was asked for, whatever the machine is
  // doing (a slow take-up included): a stop held back lets the machine run on.
  if (!stop_owed_) owed_motion_ticks_ = 0;
  if (stop_owed_ && running_before_ && ctx_.tick().bodies_run != bodies_before_ &&
      ++owed_motion_ticks_ > 1) {
    stop_owed_ = false;
    Fail("timing", "the host's stop had not gone out a motion tick after it was asked for");
  }
  if (stop_owed_ && state != kStopRequested && state != kBacklashTakeUp) {
    stop_owed_ = false;
    std::snprintf(text, sizeof text,
                  "the host's stop left StopRequested for state %d and no stop command reached "
                  "the send ring",
                  state);
    Fail("safety", text);
  }
  // The drain: a stop returns to Running once the board's fill is down to one segment. A
  // dwell asked for during the stop takes over from the drain; E-stop, a reset or a probe
  // move take the machine elsewhere.
  if (Stopping(state) && !Stopping(state_before_)) drain_owed_ = true;
  if (std::exchange(dwell_called_, false)) drain_owed_ = false;
  // The drain may end and the stream it releases meet a reversal within one step: the machine
  // passes through Running into a take-up that resumes it, and the drain ended there. Judged
  // only at the take-up's end, the fill would be that of the new program streamed since.
  const bool drained_into_take_up =
      Stopping(state_before_) && state == kBacklashTakeUp && motion.resume_state() == kRunning;
  if (((state == kRunning && state_before_ != kRunning) || drained_into_take_up) && drain_owed_) {
    drain_owed_ = false;
    const int32_t fill = ctx_.link().device_fill();
    // A reply handled within the step may have raised the fill after the drain was seen.
    if (fill > 1 && fill_before_ > 1) {
      std::snprintf(text, sizeof text,
                    "a stop returned to Running before the board drained (fill %d)", fill);
      Fail("liveness", text);
    }
  }
  if (state != kRunning && state != kDwelling && state != kBacklashTakeUp && !Stopping(state)) {
    drain_owed_ = false;
  }
  state_before_ = state;
  return invariant_.empty();
}

}  // namespace vaskel::chaos
