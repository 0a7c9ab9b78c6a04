#pragma once
// The buffer settings dialog: created hidden by PostInitControl, shown by Config, destroyed by
// StopPlug. It changes the settings in memory only.
#include <memory>

namespace vaskel {

class DialogView;
class PluginContext;

class SettingsDialog {
 public:
  explicit SettingsDialog(PluginContext& ctx);
  ~SettingsDialog();

  void Create(void* owner_window);
  // Shows the window and reloads both edit boxes from the settings, dropping unsaved typing.
  void Show();
  void Destroy();
  bool exists() const { return view_ != nullptr; }
  bool shown() const { return shown_; }

  // The view's button clicks.
  void OnOk();
  void OnCancel();

 private:
  void OnCommand(int id);

  PluginContext& ctx_;
  std::unique_ptr<DialogView> view_;
  // A view destroyed while OK's entry check runs on it (StopPlug from inside the check's
  // message box): its window is gone, the object lives on until the next Create or the end.
  std::unique_ptr<DialogView> retired_view_;
  int checks_running_ = 0;
  bool shown_ = false;
};

}  // namespace vaskel
