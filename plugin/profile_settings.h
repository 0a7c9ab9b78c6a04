#pragma once
// The two buffer settings as kept in the host's XML profile.
#include <cstdint>
#include <string_view>

namespace vaskel {

class PluginContext;

namespace profile_settings {

inline constexpr std::string_view kSection = "BRENOK";
inline constexpr std::string_view kDeviceBufferKey = "VASKELBUFFER";
inline constexpr std::string_view kJogBufferKey = "JOGBUFFER";
// The segment period the plug-in sets at PostInitControl, against which the device buffer is
// judged when it is read.
inline constexpr int32_t kSegmentPeriodMs = 3;

// Status-line texts for a profile the settings cannot reach. Before InitControl there is no
// status line, so a problem found by SetProName shows at the next Config or StopPlug.
inline constexpr std::string_view kUnreadableText =
    "Profile can't be read, vaskel settings are not saved to it!";
inline constexpr std::string_view kNoDocumentText =
    "No XML document for the profile, vaskel settings are not saved!";
inline constexpr std::string_view kSaveFailedText =
    "Profile can't be written, vaskel settings are not saved!";

// SetProName: open the profile, read both settings (defaults 200), close (save) it.
void Load(PluginContext& ctx);
// Config: open the profile and close it again.
void Touch(PluginContext& ctx);
// StopPlug: open the profile, write both settings, close (save) it.
void Store(PluginContext& ctx);

}  // namespace profile_settings
}  // namespace vaskel
