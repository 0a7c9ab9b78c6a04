#pragma once
// CurrentSegmentTag tells the host which of its entries the plug-in sends next: after every
// streaming pass over the host's ring it holds the tag of the slot at the consumer index. The
// tag is written once the pass's packet is committed, so it is looked at when the step ends.
// A pass that meets a reversal hands the stream to the take-up and leaves the tag as it was.
#include <array>
#include <cstdint>
#include <string>

#include "motion/stream_observer.h"
#include "plugin/plugin_context.h"

namespace vaskel::chaos {

class CurrentTagCheck {
 public:
  // A motion packet is being committed; one that carries host entries while the host's ring
  // stays the current source is followed by the tag.
  void AfterPacket(PluginContext& ctx, const std::array<StreamedSegment, 7>& segments);
  // Empty while the tag is right or nothing is owed.
  std::string Check(PluginContext& ctx);

 private:
  bool owed_ = false;
  int32_t slot_ = 0;
  int32_t want_ = 0;
};

}  // namespace vaskel::chaos
