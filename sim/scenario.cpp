#include "sim/scenario.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "host/host_layout.h"
#include "sim/board/machine_model.h"

namespace vaskel::sim {
namespace {

const char* const kActions[] = {"move",    "notify", "spindle", "estop",  "override",
                                "offline", "input",  "jog",     "jogoff", "home",
                                "probe",   "dwell",  "backlash"};
const char* const kAxisKeys[] = {"steps",      "velocity", "accel",
                                 "home_speed", "home_dir", "reversed"};

bool IsInteger(const std::string& word, double lo, double hi) {
  double v = 0;
  return ParseNumber(word, &v) && v == std::floor(v) && v >= lo && v <= hi;
}

bool IsOnOff(const std::string& word) {
  return word == "on" || word == "off";
}

std::string Unexpected(const std::vector<std::string>& w, size_t k) {
  return "unexpected '" + w[k] + "'";
}

// Axis words (X10, Z-2.5) and a feed (F600), as a move or a probe takes them.
std::string CheckAxisWords(const std::vector<std::string>& w, const char* verb) {
  if (w.size() < 2) return std::string(verb) + " needs axis words, e.g. X10 F600";
  double v = 0;
  for (size_t k = 1; k < w.size(); ++k) {
    const std::string& word = w[k];
    const bool feed = word[0] == 'F' || word[0] == 'f';
    if (word.size() < 2 || (!feed && AxisIndex(word.substr(0, 1)) < 0) ||
        !ParseNumber(word.substr(1), &v)) {
      return "bad word '" + word + "' (expected an axis X Y Z A B C with a number, or F)";
    }
    if (feed && v <= 0) return "feed '" + word + "' must be above 0";
  }
  return {};
}

// What is wrong with an action's words (the verb first); empty when nothing is.
std::string CheckAction(const std::vector<std::string>& w) {
  const std::string& verb = w[0];
  const size_t n = w.size();
  auto axis_ok = [&](size_t k) { return k < n && AxisIndex(w[k]) >= 0; };
  auto number_ok = [&](size_t k) {
    double v = 0;
    return k < n && ParseNumber(w[k], &v);
  };
  if (verb == "move" || verb == "probe") return CheckAxisWords(w, verb.c_str());
  if (verb == "notify") {
    if (!(n >= 2 && IsInteger(w[1], -2147483648.0, 2147483647.0))) return "notify needs a code";
    return n > 2 ? Unexpected(w, 2) : std::string();
  }
  if (verb == "spindle") {
    if (!(n >= 2 && (w[1] == "off" || number_ok(1)))) return "spindle needs a ratio or off";
    return n > 2 ? Unexpected(w, 2) : std::string();
  }
  if (verb == "estop" || verb == "override" || verb == "offline") {
    if (!(n >= 2 && IsOnOff(w[1]))) return verb + " needs on or off";
    return n > 2 ? Unexpected(w, 2) : std::string();
  }
  if (verb == "input") {
    if (!(n >= 3 && IsInteger(w[1], 0, 31) && IsOnOff(w[2]))) {
      return "input needs a pin 0..31 and on or off";
    }
    return n > 3 ? Unexpected(w, 3) : std::string();
  }
  if (verb == "jog") {
    if (!(axis_ok(1) && n >= 3 && (w[2] == "+" || w[2] == "-"))) {
      return "jog needs an axis and + or -, then an optional speed";
    }
    if (n > 3 && !number_ok(3)) return "bad jog speed '" + w[3] + "'";
    return n > 4 ? Unexpected(w, 4) : std::string();
  }
  if (verb == "jogoff" || verb == "home") {
    if (!axis_ok(1)) return verb + " needs an axis";
    return n > 2 ? Unexpected(w, 2) : std::string();
  }
  if (verb == "dwell") {
    if (!number_ok(1)) return "dwell needs a time";
    return n > 2 ? Unexpected(w, 2) : std::string();
  }
  if (verb == "backlash") {
    if (n >= 2 && IsOnOff(w[1])) return n > 2 ? Unexpected(w, 2) : std::string();
    if (!(axis_ok(1) && IsInteger(n > 2 ? w[2] : "", -2147483648.0, 2147483647.0))) {
      return "backlash needs on, off, or an axis, an amount in steps and an optional speed";
    }
    if (n > 3 && !IsInteger(w[3], 0, 2147483647.0)) return "bad backlash speed '" + w[3] + "'";
    return n > 4 ? Unexpected(w, 4) : std::string();
  }
  return "unknown action '" + verb + "'";
}

std::string CheckAxisLine(const std::vector<std::string>& w) {
  if (w.size() < 2 || AxisIndex(w[1]) < 0) return "axis needs an axis X Y Z A B C (or 0..5)";
  for (size_t k = 2; k < w.size(); k += 2) {
    if (std::find(std::begin(kAxisKeys), std::end(kAxisKeys), w[k]) == std::end(kAxisKeys)) {
      return "unknown axis setting '" + w[k] +
             "' (steps, velocity, accel, home_speed, home_dir, reversed)";
    }
    double v = 0;
    if (k + 1 == w.size()) return "axis setting '" + w[k] + "' needs a value";
    if (!ParseNumber(w[k + 1], &v)) return "bad number '" + w[k + 1] + "' for " + w[k];
    if ((w[k] == "steps" || w[k] == "velocity" || w[k] == "accel") && v <= 0) {
      return w[k] + " must be above 0";
    }
  }
  return {};
}

std::string CheckSignalLine(const std::vector<std::string>& w) {
  const std::string usage = "signal needs: signal RECORD pin PIN [active-low]";
  if (w.size() < 4 || !IsInteger(w[1], 0, engine::kInputSignalCount - 1) || w[2] != "pin" ||
      !IsInteger(w[3], 0, 31)) {
    return usage + " (RECORD 0.." + std::to_string(engine::kInputSignalCount - 1) + ", PIN 0..31)";
  }
  if (w.size() > 4 && w[4] != "active-low") {
    return "unexpected '" + w[4] + "' (the only word after the pin is active-low)";
  }
  return w.size() > 5 ? Unexpected(w, 5) : std::string();
}

}  // namespace

int AxisIndex(const std::string& word) {
  static const std::string kLetters = "XYZABC";
  if (word.size() != 1) return -1;
  const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
  if (auto pos = kLetters.find(c); pos != std::string::npos) return static_cast<int>(pos);
  if (c >= '0' && c <= '5') return c - '0';
  return -1;
}

bool ParseNumber(const std::string& word, double* out) {
  if (word.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size() || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool ParseScenario(const std::string& text, Scenario* out, std::string* error) {
  Scenario s;
  std::istringstream in(text);
  std::string raw;
  int line = 0;
  // Every problem, one line each: a run that starts is a run that can finish.
  std::string problems;
  auto fail = [&](const std::string& why) {
    problems += "line " + std::to_string(line) + ": " + why + "\n";
  };
  bool end_seen = false;
  while (std::getline(in, raw)) {
    ++line;
    if (auto hash = raw.find('#'); hash != std::string::npos) raw.erase(hash);
    std::istringstream words_in(raw);
    std::vector<std::string> words;
    for (std::string w; words_in >> w;) words.push_back(w);
    if (words.empty()) continue;
    const std::string& head = words[0];
    if (head == "axis" || head == "signal") {
      const std::string problem = head == "axis" ? CheckAxisLine(words) : CheckSignalLine(words);
      if (!problem.empty()) {
        fail(problem);
        continue;
      }
      s.config.push_back(words);
    } else if (head == "machine") {
      const auto pos = raw.find("machine");
      const std::string machine_line = raw.substr(pos + 7);
      const MachineParseResult parsed = ParseMachine(machine_line);
      if (!parsed.ok || parsed.model.empty()) {
        // The machine line's own "line 1: " says nothing here.
        std::string why = parsed.ok ? "machine needs a switch" : parsed.error;
        if (why.rfind("line 1: ", 0) == 0) why.erase(0, 8);
        fail("machine: " + why);
        continue;
      }
      s.machine_lines.push_back(machine_line);
      s.machine_line_numbers.push_back(line);
    } else if (head == "end") {
      double t = 0;
      if (words.size() != 2 || !ParseNumber(words[1], &t) || t < 0 || t > 86400) {
        fail("end needs a time in seconds");
        continue;
      }
      if (end_seen) fail("a second end");
      end_seen = true;
      s.end_ms = static_cast<uint32_t>(std::llround(t * 1000));
    } else if (head == "at") {
      double t = 0;
      if (words.size() < 3 || !ParseNumber(words[1], &t) || t < 0 || t > 86400) {
        fail("at needs a time in seconds and an action");
        continue;
      }
      if (std::find(std::begin(kActions), std::end(kActions), words[2]) == std::end(kActions)) {
        fail("unknown action '" + words[2] + "'");
        continue;
      }
      ScenarioAction a;
      a.at_ms = static_cast<uint32_t>(std::llround(t * 1000));
      a.line = line;
      a.words.assign(words.begin() + 2, words.end());
      if (const std::string problem = CheckAction(a.words); !problem.empty()) {
        fail(problem);
        continue;
      }
      s.actions.push_back(std::move(a));
    } else {
      fail("unknown line '" + head + "'");
    }
  }
  if (!problems.empty()) {
    problems.pop_back();
    if (error) *error = problems;
    return false;
  }
  std::stable_sort(
      s.actions.begin(), s.actions.end(),
      [](const ScenarioAction& x, const ScenarioAction& y) { return x.at_ms < y.at_ms; });
  if (s.end_ms == 0 && !s.actions.empty()) s.end_ms = s.actions.back().at_ms + 2000;
  for (const ScenarioAction& a : s.actions) {
    if (end_seen && a.at_ms > s.end_ms) {
      line = a.line;
      fail("at " + std::to_string(a.at_ms / 1000.0) + " s is after the end");
    }
  }
  if (s.end_ms == 0) {
    line = std::max(line, 1);
    fail("nothing to run: no action and no end");
  }
  if (!problems.empty()) {
    problems.pop_back();
    if (error) *error = problems;
    return false;
  }
  *out = std::move(s);
  return true;
}

// "line N: why" lines as "FILE:N: why", the way compilers and editors point at a line.
std::string WithFileName(const std::string& path, const std::string& problems) {
  std::string out;
  std::istringstream in(problems);
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("line ", 0) == 0) {
      const size_t colon = l.find(':');
      out += path + ":" + l.substr(5, colon - 5) + l.substr(colon) + "\n";
    } else {
      out += path + ": " + l + "\n";
    }
  }
  if (!out.empty()) out.pop_back();
  return out;
}

bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    if (error) *error = path + ": is a directory, not a scenario file";
    return false;
  }
  std::ifstream f(path);
  if (!f) {
    if (error) *error = path + ": cannot be opened";
    return false;
  }
  std::stringstream buffer;
  buffer << f.rdbuf();
  if (ParseScenario(buffer.str(), out, error)) return true;
  if (error) *error = WithFileName(path, *error);
  return false;
}

}  // namespace vaskel::sim
