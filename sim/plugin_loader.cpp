#include "sim/plugin_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vaskel::sim {
namespace {

void* OpenLibrary(const std::string& path, std::string* error) {
#if defined(_WIN32)
  HMODULE h = LoadLibraryA(path.c_str());
  if (!h && error) *error = "LoadLibrary failed for " + path;
  return reinterpret_cast<void*>(h);
#else
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h && error) *error = dlerror();
  return h;
#endif
}

void* Symbol(void* handle, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
  return dlsym(handle, name);
#endif
}

template <class F>
bool Resolve(void* handle, const char* name, F& out, std::string* error, bool required = true) {
  out = reinterpret_cast<F>(Symbol(handle, name));
  if (!out && required) {
    if (error) *error = std::string("entry point not found: ") + name;
    return false;
  }
  return true;
}

}  // namespace

bool LoadedPlugin::Load(const std::string& path, std::string* error) {
  Unload();
  handle_ = OpenLibrary(path, error);
  if (!handle_) return false;
  PluginApi& a = api_;
  bool ok =
      Resolve(handle_, "SetProName", a.SetProName, error) &&
      Resolve(handle_, "InitControl", a.InitControl, error) &&
      Resolve(handle_, "PostInitControl", a.PostInitControl, error) &&
      Resolve(handle_, "Update", a.Update, error) && Resolve(handle_, "Notify", a.Notify, error) &&
      Resolve(handle_, "DoDwell", a.DoDwell, error) && Resolve(handle_, "JogOn", a.JogOn, error) &&
      Resolve(handle_, "JogOff", a.JogOff, error) && Resolve(handle_, "Home", a.Home, error) &&
      Resolve(handle_, "Probe", a.Probe, error) && Resolve(handle_, "Purge", a.Purge, error) &&
      Resolve(handle_, "Reset", a.Reset, error) && Resolve(handle_, "Config", a.Config, error) &&
      Resolve(handle_, "StopPlug", a.StopPlug, error) &&
      Resolve(handle_, "SetDoButton", a.SetDoButton, error) &&
      Resolve(handle_, "SetSetDRO", a.SetSetDRO, error) &&
      Resolve(handle_, "SetGetDRO", a.SetGetDRO, error) &&
      Resolve(handle_, "SetGetLED", a.SetGetLED, error) &&
      Resolve(handle_, "SetSetLED", a.SetSetLED, error) &&
      Resolve(handle_, "SetCode", a.SetCode, error) &&
      Resolve(handle_, "DllRegisterServer", a.DllRegisterServer, error) &&
      Resolve(handle_, "DllUnregisterServer", a.DllUnregisterServer, error) &&
      Resolve(handle_, "DllCanUnloadNow", a.DllCanUnloadNow, error);
#if !defined(_WIN32)
  ok = ok && Resolve(handle_, "DispatchTimers", a.DispatchTimers, error);
#endif
  if (!ok) Unload();
  return ok;
}

void LoadedPlugin::Unload() {
  if (!handle_) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
  handle_ = nullptr;
  api_ = PluginApi{};
}

void* LoadedPlugin::Find(const char* name) const {
  return handle_ ? Symbol(handle_, name) : nullptr;
}

std::string DefaultPluginPath(const char* argv0, const char* file_name) {
  std::string dir = argv0 ? argv0 : "";
  auto slash = dir.find_last_of("/\\");
  dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
  return dir + "/" + file_name;
}

}  // namespace vaskel::sim
