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
  std::string line = std::to_string(r.time_ms) + ',' + std::to_string(r.motion_state) + ',' +
                     std::to_string(r.board_fill) + ',' + std::to_string(r.device_needs_data);
  for (int32_t p : r.host_position) line += ',' + std::to_string(p);
  for (int32_t c : r.board_count) line += ',' + std::to_string(c);
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
    c.t1 = row.time_ms;
    c.fill_min = std::min(c.fill_min, row.board_fill);
    c.fill_max = std::max(c.fill_max, row.board_fill);
    c.state = row.motion_state;
    for (int a = 0; a < 6; ++a) {
      c.pos_min[a] = std::min(c.pos_min[a], row.host_position[a]);
      c.pos_max[a] = std::max(c.pos_max[a], row.host_position[a]);
    }
    return;
  }
  if (columns_.size() == kColumns) {
    // Full: pairs become one, and every later column spans twice the time.
    for (size_t i = 0; i < kColumns / 2; ++i) {
      Column merged = columns_[2 * i];
      const Column& b = columns_[2 * i + 1];
      merged.t1 = b.t1;
      merged.fill_min = std::min(merged.fill_min, b.fill_min);
      merged.fill_max = std::max(merged.fill_max, b.fill_max);
      merged.state = b.state;
      for (int a = 0; a < 6; ++a) {
        merged.pos_min[a] = std::min(merged.pos_min[a], b.pos_min[a]);
        merged.pos_max[a] = std::max(merged.pos_max[a], b.pos_max[a]);
      }
      columns_[i] = merged;
    }
    columns_.resize(kColumns / 2);
    column_span_ms_ *= 2;
  }
  if (columns_.capacity() < kColumns) columns_.reserve(kColumns);
  Column c;
  c.t0 = c.t1 = row.time_ms;
  c.fill_min = c.fill_max = row.board_fill;
  c.state = row.motion_state;
  c.pos_min = c.pos_max = row.host_position;
  columns_.push_back(c);
}

void TraceWriter::Mark(uint32_t time_ms, const std::string& label) {
  if (markers_.size() < kMaxMarkers) markers_.push_back({time_ms, label});
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
  const int width = 900, left = 80, right = 20, top = 40;
  const int fill_h = 180, band_h = 16, pos_h = 220, gap = 36;
  const int band_y = top + fill_h + 14;
  const int pos_y = band_y + band_h + gap;
  const int axis_y = pos_y + pos_h;
  const int legend_y = axis_y + 46;
  const int height = legend_y + 20;
  const int plot_w = width - left - right;
  const double t_max = columns_.empty() ? 1.0 : std::max<uint32_t>(columns_.back().t1, 1);
  auto x_of = [&](uint32_t t) { return left + plot_w * (t / t_max); };

  int32_t fill_max = std::max(1, fill_limit_);
  int64_t pos_min = 0, pos_max = 1;
  for (const Column& c : columns_) {
    fill_max = std::max(fill_max, c.fill_max);
    for (int a = 0; a < 6; ++a) {
      if (!(axes & (1u << a))) continue;
      pos_min = std::min<int64_t>(pos_min, c.pos_min[a]);
      pos_max = std::max<int64_t>(pos_max, c.pos_max[a]);
    }
  }
  std::ostringstream out;
  char buf[160];
  out << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << height
      << "' font-family='sans-serif' font-size='12'>\n"
      << "<rect width='100%' height='100%' fill='white'/>\n";
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
  // Each column drawn as its least and greatest value, so short spikes survive the summary.
  auto envelope = [&](const std::string& colour, auto lo_y, auto hi_y) {
    out << "<polyline fill='none' stroke='" << colour << "' stroke-width='1.2' points='";
    for (const Column& c : columns_) {
      std::snprintf(buf, sizeof buf, "%.1f,%.1f %.1f,%.1f ", x_of(c.t0), lo_y(c), x_of(c.t1),
                    hi_y(c));
      out << buf;
    }
    out << "'/>\n";
  };

  // Board fill, with the limit below which the plug-in asks the host for data.
  frame(top, fill_h, "board queue fill (segments)", "0", std::to_string(fill_max));
  auto fill_y = [&](int32_t v) {
    return top + fill_h - fill_h * (static_cast<double>(v) / fill_max);
  };
  envelope(
      "#ff7f0e", [&](const Column& c) { return fill_y(c.fill_min); },
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

  // Host positions.
  frame(pos_y, pos_h, "host axis positions (steps)", std::to_string(pos_min),
        std::to_string(pos_max));
  const double span = static_cast<double>(pos_max - pos_min);
  auto pos_of = [&](int64_t v) { return pos_y + pos_h - pos_h * ((v - pos_min) / span); };
  int legend_x = left + 220;
  for (int a = 0; a < 6; ++a) {
    if (!(axes & (1u << a))) continue;
    envelope(
        kAxisColours[a], [&](const Column& c) { return pos_of(c.pos_min[a]); },
        [&](const Column& c) { return pos_of(c.pos_max[a]); });
    out << "<text x='" << legend_x << "' y='" << pos_y - 8 << "' fill='" << kAxisColours[a] << "'>"
        << kAxisNames[a] << "</text>\n";
    legend_x += 20;
  }

  // The host's actions: a dashed line through every plot and a short label.
  int row = 0;
  for (const Marker& m : markers_) {
    std::snprintf(buf, sizeof buf, "%.1f", x_of(m.time_ms));
    out << "<line x1='" << buf << "' x2='" << buf << "' y1='" << top << "' y2='" << axis_y
        << "' stroke='#555' stroke-width='0.6' stroke-dasharray='2,3'/>\n"
        << "<text x='" << buf << "' y='" << top + 12 + 11 * (row++ % 3)
        << "' dx='2' font-size='9' fill='#333'>" << Escape(m.label.substr(0, 24)) << "</text>\n";
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
