#pragma once
// How worker bodies run. Every worker (the link's sender, write-completion and receiver, the
// probe worker) is a step function; a real thread only loops it, and a cooperative runner
// steps it on the host's thread so tests and the simulator can run everything on virtual time.
#include <functional>
#include <string>

namespace vaskel {

// One step of a worker. may_block: the step may wait (on an event with a time-out, never
// spinning) for what it needs; false under a cooperative runner, where it must return at once.
// Returns false when the worker has finished for good.
using WorkerStep = std::function<bool(bool may_block)>;

enum class WorkerPriority { Normal, AboveNormal };

class Workers {
 public:
  virtual ~Workers() = default;
  virtual void Spawn(const std::string& name, WorkerStep step,
                     WorkerPriority priority = WorkerPriority::Normal) = 0;
  // Cooperative runners step every live worker once; thread runners do nothing.
  virtual int Pump() = 0;
  // Asks every worker to finish and waits for the real threads to end (library unload).
  virtual void StopAll() = 0;
  // A point inside a host call where the host's thread holds no lock and a worker could run
  // (platform/schedule_point.h); the deterministic simulator steps one there.
  virtual void SchedulePoint(const char* where) {}
};

}  // namespace vaskel
