#pragma once
// The buffer settings form: data exchange between the two settings and the dialog's edit
// boxes, with the entry checks, in control order.
#include <cstdint>
#include <optional>
#include <string_view>

namespace vaskel {

class DialogView;

namespace settings_form {

inline constexpr uint32_t kMin = 100;
inline constexpr uint32_t kMax = 1000;
inline constexpr std::string_view kNotANumberText = "Please enter a positive integer.";
// "%1" and "%2" stand for kMin and kMax.
inline constexpr std::string_view kRangeText = "Please enter an integer between %1 and %2.";

// An edit box's text as an unsigned decimal number: at most its first 63 characters, leading
// white space, an optional sign, then digits up to the first other character. Nothing when
// there are no digits. A minus sign gives a value past int32 (its two's complement), so every
// negative entry fails the range check; values too large for 32 bits saturate.
std::optional<uint32_t> ScanUnsigned(std::string_view text);

// kRangeText with its inserts filled in.
std::string RangeMessage();

struct Values {
  int32_t device_buffer;
  int32_t jog_buffer;
};

// Into the edit boxes: no checks, so a stored value out of range shows as it is.
void Fill(DialogView& view, const Values& values);
// Out of the edit boxes: the first failing entry gets its message box and the focus, and the
// result is empty.
std::optional<Values> Collect(DialogView& view);

}  // namespace settings_form
}  // namespace vaskel
