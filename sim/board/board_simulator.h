#pragma once
// A model of the vaskel motion board: takes 65-byte output reports, executes motion segments
// one per 3 ms of its clock, and answers status and sync requests with 65-byte input reports.
// Time advances lazily from the clock whenever the board is touched, so on a FakeClock it is
// fully deterministic. Misbehaviour (stalled or refused writes, lost or late replies, unplug)
// can be switched on for tests. Every member is safe to call from any thread.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "device/opcodes.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "sim/board/board_habits.h"
#include "sim/board/machine_model.h"
#include "sim/board/segment_decode.h"

namespace vaskel::sim {

struct BoardOptions {
  size_t queue_capacity = 4096;
  uint32_t segment_ms = 3;
  // A reply crosses the wire in this long: it is not there to read before.
  uint32_t reply_wire_ms = 0;
  MachineModel machine;
  BoardHabits habits;
};

struct BoardStats {
  std::array<uint64_t, 256> packets{};  // well-formed packets by opcode
  uint64_t malformed = 0;               // wrong length, non-zero report id or unknown opcode
  // The queue ran empty on a segment that still moved an axis: the host stopped feeding a
  // motion in progress. A move that ends cleanly ends on empty segments and does not count.
  uint64_t underruns = 0;
  // Runs of empty segments between two moving ones, no stop between them: the motion paused
  // on its way (a backlash take-up's own padding pauses it twice).
  uint64_t pauses = 0;
  size_t highest_fill = 0;
  uint64_t segments_received = 0;
  uint64_t segments_executed = 0;
  uint64_t segments_lost = 0;  // arrived while the queue was full
  uint64_t replies_queued = 0;
  uint64_t replies_dropped = 0;
  uint64_t writes_refused = 0;
  uint64_t writes_stalled = 0;
  // Steps by channel: executed, and dropped from the queue by a stop or with an unplug. A
  // segment a stop cuts counts its steps that ran as executed and the rest as stopped.
  std::array<int64_t, 6> steps_executed{};
  std::array<int64_t, 6> steps_stopped{};
  std::array<int64_t, 6> steps_unplugged{};
  std::array<int64_t, 6> steps_reset{};  // dropped from the queue by a Reset
};

// One well-formed packet as the board took it: its opcode and its first 32-bit operand.
struct PacketRecord {
  uint8_t opcode = 0;
  int32_t value = 0;
};

// A segment that left the board's queue, with the tag its packet was given on the way in
// (0: none): run, or dropped by a stop, with an unplug or by a reset.
// kOverflowed: arrived while the queue was full, and dropped.
enum class SegmentFate : uint8_t { kRan, kStopped, kUnplugged, kReset, kOverflowed };
struct ExecutedSegment {
  uint64_t tag = 0;
  ChannelSteps steps{};
  SegmentFate fate = SegmentFate::kRan;
  // Of a dropped segment, the steps that ran before the drop cut it in hand (a board that
  // counts through its segments); the rest, steps - ran, never ran. All 0 but for that one.
  ChannelSteps ran{};
  // Stop commands the board had taken as the segment left its queue (one it finished past a
  // stop: as the stop came): the records are read later, when the board may have taken more.
  uint64_t stops = 0;
};

struct StatusRequestRecord {
  uint16_t sequence = 0;
  uint32_t output_word = 0;
  uint16_t spindle = 0;
  uint32_t axis_mask = 0;
};

// The board as it answered a status request: the tag of the last segment it ran that moved,
// its fill and where its tools stood.
struct StatusSnapshot {
  uint16_t sequence = 0;
  uint64_t last_moving_tag = 0;
  size_t fill = 0;  // the segments it held, the one in hand included
  size_t reported_fill = 0;
  MechanicalPlay tool;
  // A stop, an unplug or a reset dropped the queue since that segment ran: the run it belonged
  // to is over.
  bool dropped_since_moving = false;
  // Its counts as reported, the stop commands it had taken, and how many segments had left its
  // queue; whole_counts leave out what the reply showed of the segment in hand.
  ChannelSteps counts{};
  ChannelSteps whole_counts{};
  uint64_t stops = 0;
  uint64_t segments_left = 0;
};

class BoardSimulator {
 public:
  explicit BoardSimulator(Clock& clock, BoardOptions options = {});
  BoardSimulator(const BoardSimulator&) = delete;
  BoardSimulator& operator=(const BoardSimulator&) = delete;

  // One output report from the host. kNone when the board took it (malformed ones included),
  // kIoPending when writes are stalled (the report is not taken), the refusal code while
  // writes are refused, kDeviceNotConnected while unplugged.
  uint32_t Write(const uint8_t* report, size_t length);

  // Takes the oldest reply that is due, waiting up to timeout_ms of real time (negative: until
  // one comes). Returns kReportSize, 0 on time-out, -1 when the connection `generation` has
  // ended (unplug) or *cancel became true.
  int TakeReply(uint8_t out[kReportSize], int timeout_ms, uint64_t generation,
                const std::atomic<bool>* cancel = nullptr);
  // Waits up to timeout_ms while writes are stalled; true once they are not (or the
  // connection ended, or *cancel became true).
  bool WaitWhileStalled(int timeout_ms, uint64_t generation, const std::atomic<bool>* cancel);
  // Wakes every waiter so it rechecks its cancel flag.
  void Kick();

  // Board state, brought up to the clock first.
  size_t Fill();           // segments held, the one in hand included
  size_t QueuedReplies();  // due or not, composed or not
  ChannelSteps Counts();   // as a reply composed now would report them
  uint32_t InputWord();
  std::optional<StatusRequestRecord> LastStatusRequest();
  std::optional<int32_t> ConfigWord(uint8_t op);  // latest value of a simple command
  BoardStats Stats();
  // The packets taken since the last call, oldest first (the latest kPacketLogSize at most).
  std::vector<PacketRecord> TakePacketLog();
  static constexpr size_t kPacketLogSize = 65536;
  // The next motion packet written carries these tags, one per segment, through the queue to
  // the log of segments run or dropped (kept only once asked for).
  void TagNextPacket(const std::array<uint64_t, kSegmentsPerPacket>& tags);
  std::vector<ExecutedSegment> TakeExecuted();
  void SetCount(int channel, int32_t value);
  // The tool of `channel` sits `play` steps of slack away from its motor; it starts pressed
  // in the positive direction or the negative one.
  void SetPlay(int channel, int32_t play, bool pressing_positive);
  MechanicalPlay Tool();
  // The latest of the last answers to status request `sequence`, if still kept.
  std::optional<StatusSnapshot> StatusFor(uint16_t sequence);
  // Segments that have left the queue so far (run, stopped, dropped or overflowed).
  uint64_t SegmentsLeft();
  void SetMachine(const MachineModel& machine);
  // Pins in mask read as the given levels whatever the machine says.
  void OverrideInputs(uint32_t mask, uint32_t levels);

  // Misbehaviour on demand.
  void StallWrites(bool stalled);
  void RefuseWrites(uint32_t code, int count);  // count < 0: until cleared
  void DropReplies(int count);                  // count < 0: until cleared
  void DelayReplies(uint32_t ms);
  // A board slower than real time: one segment per `ms` of its clock from now on.
  void SetSegmentMs(uint32_t ms);
  void ClearFaults();
  // Unplug ends the connection: writes fail with kDeviceNotConnected, reads end, the queues
  // are lost, or with `runs_on` (a USB drop, the board still powered) the board keeps its
  // queue and executes it meanwhile. Replug starts a new connection; counts and configuration
  // survive.
  void Unplug(bool runs_on = false);
  void Replug();
  bool plugged();
  uint64_t generation();
  // The board resets while its connection stays up (a watchdog or a brown-out the bus does
  // not see, the USB side powered on its own): the queue and the replies not yet read are
  // lost, the counts start again from 0 and the configuration is as after power-up. Writes go
  // on being taken: nothing tells the host but the replies. A reset the bus sees is an
  // Unplug and a Replug.
  void Reset();

 private:
  struct Reply {
    uint32_t due_ms;
    std::array<uint8_t, kReportSize> bytes;
    bool composed = true;  // a status reply still to compose waits for compose_ms
    uint32_t compose_ms = 0;
    uint32_t delay_ms = 0;  // crossing the wire once composed
    bool sync = false;
  };

  // Composes the replies due on the way, each at its own time, and runs the queue to now.
  void AdvanceLocked();
  void RunQueueLocked(uint32_t to_ms);
  void ComposeLocked(Reply& reply);
  // What of the segment in hand the counts show, by channel.
  ChannelSteps InHandLocked() const;
  ChannelSteps ReportedCountsLocked() const;
  // Drops the segment in hand cut where it is: what of it ran stands.
  void CutInHandLocked(std::array<int64_t, 6>& dropped, SegmentFate fate);
  uint32_t SegmentUs(uint32_t ms) const;
  void ExecuteLocked(const ChannelSteps& s);
  // Empties the queue, counting what it held into `dropped`.
  void DropQueueLocked(std::array<int64_t, 6>& dropped, SegmentFate fate);
  void HandlePacketLocked(const uint8_t* p);
  // Queues the status reply, composed now or, by habit, as it is sent.
  void AnswerStatusRequestLocked(const uint8_t* p);
  void QueueReplyLocked(Reply reply);
  uint32_t InputWordLocked() const;
  bool ConnectionEndedLocked(uint64_t generation, const std::atomic<bool>* cancel) const;

  Clock& clock_;
  const size_t capacity_;
  uint32_t segment_ms_;
  const uint32_t reply_wire_ms_;
  const BoardHabits habits_;
  uint64_t compose_state_;
  uint32_t last_compose_ms_ = 0;
  uint32_t segment_us_;
  std::mutex mutex_;
  std::condition_variable changed_;
  MachineModel machine_;
  std::deque<ChannelSteps> queue_;
  std::deque<uint64_t> tags_;  // beside queue_
  std::array<uint64_t, kSegmentsPerPacket> next_tags_{};
  bool keep_executed_ = false;
  uint64_t segments_left_ = 0;  // records of segments that left the queue, kept or not
  std::vector<ExecutedSegment> executed_;
  std::deque<Reply> replies_;
  std::deque<PacketRecord> log_;
  ChannelSteps counts_{};
  MechanicalPlay tool_;
  uint64_t last_moving_tag_ = 0;
  bool dropped_since_moving_ = false;
  std::deque<StatusSnapshot> status_log_;
  uint32_t last_ms_ = 0;
  uint32_t credit_us_ = 0;  // of the segment in hand, in µs of the host's clock
  bool moved_since_stop_ = false;
  // The segment in hand runs on past a stop, which came with this many stops taken before.
  bool finishing_after_stop_ = false;
  uint64_t finishing_stops_ = 0;
  bool idle_since_move_ = false;
  uint32_t override_mask_ = 0;
  uint32_t override_levels_ = 0;
  std::optional<StatusRequestRecord> last_status_;
  std::array<std::optional<int32_t>, 256> config_{};
  BoardStats stats_;
  bool stalled_ = false;
  uint32_t refuse_code_ = 0;
  int refuse_count_ = 0;
  int drop_count_ = 0;
  uint32_t reply_delay_ms_ = 0;
  bool plugged_ = true;
  uint64_t generation_ = 1;
};

}  // namespace vaskel::sim
