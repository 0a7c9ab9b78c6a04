#pragma once
// The device link: discovery, the packet rings and their worker threads, command packets and
// reply dispatch, and the processing of the board's status replies.
//
// The members are defined by job: discovery.cpp (finding, opening and closing the board),
// link_workers.cpp (link start and the sender, write-completion and receiver steps),
// commands.cpp (packets, the start-up configuration, reply dispatch and the service step) and
// status_reply.cpp (the board's status replies). The pending-reply table, the seen-device
// table and the sequence counter have their own headers.
//
// The port's WaitWriteDone is called by both the sender and the write-completion worker; a
// backend answers it from the state of its one write in flight.
//
// The link is a transport: it frames, numbers and flow-controls packets and keeps the board's
// status. It is given the host's blocks, the status line, the platform services it uses and a
// LinkClient for the layer that streams through it; it knows nothing of what a segment means.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/board_link.h"
#include "device/counts_judge.h"
#include "device/delivery_books.h"
#include "device/flight_recorder.h"
#include "device/flight_recorder_dump.h"
#include "device/link_client.h"
#include "device/link_stats.h"
#include "device/opcodes.h"
#include "device/packet_ring.h"
#include "device/pending_reply_table.h"
#include "device/seen_device_table.h"
#include "device/sequence_counter.h"
#include "host/host_block.h"
#include "host/status_line.h"
#include "platform/clock.h"
#include "platform/diagnostic_log.h"
#include "platform/hid.h"
#include "platform/worker.h"

namespace vaskel {

// What the link is given at construction.
struct LinkServices {
  const HostBlocks& host;
  StatusLine& status;
  Clock& clock;
  Workers& workers;
  std::function<HidBus&()> bus;  // looked up at every discovery pass
  const std::atomic<int32_t>& device_buffer_ms;
  LinkClient& client;
  DiagnosticLog& log;  // the flight recorder's dumps and the stats lines
};

// Why the link closed, as the diagnostic log tells it.
enum class LinkCloseReason : uint8_t { kClosed, kUnplugged, kStuckWrite, kWriteFailures };

class DeviceLink final : public BoardLink {
 public:
  static constexpr uint16_t kVendor = 0x8888;
  static constexpr uint16_t kProduct = 0x0006;
  static constexpr uint16_t kRelease = 0x0100;
  static constexpr int32_t kStepRate = 400000;  // the board's step clock, steps per second
  static constexpr int64_t kWriteTimeoutSeconds = 4;
  // A write given up on is the system's until it ends; past this it counts as never written.
  static constexpr uint64_t kAbandonedWriteLimitMs = 10000;
  static constexpr int32_t kMaxWriteErrors = 20;  // the next failure in a row closes the link
  static constexpr size_t kStatusPayloadSize = 30;
  static constexpr size_t kReplyHeaderSize = 3;  // report id and sequence number

  static constexpr int32_t kLinkStarted = 0;
  static constexpr int32_t kNoBoard = 2;

  // A host period the host never set (or spoilt) falls back to the board's own.
  static constexpr double kDefaultSegmentPeriod = 0.003;

  static constexpr uint32_t kStatsPeriodMs = 10000;

  explicit DeviceLink(LinkServices services)
      : services_(std::move(services)), recording_(services_.log.enabled()) {}
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // InitControl: prepares the write and read completion events.
  void PrepareIo();
  // StopPlug, after the workers have ended: closes the board so nothing outlives an unload.
  void Shutdown();
  // Once per host Update: start the link, configure the board, poll its status.
  void ServiceLink();
  // PostInitControl (through the motion reset).
  void ResetSequence() { sequence_.Reset(); }

  // Packet producers. Any thread may send a simple command; a motion packet is begun and
  // committed on the tick's thread, and no other producer interleaves with it.
  void SendCommand(uint8_t opcode, int32_t value) override;
  uint8_t* BeginPacket(uint8_t opcode);   // returns byte 1 of the slot; CommitPacket ends it
  uint8_t* BeginMotionPacket() override;  // returns byte 1 of the slot, bytes 1..63 zeroed
  void CommitPacket() override;
  // What a status reply may tell while a resynchronisation is pending: a reply to a request
  // sent before the start-up stop measures what the board lost; one sent after it cannot, as
  // the stop has cleared the board's queue. The second measuring request only stands in for a
  // lost first one.
  enum class StatusRole : uint8_t { kAny, kResyncBackup, kAfterStop };
  void SendStatusRequest(StatusRole role = StatusRole::kAny);
  // Without `with_stop` only after a board reset while connected, its queue already empty.
  void SendStartupConfiguration(bool with_stop = true);

  // Discovery and connection; StartLink returns kLinkStarted or kNoBoard.
  int32_t StartLink();
  void OpenDevice();
  void CloseDevice(LinkCloseReason reason = LinkCloseReason::kClosed);

  // Receiver side: stores one input report of `size` bytes and dispatches it.
  void HandleReport(const uint8_t* report, size_t size) {
    HandleReport(report, size, close_count_.load());
  }
  void OnStatusReply(const uint8_t* payload, size_t size, StatusRole role = StatusRole::kAny);
  // DeviceBufferSetting over the segment period, in segments.
  int32_t NeedsDataLimit() const override;
  double SegmentPeriod() const;  // the host's, in seconds, or the board's own
  // Resynchronisations whose measuring replies were all lost while the board may still have
  // held segments: the host's program was stopped and the axes lost their reference.
  uint32_t unmeasured_resyncs() const {
    return unmeasured_resyncs_.load(std::memory_order_relaxed);
  }
  static constexpr std::string_view kPositionLostText =
      "vaskel device lost its queue, position may be off, home your axises!";
  // Resynchronisations whose measuring reply showed counts the steps written to the board do
  // not account for (it reset, or its counts jumped), and boards seen to reset while connected:
  // stopped as an unmeasured one is.
  uint32_t position_lost_resyncs() const {
    return position_lost_resyncs_.load(std::memory_order_relaxed);
  }
  static constexpr std::string_view kBoardLostPositionText =
      "vaskel device lost its position, home your axises!";
  // Resynchronisations whose counts were good but did not tell which segments the board ran
  // (a stop cut it inside a segment): the program was stopped, the positions kept.
  uint32_t resume_unknown_stops() const {
    return resume_unknown_stops_.load(std::memory_order_relaxed);
  }
  // Of those, the ones that left a backlash take-up's play unknown.
  uint32_t resume_unknown_play() const {
    return resume_unknown_play_.load(std::memory_order_relaxed);
  }
  static constexpr std::string_view kResumeUnknownText =
      "vaskel device stopped the program, it cannot resume exactly: positions kept";
  int32_t segments_awaiting_write() override;
  // A measured resynchronisation waits for the counts after its start-up stop (receiver's;
  // for a single-threaded test or simulator).
  bool rewind_owed_for_test() const { return owed_rewind_.active; }
  int32_t unconfirmed_fill() const override {
    return std::max(device_fill_.load(std::memory_order_acquire), int32_t{0}) +
           static_cast<int32_t>(segments_delivered_.load(std::memory_order_acquire) -
                                delivered_at_fill_.load(std::memory_order_acquire));
  }

  // The board's latest status.
  bool device_connected() const { return device_connected_.load(std::memory_order_acquire); }
  bool link_running() const override { return link_running_.load(std::memory_order_acquire); }
  int32_t device_fill() const override { return device_fill_.load(std::memory_order_acquire); }
  int32_t board_count(int axis) const override {
    return board_count_[axis].load(std::memory_order_acquire);
  }
  int32_t axis_offset(int axis) const { return axis_offset_[axis].load(std::memory_order_acquire); }
  void set_axis_offset(int axis, int32_t v) override {
    axis_offset_[axis].store(v, std::memory_order_release);
  }
  // One atomic add each, so a home completing on the tick's thread is never lost under a
  // read-modify-write.
  void AddToAxisOffsets(const std::array<int32_t, 6>& delta) override {
    for (size_t i = 0; i < 6; ++i) axis_offset_[i].fetch_add(delta[i], std::memory_order_acq_rel);
  }
  uint32_t input_word() const override { return input_word_.load(std::memory_order_acquire); }
  int32_t sequence_counter() const override { return sequence_.value(); }
  int32_t last_status_sequence() const override {
    return last_status_sequence_.load(std::memory_order_acquire);
  }

  // Link state, for the motion engine's diagnostics and for tests.
  bool resync_pending() const { return resync_request_.load(std::memory_order_acquire) != 0; }
  bool needs_configuration() const { return needs_configuration_; }
  bool write_in_flight() const { return write_in_flight_.load(std::memory_order_acquire); }
  // The sender has yet to learn how its last pending write ended, or waits for a write it gave
  // up on to end before it writes on the new connection.
  bool sender_has_write_to_settle() const {
    return result_owed_.load(std::memory_order_acquire) ||
           abandoned_write_.load(std::memory_order_acquire);
  }
  bool advance_to_next() const { return advance_to_next_.load(std::memory_order_acquire); }
  int32_t write_error_count() const { return write_error_count_.load(std::memory_order_acquire); }
  bool workers_started() const { return workers_started_; }
  // Link starts that found a board (each resets the rings), for tests and the simulator.
  uint32_t link_starts() const { return connection_epoch_.load(std::memory_order_acquire); }
  // The packet the sender has taken and not yet written (a failed write keeps it), if any;
  // for the simulator, which steps the sender on the same thread.
  const uint8_t* held_packet_for_test() const {
    return holding_packet_.load(std::memory_order_acquire) ? report_.data() + 1 : nullptr;
  }
  uint32_t rejected_replies() const { return rejected_replies_.load(std::memory_order_relaxed); }
  // Rewinds of the selected segment source asked for by the link, and the fill of the last.
  uint32_t rewind_count() const { return rewind_count_.load(std::memory_order_acquire); }
  int32_t last_rewind_fill() const { return last_rewind_fill_.load(std::memory_order_acquire); }
  void set_sequence_counter(int32_t value) { sequence_.Set(value); }  // for tests

  // Diagnostics (link_log.cpp). Figures: since load, or since the last stats line.
  LinkStats& stats() { return stats_; }
  LinkFigures Figures(bool whole_run);
  const FlightRecorder& recorder() const { return recorder_; }
  // Host's thread (the service step and Shutdown): writes what has to be logged, a close's
  // stats line and flight-recorder dump, or the stats line that is due.
  void LogLinkEvents();
  PendingReplyTable& pending_replies() { return pending_; }
  const SeenDeviceTable& seen_devices() const { return seen_; }

  PacketRing& send_ring() { return send_ring_; }
  PacketRing& receive_ring() { return receive_ring_; }

  // Test hooks: stand in for the status handler.
  void set_status_for_test(int32_t fill, bool running) {
    device_fill_.store(fill, std::memory_order_release);
    link_running_.store(running, std::memory_order_release);
  }
  void set_input_word_for_test(uint32_t word) {
    input_word_.store(word, std::memory_order_release);
  }
  void set_board_count_for_test(int axis, int32_t count) {
    board_count_[axis].store(count, std::memory_order_release);
  }
  // Replies handed in with counts no stream moved: the link's own check for a board that
  // reset while connected stays out of the way (the resynchronising check stays on).
  void set_judge_counts_for_test(bool on) { judge_counts_ = on; }

 private:
  // Closes the port and marks the link down; the callers say whether the user hears of it.
  void ReleasePort();
  // A board was found: both rings and the pending-reply table start afresh.
  void ResetForNewConnection();
  enum class SenderPhase { kAwaitWrite, kTake, kAwaitConnection, kWrite };
  static constexpr uint32_t kWaitSliceMs = 100;
  static constexpr uint32_t kEmptyRingWaitMs = 3;
  static constexpr int kMaxWritesPerStep = 64;
  static constexpr int kMaxReadsPerStep = 64;

  // Worker steps (link_workers.cpp).
  bool SenderStep(bool may_block);
  bool WriteCompletionStep(bool may_block);
  bool ReceiverStep(bool may_block);
  bool TakeSendPacket();
  // The packet the sender holds was taken before the last link start, and is a motion packet
  // no resynchronisation will rewind the stream over, or a stop on a resynchronisation's
  // connection (it would clear the queue ahead of the request that measures it).
  bool HeldPacketIsStale() const;
  void DropHeldPacket();
  bool AwaitWriteDone(bool may_block);
  // A write given up on may still reach the board: false while it has not ended.
  bool SettleAbandonedWrite(bool may_block);
  void WriteReport();
  // The packet being written failed; it is kept and written again.
  void OnWriteFailed(uint32_t error);
  // Sender only: the next connection measures what the board held before its start-up stop.
  void RequestResync();
  void NoteWriteStarted();
  void NoteDelivered();
  uint32_t MonotonicMs() { return static_cast<uint32_t>(services_.clock.MonotonicMicros() / 1000); }
  // Segments in the motion packets waiting in the send ring; the producer lock is held.
  int32_t MotionSegmentsInSendRing() const;
  void MarkWriteDone(uint64_t generation, uint32_t result);
  // Waits up to `ms` for `ready` (a test of shared state), woken by WakeWorkers.
  template <class Ready>
  void WaitForWork(bool may_block, uint32_t ms, Ready ready);
  void WakeWorkers();
  bool WriteToAwait();
  std::shared_ptr<HidPort> CurrentPort();

  // `closes`: close_count_ as it was before the report was read.
  void HandleReport(const uint8_t* report, size_t size, uint32_t closes);
  // The report being handled was read before the link last closed.
  bool ReportPredatesClose() const {
    return report_close_count_ && close_count_.load() != *report_close_count_;
  }
  void DispatchReply();
  void RewindSelectedSource(int32_t fill);
  // A resynchronisation could not measure what the board lost, or found that the board's counts
  // no longer account for what it was sent; `why` is logged.
  void OnPositionLost(const std::string& why, std::string_view text = kPositionLostText);
  // The board's counts show it lost what it held (it reset, or its counts jumped): counted
  // with the resynchronisations that found so.
  void OnBoardLostPosition(const std::string& why);
  // The counts fit every run that lost between `lost_least` and `lost_most` of the segments
  // streamed: positions kept, the program stopped, take-ups settled where those runs agree.
  void OnResumeUnknown(const std::string& why, int32_t lost_least, int32_t lost_most);
  // Receiver: an agreeing reply that the guessed anchor does not place exactly.
  void NoteBoardHabits(const ReplyCounts& reply);
  // The counts by axis: reversed where the host says, and channels 3 and 4 mapped onto axes
  // 3..5.
  std::array<int32_t, 6> AxisCounts(const std::array<int32_t, 6>& raw) const;
  // Receiver: the first reply of a connection sets the offsets and marks the link running;
  // false when the link closed meanwhile.
  bool Align(const std::array<int32_t, 6>& counts);
  // Receiver: the host's reversal bytes changed since the last reply.
  void NoteReversals();
  // Receiver: a rewind the last connection left unsettled, settled by this reply's counts
  // where nothing was sent since its stop; true when that lost the position.
  bool SettleLeftOverRewind(const ReplyCounts& seen, uint32_t resync_request);
  // A measuring reply read after the start-up stop, whose counts some run since the base
  // reaches: the segments sent since the base, else -1.
  int32_t SentSinceBaseIfReadAfterStop(const ReplyCounts& seen) const;
  // Every stop since the base's up to stop number `stops` found the board at rest with nothing
  // sent since the base.
  bool StopsSinceBaseCutNothing(uint32_t stops) const;
  // A measuring reply the base's counts bear out when read as composed after every stop sent
  // by the time it was read.
  bool ReadAfterStopFits(const ReplyCounts& seen) const;
  // A measuring reply from a board that lost its queue with the link (a fill within the packet
  // this connection wrote ahead of its configuration, counts on the way since the base): the
  // segments sent since the base, settled by the counts after the stop; else -1.
  int32_t SentSinceBaseIfQueueLost(const ReplyCounts& seen) const;
  bool PowerUpCounts(const std::array<int32_t, 6>& raw) const;
  static ReplyCounts AsReadAfterStop(const ReplyCounts& seen);
  static constexpr int32_t kNoRun = -1;
  static constexpr int32_t kRunsAmbiguous = -2;
  static constexpr int32_t kLostSinceLastStop = 0xffff;  // reaches back to the last stop
  // The shortest and longest runs the counts fit, whole or ending inside a segment.
  struct RunRange {
    int32_t least = kNoRun;
    int32_t most = kNoRun;
  };
  // The run since the base, up to the last stop, that the counts show (RanByCounts).
  int32_t RanSinceBase(uint32_t sent_since, const std::array<int32_t, 6>& raw,
                       RunRange* fits = nullptr) const;
  // What a resynchronising reply measured: the segments the board lost, whether that is known,
  // counts or a fill what it was sent cannot account for, and, from counts after the stop,
  // whether they fit a run (or fit more than one).
  struct ResyncMeasure {
    int32_t lost = 0;
    bool measured = true;
    std::string mismatch;
    bool after_stop_counted = false;
    bool resume_unknown = false;
    bool read_after_stop = false;  // the counts are those the start-up stop left
    int32_t lost_least = 0;        // where several runs fit: the least and most they lost
    int32_t lost_most = 0;
    bool settled_after_stop = false;  // read after the stop: the counts after it settle the run
    int32_t dropped = 0;              // motion segments dropped from the send ring for it
    bool owed_unsettled = false;      // the last connection's rewind was still owed
  };
  // Only the reply after the start-up stop came back: its counts measure what ran.
  void MeasureAfterStopOnly(const ReplyCounts& seen, uint32_t held_at_most, ResyncMeasure& m) const;
  // Receiver: the reply that measures a resynchronisation.
  void OnResyncReply(const ReplyCounts& seen, StatusRole role, int32_t previous_fill,
                     uint32_t previous_delivered_at_fill, uint32_t resync_request);
  // A measuring reply whose counts the before-stop reading rejects, read as one composed after
  // the start-up stop, or from a board that lost its queue with the link.
  void ReadMismatchAfterStop(const ReplyCounts& seen, std::string& mismatch, CountsVerdict& verdict,
                             ResyncMeasure& m) const;
  // What the measurement leads to: a lost position, a program stopped with the positions
  // kept, a rewind now or one owed to the counts after the stop.
  void ActOnResyncMeasure(const ReplyCounts& seen, StatusRole role, const std::string& mismatch,
                          const ResyncMeasure& m);
  // The reply being handled, with what the link had delivered around it.
  // Receiver: also learns which channels the board counts.
  ReplyCounts SeenReply(uint32_t fill, const std::array<int32_t, 6>& raw, uint32_t now);
  // The channels the displayed positions read, by the axes enabled.
  uint8_t ReadChannels() const;
  // Receiver: a measuring reply's counts against the base; empty when they agree or cannot be
  // compared, else what was expected and found; `verdict` says which.
  // At the first reply after the start-up stop: rewinds by what the board held at the
  // measurement and never ran; counts that match no run of it lost the position.
  // True when they lost the position.
  bool SettleOwedRewind(const std::array<int32_t, 6>& raw);
  // The counts the board shows after running `ran` segments past `from` are `raw`.
  bool CountsAfterRun(uint32_t from, int32_t ran, const std::array<int32_t, 6>& raw,
                      bool guessed) const;
  // The counts fit a run with a gap: the board lost its queue with the link, then ran part of
  // the packet this connection wrote ahead of its configuration.
  bool GappedRunFits(uint32_t from, const std::array<int32_t, 6>& raw) const;
  // Runs `a` and `b` past `from` leave the counts alike on every channel.
  bool SameCounts(uint32_t from, int32_t a, int32_t b) const;
  // `least`: no run shorter than this is taken; `ahead`: segments `from` lies before the point
  // the elapsed time counts from.
  RunRange RunsThatFit(uint32_t from, int32_t least, int32_t longest,
                       const std::array<int32_t, 6>& raw) const;
  // `fits`: where several runs fit, the range they span.
  int32_t RanByCounts(uint32_t from, int32_t held, const std::array<int32_t, 6>& raw,
                      uint32_t elapsed_ms, int32_t least = 0, int32_t ahead = 0,
                      RunRange* fits = nullptr) const;
  // The stand-in measurement came back after the first: its counts tell how far the board
  // had run at least before the stop, which a board that resets after the stop hides.
  void NoteRunBeforeStop(const uint8_t* counts, uint32_t stops_at_request);
  std::string CountsMismatch(const ReplyCounts& reply, CountsVerdict& verdict, CountsBase& next);
  // Receiver, every other reply: true when this reply and the one before it agree with each
  // other and not with the base, so the board reset (or its counts jumped) while connected.
  // One odd reply alone is not believed. `why` gets what was expected and found.
  bool BoardResetSeen(const ReplyCounts& reply, std::string& why);
  // Sender: a motion packet (report_) reached the board.
  void AddDeliveredSegments();
  // The steps of the motion packet in report_, segment by segment.
  std::array<std::array<int32_t, 6>, kSegmentsPerMotionPacket> PacketSteps() const;
  // Sender: the packet in report_ is being written (the board may take it before the write
  // is known to have ended), or its write failed.
  void StageWrite();
  void UnstageWrite();
  // Sender: a stop command reached the board.
  void NoteStopDelivered();
  void SendSyncQuery(uint8_t opcode);
  static void OnStatusThunk(void* user, const uint8_t* payload, size_t size);
  static void OnResyncBackupThunk(void* user, const uint8_t* payload, size_t size);
  static void OnAfterStopThunk(void* user, const uint8_t* payload, size_t size);
  static void IgnoreReply(void* user, const uint8_t* payload, size_t size) {}
  uint32_t AxisFlagMask() const;
  void ApplyChannelMapping(std::array<int32_t, 6>& counts) const;
  // The flight recorder's two writers and the request table behind reply latencies.
  void RecordSent();
  void RecordReceived(const uint8_t* report, size_t size);
  void NoteRequest(int32_t sequence, uint8_t opcode);
  void WriteStatsLine(uint32_t now_ms);
  void WriteDump(const std::string& reason, uint32_t now_ms);
  // Host's thread, at the end of a discovery pass (discovery_log.cpp): what it saw, when that
  // differs from the last pass, or the connection it opened.
  void LogDiscovery(HidBus& bus, const std::vector<HidDeviceInfo>& interfaces,
                    const HidDeviceInfo* opened, bool port_opened);
  void AddDumpMark(uint32_t time_ms, std::string text);
  void LogResyncs();

  LinkServices services_;

  // Diagnostics.
  const bool recording_;  // the flight recorder runs only while there is a log to dump to
  FlightRecorder recorder_;
  LinkStats stats_;
  static constexpr size_t kRequestSlots = 1024;
  // sequence | opcode << 16, and the commit time, of the latest request in each slot.
  std::array<std::atomic<uint32_t>, kRequestSlots> request_info_{};
  std::array<std::atomic<uint32_t>, kRequestSlots> request_ms_{};
  std::atomic<uint32_t> closes_posted_{0};
  std::atomic<LinkCloseReason> close_reason_{LinkCloseReason::kClosed};
  uint32_t closes_logged_ = 0;    // host's thread
  uint32_t stats_logged_ms_ = 0;  // host's thread
  uint64_t dumped_packets_ = 0;   // host's thread: packets both ways at the last dump
  // Connection diagnostics, host's thread but for the close's time, stamped where it closes.
  std::string discovery_logged_;
  std::vector<DumpMark> dump_marks_;
  uint32_t resyncs_logged_ = 0;
  std::atomic<int64_t> close_wall_ms_{0};
  std::atomic<uint32_t> close_tick_ms_{0};
  std::atomic<bool> device_connected_{false};
  std::atomic<bool> link_running_{false};
  // Every close counts here, so a reply read before a close can be told apart from one after.
  std::atomic<uint32_t> close_count_{0};
  // Set while a report is dispatched (receiver, under receive_mutex_); a status handed in
  // directly has no read time.
  std::optional<uint32_t> report_close_count_;
  std::atomic<int32_t> device_fill_{0};
  std::atomic<uint32_t> unmeasured_resyncs_{0};
  std::atomic<int32_t> board_count_[6] = {};
  std::atomic<int32_t> axis_offset_[6] = {};
  std::atomic<uint32_t> input_word_{0};
  std::array<uint8_t, 6> reversal_seen_{};  // receiver only
  std::atomic<uint32_t> rejected_replies_{0};
  std::atomic<uint32_t> rewind_count_{0};
  std::atomic<int32_t> last_rewind_fill_{0};

  // Host's thread only.
  static constexpr uint32_t kAlignRetryMs = 500;  // no reply to align on: ask again
  SequenceCounter sequence_;
  uint32_t last_request_ms_ = 0;
  bool needs_configuration_ = false;
  bool workers_started_ = false;
  SeenDeviceTable seen_;

  PendingReplyTable pending_;

  // The open board. The sender closes it while the receiver reads from it, so each user holds
  // its own reference for the length of a call.
  std::mutex port_mutex_;
  std::shared_ptr<HidPort> port_;

  // Wakes the workers: a committed packet, a link opened or closed, a write started.
  std::mutex wake_mutex_;
  std::condition_variable wake_;

  // Sender state.
  std::atomic<bool> write_in_flight_{false};
  std::atomic<bool> advance_to_next_{true};
  std::atomic<int32_t> write_error_count_{0};
  // The resynchronisation asked for by the last close after too many failed writes, by number
  // (0: none), so a reply clears only the request it consumed.
  std::atomic<uint32_t> resync_request_{0};
  // Segments of motion packets a link start dropped from the send ring while a resync was
  // pending; the resynchronising reply rewinds by them as well as by the board's fill.
  std::atomic<int32_t> segments_dropped_for_resync_{0};
  // The motion segments written on this connection ahead of its first command: what a
  // resynchronising reply's fill would at least have shown, when every such reply is lost.
  std::atomic<int32_t> segments_before_configuration_{0};
  // Motion segments delivered to the board in all (wrapping), the count when each status
  // request went out (by sequence, modulo the slots), when the request behind the last
  // processed fill went out, and when this connection's first write began: the board can hold
  // no more than that fill and what was delivered after its request.
  std::atomic<uint32_t> segments_delivered_{0};
  std::array<std::atomic<uint32_t>, 1024> delivered_at_request_{};
  std::atomic<uint32_t> delivered_at_fill_{0};
  std::atomic<uint32_t> delivered_before_connection_{0};
  // The channel steps of all delivered segments before each running count (wrapping sums, by
  // count modulo the slots), and the stop commands delivered, in all and when each status
  // request went out: between two replies with no stop between them, the board's counts move
  // by exactly the steps of the segments it consumed.
  static constexpr uint32_t kStepHistory = DeliveryBooks::kHistory;
  DeliveryBooks books_;
  CountsJudge judge_{books_};
  std::atomic<uint32_t> stops_delivered_{0};
  // What the board may have taken: the counts above and the packet being written.
  std::atomic<uint32_t> segments_upper_{0};
  std::atomic<uint32_t> stops_upper_{0};
  uint32_t stops_before_connection_ = 0;  // sender only
  std::atomic<bool> stop_cleared_unmeasured_{false};
  std::array<std::atomic<uint32_t>, 1024> stops_at_request_{};
  // The stream's segment count as each status request was committed, by sequence.
  std::array<std::atomic<uint64_t>, 1024> sent_at_request_{};
  // Receiver: what the counts were seen to be, and a reply's counts that disagreed with that,
  // awaiting a second reply to bear them out.
  CountsBase counts_base_;
  std::array<int32_t, 6> last_raw_{};  // the last reply's counts (receiver)
  bool counts_seen_ = false;
  uint8_t counting_channels_ = 0;  // channels whose count has been seen to move
  // A reply has shown a habit other than whole counts and a fill with the segment in hand:
  // the guessed anchor no longer tells runs apart (receiver).
  bool board_habits_seen_ = false;
  CountsBase suspect_base_;
  // Receiver to the host's thread: the board reset while connected and wants its start-up
  // configuration again.
  std::atomic<bool> reconfigure_{false};
  bool judge_counts_ = true;
  // The next alignment keeps the offsets: the measured counts bore them out, or lay within
  // the bounds the stops since the last counts leave.
  bool keep_offsets_ = false;
  bool aligned_ = false;  // an alignment has set the offsets (receiver)
  // A measured resynchronisation's rewind, held until the counts after the start-up stop show
  // how much of what the board held at the measurement it ran before the stop reached it
  // (receiver).
  struct OwedRewind {
    bool active = false;
    int32_t held = 0;     // segments the board held at the measurement
    int32_t dropped = 0;  // motion packets lost with the send ring, sent again in any case
    uint32_t measured_ms = 0;
    uint32_t consumed = 0;  // what the board had consumed at the measurement
    uint32_t stops = 0;     // the stops delivered before it
    int32_t least_ran = 0;  // a later reply before the stop showed the board had run this many
    int32_t in_hand = 0;    // `consumed` lies this far before the fill's (a segment in hand)
    bool read_after_stop = false;  // measured by a reply read after the stop
  };
  // Receiver: the reply after a stop came too soon for the board to have finished the
  // segment the stop may have let run; true when it is to be asked again instead.
  bool MayBeFinishingAfterStop(uint32_t fill, size_t slot);
  // Whether counts are those of a board that powered up at this connection's start and ran some
  // of what it was sent since.
  bool CountsFitPowerUp(const std::array<int32_t, 6>& raw) const;
  // How long the board ran from a measurement until the last stop reached it.
  uint32_t RunTimeBeforeStop(uint32_t measured_ms) const;
  static constexpr int32_t kSettleWaits = 8;
  int32_t settle_waits_ = 0;  // receiver
  // A stop may let the segment in hand run on: its longest (a slow board clock included).
  static constexpr uint32_t kFinishAfterStopMs = 10;
  // How long after the last stop went out each status request was written (by sequence).
  std::array<std::atomic<uint32_t>, 1024> stop_age_at_request_{};
  std::atomic<uint32_t> last_stop_ms_{0};       // sender's monotonic ms
  std::atomic<uint32_t> last_stop_tick_ms_{0};  // and on the tick count
  // Receiver to the host's thread: a status request is wanted at once (the link is not yet
  // running, and the board may still have been moving).
  std::atomic<bool> ask_again_{false};
  OwedRewind owed_rewind_;
  bool position_lost_shown_ = false;  // the next alignment leaves the status line to it
  std::atomic<uint32_t> position_lost_resyncs_{0};
  std::atomic<uint32_t> resume_unknown_stops_{0};
  std::atomic<uint32_t> resume_unknown_play_{0};
  uint32_t written_epoch_ = 0;          // sender only
  bool configuration_reached_ = false;  // sender only
  uint32_t resync_requests_made_ = 0;   // sender only
  SenderPhase sender_phase_ = SenderPhase::kAwaitWrite;
  int64_t write_start_time_ = 0;  // monotonic seconds
  // The sender's pending write whose end it has not yet looked at, and the port of a write it
  // gave up on, kept until that write ends.
  std::atomic<bool> result_owed_{false};
  std::atomic<bool> abandoned_write_{false};
  std::shared_ptr<HidPort> abandoned_port_;    // sender only
  uint32_t abandoned_ms_ = 0;                  // sender only
  std::array<uint8_t, kReportSize> report_{};  // the packet being written, kept for a retry
  // Link starts so far (bumped with the ring reset, under the ring locks), and the one the
  // held packet was taken under.
  std::atomic<uint32_t> connection_epoch_{0};
  uint32_t held_epoch_ = 0;
  std::atomic<bool> holding_packet_{false};  // taken and not yet written
  // Write generations: the completion worker clears WriteInFlight only for the write it
  // waited on, never for one the sender started since.
  std::mutex write_mutex_;
  uint64_t write_generation_ = 0;
  uint64_t awaited_write_ = 0;
  uint64_t completed_write_ = 0;
  uint32_t completed_result_ = hid_error::kNone;  // how the completed write ended

  // Receiver state.
  std::array<uint8_t, kReportSize> read_buffer_{};
  // A successful StartLink resets the receive ring while the receiver may commit into it.
  std::mutex receive_mutex_;
  size_t last_report_size_ = 0;
  int32_t dispatching_sequence_ = 0;  // of the reply being dispatched
  std::atomic<int32_t> last_status_sequence_{0};

  // The send ring has two producers (the host's thread, and the receiver for the stop command
  // of a limit trip); a packet is built from its slot to its commit under this lock.
  std::mutex producer_mutex_;
  // The sender's Take and the ring reset of a new connection must not interleave.
  std::mutex consumer_mutex_;
  PacketRing send_ring_;
  PacketRing receive_ring_;
};

}  // namespace vaskel
