#pragma once
// The motion engine: the state machine the tick runs, and the moves the host asks for.
#include <atomic>
#include <cstdint>

#include "motion/backlash_queue.h"
#include "motion/motion_state.h"
#include "motion/ramp_generator.h"

namespace vaskel {

class PluginContext;

class MotionEngine {
 public:
  explicit MotionEngine(PluginContext& ctx) : ctx_(ctx), ramps_(ctx) {}

  // Host thread: entry points and the tick.
  void MotionReset();
  void MotionStep();
  void Abort();
  void RequestStop();
  void DiscardHostTrajectory();
  void DoDwell(double time);
  void JogOn(int axis, int direction, double speed);
  void JogOff(int axis);
  void Home(int axis);
  void Probe();
  void RecomputeAccelSteps();
  // Accepts or refuses a plug-in move (E-stop, engine offline, host queue not empty).
  bool StartOfMoveCheck();
  RampGenerator& ramps() { return ramps_; }

  // Device link (receiver thread unless noted).
  void RewindSelectedSource(int32_t fill);  // sender or receiver: index -= fill, mod 4096
  uint32_t SegmentsSent() const { return segments_sent_.load(std::memory_order_acquire); }
  void ResetSegmentsSent() { segments_sent_.store(0, std::memory_order_release); }
  BacklashQueue& backlash_queue() { return backlash_queue_; }
  void ScanInputs();
  uint32_t BuildOutputWord() const;  // host thread

  int32_t state() const { return state_.load(std::memory_order_acquire); }
  void set_state(int32_t s) { state_.store(s, std::memory_order_release); }
  int32_t resume_state() const { return resume_state_.load(std::memory_order_acquire); }
  uint32_t dwell_end_tick() const { return dwell_end_tick_.load(std::memory_order_relaxed); }

  // Arguments of the last move requests (kept until their moves exist).
  struct Requests {
    int jog_axis = -1, jog_direction = 0;
    double jog_speed = 0;
    int home_axis = -1;
    bool home_requested = false;
    int probe_requests = 0;
  };
  const Requests& requests() const { return requests_; }

 private:
  PluginContext& ctx_;
  std::atomic<int32_t> state_{kRunning};
  std::atomic<int32_t> resume_state_{0};
  std::atomic<uint32_t> dwell_end_tick_{0};
  std::atomic<uint32_t> segments_sent_{0};
  BacklashQueue backlash_queue_;
  RampGenerator ramps_;
  Requests requests_;
};

}  // namespace vaskel
