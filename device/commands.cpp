// Command packets, the board's start-up configuration, reply dispatch and the per-Update
// service step.
#include <cstring>

#include "device/link.h"
#include "device/little_endian.h"
#include "host/truncate.h"
#include "platform/schedule_point.h"

namespace vaskel {

void DeviceLink::SendCommand(uint8_t opcode, int32_t value) {
  {
    std::lock_guard lock(producer_mutex_);
    uint8_t* slot = send_ring_.CurrentWriteSlot();
    slot[0] = opcode;
    WriteLittleEndian(slot + 1, 4, static_cast<uint32_t>(value));
    send_ring_.Commit();
  }
  WakeWorkers();
}

uint8_t* DeviceLink::BeginPacket(uint8_t opcode) {
  producer_mutex_.lock();  // released by CommitPacket
  uint8_t* slot = send_ring_.CurrentWriteSlot();
  slot[0] = opcode;
  return slot + 1;
}

uint8_t* DeviceLink::BeginMotionPacket() {
  uint8_t* body = BeginPacket(kOpMotionSegments);
  std::memset(body, 0, 63);
  return body;
}

void DeviceLink::CommitPacket() {
  send_ring_.Commit();
  producer_mutex_.unlock();
  WakeWorkers();
  // The sender may write it, and the board answer it, before the caller goes on. The motion
  // code commits under its own lock: the simulator lets workers run here only within Update.
  VASKEL_SCHEDULE_POINT(services_.workers, "packet committed");
}

int32_t DeviceLink::segments_awaiting_write() {
  std::lock_guard lock(producer_mutex_);
  return MotionSegmentsInSendRing();
}

int32_t DeviceLink::MotionSegmentsInSendRing() const {
  // Under the producer lock no slot in the counted range is being filled; the sender only
  // reads them. A few packets normally, a device buffer's worth behind a hanging write.
  int32_t segments = 0;
  const int32_t count = send_ring_.count();
  for (int32_t i = 0, at = send_ring_.read_index(); i < count; ++i, ++at) {
    if (send_ring_.SlotAt(at)[0] == kOpMotionSegments) segments += kSegmentsPerMotionPacket;
  }
  return segments;
}

uint32_t DeviceLink::AxisFlagMask() const {
  const HostBlock& engine = services_.host.engine;
  uint32_t mask = 0;
  for (size_t i = 0; i < 5; ++i) {
    if (engine.Get(engine::kAxisFlagB[i])) mask |= 1u << i;
    if (engine.Get(engine::kAxisFlagA[i])) mask |= 1u << (5 + i);
  }
  return mask;
}

void DeviceLink::SendStatusRequest(StatusRole role) {
  const int32_t sequence = sequence_.value();
  const uint32_t outputs = services_.client.OutputWord();
  const auto spindle = static_cast<uint32_t>(services_.client.SpindleValue()) & 0xffffu;
  const uint32_t mask = AxisFlagMask();
  uint8_t* p = BeginPacket(kOpStatusRequest);
  // Everything streamed so far is committed ahead of the request, and reaches the board first;
  // under the producer lock nothing is streamed between the mark and the request.
  sent_at_request_[static_cast<uint32_t>(sequence) & (sent_at_request_.size() - 1)].store(
      services_.client.SegmentsSentMark(), std::memory_order_release);
  p = WriteLittleEndian(p, 2, static_cast<uint32_t>(sequence));
  p = WriteLittleEndian(p, 4, outputs);
  p = WriteLittleEndian(p, 2, spindle);
  WriteLittleEndian(p, 4, mask);
  // Registered before the commit, so the reply cannot come before its entry.
  const auto handler = role == StatusRole::kResyncBackup ? &DeviceLink::OnResyncBackupThunk
                       : role == StatusRole::kAfterStop  ? &DeviceLink::OnAfterStopThunk
                                                         : &DeviceLink::OnStatusThunk;
  pending_.RegisterReply(sequence, {handler, this}, kOpStatusRequest);
  NoteRequest(sequence, kOpStatusRequest);
  CommitPacket();
  // Published: the sender may write it and its reply be handled before the counter moves on.
  VASKEL_SCHEDULE_POINT(services_.workers, "status request: committed");
  last_request_ms_ = services_.clock.TickCountMs();
  sequence_.Next();
}

void DeviceLink::SendSyncQuery(uint8_t opcode) {
  const int32_t sequence = sequence_.value();
  pending_.RegisterReply(sequence, {&DeviceLink::IgnoreReply, nullptr}, opcode);
  NoteRequest(sequence, opcode);
  SendCommand(opcode, sequence);
  sequence_.Next();
}

void DeviceLink::SendStartupConfiguration(bool with_stop) {
  // After a close for failed writes the first reply rewinds the stream, and the reply to the
  // request that ends the configuration aligns the positions. A second measuring request
  // just ahead of the stop answers for the first if its reply is lost.
  const bool resync = resync_pending();
  if (resync) SendStatusRequest();
  SendSyncQuery(kOpSyncQueryA);
  SendSyncQuery(kOpSyncQueryB);
  SendCommand(kOpConfigReset, 0);
  const int64_t step_rate = kStepRate;
  const int64_t step_clock = ((step_rate * 8) * (int64_t{1} << 31)) / 24000000;
  SendCommand(kOpSetStepClock, static_cast<int32_t>(static_cast<uint32_t>(step_clock)));
  const double period = services_.host.planner.Get(planner::kSegmentPeriod);
  SendCommand(kOpSetPeriodTicks, TruncToInt32(static_cast<double>(step_rate) * period * 4.0));
  SendCommand(kOpConfigOptionA, 24);
  SendCommand(kOpConfigOptionB, 0);
  if (resync) SendStatusRequest(StatusRole::kResyncBackup);
  if (with_stop) SendCommand(kOpStopMotion, 0);
  SendCommand(kOpConfigCommit, 0);
  SendStatusRequest(resync ? StatusRole::kAfterStop : StatusRole::kAny);
}

void DeviceLink::DispatchReply() {
  const uint8_t* report = receive_ring_.Take();
  if (!report) return;
  const size_t size = last_report_size_;
  if (size < kReplyHeaderSize) return;  // too short to name its request
  uint32_t sequence = 0;
  ReadLittleEndian(report + 1, 2, sequence);
  dispatching_sequence_ = static_cast<int32_t>(sequence);
  const ReplyHandler handler = pending_.TakeReplyHandler(static_cast<int32_t>(sequence));
  if (handler) handler(report + kReplyHeaderSize, size - kReplyHeaderSize);
}

void DeviceLink::ServiceLink() {
  LogLinkEvents();
  if (!device_connected()) {
    StartLink();
    needs_configuration_ = true;
    VASKEL_SCHEDULE_POINT(services_.workers, "service: link started");
  }
  // A board that reset while connected lost its configuration with its counts, and its
  // queue: the abort that stopped the program has stopped it already, and a stop in the
  // configuration would clear what streams since (the host's next program) unseen.
  bool after_reset = false;
  if (reconfigure_.exchange(false, std::memory_order_acq_rel) && device_connected() &&
      link_running() && !resync_pending()) {
    needs_configuration_ = true;
    after_reset = true;
  }
  if (device_connected() && needs_configuration_) {
    SendStartupConfiguration(!after_reset);
    needs_configuration_ = false;
    VASKEL_SCHEDULE_POINT(services_.workers, "service: board configured");
  } else if (device_connected() && !link_running() &&
             (ask_again_.exchange(false, std::memory_order_acq_rel) ||
              services_.clock.TickCountMs() - last_request_ms_ >= kAlignRetryMs)) {
    // The reply that aligns (or resynchronises) was lost: without another request the link
    // would stay connected and never run.
    SendStatusRequest(resync_pending() ? StatusRole::kAfterStop : StatusRole::kAny);
    return;
  }
  if (link_running()) SendStatusRequest();
}

}  // namespace vaskel
