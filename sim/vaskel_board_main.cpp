// vaskel-board: one simulated board served to the plug-in's emulator link over TCP
// (VASKEL_DEVICE=tcp:HOST:PORT). Runs on the real clock until interrupted.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/device_selection.h"
#include "sim/board/board_simulator.h"
#include "sim/board/machine_model.h"
#include "sim/board/steady_clock.h"
#include "sim/tcp_board_server.h"

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

void Usage() {
  std::fprintf(stderr, "usage: vaskel-board --listen HOST:PORT [--machine FILE] [--queue N]\n");
}

}  // namespace

int main(int argc, char** argv) {
  vaskel::TcpEndpoint listen;
  bool have_listen = false;
  vaskel::sim::BoardOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value) {
      Usage();
      return 2;
    }
    ++i;
    if (arg == "--listen") {
      have_listen = vaskel::ParseTcpEndpoint(value, &listen, true);
      if (!have_listen) {
        std::fprintf(stderr, "vaskel-board: bad --listen '%s' (expected HOST:PORT)\n", value);
        return 2;
      }
    } else if (arg == "--machine") {
      auto parsed = vaskel::sim::LoadMachineFile(value);
      if (!parsed.ok) {
        std::fprintf(stderr, "vaskel-board: %s\n", parsed.error.c_str());
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
    } else {
      Usage();
      return 2;
    }
  }
  if (!have_listen) {
    Usage();
    return 2;
  }

  vaskel::sim::SteadyClock clock;
  vaskel::sim::BoardSimulator board(clock, options);
  vaskel::sim::TcpBoardServer server(board);
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
        const vaskel::sim::ChannelSteps c = board.Counts();
        std::printf("vaskel-board: client gone, counts %d %d %d %d %d %d\n", c[0], c[1], c[2], c[3],
                    c[4], c[5]);
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
