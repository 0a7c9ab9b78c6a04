#pragma once
// A platform of fakes for tests: virtual clocks, timers dispatched by the test, cooperative
// workers and a settable HID bus. Each test builds its own.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialog_view.h"
#include "platform/null_hid.h"
#include "platform/platform.h"
#include "platform/profile_document.h"
#include "platform/workers.h"

namespace vaskel::testing {

// A diagnostic log kept in memory; off unless a test turns it on before making its context.
class CapturedLog : public DiagnosticLog {
 public:
  bool enabled() const override { return on; }
  void Write(std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool on = false;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class TestPlatform : public Platform {
 public:
  Clock& clock() override { return clock_; }
  TimerService& timers() override { return timers_; }
  HidBus& hid() override { return hid_ ? *hid_ : null_hid_; }
  Workers& workers() override { return workers_; }
  std::unique_ptr<ProfileDocument> NewProfileDocument() override {
    return profile_factory_ ? profile_factory_() : nullptr;
  }
  std::unique_ptr<DialogView> NewDialogView() override {
    return dialog_factory_ ? dialog_factory_() : nullptr;
  }
  std::string SystemErrorText(uint32_t code) override {
    return code == 31 ? "A device attached to the system is not functioning." : "";
  }
  std::string ModuleBaseName() override { return "vaskel"; }
  DiagnosticLog& log() override { return log_; }

  CapturedLog log_;
  FakeClock clock_;
  SoftTimerQueue timers_{clock_};
  CooperativeWorkers workers_;
  NullHidBus null_hid_;
  HidBus* hid_ = nullptr;
  std::function<std::unique_ptr<ProfileDocument>()> profile_factory_;
  std::function<std::unique_ptr<DialogView>()> dialog_factory_;
};

}  // namespace vaskel::testing
