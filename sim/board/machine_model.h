#pragma once
// The machine around the board: switches that close when an axis passes a position, read by
// the board as input pins. Axis a is board channel a.
#include <algorithm>
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

// Mechanical play between a motor and its tool, by channel. The motor's count moves freely
// within the play; only once it presses on one side does the tool move with it. The gap is
// count minus tool, kept within [-play, 0]: 0 while the motor presses in the positive
// direction, -play in the negative one.
class MechanicalPlay {
 public:
  void Set(int channel, int32_t play, bool pressing_positive) {
    play_[channel] = play;
    gap_[channel] = pressing_positive ? 0 : -play;
  }
  void Move(int channel, int32_t steps) {
    const int64_t gap = std::clamp<int64_t>(int64_t{gap_[channel]} + steps, -play_[channel], 0);
    tool_[channel] =
        static_cast<int32_t>(static_cast<uint32_t>(tool_[channel]) + static_cast<uint32_t>(steps) -
                             static_cast<uint32_t>(gap - gap_[channel]));
    gap_[channel] = static_cast<int32_t>(gap);
  }
  const std::array<int32_t, 6>& tool() const { return tool_; }
  const std::array<int32_t, 6>& gap() const { return gap_; }
  const std::array<int32_t, 6>& play() const { return play_; }

 private:
  std::array<int32_t, 6> play_{};
  std::array<int32_t, 6> gap_{};
  std::array<int32_t, 6> tool_{};  // moves with the counts but for the play; a count reset
                                   // leaves it where it is
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
