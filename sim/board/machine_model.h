#pragma once
// The machine around the board: switches that close when an axis passes a position, read by
// the board as input pins. Axis a is board channel a.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vaskel::sim {

enum class SwitchKind { Limit, Home, Probe };
// Min: active at or below the position; Max: active at or above it.
enum class SwitchSide { Min, Max };

struct MachineSwitch {
  SwitchKind kind = SwitchKind::Limit;
  int axis = 0;
  SwitchSide side = SwitchSide::Min;
  int32_t position = 0;
  int pin = 1;              // input pin n is bit (n - 1) mod 32 of the input word, like the host
  bool active_low = false;  // the pin reads low while the switch is active
};

class MachineModel {
 public:
  void Add(const MachineSwitch& s) { switches_.push_back(s); }
  const std::vector<MachineSwitch>& switches() const { return switches_; }
  bool empty() const { return switches_.empty(); }

  static uint32_t PinBit(int pin) { return 1u << ((pin + 31) % 32); }
  static bool IsActive(const MachineSwitch& s, int32_t count);
  // Pin levels for the given channel counts; switches on one pin are wired-OR.
  uint32_t InputWord(const std::array<int32_t, 6>& counts) const;

 private:
  std::vector<MachineSwitch> switches_;
};

struct MachineParseResult {
  bool ok = false;
  MachineModel model;
  std::string error;  // "line N: ..." when not ok
};

// One switch a line: KIND AXIS SIDE POSITION pin PIN [active-low], where KIND is limit, home
// or probe, AXIS 0..5, SIDE min or max, PIN 0..31. '#' starts a comment.
MachineParseResult ParseMachine(std::string_view text);
MachineParseResult LoadMachineFile(const std::string& path);

}  // namespace vaskel::sim
