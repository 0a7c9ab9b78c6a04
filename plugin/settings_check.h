#pragma once
// Whether a buffer setting read from the profile can work. The dialog only takes 100..1000,
// but a hand-edited profile can hold anything, and a value that reads as 2 (a typo such as
// "2OO") would leave the board never asked for data. Such a value gives way to the default;
// one outside the dialog's range that still works is used as it stands. Both are said.
#include <cstdint>
#include <string>
#include <string_view>

namespace vaskel {

struct SettingReading {
  std::string_view key;
  std::string text;     // as the profile holds it; empty when absent
  int32_t read = 0;     // what the text reads as (the default when absent or empty)
  int32_t used = 0;     // what the plug-in uses
  std::string problem;  // why `read` was not used; empty when it was
  std::string remark;   // a value used although the dialog would refuse it
};

inline constexpr int32_t kDialogMinMs = 100;
inline constexpr int32_t kDialogMaxMs = 1000;

// period_ms: the plug-in's segment period (3 ms).
SettingReading CheckDeviceBuffer(std::string text, int32_t read, int32_t fallback,
                                 int32_t period_ms);
SettingReading CheckJogBuffer(std::string text, int32_t read, int32_t fallback);

// "VASKELBUFFER 200 ms" and, when there is one, the problem or remark.
std::string DescribeSetting(const SettingReading& reading);

}  // namespace vaskel
