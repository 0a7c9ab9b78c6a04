#pragma once
// The host side of a seed: the four host blocks, the machine's settings written into them, the
// host's program of moves fed into the trajectory ring, and its calls into the plug-in context.
// It keeps the books of every step it queued, so conservation can be checked.
#include <array>
#include <cstdint>
#include <deque>

#include "plugin/plugin_context.h"
#include "sim/chaos/intent_books.h"
#include "sim/chaos/world.h"
#include "sim/substitute_host.h"

namespace vaskel::chaos {

class ChaosHost {
 public:
  static constexpr int32_t kLookahead = 600;
  // The host keeps flags of its own in the homing signal word and raises bit 56 when it asks
  // for a home; the plug-in clears that bit alone.
  static constexpr uint64_t kHomeSignalBit = uint64_t{1} << 56;
  static constexpr uint64_t kHomingWordOwnBits = (uint64_t{1} << 55) | (uint64_t{1} << 57) | 0x11;

  ChaosHost(const World& world, PluginContext& ctx) : world_(world), ctx_(ctx) {}
  ~ChaosHost();

  // SetProName, the machine's settings, InitControl, PostInitControl.
  void Start();
  void Act(const Action& action);
  // The end of the world's chaos: E-stop and offline off, limits overridden, jogs off, and in a
  // world with plug-in moves a stop that ends whatever is still running.
  void Settle(int phase);
  // Pushes planned segments while the ring has room. Like a real planner it writes
  // FlushPartial only where its program starts (0) and where it ends (1), never on every push.
  void Feed();
  bool has_work() const { return !program_.empty(); }
  // The host's own word on its stream, as it last wrote it, and how often it has written it.
  bool flush_intent() const { return flush_intent_; }
  uint64_t flush_writes() const { return flush_writes_; }
  // Probe calls, and stops the host asked for (Notify -1 or 10, the settling stop); the
  // E-stops the plug-in saw, the invariants count at its ticks.
  uint64_t probe_calls() const { return probe_calls_; }
  uint64_t stop_calls() const { return stop_calls_; }
  void Update() { ctx_.Update(); }
  // Each entry queued is numbered in its segment tag and entered in these books.
  void set_books(IntentBooks* books) { books_ = books; }

  const HostBlocks& blocks() const { return memory_.blocks(); }
  bool program_done() const { return program_.empty() && QueuedSegments() == 0; }
  int32_t QueuedSegments() const;
  // Steps by axis the host queued, and those the plug-in discarded from its ring.
  const std::array<int64_t, 6>& queued_steps() const { return queued_; }
  const std::array<int64_t, 6>& discarded_steps() const { return discarded_; }
  // Called after every step: counts what the plug-in dropped from the ring since.
  void NoteRingChanges();

 private:
  void ForgetPlan();
  void WriteFlushPartial(bool flush);
  std::array<int64_t, 6> SumSlots(int32_t from, int32_t to) const;

  const World& world_;
  PluginContext& ctx_;
  sim::HostMemory memory_;
  uint8_t jog_full_speed_ = 0;
  std::deque<std::array<int32_t, 6>> program_;
  std::array<int64_t, 6> queued_{};
  std::array<int64_t, 6> discarded_{};
  int32_t producer_seen_ = 0;
  int32_t consumer_seen_ = 0;
  IntentBooks* books_ = nullptr;
  uint32_t serial_ = 0;
  bool feeding_ = false;  // a program is being pushed; its end has not been flushed
  bool flush_intent_ = false;
  uint64_t flush_writes_ = 0;
  uint64_t probe_calls_ = 0;
  uint64_t stop_calls_ = 0;
};

}  // namespace vaskel::chaos
