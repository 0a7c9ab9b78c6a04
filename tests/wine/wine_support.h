#pragma once
// What the Windows tests share: where the plug-in is, the process's threads, and a message
// loop that delivers the plug-in's timer ticks the way a host's loop does.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace wine_tests {

void SetPluginPath(const std::string& path);
const std::string& PluginPath();
// A scratch folder of this run, created on first use; ends with a backslash.
const std::string& ScratchDir();

size_t CountProcessThreads();

// The child side of the process-exit test: a host that runs the plug-in with its board link
// and tick live, then ends its process without StopPlug. Never returns.
constexpr const char* kExitWithoutStopPlugFlag = "--exit-without-stop-plug";
constexpr UINT kExitWithoutStopPlugCode = 42;
[[noreturn]] void ExitWithoutStopPlug();

// Dispatches this thread's messages for a while, waiting for them without spinning, and
// counts the window timer ticks among them.
class MessagePump {
 public:
  // Pumps for `ms` milliseconds; returns the ticks dispatched meanwhile.
  int PumpFor(uint32_t ms);
  // Pumps until no tick has come for `quiet_ms` (or `limit_ms` passed); returns the ticks.
  int PumpUntilQuiet(uint32_t quiet_ms, uint32_t limit_ms);
  uint32_t last_tick_ms() const { return last_tick_ms_; }
  UINT_PTR last_timer_id() const { return last_timer_id_; }

 private:
  int DispatchPending();
  uint32_t last_tick_ms_ = 0;
  UINT_PTR last_timer_id_ = 0;
};

// Calls the host's Update every 50 ms, pumping meanwhile, until `done` or `limit_ms`; true
// when done.
template <class Host, class Done>
bool RunUntil(Host& host, MessagePump& pump, uint32_t limit_ms, Done done) {
  const uint32_t start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > limit_ms) return false;
    host.Update();
    pump.PumpFor(50);
  }
  return true;
}

}  // namespace wine_tests
