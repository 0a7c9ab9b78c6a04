#include "platform/workers.h"

#include <algorithm>

namespace vaskel {

void ThreadWorkers::Spawn(const std::string& name, WorkerStep step, WorkerPriority priority) {
  // A one-shot worker (each probe has one) ends long before the session does; its thread is
  // joined here or at the next Pump, so finished threads do not pile up.
  ReapFinished();
  std::lock_guard lock(mutex_);
  if (stop_.load(std::memory_order_acquire)) return;
  Thread& entry = threads_.emplace_back();
  entry.thread = std::thread([this, &entry, name, step = std::move(step)] {
    if (set_name_) set_name_(name.c_str());
    while (!stop_.load(std::memory_order_acquire)) {
      if (!step(true)) break;
    }
    std::lock_guard done(mutex_);
    entry.finished = true;
  });
  if (set_priority_) set_priority_(entry.thread, priority);
}

int ThreadWorkers::Pump() {
  ReapFinished();
  return 0;
}

void ThreadWorkers::ReapFinished() {
  std::list<Thread> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = threads_.begin(); it != threads_.end();) {
      auto next = std::next(it);
      if (it->finished) finished.splice(finished.end(), threads_, it);
      it = next;
    }
  }
  // Each has left its loop; the join only waits for the thread's own exit.
  for (Thread& t : finished) t.thread.join();
}

size_t ThreadWorkers::held() const {
  std::lock_guard lock(mutex_);
  return threads_.size();
}

void ThreadWorkers::StopAll() {
  std::list<Thread> threads;
  {
    std::lock_guard lock(mutex_);
    stop_.store(true, std::memory_order_release);
    threads.swap(threads_);
  }
  // Steps wait with time-outs, so every thread sees the flag within one wait.
  for (Thread& t : threads) {
    if (t.thread.joinable()) t.thread.join();
  }
}

void CooperativeWorkers::Spawn(const std::string& name, WorkerStep step, WorkerPriority priority) {
  std::lock_guard lock(mutex_);
  steps_.push_back(std::make_shared<WorkerStep>(std::move(step)));
}

int CooperativeWorkers::Pump() {
  std::vector<std::shared_ptr<WorkerStep>> steps;
  {
    std::lock_guard lock(mutex_);
    steps = steps_;
  }
  int ran = 0;
  for (auto& step : steps) {
    ++ran;
    if (!(*step)(false)) {
      std::lock_guard lock(mutex_);
      steps_.erase(std::remove(steps_.begin(), steps_.end(), step), steps_.end());
    }
  }
  return ran;
}

void CooperativeWorkers::StopAll() {
  std::lock_guard lock(mutex_);
  steps_.clear();
}

size_t CooperativeWorkers::live() const {
  std::lock_guard lock(mutex_);
  return steps_.size();
}

}  // namespace vaskel
