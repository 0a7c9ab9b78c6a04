#pragma once
// The run's trace: one row per sample as CSV, and a picture of board fill and axis positions
// over time as SVG.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vaskel::sim {

struct TraceRow {
  uint32_t time_ms = 0;
  int32_t motion_state = -1;  // -1 when the plug-in does not say
  int32_t board_fill = 0;
  int32_t device_needs_data = 0;
  std::array<int32_t, 6> host_position{};
  std::array<int32_t, 6> board_count{};
};

class TraceWriter {
 public:
  void Add(const TraceRow& row) { rows_.push_back(row); }
  const std::vector<TraceRow>& rows() const { return rows_; }
  bool WriteCsv(const std::string& path, std::string* error) const;
  // axes: which axes to draw (bit a for axis a).
  bool WriteSvg(const std::string& path, unsigned axes, std::string* error) const;
  std::string Csv() const;
  std::string Svg(unsigned axes) const;

 private:
  std::vector<TraceRow> rows_;
};

}  // namespace vaskel::sim
