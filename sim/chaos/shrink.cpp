#include "sim/chaos/shrink.h"

#include <algorithm>

namespace vaskel::chaos {
namespace {

// Removes chunks of a list, halving the chunk when nothing more can go (delta debugging).
template <typename T, typename Fails>
void ShrinkList(std::vector<T>& items, Fails fails, int& budget) {
  for (size_t chunk = std::max<size_t>(1, items.size() / 2); chunk >= 1 && budget > 0;) {
    bool removed = false;
    for (size_t at = 0; at < items.size() && budget > 0;) {
      std::vector<T> trial = items;
      trial.erase(trial.begin() + static_cast<std::ptrdiff_t>(at),
                  trial.begin() + static_cast<std::ptrdiff_t>(std::min(items.size(), at + chunk)));
      --budget;
      if (fails(trial)) {
        items = std::move(trial);
        removed = true;
      } else {
        at += chunk;
      }
    }
    if (!removed) {
      if (chunk == 1) break;
      chunk /= 2;
    }
  }
}

}  // namespace

ShrinkResult Shrink(const World& failing, const SeedResult& failure, const SeedOptions& options,
                    int max_runs) {
  ShrinkResult best{failing, failure, 0};
  int budget = max_runs;
  auto still_fails = [&](const World& w) {
    ++best.runs;
    SeedResult r = RunWorld(w, options);
    if (r.passed || r.violation.invariant != failure.violation.invariant) return false;
    best.world = w;
    best.result = r;
    return true;
  };
  std::vector<Fault> faults = failing.faults;
  ShrinkList(
      faults,
      [&](const std::vector<Fault>& trial) {
        World w = best.world;
        w.faults = trial;
        return still_fails(w);
      },
      budget);
  std::vector<Action> actions = best.world.actions;
  ShrinkList(
      actions,
      [&](const std::vector<Action>& trial) {
        World w = best.world;
        w.actions = trial;
        return still_fails(w);
      },
      budget);
  return best;
}

World Restrict(const World& world, const std::vector<int>& actions,
               const std::vector<int>& faults) {
  World w = world;
  w.actions.clear();
  w.faults.clear();
  for (int i : actions) {
    if (i >= 0 && static_cast<size_t>(i) < world.actions.size())
      w.actions.push_back(world.actions[i]);
  }
  for (int i : faults) {
    if (i >= 0 && static_cast<size_t>(i) < world.faults.size()) w.faults.push_back(world.faults[i]);
  }
  return w;
}

}  // namespace vaskel::chaos
