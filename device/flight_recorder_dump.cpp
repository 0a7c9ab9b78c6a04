#include "device/flight_recorder_dump.h"

#include <cstdio>

#include "device/little_endian.h"
#include "device/opcodes.h"

namespace vaskel {
namespace {

constexpr int kSegmentBytes = 9;

// One segment's six signed step counts: 12-bit fields packed two to three bytes, bit 11 the
// direction (set = negative).
void AppendSegmentSteps(std::string& line, const uint8_t* b) {
  char part[16];
  for (int pair = 0; pair < 3; ++pair) {
    const uint8_t* g = b + 3 * pair;
    const unsigned fields[2] = {((g[1] >> 4) & 0x0fu) << 8 | g[0], (g[1] & 0x0fu) << 8 | g[2]};
    for (int k = 0; k < 2; ++k) {
      const unsigned field = fields[k];
      const int magnitude = static_cast<int>(field & 0x7ff);
      std::snprintf(part, sizeof part, "%s%d", pair == 0 && k == 0 ? "" : ",",
                    (field & 0x800) ? -magnitude : magnitude);
      line += part;
    }
  }
}

void AppendStatus(std::string& line, const uint8_t* payload) {
  uint32_t fill = 0;
  const uint8_t* p = ReadLittleEndian(payload, 2, fill);
  char part[160];
  std::snprintf(part, sizeof part, " fill %u counts", fill);
  line += part;
  for (int i = 0; i < 6; ++i) {
    int32_t count = 0;
    p = ReadLittleEndian(p, 4, count);
    std::snprintf(part, sizeof part, " %d", count);
    line += part;
  }
  uint32_t inputs = 0;
  ReadLittleEndian(p, 4, inputs);
  std::snprintf(part, sizeof part, " inputs 0x%08x", inputs);
  line += part;
}

void AppendHex(std::string& line, const uint8_t* bytes, size_t n) {
  char part[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(part, sizeof part, "%02x", bytes[i]);
    line += part;
  }
}

}  // namespace

std::string FormatRecordedPacket(const RecordedPacket& packet) {
  const bool out = packet.direction == PacketDirection::kOut;
  const char* name =
      packet.opcode == FlightRecorder::kUnknownOpcode ? "unmatched" : OpcodeName(packet.opcode);
  char head[96];
  if (packet.opcode == FlightRecorder::kUnknownOpcode) {
    std::snprintf(head, sizeof head, "%10u ms %-3s  - unmatched", packet.time_ms,
                  out ? "out" : "in");
  } else {
    std::snprintf(head, sizeof head, "%10u ms %-3s %2u %s", packet.time_ms, out ? "out" : "in",
                  packet.opcode, name ? name : "unknown");
  }
  std::string line = head;
  if (packet.sequence != 0) line += " seq " + std::to_string(packet.sequence);
  const uint8_t* b = packet.bytes.data();
  if (!out) {
    // Sequence number in bytes 0..1, the payload after it.
    if (packet.opcode == kOpStatusRequest) {
      AppendStatus(line, b + 2);
    } else {
      line += " payload ";
      AppendHex(line, b + 2, 16);
    }
    return line;
  }
  switch (packet.opcode) {
    case kOpMotionSegments:
      line += " steps";
      for (int s = 0; s < kSegmentsPerMotionPacket; ++s) {
        line += " ";
        AppendSegmentSteps(line, b + 1 + kSegmentBytes * s);
      }
      break;
    case kOpStatusRequest: {
      uint32_t outputs = 0, spindle = 0, mask = 0;
      ReadLittleEndian(ReadLittleEndian(ReadLittleEndian(b + 3, 4, outputs), 2, spindle), 4, mask);
      char part[96];
      std::snprintf(part, sizeof part, " outputs 0x%08x spindle %u axis mask 0x%03x", outputs,
                    spindle, mask);
      line += part;
      break;
    }
    default: {
      int32_t value = 0;
      ReadLittleEndian(b + 1, 4, value);
      line += " value " + std::to_string(value);
      break;
    }
  }
  return line;
}

std::vector<std::string> FormatFlightRecorderDump(const FlightRecorder& recorder,
                                                  const std::string& reason, uint32_t now_ms,
                                                  const std::vector<DumpMark>& marks) {
  const std::vector<RecordedPacket> packets = recorder.Snapshot();
  size_t outs = 0;
  for (const RecordedPacket& p : packets) outs += p.direction == PacketDirection::kOut;
  std::vector<std::string> lines;
  lines.reserve(packets.size() + 1);
  char header[192];
  std::snprintf(header, sizeof header,
                "flight recorder at %u ms, %s: %zu packets out and %zu in, oldest first", now_ms,
                reason.c_str(), outs, packets.size() - outs);
  lines.emplace_back(header);
  // Times wrap with the tick count: each is placed by its distance back from now.
  const auto age = [now_ms](uint32_t t) { return now_ms - t; };
  size_t m = 0;
  if (!packets.empty()) {
    while (m < marks.size() && age(marks[m].time_ms) > age(packets.front().time_ms)) ++m;
  }
  const auto mark_line = [](const DumpMark& mark) {
    char head[32];
    std::snprintf(head, sizeof head, "%10u ms ---", mark.time_ms);
    return std::string(head) + " " + mark.text + " ---";
  };
  for (const RecordedPacket& p : packets) {
    for (; m < marks.size() && age(marks[m].time_ms) >= age(p.time_ms); ++m) {
      lines.push_back(mark_line(marks[m]));
    }
    lines.push_back(FormatRecordedPacket(p));
  }
  for (; m < marks.size(); ++m) lines.push_back(mark_line(marks[m]));
  return lines;
}

}  // namespace vaskel
