#pragma once
// The plug-in on the system's HID bus, driven as a host drives it (Update every 50 ms, its
// timer ticks pumped), with every status text it showed kept in order: what the USB cases and
// the USB bench under Wine share.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"
#include "wine_support.h"

namespace wine_tests {

extern const std::string kConnected;
extern const std::string kPulledOut;
constexpr const char* kBoard = "8888:0006:0100";
// Generous bounds for Wine on an emulated machine: they catch a hang, not a slow step. Wine's
// udev backend offers a newly bound board some seconds after the kernel has it. StopPlug
// writes the profile through Wine's MSXML (up to 2.3 s there), waits for the link workers'
// steps in hand (the sender's ends within about 0.1 s of slow writes) and for a HID transfer
// still in the system's hands (0.5 s each), and writes the log's dump: 0.2 to 6.1 s measured
// on two busy cores.
constexpr uint32_t kMessageMs = 60000;
constexpr uint32_t kStopBoundMs = 10000;

// True under Wine rather than Windows.
bool UnderWine();

class UsbHost {
 public:
  UsbHost();
  ~UsbHost();
  UsbHost(const UsbHost&) = delete;
  UsbHost& operator=(const UsbHost&) = delete;

  bool loaded() const { return loaded_; }
  vaskel::sim::SubstituteHost& host() { return *host_; }

  template <class Done>
  bool RunUntil(uint32_t limit_ms, Done done) {
    return wine_tests::RunUntil(*host_, pump_, limit_ms, [&] {
      Record();
      return done();
    });
  }
  void Run(uint32_t ms) {
    RunUntil(ms, [] { return false; });
  }
  bool RunUntilStatus(const std::string& text, uint32_t limit_ms = kMessageMs);
  // Forgets the texts shown so far and runs until `text` is shown.
  bool RunUntilShown(const std::string& text, uint32_t limit_ms = kMessageMs);
  bool Shown(const std::string& text) const;
  // The link closed since the host started: message 3 seen, or the close in the plug-in's
  // diagnostic log (message 3 may be followed at once by a failed write's system text).
  bool LinkClosed() const;
  // The system tick count (GetTickCount) at which the plug-in's log says the link first
  // closed; false while it has not.
  bool LinkClosedAt(DWORD* tick) const;
  // StopPlug, checked against its bound; the time it took.
  uint32_t StopPlug();

 private:
  void Record();

  const DWORD born_ = GetTickCount();
  MessagePump pump_;
  vaskel::sim::LoadedPlugin library_;
  bool loaded_ = false;
  std::unique_ptr<vaskel::sim::SubstituteHost> host_;
  std::vector<std::string> statuses_;
  std::string log_path_;
};

}  // namespace wine_tests
