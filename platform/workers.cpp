#include "platform/workers.h"

#include <algorithm>

namespace vaskel {

void ThreadWorkers::Spawn(const std::string& name, WorkerStep step, WorkerPriority priority) {
  std::lock_guard lock(mutex_);
  if (stop_.load(std::memory_order_acquire)) return;
  threads_.emplace_back([this, name, step = std::move(step)] {
    if (set_name_) set_name_(name.c_str());
    while (!stop_.load(std::memory_order_acquire)) {
      if (!step(true)) break;
    }
  });
  if (set_priority_) set_priority_(threads_.back(), priority);
}

void ThreadWorkers::StopAll() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    stop_.store(true, std::memory_order_release);
    threads.swap(threads_);
  }
  // Steps wait with time-outs, so every thread sees the flag within one wait.
  for (std::thread& t : threads) {
    if (t.joinable()) t.join();
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
