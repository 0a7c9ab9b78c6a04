#include "device/link_stats.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/little_endian.h"

namespace vaskel {
namespace {

size_t BucketOf(uint32_t ms) {
  if (ms < LinkStats::kLinearBuckets) return ms;
  size_t b = LinkStats::kLinearBuckets;
  for (uint32_t edge = LinkStats::kLinearBuckets * 2; ms >= edge && b + 1 < LinkStats::kBuckets;
       edge *= 2) {
    ++b;
  }
  return b;
}

// The least latency a bucket holds.
uint32_t BucketFloor(size_t b) {
  if (b < LinkStats::kLinearBuckets) return static_cast<uint32_t>(b);
  return static_cast<uint32_t>(LinkStats::kLinearBuckets) << (b - LinkStats::kLinearBuckets);
}

void StoreMax(std::atomic<uint32_t>& field, uint32_t value) {
  if (value > field.load(std::memory_order_relaxed)) field.store(value, std::memory_order_relaxed);
}

}  // namespace

void LinkStats::Window::Reset(uint32_t now_ms) {
  start_ms.store(now_ms, std::memory_order_relaxed);
  packets.store(0, std::memory_order_relaxed);
  for (auto& b : latency) b.store(0, std::memory_order_relaxed);
  latency_max.store(0, std::memory_order_relaxed);
  fills.store(0, std::memory_order_relaxed);
  fill_sum.store(0, std::memory_order_relaxed);
  fill_min.store(0, std::memory_order_relaxed);
  fill_max.store(0, std::memory_order_relaxed);
  needs_data_ms.store(0, std::memory_order_relaxed);
  observed_ms.store(0, std::memory_order_relaxed);
  longest_tick_us.store(0, std::memory_order_relaxed);
}

void LinkStats::OnPacketWritten() {
  Both([](Window& w) { w.packets.fetch_add(1, std::memory_order_relaxed); });
}

void LinkStats::OnWriteFailure(uint32_t code) {
  for (size_t i = 0; i < failure_codes_.size(); ++i) {
    const uint32_t seen = failure_codes_[i].load(std::memory_order_relaxed);
    if (seen == 0) failure_codes_[i].store(code, std::memory_order_relaxed);
    if (seen == 0 || seen == code) {
      failure_counts_[i].fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  failures_other_.fetch_add(1, std::memory_order_relaxed);
}

void LinkStats::OnConnected(uint32_t now_ms) {
  connections_.fetch_add(1, std::memory_order_relaxed);
  interval_.Reset(now_ms);
  if (connections_.load(std::memory_order_relaxed) == 1) run_.Reset(now_ms);
}

void LinkStats::OnTick(uint32_t body_us) {
  ticks_.fetch_add(1, std::memory_order_relaxed);
  Both([body_us](Window& w) { StoreMax(w.longest_tick_us, body_us); });
}

void LinkStats::OnTickLapse() {
  lapses_.fetch_add(1, std::memory_order_relaxed);
}

void LinkStats::OnStatusReply(uint32_t now_ms, int32_t fill, const uint8_t* counts_and_inputs) {
  processed_.fetch_add(1, std::memory_order_relaxed);
  last_fill_.store(fill, std::memory_order_relaxed);
  if (fill > highest_fill_.load(std::memory_order_relaxed)) {
    highest_fill_.store(fill, std::memory_order_relaxed);
  }
  const uint8_t* p = counts_and_inputs;
  for (auto& count : last_counts_) {
    int32_t value = 0;
    p = ReadLittleEndian(p, 4, value);
    count.store(value, std::memory_order_relaxed);
  }
  uint32_t inputs = 0;
  ReadLittleEndian(p, 4, inputs);
  last_inputs_.store(inputs, std::memory_order_relaxed);
  Both([fill](Window& w) {
    const bool first = w.fills.fetch_add(1, std::memory_order_relaxed) == 0;
    w.fill_sum.fetch_add(fill, std::memory_order_relaxed);
    if (first || fill < w.fill_min.load(std::memory_order_relaxed)) {
      w.fill_min.store(fill, std::memory_order_relaxed);
    }
    if (first || fill > w.fill_max.load(std::memory_order_relaxed)) {
      w.fill_max.store(fill, std::memory_order_relaxed);
    }
  });
}

void LinkStats::OnNeedsData(uint32_t now_ms, bool set) {
  if (needs_data_seen_) {
    const uint32_t elapsed = now_ms - needs_data_since_ms_;
    const bool was_set = needs_data_;
    Both([elapsed, was_set](Window& w) {
      w.observed_ms.fetch_add(elapsed, std::memory_order_relaxed);
      if (was_set) w.needs_data_ms.fetch_add(elapsed, std::memory_order_relaxed);
    });
  }
  needs_data_seen_ = true;
  needs_data_since_ms_ = now_ms;
  needs_data_ = set;
}

void LinkStats::OnReplyLatency(uint32_t ms) {
  const size_t bucket = BucketOf(ms);
  Both([bucket, ms](Window& w) {
    w.latency[bucket].fetch_add(1, std::memory_order_relaxed);
    StoreMax(w.latency_max, ms);
  });
}

void LinkStats::ResetInterval(uint32_t now_ms) {
  interval_.Reset(now_ms);
}

LinkFigures LinkStats::Figures(uint32_t now_ms, bool whole_run, int32_t fill_limit) const {
  const Window& w = whole_run ? run_ : interval_;
  LinkFigures f;
  f.window_ms = now_ms - w.start_ms.load(std::memory_order_relaxed);
  f.packets_written = w.packets.load(std::memory_order_relaxed);
  for (size_t i = 0; i < failure_codes_.size(); ++i) {
    f.write_failures[i] = {failure_codes_[i].load(std::memory_order_relaxed),
                           failure_counts_[i].load(std::memory_order_relaxed)};
  }
  f.write_failures_other = failures_other_.load(std::memory_order_relaxed);
  const uint32_t connections = connections_.load(std::memory_order_relaxed);
  f.reconnections = connections > 0 ? connections - 1 : 0;
  f.resyncs = resyncs_.load(std::memory_order_relaxed);
  f.rewinds = rewinds_.load(std::memory_order_relaxed);
  f.stale_packets_dropped = stale_dropped_.load(std::memory_order_relaxed);
  f.unmeasured_resyncs = unmeasured_resyncs_.load(std::memory_order_relaxed);
  f.replies_processed = processed_.load(std::memory_order_relaxed);
  f.replies_rejected = rejected_.load(std::memory_order_relaxed);

  std::array<uint64_t, kBuckets> latency{};
  for (size_t b = 0; b < kBuckets; ++b) {
    latency[b] = w.latency[b].load(std::memory_order_relaxed);
    f.latency_samples += latency[b];
  }
  auto quantile = [&](uint64_t per_mille) {
    const uint64_t rank = (f.latency_samples * per_mille + 999) / 1000;  // at least 1
    uint64_t seen = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
      seen += latency[b];
      if (seen >= rank) return BucketFloor(b);
    }
    return uint32_t{0};
  };
  if (f.latency_samples > 0) {
    f.latency_median_ms = quantile(500);
    f.latency_p99_ms = quantile(990);
    f.latency_max_ms = w.latency_max.load(std::memory_order_relaxed);
  }
  const uint64_t fills = w.fills.load(std::memory_order_relaxed);
  if (fills > 0) {
    f.fill_min = w.fill_min.load(std::memory_order_relaxed);
    f.fill_max = w.fill_max.load(std::memory_order_relaxed);
    f.fill_mean = static_cast<double>(w.fill_sum.load(std::memory_order_relaxed)) /
                  static_cast<double>(fills);
  }
  f.fill_limit = fill_limit;
  const uint64_t observed = w.observed_ms.load(std::memory_order_relaxed);
  if (observed > 0) {
    f.needs_data_share = static_cast<double>(w.needs_data_ms.load(std::memory_order_relaxed)) /
                         static_cast<double>(observed);
  }
  f.ticks_run = ticks_.load(std::memory_order_relaxed);
  f.ticks_lapsed = lapses_.load(std::memory_order_relaxed);
  f.longest_tick_us = w.longest_tick_us.load(std::memory_order_relaxed);
  f.last_fill = last_fill_.load(std::memory_order_relaxed);
  f.highest_fill = highest_fill_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < 6; ++i) f.last_counts[i] = last_counts_[i].load(std::memory_order_relaxed);
  f.last_inputs = last_inputs_.load(std::memory_order_relaxed);
  return f;
}

std::string FormatStatsLine(const LinkFigures& f) {
  std::string line;
  char part[160];
  const double seconds = f.window_ms / 1000.0;
  std::snprintf(part, sizeof part, "stats %.1f s: written %.1f/s", seconds,
                seconds > 0 ? static_cast<double>(f.packets_written) / seconds : 0.0);
  line += part;
  line += "; write failures";
  bool any = false;
  for (const auto& failure : f.write_failures) {
    if (failure.count == 0) continue;
    std::snprintf(part, sizeof part, " %u x%u", failure.code, failure.count);
    line += part;
    any = true;
  }
  if (f.write_failures_other) {
    std::snprintf(part, sizeof part, " other x%u", f.write_failures_other);
    line += part;
    any = true;
  }
  if (!any) line += " none";
  std::snprintf(part, sizeof part, "; reconnections %u; resyncs %u; rewinds %u", f.reconnections,
                f.resyncs, f.rewinds);
  line += part;
  if (f.unmeasured_resyncs) {
    std::snprintf(part, sizeof part, "; resyncs unmeasured %u", f.unmeasured_resyncs);
    line += part;
  }
  if (f.stale_packets_dropped) {
    std::snprintf(part, sizeof part, "; stale motion packets dropped %u", f.stale_packets_dropped);
    line += part;
  }
  std::snprintf(part, sizeof part, "; status replies %llu processed %llu rejected",
                static_cast<unsigned long long>(f.replies_processed),
                static_cast<unsigned long long>(f.replies_rejected));
  line += part;
  if (f.latency_samples > 0) {
    std::snprintf(part, sizeof part, "; reply latency ms median %u p99 %u max %u",
                  f.latency_median_ms, f.latency_p99_ms, f.latency_max_ms);
  } else {
    std::snprintf(part, sizeof part, "; reply latency ms none");
  }
  line += part;
  std::snprintf(part, sizeof part, "; fill min %d mean %.1f max %d limit %d", f.fill_min,
                f.fill_mean, f.fill_max, f.fill_limit);
  line += part;
  std::snprintf(part, sizeof part, "; needs data %.1f%%", 100.0 * f.needs_data_share);
  line += part;
  std::snprintf(part, sizeof part, "; ticks %llu run %llu lapsed, longest %.3f ms",
                static_cast<unsigned long long>(f.ticks_run),
                static_cast<unsigned long long>(f.ticks_lapsed), f.longest_tick_us / 1000.0);
  line += part;
  return line;
}

}  // namespace vaskel
