#pragma once
// Which board the plug-in talks to, chosen by the VASKEL_DEVICE environment variable:
// unset or empty, the platform's USB HID bus; "sim", an in-process board simulator;
// "tcp:HOST:PORT[,HOST:PORT...]", emulators over TCP, one HID interface per endpoint.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/tcp_hid.h"

namespace vaskel {

constexpr const char* kDeviceVariable = "VASKEL_DEVICE";

struct DeviceSelection {
  enum class Kind { SystemHid, Simulator, Tcp };
  Kind kind = Kind::SystemHid;
  std::vector<TcpEndpoint> endpoints;
  std::string problem;  // why the value was not understood; the system bus is used then
};

DeviceSelection ParseDeviceSelection(const char* value);
// HOST:PORT or [V6HOST]:PORT; port 0 only when allowed (a listener's ephemeral port).
bool ParseTcpEndpoint(std::string_view text, TcpEndpoint* out, bool allow_port_zero = false);

struct HidBusFactories {
  std::unique_ptr<HidBus> (*system)() = nullptr;
  std::unique_ptr<HidBus> (*tcp)(std::vector<TcpEndpoint>) = nullptr;
  std::unique_ptr<HidBus> (*simulator)(Clock&) = nullptr;
};

struct HidBusChoice {
  HidBus* bus = nullptr;
  std::unique_ptr<HidBus> owned;
  std::string notice;  // for the user when the value was not understood
  // Where the board comes from when it is not the USB bus (an emulator, the simulator), for
  // the diagnostic log: the switch works in the production library too, so say so.
  std::string source;
  // The same in a few words for the log's header and the host's display of the plug-in, and
  // whether it is the USB bus a machine runs on.
  std::string label = "USB HID bus";
  bool usb = true;
};

// A bus lent by a substitute host wins over the variable.
HidBusChoice ChooseHidBus(const char* value, HidBus* lent, Clock& clock,
                          const HidBusFactories& factories);

}  // namespace vaskel
