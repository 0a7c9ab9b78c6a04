// What discovery tells the diagnostic log. Without a board the host runs a pass at every
// Update, so a pass is told only when what it saw differs from the pass before.
#include <cstdio>

#include "device/link.h"
#include "platform/wall_time.h"

namespace vaskel {
namespace {

std::string Identity(const HidDeviceInfo& info) {
  char text[64];
  std::snprintf(text, sizeof text, "vendor 0x%04x product 0x%04x release 0x%04x", info.vendor,
                info.product, info.release);
  return text;
}

const char* PassedOver(const HidDeviceInfo& info, uint16_t vendor, uint16_t product,
                       uint16_t release) {
  if (info.vendor != vendor || info.product != product) return "another device";
  if (info.release != release) return "the board's vendor and product, another release";
  return nullptr;
}

}  // namespace

void DeviceLink::AddDumpMark(uint32_t time_ms, std::string text) {
  constexpr size_t kKept = 16;
  if (dump_marks_.size() == kKept) dump_marks_.erase(dump_marks_.begin());
  dump_marks_.push_back({time_ms, std::move(text)});
}

void DeviceLink::LogDiscovery(HidBus& bus, const std::vector<HidDeviceInfo>& interfaces,
                              const HidDeviceInfo* opened, bool port_opened) {
  if (!services_.log.enabled()) return;
  DiagnosticLog& log = services_.log;
  if (opened) {
    discovery_logged_.clear();  // the next pass without a board is told again
    const uint32_t connection = link_starts();
    log.Write(LogStamp(services_.clock) + " link opened: connection " + std::to_string(connection) +
              " to " + opened->path + " (" + Identity(*opened) + ")" +
              (port_opened ? "" : "; the port could not be opened, its writes will fail"));
    AddDumpMark(services_.clock.TickCountMs(),
                "connection " + std::to_string(connection) + " opened");
    return;
  }
  std::vector<std::string> lines;
  char head[160];
  std::snprintf(head, sizeof head,
                "no board: discovery saw %zu HID interface%s, none with vendor 0x%04x product "
                "0x%04x release 0x%04x",
                interfaces.size(), interfaces.size() == 1 ? "" : "s", kVendor, kProduct, kRelease);
  lines.emplace_back(head);
  SeenDeviceTable seen;
  for (const HidDeviceInfo& info : interfaces) {
    const bool duplicate = seen.RecordSeenDevice(info.vendor, info.product, info.release);
    const char* why = PassedOver(info, kVendor, kProduct, kRelease);
    std::string line = "  " + Identity(info) + " at " + info.path + ": ";
    line += why ? why : "the board";
    if (duplicate) line += "; a second interface with this identity (the duplicates message)";
    lines.push_back(std::move(line));
  }
  for (const std::string& note : bus.Unlisted()) lines.push_back("  " + note);
  std::string summary;
  for (const std::string& line : lines) summary += line + "\n";
  if (summary == discovery_logged_) return;
  discovery_logged_ = std::move(summary);
  lines.front() = LogStamp(services_.clock) + " " + lines.front();
  for (const std::string& line : lines) log.Write(line);
}

}  // namespace vaskel
