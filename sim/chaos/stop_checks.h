#pragma once
// What a stop the host asks for (Notify -1) must do: its stop command reaches the send ring
// before anything takes the machine out of StopRequested, and the machine returns to Running
// only once the board has drained, unless a dwell asked for during the stop took over.
#include <cstdint>
#include <string>

#include "plugin/plugin_context.h"

namespace vaskel::chaos {

class StopChecks {
 public:
  explicit StopChecks(PluginContext& ctx) : ctx_(ctx) {}

  // Just before the host's Notify(-1), and before its DoDwell.
  void ExpectStop();
  void NoteDwellCall() { dwell_called_ = true; }
  void BeforeStep() {
    fill_before_ = ctx_.link().device_fill();
    bodies_before_ = ctx_.tick().bodies_run;
    running_before_ = ctx_.link().link_running();
  }
  // False once an invariant is broken: invariant() and failure() say which and how.
  bool AfterStep();

  const std::string& invariant() const { return invariant_; }
  const std::string& failure() const { return failure_; }

 private:
  void ScanStops();
  void Fail(const char* invariant, const std::string& text);

  PluginContext& ctx_;
  uint32_t starts_seen_ = 0;
  int32_t write_seen_ = 0;
  uint64_t stops_committed_ = 0;
  bool expecting_ = false;
  bool stop_owed_ = false;
  int32_t owed_motion_ticks_ = 0;  // motion ticks run while the stop was owed
  uint64_t bodies_before_ = 0;
  bool running_before_ = false;
  uint64_t stops_at_request_ = 0;
  bool drain_owed_ = false;
  bool dwell_called_ = false;
  int32_t fill_before_ = 0;
  int32_t state_before_ = -1;
  std::string invariant_, failure_;
};

}  // namespace vaskel::chaos
