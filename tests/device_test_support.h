#pragma once
// A plug-in context on the test platform, with zero-filled host blocks, the entry points run up
// to PostInitControl, and one fake board (vendor 0x8888, product 0x0006, release 0x0100) on
// the bus at kBoardPath.
#include <memory>
#include <string>

#include "fake_hid.h"
#include "host/host_string.h"
#include "plugin/plugin_context.h"
#include "sim/substitute_host.h"
#include "test_platform.h"

namespace vaskel::testing {

inline constexpr const char* kBoardPath = "/dev/hidraw-board";

struct LinkHarness {
  explicit LinkHarness(bool plug_board = true) {
    platform.hid_ = &bus;
    bus.AttachBoard(kBoardPath, &board);
    if (plug_board) PlugBoard();
    ctx = std::make_unique<PluginContext>(platform);
    ctx->SetProName(host_string::Make("vaskel.xml"));
    ctx->InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
    ctx->PostInitControl();
  }

  ~LinkHarness() {
    ctx.reset();
    // The status line's string belongs to the host.
    host_string::Release(host().planner.Get(planner::kStatusText));
  }

  void PlugBoard() { bus.AddInterface(0x8888, 0x0006, 0x0100, kBoardPath); }

  DeviceLink& link() { return ctx->link(); }
  const HostBlocks& host() const { return memory.blocks(); }
  void Update() { ctx->Update(); }
  void Pump(int times = 1) {
    for (int i = 0; i < times; ++i) platform.workers_.Pump();
  }
  // Motion packets whose every segment moves channel 0 one step, written to the board: what
  // it holds and its counts then tell apart how far it ran.
  void SendSteppedMotion(int packets) {
    for (int p = 0; p < packets; ++p) {
      uint8_t* body = link().BeginMotionPacket();
      for (size_t k = 0; k < 7; ++k) body[9 * k] = 1;
      link().CommitPacket();
      Pump();
    }
  }
  // Update, then let the workers run until they have nothing left to do at once.
  void UpdateAndPump() {
    Update();
    Pump(4);
  }
  std::string StatusText() const {
    return std::string(host_string::View(host().planner.Get(planner::kStatusText)));
  }
  void SetStatusText(const std::string& text) { ctx->messages().SetStatusText(text); }
  // Connects, configures and aligns on the board's auto replies.
  void BringUp() {
    board.SetAutoReply(true);
    UpdateAndPump();
  }

  TestPlatform platform;
  FakeHidBus bus;
  FakeBoard board;
  sim::HostMemory memory;
  std::unique_ptr<PluginContext> ctx;
};

}  // namespace vaskel::testing
