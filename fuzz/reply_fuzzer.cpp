// Feeds the reply dispatcher and the status handler with board replies of any length and
// content, interleaved with requests and with the host fields those replies depend on.
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/host_string.h"
#include "plugin/plugin_context.h"
#include "test_platform.h"

namespace {

using namespace vaskel;

// The four host blocks, made once; what an input can change in them is cleared for every input.
struct HostMemory {
  std::vector<uint8_t> engine = std::vector<uint8_t>(engine::kBlockSize + 64);
  std::vector<uint8_t> setup = std::vector<uint8_t>(setup::kBlockSize + 64);
  std::vector<uint8_t> planner = std::vector<uint8_t>(planner::kBlockSize + 64);
  std::vector<uint8_t> window = std::vector<uint8_t>(window::kBlockSize + 64);
};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t Word() {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= static_cast<uint32_t>(Byte()) << (8 * k);
    return v;
  }
  size_t Take(uint8_t* out, size_t n) {
    const size_t left = size_ - at_;
    if (n > left) n = left;
    std::memcpy(out, data_ + at_, n);
    at_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// One context for the whole process, brought back to its start between inputs: building a
// context per input (its rings and tables) cost more than the input itself.
struct Fixture {
  HostMemory memory;
  vaskel::testing::TestPlatform platform;
  PluginContext ctx{platform};
  Fixture() { ctx.SetProName(host_string::Make("vaskel.xml")); }

  void Reset() {
    // Below the engine block's first field lie only the trajectory ring's segment tags, which
    // the host alone writes: clearing from that field on clears all an input can reach, and
    // costs 2% of clearing the block. In the planner block the reply path writes these four.
    const size_t fields = engine::kTrajConsumerIndex.offset;
    std::memset(memory.engine.data() + fields, 0, memory.engine.size() - fields);
    const HostBlock planner(memory.planner.data());
    planner.Set(planner::kDeviceNeedsData, false);
    planner.Set(planner::kFlushPartial, false);
    planner.Set(planner::kHomingSignalWord, uint64_t{0});
    planner.Set(planner::kProbePending, int32_t{0});
    ctx.InitControl(memory.engine.data(), memory.setup.data(), memory.planner.data(),
                    memory.window.data());
    ctx.PostInitControl();
    DeviceLink& link = ctx.link();
    link.send_ring().ResetRing();
    link.receive_ring().ResetRing();
    link.pending_replies().Clear();
    link.set_status_for_test(0, false);
    link.set_input_word_for_test(0);
    for (int axis = 0; axis < 6; ++axis) {
      link.set_axis_offset(axis, 0);
      link.set_board_count_for_test(axis, 0);
    }
    ctx.settings().device_buffer = Settings::kDefaultBuffer;
    ctx.motion().set_state(kRunning);  // a tripped limit halts it
  }
};

// An input's operations past the first 32 are ignored, and its requests past the first 4 do
// nothing: a request builds the output word and fills up to eleven packets, so this bounds the
// time an input takes, and keeps the packets left in the send ring (nothing takes them here)
// far below its 2048 slots. Four requests leave at most 12 replies pending, more than any reply
// path needs; a full pending table has its own tests.
constexpr int kMaxOperations = 32;
constexpr int kMaxRequests = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture;  // never destroyed: no worker outlives main
  fixture->Reset();
  PluginContext& ctx = fixture->ctx;
  HostMemory& memory = fixture->memory;
  {
    DeviceLink& link = ctx.link();
    const HostBlock& engine = ctx.host().engine;
    const HostBlock& planner = ctx.host().planner;
    BacklashQueue& backlash = ctx.motion().backlash_queue();

    Input in(data, size);
    int requests = 0;
    for (int operations = 0; operations < kMaxOperations && !in.empty(); ++operations) {
      switch (in.Byte() % 9) {
        case 0:
          if (requests++ < kMaxRequests) link.SendStatusRequest();
          break;
        case 1:
          if (requests++ < kMaxRequests) link.SendStartupConfiguration();
          break;
        case 2: {  // a raw report
          uint8_t report[kReportSize] = {};
          const size_t n = in.Take(report, in.Byte() % (kReportSize + 1));
          link.HandleReport(report, n);
          break;
        }
        case 3: {  // a report answering a recent request
          uint8_t report[kReportSize] = {};
          const int32_t back = 1 + in.Byte() % 4;
          const auto sequence = static_cast<uint32_t>(link.sequence_counter() - back);
          report[1] = static_cast<uint8_t>(sequence);
          report[2] = static_cast<uint8_t>(sequence >> 8);
          const size_t n = 3 + in.Take(report + 3, in.Byte() % (kReportSize - 2));
          link.HandleReport(report, n);
          break;
        }
        case 4: {
          const uint8_t which = in.Byte();
          const size_t axis = which % 6;
          if (which & 0x40) {
            engine.Set(engine::kAxisReversed[axis], (which & 0x80) != 0);
          } else {
            engine.Set(engine::kAxisEnabled[axis], (which & 0x80) != 0);
          }
          break;
        }
        case 5: {  // a backlash record and the queue's indices
          const uint32_t index = in.Byte() & BacklashQueue::kMask;
          BacklashRecord& record = backlash.records[index];
          record.start_marker = in.Word();
          record.end_marker = in.Word();
          record.correction[in.Byte() % 6] = static_cast<int32_t>(in.Word());
          backlash.open_index = in.Word();
          backlash.retire_index = in.Word();
          break;
        }
        case 6: {
          double period = 0;
          const uint64_t bits = static_cast<uint64_t>(in.Word()) << 32 | in.Word();
          std::memcpy(&period, &bits, sizeof period);
          planner.Set(planner::kSegmentPeriod, period);
          ctx.settings().device_buffer = static_cast<int32_t>(in.Word());
          break;
        }
        case 7:
          link.set_axis_offset(in.Byte() % 6, static_cast<int32_t>(in.Word()));
          break;
        case 8: {  // an input signal's record and the engine flags the input scan reads
          using namespace input_signal;
          const size_t record = in.Byte() % engine::kInputSignalCount;
          for (const size_t field : {kEnabled, kPin, kPort, kActiveLow}) {
            engine.Store<uint8_t>(Offset(record, field), in.Byte());
          }
          const uint8_t flags = in.Byte();
          engine.Store<uint8_t>(Offset(record, kEmulated), flags & 1);
          engine.Set(engine::kEStopActive, (flags & 2) != 0);
          engine.Set(engine::kLimitOverride, (flags & 4) != 0);
          engine.Set(engine::kEngineOffline, (flags & 8) != 0);
          break;
        }
      }
    }
  }
  // The status line's string belongs to the host; drop it so inputs do not leak into each other.
  const HostBlock planner(memory.planner.data());
  host_string::Release(planner.Get(planner::kStatusText));
  planner.Set(planner::kStatusText, static_cast<char*>(nullptr));
  return 0;
}
