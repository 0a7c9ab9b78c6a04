#pragma once
// Loads the built plug-in by path and resolves its entry points by name, as a host does.
#include <cstdint>
#include <string>

namespace vaskel::sim {

struct PluginApi {
  const char* (*SetProName)(char*) = nullptr;
  unsigned char (*InitControl)(void*, void*, void*, void*) = nullptr;
  void (*PostInitControl)() = nullptr;
  void (*Update)() = nullptr;
  void (*Notify)(int32_t) = nullptr;
  void (*DoDwell)(double) = nullptr;
  void (*JogOn)(int16_t, int16_t, double) = nullptr;
  void (*JogOff)(int16_t) = nullptr;
  void (*Home)(int16_t) = nullptr;
  void (*Probe)() = nullptr;
  void (*Purge)(int16_t) = nullptr;
  void (*Reset)() = nullptr;
  void (*Config)() = nullptr;
  void (*StopPlug)() = nullptr;
  void* (*SetDoButton)(void*) = nullptr;
  void* (*SetSetDRO)(void*) = nullptr;
  void* (*SetGetDRO)(void*) = nullptr;
  void* (*SetGetLED)(void*) = nullptr;
  void* (*SetSetLED)(void*) = nullptr;
  void* (*SetCode)(void*) = nullptr;
  int32_t (*DllRegisterServer)() = nullptr;
  int32_t (*DllUnregisterServer)() = nullptr;
  int32_t (*DllCanUnloadNow)() = nullptr;
  int (*DispatchTimers)() = nullptr;  // Linux only
};

class LoadedPlugin {
 public:
  LoadedPlugin() = default;
  ~LoadedPlugin() { Unload(); }
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;

  // False with a reason when the library or one of its entry points cannot be had.
  bool Load(const std::string& path, std::string* error);
  void Unload();
  bool loaded() const { return handle_ != nullptr; }
  const PluginApi& api() const { return api_; }
  // An optional export; null when the library has none of that name.
  void* Find(const char* name) const;

 private:
  void* handle_ = nullptr;
  PluginApi api_;
};

// The plug-in that sits next to the running program.
std::string DefaultPluginPath(const char* argv0, const char* file_name);

}  // namespace vaskel::sim
