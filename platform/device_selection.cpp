#include "platform/device_selection.h"

#include <charconv>
#include <string_view>

namespace vaskel {
namespace {

std::string EndpointList(const std::vector<TcpEndpoint>& endpoints) {
  std::string list;
  for (const TcpEndpoint& e : endpoints) {
    if (!list.empty()) list += ", ";
    const bool v6 = e.host.find(':') != std::string::npos;
    list += (v6 ? "[" + e.host + "]" : e.host) + ":" + std::to_string(e.port);
  }
  return list;
}

}  // namespace

bool ParseTcpEndpoint(std::string_view text, TcpEndpoint* out, bool allow_port_zero) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);  // [::1]:5000
  }
  unsigned value = 0;
  auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (host.empty() || port.empty() || ec != std::errc() || ptr != port.data() + port.size() ||
      (value == 0 && !allow_port_zero) || value > 65535) {
    return false;
  }
  out->host = std::string(host);
  out->port = static_cast<uint16_t>(value);
  return true;
}

DeviceSelection ParseDeviceSelection(const char* value) {
  DeviceSelection selection;
  const std::string_view text = value ? value : "";
  if (text.empty()) return selection;
  if (text == "sim") {
    selection.kind = DeviceSelection::Kind::Simulator;
    return selection;
  }
  if (text.substr(0, 4) == "tcp:") {
    std::string_view rest = text.substr(4);
    std::vector<TcpEndpoint> endpoints;
    while (true) {
      const size_t comma = rest.find(',');
      TcpEndpoint endpoint;
      if (!ParseTcpEndpoint(rest.substr(0, comma), &endpoint)) {
        selection.problem = "bad endpoint '" + std::string(rest.substr(0, comma)) +
                            "' (expected HOST:PORT with PORT 1..65535)";
        return selection;
      }
      endpoints.push_back(endpoint);
      if (comma == std::string_view::npos) break;
      rest = rest.substr(comma + 1);
    }
    selection.kind = DeviceSelection::Kind::Tcp;
    selection.endpoints = std::move(endpoints);
    return selection;
  }
  selection.problem = "unknown value (expected sim or tcp:HOST:PORT[,HOST:PORT...])";
  return selection;
}

HidBusChoice ChooseHidBus(const char* value, HidBus* lent, Clock& clock,
                          const HidBusFactories& factories) {
  HidBusChoice choice;
  if (lent) {
    choice.bus = lent;
    choice.label = "board lent by the substitute host";
    choice.usb = false;
    return choice;
  }
  const DeviceSelection selection = ParseDeviceSelection(value);
  if (!selection.problem.empty()) {
    choice.notice = std::string("vaskel: ") + kDeviceVariable + "=\"" + value +
                    "\" not used: " + selection.problem + "; using the USB HID bus";
  }
  switch (selection.kind) {
    case DeviceSelection::Kind::Simulator:
      if (factories.simulator) choice.owned = factories.simulator(clock);
      if (choice.owned) {
        choice.source = std::string("vaskel: board from the in-process simulator (") +
                        kDeviceVariable + "=sim)";
        choice.label = "simulator";
        choice.usb = false;
      }
      break;
    case DeviceSelection::Kind::Tcp:
      if (factories.tcp) choice.owned = factories.tcp(selection.endpoints);
      if (choice.owned) {
        choice.source = "vaskel: board from the emulator at " + EndpointList(selection.endpoints) +
                        " (" + kDeviceVariable + ")";
        choice.label = "emulator at " + EndpointList(selection.endpoints);
        choice.usb = false;
      }
      break;
    case DeviceSelection::Kind::SystemHid:
      break;
  }
  if (!choice.owned && factories.system) choice.owned = factories.system();
  choice.bus = choice.owned.get();
  return choice;
}

}  // namespace vaskel
