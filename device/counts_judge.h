#pragma once
// Whether a status reply's channel counts could have come from a healthy board, given what the
// link delivered to it. No threads: a reply in, a verdict out.
//
// What it assumes of the board, and nothing more:
// - it runs the segments it is sent in order, one at a time; the counts of a channel move only
//   by that channel's steps, and within the segment in hand they may stand anywhere between
//   its start and its end, each channel at a rate of its own;
// - a stop ends the run where it finds the board (inside the segment in hand, or at its end)
//   and drops the rest; what is sent after it runs from there;
// - a drop of the link may cost it its queue, and it runs what a new connection sends it from
//   where it stood;
// - its fill counts the segments not yet run, with or without the one in hand;
// - it may compose a reply any time between taking the request and its being read, so a reply
//   may show packets and stops that went out after its request;
// - a channel the displayed positions never read may not count at all: it either follows its
//   steps or stays where it was;
// - while nothing is outstanding (everything it was sent has run, no stop in flight) its counts
//   may move by themselves (a handwheel on the board): they are followed.
// A reset shows as counts that no such run reaches (at rest: every channel back to 0 at once).
#include <array>
#include <cstdint>
#include <string>

#include "device/delivery_books.h"

namespace vaskel {

// A status reply's counts, and what the link had delivered around it.
struct ReplyCounts {
  std::array<int32_t, 6> raw{};
  uint32_t fill = 0;
  uint32_t delivered_at_request = 0;  // segments and stops delivered ahead of the request
  uint32_t stops_at_request = 0;
  uint32_t delivered_now = 0;  // and as the reply is judged
  uint32_t stops_now = 0;
  uint8_t channels = 0x3f;  // the channels the positions read
  uint8_t counting = 0;     // channels seen to count: they cannot be standing still
  uint32_t now_ms = 0;
};

enum class CountsVerdict : uint8_t {
  kAgree,       // a run of what was delivered reaches these counts
  kDisagree,    // none does
  kCannotTell,  // no base to judge by, or only bounds (stops too many to follow)
  kOlder,       // answered before a stop the base already counts, or nothing to judge by
  kAtRest,      // nothing was outstanding: counts that moved are the board's own (not to 0)
};

// Where the counts stood: counts = anchor + steps of the stream up to the board's point, the
// anchor somewhere in [lo, lo + width] per channel. The board's point was not before segment
// `from`.
struct CountsBase {
  std::array<uint32_t, 6> lo{};
  std::array<uint32_t, 6> width{};
  // The anchor as a board that counts each segment whole, at its end, and its fill with the
  // segment in hand would give it: exact for such a board, and tried first where a run must
  // be told to the segment.
  std::array<uint32_t, 6> guess{};
  std::array<int32_t, 6> raw{};  // the counts it was made from
  uint8_t counting = 0;          // channels seen to count
  uint32_t from = 0;
  uint32_t consumed = 0;   // delivered ahead of the request less the fill: the most consumed
  uint32_t stops = 0;      // stops counted in
  uint32_t delivered = 0;  // delivered when it was judged
  uint32_t fill = 0;
  uint32_t seen_ms = 0;
  uint8_t channels = 0;
  bool idle = false;  // nothing held and nothing sent around the reply
  bool known = false;
};

class CountsJudge {
 public:
  static constexpr uint32_t kStopsJudged = 64;  // stops between two counts judged by bounds

  explicit CountsJudge(const DeliveryBooks& books) : books_(books) {}

  // The reply against `base`; `expected` (if given) says what was looked for. An agreeing
  // verdict leaves in `next` the base the reply narrows `base` to.
  CountsVerdict Judge(const CountsBase& base, const ReplyCounts& reply, std::string* expected,
                      CountsBase* next) const;
  // The base a reply gives on its own, when it did not agree with the one before.
  CountsBase BaseFrom(const ReplyCounts& reply) const;
  // Whether counts `raw` lie where the base's anchor and a board that ran exactly the first
  // `k` segments put them (`partial`: anywhere inside segment k; `guessed`: the guessed anchor
  // exactly).
  bool CountsAt(const CountsBase& base, uint32_t k, const std::array<int32_t, 6>& raw, bool partial,
                bool guessed = false) const;

 private:
  struct Span {
    int64_t lo = 0, hi = 0;
  };
  // The reach of channel c inside segment k, relative to the steps before `ref`: end points
  // only, and only the start when k is the last segment delivered.
  Span Reach(uint32_t k, size_t c, uint32_t ref, uint32_t delivered) const;
  // Candidate segments the board may have been in when it composed the reply (first, last).
  void Candidates(const ReplyCounts& reply, uint32_t& first, uint32_t& last) const;
  CountsVerdict JudgeAtStops(const CountsBase& base, const ReplyCounts& reply, uint32_t stops,
                             std::string* expected, CountsBase* next) const;
  // A judgement's point of view: stops since the base, the stream point counts are taken
  // relative to, the stop's cut, what was delivered, the channels judged, and the reply's
  // counts less the base's anchor and the steps before `ref`.
  struct Frame {
    uint32_t since = 0, ref = 0, cut = 0, delivered = 0;
    uint8_t judged = 0;
    std::array<int64_t, 6> r{};
  };
  // Where the anchor lies, relative to the base's, if the stop found the board at `j` (across
  // one stop) and the reply at `k`; `still` marks an unread channel that stood instead.
  struct Fit {
    std::array<int64_t, 6> lo{}, hi{};
    std::array<bool, 6> still{};
  };
  bool FitAt(const CountsBase& base, const ReplyCounts& reply, const Frame& frame, uint32_t j,
             uint32_t k, Fit& fit) const;
  // What the counts were expected to be, for the log.
  std::string DescribeExpected(const CountsBase& base, const ReplyCounts& reply, uint32_t ref,
                               uint32_t first, uint32_t last, bool after_stop) const;
  // The base an agreeing reply leaves: the anchor narrowed to [lo, hi] (relative to `base`'s)
  // on every channel but those that stood still.
  CountsBase Narrowed(const CountsBase& base, const ReplyCounts& reply, uint32_t stops,
                      uint32_t from, const std::array<int64_t, 6>& lo,
                      const std::array<int64_t, 6>& hi, const std::array<bool, 6>& stood) const;
  CountsVerdict JudgeAcrossStops(const CountsBase& base, const ReplyCounts& reply, uint32_t stops,
                                 uint32_t first, uint32_t last, std::string* expected) const;
  const DeliveryBooks& books_;
};

}  // namespace vaskel
