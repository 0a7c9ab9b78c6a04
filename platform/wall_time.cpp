#include "platform/wall_time.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace vaskel {
namespace {

// std::localtime shares one buffer between threads.
std::mutex& LocalTimeMutex() {
  static std::mutex mutex;
  return mutex;
}

bool ToLocal(int64_t wall_ms, std::tm* out) {
  const std::time_t seconds = static_cast<std::time_t>(wall_ms / 1000);
  std::lock_guard lock(LocalTimeMutex());
  const std::tm* local = std::localtime(&seconds);
  if (!local) return false;
  *out = *local;
  return true;
}

}  // namespace

std::string FormatWallTime(int64_t wall_ms) {
  std::tm t{};
  if (wall_ms < 0 || !ToLocal(wall_ms, &t)) return "(no calendar time)";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<int>(wall_ms % 1000));
  return text;
}

std::string FormatUtcOffset(int64_t wall_ms) {
  std::tm local{};
  if (wall_ms < 0 || !ToLocal(wall_ms, &local)) return "";
  const std::time_t seconds = static_cast<std::time_t>(wall_ms / 1000);
  std::tm utc{};
  {
    std::lock_guard lock(LocalTimeMutex());
    const std::tm* u = std::gmtime(&seconds);
    if (!u) return "";
    utc = *u;
  }
  // The difference of the two broken-down times, in minutes, within a day either way.
  int minutes = (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
  const int day = local.tm_yday - utc.tm_yday;
  if (day == 1 || day < -1) minutes += 24 * 60;
  if (day == -1 || day > 1) minutes -= 24 * 60;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", minutes < 0 ? '-' : '+', std::abs(minutes) / 60,
                std::abs(minutes) % 60);
  return text;
}

std::string LogStamp(int64_t wall_ms, uint32_t tick_ms) {
  return FormatWallTime(wall_ms) + " [" + std::to_string(tick_ms) + " ms]";
}

std::string LogStamp(Clock& clock) {
  return LogStamp(clock.WallMillis(), clock.TickCountMs());
}

}  // namespace vaskel
