#include "sim/substitute_host.h"

#include <cstring>

#include "host/host_string.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vaskel::sim {

HostMemory::HostMemory()
    : engine_(engine::kBlockSize + 64, 0),
      setup_(setup::kBlockSize + 64, 0),
      planner_(planner::kBlockSize + 64, 0),
      window_(window::kBlockSize + 64, 0) {
  blocks_.engine = HostBlock(engine_.data());
  blocks_.setup = HostBlock(setup_.data());
  blocks_.planner = HostBlock(planner_.data());
  blocks_.window = HostBlock(window_.data());
}

SubstituteHost::~SubstituteHost() {
  if (started_ && !stopped_) Stop();
  // The host owns the status string it lent the plug-in.
  char* status = blocks().planner.Get(planner::kStatusText);
  host_string::Release(status);
  blocks().planner.Set(planner::kStatusText, static_cast<char*>(nullptr));
}

std::string SubstituteHost::Start(const std::string& profile_path) {
  // The host passes its profile name as a string object and gives up that reference.
  const char* name = api_.SetProName(host_string::Make(profile_path));
  std::string display = name ? name : "";
  blocks().planner.Set(planner::kStatusText, host_string::SharedEmpty());
  api_.InitControl(memory_.engine(), memory_.setup(), memory_.planner(), memory_.window());
  api_.PostInitControl();
  started_ = true;
  return display;
}

int SubstituteHost::PumpTimers() {
#if defined(_WIN32)
  int n = 0;
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    ++n;
  }
  return n;
#else
  return api_.DispatchTimers ? api_.DispatchTimers() : 0;
#endif
}

void SubstituteHost::Stop() {
  if (!started_ || stopped_) return;
  api_.StopPlug();
  stopped_ = true;
}

bool SubstituteHost::PushSegment(const double counts[6]) {
  const HostBlock& e = blocks().engine;
  const int32_t producer = e.Get(engine::kTrajProducerIndex) & 0xfff;
  const int32_t consumer = e.Get(engine::kTrajConsumerIndex) & 0xfff;
  if (((producer + 1) & 0xfff) == consumer) return false;
  const size_t record = planner::kTrajRingBase + planner::kSegmentRecordSize * producer;
  uint8_t* base = blocks().planner.ByteAt(record);
  std::memset(base, 0, planner::kSegmentRecordSize);
  for (int a = 0; a < 6; ++a) blocks().planner.Store<double>(record + 8 * (4 + a), counts[a]);
  e.Set(engine::kTrajProducerIndex, (producer + 1) & 0xfff);
  return true;
}

int32_t SubstituteHost::QueuedSegments() const {
  const HostBlock& e = blocks().engine;
  return (e.Get(engine::kTrajProducerIndex) - e.Get(engine::kTrajConsumerIndex)) & 0xfff;
}

std::string SubstituteHost::StatusText() const {
  return std::string(host_string::View(blocks().planner.Get(planner::kStatusText)));
}

}  // namespace vaskel::sim
