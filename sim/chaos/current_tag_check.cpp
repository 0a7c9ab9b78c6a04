#include "sim/chaos/current_tag_check.h"

#include <cstdio>

namespace vaskel::chaos {

void CurrentTagCheck::AfterPacket(PluginContext& ctx,
                                  const std::array<StreamedSegment, 7>& segments) {
  bool host = false;
  for (const StreamedSegment& s : segments) host |= s.source == kHostTrajectory;
  // Padding, a take-up's closing packet: the expectation of the pass stands.
  if (!host) return;
  owed_ = ctx.motion().segment_source() == kHostTrajectory;
  if (!owed_) return;
  const HostBlock& e = ctx.host().engine;
  slot_ = e.Get(engine::kTrajConsumerIndex) & 0xfff;
  want_ = e.Get(engine::kSegmentTag[static_cast<size_t>(slot_)]);
}

std::string CurrentTagCheck::Check(PluginContext& ctx) {
  if (!owed_) return {};
  owed_ = false;
  const int32_t tag = ctx.host().engine.Get(engine::kCurrentSegmentTag);
  if (tag == want_) return {};
  char text[160];
  std::snprintf(text, sizeof text,
                "CurrentSegmentTag is %d after a pass over the host's ring; the next entry to "
                "send (slot %d) has tag %d",
                tag, slot_, want_);
  return text;
}

}  // namespace vaskel::chaos
