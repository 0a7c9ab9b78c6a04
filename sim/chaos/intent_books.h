#pragma once
// The books of the host's intent. Every entry the chaos host queues carries a serial number in
// its segment tag; the engine tells which ring entry went into each segment it streams, the
// bus hands those tags with the packet to the board, and the board logs the tags of what it
// ran. So every segment the board runs is known by origin: each host entry must run at most
// once and in order, with the steps it was queued with, nothing streamed before a stop may be
// streamed after it, and at the end every entry has run or was given up by a rule.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "motion/segment_encoder.h"
#include "motion/stream_observer.h"
#include "plugin/plugin_context.h"
#include "sim/board/board_simulator.h"
#include "sim/chaos/current_tag_check.h"

namespace vaskel::chaos {

class IntentBooks : public StreamObserver {
 public:
  static constexpr uint64_t kHostTag = 1ull << 60;
  static constexpr uint64_t kPluginTag = 2ull << 60;  // a jog's or take-up's own entry

  IntentBooks(PluginContext& ctx, sim::BoardSimulator& board) : ctx_(ctx), board_(board) {}

  // The host queued entry `serial` (from 1) with these steps by axis.
  void NoteQueued(uint32_t serial, const std::array<int32_t, 6>& steps);
  // The plug-in dropped the host's entries between these slots unsent.
  void NoteDiscarded(int32_t from_slot, int32_t to_slot);

  void OnMotionPacket(const uint8_t* body, const std::array<StreamedSegment, 7>& segments) override;
  void OnStreamCut() override;
  // An operator stop (an E-stop a tick has seen, a stop, a reset, the link's own program
  // stop): nothing queued or asked for before it may stream after it, whatever the link's
  // state.
  void NoteOperatorStop();
  void CheckPaddingEndsStream(const std::array<StreamedSegment, 7>& segments);
  // A jog, home or probe asked for: the plug-in's own rings may move again.
  void NoteMoveAsked() { plugin_closed_ = false; }

  // The tags of the motion packet the sender is writing now: the one it just took from the
  // ring, or the one it kept from before.
  std::array<uint64_t, 7> TagsForWrite();
  // After every step of any kind: notes a packet taken and held, and checks what the board ran.
  void Observe();
  // Before an Update that may start the link: what a ring reset would drop.
  void SnapshotRing();
  // The link started without a resynchronisation: the snapshot is dropped by rule.
  void ExcuseSnapshot();
  bool SnapshotHoldsHostEntries() const;
  void Excuse(const std::array<uint64_t, 7>& tags);
  // The host entries the board's reset is dropping now: its counts cannot show it (the
  // simulator judges when), so their loss is excused.
  void ExcuseResetLosses() {
    excuse_reset_ = true;
    Observe();
    excuse_reset_ = false;
  }
  // A board reset just after a stop to counts that such a stop may have left: the plug-in
  // may take what ran since the last reply for cut by the stop and send it again, so this
  // entry (if the host's) may run once more.
  void ExcuseRunAgain(uint64_t tag);
  // The same for the queue an unplug is dropping now, where the board loses its power too.
  void ExcuseUnplugLosses() {
    excuse_unplug_ = true;
    Observe();
    excuse_unplug_ = false;
  }
  // A reply with a lying fill is about to measure the board for a resynchronisation: the
  // rewind takes its word, so what was streamed so far may be skipped.
  void NoteLyingMeasurement() { lie_floor_ = most_encoded_; }
  // At the end: every entry the host queued ran once, or was dropped by a stop, a discard or
  // a rule.
  void CheckAccounted();
  // Also hands every segment that left the board's queue, in order, to `hook`.
  // The channels the board counts (a board with fewer step channels).
  void set_counted_channels(uint8_t mask) { counted_channels_ = mask; }
  void set_segment_hook(std::function<void(const sim::ExecutedSegment&)> hook) {
    segment_hook_ = std::move(hook);
  }

  bool failed() const { return !failure_.empty(); }
  const std::string& failure() const { return failure_; }
  const std::string& invariant() const { return invariant_; }
  uint64_t host_segments_run() const { return host_run_; }
  uint32_t stream_cuts() const { return cuts_; }  // stop commands the plug-in queued
  // Host entries lost with a board's queue where the loss left no trace in its counts.
  uint32_t invisible_losses() const { return invisible_losses_; }
  // Entries that move nothing run twice or not at all by a resynchronisation that could not
  // tell.
  uint32_t repeated_pauses() const { return repeated_pauses_; }
  // One moving host entry lost with a board's queue, behind nothing but pauses: its trace in
  // the counts is one segment, which the plug-in takes for the segment the board holds in hand,
  // so it runs on one segment behind the board (the entry lost, and the last run sent again by
  // the next rewind).
  uint32_t in_hand_losses() const { return in_hand_losses_; }
  // Host entries a lying fill let the board's full queue drop, or a rewind measured on it skip.
  uint32_t lie_losses() const { return lie_losses_; }

 private:
  void CheckIdleDirections(const uint8_t* body);
  enum : uint8_t {
    kQueued = 0,
    kEncoded = 1,
    kRun = 2,
    kDiscarded = 4,
    kExcused = 8,
    kMovesNothing = 16,  // as sent to the board
    kMayRunAgain = 32    // see ExcuseRunAgain
  };
  void Fail(const char* invariant, const std::string& text);
  void TrackTakes();
  void CheckRun(const sim::ExecutedSegment& s);
  void CloseLostQueue();
  // A segment a stop cut after all its steps on counted channels had run.
  bool RanWhole(const sim::ExecutedSegment& s) const;
  uint32_t SerialAt(int32_t slot) const;

  PluginContext& ctx_;
  sim::BoardSimulator& board_;
  std::vector<std::array<int32_t, 6>> steps_;  // by serial - 1
  std::vector<uint8_t> state_;                 // by serial - 1
  // Entries a stop cut in hand, by serial, with the steps of them that ran: streamed again,
  // such an entry may carry just the rest.
  std::map<uint32_t, sim::ChannelSteps> cut_ran_;
  uint8_t counted_channels_ = 0x3f;
  std::vector<std::array<uint64_t, 7>> slot_tags_ =
      std::vector<std::array<uint64_t, 7>>(PacketRing::kSlots);
  std::array<uint64_t, 7> held_tags_{};
  uint32_t starts_seen_ = 0;
  int32_t read_seen_ = 0;
  uint32_t most_encoded_ = 0;   // the highest serial streamed so far
  uint32_t closed_ = 0;         // serials up to this were streamed before a stop
  uint32_t stop_floor_ = 0;     // serials up to this were queued before an operator stop
  bool plugin_closed_ = false;  // an operator stop came since the last jog, home or probe
  // The direction bit every field without steps carries: the one last sent on channel 0
  // with steps. The board's idle direction lines must not toggle.
  uint16_t shared_direction_ = 0;
  uint32_t last_run_ = 0;
  uint32_t cuts_ = 0;                    // stops streamed so far
  std::vector<uint32_t> cuts_at_queue_;  // by serial - 1
  uint64_t host_run_ = 0;
  std::vector<uint64_t> snapshot_;
  std::vector<sim::ExecutedSegment> lost_queue_;
  uint32_t invisible_losses_ = 0;
  uint32_t repeated_pauses_ = 0;
  uint32_t in_hand_losses_ = 0;
  bool may_repeat_last_ = false;  // see in_hand_losses
  bool excuse_reset_ = false;
  bool excuse_unplug_ = false;
  uint32_t lie_floor_ = 0;  // entries up to this were streamed before a lying measurement
  uint32_t lie_losses_ = 0;
  CurrentTagCheck current_tag_;
  std::string invariant_, failure_;
  std::function<void(const sim::ExecutedSegment&)> segment_hook_;
};

}  // namespace vaskel::chaos
