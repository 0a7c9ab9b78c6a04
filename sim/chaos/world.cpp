#include "sim/chaos/world.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

#include "sim/chaos/families.h"
#include "sim/chaos/rng.h"
#include "sim/chaos/stop_races.h"

namespace vaskel::chaos {
namespace {

constexpr double kSegmentSeconds = 0.003;
constexpr int32_t kTravelSteps = 20000;  // host moves stay within this of zero
constexpr int32_t kLimitSteps = 400000;  // limit switches sit this far out

void DrawAxes(Rng& rng, World& w) {
  static const double kStepsPerUnit[] = {50, 100, 200, 250, 400, 800, 1000, 1600, 2000};
  for (int a = 0; a < 6; ++a) {
    AxisSetup& x = w.axes[a];
    x.enabled = a == 0 || rng.Chance(a < 3 ? 0.7 : 0.25);
    x.reversed = rng.Chance(0.25);
    if (a >= 3 && rng.Chance(0.2)) x.slave_master = static_cast<int>(rng.Range(0, 2));
    x.steps_per_unit = rng.Chance(0.6) ? rng.Pick(kStepsPerUnit) : rng.Range(20, 2000) + 0.5;
    // Top speed between 40 and 1200 steps a segment; full speed within 0.05 to 1 s.
    const double steps_per_segment = static_cast<double>(rng.Range(40, 1200));
    x.velocity = std::round(steps_per_segment / (x.steps_per_unit * kSegmentSeconds));
    if (x.velocity < 1) x.velocity = 1;
    x.acceleration = std::round(x.velocity / (0.05 + 0.95 * rng.Unit()));
    if (rng.Chance(0.4)) {
      x.backlash_amount = static_cast<int32_t>(rng.Range(1, 300));
      x.backlash_speed = static_cast<int32_t>(rng.Range(0, 100));
    }
    x.home_speed_percent = static_cast<int32_t>(rng.Chance(0.5) ? 100 : rng.Range(10, 100));
    x.home_direction = rng.Chance(0.5);
  }
}

// The whole legal domain of a take-up, drawn after everything else so that the worlds above
// stay as they were: an amount entered with a sign (the play is its width), and amounts and
// speeds that need more steps a segment than a field's 2,047.
void DrawTakeUpDomain(Rng& rng, World& w) {
  if (!rng.Chance(0.15)) return;
  for (AxisSetup& x : w.axes) {
    if (x.backlash_amount == 0) continue;
    if (rng.Chance(0.3)) {
      x.backlash_amount = static_cast<int32_t>(rng.Range(2048, 6000));
      const auto steps_per_segment = static_cast<double>(rng.Range(1000, 4000));
      const double speed = steps_per_segment / (x.steps_per_unit * kSegmentSeconds) * 204800.0;
      x.backlash_speed = static_cast<int32_t>(std::min(speed, 2147483647.0));
    }
    if (rng.Chance(0.5)) x.backlash_amount = -x.backlash_amount;
  }
}

// Limits far out on the axes in use, a home switch within reach of a home, a probe switch.
void DrawMachine(Rng& rng, World& w) {
  int next_pin = 1;
  auto wire = [&](int record, sim::SwitchKind kind, int axis, sim::SwitchSide side,
                  int32_t position) {
    const bool active_low = rng.Chance(0.3);
    const int pin = next_pin++;
    w.switches.push_back({kind, axis, side, position, pin, active_low});
    w.wiring.push_back({record, pin, active_low});
  };
  for (int a = 0; a < 3; ++a) {
    if (!w.axes[a].enabled) continue;
    if (rng.Chance(0.5)) {
      wire(3 * a, sim::SwitchKind::Limit, a, sim::SwitchSide::Min, -kLimitSteps);
      wire(3 * a + 1, sim::SwitchKind::Limit, a, sim::SwitchSide::Max, kLimitSteps);
    }
    if (rng.Chance(0.7)) {
      const AxisSetup& x = w.axes[a];
      const double speed = x.steps_per_unit * x.velocity * x.home_speed_percent / 200.0;
      const auto reach = static_cast<int32_t>(speed * (0.2 + 1.5 * rng.Unit())) + kTravelSteps;
      wire(3 * a + 2, sim::SwitchKind::Home, a,
           x.home_direction ? sim::SwitchSide::Max : sim::SwitchSide::Min,
           x.home_direction ? reach : -reach);
    }
  }
  if (rng.Chance(0.6)) {
    const int axis = 0;
    wire(22, sim::SwitchKind::Probe, axis, sim::SwitchSide::Min,
         -static_cast<int32_t>(rng.Range(kTravelSteps, 3 * kTravelSteps)));
  }
}

Action DrawMove(Rng& rng, const World& w, std::array<int64_t, 6>& at) {
  Action m;
  m.kind = ActionKind::Move;
  m.count = static_cast<int32_t>(rng.Range(1, 400));
  for (int a = 0; a < 6; ++a) {
    if (!w.axes[a].enabled || rng.Chance(0.3)) continue;
    const int64_t most = std::min<int64_t>(m.count * 900LL, 2 * kTravelSteps);
    int64_t target = at[a] + rng.Range(-most, most);
    target = std::clamp<int64_t>(target, -kTravelSteps, kTravelSteps);
    m.steps[a] = static_cast<int32_t>(target - at[a]);
    at[a] = target;
  }
  return m;
}

Action DrawPluginAction(Rng& rng, const World& w) {
  Action x;
  std::vector<int> axes;
  for (int a = 0; a < 6; ++a) {
    if (w.axes[a].enabled) axes.push_back(a);
  }
  x.axis = axes[rng.Next() % axes.size()];
  switch (rng.Range(0, 13)) {
    case 0:
    case 1:
      x.kind = ActionKind::JogOn;
      x.direction = static_cast<int>(rng.Range(0, 1));
      x.x = rng.Chance(0.5) ? 0 : static_cast<double>(rng.Range(1, 100));
      break;
    case 2:
    case 3:
      x.kind = ActionKind::JogOff;
      break;
    case 4: {
      // Only where a home switch is in reach: a home without one runs into a limit.
      x.kind = ActionKind::Home;
      std::vector<int> homes;
      for (const sim::MachineSwitch& s : w.switches) {
        if (s.kind == sim::SwitchKind::Home) homes.push_back(s.axis);
      }
      if (homes.empty()) {
        x.kind = ActionKind::JogOff;
      } else {
        x.axis = homes[rng.Next() % homes.size()];
      }
      break;
    }
    case 5:
      x.kind = ActionKind::Probe;
      x.axis = 0;
      x.x = -static_cast<double>(rng.Range(1, 200));
      x.value = static_cast<int32_t>(rng.Range(10, 600));
      break;
    case 6:
      x.kind = ActionKind::Dwell;
      x.x = 0.05 * static_cast<double>(rng.Range(1, 40));
      break;
    case 7: {
      static const int32_t kCodes[] = {-1, 3, 4, 5, 6, 10, 0, 2, 7, 11, -2, 99};
      x.kind = ActionKind::Notify;
      x.value = rng.Pick(kCodes);
      break;
    }
    case 8:
      x.kind = ActionKind::EStop;
      x.value = static_cast<int32_t>(rng.Range(0, 1));
      break;
    case 9:
      x.kind = ActionKind::Offline;
      x.value = static_cast<int32_t>(rng.Range(0, 1));
      break;
    case 10:
      x.kind = ActionKind::Override;
      x.value = static_cast<int32_t>(rng.Range(0, 1));
      break;
    case 11:
      x.kind = ActionKind::Backlash;
      x.value = static_cast<int32_t>(rng.Range(0, 1));
      break;
    default:
      x.kind = ActionKind::Spindle;
      x.x = rng.Chance(0.2) ? -1 : rng.Unit() * 1.2;
      break;
  }
  return x;
}

Action DrawHarmless(Rng& rng) {
  Action x;
  switch (rng.Range(0, 3)) {
    case 0: {
      static const int32_t kCodes[] = {3, 4, 5, 6, 0, 2, 7, 11, -2, 99};
      x.kind = ActionKind::Notify;
      x.value = rng.Pick(kCodes);
      break;
    }
    case 1:
      x.kind = ActionKind::Config;
      break;
    case 2:
      x.kind = ActionKind::Spindle;
      x.x = rng.Chance(0.2) ? -1 : rng.Unit();
      break;
    default:
      x.kind = ActionKind::Pause;
      x.value = static_cast<int32_t>(rng.Range(300, 3000));
      break;
  }
  return x;
}

Fault DrawFault(Rng& rng, uint32_t until_ms) {
  Fault f;
  f.kind = static_cast<FaultKind>(rng.Range(0, static_cast<int>(FaultKind::LateTimer)));
  f.at_ms = static_cast<uint32_t>(rng.Range(200, until_ms - 1000));
  f.duration_ms = static_cast<uint32_t>(rng.Range(20, 5000));
  f.rate = 0.05 + 0.6 * rng.Unit();
  switch (f.kind) {
    case FaultKind::DelayReplies:
      f.param = static_cast<uint32_t>(rng.Range(1, 500));
      break;
    case FaultKind::RefuseWrites: {
      static const uint32_t kCodes[] = {1167, 31, 5, 87, 1117, 995};
      f.param = rng.Pick(kCodes);
      f.count = static_cast<int32_t>(rng.Range(1, 25));
      break;
    }
    case FaultKind::StuckWrites:
      f.duration_ms =
          static_cast<uint32_t>(rng.Chance(0.5) ? rng.Range(100, 3500) : rng.Range(4100, 7000));
      break;
    case FaultKind::Unplug:
      f.param = static_cast<uint32_t>(rng.Range(0, 1));
      f.duration_ms = static_cast<uint32_t>(rng.Range(1, 3000));
      break;
    case FaultKind::SlowBoard:
      f.param = static_cast<uint32_t>(rng.Range(4, 6));
      break;
    case FaultKind::LateTimer:
      f.param = static_cast<uint32_t>(rng.Range(20, 400));
      break;
    default:
      break;
  }
  if (f.at_ms + f.duration_ms > until_ms) f.duration_ms = until_ms - f.at_ms;
  return f;
}

// About one world in four keeps the board's own habits; the others draw any of the rest over
// its whole domain. A stream of its own leaves every other draw of the seed as it was.
std::atomic<bool> habit_worlds{false};

void DrawHabits(uint64_t seed, World& w) {
  if (!habit_worlds.load(std::memory_order_relaxed)) return;
  Rng rng((seed ^ 0x6a09e667f3bcc909ULL) * 0x9e3779b97f4a7c15ULL + 7);
  sim::BoardHabits& h = w.habits;
  if (rng.Chance(0.25)) return;
  if (rng.Chance(0.5)) {
    h.compose_late_max_ms = static_cast<uint32_t>(rng.Range(1, 40));
    h.compose_seed = rng.Next();
  }
  h.fill_excludes_in_hand = rng.Chance(0.5);
  if (rng.Chance(0.5)) {
    h.counts_step_through = true;
    for (double& r : h.step_rates) r = 1.0 - rng.Unit();  // (0, 1]
  }
  h.stop_finishes_in_hand = rng.Chance(0.5);
  if (rng.Chance(0.5)) {
    // Never a channel the status mapping reads: 0..3 always, 4 with axis 3 enabled, 5 with
    // axis 3 enabled and 4 and 5 not. AxisEnabled holds for the whole run.
    const bool a3 = w.axes[3].enabled;
    const bool five_read = a3 && !w.axes[4].enabled && !w.axes[5].enabled;
    uint8_t mask = 0x0f;
    if (a3 || rng.Chance(0.5)) mask |= 0x10;
    if (five_read || rng.Chance(0.5)) mask |= 0x20;
    h.counted_channels = mask;
  }
  h.sync_first = rng.Chance(0.5);
  if (rng.Chance(0.5)) h.clock_ppm = static_cast<int32_t>(rng.Range(-50000, 50000));
}

}  // namespace

void SetHabitWorlds(bool on) {
  habit_worlds.store(on, std::memory_order_relaxed);
}

World GenerateWorld(uint64_t seed, uint32_t duration_ms) {
  Rng rng(seed * 0x2545f4914f6cdd1dULL + 1);
  World w;
  w.seed = seed;
  w.duration_ms = std::max<uint32_t>(duration_ms, 20000);
  w.quiet_ms = w.duration_ms - 12000;
  w.stream_only = rng.Chance(0.4);
  DrawAxes(rng, w);
  DrawMachine(rng, w);
  w.device_buffer_ms = static_cast<int32_t>(rng.Range(100, 1000));
  w.jog_buffer_ms = static_cast<int32_t>(rng.Range(100, 1000));
  static const uint32_t kGaps[] = {156, 312, 200};
  w.timer_gap_ms_x10 = rng.Pick(kGaps);
  w.update_min_ms = static_cast<uint32_t>(rng.Range(20, 100));
  w.update_max_ms = static_cast<uint32_t>(rng.Range(w.update_min_ms, 200));
  w.worker_rate = 0.15 + 0.85 * rng.Unit();
  w.schedule_point_rate = rng.Unit();

  // The host's program: moves one after another with other calls between them.
  std::array<int64_t, 6> at{};
  const uint32_t last_action = w.quiet_ms - 3000;
  uint32_t t = static_cast<uint32_t>(rng.Range(100, 1500));
  while (t < last_action) {
    Action a;
    const double roll = rng.Unit();
    if (roll < 0.45) {
      a = DrawMove(rng, w, at);
    } else if (roll < 0.6 || w.stream_only) {
      a = DrawHarmless(rng);
    } else {
      a = DrawPluginAction(rng, w);
      // A plug-in move leaves the machine where it ends; the host plans from there anyway,
      // so the travel bound is kept only loosely.
    }
    a.at_ms = t;
    w.actions.push_back(a);
    t += static_cast<uint32_t>(rng.Range(10, 2500));
  }

  const int faults = static_cast<int>(rng.Range(0, 12));
  for (int i = 0; i < faults; ++i) w.faults.push_back(DrawFault(rng, w.quiet_ms));
  std::sort(w.faults.begin(), w.faults.end(),
            [](const Fault& x, const Fault& y) { return x.at_ms < y.at_ms; });
  // Drawn last, so that the worlds drawn before it stay as they were.
  if (rng.Chance(0.5)) {
    w.feed_period_ms = static_cast<uint32_t>(rng.Range(10, 60));
    w.feed_chunk = static_cast<int32_t>(rng.Range(3, 40));
  }
  DrawWireAndFamily(rng, w);
  // Also drawn last, and never by DrawFault, whose kinds and draws stay as they were.
  if (rng.Chance(0.25)) {
    Fault reset;
    reset.kind = FaultKind::BoardReset;
    reset.at_ms = static_cast<uint32_t>(rng.Range(200, w.quiet_ms - 1000));
    reset.duration_ms = 1;
    reset.param = static_cast<uint32_t>(rng.Range(0, 1));
    const auto at =
        std::upper_bound(w.faults.begin(), w.faults.end(), reset,
                         [](const Fault& x, const Fault& y) { return x.at_ms < y.at_ms; });
    w.faults.insert(at, reset);
  }
  DrawStopRaces(rng, w);
  // Drawn after everything above, so that those worlds stay as they were.
  w.stream_backlash = w.stream_only && rng.Chance(0.3);
  // A host may give take-ups a speed of several steps a segment: distance ramps that brake
  // and must end on their amount exactly.
  if (rng.Chance(0.4)) {
    for (AxisSetup& x : w.axes) {
      if (x.backlash_amount == 0) continue;
      const auto steps_per_segment = static_cast<double>(rng.Range(2, 60));
      x.backlash_speed = static_cast<int32_t>(
          std::lround(steps_per_segment / (x.steps_per_unit * kSegmentSeconds) * 204800.0));
    }
  }
  // A drop the powered board runs through, then one that resets its counts: the first
  // alignment keeps the offsets, the second must set them again.
  if (rng.Chance(0.12)) {
    Fault through;
    through.kind = FaultKind::Unplug;
    through.param = 0;
    through.rate = 0.1;  // below 0.35: the board runs on
    through.duration_ms = static_cast<uint32_t>(rng.Range(50, 1500));
    through.at_ms = static_cast<uint32_t>(rng.Range(200, w.quiet_ms / 2));
    Fault reset = through;
    reset.param = 1;
    reset.rate = 0.5;
    reset.at_ms =
        through.at_ms + through.duration_ms + static_cast<uint32_t>(rng.Range(1000, 8000));
    for (const Fault& f : {through, reset}) {
      if (f.at_ms + f.duration_ms + 1000 >= w.quiet_ms) continue;
      const auto at =
          std::upper_bound(w.faults.begin(), w.faults.end(), f,
                           [](const Fault& x, const Fault& y) { return x.at_ms < y.at_ms; });
      w.faults.insert(at, f);
    }
  }
  DrawTakeUpDrop(rng, w);
  if (rng.Chance(0.15)) {
    w.drop_in_resync_ms = static_cast<uint32_t>(rng.Range(1, 600));
    w.drop_as_read = rng.Chance(0.5);
  }
  DrawMuteAcrossStops(rng, w);
  DrawProbeBehindHeldStop(rng, w);
  DrawHostPreemption(rng, w);
  DrawDropAtRunningRead(rng, w);
  DrawHabits(seed, w);
  DrawTakeUpDomain(rng, w);
  return w;
}

std::string DescribeAction(const Action& a) {
  static const char* const kNames[] = {"move",    "jog",    "jogoff",   "home",    "probe",
                                       "dwell",   "notify", "estop",    "offline", "override",
                                       "spindle", "config", "backlash", "pause"};
  char text[160];
  int n = std::snprintf(text, sizeof text, "%8.3f s  %s", a.at_ms / 1000.0,
                        kNames[static_cast<int>(a.kind)]);
  switch (a.kind) {
    case ActionKind::Move:
      n += std::snprintf(text + n, sizeof text - n, " %d segments, steps", a.count);
      for (int k = 0; k < 6; ++k) n += std::snprintf(text + n, sizeof text - n, " %d", a.steps[k]);
      break;
    case ActionKind::JogOn:
      std::snprintf(text + n, sizeof text - n, " axis %d %s speed %g", a.axis,
                    a.direction ? "-" : "+", a.x);
      break;
    case ActionKind::JogOff:
    case ActionKind::Home:
      std::snprintf(text + n, sizeof text - n, " axis %d", a.axis);
      break;
    case ActionKind::Probe:
      std::snprintf(text + n, sizeof text - n, " axis %d to %g F%d", a.axis, a.x, a.value);
      break;
    case ActionKind::Dwell:
    case ActionKind::Spindle:
      std::snprintf(text + n, sizeof text - n, " %g", a.x);
      break;
    case ActionKind::Config:
      break;
    default:
      std::snprintf(text + n, sizeof text - n, " %d", a.value);
      break;
  }
  return text;
}

std::string DescribeFault(const Fault& f) {
  static const char* const kNames[] = {
      "drop replies",  "duplicate replies", "delay replies", "reorder replies", "unknown sequence",
      "short replies", "long replies",      "any fill",      "refuse writes",   "stuck writes",
      "unplug",        "slow board",        "late timer",    "board reset"};
  char text[160];
  std::snprintf(text, sizeof text, "%8.3f s  %s for %u ms (rate %.2f, param %u, count %d)",
                f.at_ms / 1000.0, kNames[static_cast<int>(f.kind)], f.duration_ms, f.rate, f.param,
                f.count);
  return text;
}

}  // namespace vaskel::chaos
