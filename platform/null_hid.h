#pragma once
#include "platform/hid.h"

namespace vaskel {

// A bus with nothing on it.
class NullHidBus : public HidBus {
 public:
  std::vector<HidDeviceInfo> Enumerate() override { return {}; }
  std::unique_ptr<HidPort> Open(const std::string&) override { return nullptr; }
};

}  // namespace vaskel
