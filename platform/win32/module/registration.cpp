#include "platform/win32/module/registration.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <oleauto.h>

#include <string>

namespace vaskel::win32 {
namespace {

// {0C9FB259-B864-40A5-B59F-65E11E209FC4}, version 1.0, locale neutral.
constexpr GUID kLibraryId = {
    0x0C9FB259, 0xB864, 0x40A5, {0xB5, 0x9F, 0x65, 0xE1, 0x1E, 0x20, 0x9F, 0xC4}};
constexpr WORD kMajor = 1;
constexpr WORD kMinor = 0;

// The module defines no component classes, so there is no class entry to write or remove.
bool UpdateClassRegistry(bool /*add*/) {
  return true;
}

std::wstring OwnModulePath() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&UpdateClassRegistry), &module);
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

int32_t RegisterServerFrom(const wchar_t* module_path) {
  ITypeLib* library = nullptr;
  if (!module_path || !*module_path ||
      FAILED(LoadTypeLibEx(module_path, REGKIND_REGISTER, &library))) {
    return kTypeLibRegistrationFailed;
  }
  library->Release();
  if (!UpdateClassRegistry(true)) return kClassRegistrationFailed;
  return S_OK;
}

int32_t RegisterServer() {
  return RegisterServerFrom(OwnModulePath().c_str());
}

int32_t UnregisterServer() {
  if (FAILED(UnRegisterTypeLib(kLibraryId, kMajor, kMinor, 0, SYS_WIN32))) {
    return kTypeLibRegistrationFailed;
  }
  if (!UpdateClassRegistry(false)) return kClassRegistrationFailed;
  return S_OK;
}

}  // namespace vaskel::win32
