#include "sim/scenario.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vaskel::sim {
namespace {

const char* const kActions[] = {"move",    "notify", "spindle", "estop",  "override",
                                "offline", "input",  "jog",     "jogoff", "home",
                                "probe",   "dwell",  "backlash"};

bool Fail(std::string* error, int line, const std::string& why) {
  if (error) *error = "line " + std::to_string(line) + ": " + why;
  return false;
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
  while (std::getline(in, raw)) {
    ++line;
    if (auto hash = raw.find('#'); hash != std::string::npos) raw.erase(hash);
    std::istringstream words_in(raw);
    std::vector<std::string> words;
    for (std::string w; words_in >> w;) words.push_back(w);
    if (words.empty()) continue;
    const std::string& head = words[0];
    if (head == "axis" || head == "signal") {
      if (words.size() < 2) return Fail(error, line, head + " needs arguments");
      s.config.push_back(words);
    } else if (head == "machine") {
      const auto pos = raw.find("machine");
      s.machine_lines.push_back(raw.substr(pos + 7));
    } else if (head == "end") {
      double t = 0;
      if (words.size() != 2 || !ParseNumber(words[1], &t) || t < 0 || t > 86400) {
        return Fail(error, line, "end needs a time in seconds");
      }
      s.end_ms = static_cast<uint32_t>(std::llround(t * 1000));
    } else if (head == "at") {
      double t = 0;
      if (words.size() < 3 || !ParseNumber(words[1], &t) || t < 0 || t > 86400) {
        return Fail(error, line, "at needs a time in seconds and an action");
      }
      if (std::find(std::begin(kActions), std::end(kActions), words[2]) == std::end(kActions)) {
        return Fail(error, line, "unknown action '" + words[2] + "'");
      }
      ScenarioAction a;
      a.at_ms = static_cast<uint32_t>(std::llround(t * 1000));
      a.line = line;
      a.words.assign(words.begin() + 2, words.end());
      s.actions.push_back(std::move(a));
    } else {
      return Fail(error, line, "unknown line '" + head + "'");
    }
  }
  std::stable_sort(
      s.actions.begin(), s.actions.end(),
      [](const ScenarioAction& x, const ScenarioAction& y) { return x.at_ms < y.at_ms; });
  if (s.end_ms == 0 && !s.actions.empty()) s.end_ms = s.actions.back().at_ms + 2000;
  *out = std::move(s);
  return true;
}

bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error) {
  std::ifstream f(path);
  if (!f) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  std::stringstream buffer;
  buffer << f.rdbuf();
  return ParseScenario(buffer.str(), out, error);
}

}  // namespace vaskel::sim
