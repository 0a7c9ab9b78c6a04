// The entry points the host resolves by name. Each forwards to the one global plug-in context.
#include <cstdint>

#include "plugin/plugin_context.h"

#if defined(_WIN32)
#include "platform/win32/module/registration.h"
#endif

#if defined(_WIN32)
#define VASKEL_EXPORT extern "C"
#define VASKEL_STDCALL __stdcall
#else
#define VASKEL_EXPORT extern "C" __attribute__((visibility("default")))
#define VASKEL_STDCALL
#endif

namespace {

vaskel::PluginContext& Plugin() {
  static vaskel::PluginContext context(vaskel::DefaultPlatform());
  return context;
}

constexpr int32_t kClassNotAvailable = static_cast<int32_t>(0x80040111);

}  // namespace

using vaskel::HostCallbackSlot;

VASKEL_EXPORT const char* SetProName(char* name) {
  return Plugin().SetProName(name);
}
VASKEL_EXPORT unsigned char InitControl(void* engine, void* setup, void* planner, void* window) {
  return Plugin().InitControl(engine, setup, planner, window) ? 1 : 0;
}
VASKEL_EXPORT void PostInitControl(void) {
  Plugin().PostInitControl();
}
VASKEL_EXPORT void Update(void) {
  Plugin().Update();
}
VASKEL_EXPORT void Notify(int32_t code) {
  Plugin().Notify(code);
}
VASKEL_EXPORT void DoDwell(double time) {
  Plugin().DoDwell(time);
}
VASKEL_EXPORT void JogOn(int16_t axis, int16_t direction, double speed) {
  Plugin().JogOn(axis, direction, speed);
}
VASKEL_EXPORT void JogOff(int16_t axis) {
  Plugin().JogOff(axis);
}
VASKEL_EXPORT void Home(int16_t axis) {
  Plugin().Home(axis);
}
VASKEL_EXPORT void Probe(void) {
  Plugin().Probe();
}
VASKEL_EXPORT void Purge(int16_t flags) {
  Plugin().Purge(flags);
}
VASKEL_EXPORT void Reset(void) {
  Plugin().Reset();
}
VASKEL_EXPORT void Config(void) {
  Plugin().Config();
}
VASKEL_EXPORT void StopPlug(void) {
  Plugin().StopPlug();
}

VASKEL_EXPORT void* SetDoButton(void* fn) {
  return Plugin().SetHostCallback(HostCallbackSlot::DoButton, fn);
}
VASKEL_EXPORT void* SetSetDRO(void* fn) {
  return Plugin().SetHostCallback(HostCallbackSlot::SetDro, fn);
}
VASKEL_EXPORT void* SetGetDRO(void* fn) {
  return Plugin().SetHostCallback(HostCallbackSlot::GetDro, fn);
}
VASKEL_EXPORT void* SetGetLED(void* fn) {
  return Plugin().SetHostCallback(HostCallbackSlot::GetLed, fn);
}
VASKEL_EXPORT void* SetSetLED(void* fn) {
  return Plugin().SetHostCallback(HostCallbackSlot::SetLed, fn);
}
VASKEL_EXPORT void* SetCode(void* fn) {
  return Plugin().SetHostCallback(HostCallbackSlot::Code, fn);
}

// Component registration. The plug-in registers no class of its own; without a component
// framework these are reduced to their results.
VASKEL_EXPORT int32_t DllRegisterServer(void) {
#if defined(_WIN32)
  return vaskel::win32::RegisterServer();
#else
  return 0;
#endif
}
VASKEL_EXPORT int32_t DllUnregisterServer(void) {
#if defined(_WIN32)
  return vaskel::win32::UnregisterServer();
#else
  return 0;
#endif
}
VASKEL_EXPORT int32_t VASKEL_STDCALL DllGetClassObject(const void* clsid, const void* iid,
                                                       void** out) {
  if (out) *out = nullptr;
  return kClassNotAvailable;
}
VASKEL_EXPORT int32_t DllCanUnloadNow(void) {
  return 0;
}

#if !defined(_WIN32)
// The Linux host's stand-in for a message loop: runs every due tick on the calling thread.
VASKEL_EXPORT int DispatchTimers(void) {
  return Plugin().DispatchTimers();
}
#endif

// Diagnostics for a substitute host: the motion state in force.
VASKEL_EXPORT int32_t VaskelMotionState(void) {
  return Plugin().motion().state();
}
