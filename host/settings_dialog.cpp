#include "host/settings_dialog.h"

#include "host/plugin_context.h"

namespace vaskel {

void SettingsDialog::Create(void* owner_window) {
  exists_ = true;
}
void SettingsDialog::Show() {}
void SettingsDialog::Destroy() {
  exists_ = false;
}

}  // namespace vaskel
