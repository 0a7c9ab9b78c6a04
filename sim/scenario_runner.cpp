#include "sim/scenario_runner.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

#include "host/host_layout.h"
#include "platform/clock.h"
#include "platform/host_environment.h"
#include "sim/board/steady_clock.h"
#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"

namespace vaskel::sim {
namespace {

constexpr int32_t kHostLookahead = 600;  // segments the host planner keeps queued at most

const char* const kAxisNames[6] = {"X", "Y", "Z", "A", "B", "C"};

const char* StateName(int32_t state) {
  static const char* const kNames[] = {"Halted",         "Running",         "Dwelling",
                                       "BacklashTakeUp", "AwaitingSignal",  "StopRequested",
                                       "StopDraining",   "HomeSwitchFound", "HomeSwitchReleased",
                                       "Jogging",        "ProbeTripped"};
  return state >= 0 && state <= 10 ? kNames[state] : "?";
}

// What an integrator calls the host's input record j.
std::string InputName(size_t j) {
  if (j == engine::kProbeInput) return "probe";
  if (j < 18) {
    const char* kinds[] = {"limit- ", "limit+ ", "home "};
    return kinds[j % 3] + std::string(kAxisNames[j / 3]);
  }
  return "input " + std::to_string(j);
}

bool OnOff(const std::string& w, bool* out) {
  if (w == "on") return *out = true, true;
  if (w == "off") return *out = false, true;
  return false;
}

class Run {
 public:
  Run(const Scenario& scenario, const RunOptions& options, BoardView* board, RunReport& report,
      TraceWriter& trace)
      : scenario_(scenario), options_(options), board_(board), report_(report), trace_(trace) {}

  bool Execute(std::string* error) {
    HostEnvironment env;
    FakeClock unused_clock;
    FakeClock& virtual_clock = board_ ? board_->clock() : unused_clock;
    SteadyClock real_clock;
    Clock& clock = board_ ? static_cast<Clock&>(virtual_clock) : real_clock;
    if (board_) {
      env.clock = &virtual_clock;
      env.hid = &board_->bus();
      env.cooperative = true;
      if (!board_->ConfigureMachine(scenario_.machine_lines, error)) return false;
    }
    SetHostEnvironment(board_ ? &env : nullptr);
    LoadedPlugin library;
    if (!library.Load(options_.plugin_path, error)) {
      SetHostEnvironment(nullptr);
      return false;
    }
    motion_state_ = reinterpret_cast<int32_t (*)()>(library.Find("VaskelMotionState"));
    link_figures_ = reinterpret_cast<int32_t (*)(LinkFigures*)>(library.Find("VaskelLinkFigures"));
    timer_due_in_ = reinterpret_cast<int32_t (*)()>(library.Find("VaskelTimerDueInMs"));
    bool ok = true;
    {
      SubstituteHost host(library.api());
      host_ = &host;
      ok = ApplyConfig(error);
      if (ok) {
        host.Start(options_.profile_path);
        blocks().window.Set(window::kJogFullSpeed, &jog_full_speed_);
        ok = Loop(clock, virtual_clock, error);
        host.Stop();
        // After StopPlug, so the figures hold every reply the host's positions came from.
        if (link_figures_) {
          report_.figures.size = sizeof(LinkFigures);
          report_.have_figures = link_figures_(&report_.figures) != 0;
        }
        Collect();
      }
      host_ = nullptr;
    }
    library.Unload();
    SetHostEnvironment(nullptr);
    return ok;
  }

 private:
  const HostBlocks& blocks() { return host_->blocks(); }
  const PluginApi& api() { return host_->api(); }

  bool ApplyConfig(std::string* error) {
    const HostBlocks& b = blocks();
    b.setup.Set(setup::kJogPercent, 100.0);
    b.planner.Set(planner::kSegmentPeriod, 0.003);
    for (const auto& words : scenario_.config) {
      if (words[0] == "axis") {
        const int axis = AxisIndex(words[1]);
        if (axis < 0) return Bad(error, "unknown axis '" + words[1] + "'");
        AxisLimits& l = planner_.limits()[axis];
        for (size_t k = 2; k < words.size(); k += 2) {
          if (k + 1 == words.size()) return Bad(error, "axis " + words[1] + ": missing value");
          double v = 0;
          if (!ParseNumber(words[k + 1], &v)) return Bad(error, "bad number " + words[k + 1]);
          const std::string& key = words[k];
          if (key == "steps") {
            l.steps_per_unit = v;
          } else if (key == "velocity") {
            l.velocity = v;
          } else if (key == "accel") {
            l.acceleration = v;
          } else if (key == "home_speed") {
            b.planner.Set(planner::kHomeSpeedPercent[axis], static_cast<int32_t>(v));
          } else if (key == "home_dir") {
            b.planner.Set(planner::kHomeDirection[axis], v != 0);
          } else if (key == "reversed") {
            b.engine.Set(engine::kAxisReversed[axis], v != 0);
          } else {
            return Bad(error, "unknown axis setting '" + key + "'");
          }
        }
        b.planner.Set(planner::kStepsPerUnit[axis], l.steps_per_unit);
        b.planner.Set(planner::kAxisVelocity[axis], l.velocity);
        b.planner.Set(planner::kAxisAcceleration[axis], l.acceleration);
        b.engine.Set(engine::kAxisEnabled[axis], true);
        report_.axes_used |= 1u << axis;
      } else if (words[0] == "signal") {
        double record = 0, pin = 0;
        if (words.size() < 4 || !ParseNumber(words[1], &record) || words[2] != "pin" ||
            !ParseNumber(words[3], &pin) || record < 0 || record >= engine::kInputSignalCount) {
          return Bad(error, "signal needs: signal RECORD pin PIN [active-low]");
        }
        const auto j = static_cast<size_t>(record);
        wired_inputs_.push_back(j);
        b.engine.Store<uint8_t>(input_signal::Offset(j, input_signal::kEnabled), 1);
        b.engine.Store<int8_t>(input_signal::Offset(j, input_signal::kPin),
                               static_cast<int8_t>(pin));
        b.engine.Store<int8_t>(input_signal::Offset(j, input_signal::kPort), 1);
        b.engine.Store<uint8_t>(input_signal::Offset(j, input_signal::kActiveLow),
                                words.size() > 4 && words[4] == "active-low" ? 1 : 0);
      }
    }
    return true;
  }

  bool Bad(std::string* error, const std::string& why) {
    if (error) *error = "scenario: " + why;
    return false;
  }

  // On virtual time every millisecond is stepped. On real time the loop sleeps until the next
  // thing is due: an Update, a tick, a scenario action or the end.
  uint32_t NextDue(uint32_t t, size_t next_action) const {
    const uint32_t update = options_.update_ms;
    uint32_t next = std::min(scenario_.end_ms, (t / update + 1) * update);
    if (next_action < scenario_.actions.size()) {
      next = std::min(next, std::max(t + 1, scenario_.actions[next_action].at_ms));
    }
    const int32_t tick_in = timer_due_in_ ? timer_due_in_() : 10;
    if (tick_in >= 0) next = std::min(next, t + static_cast<uint32_t>(std::max(tick_in, 1)));
    return std::max(next, t + 1);
  }

  void SleepUntil(Clock& clock, uint32_t start, uint32_t t) {
    for (;;) {
      const uint32_t elapsed = clock.TickCountMs() - start;
      if (static_cast<int32_t>(elapsed - t) >= 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(t - elapsed));
      ++report_.wakeups;
    }
  }

  bool Loop(Clock& clock, FakeClock& virtual_clock, std::string* error) {
    size_t next_action = 0;
    std::string last_status = host_->StatusText();
    const uint32_t start = clock.TickCountMs();
    uint32_t last_sample = 0;
    report_.real_time = board_ == nullptr;
    for (uint32_t t = 1; t <= scenario_.end_ms;) {
      if (board_) {
        virtual_clock.AdvanceMs(1);
      } else {
        SleepUntil(clock, start, t);
      }
      while (next_action < scenario_.actions.size() && scenario_.actions[next_action].at_ms <= t) {
        if (!Act(scenario_.actions[next_action], t, error)) return false;
        ++next_action;
      }
      FeedTrajectory();
      if (t % options_.update_ms == 0) host_->Update();
      host_->PumpTimers();
      FollowPositions();
      RecordStep(t);
      const std::string status = host_->StatusText();
      if (status != last_status) {
        report_.messages.push_back({t, status});
        last_status = status;
        // The connection's events stand apart from the host's actions in the picture.
        if (status.find("connnected") != std::string::npos) {
          trace_.Mark(t, "board connected", TraceWriter::MarkKind::Connection);
        } else if (status.find("pulled out") != std::string::npos) {
          trace_.Mark(t, "board lost", TraceWriter::MarkKind::Connection);
        }
      }
      if (board_ ? t % options_.trace_every_ms == 0 : t - last_sample >= options_.trace_every_ms) {
        Sample(t);
        last_sample = t;
      }
      t = board_ ? t + 1 : NextDue(t, next_action);
    }
    if (pending_step_) AppendPositions(report_.steps.back().text);
    report_.duration_ms = scenario_.end_ms;
    return true;
  }

  void FeedTrajectory() {
    // A host in emergency stop plans nothing; its program starts again from where the machine
    // stopped.
    if (blocks().engine.Get(engine::kEStopActive)) {
      if (!planner_.idle()) ForgetPlan();
      return;
    }
    std::array<double, kAxes> counts{};
    bool pushed = false;
    while (!planner_.idle() && host_->QueuedSegments() < kHostLookahead) {
      planner_.NextSegment(counts);
      if (!host_->PushSegment(counts.data())) break;
      ++report_.segments_queued;
      pushed = true;
    }
    // Like a host planner at the end of its program: once nothing more is coming, the tail of
    // the trajectory may go out in a packet of fewer than seven segments.
    const HostBlock& p = blocks().planner;
    if (pushed) {
      p.Set(planner::kFlushPartial, false);
    } else if (planner_.idle() && host_->QueuedSegments() > 0) {
      p.Set(planner::kFlushPartial, true);
    }
  }

  // The host keeps its unit positions in step with the plug-in's step positions.
  void FollowPositions() {
    const HostBlocks& b = blocks();
    for (int a = 0; a < kAxes; ++a) {
      const double spu = planner_.limits()[a].steps_per_unit;
      const int32_t steps = b.engine.Get(engine::kAxisPosition[a]);
      b.planner.Set(planner::kAxisCurrentPosition[a], spu > 0 ? steps / spu : 0.0);
    }
  }

  void Sample(uint32_t t) {
    TraceRow row;
    row.time_ms = t;
    row.motion_state = motion_state_ ? motion_state_() : -1;
    row.device_needs_data = blocks().planner.Get(planner::kDeviceNeedsData) ? 1 : 0;
    // The plug-in's view: its offsets, and what another board's replies said.
    LinkFigures f;
    const bool have = link_figures_ && link_figures_(&f) != 0 && f.replies_processed > 0;
    row.board_known = board_ != nullptr || have;
    row.board_fill = board_ ? board_->fill() : have ? f.last_fill : 0;
    row.framed_known = have;
    for (int a = 0; a < kAxes; ++a) {
      row.host_position[a] = blocks().engine.Get(engine::kAxisPosition[a]);
      row.board_count[a] = board_ ? board_->count(a) : have ? f.last_counts[a] : 0;
      row.board_framed[a] = int64_t{row.board_count[a]} + f.axis_offsets[a];
    }
    trace_.Add(row);
  }

  bool Act(const ScenarioAction& action, uint32_t t, std::string* error) {
    const auto& w = action.words;
    const HostBlocks& b = blocks();
    auto fail = [&](const std::string& why) {
      if (error) *error = "line " + std::to_string(action.line) + ": " + why;
      return false;
    };
    auto axis_arg = [&](size_t k) { return k < w.size() ? AxisIndex(w[k]) : -1; };
    bool flag = false;
    double v = 0;
    const std::string& verb = w[0];
    std::string said = ">";
    for (const std::string& word : w) said += " " + word;
    if (pending_step_) {
      AppendPositions(report_.steps.back().text);
      pending_step_ = false;
    }
    report_.steps.push_back({t, said});
    trace_.Mark(t, said.substr(2));
    if (verb == "jog" || verb == "home" || verb == "probe") plugin_moved_ = true;
    if (verb == "move") {
      // A host plans its next move from where the plug-in's own moves left the machine.
      if (plugin_moved_ && planner_.idle() && host_->QueuedSegments() == 0) {
        ForgetPlan();
        plugin_moved_ = false;
      }
      AxisVector target = last_target_;
      double feed = 0;
      for (size_t k = 1; k < w.size(); ++k) {
        const std::string word = w[k];
        if (word.size() < 2 || !ParseNumber(word.substr(1), &v)) return fail("bad word " + word);
        if (word[0] == 'F' || word[0] == 'f') {
          feed = v / 60.0;
        } else if (int axis = AxisIndex(word.substr(0, 1)); axis >= 0) {
          target[axis] = v;
        } else {
          return fail("bad word " + word);
        }
      }
      std::string why;
      if (!planner_.AddMove(target, feed, &why)) return fail(why);
      last_target_ = target;
      if (planner_.largest_count() > 2047) {
        Note(t, "move exceeds 2047 steps per segment; lower the feed");
      }
    } else if (verb == "notify" && w.size() == 2 && ParseNumber(w[1], &v)) {
      api().Notify(static_cast<int32_t>(v));
      if (static_cast<int32_t>(v) == -1) ForgetPlan();
    } else if (verb == "spindle" && w.size() == 2) {
      if (w[1] == "off") {
        api().Notify(4);
      } else if (ParseNumber(w[1], &v)) {
        b.planner.Set(planner::kSpindleStartAllowed, true);
        b.planner.Set(planner::kSpindleSpeedControlled, true);
        b.planner.Set(planner::kSpindleSpeedRatio, v);
        api().Notify(3);
      } else {
        return fail("spindle needs a ratio or off");
      }
    } else if ((verb == "estop" || verb == "override" || verb == "offline") && w.size() == 2 &&
               OnOff(w[1], &flag)) {
      const Field<Flag> field = verb == "estop"      ? engine::kEStopActive
                                : verb == "override" ? engine::kLimitOverride
                                                     : engine::kEngineOffline;
      b.engine.Set(field, flag);
      if (verb == "estop" && flag) ForgetPlan();
    } else if (verb == "input" && w.size() == 3 && ParseNumber(w[1], &v) && OnOff(w[2], &flag)) {
      if (board_) board_->SetInputPin(static_cast<int>(v), flag);
    } else if (verb == "jog" && axis_arg(1) >= 0 && w.size() >= 3 && (w[2] == "+" || w[2] == "-")) {
      double speed = 0;
      if (w.size() > 3 && !ParseNumber(w[3], &speed)) return fail("bad jog speed");
      api().JogOn(static_cast<int16_t>(axis_arg(1)), w[2] == "-" ? 1 : 0, speed);
    } else if (verb == "jogoff" && axis_arg(1) >= 0) {
      api().JogOff(static_cast<int16_t>(axis_arg(1)));
    } else if (verb == "home" && axis_arg(1) >= 0) {
      api().Home(static_cast<int16_t>(axis_arg(1)));
    } else if (verb == "probe") {
      // A host sets every axis's target: an axis the probe does not name stays where it is,
      // not at whatever target an earlier probe left.
      for (int a = 0; a < kAxes; ++a) {
        b.planner.Set(planner::kProbeTarget[a], b.planner.Get(planner::kAxisCurrentPosition[a]));
      }
      for (size_t k = 1; k < w.size(); ++k) {
        const std::string& word = w[k];
        if (word.size() < 2 || !ParseNumber(word.substr(1), &v)) return fail("bad word " + word);
        if (word[0] == 'F' || word[0] == 'f') {
          b.planner.Set(planner::kProbeFeedRate, v / 60.0);
        } else if (int axis = AxisIndex(word.substr(0, 1)); axis >= 0) {
          b.planner.Set(planner::kProbeTarget[axis], v);
        } else {
          return fail("bad word " + word);
        }
      }
      api().Probe();
    } else if (verb == "dwell" && w.size() == 2 && ParseNumber(w[1], &v)) {
      api().DoDwell(v);
    } else if (verb == "backlash" && w.size() == 2 && OnOff(w[1], &flag)) {
      b.engine.Set(engine::kBacklashEnabled, flag);
    } else if (verb == "backlash" && w.size() >= 3 && axis_arg(1) >= 0 && ParseNumber(w[2], &v)) {
      const int axis = axis_arg(1);
      b.engine.Set(engine::kBacklashAmount[axis], static_cast<int32_t>(v));
      double speed = 0;
      if (w.size() > 3 && ParseNumber(w[3], &speed)) {
        b.engine.Set(engine::kBacklashSpeed[axis], static_cast<int32_t>(speed));
      }
    } else {
      return fail("cannot do '" + verb + "' with these arguments");
    }
    return true;
  }

  // The host stops planning when the trajectory is dropped; its next move starts where the
  // machine is.
  void ForgetPlan() {
    StepVector here{};
    for (int a = 0; a < kAxes; ++a) here[a] = blocks().engine.Get(engine::kAxisPosition[a]);
    planner_.Reset(here);
    for (int a = 0; a < kAxes; ++a) {
      last_target_[a] = static_cast<double>(here[a]) / planner_.limits()[a].steps_per_unit;
    }
  }

  void RecordStep(uint32_t t) {
    const HostBlocks& b = blocks();
    std::string key = motion_state_ ? StateName(motion_state_()) : "";
    const struct {
      bool on;
      const char* name;
    } flags[] = {{b.engine.Get(engine::kPluginMotionActive), "moving"},
                 {b.engine.Get(engine::kHomingActive), "homing"},
                 {b.engine.Get(engine::kBacklashActive), "backlash"},
                 {b.engine.Get(engine::kDwellActive) != 0, "dwell"}};
    for (const auto& f : flags) {
      if (f.on) key += std::string(" ") + f.name;
    }
    for (size_t j : wired_inputs_) {
      if (b.engine.Load<uint8_t>(input_signal::Offset(j, input_signal::kActive))) {
        key += " [" + InputName(j) + "]";
      }
    }
    for (int a = 0; a < kAxes; ++a) {
      if (b.engine.Get(engine::kAxisReferenced[a])) key += std::string(" ref-") + kAxisNames[a];
    }
    // Positions follow the board's status replies: a resting step's positions are taken once
    // the next replies are in (or at the next step, if that comes first).
    if (pending_step_ && (key != last_step_key_ || t >= pending_step_time_ + kSettleMs)) {
      AppendPositions(report_.steps.back().text);
      pending_step_ = false;
    }
    if (key == last_step_key_) return;
    last_step_key_ = key;
    std::string line = "  " + key;
    if (line.size() < 44) line.resize(44, ' ');
    report_.steps.push_back({t, line});
    // Moving, a step shows where the machine was; at rest, where it came to stand.
    const int32_t state = motion_state_ ? motion_state_() : -1;
    if (state == 0 || state == 1 || state == 2) {
      pending_step_ = true;
      pending_step_time_ = t;
    } else {
      AppendPositions(report_.steps.back().text);
    }
  }

  void AppendPositions(std::string& line) {
    for (int a = 0; a < kAxes; ++a) {
      if (!(report_.axes_used & (1u << a))) continue;
      line += std::string(" ") + kAxisNames[a] + " " +
              std::to_string(blocks().engine.Get(engine::kAxisPosition[a]));
    }
  }

  void Note(uint32_t t, const std::string& text) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%8.3f s  ", t / 1000.0);
    report_.notes.push_back(prefix + text);
  }

  void Collect() {
    const HostBlocks& b = blocks();
    report_.commanded = planner_.commanded_steps();
    report_.segments_consumed = report_.segments_queued - host_->QueuedSegments();
    for (int a = 0; a < kAxes; ++a) {
      report_.host_position[a] = b.engine.Get(engine::kAxisPosition[a]);
      report_.board_count[a] = board_ ? board_->count(a) : 0;
    }
    if (board_) {
      report_.board_known = true;
      report_.underruns = board_->underruns();
      report_.highest_fill = board_->highest_fill();
      report_.board_segments = board_->segments_received();
    } else if (report_.have_figures) {
      // All that is known of another board is what its status replies said.
      report_.highest_fill = report_.figures.highest_fill;
      for (int a = 0; a < kAxes; ++a) report_.board_count[a] = report_.figures.last_counts[a];
    }
  }

  const Scenario& scenario_;
  const RunOptions& options_;
  BoardView* board_;
  RunReport& report_;
  TraceWriter& trace_;
  SubstituteHost* host_ = nullptr;
  HostPlanner planner_;
  AxisVector last_target_{};
  uint8_t jog_full_speed_ = 0;
  std::vector<size_t> wired_inputs_;
  std::string last_step_key_;
  bool plugin_moved_ = false;
  bool pending_step_ = false;
  uint32_t pending_step_time_ = 0;
  static constexpr uint32_t kSettleMs = 120;
  int32_t (*motion_state_)() = nullptr;
  int32_t (*link_figures_)(LinkFigures*) = nullptr;
  int32_t (*timer_due_in_)() = nullptr;
};

}  // namespace

std::string DefaultProfilePath() {
  namespace fs = std::filesystem;
  std::error_code ec;
#if defined(VASKEL_BUILD_TMP_DIR)
  const fs::path build_tmp(VASKEL_BUILD_TMP_DIR);
  if (fs::is_directory(build_tmp.parent_path(), ec)) {
    fs::create_directories(build_tmp, ec);
    if (fs::is_directory(build_tmp, ec)) return (build_tmp / "vaskel-profile.xml").string();
  }
#endif
  const fs::path tmp = fs::temp_directory_path(ec);
  return ((ec ? fs::path(".") : tmp) / "vaskel-profile.xml").string();
}

bool ScenarioRunner::Run(RunReport* report, std::string* error) {
  *report = RunReport{};
  trace_ = TraceWriter{};
  trace_.KeepRows(options_.keep_trace_rows);
  trace_.SetTitle(options_.title);
  if (!options_.csv_path.empty() && !trace_.StreamCsv(options_.csv_path, error)) return false;
  class Run run(scenario_, options_, board_, *report, trace_);
  const bool ran = run.Execute(error);
  if (!trace_.Finish(ran ? error : nullptr) || !ran) return false;
  if (report->have_figures) trace_.SetFillLimit(report->figures.fill_limit);
  if (!options_.svg_path.empty() &&
      !trace_.WriteSvg(options_.svg_path, report->axes_used ? report->axes_used : 1u, error)) {
    return false;
  }
  return true;
}

std::vector<std::string> UnsentToExternalBoard(const Scenario& scenario) {
  std::vector<std::string> notes;
  for (int line : scenario.machine_line_numbers) {
    notes.push_back(std::to_string(line) +
                    ": machine switch not sent: the external board has its own machine "
                    "(vaskel-board --machine FILE)");
  }
  for (const ScenarioAction& a : scenario.actions) {
    if (a.words[0] != "input") continue;
    notes.push_back(std::to_string(a.line) +
                    ": input action not done: only the simulated board's pins can be forced");
  }
  return notes;
}

std::string FormatReport(const RunReport& r) {
  const char* const* kNames = kAxisNames;
  std::ostringstream out;
  char line[160];
  std::snprintf(line, sizeof line, "run time            %.3f s\n", r.duration_ms / 1000.0);
  out << line;
  out << "segments queued     " << r.segments_queued << " by the host planner\n";
  if (r.board_known) {
    out << "segments streamed   " << r.segments_consumed << " taken by the plug-in, "
        << r.board_segments << " received by the board\n"
        << "board underruns     " << r.underruns << "\n"
        << "highest board fill  " << r.highest_fill << " segments\n\n";
  } else {
    // An external board says only what its status replies carry.
    out << "segments streamed   " << r.segments_consumed << " taken by the plug-in\n"
        << "highest board fill  ";
    if (r.have_figures) {
      out << r.highest_fill << " segments (from the status replies; underruns unknown)\n\n";
    } else {
      out << "unknown (the plug-in gives no figures)\n\n";
    }
  }
  if (r.have_figures) out << FormatStatsLine(r.figures) << "\n";
  if (r.real_time && r.duration_ms > 0) {
    std::snprintf(line, sizeof line, "real-time loop      %llu wake-ups, %.0f a second\n",
                  static_cast<unsigned long long>(r.wakeups), r.wakeups * 1000.0 / r.duration_ms);
    out << line;
  }
  // Another board's counts are the last its status replies gave. The host's positions are
  // the counts plus the plug-in's offsets (a home moves them), so both are shown in one frame.
  const bool counts_known = r.board_known || r.have_figures;
  out << "\naxis   commanded " << (r.board_known ? "      board" : "    replied")
      << (r.have_figures ? "      offset   board+offset" : "") << "  host position\n";
  for (int a = 0; a < 6; ++a) {
    if (!(r.axes_used & (1u << a))) continue;
    const std::string count = counts_known ? std::to_string(r.board_count[a]) : "-";
    std::snprintf(line, sizeof line, "%-4s %11lld %11s", kNames[a],
                  static_cast<long long>(r.commanded[a]), count.c_str());
    out << line;
    std::string differs;
    if (r.have_figures) {
      const int64_t framed = int64_t{r.board_count[a]} + r.figures.axis_offsets[a];
      std::snprintf(line, sizeof line, " %11d %14lld", r.figures.axis_offsets[a],
                    static_cast<long long>(framed));
      out << line;
      if (counts_known && framed != r.host_position[a]) differs += "   (board differs)";
    }
    if (r.commanded[a] != r.host_position[a]) differs += "   (commanded differs)";
    std::snprintf(line, sizeof line, " %14d", r.host_position[a]);
    out << line << differs << "\n";
  }
  if (!r.steps.empty())
    out << "\nsteps (> host action; motion state, host flags, [inputs on], positions)\n";
  for (const MessageEvent& m : r.steps) {
    std::snprintf(line, sizeof line, "%8.3f s  ", m.time_ms / 1000.0);
    out << line << m.text << "\n";
  }
  out << "\nstatus line\n";
  if (r.messages.empty()) out << "  (nothing shown)\n";
  for (const MessageEvent& m : r.messages) {
    std::snprintf(line, sizeof line, "%8.3f s  ", m.time_ms / 1000.0);
    out << line << '"' << m.text << "\"\n";
  }
  if (!r.notes.empty()) out << "\nnotes\n";
  for (const std::string& n : r.notes) out << n << "\n";
  return out.str();
}

}  // namespace vaskel::sim
