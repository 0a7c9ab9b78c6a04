// What the link tells the diagnostic log: the flight recorder's two writers, reply latencies,
// and, on the host's thread, the stats lines and the dump at every close.
#include "device/flight_recorder_dump.h"
#include "device/link.h"
#include "device/little_endian.h"
#include "platform/wall_time.h"

namespace vaskel {
namespace {

const char* CloseReasonText(LinkCloseReason reason) {
  switch (reason) {
    case LinkCloseReason::kUnplugged:
      return "link closed: board unplugged";
    case LinkCloseReason::kStuckWrite:
      return "link closed: write stuck";
    case LinkCloseReason::kWriteFailures:
      return "link closed: too many write failures";
    case LinkCloseReason::kClosed:
      break;
  }
  return "link closed";
}

// The sequence number a packet out carries, 0 for none.
uint16_t SequenceOf(const uint8_t* packet) {
  uint32_t sequence = 0;
  switch (packet[0]) {
    case kOpStatusRequest:
    case kOpSyncQueryA:
    case kOpSyncQueryB:
      ReadLittleEndian(packet + 1, 2, sequence);
      break;
    default:
      break;
  }
  return static_cast<uint16_t>(sequence);
}

}  // namespace

void DeviceLink::NoteRequest(int32_t sequence, uint8_t opcode) {
  const size_t slot = static_cast<size_t>(sequence) % kRequestSlots;
  request_ms_[slot].store(services_.clock.TickCountMs(), std::memory_order_relaxed);
  request_info_[slot].store(static_cast<uint32_t>(sequence & 0xffff) | uint32_t{opcode} << 16,
                            std::memory_order_release);
}

// Sender, for a write that went out.
void DeviceLink::RecordSent() {
  stats_.OnPacketWritten();
  if (!recording_) return;
  const uint8_t* packet = report_.data() + 1;
  recorder_.out().Record(services_.clock.TickCountMs(), packet[0], SequenceOf(packet), packet,
                         kReportSize - 1);
}

// Receiver, before the reply is dispatched.
void DeviceLink::RecordReceived(const uint8_t* report, size_t size) {
  if (size < kReplyHeaderSize) return;
  uint32_t sequence = 0;
  ReadLittleEndian(report + 1, 2, sequence);
  const size_t slot = sequence % kRequestSlots;
  const uint32_t info = request_info_[slot].load(std::memory_order_acquire);
  const bool ours = sequence != 0 && (info & 0xffff) == sequence;
  const uint32_t now = services_.clock.TickCountMs();
  if (ours && (info >> 16) == kOpStatusRequest) {
    stats_.OnReplyLatency(now - request_ms_[slot].load(std::memory_order_relaxed));
  }
  if (!recording_) return;
  recorder_.in().Record(now,
                        ours ? static_cast<uint16_t>(info >> 16) : FlightRecorder::kUnknownOpcode,
                        static_cast<uint16_t>(sequence), report + 1, size - 1);
}

LinkFigures DeviceLink::Figures(bool whole_run) {
  LinkFigures f = stats_.Figures(services_.clock.TickCountMs(), whole_run, NeedsDataLimit());
  for (int a = 0; a < 6; ++a) f.axis_offsets[a] = axis_offset(a);
  return f;
}

void DeviceLink::WriteStatsLine(uint32_t now_ms) {
  services_.log.Write(FormatStatsLine(stats_.Figures(now_ms, false, NeedsDataLimit())));
  stats_.ResetInterval(now_ms);
  stats_logged_ms_ = now_ms;
}

void DeviceLink::WriteDump(const std::string& reason, uint32_t now_ms) {
  const uint64_t recorded = recorder_.out().recorded() + recorder_.in().recorded();
  if (recorded == dumped_packets_) {
    services_.log.Write("flight recorder at " + std::to_string(now_ms) + " ms, " + reason +
                        ": no packet since the last dump");
    return;
  }
  dumped_packets_ = recorded;
  for (const std::string& line : FormatFlightRecorderDump(recorder_, reason, now_ms, dump_marks_)) {
    services_.log.Write(line);
  }
}

void DeviceLink::LogResyncs() {
  const uint32_t resyncs = stats_.resyncs();
  if (resyncs == resyncs_logged_) return;
  resyncs_logged_ = resyncs;
  services_.log.Write(
      LogStamp(services_.clock) + " resync " + std::to_string(resyncs) + " on connection " +
      std::to_string(link_starts()) + ": the stream was rewound by " +
      std::to_string(last_rewind_fill()) + " segments, sent again" +
      (unmeasured_resyncs() ? " (" + std::to_string(unmeasured_resyncs()) + " unmeasured so far)"
                            : std::string()));
}

void DeviceLink::LogLinkEvents() {
  if (!services_.log.enabled()) return;
  const uint32_t now = services_.clock.TickCountMs();
  const uint32_t posted = closes_posted_.load(std::memory_order_acquire);
  LogResyncs();
  if (posted != closes_logged_) {
    // Several closes since the last look are told as the latest.
    const uint32_t closes = posted - closes_logged_;
    closes_logged_ = posted;
    const char* reason = CloseReasonText(close_reason_.load(std::memory_order_acquire));
    const uint32_t closed_ms = close_tick_ms_.load(std::memory_order_relaxed);
    std::string line = LogStamp(close_wall_ms_.load(std::memory_order_relaxed), closed_ms) + " " +
                       reason + " (connection " + std::to_string(link_starts()) + ")";
    if (closes > 1) line += "; " + std::to_string(closes) + " closes since the last look";
    services_.log.Write(line);
    AddDumpMark(closed_ms, "connection " + std::to_string(link_starts()) + " " + reason);
    WriteStatsLine(now);
    WriteDump(CloseReasonText(close_reason_.load(std::memory_order_acquire)), now);
    return;
  }
  if (device_connected() && now - stats_logged_ms_ >= kStatsPeriodMs) WriteStatsLine(now);
}

}  // namespace vaskel
