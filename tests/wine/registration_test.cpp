// Component registration of the loaded library: its type library and the standard answers.
#include <windows.h>
// After windows.h, which it builds on.
#include <oleauto.h>

#include <cstdint>
#include <string>

#include "harness.h"
#include "platform/win32/module/registration.h"
#include "sim/plugin_loader.h"
#include "wine_support.h"

namespace {

constexpr GUID kLibraryId = {
    0x0C9FB259, 0xB864, 0x40A5, {0xB5, 0x9F, 0x65, 0xE1, 0x1E, 0x20, 0x9F, 0xC4}};
constexpr char kRegisteredKey[] = "TypeLib\\{0C9FB259-B864-40A5-B59F-65E11E209FC4}\\1.0\\0\\win32";
constexpr int32_t kClassNotAvailable = static_cast<int32_t>(0x80040111);

using GetClassObjectFn = int32_t(__stdcall*)(const GUID*, const GUID*, void**);

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// The file that the registry names for the registered type library, or empty.
std::string RegisteredFile() {
  char value[MAX_PATH] = {};
  LONG size = sizeof(value);
  if (RegQueryValueA(HKEY_CLASSES_ROOT, kRegisteredKey, value, &size) != ERROR_SUCCESS) return {};
  return value;
}

WINE_TEST(LibraryCarriesTheTypeLibraryWithNoTypes) {
  ITypeLib* library = nullptr;
  REQUIRE(SUCCEEDED(LoadTypeLibEx(Wide(wine_tests::PluginPath()).c_str(), REGKIND_NONE, &library)));
  TLIBATTR* attr = nullptr;
  REQUIRE(SUCCEEDED(library->GetLibAttr(&attr)));
  CHECK(IsEqualGUID(attr->guid, kLibraryId));
  CHECK_EQ(attr->wMajorVerNum, 1);
  CHECK_EQ(attr->wMinorVerNum, 0);
  CHECK_EQ(attr->lcid, 0u);
  CHECK_EQ(static_cast<int>(attr->syskind), static_cast<int>(SYS_WIN32));
  library->ReleaseTLibAttr(attr);
  CHECK_EQ(library->GetTypeInfoCount(), 0u);
  library->Release();
}

WINE_TEST(RegisterThenUnregisterTheTypeLibrary) {
  vaskel::sim::LoadedPlugin plugin;
  std::string error;
  REQUIRE(plugin.Load(wine_tests::PluginPath(), &error));
  CHECK_EQ(plugin.api().DllRegisterServer(), 0);
  const std::string file = RegisteredFile();
  CHECK(!file.empty());
  CHECK(file.find("vaskel.dll") != std::string::npos);
  ITypeLib* registered = nullptr;
  CHECK(SUCCEEDED(LoadRegTypeLib(kLibraryId, 1, 0, 0, &registered)));
  if (registered) registered->Release();

  // Registering twice is harmless.
  CHECK_EQ(plugin.api().DllRegisterServer(), 0);

  CHECK_EQ(plugin.api().DllUnregisterServer(), 0);
  CHECK(RegisteredFile().empty());
  // Nothing left to unregister: the type library step fails.
  CHECK_EQ(plugin.api().DllUnregisterServer(), vaskel::win32::kTypeLibRegistrationFailed);
}

WINE_TEST(RegisteringFromAFileWithoutTheTypeLibraryFails) {
  using vaskel::win32::kTypeLibRegistrationFailed;
  using vaskel::win32::RegisterServerFrom;
  CHECK_EQ(RegisterServerFrom(nullptr), kTypeLibRegistrationFailed);
  CHECK_EQ(RegisterServerFrom(L""), kTypeLibRegistrationFailed);
  CHECK_EQ(RegisterServerFrom(Wide(wine_tests::ScratchDir() + "absent.dll").c_str()),
           kTypeLibRegistrationFailed);
  // This test program is a module without a type library resource.
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  CHECK_EQ(RegisterServerFrom(self), kTypeLibRegistrationFailed);
  CHECK(RegisteredFile().empty());
}

WINE_TEST(NoClassObjectAndTheLibraryMayUnload) {
  vaskel::sim::LoadedPlugin plugin;
  std::string error;
  REQUIRE(plugin.Load(wine_tests::PluginPath(), &error));
  auto get_class_object = reinterpret_cast<GetClassObjectFn>(plugin.Find("DllGetClassObject"));
  REQUIRE(get_class_object != nullptr);
  void* out = &error;  // anything but null: the call must clear it
  CHECK_EQ(get_class_object(&kLibraryId, &IID_IClassFactory, &out), kClassNotAvailable);
  CHECK(out == nullptr);
  CHECK_EQ(get_class_object(&kLibraryId, &IID_IClassFactory, nullptr), kClassNotAvailable);
  CHECK_EQ(plugin.api().DllCanUnloadNow(), 0);
}

}  // namespace
