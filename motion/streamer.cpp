#include <algorithm>

#include "motion/motion_engine.h"

namespace vaskel {

void MotionEngine::StreamSegments() {
  Lock lock(mutex_);
  const HostBlocks& host = services_.host;
  BoardLink& link = services_.link;
  if (source_suspended(segment_source())) return;
  if (!host.planner.Get(planner::kDeviceNeedsData)) return;
  // DeviceNeedsData is only as fresh as the last reply: behind a write that hangs, the send
  // ring would take the whole trajectory and hand it to the board at once.
  if (link.segments_awaiting_write() >=
      std::max(link.NeedsDataLimit(), kSegmentsPerPacket * max_packets_per_pass_)) {
    return;
  }
  // Nor does a board whose replies stopped coming: past two buffers' worth beyond what it
  // last confirmed, nothing more goes until it answers.
  if (link.unconfirmed_fill() >=
      2 * link.NeedsDataLimit() + kSegmentsPerPacket * max_packets_per_pass_) {
    return;
  }
  int32_t pending = PendingEntries(segment_source());
  if (pending == 0) {
    // A full packet that emptied a stream still going owes the stream's end its empty packet.
    if (padding_owed_ && StreamEnded()) {
      padding_owed_ = false;
      SendEmptyMotionPacket();
    }
    return;
  }
  padding_owed_ = false;  // more came: the stream went on

  const EncoderConfig config = LoadEncoderConfig(host.engine);
  const StepCounts empty{};
  for (int32_t p = 0; p < max_packets_per_pass_; ++p) {
    if (pending < kSegmentsPerPacket && !MayFlushPartial()) break;
    // Counted down from the first look at the ring: with FlushPartial set it goes below zero
    // and the rest of the pass is still sent.
    pending -= kSegmentsPerPacket;
    uint8_t* packet = link.BeginMotionPacket();
    bool reversal_seen = false;
    bool every_slot_real = true;
    std::array<StreamedSegment, kSegmentsPerPacket> streamed{};
    for (int32_t k = 0; k < kSegmentsPerPacket; ++k) {
      uint8_t* out = packet + kSegmentBytes * static_cast<size_t>(k);
      // Looked up at every slot: a reversal switches the source mid-packet.
      const SegmentSourceId s = segment_source();
      const int32_t consumer = Consumer(s) & kSegmentRingMask;
      if (reversal_seen || PendingEntries(s) == 0) {
        every_slot_real = false;
        EncodeInto(out, config, empty, kNoSource);
        continue;
      }
      const StepCounts steps = ReadEntry(s, consumer);
      if (backlash_.DetectReversal(steps)) {
        reversal_seen = true;
        EncodeInto(out, config, empty, kNoSource);  // the entry waits for the take-up
        continue;
      }
      EncodeInto(out, config, steps, static_cast<uint8_t>(s));
      streamed[static_cast<size_t>(k)] = {static_cast<uint8_t>(s), consumer};
      SetConsumer(s, consumer + 1);
    }
    CommitMotionPacket(packet, streamed);
    const SegmentSourceId s = segment_source();
    // Only a stream that has ended is padded: one merely empty for now would stand the
    // machine still for a packet's time at speed, and a stepper restarted from that loses
    // steps the counts never show.
    if (every_slot_real && PendingEntries(s) == 0) {
      if (StreamEnded()) {
        SendEmptyMotionPacket();
      } else {
        padding_owed_ = true;
      }
    }
    if (s == kHostTrajectory) {
      const auto slot = static_cast<size_t>(Consumer(s) & kSegmentRingMask);
      host.engine.Set(engine::kCurrentSegmentTag, host.engine.Get(engine::kSegmentTag[slot]));
    }
  }
  ReportClipping();
}

// A packet may go out short when nothing more will come to fill it: the host says so for its
// own stream with FlushPartial, and a jog's or take-up's ring is done once its moves are all
// generated. The plug-in's moves never write the host's flag, or the flag would outlast them
// and pad a program the host queued meanwhile mid-contour.
bool MotionEngine::MayFlushPartial() {
  if (segment_source() == kBacklashRing) {
    return PendingEntries(kBacklashRing) != 0 && RampGenerator::AllIdle(ramps_.backlash_ramps());
  }
  if (segment_source() == kJogRing) {
    return PendingEntries(kJogRing) != 0 && RampGenerator::AllIdle(ramps_.jog_ramps());
  }
  return services_.host.planner.Get(planner::kFlushPartial);
}

// The host ends its stream with FlushPartial; a jog's, home's or probe's ends with its ramps. A
// take-up is followed by the stream it interrupted, which pads by its own end.
bool MotionEngine::StreamEnded() {
  if (segment_source() == kBacklashRing) return false;
  if (segment_source() == kJogRing) return RampGenerator::AllIdle(ramps_.jog_ramps());
  return services_.host.planner.Get(planner::kFlushPartial);
}

void MotionEngine::SendEmptyMotionPacket() {
  Lock lock(mutex_);
  const EncoderConfig config = LoadEncoderConfig(services_.host.engine);
  const StepCounts empty{};
  uint8_t* packet = services_.link.BeginMotionPacket();
  for (size_t k = 0; k < kSegmentsPerPacket; ++k) {
    EncodeInto(packet + kSegmentBytes * k, config, empty, kNoSource);
  }
  CommitMotionPacket(packet, {});
}

void MotionEngine::CommitMotionPacket(
    const uint8_t* body, const std::array<StreamedSegment, kSegmentsPerPacket>& segments) {
  if (observer_ != nullptr) observer_->OnMotionPacket(body, segments);
  services_.link.CommitPacket();
}

void MotionEngine::EncodeInto(uint8_t* out, const EncoderConfig& config, const StepCounts& steps,
                              uint8_t origin) {
  streamed_origin_[streamed_total_++ & kSegmentRingMask] = origin;
  if (EncodeSegment(config, steps, shared_direction_bit_, out)) {
    clipped_segments_.fetch_add(1, std::memory_order_relaxed);
    clipping_pending_report_ = true;
  }
  const uint32_t sent = segments_sent_.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (origin != kBacklashRing) return;
  BacklashQueue& queue = backlash_queue_;
  const uint32_t closing =
      queue.closing_index.load(std::memory_order_relaxed) & BacklashQueue::kMask;
  if (closing == (queue.open_index.load(std::memory_order_relaxed) & BacklashQueue::kMask)) return;
  for (size_t a = 0; a < 6; ++a) {
    if (steps[a] != 0.0)
      queue.records[closing].steps_end_marker[a].store(sent, std::memory_order_release);
  }
}

// Shown once, after the packets are committed: the producer lock is not held for the status
// line, and one text says enough about a trajectory that asks for too much.
void MotionEngine::ReportClipping() {
  if (!clipping_pending_report_) return;
  clipping_pending_report_ = false;
  if (clipping_reported_) return;
  clipping_reported_ = true;
  services_.status.SetStatusText(kClippedText);
}

void MotionEngine::DiscardHostTrajectory() {
  Lock lock(mutex_);
  // The slots behind the new indexes are no longer the host's: a rewind reaching back into
  // them would stream whatever they held.
  streamed_at_last_stop_ = streamed_total_;
  const HostBlock& engine = services_.host.engine;
  const uint32_t producer = static_cast<uint32_t>(engine.Get(engine::kTrajProducerIndex)) + 256u;
  const auto index = static_cast<int32_t>(producer & kSegmentRingMask);
  engine.Set(engine::kTrajProducerIndex, index);
  engine.Set(engine::kTrajConsumerIndex, index);
}

}  // namespace vaskel
