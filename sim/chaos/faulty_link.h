#pragma once
// The board simulator behind a HID bus that misbehaves on demand: replies dropped, doubled,
// late, out of order, with a wrong sequence number, cut short or padded, with any fill; writes
// refused or stuck; the board unplugged. It keeps the last packets each way for a failure report.
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "sim/board/board_simulator.h"
#include "sim/chaos/intent_books.h"
#include "sim/chaos/reply_books.h"
#include "sim/chaos/rng.h"
#include "sim/chaos/world.h"

namespace vaskel::chaos {

class FaultyPort;

// How a write that the board stalls ends: delivered once the stall is over; failed then; or
// delivered then even when the plug-in gave up on it and closed its port before (a kernel's
// own time-out is longer than the plug-in's).
enum class StuckEnd : uint8_t { kDelivered, kFailed, kDeliveredLate };

// What the link suffers right now; the runner switches these as the world's faults begin and end.
struct ActiveFaults {
  double drop = 0, duplicate = 0, delay = 0, reorder = 0, unknown_sequence = 0, short_reply = 0,
         long_reply = 0, fill_lie = 0;
  uint32_t delay_ms = 0;
  uint32_t refuse_code = 0;
  int32_t refuse_left = 0;
  bool stuck = false;
  StuckEnd stuck_end = StuckEnd::kDelivered;
};

struct LoggedPacket {
  uint32_t time_ms = 0;
  int size = 0;
  std::array<uint8_t, kReportSize> bytes{};
};

class FaultyBus : public HidBus {
 public:
  static constexpr size_t kLogSize = 64;
  FaultyBus(sim::BoardSimulator& board, Clock& clock, Rng& rng, TraceHash& hash)
      : board_(board), clock_(clock), rng_(rng), hash_(hash) {}

  std::vector<HidDeviceInfo> Enumerate() override;
  std::unique_ptr<HidPort> Open(const std::string& path) override;

  ActiveFaults& faults() { return faults_; }
  // How the port writes: at once, or across the wire behind the call.
  void set_port(World::Port port, uint32_t write_wire_ms) {
    port_ = port;
    write_wire_ms_ = write_wire_ms;
  }
  // Writes that have crossed the wire reach the board now, whoever waits for them.
  void DeliverDue();
  // Motion packets carry their segments' tags to the board from these books.
  void set_books(IntentBooks* books) { books_ = books; }
  // Replies handed over as the board sent them are judged by these books.
  void set_reply_books(ReplyBooks* books) { reply_books_ = books; }
  sim::BoardSimulator& board() { return board_; }
  // Replies taken from the board and not yet handed to the plug-in.
  size_t held_replies() const { return held_.size(); }
  const std::deque<LoggedPacket>& sent() const { return sent_; }
  const std::deque<LoggedPacket>& received() const { return received_; }
  // Sequence numbers of requests that reached the board twice (none is allowed).
  uint64_t repeated_requests() const { return repeated_requests_; }
  uint64_t writes_delivered() const { return writes_delivered_; }
  uint64_t replies_handed() const { return replies_handed_; }
  // Replies dropped, cut short, relabelled, held back or overtaken so far.
  uint64_t replies_disturbed() const { return replies_disturbed_; }
  // Ports closed while the board stalled their write.
  uint64_t stalled_closes() const { return stalled_closes_; }
  // How long the oldest write on a port still open has been in flight, in ms (0: none).
  uint32_t OldestOpenWriteMs() const;
  // Ports closed straight after a failed write, with fewer failures in a row than the link's
  // rule (the 21st closes it), and no unplug or stalled write to close them for.
  uint64_t early_failure_closes() const { return early_failure_closes_; }
  // Motion steps by channel written on a new connection before its start-up configuration,
  // whose stop clears them, when no resynchronisation sends them again.
  const std::array<int64_t, 6>& kept_steps_dropped() const { return kept_dropped_; }

 private:
  friend class FaultyPort;
  struct Held {
    uint32_t due_ms;
    int size;
    std::array<uint8_t, kReportSize> bytes;
  };
  using Tags = std::array<uint64_t, 7>;
  Tags TagsForWrite(const uint8_t* report);
  uint32_t Write(const uint8_t* report, uint64_t generation, uint64_t connection, const Tags& tags);
  void NoteConnectionStart(const uint8_t* report, uint64_t connection, const Tags& tags);
  int Read(uint8_t* out, uint64_t generation);
  void Log(std::deque<LoggedPacket>& log, const uint8_t* bytes, int size);
  void NoteRequest(const uint8_t* report);

  sim::BoardSimulator& board_;
  Clock& clock_;
  Rng& rng_;
  TraceHash& hash_;
  ActiveFaults faults_;
  std::deque<Held> held_;
  std::deque<LoggedPacket> sent_, received_;
  std::vector<uint32_t> seen_requests_ = std::vector<uint32_t>(65536, 0);
  uint32_t request_epoch_ = 1;
  uint64_t repeated_requests_ = 0;
  uint64_t writes_delivered_ = 0;
  uint64_t replies_handed_ = 0;
  uint64_t replies_disturbed_ = 0;
  uint64_t connections_ = 0;
  uint64_t connection_seen_ = 0;
  bool awaiting_configuration_ = false;
  std::array<int64_t, 6> kept_pending_{};
  std::vector<Tags> kept_pending_tags_;
  IntentBooks* books_ = nullptr;
  ReplyBooks* reply_books_ = nullptr;
  World::Port port_ = World::Port::kImmediate;
  uint32_t write_wire_ms_ = 0;
  std::vector<FaultyPort*> ports_;
  std::array<int64_t, 6> kept_dropped_{};
  uint64_t stalled_closes_ = 0;
  // Failed write results handed to the plug-in since the last delivered write (an unplug's
  // result ends the row too), and whether the last result was one of them.
  int32_t failures_in_row_ = 0;
  bool last_write_failed_ = false;
  uint64_t early_failure_closes_ = 0;
  void NoteWriteResult(uint32_t result);
};

}  // namespace vaskel::chaos
