#include "sim/chaos/faulty_link.h"

#include <algorithm>
#include <cstring>

#include "device/opcodes.h"
#include "sim/board/segment_decode.h"
#include "sim/board/sim_hid_bus.h"

namespace vaskel::chaos {
namespace {

constexpr int32_t kFailuresThatClose = 21;  // the link's rule: 20 failed writes in a row are borne

}  // namespace

class FaultyPort : public HidPort {
 public:
  FaultyPort(FaultyBus& bus, uint64_t generation, uint64_t connection)
      : bus_(bus), generation_(generation), connection_(connection) {
    bus_.ports_.push_back(this);
  }
  ~FaultyPort() override {
    auto& ports = bus_.ports_;
    ports.erase(std::remove(ports.begin(), ports.end(), this), ports.end());
  }
  uint32_t StartWrite(const uint8_t report[kReportSize]) override {
    if (closed_) return hid_error::kInvalidHandle;
    if (bus_.board_.generation() != generation_) return hid_error::kDeviceNotConnected;
    ActiveFaults& f = bus_.faults_;
    if (f.refuse_left > 0) {
      --f.refuse_left;
      bus_.NoteWriteResult(f.refuse_code);
      return f.refuse_code;
    }
    const FaultyBus::Tags tags = bus_.TagsForWrite(report);
    if (f.stuck || bus_.port_ != World::Port::kImmediate) {
      // Behind the call the report crosses the wire, unless the board stalls it.
      std::memcpy(pending_.data(), report, kReportSize);
      pending_tags_ = tags;
      has_pending_ = true;
      was_stuck_ = f.stuck;
      started_ms_ = bus_.clock_.TickCountMs();
      result_noted_ = false;
      due_ms_ = started_ms_ + bus_.write_wire_ms_;
      return hid_error::kIoPending;
    }
    const uint32_t result = bus_.Write(report, generation_, connection_, tags);
    bus_.NoteWriteResult(result);
    return result;
  }
  bool WaitWriteDone(uint32_t) override {
    Settle();
    return !has_pending_;
  }
  // Ends the write in flight if it can end now.
  void Settle() {
    if (!has_pending_) return;
    const StuckEnd end = bus_.faults_.stuck_end;
    if (bus_.board_.generation() != generation_) {
      // Ended by the unplug, never delivered: the plug-in keeps the packet.
      has_pending_ = false;
      result_ = hid_error::kDeviceNotConnected;
      return;
    }
    if (closed_) {
      // Windows cancels it on the close, and the cancelled write never completes.
      if (bus_.port_ == World::Port::kWindows) return;
      if (was_stuck_ && end != StuckEnd::kDeliveredLate) {
        has_pending_ = false;  // given up on, and dropped unwritten
        result_ = hid_error::kInvalidHandle;
        return;
      }
      // The kernel holds it and delivers it, even past the plug-in's giving up on it.
    }
    if (bus_.faults_.stuck) {
      was_stuck_ = true;
      return;
    }
    if (static_cast<int32_t>(bus_.clock_.TickCountMs() - due_ms_) < 0) return;
    has_pending_ = false;
    if (was_stuck_ && end == StuckEnd::kFailed && !closed_) {
      result_ = hid_error::kGenFailure;
      return;
    }
    result_ = bus_.Write(pending_.data(), generation_, connection_, pending_tags_);
  }
  uint32_t LastWriteResult() override {
    // Once per write, and not for a write of a port the plug-in has let go.
    if (!closed_ && !result_noted_) bus_.NoteWriteResult(result_);
    result_noted_ = true;
    return result_;
  }
  int Read(uint8_t report[kReportSize], int) override {
    if (closed_) return -1;
    return bus_.Read(report, generation_);
  }
  uint32_t OpenWriteAgeMs() const {
    if (closed_ || !has_pending_) return 0;
    return bus_.clock_.TickCountMs() - started_ms_;
  }
  void Close() override {
    if (!closed_ && bus_.board_.generation() == generation_) {
      if (has_pending_) {
        // Closed on a write the board stalls: the plug-in gave up waiting for it.
        if (was_stuck_ || bus_.faults_.stuck) ++bus_.stalled_closes_;
        // Given up on a write still in flight: the link counts it as one failed write.
        ++bus_.failures_in_row_;
        bus_.last_write_failed_ = false;
      } else if (bus_.last_write_failed_) {
        if (bus_.failures_in_row_ < kFailuresThatClose) ++bus_.early_failure_closes_;
        bus_.failures_in_row_ = 0;
      }
    }
    closed_ = true;
  }

 private:
  FaultyBus& bus_;
  const uint64_t generation_;
  const uint64_t connection_;
  bool closed_ = false;
  bool has_pending_ = false;
  bool was_stuck_ = false;
  uint32_t started_ms_ = 0;
  bool result_noted_ = true;
  uint32_t due_ms_ = 0;
  uint32_t result_ = hid_error::kNone;
  std::array<uint8_t, kReportSize> pending_{};
  FaultyBus::Tags pending_tags_{};
};

void FaultyBus::DeliverDue() {
  // Settling may end a port's write and with it nothing else: the list stays as it is.
  for (FaultyPort* port : ports_) port->Settle();
}

void FaultyBus::NoteWriteResult(uint32_t result) {
  last_write_failed_ = false;
  if (result == hid_error::kNone || result == hid_error::kDeviceNotConnected) {
    failures_in_row_ = 0;
  } else if (result != hid_error::kIoPending) {
    ++failures_in_row_;
    last_write_failed_ = true;
  }
}

uint32_t FaultyBus::OldestOpenWriteMs() const {
  uint32_t oldest = 0;
  for (const FaultyPort* port : ports_) oldest = std::max(oldest, port->OpenWriteAgeMs());
  return oldest;
}

std::vector<HidDeviceInfo> FaultyBus::Enumerate() {
  if (!board_.plugged()) return {};
  return {{sim::kBoardVendor, sim::kBoardProduct, sim::kBoardRelease, sim::SimHidBus::kBoardPath}};
}

std::unique_ptr<HidPort> FaultyBus::Open(const std::string& path) {
  if (path != sim::SimHidBus::kBoardPath || !board_.plugged()) return nullptr;
  // Replies of an earlier connection never reach a new one.
  held_.clear();
  return std::make_unique<FaultyPort>(*this, board_.generation(), ++connections_);
}

void FaultyBus::NoteRequest(const uint8_t* report) {
  const uint8_t op = report[1];
  if (op != kOpStatusRequest && op != kOpSyncQueryA && op != kOpSyncQueryB) return;
  const uint32_t sequence = static_cast<uint32_t>(report[2] | report[3] << 8);
  if (seen_requests_[sequence] == request_epoch_) ++repeated_requests_;
  seen_requests_[sequence] = request_epoch_;
  // The counter wraps after 65535 requests; a new lap may use every number again.
  if (sequence == 0xffff) ++request_epoch_;
}

void FaultyBus::NoteConnectionStart(const uint8_t* report, uint64_t connection, const Tags& tags) {
  if (connection != connection_seen_) {
    connection_seen_ = connection;
    awaiting_configuration_ = true;
    kept_pending_ = {};
    kept_pending_tags_.clear();
  }
  if (!awaiting_configuration_) return;
  const uint8_t op = report[1];
  if (op == kOpMotionSegments) {
    sim::AddPacketSteps(report + 2, kept_pending_);
    kept_pending_tags_.push_back(tags);
    return;
  }
  awaiting_configuration_ = false;
  // A status request first is a resynchronisation: its rewind sends those steps again.
  if (op == kOpStatusRequest) return;
  for (int c = 0; c < 6; ++c) kept_dropped_[c] += kept_pending_[c];
  if (books_ != nullptr) {
    for (const Tags& t : kept_pending_tags_) books_->Excuse(t);
  }
}

FaultyBus::Tags FaultyBus::TagsForWrite(const uint8_t* report) {
  if (report[1] != kOpMotionSegments || books_ == nullptr) return {};
  return books_->TagsForWrite();
}

uint32_t FaultyBus::Write(const uint8_t* report, uint64_t generation, uint64_t connection,
                          const Tags& tags) {
  if (report[1] == kOpMotionSegments) board_.TagNextPacket(tags);
  const uint32_t result = board_.Write(report, kReportSize);
  if (result == hid_error::kNone) {
    NoteConnectionStart(report, connection, tags);
    NoteRequest(report);
    ++writes_delivered_;
    Log(sent_, report, static_cast<int>(kReportSize));
  }
  return result;
}

int FaultyBus::Read(uint8_t* out, uint64_t generation) {
  const uint32_t now = clock_.TickCountMs();
  // A held reply that is due goes first.
  for (auto it = held_.begin(); it != held_.end(); ++it) {
    if (static_cast<int32_t>(now - it->due_ms) >= 0) {
      const int size = it->size;
      std::memcpy(out, it->bytes.data(), kReportSize);
      held_.erase(it);
      Log(received_, out, size);
      return size;
    }
  }
  std::array<uint8_t, kReportSize> reply{};
  if (board_.TakeReply(reply.data(), 0, generation) <= 0) return 0;
  const ActiveFaults& f = faults_;
  int size = static_cast<int>(kReportSize);
  if (f.drop > 0 && rng_.Chance(f.drop)) {
    ++replies_disturbed_;
    return 0;
  }
  bool relabelled = false;
  if (f.unknown_sequence > 0 && rng_.Chance(f.unknown_sequence)) {
    relabelled = true;
    ++replies_disturbed_;
    const auto sequence = static_cast<uint16_t>(rng_.Next());
    if (reply_books_ != nullptr) reply_books_->NoteRelabel(sequence);
    reply[1] = static_cast<uint8_t>(sequence);
    reply[2] = static_cast<uint8_t>(sequence >> 8);
  }
  if (f.fill_lie > 0 && rng_.Chance(f.fill_lie)) {
    ++replies_disturbed_;
    const auto fill = static_cast<uint16_t>(rng_.Next());
    reply[3] = static_cast<uint8_t>(fill);
    reply[4] = static_cast<uint8_t>(fill >> 8);
  }
  if (f.short_reply > 0 && rng_.Chance(f.short_reply)) {
    ++replies_disturbed_;
    size = static_cast<int>(rng_.Range(0, kReportSize - 1));
  } else if (f.long_reply > 0 && rng_.Chance(f.long_reply)) {
    // The padding after the status carries bytes no board sends.
    for (size_t k = 33; k < kReportSize; ++k) reply[k] = static_cast<uint8_t>(rng_.Next());
  }
  if (f.duplicate > 0 && rng_.Chance(f.duplicate)) held_.push_back({now, size, reply});
  if (f.delay > 0 && rng_.Chance(f.delay)) {
    ++replies_disturbed_;
    held_.push_back({now + static_cast<uint32_t>(rng_.Range(1, f.delay_ms)), size, reply});
    return 0;
  }
  if (f.reorder > 0 && rng_.Chance(f.reorder)) {
    ++replies_disturbed_;
    // Overtaken by the next reply: held until a little later.
    held_.push_back({now + 1 + static_cast<uint32_t>(rng_.Range(0, 20)), size, reply});
    return 0;
  }
  std::memcpy(out, reply.data(), kReportSize);
  Log(received_, out, size);
  if (reply_books_ != nullptr && !relabelled && size == static_cast<int>(kReportSize)) {
    reply_books_->OnUntouchedReply(out, size);
  }
  return size;
}

void FaultyBus::Log(std::deque<LoggedPacket>& log, const uint8_t* bytes, int size) {
  if (&log == &received_) ++replies_handed_;
  LoggedPacket p;
  p.time_ms = clock_.TickCountMs();
  p.size = size;
  std::memcpy(p.bytes.data(), bytes, kReportSize);
  hash_.AddValue(p.time_ms);
  hash_.AddValue(size);
  hash_.Add(bytes, static_cast<size_t>(std::max(size, 0)));
  if (log.size() == kLogSize) log.pop_front();
  log.push_back(p);
}

}  // namespace vaskel::chaos
