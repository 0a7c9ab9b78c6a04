#pragma once
// The link's figures: counters and small fixed histograms kept with relaxed atomics, each
// field with one writer (the sender, the receiver or the host's thread), so keeping them costs
// a few stores per packet and nothing is allocated while streaming. Two windows are kept: the
// whole run, and the interval since the last stats line.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace vaskel {

// A snapshot, as the stats line and a substitute host's summary show it. Plain data: it
// crosses the plug-in library's boundary.
struct LinkFigures {
  uint32_t size = sizeof(LinkFigures);  // what the caller allocated; checked by the library
  uint32_t window_ms = 0;
  uint64_t packets_written = 0;
  struct WriteFailures {
    uint32_t code = 0;
    uint32_t count = 0;
  };
  std::array<WriteFailures, 4> write_failures{};  // the first four codes seen
  uint32_t write_failures_other = 0;              // failures with any later code
  uint32_t reconnections = 0;
  uint32_t resyncs = 0;
  uint32_t rewinds = 0;
  uint32_t stale_packets_dropped = 0;
  uint32_t unmeasured_resyncs = 0;
  uint64_t replies_processed = 0;  // status replies taken
  uint64_t replies_rejected = 0;
  uint64_t latency_samples = 0;  // status request committed -> its reply dispatched
  uint32_t latency_median_ms = 0;
  uint32_t latency_p99_ms = 0;
  uint32_t latency_max_ms = 0;
  int32_t fill_min = 0;
  int32_t fill_max = 0;
  double fill_mean = 0;
  int32_t fill_limit = 0;       // DeviceNeedsData is set below it
  double needs_data_share = 0;  // of the time between status replies
  uint64_t ticks_run = 0;
  uint64_t ticks_lapsed = 0;  // tick timers ended for want of Update
  uint32_t longest_tick_us = 0;
  // The board's side, as its status replies told it.
  int32_t last_fill = 0;
  int32_t highest_fill = 0;
  std::array<int32_t, 6> last_counts{};  // raw channel counts
  uint32_t last_inputs = 0;
  // What the host's positions are reckoned from: host position = count - offset (a home
  // moves the offset), so the board and the host can be compared in one frame.
  std::array<int32_t, 6> axis_offsets{};
};

// One line starting with "stats".
std::string FormatStatsLine(const LinkFigures& figures);

class LinkStats {
 public:
  // Latency buckets: one per millisecond below 64, then one per doubling.
  static constexpr size_t kLinearBuckets = 64;
  static constexpr size_t kBuckets = kLinearBuckets + 16;

  // Sender.
  void OnPacketWritten();
  void OnWriteFailure(uint32_t code);
  // Host's thread.
  void OnConnected(uint32_t now_ms);
  void OnTick(uint32_t body_us);
  void OnTickLapse();
  // Receiver.
  void OnRewind() { rewinds_.fetch_add(1, std::memory_order_relaxed); }
  void OnStalePacketDropped() { stale_dropped_.fetch_add(1, std::memory_order_relaxed); }
  void OnUnmeasuredResync() { unmeasured_resyncs_.fetch_add(1, std::memory_order_relaxed); }
  void OnResync() { resyncs_.fetch_add(1, std::memory_order_relaxed); }
  uint32_t resyncs() const { return resyncs_.load(std::memory_order_relaxed); }
  void OnReplyRejected() { rejected_.fetch_add(1, std::memory_order_relaxed); }
  void OnStatusReply(uint32_t now_ms, int32_t fill, const uint8_t* counts_and_inputs);
  void OnNeedsData(uint32_t now_ms, bool set);
  void OnReplyLatency(uint32_t ms);

  // whole_run: since load; otherwise since the last ResetInterval.
  LinkFigures Figures(uint32_t now_ms, bool whole_run, int32_t fill_limit) const;
  void ResetInterval(uint32_t now_ms);

 private:
  struct Window {
    std::atomic<uint32_t> start_ms{0};
    std::atomic<uint64_t> packets{0};
    std::array<std::atomic<uint64_t>, kBuckets> latency{};
    std::atomic<uint32_t> latency_max{0};
    std::atomic<uint64_t> fills{0};
    std::atomic<int64_t> fill_sum{0};
    std::atomic<int32_t> fill_min{0};
    std::atomic<int32_t> fill_max{0};
    std::atomic<uint64_t> needs_data_ms{0};
    std::atomic<uint64_t> observed_ms{0};
    std::atomic<uint32_t> longest_tick_us{0};
    void Reset(uint32_t now_ms);
  };
  template <typename Fn>
  void Both(Fn fn) {
    fn(run_);
    fn(interval_);
  }

  Window run_;
  Window interval_;
  std::array<std::atomic<uint32_t>, 4> failure_codes_{};
  std::array<std::atomic<uint32_t>, 4> failure_counts_{};
  std::atomic<uint32_t> failures_other_{0};
  std::atomic<uint32_t> connections_{0};
  std::atomic<uint32_t> resyncs_{0};
  std::atomic<uint32_t> rewinds_{0};
  std::atomic<uint32_t> stale_dropped_{0};
  std::atomic<uint32_t> unmeasured_resyncs_{0};
  std::atomic<uint64_t> processed_{0};
  std::atomic<uint64_t> rejected_{0};
  std::atomic<uint64_t> ticks_{0};
  std::atomic<uint64_t> lapses_{0};
  std::atomic<int32_t> last_fill_{0};
  std::atomic<int32_t> highest_fill_{0};
  std::array<std::atomic<int32_t>, 6> last_counts_{};
  std::atomic<uint32_t> last_inputs_{0};
  // Receiver: when DeviceNeedsData last changed hands, and to what.
  uint32_t needs_data_since_ms_ = 0;
  bool needs_data_ = false;
  bool needs_data_seen_ = false;
};

}  // namespace vaskel
