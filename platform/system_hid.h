#pragma once
// The platform's own USB HID bus: hidapi on Linux, SetupDi/HidD with overlapped I/O on Windows.
#include <memory>

#include "platform/hid.h"

namespace vaskel {

std::unique_ptr<HidBus> MakeSystemHidBus();

}  // namespace vaskel
