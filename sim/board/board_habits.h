#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace vaskel::sim {

// Ways a board may go about its work within its contract. The defaults are this model's own:
// a reply composed as the request is taken, segments run whole, the segment in hand counted
// in the fill and dropped whole by a stop, six counted channels, replies in order and an
// exact clock.
struct BoardHabits {
  // A status reply is composed when it is sent, this long at most after its request (drawn
  // per reply from compose_seed): it shows what the board took meanwhile. 0: at once.
  uint32_t compose_late_max_ms = 0;
  uint64_t compose_seed = 0;
  // The fill leaves out the segment the board is running.
  bool fill_excludes_in_hand = false;
  // The counts a reply shows run through the segment in hand: channel c has counted
  // trunc(steps × min(1, elapsed / rate[c])) of it, elapsed the part of its time gone by.
  bool counts_step_through = false;
  std::array<double, 6> step_rates{1, 1, 1, 1, 1, 1};  // each in (0, 1]
  // A stop lets the segment in hand run to its end; otherwise it cuts it where it is (what of
  // it the counts show stands), or, counting whole segments, drops it whole.
  bool stop_finishes_in_hand = false;
  // Channels outside the mask have no motor: they never count.
  uint8_t counted_channels = 0x3f;
  // Sync replies overtake the status replies not yet read.
  bool sync_first = false;
  // The board's clock is off by this many parts a million: a segment lasts
  // segment_ms × (1 + ppm / 1e6) of the host's time (> 0: a slow board).
  int32_t clock_ppm = 0;
};

// The habits that differ from the defaults, for a person to read ("none" without any).
std::string DescribeHabits(const BoardHabits& h);

}  // namespace vaskel::sim
