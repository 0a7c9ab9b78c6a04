#include "plugin/profile_settings.h"

#include "plugin/host_profile.h"
#include "plugin/plugin_context.h"

namespace vaskel::profile_settings {
namespace {

HostProfile OpenProfile(PluginContext& ctx) {
  return HostProfile::Open(ctx.platform(), ctx.settings().profile_file_name);
}

const char* StateText(HostProfile::State state) {
  switch (state) {
    case HostProfile::State::Loaded:
      return "read";
    case HostProfile::State::Created:
      return "no such file yet: defaults, written at close";
    case HostProfile::State::Unreadable:
      return "cannot be read or parsed: defaults, and the file is left alone";
    case HostProfile::State::NoDocument:
      return "no XML document could be made: defaults, nothing saved";
  }
  return "";
}

// The design reports nothing here; a user who edits settings that will never reach the file
// should learn of it, so the status line says so (where the host has one).
bool CloseAndReport(PluginContext& ctx, HostProfile& profile) {
  const bool saved = profile.Close();
  switch (profile.state()) {
    case HostProfile::State::Unreadable:
      ctx.messages().SetStatusText(kUnreadableText);
      break;
    case HostProfile::State::NoDocument:
      ctx.messages().SetStatusText(kNoDocumentText);
      break;
    case HostProfile::State::Loaded:
    case HostProfile::State::Created:
      if (!saved) ctx.messages().SetStatusText(kSaveFailedText);
      break;
  }
  return saved;
}

}  // namespace

void Load(PluginContext& ctx) {
  HostProfile profile = OpenProfile(ctx);
  Settings& settings = ctx.settings();
  // The texts first: reading an empty key removes it.
  std::string device_text = profile.ReadProfileText(kSection, kDeviceBufferKey);
  const int32_t device =
      profile.ReadProfileInt(kSection, kDeviceBufferKey, Settings::kDefaultBuffer);
  std::string jog_text = profile.ReadProfileText(kSection, kJogBufferKey);
  const int32_t jog = profile.ReadProfileInt(kSection, kJogBufferKey, Settings::kDefaultBuffer);
  settings.device_buffer_read =
      CheckDeviceBuffer(std::move(device_text), device, Settings::kDefaultBuffer, kSegmentPeriodMs);
  settings.jog_buffer_read = CheckJogBuffer(std::move(jog_text), jog, Settings::kDefaultBuffer);
  settings.device_buffer = settings.device_buffer_read.used;
  settings.jog_buffer = settings.jog_buffer_read.used;
  settings.profile_state = StateText(profile.state());
  if (!CloseAndReport(ctx, profile)) settings.profile_state += "; saving it failed";
}

void Touch(PluginContext& ctx) {
  HostProfile profile = OpenProfile(ctx);
  CloseAndReport(ctx, profile);
}

void Store(PluginContext& ctx) {
  HostProfile profile = OpenProfile(ctx);
  Settings& settings = ctx.settings();
  profile.WriteProfileInt(kSection, kDeviceBufferKey, settings.device_buffer.load());
  profile.WriteProfileInt(kSection, kJogBufferKey, settings.jog_buffer.load());
  CloseAndReport(ctx, profile);
}

}  // namespace vaskel::profile_settings
