#pragma once
// A substitute host may lend the plug-in its clock and its HID bus, and ask for cooperative
// workers, by exporting this C function from its executable. The plug-in looks it up once,
// when its platform is made; a real host exports nothing of the kind.
#include "platform/clock.h"
#include "platform/hid.h"

namespace vaskel {

struct HostEnvironment {
  Clock* clock = nullptr;    // null: the platform's clocks
  HidBus* hid = nullptr;     // null: chosen by VASKEL_DEVICE, else the platform's HID bus
  bool cooperative = false;  // workers are stepped from DispatchTimers instead of threads
};

}  // namespace vaskel

extern "C" {
typedef vaskel::HostEnvironment* (*VaskelHostEnvironmentFn)(void);
}
#define VASKEL_HOST_ENVIRONMENT_SYMBOL "VaskelHostEnvironment"
