// vaskel-board: one simulated board served to the plug-in's emulator link over TCP
// (VASKEL_DEVICE=tcp:HOST:PORT), or as a USB/IP device that a Linux kernel imports and the
// plug-in then finds on its USB HID bus. Runs on the real clock until interrupted.
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>

#include "device/opcodes.h"
#include "platform/device_selection.h"
#include "sim/board/board_simulator.h"
#include "sim/board/machine_model.h"
#include "sim/board/steady_clock.h"
#include "sim/tcp_board_server.h"
#if defined(__linux__)
#include "sim/usbip/usbip_board_server.h"
#include "sim/usbip/vhci_attach.h"
#endif

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop.store(true);
}

// One line for whoever watches the emulator: what the board took and did so far.
void PrintStats(vaskel::sim::BoardSimulator& board, const char* when) {
  const vaskel::sim::BoardStats stats = board.Stats();
  const vaskel::sim::ChannelSteps c = board.Counts();
  std::printf(
      "vaskel-board: stats %s: segments received %llu executed %llu, underruns %llu, highest "
      "fill %zu, malformed %llu, counts %d %d %d %d %d %d\n",
      when, static_cast<unsigned long long>(stats.segments_received),
      static_cast<unsigned long long>(stats.segments_executed),
      static_cast<unsigned long long>(stats.underruns), stats.highest_fill,
      static_cast<unsigned long long>(stats.malformed), c[0], c[1], c[2], c[3], c[4], c[5]);
  std::fflush(stdout);
}

// Asked for (--help): on standard output. After a mistake, which it names: on standard error.
int Usage(const std::string& mistake = {}) {
  if (!mistake.empty()) std::fprintf(stderr, "vaskel-board: %s\n", mistake.c_str());
  std::fprintf(mistake.empty() ? stdout : stderr,
               "usage: vaskel-board --listen HOST:PORT [--machine FILE] [--queue N] "
               "[--identity VID:PID:REL] [HABITS]\n"
               "       vaskel-board --usbip HOST:PORT [--attach] [--machine FILE] [--queue N] "
               "[--identity VID:PID:REL] [HABITS]\n"
               "habits (the board's ways within its contract; none by default):\n"
               "  --compose-late MS            compose each status reply up to MS (1..60000) ms\n"
               "                               after its request, when it is sent\n"
               "  --fill-excludes-in-hand      leave the segment being run out of the fill\n"
               "  --counts-step-through RATES  count through the segment in hand, channel c\n"
               "                               done at fraction RATES[c] of it: six numbers in\n"
               "                               (0,1] split by commas, or 'random'\n"
               "  --stop-finishes              a stop lets the segment in hand run to its end\n"
               "  --channels MASK              only the channels in MASK (0x0f..0x3f, channels\n"
               "                               0..3 always) count\n"
               "  --sync-first                 answer sync queries ahead of status replies\n"
               "  --clock-ppm N                the board's clock off by N (-500000..500000)\n"
               "                               parts a million: > 0 runs slower\n");
  return mistake.empty() ? 0 : 2;
}

// Three hexadecimal 16-bit numbers, e.g. 8888:0006:0100.
bool ParseIdentity(const char* text, vaskel::HidDeviceInfo* out) {
  unsigned v = 0, p = 0, r = 0;
  char tail = 0;
  if (std::sscanf(text, "%x:%x:%x%c", &v, &p, &r, &tail) != 3 || v > 0xffff || p > 0xffff ||
      r > 0xffff) {
    return false;
  }
  out->vendor = static_cast<uint16_t>(v);
  out->product = static_cast<uint16_t>(p);
  out->release = static_cast<uint16_t>(r);
  return true;
}

bool ParseNumber(const char* text, long long lo, long long hi, long long* out) {
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != 0 || n < lo || n > hi) return false;
  *out = n;
  return true;
}

// Six rates in (0, 1] split by commas, or "random" (drawn from the time).
bool ParseRates(const char* text, std::array<double, 6>* rates) {
  if (std::strcmp(text, "random") == 0) {
    std::mt19937_64 draw(std::random_device{}());
    for (double& r : *rates) r = 1.0 - std::uniform_real_distribution<double>(0.0, 1.0)(draw);
    return true;
  }
  const char* at = text;
  for (size_t c = 0; c < rates->size(); ++c) {
    char* end = nullptr;
    errno = 0;
    const double r = std::strtod(at, &end);
    if (errno != 0 || end == at || !(r > 0.0) || !(r <= 1.0)) return false;
    (*rates)[c] = r;
    if (c + 1 < rates->size()) {
      if (*end != ',') return false;
      at = end + 1;
    } else if (*end != 0) {
      return false;
    }
  }
  return true;
}

uint64_t PacketsTaken(vaskel::sim::BoardSimulator& board) {
  uint64_t n = 0;
  for (uint64_t by_opcode : board.Stats().packets) n += by_opcode;
  return n;
}

void PrintCounts(const char* what, vaskel::sim::BoardSimulator& board) {
  const vaskel::sim::ChannelSteps c = board.Counts();
  std::printf("vaskel-board: %s, counts %d %d %d %d %d %d, packets %llu\n", what, c[0], c[1], c[2],
              c[3], c[4], c[5], static_cast<unsigned long long>(PacketsTaken(board)));
  std::fflush(stdout);
}

#if defined(__linux__)
std::atomic<int> g_cable_toggles{0};
std::atomic<int> g_stall_toggles{0};
std::atomic<int> g_packet_questions{0};

void OnPacketQuestion(int) {
  g_packet_questions.fetch_add(1);
}

// The system's raw monotonic clock, which Wine's performance counter also reads: a Windows
// program in the same system can compare its own times with these.
uint64_t MonotonicRawMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// The packets that a watcher of the cable cares about, as they arrive: each start-up
// configuration, and each stop with the time it came.
void ReportArrivals(vaskel::sim::BoardSimulator& board) {
  for (const vaskel::sim::PacketRecord& p : board.TakePacketLog()) {
    if (p.opcode == vaskel::kOpConfigReset) {
      std::printf("vaskel-board: configuration received\n");
    } else if (p.opcode == vaskel::kOpStopMotion) {
      std::printf("vaskel-board: stop motion at %llu ms\n",
                  static_cast<unsigned long long>(MonotonicRawMs()));
    } else {
      continue;
    }
    std::fflush(stdout);
  }
}

void OnCableSignal(int) {
  g_cable_toggles.fetch_add(1);
}

void OnStallSignal(int) {
  g_stall_toggles.fetch_add(1);
}

// Serves the board as a USB/IP device; with attach, imports it into this machine's own
// virtual host controller (root and vhci-hcd needed), as the usbip tool would. SIGUSR1
// unplugs the board and plugs it back in (attached again with attach); SIGUSR2 stalls its
// writes and releases them; SIGHUP prints the packets taken and the replies sent so far.
int ServeUsbip(vaskel::sim::BoardSimulator& board, const vaskel::TcpEndpoint& endpoint,
               const vaskel::HidDeviceInfo& identity, bool attach) {
  vaskel::sim::UsbipBoardServer server(board,
                                       {identity.vendor, identity.product, identity.release});
  std::string error;
  if (!server.Listen(endpoint.host, endpoint.port, &error)) {
    std::fprintf(stderr, "vaskel-board: %s\n", error.c_str());
    return 1;
  }
  std::printf("vaskel-board: USB/IP device %s on %s:%u\n", vaskel::sim::UsbipBoardServer::kBusId,
              endpoint.host.c_str(), server.port());
  std::fflush(stdout);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGUSR1, OnCableSignal);
  std::signal(SIGUSR2, OnStallSignal);
  std::signal(SIGHUP, OnPacketQuestion);
  std::atomic<bool> attach_failed{false};
  std::thread attacher;
  auto start_attach = [&] {
    if (attacher.joinable()) attacher.join();
    // The import needs the server answering, so it runs beside the loop.
    attacher = std::thread([&] {
      std::string why;
      if (vaskel::sim::usbip::AttachUsbipDevice(endpoint.host, server.port(),
                                                vaskel::sim::UsbipBoardServer::kBusId, &why) < 0) {
        std::fprintf(stderr, "vaskel-board: %s\n", why.c_str());
        attach_failed.store(true);
      }
    });
  };
  if (attach) start_attach();
  bool had_importer = false;
  int cable_toggles = 0;
  int stall_toggles = 0;
  int packet_questions = 0;
  bool stalled = false;
  while (!g_stop.load() && !attach_failed.load()) {
    server.Step(20);
    ReportArrivals(board);
    if (g_packet_questions.load() != packet_questions) {
      packet_questions = g_packet_questions.load();
      std::printf("vaskel-board: packets %llu, replies %llu at %llu ms\n",
                  static_cast<unsigned long long>(PacketsTaken(board)),
                  static_cast<unsigned long long>(board.Stats().replies_queued),
                  static_cast<unsigned long long>(MonotonicRawMs()));
      std::fflush(stdout);
    }
    if (g_cable_toggles.load() != cable_toggles) {
      ++cable_toggles;
      if (board.plugged()) {
        board.Unplug();
        std::printf("vaskel-board: unplugged\n");
      } else {
        board.Replug();
        std::printf("vaskel-board: plugged in\n");
        if (attach) start_attach();
      }
      std::fflush(stdout);
    }
    if (g_stall_toggles.load() != stall_toggles) {
      ++stall_toggles;
      stalled = !stalled;
      board.StallWrites(stalled);
      std::printf("vaskel-board: writes %s\n", stalled ? "stalled" : "flowing");
      std::fflush(stdout);
    }
    if (server.imported() != had_importer) {
      had_importer = server.imported();
      if (had_importer) {
        std::printf("vaskel-board: imported\n");
        std::fflush(stdout);
      } else {
        PrintCounts("importer gone", board);
      }
    }
  }
  if (attacher.joinable()) attacher.join();
  PrintCounts("stopped", board);
  return attach_failed.load() ? 1 : 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  vaskel::TcpEndpoint listen;
  bool have_listen = false;
  bool usbip = false;
  bool attach = false;
  vaskel::HidDeviceInfo identity{
      vaskel::sim::kBoardVendor, vaskel::sim::kBoardProduct, vaskel::sim::kBoardRelease, {}};
  vaskel::sim::BoardOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--attach") {
      attach = true;
      continue;
    }
    if (arg == "--fill-excludes-in-hand" || arg == "--stop-finishes" || arg == "--sync-first") {
      vaskel::sim::BoardHabits& h = options.habits;
      (arg == "--sync-first"      ? h.sync_first
       : arg == "--stop-finishes" ? h.stop_finishes_in_hand
                                  : h.fill_excludes_in_hand) = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") return Usage();
    const bool known = arg == "--listen" || arg == "--usbip" || arg == "--identity" ||
                       arg == "--machine" || arg == "--queue" || arg == "--compose-late" ||
                       arg == "--counts-step-through" || arg == "--channels" ||
                       arg == "--clock-ppm";
    if (!known) return Usage("unknown argument '" + arg + "'");
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value) return Usage(arg + " needs a value");
    ++i;
    if (arg == "--listen" || arg == "--usbip") {
      usbip = arg == "--usbip";
      have_listen = vaskel::ParseTcpEndpoint(value, &listen, true);
      if (!have_listen) {
        std::fprintf(stderr, "vaskel-board: bad %s '%s' (expected HOST:PORT)\n", arg.c_str(),
                     value);
        return 2;
      }
    } else if (arg == "--identity") {
      if (!ParseIdentity(value, &identity)) {
        std::fprintf(stderr, "vaskel-board: bad --identity '%s' (expected VID:PID:REL in hex)\n",
                     value);
        return 2;
      }
    } else if (arg == "--machine") {
      auto parsed = vaskel::sim::LoadMachineFile(value);
      if (!parsed.ok) {
        // FILE:LINE: message, one a line, as editors jump to them.
        std::fprintf(stderr, "%s\nvaskel-board: machine file %s not used\n", parsed.error.c_str(),
                     value);
        return 2;
      }
      options.machine = parsed.model;
    } else if (arg == "--queue") {
      char* end = nullptr;
      const long n = std::strtol(value, &end, 10);
      if (!end || *end || n < 1 || n > 1000000) {
        std::fprintf(stderr, "vaskel-board: bad --queue '%s' (1..1000000)\n", value);
        return 2;
      }
      options.queue_capacity = static_cast<size_t>(n);
    } else if (arg == "--compose-late") {
      long long ms = 0;
      if (!ParseNumber(value, 1, 60000, &ms)) {
        std::fprintf(stderr, "vaskel-board: bad --compose-late '%s' (1..60000 ms)\n", value);
        return 2;
      }
      options.habits.compose_late_max_ms = static_cast<uint32_t>(ms);
      options.habits.compose_seed = std::random_device{}();
    } else if (arg == "--counts-step-through") {
      if (!ParseRates(value, &options.habits.step_rates)) {
        std::fprintf(stderr,
                     "vaskel-board: bad --counts-step-through '%s' (six rates in (0,1] split "
                     "by commas, or random)\n",
                     value);
        return 2;
      }
      options.habits.counts_step_through = true;
    } else if (arg == "--channels") {
      long long mask = 0;
      if (!ParseNumber(value, 0, 0x3f, &mask) || (mask & 0x0f) != 0x0f) {
        std::fprintf(stderr,
                     "vaskel-board: bad --channels '%s' (a mask of channels 0..5 with 0..3 "
                     "set, e.g. 0x1f)\n",
                     value);
        return 2;
      }
      options.habits.counted_channels = static_cast<uint8_t>(mask);
    } else if (arg == "--clock-ppm") {
      long long ppm = 0;
      if (!ParseNumber(value, -500000, 500000, &ppm)) {
        std::fprintf(stderr, "vaskel-board: bad --clock-ppm '%s' (-500000..500000)\n", value);
        return 2;
      }
      options.habits.clock_ppm = static_cast<int32_t>(ppm);
    }
  }
  if (!have_listen) return Usage("--listen HOST:PORT or --usbip HOST:PORT is needed");
  if (attach && !usbip) return Usage("--attach goes with --usbip only");

  vaskel::sim::SteadyClock clock;
  vaskel::sim::BoardSimulator board(clock, options);
  if (const std::string habits = vaskel::sim::DescribeHabits(options.habits); habits != "none") {
    std::printf("vaskel-board: habits: %s\n", habits.c_str());
  }
  if (usbip) {
#if defined(__linux__)
    return ServeUsbip(board, listen, identity, attach);
#else
    std::fprintf(stderr, "vaskel-board: --usbip needs Linux\n");
    return 2;
#endif
  }
  vaskel::sim::TcpBoardServer server(board, identity);
  std::string error;
  if (!server.Listen(listen.host, listen.port, &error)) {
    std::fprintf(stderr, "vaskel-board: %s\n", error.c_str());
    return 1;
  }
  std::printf("vaskel-board: listening on %s:%u\n", listen.host.c_str(), server.port());
  std::fflush(stdout);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  constexpr uint32_t kStatsPeriodMs = 10000;
  bool had_client = false;
  uint32_t last_stats_ms = clock.TickCountMs();
  while (!g_stop.load()) {
    server.Step(20);
    if (server.has_client() != had_client) {
      had_client = server.has_client();
      if (had_client) {
        std::printf("vaskel-board: client connected\n");
        std::fflush(stdout);
        last_stats_ms = clock.TickCountMs();
      } else {
        // What the client left the machine at, for whoever drives the emulator.
        PrintCounts("client gone", board);
        PrintStats(board, "at the client's leaving");
      }
    } else if (had_client && clock.TickCountMs() - last_stats_ms >= kStatsPeriodMs) {
      last_stats_ms = clock.TickCountMs();
      PrintStats(board, "every 10 s");
    }
  }
  const vaskel::sim::BoardStats stats = board.Stats();
  std::printf(
      "vaskel-board: %llu segments executed, highest fill %zu, %llu underruns, %llu malformed\n",
      static_cast<unsigned long long>(stats.segments_executed), stats.highest_fill,
      static_cast<unsigned long long>(stats.underruns),
      static_cast<unsigned long long>(stats.malformed));
  return 0;
}
