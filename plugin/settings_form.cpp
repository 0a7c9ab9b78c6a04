#include "plugin/settings_form.h"

#include <limits>
#include <string>

#include "platform/dialog_view.h"

namespace vaskel::settings_form {
namespace {

constexpr size_t kScanLimit = 63;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// One edit box in and checked; on failure the user is told and the box gets the focus.
std::optional<uint32_t> ExchangeOne(DialogView& view, int id) {
  const std::optional<uint32_t> value = ScanUnsigned(view.ItemText(id));
  if (!value) {
    view.ShowMessageBox(std::string(kNotANumberText), DialogView::Icon::None);
    view.FocusAndSelectAll(id);
    return std::nullopt;
  }
  if (*value < kMin || *value > kMax) {
    view.ShowMessageBox(RangeMessage(), DialogView::Icon::Exclamation);
    view.FocusAndSelectAll(id);
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<uint32_t> ScanUnsigned(std::string_view text) {
  text = text.substr(0, kScanLimit);
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t first_digit = i;
  uint64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude <= std::numeric_limits<uint32_t>::max()) {
      magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    }
  }
  if (i == first_digit) return std::nullopt;
  constexpr uint64_t kMaxU32 = std::numeric_limits<uint32_t>::max();
  if (!negative) return static_cast<uint32_t>(magnitude > kMaxU32 ? kMaxU32 : magnitude);
  // Negation wraps, so a huge negative entry could land in range; keep it out instead.
  constexpr uint64_t kMaxNegated = uint64_t{1} << 31;
  if (magnitude > kMaxNegated) return static_cast<uint32_t>(kMaxU32);
  return static_cast<uint32_t>(0u - static_cast<uint32_t>(magnitude));
}

std::string RangeMessage() {
  std::string text = ReplaceAll(std::string(kRangeText), "%1", std::to_string(kMin));
  return ReplaceAll(std::move(text), "%2", std::to_string(kMax));
}

void Fill(DialogView& view, const Values& values) {
  // Signed text: a negative value from the profile reads as what it is, not as its unsigned
  // two's complement.
  view.SetItemText(DialogView::kDeviceBufferEdit, std::to_string(values.device_buffer));
  view.SetItemText(DialogView::kJogBufferEdit, std::to_string(values.jog_buffer));
}

std::optional<Values> Collect(DialogView& view) {
  const std::optional<uint32_t> device = ExchangeOne(view, DialogView::kDeviceBufferEdit);
  if (!device) return std::nullopt;
  const std::optional<uint32_t> jog = ExchangeOne(view, DialogView::kJogBufferEdit);
  if (!jog) return std::nullopt;
  return Values{static_cast<int32_t>(*device), static_cast<int32_t>(*jog)};
}

}  // namespace vaskel::settings_form
