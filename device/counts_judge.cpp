#include "device/counts_judge.h"

#include <algorithm>
#include <limits>

namespace vaskel {
namespace {

constexpr uint32_t kHalfHistory = DeliveryBooks::kHistory / 2;

int64_t Diff(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b);
}

bool Before(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) < 0;
}

// Counts as the log gives them: signed, space-separated.
void AppendCount(std::string& text, uint32_t count) {
  if (!text.empty()) text += ' ';
  text += std::to_string(static_cast<int32_t>(count));
}

// A hull of anchor intervals, relative to a base's own.
struct Hull {
  std::array<int64_t, 6> lo, hi;
  bool any = false;
  Hull() {
    lo.fill(std::numeric_limits<int64_t>::max());
    hi.fill(std::numeric_limits<int64_t>::min());
  }
  void Add(size_t c, int64_t a, int64_t b) {
    lo[c] = std::min(lo[c], a);
    hi[c] = std::max(hi[c], b);
  }
};

}  // namespace

CountsJudge::Span CountsJudge::Reach(uint32_t k, size_t c, uint32_t ref, uint32_t delivered) const {
  const int64_t start = Diff(books_.StepsBefore(k, c), books_.StepsBefore(ref, c));
  if (k == delivered) return {start, start};
  const int64_t end = Diff(books_.StepsBefore(k + 1, c), books_.StepsBefore(ref, c));
  return {std::min(start, end), std::max(start, end)};
}

void CountsJudge::Candidates(const ReplyCounts& reply, uint32_t& first, uint32_t& last) const {
  // Composed with anything from the request's own view to all delivered by now; the fill may
  // leave out the segment in hand.
  first = reply.delivered_at_request - reply.fill - 1;
  last = reply.delivered_now - reply.fill;
  if (Before(reply.delivered_now, last)) last = reply.delivered_now;
  if (Before(last, first)) first = last;
}

CountsBase CountsJudge::BaseFrom(const ReplyCounts& reply) const {
  CountsBase base;
  uint32_t first = 0, last = 0;
  Candidates(reply, first, last);
  if (Diff(reply.delivered_now, first) >= kHalfHistory) first = reply.delivered_now - kHalfHistory;
  if (Before(last, first)) last = first;
  for (size_t c = 0; c < 6; ++c) {
    int64_t most = std::numeric_limits<int64_t>::min();
    int64_t least = std::numeric_limits<int64_t>::max();
    for (uint32_t k = first; k != last + 1; ++k) {
      const Span r = Reach(k, c, first, reply.delivered_now);
      least = std::min(least, r.lo);
      most = std::max(most, r.hi);
    }
    // counts = anchor + steps before the point: the anchor lies in [raw - most, raw - least].
    base.lo[c] = static_cast<uint32_t>(reply.raw[c]) - books_.StepsBefore(first, c) -
                 static_cast<uint32_t>(most);
    base.width[c] = static_cast<uint32_t>(most - least);
  }
  base.raw = reply.raw;
  base.counting = reply.counting;
  base.from = first;
  base.consumed = reply.delivered_at_request - reply.fill;
  for (size_t c = 0; c < 6; ++c) {
    base.guess[c] = static_cast<uint32_t>(reply.raw[c]) - books_.StepsBefore(base.consumed, c);
  }
  // A stop that went out after the request may not show yet: the next judgement allows for
  // it either way.
  base.stops = reply.stops_at_request;
  base.delivered = reply.delivered_now;
  base.fill = reply.fill;
  base.seen_ms = reply.now_ms;
  base.channels = reply.channels;
  base.known = true;
  // Idle only when the reply showed nothing held and nothing went out around it.
  base.idle = reply.fill == 0 && reply.delivered_at_request == reply.delivered_now &&
              reply.stops_at_request == reply.stops_now;
  return base;
}

bool CountsJudge::CountsAt(const CountsBase& base, uint32_t k, const std::array<int32_t, 6>& raw,
                           bool partial, bool guessed) const {
  for (size_t c = 0; c < 6; ++c) {
    // A channel the positions do not read may stand still; one that counts must fit too.
    const bool unread = (base.channels >> c & 1u) == 0;
    if (unread && (base.counting >> c & 1u) == 0 && raw[c] == base.raw[c]) continue;
    if (guessed) {
      // A guess the replies since have ruled out guesses nothing.
      const int64_t in_bounds = Diff(base.guess[c], base.lo[c]);
      if (in_bounds < 0 || in_bounds > base.width[c]) return false;
      if (static_cast<uint32_t>(raw[c]) - books_.StepsBefore(k, c) != base.guess[c]) return false;
      continue;
    }
    const int64_t at = Diff(static_cast<uint32_t>(raw[c]) - books_.StepsBefore(k, c), base.lo[c]);
    int64_t seg = 0;
    if (partial) seg = Diff(books_.StepsBefore(k + 1, c), books_.StepsBefore(k, c));
    // The anchor this implies, [at - max(0, seg), at - min(0, seg)], meets [0, width].
    if (at - std::max<int64_t>(0, seg) > base.width[c] || at - std::min<int64_t>(0, seg) < 0) {
      return false;
    }
  }
  return true;
}

CountsVerdict CountsJudge::Judge(const CountsBase& base, const ReplyCounts& reply,
                                 std::string* expected, CountsBase* next) const {
  if (!base.known) return CountsVerdict::kCannotTell;
  if (Before(reply.stops_now, base.stops)) return CountsVerdict::kOlder;
  // A board holds no more than it was sent: a fill beyond the books is garbled.
  if (reply.fill >= kHalfHistory) {
    if (expected) *expected = "a fill within what was sent";
    return CountsVerdict::kDisagree;
  }
  // A reply may show any stop that went out before it was read, but none the base counts
  // that went out after its request unless it was composed after that stop.
  const bool requested_before_base = Before(reply.stops_at_request, base.stops);
  const uint32_t stops_first = requested_before_base ? base.stops : reply.stops_at_request;
  CountsVerdict verdict = CountsVerdict::kDisagree;
  std::string first_expected;
  // Stops in flight are few; past a handful only the two ends are judged.
  const uint32_t span = reply.stops_now - stops_first;
  for (uint32_t s = stops_first;; s = (span > 4 && s == stops_first) ? reply.stops_now : s + 1) {
    std::string want;
    const CountsVerdict v = JudgeAtStops(base, reply, s, expected ? &want : nullptr, next);
    if (v == CountsVerdict::kAgree || v == CountsVerdict::kOlder) return v;
    if (v == CountsVerdict::kCannotTell) verdict = v;
    if (first_expected.empty()) first_expected = want;
    if (s == reply.stops_now) break;
  }
  if (expected) *expected = first_expected;
  if (verdict == CountsVerdict::kCannotTell) return verdict;
  if (requested_before_base) return CountsVerdict::kOlder;
  // Nothing was outstanding at the base or since: the board moved by itself, unless it came
  // back to its power-up counts.
  if (base.idle && reply.fill == 0 && reply.stops_now == base.stops &&
      reply.delivered_now == base.delivered) {
    if (reply.raw != std::array<int32_t, 6>{}) return CountsVerdict::kAtRest;
    if (expected) *expected = "counts that stay at rest";
  }
  return CountsVerdict::kDisagree;
}

CountsVerdict CountsJudge::JudgeAtStops(const CountsBase& base, const ReplyCounts& reply,
                                        uint32_t stops, std::string* expected,
                                        CountsBase* next) const {
  const uint32_t since = stops - base.stops;
  uint32_t first = 0, last = 0;
  Candidates(reply, first, last);
  // A stop may let the segment in hand finish: the fill then still counts that one.
  if (since != 0 && Before(last, reply.delivered_now)) ++last;
  if (since > 1) return JudgeAcrossStops(base, reply, stops, first, last, expected);
  const uint8_t judged = base.channels & reply.channels;
  const uint32_t d = reply.delivered_now;
  // With no stop since, the board is on from where the base saw it; across one, it went on
  // to where the stop found it (j, inside or at the end of a segment it had been sent by
  // then) and from there ran what was sent after the stop.
  uint32_t cut = 0, j_first = 0, j_last = 0;
  if (since == 0) {
    if (Before(first, base.from)) first = base.from;
    // One segment short of the base: a fill that still counts the segment a stop let finish.
    // The base already allows for it, and stands.
    if (last + 1 == base.from && base.stops != 0) return CountsVerdict::kOlder;
  } else {
    cut = books_.DeliveredAtStop(base.stops + 1);
    // A base past the stop's cut was composed after the stop: the run goes on from there.
    j_first = Before(cut, base.from) ? cut : base.from;
    if (Diff(cut, j_first) >= kHalfHistory) return CountsVerdict::kCannotTell;
    j_last = cut;
    if (Before(first, cut)) first = cut;
  }
  if (Before(last, first)) {
    if (expected) *expected = "a fill within what was sent";
    return CountsVerdict::kDisagree;
  }
  if (Diff(d, first) >= kHalfHistory) return CountsVerdict::kCannotTell;
  // Every count is relative to the base's anchor and the steps before `ref`.
  Frame frame{since, since == 0 ? first : cut, cut, d, judged, {}};
  for (size_t c = 0; c < 6; ++c) {
    frame.r[c] =
        Diff(static_cast<uint32_t>(reply.raw[c]) - books_.StepsBefore(frame.ref, c), base.lo[c]);
  }
  if (expected) *expected = DescribeExpected(base, reply, frame.ref, first, last, since != 0);
  Hull hull;
  uint32_t matched_from = 0;
  std::array<bool, 6> stood{};  // an unread channel matched only by standing still
  const auto try_point = [&](uint32_t j, uint32_t k) {
    Fit fit;
    if (!FitAt(base, reply, frame, j, k, fit)) return;
    if (!hull.any) matched_from = k;
    hull.any = true;
    for (size_t c = 0; c < 6; ++c) {
      if (fit.still[c]) {
        stood[c] = true;
      } else {
        hull.Add(c, fit.lo[c], fit.hi[c]);
      }
    }
  };
  if (since == 0) {
    for (uint32_t k = first; k != last + 1; ++k) try_point(0, k);
  } else {
    for (uint32_t j = j_first; j != j_last + 1; ++j) {
      for (uint32_t k = first; k != last + 1; ++k) try_point(j, k);
    }
  }
  if (!hull.any) return CountsVerdict::kDisagree;
  if (next) *next = Narrowed(base, reply, stops, matched_from, hull.lo, hull.hi, stood);
  return CountsVerdict::kAgree;
}

bool CountsJudge::FitAt(const CountsBase& base, const ReplyCounts& reply, const Frame& frame,
                        uint32_t j, uint32_t k, Fit& fit) const {
  for (size_t c = 0; c < 6; ++c) {
    const Span q = Reach(k, c, frame.ref, frame.delivered);
    Span p{0, 0};
    if (frame.since == 1) p = Reach(j, c, frame.ref, j == frame.cut ? frame.cut : frame.delivered);
    // The anchor (relative to the base's) lies in [p.lo, width + p.hi] by the base and in
    // [r - q.hi, r - q.lo] by this reply.
    const auto width = static_cast<int64_t>(base.width[c]);
    fit.lo[c] = std::max(p.lo, frame.r[c] - q.hi);
    fit.hi[c] = std::min(width + p.hi, frame.r[c] - q.lo);
    if (fit.lo[c] > fit.hi[c]) {
      // Only a channel the positions do not read, and not seen to count, may stand still.
      if (((frame.judged | reply.counting) >> c & 1u) != 0 || reply.raw[c] != base.raw[c]) {
        return false;
      }
      fit.still[c] = true;
      continue;
    }
    // Nothing sent after the stop has run yet: the board may still be finishing the segment
    // the stop found it in, and the run goes on from wherever in it that ends.
    if (frame.since == 1 && k == frame.cut) {
      fit.lo[c] = std::max(p.lo, fit.lo[c] - (p.hi - p.lo));
      fit.hi[c] = std::min(width + p.hi, fit.hi[c] + (p.hi - p.lo));
    }
  }
  return true;
}

std::string CountsJudge::DescribeExpected(const CountsBase& base, const ReplyCounts& reply,
                                          uint32_t ref, uint32_t first, uint32_t last,
                                          bool after_stop) const {
  std::string low, high;
  const uint32_t d = reply.delivered_now;
  for (size_t c = 0; c < 6; ++c) {
    const uint32_t at = base.lo[c] + books_.StepsBefore(ref, c);
    AppendCount(low, at + static_cast<uint32_t>(Reach(first, c, ref, d).lo));
    AppendCount(high, at + base.width[c] + static_cast<uint32_t>(Reach(last, c, ref, d).hi));
  }
  return (after_stop ? "after a stop, about " : "about ") + low + " to " + high;
}

CountsBase CountsJudge::Narrowed(const CountsBase& base, const ReplyCounts& reply, uint32_t stops,
                                 uint32_t from, const std::array<int64_t, 6>& lo,
                                 const std::array<int64_t, 6>& hi,
                                 const std::array<bool, 6>& stood) const {
  CountsBase next = BaseFrom(reply);
  for (size_t c = 0; c < 6; ++c) {
    if (stood[c] || lo[c] > hi[c]) continue;
    // Past a stop, the anchor is the one the run after it goes on from.
    next.lo[c] = base.lo[c] + static_cast<uint32_t>(lo[c]);
    next.width[c] = static_cast<uint32_t>(hi[c] - lo[c]);
  }
  next.from = from;
  // With no stop between, the guess stands; a reply overtaken by a later one leaves the
  // furthest point seen.
  if (stops == base.stops) {
    next.guess = base.guess;
    if (Before(next.consumed, base.consumed)) next.consumed = base.consumed;
  }
  next.stops = stops;
  return next;
}

CountsVerdict CountsJudge::JudgeAcrossStops(const CountsBase& base, const ReplyCounts& reply,
                                            uint32_t stops, uint32_t first, uint32_t last,
                                            std::string* expected) const {
  // Two stops or more: where each cut the stream is not followed, only bounds are. Between
  // one stop and the next the board ran the segments delivered from its start to some point
  // (or into a segment), so on every channel the counts lie between the least and the most
  // such runs add up to; after the last stop it ran into the candidates. Counts outside
  // those bounds are those of a board that lost its counts; inside them nothing can be told.
  if (stops - base.stops > kStopsJudged) return CountsVerdict::kCannotTell;
  const uint32_t d = reply.delivered_now;
  std::array<int64_t, 6> low{}, high{};
  uint32_t start = base.from;
  const auto widen = [&](uint32_t from, uint32_t to, uint32_t end) {
    for (size_t c = 0; c < 6; ++c) {
      int64_t lo = std::numeric_limits<int64_t>::max();
      int64_t hi = std::numeric_limits<int64_t>::min();
      for (uint32_t k = from; k != to + 1; ++k) {
        const Span s = Reach(k, c, start, k == end ? end : d);
        lo = std::min(lo, s.lo);
        hi = std::max(hi, s.hi);
      }
      low[c] += lo;
      high[c] += hi;
    }
  };
  if (Diff(d, start) >= kHalfHistory) return CountsVerdict::kCannotTell;
  for (uint32_t s = base.stops + 1; s != stops + 1; ++s) {
    const uint32_t cut = books_.DeliveredAtStop(s);
    if (Before(cut, start)) return CountsVerdict::kCannotTell;
    widen(start, cut, cut);
    start = cut;
  }
  if (Before(first, start)) first = start;
  if (Before(last, first)) {
    if (expected) *expected = "a fill within what was sent since the last stop";
    return CountsVerdict::kDisagree;
  }
  widen(first, last, d);
  bool inside = true;
  std::string lows, highs;
  for (size_t c = 0; c < 6; ++c) {
    const uint32_t at = base.lo[c] + books_.StepsBefore(base.from, c);
    const int64_t target = Diff(static_cast<uint32_t>(reply.raw[c]), at);
    const bool judged = ((base.channels & reply.channels) >> c & 1u) != 0;
    const bool stood = !judged && (reply.counting >> c & 1u) == 0 && reply.raw[c] == base.raw[c];
    inside = inside && (stood || (target >= low[c] && target <= high[c] + base.width[c]));
    AppendCount(lows, at + static_cast<uint32_t>(low[c]));
    AppendCount(highs, at + base.width[c] + static_cast<uint32_t>(high[c]));
  }
  if (inside) return CountsVerdict::kCannotTell;
  if (expected) *expected = "between " + lows + " and " + highs;
  return CountsVerdict::kDisagree;
}

}  // namespace vaskel
