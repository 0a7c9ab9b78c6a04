#include "sim/trace_writer.h"

#include <algorithm>
#include <cstdio>
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

}  // namespace

std::string TraceWriter::Csv() const {
  std::ostringstream out;
  out << "time_ms,motion_state,board_fill,device_needs_data";
  for (const char* n : kAxisNames) out << ",pos_" << n;
  for (const char* n : kAxisNames) out << ",count_" << n;
  out << "\n";
  for (const TraceRow& r : rows_) {
    out << r.time_ms << ',' << r.motion_state << ',' << r.board_fill << ',' << r.device_needs_data;
    for (int32_t p : r.host_position) out << ',' << p;
    for (int32_t c : r.board_count) out << ',' << c;
    out << "\n";
  }
  return out.str();
}

std::string TraceWriter::Svg(unsigned axes) const {
  const int width = 900, plot_h = 220, gap = 40, left = 70, right = 20, top = 30;
  const int height = top + 2 * plot_h + gap + 40;
  const double t_max = rows_.empty() ? 1.0 : std::max<uint32_t>(rows_.back().time_ms, 1);
  auto x_of = [&](uint32_t t) { return left + (width - left - right) * (t / t_max); };

  int32_t fill_max = 1;
  int64_t pos_min = 0, pos_max = 1;
  for (const TraceRow& r : rows_) {
    fill_max = std::max(fill_max, r.board_fill);
    for (int a = 0; a < 6; ++a) {
      if (!(axes & (1u << a))) continue;
      pos_min = std::min<int64_t>(pos_min, r.host_position[a]);
      pos_max = std::max<int64_t>(pos_max, r.host_position[a]);
    }
  }
  std::ostringstream out;
  out << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << height
      << "' font-family='sans-serif' font-size='12'>\n"
      << "<rect width='100%' height='100%' fill='white'/>\n";
  auto frame = [&](int y0, const std::string& title, const std::string& lo, const std::string& hi) {
    out << "<rect x='" << left << "' y='" << y0 << "' width='" << width - left - right
        << "' height='" << plot_h << "' fill='none' stroke='#888'/>\n"
        << "<text x='" << left << "' y='" << y0 - 8 << "'>" << title << "</text>\n"
        << "<text x='" << left - 6 << "' y='" << y0 + plot_h << "' text-anchor='end'>" << lo
        << "</text>\n"
        << "<text x='" << left - 6 << "' y='" << y0 + 12 << "' text-anchor='end'>" << hi
        << "</text>\n";
  };
  auto polyline = [&](const std::string& colour, auto value_to_y) {
    out << "<polyline fill='none' stroke='" << colour << "' stroke-width='1.2' points='";
    for (const TraceRow& r : rows_) {
      char pt[64];
      std::snprintf(pt, sizeof pt, "%.1f,%.1f ", x_of(r.time_ms), value_to_y(r));
      out << pt;
    }
    out << "'/>\n";
  };

  frame(top, "board queue fill (segments)", "0", std::to_string(fill_max));
  polyline("#ff7f0e", [&](const TraceRow& r) {
    return top + plot_h - plot_h * (static_cast<double>(r.board_fill) / fill_max);
  });

  const int y1 = top + plot_h + gap;
  frame(y1, "host axis positions (steps)", std::to_string(pos_min), std::to_string(pos_max));
  const double span = static_cast<double>(pos_max - pos_min);
  int legend_x = left + 200;
  for (int a = 0; a < 6; ++a) {
    if (!(axes & (1u << a))) continue;
    polyline(kAxisColours[a], [&](const TraceRow& r) {
      return y1 + plot_h - plot_h * ((r.host_position[a] - pos_min) / span);
    });
    out << "<text x='" << legend_x << "' y='" << y1 - 8 << "' fill='" << kAxisColours[a] << "'>"
        << kAxisNames[a] << "</text>\n";
    legend_x += 20;
  }
  out << "<text x='" << left << "' y='" << height - 10 << "'>0 s</text>\n"
      << "<text x='" << width - right << "' y='" << height - 10 << "' text-anchor='end'>"
      << t_max / 1000.0 << " s</text>\n</svg>\n";
  return out.str();
}

bool TraceWriter::WriteCsv(const std::string& path, std::string* error) const {
  return WriteFile(path, Csv(), error);
}

bool TraceWriter::WriteSvg(const std::string& path, unsigned axes, std::string* error) const {
  return WriteFile(path, Svg(axes), error);
}

}  // namespace vaskel::sim
