#include "plugin/profile_settings.h"

#include "plugin/host_profile.h"
#include "plugin/plugin_context.h"

namespace vaskel::profile_settings {
namespace {

HostProfile OpenProfile(PluginContext& ctx) {
  return HostProfile::Open(ctx.platform(), ctx.settings().profile_file_name);
}

// The design reports nothing here; a user who edits settings that will never reach the file
// should learn of it, so the status line says so (where the host has one).
void CloseAndReport(PluginContext& ctx, HostProfile& profile) {
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
}

}  // namespace

void Load(PluginContext& ctx) {
  HostProfile profile = OpenProfile(ctx);
  Settings& settings = ctx.settings();
  settings.device_buffer =
      profile.ReadProfileInt(kSection, kDeviceBufferKey, Settings::kDefaultBuffer);
  settings.jog_buffer = profile.ReadProfileInt(kSection, kJogBufferKey, Settings::kDefaultBuffer);
  CloseAndReport(ctx, profile);
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
