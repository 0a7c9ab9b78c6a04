#pragma once
// The motion engine: the state machine the tick runs, the segment sources it streams from, the
// encoder that packs segments for the board, and the input and output signal words.
//
// Locking: one recursive motion lock keeps the tick, an abort from the receiver thread (limit
// trip) and the rewind of a resynchronisation from interleaving. Lock order is motion lock,
// then the link's producer lock; never call in here while holding the producer lock.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "motion/backlash.h"
#include "motion/backlash_queue.h"
#include "motion/home_switch_table.h"
#include "motion/motion_services.h"
#include "motion/motion_state.h"
#include "motion/ramp_generator.h"
#include "motion/segment_encoder.h"
#include "motion/stream_observer.h"

namespace vaskel {

class MotionEngine {
 public:
  static constexpr int32_t kNoSignalState = -1;
  static constexpr int32_t kSegmentsPerPacket = 7;
  static constexpr uint8_t kOpStopMotion = 19;
  static constexpr std::string_view kClippedText =
      "Step count above 2047 in one segment, clipped to 2047.";

  explicit MotionEngine(const MotionServices& services)
      : services_(services), ramps_(services_, *this), backlash_(services_, *this) {}

  // Host thread: entry points and the tick.
  void MotionReset();
  void set_max_packets_per_pass(int32_t n) { max_packets_per_pass_ = n; }
  // Set before the first tick; null for none.
  void set_stream_observer(StreamObserver* observer) { observer_ = observer; }
  void MotionStep();
  // Ends the activity of the state in force; the state itself is left as it is.
  void Abort();
  // Abort and Halted as one step (reset notification).
  void AbortAndHalt();
  void RequestStop();
  void DiscardHostTrajectory();
  void DoDwell(double time);
  void JogOn(int axis, int direction, double speed);
  void JogOff(int axis);
  void Home(int axis);
  // Every tick, before the state machine: an E-stop the host raises ends what was asked for
  // before it and has not started (a probe in its start delay, a home waiting for the queue),
  // also while the link is down and the state machine waits, or the machine already stands
  // halted; released before the state machine looks, it would be missed.
  void NoteEStop();
  void Probe();
  void RecomputeAccelSteps();
  // Accepts or refuses a plug-in move (E-stop, engine offline, host queue not empty).
  bool StartOfMoveCheck();
  RampGenerator& ramps() { return ramps_; }
  Backlash& backlash() { return backlash_; }

  // Segment sources.
  void SelectSource(SegmentSourceId source);
  SegmentSourceId segment_source() const { return source_.load(std::memory_order_acquire); }
  bool IsDeviceDrained();
  bool BoardDrainedAfterStop();
  bool source_suspended(SegmentSourceId s) const {
    return suspended_[s].load(std::memory_order_acquire);
  }
  void set_source_suspended(SegmentSourceId s, bool v) {
    suspended_[s].store(v, std::memory_order_release);
  }
  int32_t PendingEntries(SegmentSourceId s);

  // Streaming (tick thread, motion lock held by the caller's step).
  void StreamSegments();
  void SendEmptyMotionPacket();
  bool StreamEnded();
  int32_t shared_direction_bit() const { return shared_direction_bit_; }
  // Segments in which a step count did not fit its field and was clipped.
  uint32_t clipped_segments() const { return clipped_segments_.load(std::memory_order_relaxed); }

  // Device link (receiver thread unless noted).
  // Receiver: the board never executed the last `lost` segments streamed. The selected source
  // goes back by the entries of its own among them, so padding and empty packets are not
  // counted as moves; never by more than was streamed since the last resynchronisation.
  void RewindSelectedSource(int32_t lost);
  uint32_t SegmentsSent() const { return segments_sent_.load(std::memory_order_acquire); }
  // Zeroed before the resets move on: a mark that shows the new reset count never carries a
  // count from before it.
  void ResetSegmentsSent() {
    segments_sent_.store(0, std::memory_order_release);
    segments_sent_resets_.fetch_add(1, std::memory_order_acq_rel);
  }
  // SegmentsSent in the low word, the resets so far in the high one. Taken under the producer
  // lock, so that no segment is counted between it and the packet it marks.
  uint64_t SegmentsSentMark() const;
  BacklashQueue& backlash_queue() { return backlash_queue_; }
  // For a status reply with `fill` segments queued on the board: false while the board is
  // inside a take-up; a take-up it has passed moves its corrections into the axis offsets.
  // `sent_at_request`: the mark of the reply's request (SegmentsSentMark); the segments streamed
  // since then are not on the board yet.
  bool PositionsFollowBoard(int32_t fill, uint64_t sent_at_request);
  bool PositionsFollowBoard(int32_t fill) { return PositionsFollowBoard(fill, SegmentsSentMark()); }
  // The board lost somewhere between the last `lost_least` and the last `lost_most` segments
  // streamed: take-ups every such run made settle into the offsets, the others turn their axes
  // back, as an abort settles a take-up the last reply did not show made. True when every
  // such run settles them alike (run, cut or not begun on each axis).
  bool SettleTakeUps(int32_t lost_least, int32_t lost_most);
  void ScanInputs();
  uint32_t BuildOutputWord() const;  // host thread
  HomeSwitchTable& home_switches() { return home_switches_; }

  int32_t state() const { return state_.load(std::memory_order_acquire); }
  void set_state(int32_t s) { state_.store(s, std::memory_order_release); }
  int32_t resume_state() const { return resume_state_.load(std::memory_order_acquire); }
  void set_resume_state(int32_t s) { resume_state_.store(s, std::memory_order_release); }
  int32_t pending_signal_state() const {
    return pending_signal_state_.load(std::memory_order_acquire);
  }
  void set_pending_signal_state(int32_t s) {
    pending_signal_state_.store(s, std::memory_order_release);
  }
  uint8_t* awaited_signal() const { return awaited_signal_.load(std::memory_order_acquire); }
  void set_awaited_signal(uint8_t* p) { awaited_signal_.store(p, std::memory_order_release); }
  int32_t homing_axis() const { return homing_axis_.load(std::memory_order_relaxed); }
  void set_homing_axis(int32_t a) { homing_axis_.store(a, std::memory_order_relaxed); }
  int32_t probe_axis() const { return probe_axis_.load(std::memory_order_relaxed); }
  void set_probe_axis(int32_t a) { probe_axis_.store(a, std::memory_order_relaxed); }
  uint32_t dwell_end_tick() const { return dwell_end_tick_.load(std::memory_order_relaxed); }
  bool home_requested() const { return home_requested_.load(std::memory_order_acquire); }
  int32_t home_axis_request() const { return home_axis_request_.load(std::memory_order_relaxed); }
  // The state a stop request interrupted, cleaned up when the stop has drained.
  int32_t stopped_state() const { return stopped_state_.load(std::memory_order_relaxed); }

  // For the move commands that run on threads of their own (the probe worker).
  std::recursive_mutex& motion_mutex() { return mutex_; }

 private:
  using Lock = std::lock_guard<std::recursive_mutex>;

  // All of these run with the motion lock held.
  enum class HostQueue : uint8_t { kDrop, kKeep };
  void AbortLocked(HostQueue queue = HostQueue::kDrop);
  // The board is told to stop: take-ups it has not run are settled first, and nothing streamed
  // before the command may come back through a rewind.
  void SendStopCommand();
  // The host's queued entries are dropped and its stream is flushed.
  void DropHostQueue();
  // Why a plug-in move may not start now (a status message), or 0.
  int32_t MoveRefusal();
  void EndActivity(int32_t activity);
  void EndTakeUp();
  bool RunStateStep();  // true: run the loop again in this tick
  void StepHalted();
  // What Halted does once the board has drained: no plug-in motion, positions re-read, no
  // pending home.
  void EndHalted();
  void StepRunning();
  void StepDwelling();
  bool StepBacklashTakeUp();
  bool StepAwaitingSignal();
  void StepStopRequested();
  void StepStopDraining();
  bool FreshStatusSince(int32_t seen, int32_t next) const;
  bool StepHomeSwitchFound();
  void StepHomeSwitchReleased();
  void StepJogging();
  void StepProbeTripped();
  void StartPendingHome();
  // What a probe call found: a stop or abort asked for after it cancels its move.
  struct ProbeTicket {
    uint32_t start_ms;
    uint32_t call;
    uint32_t stops;
  };
  // The probe worker's step: due 1000 ms after the call.
  bool ProbeWorkerStep(const ProbeTicket& ticket, bool may_block);
  // The probe was cancelled by a stop or abort after its call; its flags are cleared unless a
  // later probe call owns them.
  bool ProbeCancelled(const ProbeTicket& ticket);
  void StartProbeMove();
  void RefuseProbe(int32_t message);
  void ClearHomingFlags(bool unreference);
  void CancelHomeRequest();
  void EndSignalFlags(int32_t state, int32_t pending);
  void TakeOverFromRamps(bool probing);
  static bool RecordExecuted(const BacklashRecord& record, uint32_t executed);
  // The board has made the axis's take-up of the record at `index`: it ran through the take-up's
  // last segment that moves the axis, once every segment of it was sent.
  bool AxisTakeUpMade(uint32_t index, size_t axis, uint32_t executed);
  // Every open take-up settles alike whether the board executed `a` or `b` segments.
  bool TakeUpsSettleAlike(uint32_t a, uint32_t b);
  // The first record the board has not run to its end: the axes whose take-ups it made keep
  // their directions and corrections, the others turn back to their directions before it.
  void SettleRecordRunInPart(uint32_t index, uint32_t executed);
  void ApplyCorrections(const BacklashRecord& record);
  void SettleBacklashRecords();
  void DropTakeUpsNotRun(uint32_t executed);
  // Ends the take-up being generated where it stands and hands the stream back to what it
  // interrupted; returns the state to resume (a stop held behind it included).
  int32_t CutTakeUpInProgress();
  // What the board has executed of the stream when it lost the last `lost` segments.
  uint32_t ExecutedBeforeLoss(int32_t lost) const;
  // The take-up is over: back to the state it interrupted, or what took over meanwhile.
  void ResumeAfterTakeUp();
  void CleanUpStoppedActivity();

  int32_t Producer(SegmentSourceId s);
  int32_t Consumer(SegmentSourceId s);
  void SetConsumer(SegmentSourceId s, int32_t index);
  StepCounts ReadEntry(SegmentSourceId s, int32_t slot);
  bool MayFlushPartial();
  // `origin`: the source the segment was read from, or kNoSource for padding.
  void EncodeInto(uint8_t* out, const EncoderConfig& config, const StepCounts& steps,
                  uint8_t origin);
  void CommitMotionPacket(const uint8_t* body, const std::array<StreamedSegment, 7>& segments);
  void ReportClipping();

  MotionServices services_;
  int32_t max_packets_per_pass_ = 4;
  std::recursive_mutex mutex_;
  std::atomic<int32_t> state_{kRunning};
  std::atomic<int32_t> resume_state_{0};
  std::atomic<int32_t> pending_signal_state_{0};
  std::atomic<int32_t> stopped_state_{kRunning};
  std::atomic<uint8_t*> awaited_signal_{nullptr};
  std::atomic<int32_t> homing_axis_{0};
  std::atomic<int32_t> probe_axis_{0};
  // Probe calls and stops or aborts the user or a limit asked for, counted (motion lock).
  uint32_t probe_calls_ = 0;
  uint32_t stops_asked_ = 0;
  bool estop_seen_ = false;
  std::atomic<uint32_t> dwell_end_tick_{0};
  std::atomic<bool> home_requested_{false};
  std::atomic<int32_t> home_axis_request_{-1};
  std::atomic<SegmentSourceId> source_{kHostTrajectory};
  std::array<std::atomic<bool>, 3> suspended_{};
  std::atomic<uint32_t> segments_sent_{0};
  std::atomic<uint32_t> segments_sent_resets_{0};
  // Where each of the last streamed segments came from, by a running count, so a rewind can
  // tell source entries from padding (motion lock).
  static constexpr uint8_t kNoSource = 0xff;
  std::array<uint8_t, kSegmentRingMask + 1> streamed_origin_{};
  uint32_t streamed_total_ = 0;
  bool padding_owed_ = false;  // a full packet emptied a stream that had not ended
  int32_t shared_direction_bit_ = 0;
  std::atomic<uint32_t> clipped_segments_{0};
  bool clipping_reported_ = false;
  // A home's drain after its own stop counts only on a status reply to a request sent after
  // that stop: an older one may show a fill the stop has not yet cut.
  int32_t home_stop_seen_sequence_ = 0;  // the last status reply when the stop went out
  int32_t home_stop_next_sequence_ = 0;  // the first request sent after the stop
  // Segments streamed before the last stop command or queue discard: what of them the board had
  // not run was thrown away on purpose, so no rewind may send them again.
  uint32_t streamed_at_last_stop_ = 0;
  bool dwell_after_stop_ = false;  // a dwell asked for before the stop command went out
  bool clipping_pending_report_ = false;
  StreamObserver* observer_ = nullptr;
  BacklashQueue backlash_queue_;
  // How far the board had executed at the last status reply, in SegmentsSent's count.
  uint32_t last_reply_executed_ = 0;
  bool reply_executed_known_ = false;
  // The previous reply's request mark, and whether it showed an empty board (receiver).
  uint64_t previous_request_mark_ = 0;
  bool previous_fill_zero_ = false;
  HomeSwitchTable home_switches_;
  RampGenerator ramps_;
  Backlash backlash_;
};

}  // namespace vaskel
