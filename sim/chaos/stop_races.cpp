#include "sim/chaos/stop_races.h"

#include <algorithm>
#include <vector>

namespace vaskel::chaos {
namespace {

Action Stop(uint32_t at_ms) {
  Action x;
  x.kind = ActionKind::Notify;
  x.value = -1;
  x.at_ms = at_ms;
  return x;
}

// When the world's host moves set off.
std::vector<uint32_t> MoveTimes(const World& w) {
  std::vector<uint32_t> moves;
  for (const Action& a : w.actions) {
    if (a.kind == ActionKind::Move) moves.push_back(a.at_ms);
  }
  return moves;
}

bool ProbeWired(const World& w) {
  return std::any_of(w.switches.begin(), w.switches.end(),
                     [](const auto& s) { return s.kind == sim::SwitchKind::Probe; });
}

// A probe of axis 0 toward its switch's side, at a feed the host might ask for.
Action DrawProbe(Rng& rng, uint32_t at_ms) {
  Action probe;
  probe.kind = ActionKind::Probe;
  probe.axis = 0;
  probe.x = -static_cast<double>(rng.Range(1, 200));
  probe.value = static_cast<int32_t>(rng.Range(10, 600));
  probe.at_ms = at_ms;
  return probe;
}

void SortActions(World& w) {
  std::stable_sort(w.actions.begin(), w.actions.end(),
                   [](const Action& a, const Action& b) { return a.at_ms < b.at_ms; });
}

void InsertFault(World& w, const Fault& f) {
  const auto at =
      std::upper_bound(w.faults.begin(), w.faults.end(), f,
                       [](const Fault& x, const Fault& y) { return x.at_ms < y.at_ms; });
  w.faults.insert(at, f);
}

uint64_t SplitMix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

}  // namespace

void DrawStopRaces(Rng& rng, World& w) {
  if (!rng.Chance(0.3) || w.stream_only) return;
  // Shortly after a move sets off, while the board holds its segments.
  const std::vector<uint32_t> anchors = MoveTimes(w);
  if (anchors.empty()) return;
  const uint32_t last = w.quiet_ms - 3000;
  const auto tick_ms = static_cast<int64_t>(w.timer_gap_ms_x10 / 10);
  auto anchor = [&] {
    return anchors[rng.Next() % anchors.size()] + static_cast<uint32_t>(rng.Range(30, 400));
  };
  const uint32_t stop = anchor();
  Action dwell;
  dwell.kind = ActionKind::Dwell;
  dwell.x = 0.05 * static_cast<double>(rng.Range(1, 10));
  dwell.at_ms = stop + static_cast<uint32_t>(rng.Range(0, tick_ms - 1));
  const uint32_t second = anchor();
  const uint32_t probe_at = anchor();
  const bool probe_wired = ProbeWired(w);
  if (stop < last && dwell.at_ms < last) {
    w.actions.push_back(Stop(stop));
    w.actions.push_back(dwell);
  }
  if (second < last) w.actions.push_back(Stop(second));
  // The probe's worker waits a second before it starts the move.
  const uint32_t probe_stop = probe_at + 1000 - static_cast<uint32_t>(rng.Range(0, tick_ms));
  if (probe_wired && probe_stop < last) {
    w.actions.push_back(DrawProbe(rng, probe_at));
    w.actions.push_back(Stop(probe_stop));
  }
  SortActions(w);
}

void DrawMuteAcrossStops(Rng& rng, World& w) {
  if (!rng.Chance(0.05) || w.stream_only) return;
  const std::vector<uint32_t> moves = MoveTimes(w);
  if (moves.empty()) return;
  Fault mute;
  mute.kind = FaultKind::DropReplies;
  mute.rate = 1.0;
  mute.at_ms = moves[rng.Next() % moves.size()] + static_cast<uint32_t>(rng.Range(20, 300));
  const uint32_t first = mute.at_ms + static_cast<uint32_t>(rng.Range(100, 800));
  const uint32_t second = first + static_cast<uint32_t>(rng.Range(20, 1500));
  Fault stall;
  stall.kind = FaultKind::StuckWrites;
  stall.at_ms = second + static_cast<uint32_t>(rng.Range(50, 500));
  stall.duration_ms = static_cast<uint32_t>(rng.Range(4300, 5200));  // the link closes
  stall.rate = rng.Unit();  // picks how the stalled write ends
  mute.duration_ms = stall.at_ms - mute.at_ms + static_cast<uint32_t>(rng.Range(4300, 6000));
  if (mute.at_ms + mute.duration_ms + 1000 >= w.quiet_ms - 3000) return;
  w.actions.push_back(Stop(first));
  w.actions.push_back(Stop(second));
  SortActions(w);
  InsertFault(w, mute);
  InsertFault(w, stall);
}

void DrawProbeBehindHeldStop(Rng& rng, World& w) {
  // One world in twenty, picked by a salted hash of the seed rather than the world's draws:
  // the salt leaves every seed on the regression list the world it was listed for.
  constexpr uint64_t kSalt = 45 * 0x100000001b3ULL;
  if (SplitMix(w.seed ^ kSalt) % 20 != 0 || w.stream_only) return;
  const std::vector<uint32_t> moves = MoveTimes(w);
  if (!ProbeWired(w) || moves.empty()) return;
  Fault unplug;
  unplug.kind = FaultKind::Unplug;
  unplug.rate = 0.5;  // the board stays powered and keeps its counts
  unplug.at_ms = moves[rng.Next() % moves.size()] + static_cast<uint32_t>(rng.Range(20, 300));
  unplug.duration_ms = static_cast<uint32_t>(rng.Range(1800, 3000));
  const uint32_t stop = unplug.at_ms + static_cast<uint32_t>(rng.Range(50, 300));
  Action probe = DrawProbe(rng, stop);
  probe.at_ms += static_cast<uint32_t>(rng.Range(20, 300));
  if (unplug.at_ms + unplug.duration_ms + 1000 >= w.quiet_ms - 3000) return;
  w.actions.push_back(Stop(stop));
  w.actions.push_back(probe);
  SortActions(w);
  InsertFault(w, unplug);
}

void DrawHostPreemption(Rng& rng, World& w) {
  // One world in eight, by its own salt: the listed regression seeds keep their worlds.
  constexpr uint64_t kSalt = 5627782 * 0x100000001b3ULL;
  if (SplitMix(w.seed ^ kSalt) % 8 != 0) return;
  w.preempt_rate = rng.Chance(0.5) ? 0.05 : 0.3;
  w.preempt_most_ms = static_cast<uint32_t>(rng.Range(2, 12));
}

void DrawDropAtRunningRead(Rng& rng, World& w) {
  constexpr uint64_t kSalt = 6223695 * 0x100000001b3ULL;
  if (SplitMix(w.seed ^ kSalt) % 10 != 0 || w.quiet_ms < 4000) return;
  w.drop_running_after_ms = static_cast<uint32_t>(rng.Range(100, w.quiet_ms - 3000));
  w.drop_running_ms = static_cast<uint32_t>(rng.Range(1, 600));
}

}  // namespace vaskel::chaos
