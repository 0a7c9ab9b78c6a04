#pragma once
// Told of what the engine streams, in the order it streams it: which ring entry went into
// each segment of a motion packet, and where it cut the stream with a stop. The plug-in has
// none; the simulator keeps its books of the host's intent with one.
#include <array>
#include <cstdint>

namespace vaskel {

struct StreamedSegment {
  uint8_t source = 0xff;  // a SegmentSourceId, or 0xff for padding
  int32_t slot = 0;       // the entry's index in its ring
};

class StreamObserver {
 public:
  virtual ~StreamObserver() = default;
  // Called with the packet's body in the send ring, before it is committed.
  virtual void OnMotionPacket(const uint8_t* body,
                              const std::array<StreamedSegment, 7>& segments) = 0;
  // A stop command is about to be queued: what was streamed before it is over.
  virtual void OnStreamCut() = 0;
};

}  // namespace vaskel
