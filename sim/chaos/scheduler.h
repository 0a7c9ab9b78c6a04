#pragma once
// The platform one seed runs on: virtual time, timers delivered at the gaps the world draws,
// and workers that run only when the scheduler says so, in the order it draws, including at the
// schedule points inside host calls.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dialog_view.h"
#include "platform/platform.h"
#include "platform/profile_document.h"
#include "platform/timer.h"
#include "platform/worker.h"
#include "sim/chaos/rng.h"

namespace vaskel::chaos {

// Worker steps, kept by name and stepped one at a time by the scheduler.
class ScheduledWorkers : public Workers {
 public:
  void Spawn(const std::string& name, WorkerStep step, WorkerPriority priority) override;
  int Pump() override { return 0; }
  void StopAll() override { workers_.clear(); }
  void SchedulePoint(const char* where) override {
    if (on_schedule_point_) on_schedule_point_(where);
  }
  void set_schedule_point_handler(std::function<void(const char*)> fn) {
    on_schedule_point_ = std::move(fn);
  }
  size_t count() const { return workers_.size(); }
  // Worker i is inside its step (a schedule point in its own step): it is not stepped again.
  bool stepping(size_t i) const;
  const std::string& name(size_t i) const { return workers_[i].name; }
  // Runs one step of worker i; a worker that has finished is dropped.
  void Step(size_t i);

 private:
  struct Worker {
    std::string name;
    std::shared_ptr<WorkerStep> step;
  };
  std::vector<Worker> workers_;
  std::vector<const WorkerStep*> stepping_;
  std::function<void(const char*)> on_schedule_point_;
};

// A window timer at Windows' resolution: each 20 ms timer fires on the next multiple of the
// system tick (15.6 ms) at or after its period, unless the world makes it late.
class ScheduledTimers : public TimerService {
 public:
  ScheduledTimers(Clock& clock, uint32_t gap_ms_x10) : clock_(clock), gap_x10_(gap_ms_x10) {}
  TimerId Start(uint32_t period_ms, TimerCallback callback, void* user) override;
  void Kill(TimerId id) override;
  int Dispatch() override;
  void set_late_ms(uint32_t ms) { late_ms_ = ms; }
  size_t live() const;
  // A tick is due by the clock (the host's loop would dispatch one now).
  bool due() const;

 private:
  struct Entry {
    TimerId id;
    uint32_t due_x10;  // tenths of a millisecond
    TimerCallback callback;
    void* user;
    bool alive;
  };
  uint32_t NextDue(uint32_t from_x10) const;
  Clock& clock_;
  uint32_t gap_x10_;
  uint32_t late_ms_ = 0;
  std::vector<Entry> entries_;
  TimerId next_id_ = 1;
};

class ChaosPlatform : public Platform {
 public:
  ChaosPlatform(FakeClock& clock, HidBus& bus, uint32_t timer_gap_x10)
      : clock_(clock), bus_(bus), timers_(clock, timer_gap_x10) {}
  Clock& clock() override { return clock_; }
  TimerService& timers() override { return timers_; }
  HidBus& hid() override { return bus_; }
  Workers& workers() override { return workers_; }
  std::unique_ptr<ProfileDocument> NewProfileDocument() override { return nullptr; }
  std::unique_ptr<DialogView> NewDialogView() override { return nullptr; }
  std::string SystemErrorText(uint32_t code) override { return ""; }
  std::string ModuleBaseName() override { return "vaskel"; }
  ScheduledWorkers& scheduled_workers() { return workers_; }
  ScheduledTimers& scheduled_timers() { return timers_; }

 private:
  FakeClock& clock_;
  HidBus& bus_;
  ScheduledTimers timers_;
  ScheduledWorkers workers_;
};

}  // namespace vaskel::chaos
