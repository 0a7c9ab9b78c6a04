#pragma once
// The flight recorder as log lines: a header naming the reason, then one line per packet with
// its time, direction, opcode (number and name), sequence number and decoded fields.
#include <string>
#include <vector>

#include "device/flight_recorder.h"

namespace vaskel {

// A connection opened or closed, shown among the packets at its time.
struct DumpMark {
  uint32_t time_ms = 0;
  std::string text;
};

std::string FormatRecordedPacket(const RecordedPacket& packet);
// marks: oldest first; those older than the oldest packet are left out.
std::vector<std::string> FormatFlightRecorderDump(const FlightRecorder& recorder,
                                                  const std::string& reason, uint32_t now_ms,
                                                  const std::vector<DumpMark>& marks = {});

}  // namespace vaskel
