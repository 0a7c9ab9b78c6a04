#pragma once
// The flight recorder as log lines: a header naming the reason, then one line per packet with
// its time, direction, opcode (number and name), sequence number and decoded fields.
#include <string>
#include <vector>

#include "device/flight_recorder.h"

namespace vaskel {

std::string FormatRecordedPacket(const RecordedPacket& packet);
std::vector<std::string> FormatFlightRecorderDump(const FlightRecorder& recorder,
                                                  const std::string& reason, uint32_t now_ms);

}  // namespace vaskel
