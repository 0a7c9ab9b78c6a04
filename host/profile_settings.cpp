#include "host/profile_settings.h"

#include "host/plugin_context.h"

namespace vaskel::profile_settings {

void Load(PluginContext& ctx) {}
void Touch(PluginContext& ctx) {}
void Store(PluginContext& ctx) {}

}  // namespace vaskel::profile_settings
