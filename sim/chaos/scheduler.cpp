#include "sim/chaos/scheduler.h"

#include <algorithm>

namespace vaskel::chaos {

void ScheduledWorkers::Spawn(const std::string& name, WorkerStep step, WorkerPriority) {
  workers_.push_back({name, std::make_shared<WorkerStep>(std::move(step))});
}

bool ScheduledWorkers::stepping(size_t i) const {
  return i < workers_.size() &&
         std::find(stepping_.begin(), stepping_.end(), workers_[i].step.get()) != stepping_.end();
}

void ScheduledWorkers::Step(size_t i) {
  if (i >= workers_.size()) return;
  std::shared_ptr<WorkerStep> step = workers_[i].step;
  stepping_.push_back(step.get());
  const bool goes_on = (*step)(false);
  stepping_.pop_back();
  if (goes_on) return;
  auto it = std::find_if(workers_.begin(), workers_.end(),
                         [&](const Worker& w) { return w.step == step; });
  if (it != workers_.end()) workers_.erase(it);
}

uint32_t ScheduledTimers::NextDue(uint32_t from_x10) const {
  // The first system tick at least one period (20 ms) on.
  const uint32_t want = from_x10 + 200;
  const uint32_t ticks = (want + gap_x10_ - 1) / gap_x10_;
  return ticks * gap_x10_ + late_ms_ * 10;
}

TimerId ScheduledTimers::Start(uint32_t, TimerCallback callback, void* user) {
  const TimerId id = next_id_++;
  entries_.push_back({id, NextDue(clock_.TickCountMs() * 10), callback, user, true});
  return id;
}

void ScheduledTimers::Kill(TimerId id) {
  for (Entry& e : entries_) {
    if (e.id == id) e.alive = false;
  }
}

size_t ScheduledTimers::live() const {
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.alive; }));
}

bool ScheduledTimers::due() const {
  const uint32_t now_x10 = clock_.TickCountMs() * 10;
  for (const Entry& e : entries_) {
    if (e.alive && static_cast<int32_t>(now_x10 - e.due_x10) >= 0) return true;
  }
  return false;
}

int ScheduledTimers::Dispatch() {
  const uint32_t now_x10 = clock_.TickCountMs() * 10;
  int ran = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!entries_[i].alive || static_cast<int32_t>(now_x10 - entries_[i].due_x10) < 0) continue;
    entries_[i].due_x10 = NextDue(now_x10);
    const Entry e = entries_[i];  // the callback may start or kill timers
    e.callback(e.user, e.id);
    ++ran;
  }
  entries_.erase(
      std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.alive; }),
      entries_.end());
  return ran;
}

}  // namespace vaskel::chaos
