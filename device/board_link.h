#pragma once
// The board as the streaming layer sees it through the link: motion packets begun and
// committed, simple commands, and the latest status (fill, counts, input word, axis offsets).
#include <array>
#include <cstdint>

namespace vaskel {

class BoardLink {
 public:
  // A motion packet is begun and committed on the tick's thread; no other producer interleaves
  // with it. Returns byte 1 of the slot, bytes 1..63 zeroed.
  virtual uint8_t* BeginMotionPacket() = 0;
  virtual void CommitPacket() = 0;
  // Any thread.
  virtual void SendCommand(uint8_t opcode, int32_t value) = 0;

  // Motion packets committed and not yet taken by the sender, in segments, and the board's
  // device-buffer limit in segments: while replies are held up (a stuck write), the room the
  // last reply reported must not turn into an unbounded queue in front of the board.
  virtual int32_t segments_awaiting_write() = 0;
  virtual int32_t NeedsDataLimit() const = 0;
  // The most the board can hold as far as its replies confirm: the fill it last reported and
  // every segment delivered since that reply's request. A board that takes writes and answers
  // nothing must not be fed without end.
  virtual int32_t unconfirmed_fill() const = 0;

  virtual bool link_running() const = 0;
  virtual int32_t device_fill() const = 0;
  virtual int32_t board_count(int axis) const = 0;
  virtual uint32_t input_word() const = 0;
  // Host position = board count + offset, per axis.
  virtual void set_axis_offset(int axis, int32_t value) = 0;
  virtual void AddToAxisOffsets(const std::array<int32_t, 6>& delta) = 0;
  // The sequence number the next request will carry, and that of the request whose status
  // reply was processed last (0 before any): a reply is fresh when its request went out after
  // a given moment.
  virtual int32_t sequence_counter() const = 0;
  virtual int32_t last_status_sequence() const = 0;

 protected:
  ~BoardLink() = default;
};

}  // namespace vaskel
