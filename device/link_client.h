#pragma once
// What the link asks of the layer that streams through it. The link moves packets and keeps
// the board's status; what the segments mean, and what the inputs do, stays above it.
#include <cstdint>

namespace vaskel {

class LinkClient {
 public:
  // The board lost the last `fill` segments it had queued (a resynchronisation, a stuck
  // write): the stream goes back by that many, modulo its ring.
  virtual void RewindStream(int32_t fill) = 0;
  // Segments streamed since the count was last reset; with the board's fill it tells how far
  // the board has executed.
  virtual uint32_t SegmentsSent() const = 0;
  virtual void ResetSegmentsSent() = 0;
  // The count of segments streamed, marked with how often it was reset, taken as a status
  // request is committed: what the board had been sent when it answered.
  virtual uint64_t SegmentsSentMark() const = 0;
  // Asked for every status reply with the board's fill and the mark of its request: false
  // while the board executes a move the host's positions must not show yet. Moves the board
  // has passed settle into the axis offsets here.
  virtual bool PositionsFollowBoard(int32_t fill, uint64_t sent_at_request) = 0;
  // The board ran an unknown part of what it held when the link lost it: the position is no
  // longer known, so the host's program must not go on. Stops it as an abort does.
  virtual void StopProgram() = 0;
  // The board lost somewhere between the last `lost_least` and the last `lost_most` segments:
  // backlash take-ups not yet seen behind it settle by the shortest such run. False when the
  // runs settle one differently: where its tool stands in the play no count tells.
  virtual bool SettleTakeUps(int32_t lost_least, int32_t lost_most) = 0;
  // A status reply's input word has been stored: scan it.
  virtual void OnInputWord() = 0;
  // What a status request carries to the board.
  virtual uint32_t OutputWord() const = 0;
  virtual int32_t SpindleValue() const = 0;

 protected:
  ~LinkClient() = default;
};

}  // namespace vaskel
