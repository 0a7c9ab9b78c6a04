#pragma once
// A substitute for the machine-control host: owns the four zero-filled blocks, calls the
// plug-in's entry points in the host's order, calls Update periodically and delivers the
// timer ticks, and feeds the trajectory ring.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/host_block.h"
#include "platform/host_environment.h"
#include "sim/plugin_loader.h"

namespace vaskel::sim {

// What the plug-in is lent before it is loaded (its platform is made once, on first use).
void SetHostEnvironment(HostEnvironment* env);

class HostMemory {
 public:
  HostMemory();
  void* engine() { return engine_.data(); }
  void* setup() { return setup_.data(); }
  void* planner() { return planner_.data(); }
  void* window() { return window_.data(); }
  const HostBlocks& blocks() const { return blocks_; }

 private:
  std::vector<uint8_t> engine_, setup_, planner_, window_;
  HostBlocks blocks_;
};

class SubstituteHost {
 public:
  explicit SubstituteHost(const PluginApi& api) : api_(api) {}
  ~SubstituteHost();

  // SetProName, InitControl, PostInitControl; returns the plug-in's display name.
  std::string Start(const std::string& profile_path);
  void Update() { api_.Update(); }
  // Delivers due ticks: DispatchTimers on Linux, the thread's message queue on Windows.
  int PumpTimers();
  void Stop();

  // Writes one segment of six signed step counts at the producer index and advances it.
  // False when the ring has no room (the host planner keeps fewer than 4096 queued).
  bool PushSegment(const double counts[6]);
  int32_t QueuedSegments() const;

  std::string StatusText() const;
  HostMemory& memory() { return memory_; }
  const HostBlocks& blocks() const { return memory_.blocks(); }
  const PluginApi& api() const { return api_; }

 private:
  const PluginApi& api_;
  HostMemory memory_;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace vaskel::sim
