// The link start and the three link workers: the sender drains the send ring into output
// reports, one write in flight at a time; the write-completion worker notices the end of that
// write; the receiver reads input reports and dispatches them.
#include <cstring>

#include "device/link.h"
#include "platform/schedule_point.h"

namespace vaskel {

int32_t DeviceLink::StartLink() {
  // A board found resets both rings and the pending-reply table before its port is published
  // (OpenDevice, through ResetForNewConnection).
  OpenDevice();
  if (!device_connected()) return kNoBoard;
  stats_.OnConnected(services_.clock.TickCountMs());
  stats_logged_ms_ = services_.clock.TickCountMs();
  VASKEL_SCHEDULE_POINT(services_.workers, "link start: board opened");
  if (!workers_started_) {
    workers_started_ = true;
    Workers& workers = services_.workers;
    workers.Spawn("vaskel-recv", [this](bool may_block) { return ReceiverStep(may_block); });
    workers.Spawn(
        "vaskel-wdone", [this](bool may_block) { return WriteCompletionStep(may_block); },
        WorkerPriority::AboveNormal);
    workers.Spawn("vaskel-send", [this](bool may_block) { return SenderStep(may_block); });
  }
  return kLinkStarted;
}

void DeviceLink::ResetForNewConnection() {
  {
    std::lock_guard lock(receive_mutex_);
    receive_ring_.ResetRing();
  }
  {
    std::scoped_lock lock(producer_mutex_, consumer_mutex_);
    connection_epoch_.fetch_add(1, std::memory_order_acq_rel);
    // After a close that asked for a resynchronisation, the motion packets dropped here are
    // as lost to the board as the queue it has left: the rewind sends both again.
    if (resync_pending()) {
      segments_dropped_for_resync_.fetch_add(MotionSegmentsInSendRing(), std::memory_order_acq_rel);
    }
    send_ring_.ResetRing();
  }
  // Requests that died in the reset ring are never answered; their entries would otherwise
  // stay until the table is full and every later reply is dropped.
  pending_.Clear();
}

void DeviceLink::RewindSelectedSource(int32_t fill) {
  services_.client.RewindStream(fill);
  last_rewind_fill_.store(fill, std::memory_order_release);
  rewind_count_.fetch_add(1, std::memory_order_acq_rel);
  stats_.OnRewind();
}

std::shared_ptr<HidPort> DeviceLink::CurrentPort() {
  std::lock_guard lock(port_mutex_);
  return port_;
}

template <class Ready>
void DeviceLink::WaitForWork(bool may_block, uint32_t ms, Ready ready) {
  if (!may_block) return;
  // Tested under the wake lock: a wake between the test and the wait is not lost.
  std::unique_lock lock(wake_mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(ms), ready);
}

void DeviceLink::WakeWorkers() {
  // The change is made before this; taking the lock orders it against a worker's test, so
  // the worker either sees it or is already waiting when the notification comes.
  { std::lock_guard lock(wake_mutex_); }
  wake_.notify_all();
}

bool DeviceLink::WriteToAwait() {
  std::lock_guard lock(write_mutex_);
  return write_in_flight() && awaited_write_ != completed_write_;
}

bool DeviceLink::SenderStep(bool may_block) {
  const uint32_t begun = MonotonicMs();
  for (int writes = 0; writes < kMaxWritesPerStep;) {
    // A step ends within about one wait slice, however slowly the system takes each write
    // (Wine's HID stack: about ten a second), so a stop request is seen that soon.
    if (writes > 0 && MonotonicMs() - begun >= kWaitSliceMs) return true;
    switch (sender_phase_) {
      case SenderPhase::kAwaitWrite:
        // The next packet is taken only once the last write has ended: a write that sticks
        // keeps its own packet, to be written first on the next connection, and the packets
        // behind it stay in the ring.
        if (!AwaitWriteDone(may_block)) return true;
        if (result_owed_.exchange(false, std::memory_order_acq_rel)) {
          uint32_t result = hid_error::kNone;
          {
            std::lock_guard lock(write_mutex_);
            result = completed_result_;
          }
          // A write that failed on its way is this packet's failure, not the next one's.
          if (result == hid_error::kNone) {
            NoteDelivered();
          } else {
            OnWriteFailed(result);
          }
        }
        sender_phase_ = SenderPhase::kTake;
        break;
      case SenderPhase::kTake:
        // A packet kept after a failed write is written again before anything new is taken.
        if (advance_to_next() && !TakeSendPacket()) {
          WaitForWork(may_block, kEmptyRingWaitMs, [this] { return send_ring_.count() > 0; });
          return true;
        }
        sender_phase_ = SenderPhase::kAwaitConnection;
        break;
      case SenderPhase::kAwaitConnection:
        if (abandoned_write_.load(std::memory_order_acquire) && !SettleAbandonedWrite(may_block)) {
          return true;
        }
        if (!device_connected()) {
          WaitForWork(may_block, kWaitSliceMs, [this] { return device_connected(); });
          return true;
        }
        if (!holding_packet_.load(std::memory_order_acquire)) {
          // The board took the kept packet after all; the next comes from the new ring.
          sender_phase_ = SenderPhase::kTake;
          break;
        }
        if (HeldPacketIsStale()) {
          // The board of a plain reconnection has lost its queue and the stream is not
          // rewound: a few segments of the old trajectory would only jerk the machine before
          // the start-up stop. A resync's stop would clear the queue before the request
          // that measures it, and its own start-up stop comes a few writes behind; its
          // segments would reach a board that may have lost its queue with the link and run
          // them after a gap no count tells from a run without one: the rewind sends them
          // again after the stop. Other commands are still written.
          if (report_[1] == kOpMotionSegments && resync_pending()) {
            segments_dropped_for_resync_.fetch_add(kSegmentsPerMotionPacket,
                                                   std::memory_order_acq_rel);
          }
          DropHeldPacket();
          sender_phase_ = SenderPhase::kTake;
          break;
        }
        sender_phase_ = SenderPhase::kWrite;
        break;
      case SenderPhase::kWrite:
        // Monotonic: a step of the calendar clock is no stuck write.
        write_start_time_ = static_cast<int64_t>(services_.clock.MonotonicMicros() / 1000000);
        WriteReport();
        sender_phase_ = SenderPhase::kAwaitWrite;
        ++writes;
        break;
    }
  }
  return true;
}

bool DeviceLink::TakeSendPacket() {
  std::lock_guard lock(consumer_mutex_);
  const uint8_t* packet = send_ring_.Take();
  if (!packet) return false;
  // Copied now: after a reconnection the ring is reset and the slot is filled again, but a
  // kept packet goes out with the bytes it had when it was taken.
  report_[0] = 0;  // report id
  std::memcpy(report_.data() + 1, packet, kReportSize - 1);
  held_epoch_ = connection_epoch_.load(std::memory_order_acquire);
  holding_packet_.store(true, std::memory_order_release);
  return true;
}

bool DeviceLink::HeldPacketIsStale() const {
  if (held_epoch_ == connection_epoch_.load(std::memory_order_acquire)) return false;
  return report_[1] == kOpMotionSegments || (resync_pending() && report_[1] == kOpStopMotion);
}

void DeviceLink::DropHeldPacket() {
  holding_packet_.store(false, std::memory_order_release);
  advance_to_next_.store(true, std::memory_order_release);
  stats_.OnStalePacketDropped();
}

bool DeviceLink::AwaitWriteDone(bool may_block) {
  if (!write_in_flight()) return true;
  std::shared_ptr<HidPort> port = CurrentPort();
  if (!port) {
    // Only the sender closes the port, and a write it gave up on is settled apart.
    MarkWriteDone(0, hid_error::kNone);
    result_owed_.store(false, std::memory_order_release);
    return true;
  }
  if (port->WaitWriteDone(may_block ? kWaitSliceMs : 0)) {
    MarkWriteDone(0, port->LastWriteResult());
    return true;
  }
  const auto now = static_cast<int64_t>(services_.clock.MonotonicMicros() / 1000000);
  if (now - write_start_time_ < kWriteTimeoutSeconds) return false;
  // Stuck: the board's queue is sent again after the reconnection, and this packet with it.
  // The last fill is seconds old and the board may have run on since, so the first reply of
  // the next connection says how far to rewind (as after a run of failed writes); rewinding
  // by the old fill would run again what the board had already done.
  RequestResync();
  // The system may still deliver it before its own time-out: the next connection writes it
  // again only once it is known not to have gone.
  abandoned_port_ = port;
  abandoned_ms_ = MonotonicMs();
  abandoned_write_.store(true, std::memory_order_release);
  CloseDevice(LinkCloseReason::kStuckWrite);
  MarkWriteDone(0, hid_error::kNone);
  result_owed_.store(false, std::memory_order_release);
  // One failed write, told as a write on the closed link would tell it; the packet is kept.
  stats_.OnWriteFailure(hid_error::kInvalidHandle);
  write_error_count_.fetch_add(1, std::memory_order_acq_rel);
  services_.status.ShowSystemError(hid_error::kInvalidHandle);
  holding_packet_.store(true, std::memory_order_release);
  advance_to_next_.store(false, std::memory_order_release);
  return true;
}

bool DeviceLink::SettleAbandonedWrite(bool may_block) {
  if (!abandoned_port_->WaitWriteDone(may_block ? kWaitSliceMs : 0)) {
    if (MonotonicMs() - abandoned_ms_ < kAbandonedWriteLimitMs) return false;
    abandoned_port_.reset();  // a port that never lets go: the packet is written again
    abandoned_write_.store(false, std::memory_order_release);
    return true;
  }
  const uint32_t result = abandoned_port_->LastWriteResult();
  abandoned_port_.reset();
  if (result == hid_error::kNone && holding_packet_.load(std::memory_order_acquire)) {
    // The board took it after all: it is in the fill a resynchronisation measures, and
    // writing it again would run its segments twice.
    if (report_[1] == kOpMotionSegments) AddDeliveredSegments();
    if (report_[1] == kOpStopMotion) NoteStopDelivered();
    holding_packet_.store(false, std::memory_order_release);
    advance_to_next_.store(true, std::memory_order_release);
  }
  abandoned_write_.store(false, std::memory_order_release);
  return true;
}

// generation 0: whatever write is in flight (the sender's own view).
void DeviceLink::MarkWriteDone(uint64_t generation, uint32_t result) {
  std::lock_guard lock(write_mutex_);
  if (generation != 0 && generation != awaited_write_) return;
  completed_write_ = awaited_write_;
  completed_result_ = result;
  write_in_flight_.store(false, std::memory_order_release);
}

void DeviceLink::WriteReport() {
  uint32_t error = hid_error::kInvalidHandle;  // what a write on a closed link reports
  NoteWriteStarted();
  StageWrite();
  {
    std::lock_guard lock(write_mutex_);
    write_in_flight_.store(true, std::memory_order_release);
    std::shared_ptr<HidPort> port = CurrentPort();
    if (port) error = port->StartWrite(report_.data());
    if (error == hid_error::kIoPending) awaited_write_ = ++write_generation_;
  }
  switch (error) {
    case hid_error::kNone:
      holding_packet_.store(false, std::memory_order_release);
      NoteDelivered();
      RecordSent();
      advance_to_next_.store(true, std::memory_order_release);
      MarkWriteDone(0, hid_error::kNone);
      return;
    case hid_error::kIoPending:
      // The row of failures ends only once it is delivered: one that fails on its way counts.
      holding_packet_.store(false, std::memory_order_release);
      result_owed_.store(true, std::memory_order_release);
      RecordSent();
      advance_to_next_.store(true, std::memory_order_release);
      WakeWorkers();  // the completion worker waits for it
      return;
    default:
      MarkWriteDone(0, error);
      OnWriteFailed(error);
      return;
  }
}

void DeviceLink::OnWriteFailed(uint32_t error) {
  UnstageWrite();
  holding_packet_.store(true, std::memory_order_release);
  switch (error) {
    case hid_error::kDeviceNotConnected:
      stats_.OnWriteFailure(error);
      write_error_count_.store(0, std::memory_order_release);
      // A drop the board may have lived through: it ran on with what it held, which the start-up
      // stop will clear, so the next connection measures it and sends it again.
      RequestResync();
      CloseDevice(LinkCloseReason::kUnplugged);
      advance_to_next_.store(false, std::memory_order_release);
      return;
    default: {
      stats_.OnWriteFailure(error);
      const int32_t failures = write_error_count_.load(std::memory_order_acquire) + 1;
      write_error_count_.store(failures, std::memory_order_release);
      if (failures > kMaxWriteErrors) {
        RequestResync();
        CloseDevice(LinkCloseReason::kWriteFailures);
        write_error_count_.store(0, std::memory_order_release);
      }
      services_.status.ShowSystemError(error);
      advance_to_next_.store(false, std::memory_order_release);
      return;
    }
  }
}

void DeviceLink::RequestResync() {
  // A connection that closes before its resynchronisation measured, after the board took a
  // stop on it (its start-up stop), leaves the next one nothing to measure: that stop cleared
  // what the board held when the link first went down.
  if (resync_request_.load(std::memory_order_acquire) != 0 &&
      stops_delivered_.load(std::memory_order_acquire) != stops_before_connection_) {
    stop_cleared_unmeasured_.store(true, std::memory_order_release);
  }
  if (++resync_requests_made_ == 0) ++resync_requests_made_;
  resync_request_.store(resync_requests_made_, std::memory_order_release);
}

void DeviceLink::NoteWriteStarted() {
  const uint32_t epoch = connection_epoch_.load(std::memory_order_acquire);
  const uint32_t delivered = segments_delivered_.load(std::memory_order_acquire);
  if (epoch != written_epoch_) {
    written_epoch_ = epoch;
    configuration_reached_ = false;
    segments_before_configuration_.store(0, std::memory_order_release);
    delivered_before_connection_.store(delivered, std::memory_order_release);
    stops_before_connection_ = stops_delivered_.load(std::memory_order_acquire);
  }
  // Every earlier write has ended, so the count is what the board got ahead of this request.
  if (report_[1] == kOpStatusRequest) {
    const size_t slot = (report_[2] | report_[3] << 8) & (delivered_at_request_.size() - 1);
    delivered_at_request_[slot].store(delivered, std::memory_order_release);
    stops_at_request_[slot].store(stops_delivered_.load(std::memory_order_acquire),
                                  std::memory_order_release);
    stop_age_at_request_[slot].store(MonotonicMs() - last_stop_ms_.load(std::memory_order_acquire),
                                     std::memory_order_release);
  }
}

void DeviceLink::NoteDelivered() {
  write_error_count_.store(0, std::memory_order_release);  // the row of failures ends
  const bool motion = report_[1] == kOpMotionSegments;
  if (motion) AddDeliveredSegments();
  if (report_[1] == kOpStopMotion) NoteStopDelivered();
  if (configuration_reached_) return;
  if (!motion) {
    configuration_reached_ = true;
    return;
  }
  segments_before_configuration_.fetch_add(kSegmentsPerMotionPacket, std::memory_order_acq_rel);
}

std::array<std::array<int32_t, 6>, kSegmentsPerMotionPacket> DeviceLink::PacketSteps() const {
  std::array<std::array<int32_t, 6>, kSegmentsPerMotionPacket> steps{};
  for (int32_t k = 0; k < kSegmentsPerMotionPacket; ++k) {
    const uint8_t* b = report_.data() + 2 + kMotionSegmentBytes * k;
    for (size_t pair = 0; pair < 3; ++pair) {
      const uint8_t* g = b + 3 * pair;
      const uint32_t fields[2] = {((g[1] >> 4) & 0x0fu) << 8 | g[0], (g[1] & 0x0fu) << 8 | g[2]};
      for (size_t i = 0; i < 2; ++i) {
        const auto magnitude = static_cast<int32_t>(fields[i] & 0x7ffu);
        steps[static_cast<size_t>(k)][2 * pair + i] = (fields[i] & 0x800u) ? -magnitude : magnitude;
      }
    }
  }
  return steps;
}

void DeviceLink::AddDeliveredSegments() {
  const uint32_t at = segments_delivered_.load(std::memory_order_acquire);
  const auto steps = PacketSteps();
  for (int32_t k = 0; k < kSegmentsPerMotionPacket; ++k) {
    books_.AddSegment(at + static_cast<uint32_t>(k), steps[static_cast<size_t>(k)]);
  }
  // Published after the sums: a reader that sees the count sees the steps before it.
  segments_delivered_.fetch_add(kSegmentsPerMotionPacket, std::memory_order_acq_rel);
  segments_upper_.store(at + kSegmentsPerMotionPacket, std::memory_order_release);
}

void DeviceLink::StageWrite() {
  // The board may take a packet before its write is known to have ended: a reply may show it.
  const uint32_t delivered = segments_delivered_.load(std::memory_order_acquire);
  const uint32_t stops = stops_delivered_.load(std::memory_order_acquire);
  if (report_[1] == kOpMotionSegments) {
    books_.Stage(delivered, PacketSteps());
    segments_upper_.store(delivered + kSegmentsPerMotionPacket, std::memory_order_release);
  } else if (report_[1] == kOpStopMotion) {
    books_.AddStop(stops + 1, delivered);
    stops_upper_.store(stops + 1, std::memory_order_release);
  }
}

void DeviceLink::UnstageWrite() {
  segments_upper_.store(segments_delivered_.load(std::memory_order_acquire),
                        std::memory_order_release);
  stops_upper_.store(stops_delivered_.load(std::memory_order_acquire), std::memory_order_release);
}

void DeviceLink::NoteStopDelivered() {
  last_stop_ms_.store(MonotonicMs(), std::memory_order_release);
  last_stop_tick_ms_.store(services_.clock.TickCountMs(), std::memory_order_release);
  const uint32_t stops = stops_delivered_.load(std::memory_order_acquire) + 1;
  books_.AddStop(stops, segments_delivered_.load(std::memory_order_acquire));
  // Published after its slot: a reply that counts this stop finds where it cut the stream.
  stops_delivered_.store(stops, std::memory_order_release);
  stops_upper_.store(stops, std::memory_order_release);
}

bool DeviceLink::WriteCompletionStep(bool may_block) {
  uint64_t generation = 0;
  {
    std::lock_guard lock(write_mutex_);
    if (write_in_flight() && awaited_write_ != completed_write_) generation = awaited_write_;
  }
  std::shared_ptr<HidPort> port = generation != 0 ? CurrentPort() : nullptr;
  if (!port) {
    // Nothing to wait for, or a write of a port already let go (the sender ends that one).
    WaitForWork(may_block, kWaitSliceMs,
                [this] { return WriteToAwait() && CurrentPort() != nullptr; });
    return true;
  }
  if (port->WaitWriteDone(may_block ? kWaitSliceMs : 0)) {
    // The write has ended and is not yet marked so: the sender still sees it in flight.
    VASKEL_SCHEDULE_POINT(services_.workers, "write completion: ended, not yet marked");
    MarkWriteDone(generation, port->LastWriteResult());
    WakeWorkers();
  }
  return true;
}

bool DeviceLink::ReceiverStep(bool may_block) {
  // Taken before the port: a close from here on marks what is read as the old link's.
  const uint32_t closes = close_count_.load();
  std::shared_ptr<HidPort> port = device_connected() ? CurrentPort() : nullptr;
  if (!port) {
    WaitForWork(may_block, kWaitSliceMs,
                [this] { return device_connected() && CurrentPort() != nullptr; });
    return true;
  }
  // Waits for the first report only; whatever else is already there is taken with it.
  int timeout_ms = may_block ? static_cast<int>(kWaitSliceMs) : 0;
  for (int reads = 0; reads < kMaxReadsPerStep; ++reads, timeout_ms = 0) {
    const int n = port->Read(read_buffer_.data(), timeout_ms);
    if (n < 0) {
      // Closed under us; wait for the sender to notice and the host to reconnect.
      WaitForWork(may_block, kWaitSliceMs, [this, &port] { return CurrentPort() != port; });
      return true;
    }
    // An empty read commits nothing; the next read goes into the same slot.
    if (n == 0) return true;
    // A report that ends after the link closed belongs to the old connection.
    if (!device_connected()) return true;
    VASKEL_SCHEDULE_POINT(services_.workers, "receiver: report read");
    HandleReport(read_buffer_.data(), static_cast<size_t>(n), closes);
  }
  return true;
}

void DeviceLink::HandleReport(const uint8_t* report, size_t size, uint32_t closes) {
  if (size > kReportSize) size = kReportSize;
  std::lock_guard lock(receive_mutex_);
  report_close_count_ = closes;
  uint8_t* slot = receive_ring_.CurrentWriteSlot();
  std::memcpy(slot, report, size);
  // A short report must not leave an older report's bytes behind it.
  std::memset(slot + size, 0, kReportSize - size);
  last_report_size_ = size;
  RecordReceived(slot, size);
  receive_ring_.Commit();
  DispatchReply();
  report_close_count_.reset();
}

}  // namespace vaskel
