#pragma once
// A scenario: a small text file of host actions on a timeline, for the substitute host.
//
//   # comment
//   axis X steps 1000 velocity 50 accel 500   configuration of an axis (X Y Z A B C or 0..5)
//   signal 0 pin 1 [active-low]               host input record 0 wired to board port 1, pin 1
//   machine <text>                            one line for the simulated machine model
//   end 12.5                                  run until 12.5 s
//   at 0.5 move X10 Y-2.5 F600                straight move, feed in units per minute
//   at 3 notify -1                            any host notification code
//   at 4 spindle 0.5 | spindle off            spindle speed ratio, or off
//   at 5 estop on|off, override on|off, offline on|off   host flags
//   at 6 input 3 on|off                       force a board input pin
//   at 7 jog X + [speed] | jogoff X | home X | probe Z-5 F120 | dwell 1.5
//   at 8 backlash on|off | backlash X 50 [speed]
#include <cstdint>
#include <string>
#include <vector>

namespace vaskel::sim {

struct ScenarioAction {
  uint32_t at_ms = 0;
  int line = 0;
  std::vector<std::string> words;  // the verb first
};

struct Scenario {
  std::vector<std::vector<std::string>> config;  // axis and signal lines
  std::vector<std::string> machine_lines;
  std::vector<int> machine_line_numbers;  // in the file, one per machine line
  std::vector<ScenarioAction> actions;    // in time order, file order within one time
  uint32_t end_ms = 0;
};

// Parses and checks a whole scenario, the machine lines included, so that a run that starts
// can finish; false with every problem, one "line N: reason" a line.
bool ParseScenario(const std::string& text, Scenario* out, std::string* error);
// The same for a file: problems as "FILE:N: reason"; a directory or a file that cannot be
// read is refused.
bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error);
// "line N: why" lines as "FILE:N: why", the way compilers and editors point at a line.
std::string WithFileName(const std::string& path, const std::string& problems);

// Axis letter or digit to 0..5; -1 when it is neither.
int AxisIndex(const std::string& word);
// A finite decimal number, whole word; false otherwise.
bool ParseNumber(const std::string& word, double* out);

}  // namespace vaskel::sim
