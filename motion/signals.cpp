#include "motion/motion_engine.h"

namespace vaskel {
namespace {

constexpr size_t kAxisInputRecords = 18;  // three per axis: two limits, then the home input
constexpr int8_t kInputPort = 1;
constexpr int8_t kOutputPort = 2;
constexpr int8_t kPinLimit = 30;

bool IsHomeInput(size_t record) {
  return record % 3 == 2;
}

}  // namespace

void MotionEngine::ScanInputs() {
  const HostBlock& engine = services_.host.engine;
  if (engine.Get(engine::kEngineOffline)) return;
  // Held across the scan so that a trip decides on the state it aborts.
  Lock lock(mutex_);
  const uint32_t word = services_.link.input_word();
  for (size_t j = 0; j < engine::kInputSignalCount; ++j) {
    using namespace input_signal;
    const size_t active = Offset(j, kActive);
    const auto pin = engine.Load<int8_t>(Offset(j, kPin));
    if (!engine.Load<uint8_t>(Offset(j, kEmulated)) && engine.Load<uint8_t>(Offset(j, kEnabled)) &&
        engine.Load<int8_t>(Offset(j, kPort)) == kInputPort && pin < kPinLimit) {
      // Input pin n is bit n - 1, so pin 0 is bit 31.
      const uint32_t bit = static_cast<uint32_t>(pin - 1) & 31u;
      const bool level = ((word >> bit) & 1u) != 0;
      const bool active_low = engine.Load<uint8_t>(Offset(j, kActiveLow)) != 0;
      engine.Store<uint8_t>(active, level != active_low ? 1 : 0);
    }
    if (j >= kAxisInputRecords || IsHomeInput(j) || state() == kHalted) continue;
    if (!engine.Load<uint8_t>(active) || engine.Get(engine::kEStopActive)) continue;
    services_.status.Raise(kMsgLimitActive);
    if (engine.Get(engine::kLimitOverride)) continue;
    engine.Set(engine::kEStopActive, true);
    AbortLocked();
    set_state(kHalted);
    estop_seen_ = true;  // acted on here: the tick has nothing more to end
  }

  for (int axis = 0; axis < 6; ++axis) {
    const size_t record = 3 * static_cast<size_t>(axis) + 2;
    home_switches_.SetAxis(
        axis, engine.Load<uint8_t>(input_signal::Offset(record, input_signal::kActive)));
  }

  if (!engine.Get(engine::kLimitOverride)) return;
  for (size_t j = 0; j < kAxisInputRecords; ++j) {
    if (engine.Load<uint8_t>(input_signal::Offset(j, input_signal::kEnabled)) &&
        engine.Load<uint8_t>(input_signal::Offset(j, input_signal::kActive))) {
      return;
    }
  }
  services_.status.Raise(kMsgLimitsReengaged);
  engine.Set(engine::kLimitOverride, false);
}

uint32_t MotionEngine::BuildOutputWord() const {
  const HostBlock& engine = services_.host.engine;
  uint32_t word = 0;
  for (size_t k = 0; k < engine::kOutputSignalCount; ++k) {
    using namespace output_signal;
    const auto pin = engine.Load<int8_t>(Offset(k, kPin));
    if (!engine.Load<uint8_t>(Offset(k, kEnabled)) ||
        engine.Load<int8_t>(Offset(k, kPort)) != kOutputPort || pin >= kPinLimit) {
      continue;
    }
    // Output pin n is bit n (input pins are one lower).
    const uint32_t mask = 1u << (static_cast<uint32_t>(pin) & 31u);
    const bool on = (engine.Load<uint8_t>(Offset(k, kActive)) != 0) !=
                    (engine.Load<uint8_t>(Offset(k, kActiveLow)) != 0);
    word = on ? (word | mask) : (word & ~mask);
  }
  return word;
}

}  // namespace vaskel
