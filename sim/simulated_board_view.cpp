#include "sim/simulated_board_view.h"

#include "sim/board/machine_model.h"

namespace vaskel::sim {

bool SimulatedBoardView::ConfigureMachine(const std::vector<std::string>& lines,
                                          std::string* error) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  MachineParseResult parsed = ParseMachine(text);
  if (!parsed.ok) {
    if (error) *error = "machine: " + parsed.error;
    return false;
  }
  board_.SetMachine(parsed.model);
  return true;
}

void SimulatedBoardView::SetInputPin(int pin, bool level) {
  const uint32_t bit = MachineModel::PinBit(pin);
  forced_mask_ |= bit;
  forced_levels_ = level ? (forced_levels_ | bit) : (forced_levels_ & ~bit);
  board_.OverrideInputs(forced_mask_, forced_levels_);
}

}  // namespace vaskel::sim
