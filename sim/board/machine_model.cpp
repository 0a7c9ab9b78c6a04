#include "sim/board/machine_model.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace vaskel::sim {

bool MachineModel::IsActive(const MachineSwitch& s, int32_t count) {
  return s.side == SwitchSide::Min ? count <= s.position : count >= s.position;
}

uint32_t MachineModel::InputWord(const std::array<int32_t, 6>& counts) const {
  uint32_t word = 0;
  for (const MachineSwitch& s : switches_) {
    const bool high = IsActive(s, counts[s.axis]) != s.active_low;
    if (high) word |= PinBit(s.pin);
  }
  return word;
}

namespace {

template <typename T>
bool ParseInt(std::string_view token, T* out) {
  const char* end = token.data() + token.size();
  auto [ptr, ec] = std::from_chars(token.data(), end, *out);
  return ec == std::errc() && ptr == end;
}

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
    if (j > i) tokens.push_back(line.substr(i, j - i));
    i = j;
  }
  return tokens;
}

// Empty on success, else what is wrong with the line.
std::string ParseSwitch(const std::vector<std::string_view>& t, MachineSwitch* s) {
  if (t[0] == "limit") {
    s->kind = SwitchKind::Limit;
  } else if (t[0] == "home") {
    s->kind = SwitchKind::Home;
  } else if (t[0] == "probe") {
    s->kind = SwitchKind::Probe;
  } else {
    return "unknown switch kind '" + std::string(t[0]) + "' (expected limit, home or probe)";
  }
  if (t.size() < 6) return "expected KIND AXIS min|max POSITION pin PIN [active-low]";
  if (!ParseInt(t[1], &s->axis) || s->axis < 0 || s->axis > 5) {
    return "axis '" + std::string(t[1]) + "' is not 0..5";
  }
  if (t[2] == "min") {
    s->side = SwitchSide::Min;
  } else if (t[2] == "max") {
    s->side = SwitchSide::Max;
  } else {
    return "side '" + std::string(t[2]) + "' is not min or max";
  }
  if (!ParseInt(t[3], &s->position)) {
    return "position '" + std::string(t[3]) + "' is not a 32-bit integer";
  }
  if (t[4] != "pin") return "expected 'pin' after the position, found '" + std::string(t[4]) + "'";
  if (!ParseInt(t[5], &s->pin) || s->pin < 0 || s->pin > 31) {
    return "pin '" + std::string(t[5]) + "' is not 0..31";
  }
  s->active_low = false;
  if (t.size() >= 7) {
    if (t[6] != "active-low") return "unexpected '" + std::string(t[6]) + "'";
    s->active_low = true;
  }
  if (t.size() > 7) return "unexpected '" + std::string(t[7]) + "'";
  return {};
}

}  // namespace

MachineParseResult ParseMachine(std::string_view text) {
  MachineParseResult result;
  int line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (const size_t hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    const auto tokens = Tokens(line);
    if (tokens.empty()) continue;
    MachineSwitch s;
    if (std::string problem = ParseSwitch(tokens, &s); !problem.empty()) {
      // Every bad line is told, one a line.
      if (!result.error.empty()) result.error += "\n";
      result.error += "line " + std::to_string(line_number) + ": " + problem;
      continue;
    }
    result.model.Add(s);
  }
  result.ok = result.error.empty();
  return result;
}

MachineParseResult LoadMachineFile(const std::string& path) {
  MachineParseResult result;
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    result.error = path + ": is a directory, not a machine file";
    return result;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    result.error = path + ": cannot be opened";
    return result;
  }
  std::ostringstream text;
  text << in.rdbuf();
  result = ParseMachine(text.str());
  if (result.ok && result.model.empty()) {
    result.ok = false;
    result.error = path + ": no switch in it (one a line: KIND AXIS min|max POSITION pin PIN)";
    return result;
  }
  if (!result.ok) {
    // "FILE:N: why", the way compilers and editors point at a line.
    std::string located;
    std::istringstream lines(result.error);
    for (std::string l; std::getline(lines, l);) {
      const size_t colon = l.find(':');
      located +=
          (located.empty() ? "" : "\n") + path + ":" + l.substr(5, colon - 5) + l.substr(colon);
    }
    result.error = located;
  }
  return result;
}

}  // namespace vaskel::sim
