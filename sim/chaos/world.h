#pragma once
// What one seed draws: the machine, the host's program and the link's faults. A world is plain
// data, so a failing one can be cut down (shrink.h) and run again.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/board/board_habits.h"
#include "sim/board/machine_model.h"

namespace vaskel::chaos {

struct AxisSetup {
  bool enabled = false;
  bool reversed = false;
  int slave_master = -1;  // axes 3..5 only
  double steps_per_unit = 1000;
  double velocity = 50;
  double acceleration = 500;
  int32_t backlash_amount = 0;
  int32_t backlash_speed = 0;
  int32_t home_speed_percent = 100;
  bool home_direction = false;
};

// An input record wired to a board pin (records 0..17: limit-, limit+, home by axis; 22 probe).
struct Wiring {
  int record = 0;
  int pin = 1;
  bool active_low = false;
};

enum class ActionKind : uint8_t {
  Move,      // axis_mask, steps[] over `count` segments
  JogOn,     // axis, direction, x = speed
  JogOff,    // axis
  Home,      // axis
  Probe,     // axis, x = target in units, value = feed per minute
  Dwell,     // x = seconds
  Notify,    // value
  EStop,     // value 0/1
  Offline,   // value 0/1
  Override,  // value 0/1
  Spindle,   // x = ratio; negative: off
  Config,
  Backlash,  // value 0/1
  Pause,     // value = ms without Update
};

struct Action {
  uint32_t at_ms = 0;
  ActionKind kind = ActionKind::Notify;
  int axis = 0;
  int direction = 0;
  int32_t value = 0;
  int32_t count = 0;
  double x = 0;
  std::array<int32_t, 6> steps{};
};

enum class FaultKind : uint8_t {
  DropReplies,
  DuplicateReplies,
  DelayReplies,  // param: up to ms
  ReorderReplies,
  UnknownSequence,
  ShortReplies,
  LongReplies,
  FillLie,       // the fill field says anything
  RefuseWrites,  // param: error code, count: run length
  StuckWrites,   // writes never complete while it lasts
  Unplug,        // param: 1 = the board's counts are reset on replug; 0 with rate < 0.35: the
                 // board stays powered and runs its queue on
  SlowBoard,     // param: ms per segment
  LateTimer,     // param: ms late
  BoardReset,    // the board resets while its connection stays up; param 1: just after the
                 // next stop command it takes. Drawn apart from the rest
};

struct Fault {
  uint32_t at_ms = 0;
  uint32_t duration_ms = 0;
  FaultKind kind = FaultKind::DropReplies;
  uint32_t param = 0;
  int32_t count = 0;
  double rate = 0;  // chance per reply, for reply faults
};

struct World {
  uint64_t seed = 0;
  bool stream_only = false;  // moves and harmless calls only: every queued step must arrive
  std::array<AxisSetup, 6> axes{};
  std::vector<sim::MachineSwitch> switches;
  std::vector<Wiring> wiring;
  int32_t device_buffer_ms = 200;
  int32_t jog_buffer_ms = 200;
  uint32_t timer_gap_ms_x10 = 156;  // 15.6 ms, 31.2 ms or 20 ms
  uint32_t update_min_ms = 20, update_max_ms = 200;
  double worker_rate = 1.0;          // chance a worker runs in a given millisecond
  double schedule_point_rate = 0.5;  // chance a schedule point runs a worker step
  uint32_t quiet_ms = 0;             // no fault and no action from here on
  // How the host's planner feeds its ring: every `feed_period_ms`, at most `feed_chunk`
  // entries (0: as many as the look-ahead takes). A slow planner lets the queue run short.
  uint32_t feed_period_ms = 1;
  int32_t feed_chunk = 0;
  // The port: writes that return at once (a socket), or writes that cross the wire for
  // `write_wire_ms` behind the call (both HID ports) and on a close are either never
  // completed (Windows' cancelled write) or still delivered (a write the kernel holds).
  enum class Port : uint8_t { kImmediate, kWindows, kLinux };
  Port port = Port::kImmediate;
  uint32_t write_wire_ms = 0;
  uint32_t reply_wire_ms = 0;  // a reply can be read this long after the board sent it
  // A family of worlds that reaches a rare path often (families.cpp); 0: none.
  int family = 0;
  // A stream-only world whose host compensates backlash: take-ups among the host's contour.
  bool stream_backlash = false;
  // The board drops off the bus (powered, running on) just as the plug-in handles the reply
  // that measures a resynchronisation, for this long; 0: never. The sender's next write finds
  // it gone while the receiver is still inside that reply, or, `drop_as_read`, as soon as the
  // receiver has read it.
  uint32_t drop_in_resync_ms = 0;
  bool drop_as_read = false;
  // The host's thread is preempted just after it commits a packet within Update, with this
  // chance, for up to `preempt_most_ms` of virtual time: the link's own workers run on, and
  // the board answers, before the host's call goes on. 0: never.
  double preempt_rate = 0;
  uint32_t preempt_most_ms = 0;
  // The board drops off the bus (powered, running on) just as the receiver has read a reply
  // of a running link, the first time after `drop_running_after_ms`, for `drop_running_ms`:
  // the receiver is preempted there while the host's Update asks for a status and the
  // sender's write of it finds the board gone and closes the link. 0: never.
  uint32_t drop_running_after_ms = 0;
  uint32_t drop_running_ms = 0;
  // How the board goes about its work within its contract, drawn from a stream of its own.
  sim::BoardHabits habits;
  uint32_t duration_ms = 60000;
  std::vector<Action> actions;
  std::vector<Fault> faults;
};

World GenerateWorld(uint64_t seed, uint32_t duration_ms);
// Whether worlds draw the board's habits (off: the board with one set of habits, as the
// regression seeds were found on).
void SetHabitWorlds(bool on);
std::string DescribeAction(const Action& a);
std::string DescribeFault(const Fault& f);

}  // namespace vaskel::chaos
