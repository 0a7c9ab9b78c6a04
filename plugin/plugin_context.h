#pragma once
// One plug-in context owns all state of a loaded plug-in and is the one place that knows every
// part: it gives the link and the motion engine their collaborators at construction. The
// exported entry points forward to the one global instance; tests build as many independent
// instances as they like, each on a platform of fakes.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "device/link.h"
#include "host/host_block.h"
#include "motion/motion_engine.h"
#include "motion/spindle.h"
#include "platform/platform.h"
#include "plugin/link_bridge.h"
#include "plugin/messages.h"
#include "plugin/settings_check.h"
#include "plugin/settings_dialog.h"

namespace vaskel {

struct Settings {
  static constexpr int32_t kDefaultBuffer = 200;
  std::atomic<int32_t> device_buffer{kDefaultBuffer};  // DeviceBufferSetting, ms
  std::atomic<int32_t> jog_buffer{kDefaultBuffer};     // JogBufferSetting, ms
  std::string profile_file_name;
  std::string display_name;
  // How SetProName found the two settings, for the log's header.
  SettingReading device_buffer_read;
  SettingReading jog_buffer_read;
  std::string profile_state;
};

// State of the 20 ms tick and its lapse rule.
struct TickState {
  bool update_seen = false;
  bool timer_armed = false;
  int32_t lapse_count = 0;
  int32_t tick_busy = 0;
  uint64_t bodies_run = 0;  // TickBody runs that got past the guard
};

enum class HostCallbackSlot { DoButton, SetDro, GetDro, GetLed, SetLed, Code, kCount };

class PluginContext {
 public:
  static constexpr const char* kDisplaySuffix = " VASKEL PlugIn Ver 2.0a";
  static constexpr int32_t kLapseTicks = 50;
  static constexpr int32_t kTrajectoryChunk = 256;
  static constexpr int32_t kStepRate = DeviceLink::kStepRate;

  explicit PluginContext(Platform& platform);
  ~PluginContext();
  PluginContext(const PluginContext&) = delete;
  PluginContext& operator=(const PluginContext&) = delete;

  // Entry points, in the host's calling order.
  const char* SetProName(char* name);
  bool InitControl(void* engine, void* setup, void* planner, void* window);
  void PostInitControl();
  void Update();
  void Notify(int32_t code);
  void DoDwell(double time);
  void JogOn(int16_t axis, int16_t direction, double speed);
  void JogOff(int16_t axis);
  void Home(int16_t axis);
  void Probe();
  void Purge(int16_t flags) {}
  void Reset() {}
  void Config();
  void StopPlug();
  void* SetHostCallback(HostCallbackSlot slot, void* fn);
  // The Linux host's stand-in for a message loop: steps cooperative workers, runs due ticks.
  int DispatchTimers();

  // The timer's callback and the body it guards.
  void OnTimerTick(TimerId id);
  void TickBody();
  // A backlash amount the host holds with a sign is used by its magnitude: said in the log once
  // for each value an axis shows.
  void NoteSignedBacklashAmounts();

  Platform& platform() { return platform_; }
  const HostBlocks& host() const { return blocks_; }
  Messages& messages() { return messages_; }
  Settings& settings() { return settings_; }
  DeviceLink& link() { return link_; }
  MotionEngine& motion() { return motion_; }
  Spindle& spindle() { return spindle_; }
  SettingsDialog& dialog() { return dialog_; }
  const TickState& tick() const { return tick_; }
  bool initialised() const { return initialised_; }
  bool stopped() const { return stopped_; }
  int32_t period_ms() const { return period_ms_; }

 private:
  static void TimerThunk(void* user, TimerId id);
  // Kills every tick timer this instance started and stops every worker.
  void EndTicksAndWorkers();
  // StopPlug's last step: the host may unload the library right after it.
  void QuiesceForUnload();

  Platform& platform_;
  HostBlocks blocks_;
  Messages messages_;
  Settings settings_;
  TickState tick_;
  std::array<int32_t, 6> signed_backlash_noted_{};
  std::vector<TimerId> live_timers_;
  bool initialised_ = false;
  bool stopped_ = false;
  int32_t timer_period_ms_ = 20;
  int32_t period_ms_ = 0;
  std::array<void*, static_cast<size_t>(HostCallbackSlot::kCount)> callbacks_{};
  SettingsDialog dialog_;
  Spindle spindle_;
  MotionEngine motion_;
  LinkBridge link_bridge_;
  DeviceLink link_;
};

}  // namespace vaskel
