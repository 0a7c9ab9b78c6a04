#include "usb_host.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "harness.h"
#include "host/host_layout.h"

namespace wine_tests {

using namespace vaskel;

const std::string kConnected = "vaskel device is connnected to your computer!";
const std::string kPulledOut = "vaskel device is pulled out, check your cable!";

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

UsbHost::UsbHost() {
  _putenv("VASKEL_DEVICE=");  // the system's HID bus
  // One log per host, kept with the guest's logs by scripts/usb-vm-test.sh, where each case is
  // a program of its own: the program's start time keeps one case's logs from the next's.
  static const std::string program = std::to_string(GetTickCount());
  static int hosts = 0;
  log_path_ = ScratchDir() + "usb-link-" + program + "-" + std::to_string(++hosts) + ".log";
  DeleteFileA(log_path_.c_str());
  _putenv(("VASKEL_LOG=" + log_path_).c_str());
  std::string error;
  loaded_ = library_.Load(PluginPath(), &error);
  if (!loaded_) {
    std::printf("  %s\n", error.c_str());
    return;
  }
  host_ = std::make_unique<sim::SubstituteHost>(library_.api());
  host_->Start(ScratchDir() + "usb-profile.xml");
  host_->blocks().engine.Set(engine::kAxisEnabled[0], true);
  host_->blocks().engine.Set(engine::kAxisEnabled[1], true);
}

UsbHost::~UsbHost() {
  if (host_) StopPlug();
  library_.Unload();
  _putenv("VASKEL_LOG=");
}

bool UsbHost::RunUntilStatus(const std::string& text, uint32_t limit_ms) {
  return RunUntil(limit_ms, [&] { return host_->StatusText() == text; });
}

bool UsbHost::RunUntilShown(const std::string& text, uint32_t limit_ms) {
  statuses_.clear();
  return RunUntil(limit_ms, [&] { return Shown(text); });
}

bool UsbHost::Shown(const std::string& text) const {
  for (const std::string& s : statuses_) {
    if (s == text) return true;
  }
  return false;
}

bool UsbHost::LinkClosed() const {
  DWORD tick = 0;
  return Shown(kPulledOut) || LinkClosedAt(&tick);
}

bool UsbHost::LinkClosedAt(DWORD* tick) const {
  std::ifstream in(log_path_);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("link closed") == std::string::npos) continue;
    // "date time [TICK ms] link closed: ..."
    const size_t open = line.find('[');
    unsigned long at = 0;
    if (open == std::string::npos || std::sscanf(line.c_str() + open, "[%lu ms]", &at) != 1) {
      return false;
    }
    *tick = static_cast<DWORD>(at);
    return true;
  }
  return false;
}

uint32_t UsbHost::StopPlug() {
  std::printf("  StopPlug at %lu ms\n", static_cast<unsigned long>(GetTickCount() - born_));
  std::fflush(stdout);
  const DWORD start = GetTickCount();
  host_->Stop();
  const DWORD took = GetTickCount() - start;
  std::printf("  StopPlug returned in %lu ms\n", static_cast<unsigned long>(took));
  std::fflush(stdout);
  CHECK(took < kStopBoundMs);
  host_.reset();
  return took;
}

void UsbHost::Record() {
  const std::string status = host_->StatusText();
  if (!statuses_.empty() && statuses_.back() == status) return;
  statuses_.push_back(status);
  std::printf("  %lu ms: \"%s\"\n", static_cast<unsigned long>(GetTickCount() - born_),
              status.c_str());
  std::fflush(stdout);
}

}  // namespace wine_tests
