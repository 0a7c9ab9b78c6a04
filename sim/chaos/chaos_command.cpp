#include "sim/chaos/chaos_command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/chaos/heap_watch.h"
#include "sim/chaos/seed_run.h"
#include "sim/chaos/shrink.h"
#include "sim/chaos/world.h"

namespace vaskel::chaos {
namespace {

// Asked for (--help): on standard output; after a mistake, which it names: on standard error.
int Usage(const std::string& mistake = {}) {
  if (!mistake.empty()) std::fprintf(stderr, "vaskel-host chaos: %s\n", mistake.c_str());
  std::fprintf(mistake.empty() ? stdout : stderr,
               "usage: vaskel-host chaos --seeds A..B [--minutes M] [--no-shrink]\n"
               "       vaskel-host chaos --seed-file FILE [--minutes M]\n"
               "       (--budget S: stop starting seeds after S seconds of real time;\n"
               "        --habits: three worlds in four draw the board's habits)\n"
               "       vaskel-host chaos --seed N --replay [--minutes M] [--only a1,a2,f0]\n");
  return mistake.empty() ? 0 : 2;
}

bool ParseU64(const std::string& s, uint64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  *out = std::strtoull(s.c_str(), &end, 10);
  return end && *end == '\0';
}

std::vector<int> IndexOf(const World& full, const World& part, bool actions) {
  std::vector<int> kept;
  size_t from = 0;
  const size_t n = actions ? part.actions.size() : part.faults.size();
  for (size_t i = 0; i < n; ++i) {
    const size_t total = actions ? full.actions.size() : full.faults.size();
    for (size_t j = from; j < total; ++j) {
      const bool same = actions ? (full.actions[j].at_ms == part.actions[i].at_ms &&
                                   full.actions[j].kind == part.actions[i].kind)
                                : (full.faults[j].at_ms == part.faults[i].at_ms &&
                                   full.faults[j].kind == part.faults[i].kind);
      if (same) {
        kept.push_back(static_cast<int>(j));
        from = j + 1;
        break;
      }
    }
  }
  return kept;
}

std::string OnlyArgument(const World& full, const World& part) {
  std::string text;
  for (int i : IndexOf(full, part, true)) text += (text.empty() ? "a" : ",a") + std::to_string(i);
  for (int i : IndexOf(full, part, false)) text += (text.empty() ? "f" : ",f") + std::to_string(i);
  return text.empty() ? "none" : text;
}

void PrintFailure(uint64_t seed, uint32_t minutes_ms, const SeedResult& r) {
  std::printf("seed %llu FAILED: %s: %s at %.3f s (virtual)\n",
              static_cast<unsigned long long>(seed), r.violation.invariant.c_str(),
              r.violation.detail.c_str(), r.violation.time_ms / 1000.0);
  std::printf("  replay: vaskel-host chaos --seed %llu --replay --minutes %g\n",
              static_cast<unsigned long long>(seed), minutes_ms / 60000.0);
  std::printf("%s", r.packets.c_str());
}

void PrintWorld(const World& w) {
  std::printf(
      "world of seed %llu: %s, buffers %d/%d ms, timer gap %.1f ms, Update %u..%u ms, "
      "worker rate %.2f\n",
      static_cast<unsigned long long>(w.seed), w.stream_only ? "stream only" : "mixed",
      w.device_buffer_ms, w.jog_buffer_ms, w.timer_gap_ms_x10 / 10.0, w.update_min_ms,
      w.update_max_ms, w.worker_rate);
  static const char* const kPorts[] = {"immediate", "windows", "linux"};
  std::printf("  port %s, wire %u ms out, %u ms back, family %d, feed every %u ms by %d\n",
              kPorts[static_cast<int>(w.port)], w.write_wire_ms, w.reply_wire_ms, w.family,
              w.feed_period_ms, w.feed_chunk);
  std::printf("  board habits: %s\n", sim::DescribeHabits(w.habits).c_str());
  for (int a = 0; a < 6; ++a) {
    const AxisSetup& x = w.axes[a];
    if (!x.enabled) continue;
    std::printf("  axis %d: %g steps/unit, %g units/s, %g units/s2, backlash %d at %d, %s%s\n", a,
                x.steps_per_unit, x.velocity, x.acceleration, x.backlash_amount, x.backlash_speed,
                x.reversed ? "reversed " : "", x.slave_master >= 0 ? "slaved" : "");
  }
  for (const sim::MachineSwitch& s : w.switches) {
    std::printf("  switch kind %d axis %d %s %d pin %d%s\n", static_cast<int>(s.kind), s.axis,
                s.side == sim::SwitchSide::Min ? "min" : "max", s.position, s.pin,
                s.active_low ? " active-low" : "");
  }
  if (w.drop_in_resync_ms != 0) {
    std::printf("  a drop of %u ms as the first resynchronisation's reply is %s\n",
                w.drop_in_resync_ms, w.drop_as_read ? "read" : "measured");
  }
  if (w.drop_running_ms != 0) {
    std::printf("  a drop of %u ms as a running link's reply is read, after %.3f s\n",
                w.drop_running_ms, w.drop_running_after_ms / 1000.0);
  }
  if (w.preempt_most_ms != 0) {
    std::printf("  the host preempted after a commit in Update, chance %.2f, up to %u ms\n",
                w.preempt_rate, w.preempt_most_ms);
  }
  for (const Fault& f : w.faults) std::printf("  fault %s\n", DescribeFault(f).c_str());
  for (const Action& a : w.actions) std::printf("  %s\n", DescribeAction(a).c_str());
}

}  // namespace

int ChaosMain(int argc, char** argv) {
  uint64_t first = 0, last = 0;
  bool have_range = false, replay = false, shrink = true, verbose = false;
  double minutes = 1;
  double budget_seconds = 0;  // 0: every seed asked for
  std::string seed_file, only;
  SeedOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--seeds" && value) {
      const std::string range = value;
      const size_t dots = range.find("..");
      if (dots == std::string::npos || !ParseU64(range.substr(0, dots), &first) ||
          !ParseU64(range.substr(dots + 2), &last) || last < first) {
        return Usage("--seeds '" + range + "' is not a range A..B");
      }
      have_range = true;
      ++i;
    } else if (arg == "--seed" && value && ParseU64(value, &first)) {
      last = first;
      have_range = true;
      ++i;
    } else if (arg == "--seed-file" && value) {
      seed_file = value;
      ++i;
    } else if (arg == "--minutes" && value) {
      minutes = std::atof(value);
      ++i;
    } else if (arg == "--only" && value) {
      only = value;
      ++i;
    } else if (arg == "--budget" && value) {
      budget_seconds = std::atof(value);
      ++i;
    } else if (arg == "--replay") {
      replay = true;
    } else if (arg == "--no-shrink") {
      shrink = false;
    } else if (arg == "--habits") {
      SetHabitWorlds(true);
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (arg == "--help" || arg == "-h") {
      return Usage();
    } else if (value || arg[0] != '-') {
      return Usage("unknown or malformed argument '" + arg + "'");
    } else {
      return Usage(arg + " needs a value");
    }
  }
  std::vector<uint64_t> seeds;
  if (!seed_file.empty()) {
    std::ifstream in(seed_file);
    if (!in) {
      std::fprintf(stderr, "vaskel-host chaos: cannot read %s\n", seed_file.c_str());
      return 2;
    }
    std::string line;
    while (std::getline(in, line)) {
      const std::string word = line.substr(0, line.find_first_of(" \t#"));
      uint64_t seed = 0;
      if (ParseU64(word, &seed)) seeds.push_back(seed);
    }
  } else if (have_range) {
    for (uint64_t s = first; s <= last; ++s) seeds.push_back(s);
  }
  if (seeds.empty()) return Usage("no seed to run (--seeds, --seed or --seed-file)");
  if (!(minutes > 0)) return Usage("--minutes must be above 0");
  const auto duration_ms = static_cast<uint32_t>(minutes * 60000);

  if (replay) {
    World world = GenerateWorld(seeds.front(), duration_ms);
    if (!only.empty()) {
      std::vector<int> actions, faults;
      std::stringstream list(only);
      std::string item;
      while (std::getline(list, item, ',')) {
        if (item.size() < 2) continue;
        (item[0] == 'a' ? actions : faults).push_back(std::atoi(item.c_str() + 1));
      }
      world = Restrict(world, actions, faults);
    }
    PrintWorld(world);
    options.trace = true;
    const SeedResult r = RunWorld(world, options);
    std::printf("seed %llu trace hash %016llx, %.3f s virtual: %s\n",
                static_cast<unsigned long long>(seeds.front()),
                static_cast<unsigned long long>(r.hash), r.virtual_ms / 1000.0,
                r.passed ? "passed" : "FAILED");
    if (!r.passed) PrintFailure(seeds.front(), duration_ms, r);
    return r.passed ? 0 : 1;
  }

  const auto start = std::chrono::steady_clock::now();
  size_t passed = 0, run = 0, invisible_losses = 0, in_hand_losses = 0, fill_lies = 0,
         repeated_pauses = 0, resets_behind_stops = 0, unjudged_replies = 0, compensation_off = 0,
         frames_set_anew = 0, take_up_drops = 0, retired_at_alignment = 0, in_play = 0,
         resume_unknown = 0, play_unknown = 0;
  HeapWatch heap;
  uint64_t combined = 0;
  for (uint64_t seed : seeds) {
    if (budget_seconds > 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >
            budget_seconds) {
      break;
    }
    ++run;
    const World world = GenerateWorld(seed, duration_ms);
    const SeedResult r = RunWorld(world, options);
    combined = combined * 31 + r.hash;
    invisible_losses += r.excused_invisible_loss;
    in_hand_losses += r.excused_in_hand_loss;
    fill_lies += r.excused_fill_lie;
    repeated_pauses += r.excused_repeated_pause;
    resets_behind_stops += r.excused_reset_untellable;
    unjudged_replies += r.excused_unjudged_replies;
    compensation_off += r.excused_compensation_off;
    frames_set_anew += r.excused_position_lost;
    take_up_drops += r.excused_take_up_drop;
    retired_at_alignment += r.excused_retired_at_alignment;
    in_play += r.excused_in_play;
    resume_unknown += r.resume_unknown;
    play_unknown += r.excused_play_unknown;
    if (verbose) {
      std::printf("seed %llu hash %016llx %s\n", static_cast<unsigned long long>(seed),
                  static_cast<unsigned long long>(r.hash), r.passed ? "passed" : "FAILED");
    }
    if (r.passed && heap.Flat(seed)) {
      ++passed;
      continue;
    }
    if (r.passed) {
      // Each seed frees its context; what the process still holds after one must not grow.
      std::printf("seed %llu FAILED: bounds: %s\n", static_cast<unsigned long long>(seed),
                  heap.growth().c_str());
      std::fflush(stdout);
      continue;
    }
    PrintFailure(seed, duration_ms, r);
    if (shrink) {
      const ShrinkResult s = Shrink(world, r, options);
      std::printf(
          "  shrunk in %d runs to %zu of %zu faults and %zu of %zu actions (%s at %.3f s):\n",
          s.runs, s.world.faults.size(), world.faults.size(), s.world.actions.size(),
          world.actions.size(), s.result.violation.detail.c_str(),
          s.result.violation.time_ms / 1000.0);
      for (const Fault& f : s.world.faults) std::printf("    fault %s\n", DescribeFault(f).c_str());
      for (const Action& a : s.world.actions) std::printf("    %s\n", DescribeAction(a).c_str());
      std::printf(
          "  replay shrunk: vaskel-host chaos --seed %llu --replay --minutes %g --only %s\n",
          static_cast<unsigned long long>(seed), minutes, OnlyArgument(world, s.world).c_str());
    }
    std::fflush(stdout);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "chaos: %zu of %zu seeds passed (trace hash %016llx), %.1f seeds/s, %.0fx real time\n",
      passed, run, static_cast<unsigned long long>(combined), run / seconds,
      run * (duration_ms / 1000.0) / seconds);
  std::printf(
      "chaos: relaxed checks: %zu seeds lost host entries with a board's queue that no count "
      "shows; %zu seeds lost one moving host entry (behind pauses only) with a board's queue, one "
      "segment's trace "
      "in the counts as of a segment still in hand (it excused, and the last entry run before "
      "the next rewind may run again); %zu seeds lost host entries to a board's queue overfilled "
      "on a lying fill or to "
      "a rewind measured on one (those entries excused, the rest accounted); %zu seeds ran an "
      "entry that moves nothing twice or not at all in a resync "
      "(counts cannot tell); %zu seeds reset the board (or it lost power while unplugged) "
      "behind two stops with no reply between to counts within the bounds those stops leave, "
      "before or behind one to counts on the way it may have cut (what ran since the last reply "
      "may "
      "run again), or to the counts its lost queue would have ended at, or lost less than one "
      "segment it ran since carries (read as that segment in hand); %zu seeds "
      "relabelled a reply onto a "
      "pending request or filled the "
      "pending-reply table (later replies of that connection may find no entry, not judged)\n",
      invisible_losses, in_hand_losses, fill_lies, repeated_pauses, resets_behind_stops,
      unjudged_replies);
  std::printf(
      "chaos: relaxed tool checks: %zu seeds switched backlash compensation off (the DRO's "
      "frame set again once it is on and the tool presses where the plug-in believes) or slaved "
      "an axis with take-ups to one of the first three (not judged); %zu "
      "seeds lost the position, or had a lying fill or a reset the counts cannot tell (frame "
      "set again); %zu stream-only seeds with take-ups dropped packets by rule (steps not "
      "accounted); %zu seeds aligned the link with take-up records open (the DRO's jump there "
      "not judged); %zu seeds rested with a tool inside its play after an abort cut its take-up, "
      "or had a reply from inside a take-up just after a stop or a lying fill or on an axis that "
      "steps outside a take-up moved into its play (not judged there); %zu seeds stopped the "
      "program where the counts could not tell whether a take-up ran (its axis taken to stand "
      "as before it: the tool's travel not judged)\n",
      compensation_off, frames_set_anew, take_up_drops, retired_at_alignment, in_play,
      play_unknown);
  std::printf(
      "chaos: outcomes: %zu seeds stopped the program with the positions kept, the counts after "
      "a resynchronisation's stop not telling which segments ran\n",
      resume_unknown);
  return passed == run ? 0 : 1;
}

}  // namespace vaskel::chaos
