#include "sim/host_planner.h"

#include <algorithm>
#include <cmath>

namespace vaskel::sim {

bool HostPlanner::AddMove(const AxisVector& target, double feed, std::string* error) {
  AxisVector delta{};
  double length = 0;
  for (int a = 0; a < kAxes; ++a) {
    delta[a] = target[a] - position_[a];
    length += delta[a] * delta[a];
  }
  length = std::sqrt(length);
  if (!std::isfinite(length) || !std::isfinite(feed) || feed < 0) {
    if (error) *error = "move has a target or feed that is not a finite number";
    return false;
  }
  if (length == 0) return true;

  // The fastest speed and acceleration along the path that no axis exceeds.
  double speed = feed > 0 ? feed : INFINITY;
  double accel = INFINITY;
  for (int a = 0; a < kAxes; ++a) {
    const double share = std::fabs(delta[a]) / length;
    if (share == 0) continue;
    const AxisLimits& l = limits_[a];
    if (l.velocity <= 0 || l.acceleration <= 0 || l.steps_per_unit <= 0) {
      if (error) *error = "axis " + std::to_string(a) + " has no velocity, acceleration or scale";
      return false;
    }
    speed = std::min(speed, l.velocity / share);
    accel = std::min(accel, l.acceleration / share);
  }

  Move m;
  m.start = position_;
  m.delta = delta;
  m.length = length;
  m.accel = accel;
  m.t_acc = speed / accel;
  m.d_acc = 0.5 * accel * m.t_acc * m.t_acc;
  if (2 * m.d_acc > length) {  // triangular: never reaches the feed
    speed = std::sqrt(accel * length);
    m.t_acc = speed / accel;
    m.d_acc = 0.5 * length;
  }
  m.speed = speed;
  m.t_cruise = (length - 2 * m.d_acc) / speed;
  m.total = 2 * m.t_acc + m.t_cruise;
  m.segments = static_cast<int64_t>(std::ceil(m.total / period_ - 1e-9));
  if (m.segments <= 0) {  // too short for one segment: nothing moves
    position_ = target;
    return true;
  }
  m.previous = planned_steps_;
  for (int a = 0; a < kAxes; ++a) {
    const double spu = limits_[a].steps_per_unit;
    planned_steps_[a] = static_cast<int64_t>(std::llround((position_[a] + delta[a]) * spu));
    // The fastest segment moves speed * period along the path; rounding adds at most one.
    const double peak = speed * period_ * std::fabs(delta[a]) / length * spu;
    largest_count_ = std::max<int64_t>(largest_count_, static_cast<int64_t>(peak) + 1);
  }
  pending_ += static_cast<size_t>(m.segments);
  moves_.push_back(m);
  position_ = target;
  return true;
}

double HostPlanner::Move::DistanceAt(double t) const {
  if (t <= t_acc) return 0.5 * accel * t * t;
  if (t <= t_acc + t_cruise) return d_acc + speed * (t - t_acc);
  const double td = std::min(t, total) - t_acc - t_cruise;
  return d_acc + speed * t_cruise + speed * td - 0.5 * accel * td * td;
}

bool HostPlanner::NextSegment(std::array<double, kAxes>& counts) {
  if (moves_.empty()) return false;
  Move& m = moves_.front();
  const int64_t k = m.next++;
  const double s = k == m.segments ? m.length : m.DistanceAt(static_cast<double>(k) * period_);
  for (int a = 0; a < kAxes; ++a) {
    const double units = m.start[a] + m.delta[a] * (s / m.length);
    const auto steps = static_cast<int64_t>(std::llround(units * limits_[a].steps_per_unit));
    counts[a] = static_cast<double>(steps - m.previous[a]);
    m.previous[a] = steps;
  }
  --pending_;
  if (m.next > m.segments) moves_.pop_front();
  return true;
}

void HostPlanner::Reset(const StepVector& from_steps) {
  moves_.clear();
  pending_ = 0;
  planned_steps_ = from_steps;
  for (int a = 0; a < kAxes; ++a) {
    position_[a] = static_cast<double>(from_steps[a]) / limits_[a].steps_per_unit;
  }
}

}  // namespace vaskel::sim
