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

  double t_acc = speed / accel;
  double d_acc = 0.5 * accel * t_acc * t_acc;
  if (2 * d_acc > length) {  // triangular: never reaches the feed
    speed = std::sqrt(accel * length);
    t_acc = speed / accel;
    d_acc = 0.5 * length;
  }
  const double t_cruise = (length - 2 * d_acc) / speed;
  const double total = 2 * t_acc + t_cruise;
  auto distance_at = [&](double t) {
    if (t <= t_acc) return 0.5 * accel * t * t;
    if (t <= t_acc + t_cruise) return d_acc + speed * (t - t_acc);
    const double td = std::min(t, total) - t_acc - t_cruise;
    return d_acc + speed * t_cruise + speed * td - 0.5 * accel * td * td;
  };

  const auto n = static_cast<int64_t>(std::ceil(total / period_ - 1e-9));
  StepVector previous = planned_steps_;
  for (int64_t k = 1; k <= n; ++k) {
    const double s = k == n ? length : distance_at(static_cast<double>(k) * period_);
    std::array<double, kAxes> counts{};
    for (int a = 0; a < kAxes; ++a) {
      const double units = position_[a] + delta[a] * (s / length);
      const auto steps = static_cast<int64_t>(std::llround(units * limits_[a].steps_per_unit));
      counts[a] = static_cast<double>(steps - previous[a]);
      largest_count_ = std::max<int64_t>(largest_count_, std::llabs(steps - previous[a]));
      previous[a] = steps;
    }
    segments_.push_back(counts);
  }
  planned_steps_ = previous;
  position_ = target;
  return true;
}

bool HostPlanner::NextSegment(std::array<double, kAxes>& counts) {
  if (segments_.empty()) return false;
  counts = segments_.front();
  segments_.pop_front();
  return true;
}

void HostPlanner::Reset(const StepVector& from_steps) {
  segments_.clear();
  planned_steps_ = from_steps;
  for (int a = 0; a < kAxes; ++a) {
    position_[a] = static_cast<double>(from_steps[a]) / limits_[a].steps_per_unit;
  }
}

}  // namespace vaskel::sim
