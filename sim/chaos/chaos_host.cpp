#include "sim/chaos/chaos_host.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "host/host_string.h"

namespace vaskel::chaos {

ChaosHost::~ChaosHost() {
  // The host owns the status string it lent the plug-in.
  host_string::Release(blocks().planner.Get(planner::kStatusText));
  blocks().planner.Set(planner::kStatusText, static_cast<char*>(nullptr));
}

void ChaosHost::Start() {
  const HostBlocks& b = blocks();
  ctx_.SetProName(host_string::Make("chaos-profile.xml"));
  ctx_.settings().device_buffer = world_.device_buffer_ms;
  ctx_.settings().jog_buffer = world_.jog_buffer_ms;
  b.planner.Set(planner::kStatusText, host_string::SharedEmpty());
  b.planner.Set(planner::kHomingSignalWord, kHomingWordOwnBits);
  b.setup.Set(setup::kJogPercent, 100.0);
  bool backlash = false;
  for (size_t a = 0; a < 6; ++a) {
    const AxisSetup& x = world_.axes[a];
    b.engine.Set(engine::kAxisEnabled[a], x.enabled);
    b.engine.Set(engine::kAxisReversed[a], x.reversed);
    if (a >= 3 && x.slave_master >= 0) {
      b.engine.Set(engine::kAxisSlaved[a], true);
      b.engine.Set(engine::kAxisSlaveMaster[a], x.slave_master);
    }
    b.planner.Set(planner::kStepsPerUnit[a], x.steps_per_unit);
    b.planner.Set(planner::kAxisVelocity[a], x.velocity);
    b.planner.Set(planner::kAxisAcceleration[a], x.acceleration);
    b.planner.Set(planner::kHomeSpeedPercent[a], x.home_speed_percent);
    b.planner.Set(planner::kHomeDirection[a], x.home_direction);
    b.engine.Set(engine::kBacklashAmount[a], x.backlash_amount);
    b.engine.Set(engine::kBacklashSpeed[a], x.backlash_speed);
    backlash |= x.backlash_amount != 0;
  }
  b.engine.Set(engine::kBacklashEnabled,
               backlash && (!world_.stream_only || world_.stream_backlash));
  for (const Wiring& w : world_.wiring) {
    const auto j = static_cast<size_t>(w.record);
    b.engine.Store<uint8_t>(input_signal::Offset(j, input_signal::kEnabled), 1);
    b.engine.Store<int8_t>(input_signal::Offset(j, input_signal::kPin), static_cast<int8_t>(w.pin));
    b.engine.Store<int8_t>(input_signal::Offset(j, input_signal::kPort), 1);
    b.engine.Store<uint8_t>(input_signal::Offset(j, input_signal::kActiveLow), w.active_low);
  }
  ctx_.InitControl(memory_.engine(), memory_.setup(), memory_.planner(), memory_.window());
  b.window.Set(window::kJogFullSpeed, &jog_full_speed_);
  ctx_.PostInitControl();
}

int32_t ChaosHost::QueuedSegments() const {
  const HostBlock& e = blocks().engine;
  return (e.Get(engine::kTrajProducerIndex) - e.Get(engine::kTrajConsumerIndex)) & 0xfff;
}

std::array<int64_t, 6> ChaosHost::SumSlots(int32_t from, int32_t to) const {
  std::array<int64_t, 6> sum{};
  for (int32_t i = from & 0xfff; i != (to & 0xfff); i = (i + 1) & 0xfff) {
    const size_t record = planner::kTrajRingBase + planner::kSegmentRecordSize * i;
    for (size_t a = 0; a < 6; ++a) {
      sum[a] += static_cast<int64_t>(blocks().planner.Load<double>(record + 8 * (4 + a)));
    }
  }
  return sum;
}

void ChaosHost::NoteRingChanges() {
  const HostBlock& e = blocks().engine;
  const int32_t producer = e.Get(engine::kTrajProducerIndex) & 0xfff;
  if (producer != producer_seen_) {
    // Only the plug-in's discard moves the producer index behind the host's back: what was
    // queued and not yet taken is dropped.
    const std::array<int64_t, 6> dropped = SumSlots(consumer_seen_, producer_seen_);
    if (books_ != nullptr) books_->NoteDiscarded(consumer_seen_, producer_seen_);
    for (size_t a = 0; a < 6; ++a) discarded_[a] += dropped[a];
    producer_seen_ = producer;
    // A host whose queue the plug-in threw away has lost its program with it.
    ForgetPlan();
  }
  consumer_seen_ = e.Get(engine::kTrajConsumerIndex) & 0xfff;
}

void ChaosHost::Feed() {
  const HostBlocks& b = blocks();
  if (b.engine.Get(engine::kEStopActive)) {
    // A host in emergency stop plans nothing; its program is forgotten.
    ForgetPlan();
    return;
  }
  bool pushed = false;
  const HostBlock& e = b.engine;
  int32_t room = world_.feed_chunk > 0 ? world_.feed_chunk : kLookahead;
  while (!program_.empty() && QueuedSegments() < kLookahead && room-- > 0) {
    const int32_t producer = e.Get(engine::kTrajProducerIndex) & 0xfff;
    const size_t record = planner::kTrajRingBase + planner::kSegmentRecordSize * producer;
    std::memset(b.planner.ByteAt(record), 0, planner::kSegmentRecordSize);
    const std::array<int32_t, 6>& s = program_.front();
    for (size_t a = 0; a < 6; ++a) {
      b.planner.Store<double>(record + 8 * (4 + a), static_cast<double>(s[a]));
      // A count a segment's field cannot hold goes out clipped, by rule.
      queued_[a] += std::clamp(s[a], -kMaxFieldSteps, kMaxFieldSteps);
    }
    e.Set(engine::kSegmentTag[static_cast<size_t>(producer)], static_cast<int32_t>(++serial_));
    if (books_ != nullptr) books_->NoteQueued(serial_, s);
    program_.pop_front();
    producer_seen_ = (producer + 1) & 0xfff;
    e.Set(engine::kTrajProducerIndex, producer_seen_);
    pushed = true;
  }
  if (pushed && !feeding_) {
    feeding_ = true;
    WriteFlushPartial(false);
  }
  if (feeding_ && program_.empty()) {
    feeding_ = false;
    WriteFlushPartial(true);
  }
}

void ChaosHost::WriteFlushPartial(bool flush) {
  blocks().planner.Set(planner::kFlushPartial, flush);
  flush_intent_ = flush;
  ++flush_writes_;
}

// The host's next move starts a new program.
void ChaosHost::ForgetPlan() {
  program_.clear();
  feeding_ = false;
}

void ChaosHost::Act(const Action& x) {
  const HostBlocks& b = blocks();
  switch (x.kind) {
    case ActionKind::Move: {
      // A smooth profile whose segments add up exactly to the move's steps.
      std::array<int64_t, 6> done{};
      for (int32_t k = 1; k <= x.count; ++k) {
        const double u = static_cast<double>(k) / x.count;
        const double s = u * u * (3 - 2 * u);
        std::array<int32_t, 6> seg{};
        for (size_t a = 0; a < 6; ++a) {
          const auto at = static_cast<int64_t>(std::llround(x.steps[a] * s));
          seg[a] = static_cast<int32_t>(at - done[a]);
          done[a] = at;
        }
        program_.push_back(seg);
      }
      break;
    }
    case ActionKind::JogOn:
      ctx_.JogOn(static_cast<int16_t>(x.axis), static_cast<int16_t>(x.direction), x.x);
      break;
    case ActionKind::JogOff:
      ctx_.JogOff(static_cast<int16_t>(x.axis));
      break;
    case ActionKind::Home:
      b.planner.Set(planner::kHomingSignalWord,
                    b.planner.Get(planner::kHomingSignalWord) | kHomeSignalBit);
      ctx_.Home(static_cast<int16_t>(x.axis));
      break;
    case ActionKind::Probe:
      for (size_t a = 0; a < 6; ++a) {
        b.planner.Set(planner::kProbeTarget[a], b.planner.Get(planner::kAxisCurrentPosition[a]));
      }
      b.planner.Set(planner::kProbeTarget[static_cast<size_t>(x.axis)], x.x);
      b.planner.Set(planner::kProbeFeedRate, x.value / 60.0);
      // The host marks its probe running; the plug-in clears the flag when the probe ends.
      b.engine.Set(engine::kProbeActive, true);
      ++probe_calls_;
      ctx_.Probe();
      break;
    case ActionKind::Dwell:
      ctx_.DoDwell(x.x);
      break;
    case ActionKind::Notify:
      if (x.value == -1 || x.value == 10) ++stop_calls_;
      ctx_.Notify(x.value);
      // A stop or a reset ends the host's program as well.
      if (x.value == -1 || x.value == 10) ForgetPlan();
      break;
    case ActionKind::EStop:
      // The plug-in reads the E-stop at its motion tick: the invariants count the ones it saw.
      b.engine.Set(engine::kEStopActive, x.value != 0);
      if (x.value) ForgetPlan();
      break;
    case ActionKind::Offline:
      b.engine.Set(engine::kEngineOffline, x.value != 0);
      break;
    case ActionKind::Override:
      b.engine.Set(engine::kLimitOverride, x.value != 0);
      break;
    case ActionKind::Spindle:
      if (x.x < 0) {
        ctx_.Notify(4);
      } else {
        b.planner.Set(planner::kSpindleStartAllowed, true);
        b.planner.Set(planner::kSpindleSpeedControlled, true);
        b.planner.Set(planner::kSpindleSpeedRatio, x.x);
        ctx_.Notify(3);
      }
      break;
    case ActionKind::Config:
      ctx_.Config();
      break;
    case ActionKind::Backlash:
      b.engine.Set(engine::kBacklashEnabled, x.value != 0);
      break;
    case ActionKind::Pause:
      break;  // the runner holds Update back
  }
}

void ChaosHost::Settle(int phase) {
  const HostBlocks& b = blocks();
  if (phase == 0) {
    b.engine.Set(engine::kEStopActive, false);
    b.engine.Set(engine::kEngineOffline, false);
    if (!world_.wiring.empty()) b.engine.Set(engine::kLimitOverride, true);
    for (int a = 0; a < 6; ++a) {
      if (world_.axes[a].enabled) ctx_.JogOff(static_cast<int16_t>(a));
    }
  } else if (!world_.stream_only) {
    ++stop_calls_;
    ctx_.Notify(-1);
    ForgetPlan();
  }
}

}  // namespace vaskel::chaos
