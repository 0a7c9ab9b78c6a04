#pragma once
// The buffer settings dialog: created hidden by PostInitControl, shown by Config, destroyed by
// StopPlug. It changes the settings in memory only.
namespace vaskel {

class PluginContext;

class SettingsDialog {
 public:
  explicit SettingsDialog(PluginContext& ctx) : ctx_(ctx) {}
  void Create(void* owner_window);
  void Show();
  void Destroy();
  bool exists() const { return exists_; }

 private:
  PluginContext& ctx_;
  bool exists_ = false;
};

}  // namespace vaskel
