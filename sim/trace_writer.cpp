#include "sim/trace_writer.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace vaskel::sim {
namespace {

bool WriteFile(const std::string& path, const std::string& text, std::string* error) {
  std::ofstream f(path, std::ios::binary);
  if (f) f << text;
  if (!f) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

const char* const kAxisNames[6] = {"X", "Y", "Z", "A", "B", "C"};
const char* const kAxisColours[6] = {"#1f77b4", "#d62728", "#2ca02c",
                                     "#9467bd", "#8c564b", "#e377c2"};
const char* const kStateNames[11] = {"Halted",         "Running",         "Dwelling",
                                     "BacklashTakeUp", "AwaitingSignal",  "StopRequested",
                                     "StopDraining",   "HomeSwitchFound", "HomeSwitchReleased",
                                     "Jogging",        "ProbeTripped"};
const char* const kStateColours[11] = {"#bdbdbd", "#74c476", "#fdd0a2", "#9e9ac8",
                                       "#c6dbef", "#fc9272", "#fb6a4a", "#6baed6",
                                       "#3182bd", "#fdae6b", "#e6550d"};

const char* StateColour(int32_t state) {
  return state >= 0 && state <= 10 ? kStateColours[state] : "#ffffff";
}

std::string CsvHeader() {
  std::string header = "time_ms,motion_state,board_fill,device_needs_data";
  for (const char* n : kAxisNames) header += std::string(",pos_") + n;
  for (const char* n : kAxisNames) header += std::string(",count_") + n;
  return header + "\n";
}

std::string CsvLine(const TraceRow& r) {
  // What is not known is left empty: a 0 would read as a board that holds nothing at 0.
  const std::string fill = r.board_known ? std::to_string(r.board_fill) : "";
  std::string line = std::to_string(r.time_ms) + ',' + std::to_string(r.motion_state) + ',' + fill +
                     ',' + std::to_string(r.device_needs_data);
  for (int32_t p : r.host_position) line += ',' + std::to_string(p);
  for (int32_t c : r.board_count) line += ',' + (r.board_known ? std::to_string(c) : "");
  return line + "\n";
}

// A step of 1, 2 or 5 times a power of ten that cuts the span into at most about eight parts.
double NiceStep(double span) {
  const double raw = span / 8;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '&') {
      out += "&amp;";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

TraceWriter::~TraceWriter() {
  if (csv_) std::fclose(csv_);
}

TraceWriter& TraceWriter::operator=(const TraceWriter& other) {
  if (this == &other) return *this;
  rows_ = other.rows_;
  keep_rows_ = other.keep_rows_;
  columns_ = other.columns_;
  column_span_ms_ = other.column_span_ms_;
  markers_ = other.markers_;
  fill_limit_ = other.fill_limit_;
  title_ = other.title_;
  csv_failed_ = other.csv_failed_;
  return *this;  // the file stays with the writer that opened it
}

bool TraceWriter::StreamCsv(const std::string& path, std::string* error) {
  csv_ = std::fopen(path.c_str(), "wb");
  csv_path_ = path;
  if (!csv_ || std::fputs(CsvHeader().c_str(), csv_) < 0) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

void TraceWriter::Add(const TraceRow& row) {
  if (keep_rows_) rows_.push_back(row);
  if (csv_ && std::fputs(CsvLine(row).c_str(), csv_) < 0) csv_failed_ = true;
  Fold(row);
}

void TraceWriter::Fold(const TraceRow& row) {
  if (!columns_.empty() && row.time_ms < columns_.back().t0 + column_span_ms_) {
    Column& c = columns_.back();
    Column single = ColumnOf(row);
    Merge(c, single);
    return;
  }
  if (columns_.size() == kColumns) {
    // Full: pairs become one, and every later column spans twice the time.
    for (size_t i = 0; i < kColumns / 2; ++i) {
      Column merged = columns_[2 * i];
      Merge(merged, columns_[2 * i + 1]);
      columns_[i] = merged;
    }
    columns_.resize(kColumns / 2);
    column_span_ms_ *= 2;
  }
  if (columns_.capacity() < kColumns) columns_.reserve(kColumns);
  columns_.push_back(ColumnOf(row));
}

TraceWriter::Column TraceWriter::ColumnOf(const TraceRow& row) {
  Column c;
  c.t0 = c.t1 = row.time_ms;
  c.fill_known = row.board_known;
  c.fill_min = c.fill_max = row.board_fill;
  c.state = row.motion_state;
  c.pos_min = c.pos_max = row.host_position;
  c.framed_known = row.framed_known;
  c.framed_min = c.framed_max = row.board_framed;
  return c;
}

// b follows a in time.
void TraceWriter::Merge(Column& a, const Column& b) {
  a.t1 = b.t1;
  a.state = b.state;
  for (int i = 0; i < 6; ++i) {
    a.pos_min[i] = std::min(a.pos_min[i], b.pos_min[i]);
    a.pos_max[i] = std::max(a.pos_max[i], b.pos_max[i]);
  }
  if (b.fill_known) {
    a.fill_min = a.fill_known ? std::min(a.fill_min, b.fill_min) : b.fill_min;
    a.fill_max = a.fill_known ? std::max(a.fill_max, b.fill_max) : b.fill_max;
    a.fill_known = true;
  }
  if (b.framed_known) {
    for (int i = 0; i < 6; ++i) {
      a.framed_min[i] =
          a.framed_known ? std::min(a.framed_min[i], b.framed_min[i]) : b.framed_min[i];
      a.framed_max[i] =
          a.framed_known ? std::max(a.framed_max[i], b.framed_max[i]) : b.framed_max[i];
    }
    a.framed_known = true;
  }
}

void TraceWriter::Mark(uint32_t time_ms, const std::string& label, MarkKind kind) {
  if (markers_.size() < kMaxMarkers) markers_.push_back({time_ms, label, kind});
}

bool TraceWriter::Finish(std::string* error) {
  if (!csv_) return true;
  const bool ok = !csv_failed_ && std::fclose(csv_) == 0;
  csv_ = nullptr;
  if (!ok && error) *error = "cannot write " + csv_path_;
  return ok;
}

std::string TraceWriter::Csv() const {
  std::string out = CsvHeader();
  for (const TraceRow& r : rows_) out += CsvLine(r);
  return out;
}

std::string TraceWriter::Svg(unsigned axes) const {
  const int width = 900, left = 80, right = 20;
  const int fill_h = 180, band_h = 16, pos_h = 220, gap = 36, lane_h = 11;
  const int plot_w = width - left - right;
  const double t_max = columns_.empty() ? 1.0 : std::max<uint32_t>(columns_.back().t1, 1);
  auto x_of = [&](uint32_t t) { return left + plot_w * (t / t_max); };

  // Marker labels in lanes above the plots: a label goes to the first lane it does not
  // overlap, so no two ever cross, however close the actions.
  struct Placed {
    double x;
    int lane;
    std::string text;
  };
  std::vector<Placed> placed;
  std::vector<double> lane_end;
  for (const Marker& m : markers_) {
    std::string text = m.label.size() > 40 ? m.label.substr(0, 39) + "~" : m.label;
    const double x = x_of(m.time_ms);
    const double w = 5.2 * static_cast<double>(text.size()) + 8;
    size_t lane = 0;
    while (lane < lane_end.size() && lane_end[lane] > x) ++lane;
    if (lane == lane_end.size()) lane_end.push_back(0);
    lane_end[lane] = x + w;
    placed.push_back({x, static_cast<int>(lane), std::move(text)});
  }
  const int lanes_y = 44;  // below the title
  const int top = lanes_y + lane_h * static_cast<int>(lane_end.size()) + 28;
  const int band_y = top + fill_h + 14;
  const int pos_y = band_y + band_h + gap;
  const int axis_y = pos_y + pos_h;
  const int legend_y = axis_y + 46;
  const int height = legend_y + 20;

  int32_t fill_max = std::max(1, fill_limit_);
  int64_t pos_min = 0, pos_max = 1;
  for (const Column& c : columns_) {
    if (c.fill_known) fill_max = std::max(fill_max, c.fill_max);
    for (int a = 0; a < 6; ++a) {
      if (!(axes & (1u << a))) continue;
      pos_min = std::min<int64_t>(pos_min, c.pos_min[a]);
      pos_max = std::max<int64_t>(pos_max, c.pos_max[a]);
      if (c.framed_known) {
        pos_min = std::min(pos_min, c.framed_min[a]);
        pos_max = std::max(pos_max, c.framed_max[a]);
      }
    }
  }
  std::ostringstream out;
  char buf[160];
  out << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << height
      << "' font-family='sans-serif' font-size='12'>\n"
      << "<rect width='100%' height='100%' fill='white'/>\n";
  if (!title_.empty()) {
    out << "<title>" << Escape(title_) << "</title>\n<text x='" << left
        << "' y='22' font-size='15' "
        << "font-weight='bold'>" << Escape(title_) << "</text>\n";
  }
  auto frame = [&](int y0, int h, const std::string& title, const std::string& lo,
                   const std::string& hi) {
    out << "<rect x='" << left << "' y='" << y0 << "' width='" << plot_w << "' height='" << h
        << "' fill='none' stroke='#888'/>\n"
        << "<text x='" << left << "' y='" << y0 - 8 << "'>" << title << "</text>\n"
        << "<text x='" << left - 6 << "' y='" << y0 + h << "' text-anchor='end'>" << lo
        << "</text>\n"
        << "<text x='" << left - 6 << "' y='" << y0 + 12 << "' text-anchor='end'>" << hi
        << "</text>\n";
  };
  // Each column drawn as its least and greatest value, so short spikes survive the summary;
  // a stretch where the value is not known is a gap.
  auto envelope = [&](const std::string& style, auto known, auto lo_y, auto hi_y) {
    bool open = false;
    for (const Column& c : columns_) {
      if (!known(c)) {
        if (open) out << "'/>\n";
        open = false;
        continue;
      }
      if (!open) out << "<polyline fill='none' " << style << " points='";
      open = true;
      std::snprintf(buf, sizeof buf, "%.1f,%.1f %.1f,%.1f ", x_of(c.t0), lo_y(c), x_of(c.t1),
                    hi_y(c));
      out << buf;
    }
    if (open) out << "'/>\n";
  };

  // Board fill, with the limit below which the plug-in asks the host for data.
  frame(top, fill_h, "board queue fill (segments)", "0", std::to_string(fill_max));
  auto fill_y = [&](int32_t v) {
    return top + fill_h - fill_h * (static_cast<double>(v) / fill_max);
  };
  envelope(
      "stroke='#ff7f0e' stroke-width='1.2'", [](const Column& c) { return c.fill_known; },
      [&](const Column& c) { return fill_y(c.fill_min); },
      [&](const Column& c) { return fill_y(c.fill_max); });
  if (fill_limit_ > 0) {
    std::snprintf(buf, sizeof buf, "%.1f", fill_y(fill_limit_));
    out << "<line x1='" << left << "' x2='" << left + plot_w << "' y1='" << buf << "' y2='" << buf
        << "' stroke='#d62728' stroke-dasharray='6,4'/>\n"
        << "<text x='" << left + plot_w - 4 << "' y='" << buf
        << "' dy='-3' text-anchor='end' fill='#d62728'>device-buffer limit " << fill_limit_
        << "</text>\n";
  }

  // The motion state as a band of colours.
  out << "<text x='" << left - 6 << "' y='" << band_y + 12 << "' text-anchor='end'>state</text>\n";
  bool seen[11] = {};
  for (size_t i = 0; i < columns_.size();) {
    size_t j = i;
    while (j + 1 < columns_.size() && columns_[j + 1].state == columns_[i].state) ++j;
    const double x0 = x_of(columns_[i].t0);
    const double x1 = j + 1 < columns_.size() ? x_of(columns_[j + 1].t0) : x_of(columns_[j].t1);
    std::snprintf(buf, sizeof buf, "%.1f' width='%.1f", x0, std::max(x1 - x0, 0.5));
    out << "<rect x='" << buf << "' y='" << band_y << "' height='" << band_h << "' fill='"
        << StateColour(columns_[i].state) << "'/>\n";
    if (columns_[i].state >= 0 && columns_[i].state <= 10) seen[columns_[i].state] = true;
    i = j + 1;
  }

  // Host positions, and beside them the board's counts in the same frame (count + offset).
  bool any_framed = false;
  for (const Column& c : columns_) any_framed = any_framed || c.framed_known;
  frame(pos_y, pos_h,
        any_framed ? "axis positions (steps): host solid, board count + offset dashed"
                   : "host axis positions (steps)",
        std::to_string(pos_min), std::to_string(pos_max));
  const double span = static_cast<double>(pos_max - pos_min);
  auto pos_of = [&](int64_t v) { return pos_y + pos_h - pos_h * ((v - pos_min) / span); };
  int legend_x = left + (any_framed ? 420 : 220);
  for (int a = 0; a < 6; ++a) {
    if (!(axes & (1u << a))) continue;
    const std::string colour = kAxisColours[a];
    envelope(
        "stroke='" + colour + "' stroke-width='1.2'", [](const Column&) { return true; },
        [&](const Column& c) { return pos_of(c.pos_min[a]); },
        [&](const Column& c) { return pos_of(c.pos_max[a]); });
    envelope(
        "stroke='" + colour + "' stroke-width='1' stroke-dasharray='5,3' opacity='0.8'",
        [](const Column& c) { return c.framed_known; },
        [&](const Column& c) { return pos_of(c.framed_min[a]); },
        [&](const Column& c) { return pos_of(c.framed_max[a]); });
    out << "<text x='" << legend_x << "' y='" << pos_y - 8 << "' fill='" << colour << "'>"
        << kAxisNames[a] << "</text>\n";
    legend_x += 20;
  }

  // The host's actions (grey) and the connection's events (red): a dashed line through every
  // plot, its label in its lane above.
  for (size_t i = 0; i < markers_.size(); ++i) {
    const bool link = markers_[i].kind == MarkKind::Connection;
    const char* colour = link ? "#d62728" : "#555";
    const Placed& p = placed[i];
    const int label_y = lanes_y + lane_h * p.lane;
    std::snprintf(buf, sizeof buf, "%.1f", p.x);
    out << "<line x1='" << buf << "' x2='" << buf << "' y1='" << label_y + 2 << "' y2='" << axis_y
        << "' stroke='" << colour << "' stroke-width='" << (link ? "1" : "0.6")
        << "' stroke-dasharray='2,3'/>\n"
        << "<text x='" << buf << "' y='" << label_y << "' dx='2' font-size='9' fill='"
        << (link ? "#d62728" : "#333") << "'>" << Escape(p.text) << "</text>\n";
  }

  // The time axis.
  const double span_s = t_max / 1000.0;
  const double step = NiceStep(span_s);
  for (double s = 0; s <= span_s + 1e-9; s += step) {
    std::snprintf(buf, sizeof buf, "%.1f", x_of(static_cast<uint32_t>(std::llround(s * 1000))));
    out << "<line x1='" << buf << "' x2='" << buf << "' y1='" << axis_y << "' y2='" << axis_y + 5
        << "' stroke='#888'/>\n";
    char label[32];
    std::snprintf(label, sizeof label, "%g", s);
    out << "<text x='" << buf << "' y='" << axis_y + 18 << "' text-anchor='middle'>" << label
        << "</text>\n";
  }
  out << "<text x='" << left + plot_w / 2 << "' y='" << axis_y + 34
      << "' text-anchor='middle'>time (s)</text>\n";

  // Which colour is which state.
  int key_x = left;
  for (int s = 0; s <= 10; ++s) {
    if (!seen[s]) continue;
    out << "<rect x='" << key_x << "' y='" << legend_y - 10 << "' width='10' height='10' fill='"
        << kStateColours[s] << "'/>\n<text x='" << key_x + 14 << "' y='" << legend_y
        << "' font-size='10'>" << kStateNames[s] << "</text>\n";
    key_x += 24 + 6 * static_cast<int>(std::string(kStateNames[s]).size());
  }
  out << "</svg>\n";
  return out.str();
}

bool TraceWriter::WriteCsv(const std::string& path, std::string* error) const {
  return WriteFile(path, Csv(), error);
}

bool TraceWriter::WriteSvg(const std::string& path, unsigned axes, std::string* error) const {
  return WriteFile(path, Svg(axes), error);
}

}  // namespace vaskel::sim
