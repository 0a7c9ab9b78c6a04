#pragma once
// What the motion engine is given at construction: the host's blocks, the board through the
// link, the status line, the clock and workers it uses, and the one setting it reads.
#include <atomic>
#include <cstdint>

#include "device/board_link.h"
#include "host/host_block.h"
#include "host/status_line.h"
#include "platform/clock.h"
#include "platform/worker.h"

namespace vaskel {

struct MotionServices {
  const HostBlocks& host;
  BoardLink& link;
  StatusLine& status;
  Clock& clock;
  Workers& workers;
  const std::atomic<int32_t>& jog_buffer_ms;  // JogBufferSetting, ms
};

}  // namespace vaskel
