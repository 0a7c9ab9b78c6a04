// The Linux platform: monotonic and calendar clocks, timers dispatched by the host's loop
// (DispatchTimers), std::thread workers, hidapi for the board, pugixml for the profile and a
// headless settings dialog.
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/device_selection.h"
#include "platform/diagnostic_log.h"
#include "platform/dialog_view.h"
#include "platform/headless_dialog_view.h"
#include "platform/host_environment.h"
#include "platform/null_hid.h"
#include "platform/platform.h"
#include "platform/posix/profile_pugixml.h"
#include "platform/profile_document.h"
#include "platform/standalone_sim_bus.h"
#include "platform/system_hid.h"
#include "platform/workers.h"

namespace vaskel {
namespace {

class PosixClock : public Clock {
 public:
  uint32_t TickCountMs() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
  }
  int64_t WallSeconds() override { return static_cast<int64_t>(::time(nullptr)); }
  int64_t WallMillis() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  uint64_t MonotonicMicros() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
  }
};

// Linux keeps at most 15 characters of a thread's name.
void NamePosixThread(const char* name) {
  char shortened[16] = {};
  std::strncpy(shortened, name, sizeof shortened - 1);
  pthread_setname_np(pthread_self(), shortened);
}

std::string BaseNameWithoutExtension(const char* path) {
  std::string name = path ? path : "";
  if (auto slash = name.find_last_of('/'); slash != std::string::npos) name.erase(0, slash + 1);
  if (auto dot = name.find_last_of('.'); dot != std::string::npos) name.erase(dot);
  return name;
}

class PosixPlatform : public Platform {
 public:
  PosixPlatform() {
    // First, so that whatever follows may log.
    log_.Open(std::getenv(kLogVariable), [](const char* text) { WriteDiagnostic(text); });
    auto hook = reinterpret_cast<VaskelHostEnvironmentFn>(
        dlsym(RTLD_DEFAULT, VASKEL_HOST_ENVIRONMENT_SYMBOL));
    HostEnvironment* env = hook ? hook() : nullptr;
    clock_ = env && env->clock ? env->clock : &own_clock_;
    timers_ = std::make_unique<SoftTimerQueue>(*clock_);
    if (env && env->cooperative) {
      workers_ = std::make_unique<CooperativeWorkers>();
    } else {
      workers_ = std::make_unique<ThreadWorkers>(nullptr, &NamePosixThread);
    }
    HidBusChoice choice =
        ChooseHidBus(std::getenv(kDeviceVariable), env ? env->hid : nullptr, *clock_,
                     {&MakeSystemHidBus, &MakeTcpHidBus, &sim::MakeStandaloneSimBus});
    for (const std::string* line : {&choice.notice, &choice.source}) {
      if (line->empty()) continue;
      WriteDiagnostic(*line);
      log_.Write(*line);
    }
    board_source_ = choice.label;
    board_is_usb_ = choice.usb;
    own_hid_ = std::move(choice.owned);
    hid_ = choice.bus ? choice.bus : &null_hid_;
  }

  Clock& clock() override { return *clock_; }
  TimerService& timers() override { return *timers_; }
  HidBus& hid() override { return *hid_; }
  Workers& workers() override { return *workers_; }
  DiagnosticLog& log() override { return log_; }
  void Diagnostic(std::string_view line) override { WriteDiagnostic(line); }
  std::string BoardSource() override { return board_source_; }
  bool BoardIsUsb() override { return board_is_usb_; }
  std::unique_ptr<ProfileDocument> NewProfileDocument() override {
    return NewPugixmlProfileDocument();
  }
  std::unique_ptr<DialogView> NewDialogView() override {
    return std::make_unique<HeadlessDialogView>();
  }

  std::string SystemErrorText(uint32_t code) override {
    // The link reports errors in the Windows numbering; these are the ones Linux backends use.
    switch (code) {
      case hid_error::kInvalidHandle:
        return "The handle is invalid.";
      case hid_error::kGenFailure:
        return "A device attached to the system is not functioning.";
      case hid_error::kDeviceNotConnected:
        return "The device is not connected.";
      default:
        return {};
    }
  }

  std::string ModuleBaseName() override {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&BaseNameWithoutExtension), &info) && info.dli_fname) {
      return BaseNameWithoutExtension(info.dli_fname);
    }
    return "vaskel";
  }

  std::string ModulePath() override {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&BaseNameWithoutExtension), &info) && info.dli_fname) {
      char resolved[PATH_MAX];
      if (realpath(info.dli_fname, resolved)) return resolved;
      return info.dli_fname;
    }
    return "(unknown)";
  }

 private:
  FileDiagnosticLog log_;
  std::string board_source_;
  bool board_is_usb_ = true;
  PosixClock own_clock_;
  Clock* clock_ = nullptr;
  std::unique_ptr<SoftTimerQueue> timers_;
  // Declared before the workers, so their threads stop before a bus of our own goes.
  std::unique_ptr<HidBus> own_hid_;
  std::unique_ptr<Workers> workers_;
  NullHidBus null_hid_;
  HidBus* hid_ = nullptr;
};

}  // namespace

Platform& DefaultPlatform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace vaskel
