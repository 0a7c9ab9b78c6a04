#include "platform/win32/dialog_view_win32.h"

#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/dialog_resource.h"

namespace vaskel {
namespace {

std::wstring WidenUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(n > 0 ? n : 0, L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  }
  return wide;
}

std::string NarrowUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string narrow(n > 0 ? n : 0, '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n,
                        nullptr, nullptr);
  }
  return narrow;
}

// The plug-in library itself: the dialog template lives in its resources, not the host's.
HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// Message boxes carry the library's name as their caption.
std::wstring ModuleTitle() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(ThisModule(), path, MAX_PATH);
  std::wstring name = path;
  if (auto slash = name.find_last_of(L"\\/"); slash != std::wstring::npos) name.erase(0, slash + 1);
  if (auto dot = name.find_last_of(L'.'); dot != std::wstring::npos) name.erase(dot);
  return name;
}

class Win32DialogView : public DialogView {
 public:
  ~Win32DialogView() override { Destroy(); }

  bool Create(void* owner_window, CommandFn on_command) override {
    Destroy();
    on_command_ = std::move(on_command);
    hwnd_ = CreateDialogParamW(ThisModule(), MAKEINTRESOURCEW(IDD_VASKEL_SETTINGS),
                               static_cast<HWND>(owner_window), &Win32DialogView::Proc,
                               reinterpret_cast<LPARAM>(this));
    return hwnd_ != nullptr;
  }

  void Show() override {
    if (hwnd_) ShowWindow(hwnd_, SW_SHOW);
  }
  void Hide() override {
    if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
  }
  void Destroy() override {
    if (!hwnd_) return;
    HWND hwnd = hwnd_;
    hwnd_ = nullptr;
    SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    DestroyWindow(hwnd);
  }

  std::string ItemText(int id) override {
    HWND item = hwnd_ ? GetDlgItem(hwnd_, id) : nullptr;
    if (!item) return {};
    const int length = GetWindowTextLengthW(item);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    const int n = GetWindowTextW(item, buffer.data(), length + 1);
    return NarrowUtf8(std::wstring(buffer.data(), n > 0 ? n : 0));
  }

  void SetItemText(int id, const std::string& text) override {
    if (hwnd_) SetDlgItemTextW(hwnd_, id, WidenUtf8(text).c_str());
  }

  void ShowMessageBox(const std::string& text, Icon icon) override {
    const UINT type = MB_OK | (icon == Icon::Exclamation ? MB_ICONEXCLAMATION : 0u);
    MessageBoxW(hwnd_, WidenUtf8(text).c_str(), ModuleTitle().c_str(), type);
  }

  void FocusAndSelectAll(int id) override {
    HWND item = hwnd_ ? GetDlgItem(hwnd_, id) : nullptr;
    if (!item) return;
    // WM_NEXTDLGCTL keeps the dialog's default button and focus bookkeeping right.
    SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
    SendMessageW(item, EM_SETSEL, 0, -1);
  }

 private:
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrW(hwnd, DWLP_USER, lparam);
      return TRUE;
    }
    auto* self = reinterpret_cast<Win32DialogView*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self) return FALSE;
    switch (message) {
      case WM_COMMAND:
        // Enter and Escape arrive as the OK and Cancel commands too; the close box as Cancel.
        if (HIWORD(wparam) == BN_CLICKED &&
            (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
          if (self->on_command_) self->on_command_(LOWORD(wparam) == IDOK ? kOk : kCancel);
          return TRUE;
        }
        return FALSE;
      case WM_CLOSE:
        if (self->on_command_) self->on_command_(kCancel);
        return TRUE;
      default:
        return FALSE;
    }
  }

  HWND hwnd_ = nullptr;
  CommandFn on_command_;
};

}  // namespace

std::unique_ptr<DialogView> NewWin32DialogView() {
  return std::make_unique<Win32DialogView>();
}

}  // namespace vaskel
