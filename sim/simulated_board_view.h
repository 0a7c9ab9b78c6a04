#pragma once
// The in-process board simulator as the scenario runner sees it.
#include <chrono>
#include <memory>

#include "sim/board/board_simulator.h"
#include "sim/board/sim_hid_bus.h"
#include "sim/scenario_runner.h"

namespace vaskel::sim {

class SimulatedBoardView : public BoardView {
 public:
  explicit SimulatedBoardView(BoardOptions options = {})
      : board_(clock_, std::move(options)), bus_(board_) {}

  FakeClock& clock() override { return clock_; }
  HidBus& bus() override { return bus_; }
  bool ConfigureMachine(const std::vector<std::string>& lines, std::string* error) override;
  void SetInputPin(int pin, bool level) override;
  int32_t fill() override { return static_cast<int32_t>(board_.Fill()); }
  int32_t count(int channel) override { return board_.Counts()[channel]; }
  uint64_t underruns() override { return board_.Stats().underruns; }
  int32_t highest_fill() override { return static_cast<int32_t>(board_.Stats().highest_fill); }
  uint64_t segments_received() override { return board_.Stats().segments_received; }
  BoardSimulator& board() { return board_; }

 private:
  // Virtual time that starts at the real date, so the plug-in's log reads like the day's.
  FakeClock clock_{0, std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count()};
  BoardSimulator board_;
  SimHidBus bus_;
  uint32_t forced_mask_ = 0;
  uint32_t forced_levels_ = 0;
};

}  // namespace vaskel::sim
