#pragma once
// A small host planner: straight moves of any axes at a feed rate, with a trapezoidal speed
// profile, cut into per-segment step counts. Counts are differences of rounded absolute step
// positions, so the segments of a move add up exactly to its commanded steps. A move is kept as
// its profile and cut one segment at a time as the host takes them, so a long program costs no
// more memory than a short one.
#include <array>
#include <cstdint>
#include <deque>
#include <string>

namespace vaskel::sim {

constexpr int kAxes = 6;
using AxisVector = std::array<double, kAxes>;
using StepVector = std::array<int64_t, kAxes>;

struct AxisLimits {
  double steps_per_unit = 1000.0;
  double velocity = 50.0;       // units per second
  double acceleration = 500.0;  // units per second squared
};

class HostPlanner {
 public:
  explicit HostPlanner(double segment_period_s = 0.003) : period_(segment_period_s) {}

  std::array<AxisLimits, kAxes>& limits() { return limits_; }
  // Queues a straight move to target (units) at feed (units per second, 0: the axes' limit).
  // Returns false with a reason when the move cannot be planned.
  bool AddMove(const AxisVector& target, double feed, std::string* error);
  // The next segment's step counts; false when nothing is planned.
  bool NextSegment(std::array<double, kAxes>& counts);
  bool idle() const { return moves_.empty(); }
  size_t pending() const { return pending_; }
  // Where the planned moves end, in steps.
  const StepVector& commanded_steps() const { return planned_steps_; }
  // The largest per-segment count planned on any axis (at most one above the exact figure).
  int64_t largest_count() const { return largest_count_; }
  // Forgets what is planned and takes the given step position as the start of the next move.
  void Reset(const StepVector& from_steps);

 private:
  struct Move {
    AxisVector start{};
    AxisVector delta{};
    double length = 0, speed = 0, accel = 0, t_acc = 0, d_acc = 0, t_cruise = 0, total = 0;
    int64_t segments = 0;
    int64_t next = 1;  // the segment cut next, 1..segments
    StepVector previous{};
    double DistanceAt(double t) const;
  };

  double period_;
  std::array<AxisLimits, kAxes> limits_{};
  AxisVector position_{};  // units, end of the last planned move
  StepVector planned_steps_{};
  int64_t largest_count_ = 0;
  std::deque<Move> moves_;
  size_t pending_ = 0;
};

}  // namespace vaskel::sim
