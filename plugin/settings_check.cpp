#include "plugin/settings_check.h"

#include "motion/ramp_generator.h"
#include "plugin/profile_settings.h"

namespace vaskel {
namespace {

// The board's queue fill travels in 16 bits: a limit above it is never reached, and the board
// would be sent data without end.
constexpr int64_t kMaxFillLimit = 0xffff;

SettingReading Start(std::string_view key, std::string text, int32_t read) {
  SettingReading r;
  r.key = key;
  r.text = std::move(text);
  r.read = read;
  r.used = read;
  return r;
}

std::string Quoted(const SettingReading& r) {
  // The text matters when it is not the number it reads as ("2OO" reads as 2).
  if (r.text.empty() || r.text == std::to_string(r.read)) return std::to_string(r.read) + " ms";
  return "\"" + r.text + "\" (read as " + std::to_string(r.read) + " ms)";
}

void Finish(SettingReading& r, int32_t fallback) {
  if (!r.problem.empty()) {
    r.problem += "; the default " + std::to_string(fallback) + " ms is used instead";
    r.used = fallback;
    return;
  }
  if (r.read < kDialogMinMs || r.read > kDialogMaxMs) {
    r.remark = "outside the dialog's " + std::to_string(kDialogMinMs) + ".." +
               std::to_string(kDialogMaxMs) + " ms; used as it stands";
  }
}

}  // namespace

SettingReading CheckDeviceBuffer(std::string text, int32_t read, int32_t fallback,
                                 int32_t period_ms) {
  SettingReading r = Start(profile_settings::kDeviceBufferKey, std::move(text), read);
  const int64_t limit = period_ms > 0 ? int64_t{read} / period_ms : 0;
  if (limit < 1) {
    r.problem = Quoted(r) + " gives a device-buffer limit of " + std::to_string(limit) +
                " segments: the board would never be asked for data and nothing would move";
  } else if (limit > kMaxFillLimit) {
    r.problem = Quoted(r) + " gives a device-buffer limit of " + std::to_string(limit) +
                " segments, more than the board can report: it would be sent data without end";
  }
  Finish(r, fallback);
  return r;
}

SettingReading CheckJogBuffer(std::string text, int32_t read, int32_t fallback) {
  SettingReading r = Start(profile_settings::kJogBufferKey, std::move(text), read);
  if (read < RampGenerator::kMinJogBufferMs) {
    r.problem = Quoted(r) + " is shorter than the " +
                std::to_string(RampGenerator::kMinJogBufferMs) +
                " ms look-ahead that fills a jog's motion packets";
  }
  Finish(r, fallback);
  return r;
}

std::string DescribeSetting(const SettingReading& r) {
  std::string line = std::string(r.key) + " " + std::to_string(r.used) + " ms";
  if (r.text.empty()) line += " (not in the profile: the default)";
  if (!r.problem.empty()) line += " - WARNING: " + std::string(r.key) + " " + r.problem;
  if (!r.remark.empty()) line += " - note: " + r.remark;
  return line;
}

}  // namespace vaskel
