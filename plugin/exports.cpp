// The entry points the host resolves by name. Each forwards to the one global plug-in context,
// through the guard that keeps every failure on this side of the boundary.
#include <cstdint>

#include "platform/library_global.h"
#include "plugin/entry_guard.h"
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

using vaskel::EntryKind;
using vaskel::GuardEntry;
using vaskel::HostCallbackSlot;
using vaskel::PluginContext;

PluginContext& Plugin() {
  // Unloading the library ends everything of it; at process exit it is left to the system.
  static vaskel::LibraryGlobal<PluginContext> context(vaskel::DefaultPlatform());
  return *context;
}

constexpr int32_t kClassNotAvailable = static_cast<int32_t>(0x80040111);
constexpr int32_t kUnexpected = static_cast<int32_t>(0x8000FFFF);
// The display name when even SetProName failed: the host still gets a text to show.
constexpr const char* kFallbackDisplayName = "vaskel VASKEL PlugIn Ver 2.0a";

}  // namespace

VASKEL_EXPORT const char* SetProName(char* name) {
  return GuardEntry(&Plugin, EntryKind::Plain, kFallbackDisplayName,
                    [name](PluginContext& p) { return p.SetProName(name); });
}
VASKEL_EXPORT unsigned char InitControl(void* engine, void* setup, void* planner, void* window) {
  return GuardEntry(&Plugin, EntryKind::Plain, static_cast<unsigned char>(0),
                    [=](PluginContext& p) -> unsigned char {
                      return p.InitControl(engine, setup, planner, window) ? 1 : 0;
                    });
}
VASKEL_EXPORT void PostInitControl(void) {
  GuardEntry(&Plugin, EntryKind::Motion, [](PluginContext& p) { p.PostInitControl(); });
}
VASKEL_EXPORT void Update(void) {
  GuardEntry(&Plugin, EntryKind::Plain, [](PluginContext& p) { p.Update(); });
}
VASKEL_EXPORT void Notify(int32_t code) {
  GuardEntry(&Plugin, EntryKind::Motion, [code](PluginContext& p) { p.Notify(code); });
}
VASKEL_EXPORT void DoDwell(double time) {
  GuardEntry(&Plugin, EntryKind::Motion, [time](PluginContext& p) { p.DoDwell(time); });
}
VASKEL_EXPORT void JogOn(int16_t axis, int16_t direction, double speed) {
  GuardEntry(&Plugin, EntryKind::Motion,
             [=](PluginContext& p) { p.JogOn(axis, direction, speed); });
}
VASKEL_EXPORT void JogOff(int16_t axis) {
  GuardEntry(&Plugin, EntryKind::Motion, [axis](PluginContext& p) { p.JogOff(axis); });
}
VASKEL_EXPORT void Home(int16_t axis) {
  GuardEntry(&Plugin, EntryKind::Motion, [axis](PluginContext& p) { p.Home(axis); });
}
VASKEL_EXPORT void Probe(void) {
  GuardEntry(&Plugin, EntryKind::Motion, [](PluginContext& p) { p.Probe(); });
}
VASKEL_EXPORT void Purge(int16_t flags) {
  GuardEntry(&Plugin, EntryKind::Plain, [flags](PluginContext& p) { p.Purge(flags); });
}
VASKEL_EXPORT void Reset(void) {
  GuardEntry(&Plugin, EntryKind::Plain, [](PluginContext& p) { p.Reset(); });
}
VASKEL_EXPORT void Config(void) {
  GuardEntry(&Plugin, EntryKind::Plain, [](PluginContext& p) { p.Config(); });
}
VASKEL_EXPORT void StopPlug(void) {
  GuardEntry(&Plugin, EntryKind::Plain, [](PluginContext& p) { p.StopPlug(); });
}

namespace {
void* SetCallback(HostCallbackSlot slot, void* fn) {
  return GuardEntry(&Plugin, EntryKind::Plain, fn,
                    [=](PluginContext& p) { return p.SetHostCallback(slot, fn); });
}
}  // namespace

VASKEL_EXPORT void* SetDoButton(void* fn) {
  return SetCallback(HostCallbackSlot::DoButton, fn);
}
VASKEL_EXPORT void* SetSetDRO(void* fn) {
  return SetCallback(HostCallbackSlot::SetDro, fn);
}
VASKEL_EXPORT void* SetGetDRO(void* fn) {
  return SetCallback(HostCallbackSlot::GetDro, fn);
}
VASKEL_EXPORT void* SetGetLED(void* fn) {
  return SetCallback(HostCallbackSlot::GetLed, fn);
}
VASKEL_EXPORT void* SetSetLED(void* fn) {
  return SetCallback(HostCallbackSlot::SetLed, fn);
}
VASKEL_EXPORT void* SetCode(void* fn) {
  return SetCallback(HostCallbackSlot::Code, fn);
}

// Component registration. The plug-in registers no class of its own; without a component
// framework these are reduced to their results. They never touch the plug-in's context.
VASKEL_EXPORT int32_t DllRegisterServer(void) {
#if defined(_WIN32)
  try {
    return vaskel::win32::RegisterServer();
  } catch (...) {
    return kUnexpected;
  }
#else
  return 0;
#endif
}
VASKEL_EXPORT int32_t DllUnregisterServer(void) {
#if defined(_WIN32)
  try {
    return vaskel::win32::UnregisterServer();
  } catch (...) {
    return kUnexpected;
  }
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
  return GuardEntry(&Plugin, EntryKind::Plain, 0,
                    [](PluginContext& p) { return p.DispatchTimers(); });
}
#endif

// Diagnostics for a substitute host: the motion state in force.
VASKEL_EXPORT int32_t VaskelMotionState(void) {
  return GuardEntry(&Plugin, EntryKind::Plain, int32_t{0},
                    [](PluginContext& p) -> int32_t { return p.motion().state(); });
}

#if !defined(_WIN32)
// The link's figures since load (what the stats lines show, and the board's status as its
// replies told it); 0 when the caller's structure is not this library's.
VASKEL_EXPORT int32_t VaskelLinkFigures(vaskel::LinkFigures* out) {
  if (!out || out->size != sizeof(vaskel::LinkFigures)) return 0;
  return GuardEntry(&Plugin, EntryKind::Plain, int32_t{0}, [out](PluginContext& p) -> int32_t {
    *out = p.link().Figures(true);
    return 1;
  });
}

// Milliseconds until DispatchTimers has a tick to run, -1 when no timer runs: a host's loop
// may sleep that long.
VASKEL_EXPORT int32_t VaskelTimerDueInMs(void) {
  return GuardEntry(&Plugin, EntryKind::Plain, int32_t{-1},
                    [](PluginContext& p) { return p.platform().timers().DueInMs(); });
}
#endif
