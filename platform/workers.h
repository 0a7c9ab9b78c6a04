#pragma once
// The two ways of running worker steps: real threads, and cooperative stepping on the caller's
// thread (tests, and a substitute host that runs on virtual time).
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/worker.h"

namespace vaskel {

class ThreadWorkers : public Workers {
 public:
  using PriorityFn = void (*)(std::thread&, WorkerPriority);
  // Called on the new thread before its first step, so debuggers and `top -H` show the name.
  using NameFn = void (*)(const char* name);
  explicit ThreadWorkers(PriorityFn set_priority = nullptr, NameFn set_name = nullptr)
      : set_priority_(set_priority), set_name_(set_name) {}
  ~ThreadWorkers() override { StopAll(); }
  void Spawn(const std::string& name, WorkerStep step, WorkerPriority priority) override;
  // Joins the threads whose workers have finished.
  int Pump() override;
  void StopAll() override;
  bool stopping() const { return stop_.load(std::memory_order_acquire); }
  // Threads not yet joined, finished or not.
  size_t held() const;

 private:
  struct Thread {
    std::thread thread;
    bool finished = false;
  };
  void ReapFinished();

  PriorityFn set_priority_;
  NameFn set_name_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::list<Thread> threads_;  // nodes stay put, so each thread can mark its own
};

class CooperativeWorkers : public Workers {
 public:
  void Spawn(const std::string& name, WorkerStep step, WorkerPriority priority) override;
  int Pump() override;
  void StopAll() override;
  size_t live() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<WorkerStep>> steps_;
};

}  // namespace vaskel
