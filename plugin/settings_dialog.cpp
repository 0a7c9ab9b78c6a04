#include "plugin/settings_dialog.h"

#include "platform/dialog_view.h"
#include "plugin/plugin_context.h"
#include "plugin/settings_form.h"

namespace vaskel {

SettingsDialog::SettingsDialog(PluginContext& ctx) : ctx_(ctx) {}

SettingsDialog::~SettingsDialog() {
  Destroy();
}

void SettingsDialog::Create(void* owner_window) {
  Destroy();
  if (checks_running_ == 0) retired_view_.reset();
  std::unique_ptr<DialogView> view = ctx_.platform().NewDialogView();
  if (!view) return;
  if (!view->Create(owner_window, [this](int id) { OnCommand(id); })) return;
  view_ = std::move(view);
  shown_ = false;
}

void SettingsDialog::Show() {
  if (!view_) return;
  view_->Show();
  shown_ = true;
  const Settings& settings = ctx_.settings();
  settings_form::Fill(*view_, {settings.device_buffer.load(), settings.jog_buffer.load()});
}

void SettingsDialog::Destroy() {
  if (!view_) return;
  view_->Destroy();
  if (checks_running_ > 0) {
    retired_view_ = std::move(view_);
  } else {
    view_.reset();
  }
  shown_ = false;
}

void SettingsDialog::OnCommand(int id) {
  if (id == DialogView::kOk) OnOk();
  if (id == DialogView::kCancel) OnCancel();
}

void SettingsDialog::OnOk() {
  if (!view_ || !shown_) return;
  // The check's message box runs a message loop, in which the host may call StopPlug.
  ++checks_running_;
  const std::optional<settings_form::Values> values = settings_form::Collect(*view_);
  --checks_running_;
  if (!values || !view_) return;  // the dialog stays, so the entry can be corrected
  ctx_.settings().device_buffer = values->device_buffer;
  ctx_.settings().jog_buffer = values->jog_buffer;
  view_->Hide();
  shown_ = false;
}

void SettingsDialog::OnCancel() {
  if (!view_) return;
  view_->Hide();
  shown_ = false;
}

}  // namespace vaskel
