#include "plugin/plugin_context.h"

#include "host/host_string.h"
#include "plugin/profile_settings.h"
#include "plugin/run_log.h"

namespace vaskel {

PluginContext::PluginContext(Platform& platform)
    : platform_(platform),
      messages_(
          blocks_, [&platform](uint32_t code) { return platform.SystemErrorText(code); },
          &platform.clock()),
      dialog_(*this),
      motion_(MotionServices{blocks_, link_, messages_, platform.clock(), platform.workers(),
                             settings_.jog_buffer}),
      link_bridge_(motion_, spindle_),
      link_(LinkServices{blocks_, messages_, platform.clock(), platform.workers(),
                         [&platform]() -> HidBus& { return platform.hid(); },
                         settings_.device_buffer, link_bridge_, platform.log()}) {}

PluginContext::~PluginContext() {
  // Nothing of this instance may run once it is gone: no tick, no worker.
  EndTicksAndWorkers();
}

void PluginContext::EndTicksAndWorkers() {
  for (TimerId id : live_timers_) platform_.timers().Kill(id);
  live_timers_.clear();
  tick_.timer_armed = false;
  tick_.update_seen = false;
  platform_.workers().StopAll();
}

const char* PluginContext::SetProName(char* name) {
  settings_.profile_file_name = std::string(host_string::View(name));
  profile_settings::Load(*this);
  messages_.FillMessageTable();
  settings_.display_name = platform_.ModuleBaseName() + kDisplaySuffix;
  // A board that is not the USB bus moves no machine; the host's list of plug-ins says so.
  if (!platform_.BoardIsUsb()) settings_.display_name += " [" + platform_.BoardSource() + "]";
  run_log::WriteHeader(*this);
  host_string::Release(name);
  return settings_.display_name.c_str();
}

bool PluginContext::InitControl(void* engine, void* setup, void* planner, void* window) {
  if (stopped_) return true;
  blocks_.engine = HostBlock(engine);
  blocks_.setup = HostBlock(setup);
  blocks_.planner = HostBlock(planner);
  blocks_.window = HostBlock(window);
  tick_.timer_armed = false;
  tick_.update_seen = false;
  blocks_.window.Set(window::kWindowInitFlag, false);
  link_.PrepareIo();
  motion_.set_max_packets_per_pass(4);
  timer_period_ms_ = 20;
  period_ms_ = 3;
  initialised_ = true;
  return true;
}

void PluginContext::PostInitControl() {
  if (!initialised_) return;
  dialog_.Create(blocks_.window.Get(window::kMainWindowHandle));
  blocks_.planner.Set(planner::kTrajectoryChunk, kTrajectoryChunk);
  blocks_.planner.Set(planner::kSegmentPeriod, period_ms_ * 0.001);
  blocks_.planner.Set(planner::kPostInitFlag, int16_t{1});
  for (size_t m = 0; m < 7; ++m) {
    blocks_.planner.Set(planner::kMotorStepRate[m], static_cast<double>(kStepRate));
  }
  link_.ResetSequence();
  motion_.MotionReset();
}

void PluginContext::Update() {
  if (!initialised_) return;
  tick_.update_seen = true;
  if (!tick_.timer_armed) {
    // Without a window every start makes a new timer; all of them share the flags.
    const TimerId id = platform_.timers().Start(timer_period_ms_, &TimerThunk, this);
    if (id != 0) live_timers_.push_back(id);
  }
  link_.ServiceLink();
  spindle_.StepSpindleRamp();
  run_log::WriteShownMessages(*this);
}

void PluginContext::Notify(int32_t code) {
  if (!initialised_) return;
  // Codes -1..10 only: code + 1, taken unsigned, at most 11.
  if (static_cast<uint32_t>(code) + 1u > 11u) return;
  switch (code) {
    case -1:
      motion_.DiscardHostTrajectory();
      motion_.RequestStop();
      break;
    case 3:
    case 5:
      spindle_.OnSpeedCommand(blocks_);
      break;
    case 4:
      spindle_.OnStopCommand(blocks_);
      break;
    case 6:
      motion_.RecomputeAccelSteps();
      break;
    case 10:
      motion_.AbortAndHalt();
      break;
    default:
      break;
  }
}

void PluginContext::DoDwell(double time) {
  if (!initialised_) return;
  motion_.DoDwell(time);
}

void PluginContext::JogOn(int16_t axis, int16_t direction, double speed) {
  if (!initialised_) return;
  motion_.JogOn(axis, direction, speed);
}

void PluginContext::JogOff(int16_t axis) {
  if (!initialised_) return;
  motion_.JogOff(axis);
}

void PluginContext::Home(int16_t axis) {
  if (!initialised_) return;
  motion_.Home(axis);
}

void PluginContext::Probe() {
  if (!initialised_) return;
  motion_.Probe();
}

void PluginContext::Config() {
  if (stopped_) return;
  profile_settings::Touch(*this);
  if (dialog_.exists()) dialog_.Show();
}

void PluginContext::StopPlug() {
  profile_settings::Store(*this);
  run_log::WriteShownMessages(*this);
  if (dialog_.exists()) dialog_.Destroy();
  QuiesceForUnload();
  run_log::WriteRunEnd(*this);
}

void* PluginContext::SetHostCallback(HostCallbackSlot slot, void* fn) {
  callbacks_[static_cast<size_t>(slot)] = fn;
  return fn;
}

void PluginContext::QuiesceForUnload() {
  // The host may free the library as soon as StopPlug returns, and no thread can be joined
  // from inside the unload itself: end every tick, worker and board handle now. Every later
  // entry point is refused, so nothing starts them again.
  stopped_ = true;
  initialised_ = false;
  EndTicksAndWorkers();
  link_.Shutdown();
}

}  // namespace vaskel
