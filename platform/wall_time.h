#pragma once
// Calendar time as the diagnostic log writes it: local date and time to the millisecond.
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace vaskel {

// "2026-12-07 17:04:32.123", local time.
std::string FormatWallTime(int64_t wall_ms);
// The local offset from UTC at that time, "+01:00".
std::string FormatUtcOffset(int64_t wall_ms);
// The start of a timed log line: wall time and the tick count the flight recorder uses,
// "2026-12-07 17:04:32.123 [2335127 ms]".
std::string LogStamp(int64_t wall_ms, uint32_t tick_ms);
std::string LogStamp(Clock& clock);

}  // namespace vaskel
