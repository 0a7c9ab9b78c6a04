#pragma once
// The two buffer settings as kept in the host's XML profile.
#include <string>

namespace vaskel {

class PluginContext;

namespace profile_settings {
// SetProName: open the profile, read both settings (defaults 200), close (save) it.
void Load(PluginContext& ctx);
// Config: open the profile and close it again.
void Touch(PluginContext& ctx);
// StopPlug: open the profile, write both settings, close (save) it.
void Store(PluginContext& ctx);
}  // namespace profile_settings

}  // namespace vaskel
