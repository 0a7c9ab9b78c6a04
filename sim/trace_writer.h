#pragma once
// The run's trace: one row per sample, streamed to a CSV file as it comes, and a picture of
// board fill, motion state and axis positions over time as SVG. The picture keeps a bounded
// summary (at most kColumns columns of minima and maxima, halved in resolution whenever they
// fill up), so a run of ten hours needs no more memory than one of a minute.
#include <array>
#include <cstdint>
#include <cstdio>
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
  // False while nothing is known of the board's fill and counts (an external board that has
  // not answered yet): the CSV leaves them empty and the picture draws nothing.
  bool board_known = true;
  // The board's counts in the host's frame (count + the plug-in's offset), when known.
  bool framed_known = false;
  std::array<int64_t, 6> board_framed{};
};

class TraceWriter {
 public:
  static constexpr size_t kColumns = 2048;

  TraceWriter() = default;
  ~TraceWriter();
  TraceWriter(const TraceWriter& other) { *this = other; }
  TraceWriter& operator=(const TraceWriter& other);

  // Streams the rows to a CSV file from now on (its header first). False with a reason.
  bool StreamCsv(const std::string& path, std::string* error);
  // Rows are kept in memory too unless turned off (a long run keeps none).
  void KeepRows(bool keep) { keep_rows_ = keep; }
  void Add(const TraceRow& row);
  // A host action, drawn as a marker on the picture; a connection event (link opened, board
  // gone) is drawn in its own colour.
  enum class MarkKind { Action, Connection };
  void Mark(uint32_t time_ms, const std::string& label, MarkKind kind = MarkKind::Action);
  // The picture's title.
  void SetTitle(const std::string& title) { title_ = title; }
  // The fill below which the plug-in asks for data, drawn on the fill plot (0: not drawn).
  void SetFillLimit(int32_t limit) { fill_limit_ = limit; }
  // Ends the CSV file; false with a reason when it could not be written whole.
  bool Finish(std::string* error);

  const std::vector<TraceRow>& rows() const { return rows_; }
  bool WriteCsv(const std::string& path, std::string* error) const;
  // axes: which axes to draw (bit a for axis a).
  bool WriteSvg(const std::string& path, unsigned axes, std::string* error) const;
  std::string Csv() const;  // of the kept rows
  std::string Svg(unsigned axes) const;

 private:
  struct Column {
    uint32_t t0 = 0, t1 = 0;
    int32_t fill_min = 0, fill_max = 0;
    int32_t state = -1;  // at the column's end
    std::array<int32_t, 6> pos_min{}, pos_max{};
    bool fill_known = false, framed_known = false;
    std::array<int64_t, 6> framed_min{}, framed_max{};
  };
  struct Marker {
    uint32_t time_ms;
    std::string label;
    MarkKind kind;
  };
  static constexpr size_t kMaxMarkers = 512;

  void Fold(const TraceRow& row);
  static Column ColumnOf(const TraceRow& row);
  static void Merge(Column& a, const Column& b);

  std::vector<TraceRow> rows_;
  bool keep_rows_ = true;
  std::FILE* csv_ = nullptr;
  std::string csv_path_;
  bool csv_failed_ = false;
  std::vector<Column> columns_;
  uint32_t column_span_ms_ = 1;  // rows closer than this share a column
  std::vector<Marker> markers_;
  int32_t fill_limit_ = 0;
  std::string title_;
};

}  // namespace vaskel::sim
