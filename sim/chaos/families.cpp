#include "sim/chaos/families.h"

#include <algorithm>
#include <array>
#include <vector>

namespace vaskel::chaos {
namespace {

uint32_t FaultStart(Rng& rng, const World& w, uint32_t duration_ms) {
  const uint32_t last = w.quiet_ms > duration_ms + 1200 ? w.quiet_ms - duration_ms - 1000 : 300;
  return static_cast<uint32_t>(rng.Range(200, std::max<uint32_t>(last, 201)));
}

void AddMuteBoard(Rng& rng, World& w) {
  Fault f;
  f.kind = FaultKind::DropReplies;
  f.rate = 1.0;
  f.duration_ms = static_cast<uint32_t>(rng.Range(8000, 30000));
  f.at_ms = FaultStart(rng, w, f.duration_ms);
  w.faults.push_back(f);
}

void AddLongStall(Rng& rng, World& w) {
  Fault f;
  f.kind = FaultKind::StuckWrites;
  f.duration_ms = static_cast<uint32_t>(rng.Range(3500, 5200));
  f.rate = rng.Unit();  // picks how the stalled write ends
  f.at_ms = FaultStart(rng, w, f.duration_ms);
  w.faults.push_back(f);
}

// More refused writes than the link takes before it closes, and the reconnection's measuring
// replies lost: the resynchronisation cannot measure what the board ran.
void AddLostMeasurement(Rng& rng, World& w) {
  Fault refuse;
  refuse.kind = FaultKind::RefuseWrites;
  static const uint32_t kCodes[] = {31, 5, 87, 1117};
  refuse.param = rng.Pick(kCodes);
  refuse.count = static_cast<int32_t>(rng.Range(12, 30));
  refuse.duration_ms = 3000;
  refuse.at_ms = FaultStart(rng, w, refuse.duration_ms);
  Fault mute;
  mute.kind = FaultKind::DropReplies;
  mute.rate = 1.0;
  mute.at_ms = refuse.at_ms + static_cast<uint32_t>(rng.Range(0, 50));
  mute.duration_ms = static_cast<uint32_t>(rng.Range(300, 2000));
  w.faults.push_back(refuse);
  w.faults.push_back(mute);
}

Action AwkwardCall(Rng& rng, const World& w) {
  Action x;
  x.axis = 0;
  switch (rng.Range(0, 7)) {
    case 0:
      x.kind = ActionKind::Notify;
      x.value = -1;  // stop
      break;
    case 1:
      x.kind = ActionKind::EStop;
      x.value = 1;
      break;
    case 2:
      x.kind = ActionKind::Notify;
      x.value = 10;  // reset
      break;
    case 3:
      x.kind = ActionKind::Dwell;
      x.x = 0.05 * static_cast<double>(rng.Range(1, 20));
      break;
    case 4:
      x.kind = ActionKind::Probe;
      x.x = -static_cast<double>(rng.Range(1, 200));
      x.value = static_cast<int32_t>(rng.Range(10, 600));
      break;
    case 5: {
      x.kind = ActionKind::JogOff;
      for (const sim::MachineSwitch& s : w.switches) {
        if (s.kind == sim::SwitchKind::Home) {
          x.kind = ActionKind::Home;
          x.axis = s.axis;
          break;
        }
      }
      break;
    }
    case 6:
      x.kind = ActionKind::JogOn;
      x.direction = static_cast<int>(rng.Range(0, 1));
      break;
    default:
      x.kind = ActionKind::EStop;
      x.value = 0;
      break;
  }
  return x;
}

// Host calls while a move streams (its take-up, its drain) or just as a fault ends.
void AddAwkwardCalls(Rng& rng, World& w) {
  std::vector<uint32_t> anchors;
  for (const Action& a : w.actions) {
    if (a.kind == ActionKind::Move)
      anchors.push_back(a.at_ms + static_cast<uint32_t>(rng.Range(3, 400)));
  }
  for (const Fault& f : w.faults) {
    anchors.push_back(f.at_ms + f.duration_ms + static_cast<uint32_t>(rng.Range(0, 60)));
  }
  if (anchors.empty()) return;
  const int calls = static_cast<int>(rng.Range(2, 6));
  const uint32_t last = w.quiet_ms - 3000;
  for (int i = 0; i < calls; ++i) {
    Action x = AwkwardCall(rng, w);
    x.at_ms = anchors[rng.Next() % anchors.size()];
    if (x.at_ms >= last) continue;
    w.actions.push_back(x);
    if (x.kind == ActionKind::EStop && x.value == 1) {
      Action release = x;
      release.value = 0;
      release.at_ms = std::min(last, x.at_ms + static_cast<uint32_t>(rng.Range(50, 2000)));
      w.actions.push_back(release);
    }
    if (x.kind == ActionKind::JogOn) {
      Action off = x;
      off.kind = ActionKind::JogOff;
      off.at_ms = std::min(last, x.at_ms + static_cast<uint32_t>(rng.Range(20, 1500)));
      w.actions.push_back(off);
    }
  }
  std::stable_sort(w.actions.begin(), w.actions.end(),
                   [](const Action& a, const Action& b) { return a.at_ms < b.at_ms; });
}

// Short moves whose segments ask for more steps than a segment's field holds.
void AddClippedMoves(Rng& rng, World& w) {
  const uint32_t last = w.quiet_ms - 3000;
  const int moves = static_cast<int>(rng.Range(1, 4));
  for (int i = 0; i < moves; ++i) {
    Action m;
    m.kind = ActionKind::Move;
    m.at_ms = static_cast<uint32_t>(rng.Range(200, last));
    m.count = static_cast<int32_t>(rng.Range(2, 12));
    for (int a = 0; a < 3; ++a) {
      if (!w.axes[a].enabled) continue;
      m.steps[a] = static_cast<int32_t>(rng.Range(-4000, 4000) * m.count / 2);
    }
    w.actions.push_back(m);
  }
  std::stable_sort(w.actions.begin(), w.actions.end(),
                   [](const Action& a, const Action& b) { return a.at_ms < b.at_ms; });
}

}  // namespace

void DrawTakeUpDrop(Rng& rng, World& w) {
  // Only stream-only worlds judge the tool's travel against the program's: more often there.
  if (!rng.Chance(w.stream_backlash ? 0.6 : 0.2)) return;
  bool compensated = false;
  for (const AxisSetup& x : w.axes) compensated |= x.enabled && x.backlash_amount != 0;
  if (!compensated || (w.stream_only && !w.stream_backlash)) return;
  // The plug-in starts believing every axis pressed in the positive direction.
  std::array<int, 6> sign{1, 1, 1, 1, 1, 1};
  std::vector<uint32_t> reversals;
  for (const Action& a : w.actions) {
    if (a.kind != ActionKind::Move) continue;
    bool reverses = false;
    for (size_t i = 0; i < 6; ++i) {
      if (a.steps[i] == 0) continue;
      const int s = a.steps[i] > 0 ? 1 : -1;
      reverses |= s != sign[i] && w.axes[i].backlash_amount != 0;
      sign[i] = s;
    }
    if (reverses) reversals.push_back(a.at_ms);
  }
  if (reversals.empty()) return;
  Fault drop;
  drop.kind = FaultKind::Unplug;
  drop.param = 0;
  drop.rate = 0.1;  // below 0.35: the board runs on
  drop.duration_ms = static_cast<uint32_t>(rng.Range(1, 400));
  drop.at_ms = reversals[rng.Next() % reversals.size()] + static_cast<uint32_t>(rng.Range(0, 800));
  if (drop.at_ms + drop.duration_ms + 1000 >= w.quiet_ms) return;
  const auto at =
      std::upper_bound(w.faults.begin(), w.faults.end(), drop,
                       [](const Fault& x, const Fault& y) { return x.at_ms < y.at_ms; });
  w.faults.insert(at, drop);
}

void DrawWireAndFamily(Rng& rng, World& w) {
  static const World::Port kPorts[] = {World::Port::kImmediate, World::Port::kWindows,
                                       World::Port::kWindows, World::Port::kLinux,
                                       World::Port::kLinux};
  w.port = rng.Pick(kPorts);
  // About a millisecond a report on a full-speed interrupt endpoint, each way.
  w.write_wire_ms = w.port == World::Port::kImmediate ? 0 : static_cast<uint32_t>(rng.Range(1, 2));
  w.reply_wire_ms = static_cast<uint32_t>(rng.Range(1, 2));
  const double roll = rng.Unit();
  if (roll < 0.05) {
    w.family = kMuteBoard;
    AddMuteBoard(rng, w);
  } else if (roll < 0.10) {
    w.family = kLongStall;
    AddLongStall(rng, w);
  } else if (roll < 0.15) {
    w.family = kLostMeasurement;
    AddLostMeasurement(rng, w);
  } else if (roll < 0.35 && !w.stream_only) {
    w.family = kAwkwardCalls;
    AddAwkwardCalls(rng, w);
  } else if (roll < 0.40) {
    w.family = kClippedMoves;
    AddClippedMoves(rng, w);
  }
  std::stable_sort(w.faults.begin(), w.faults.end(),
                   [](const Fault& a, const Fault& b) { return a.at_ms < b.at_ms; });
}

}  // namespace vaskel::chaos
