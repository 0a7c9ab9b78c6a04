#pragma once
// Runs a scenario: the built plug-in in the substitute host, against a board, on virtual time
// (the in-process simulator) or real time (any other board), and reports what happened.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/link_stats.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "sim/host_planner.h"
#include "sim/scenario.h"
#include "sim/trace_writer.h"

namespace vaskel::sim {

// What the runner needs of the board beyond its HID interface.
class BoardView {
 public:
  virtual ~BoardView() = default;
  virtual FakeClock& clock() = 0;  // the virtual time the board and the plug-in run on
  virtual HidBus& bus() = 0;
  virtual bool ConfigureMachine(const std::vector<std::string>& lines, std::string* error) = 0;
  virtual void SetInputPin(int pin, bool level) = 0;
  virtual int32_t fill() = 0;
  virtual int32_t count(int channel) = 0;
  virtual uint64_t underruns() = 0;
  virtual int32_t highest_fill() = 0;
  virtual uint64_t segments_received() = 0;
};

// Where the substitute host keeps its profile unless told: under the build's directory when
// this program was built there, else the system's temporary directory; never the current one.
std::string DefaultProfilePath();

struct RunOptions {
  std::string plugin_path;
  std::string profile_path = DefaultProfilePath();
  uint32_t update_ms = 50;
  uint32_t trace_every_ms = 10;
  std::string csv_path;  // empty: no file
  std::string svg_path;
  bool keep_trace_rows = false;
  std::string
      title;  // of the picture  // trace().rows() holds every row (tests); memory grows with time
};

struct MessageEvent {
  uint32_t time_ms;
  std::string text;
};

struct RunReport {
  uint32_t duration_ms = 0;
  uint64_t segments_queued = 0;    // by the host planner into the trajectory ring
  uint64_t segments_consumed = 0;  // taken from the ring by the plug-in
  uint64_t board_segments = 0;     // received by the board (the simulator only)
  bool board_known = false;        // the simulator's own counts; else the status replies' only
  StepVector commanded{};
  std::array<int32_t, 6> board_count{};
  std::array<int32_t, 6> host_position{};
  uint64_t underruns = 0;
  int32_t highest_fill = 0;
  std::vector<MessageEvent> messages;
  // Host actions ("> home X") and every change of the plug-in's motion state, its host flags
  // or a wired input, with the positions of the axes in use.
  std::vector<MessageEvent> steps;
  std::vector<std::string> notes;  // what the runner itself did or refused
  unsigned axes_used = 0;
  bool have_figures = false;  // the plug-in told its link's figures
  LinkFigures figures;
  bool real_time = false;
  uint64_t wakeups = 0;  // times the real-time loop woke
};

class ScenarioRunner {
 public:
  // board: the in-process simulator, run on virtual time; null: the board VASKEL_DEVICE names
  // (or real hardware), run on real time.
  ScenarioRunner(const Scenario& scenario, const RunOptions& options, BoardView* board)
      : scenario_(scenario), options_(options), board_(board) {}
  // False with a reason when the plug-in or the scenario cannot be run.
  bool Run(RunReport* report, std::string* error);
  const TraceWriter& trace() const { return trace_; }

 private:
  const Scenario& scenario_;
  const RunOptions& options_;
  BoardView* board_;
  TraceWriter trace_;
};

std::string FormatReport(const RunReport& report);

// The scenario's lines that only the in-process simulator acts on (machine switches, forced
// input pins), as "line N: ..." notes, for a run against another board.
std::vector<std::string> UnsentToExternalBoard(const Scenario& scenario);

}  // namespace vaskel::sim
