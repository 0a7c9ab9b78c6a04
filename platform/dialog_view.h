#pragma once
// The settings dialog's window (a real dialog on Windows, headless on Linux). The view only
// draws and reports clicks; the form model in host/ owns the data exchange and the checks.
#include <functional>
#include <string>

namespace vaskel {

class DialogView {
 public:
  enum class Icon { None, Exclamation };
  static constexpr int kOk = 1;
  static constexpr int kCancel = 2;  // also the caption's close box
  static constexpr int kDeviceBufferEdit = 4157;
  static constexpr int kJogBufferEdit = 4158;

  using CommandFn = std::function<void(int id)>;

  virtual ~DialogView() = default;
  // Creates the window hidden and modeless, owned by the host's main window (may be null).
  // on_command receives kOk and kCancel clicks.
  virtual bool Create(void* owner_window, CommandFn on_command) = 0;
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual void Destroy() = 0;
  virtual std::string ItemText(int id) = 0;
  virtual void SetItemText(int id, const std::string& text) = 0;
  // A modal message box over the dialog, with an OK button.
  virtual void ShowMessageBox(const std::string& text, Icon icon) = 0;
  // Moves the focus to an edit box and selects its whole text.
  virtual void FocusAndSelectAll(int id) = 0;
};

}  // namespace vaskel
