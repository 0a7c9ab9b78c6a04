#pragma once
// Shared pieces of the profile and dialog tests: a per-test temporary directory, file helpers,
// and a plug-in on the test platform with the real profile document and a headless dialog.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "host/host_string.h"
#include "plugin/plugin_context.h"
#include "platform/headless_dialog_view.h"
#include "platform/posix/profile_pugixml.h"
#include "sim/substitute_host.h"
#include "test_platform.h"

namespace vaskel::testing {

class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("vaskel_") + info->test_suite_name() + "_" + info->name() + "_" +
                       std::to_string(::getpid());
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A plug-in as the host drives it, with zero-filled host blocks.
class ProfilePlugin {
 public:
  ProfilePlugin() {
    platform_.profile_factory_ = [] { return NewPugixmlProfileDocument(); };
    platform_.dialog_factory_ = [this] {
      auto view = std::make_unique<HeadlessDialogView>();
      view_ = view.get();
      return view;
    };
    ctx_ = std::make_unique<PluginContext>(platform_);
  }
  ~ProfilePlugin() {
    ctx_.reset();
    const HostBlock& planner = memory_.blocks().planner;
    host_string::Release(planner.Get(planner::kStatusText));
  }

  void SetProName(const std::string& path) { ctx_->SetProName(host_string::Make(path)); }
  void Init() {
    memory_.blocks().planner.Set(planner::kStatusText, host_string::SharedEmpty());
    ctx_->InitControl(memory_.engine(), memory_.setup(), memory_.planner(), memory_.window());
    ctx_->PostInitControl();
  }
  // SetProName, InitControl and PostInitControl, as the host starts a plug-in.
  void Start(const std::string& path) {
    SetProName(path);
    Init();
  }

  std::string StatusText() const {
    return std::string(host_string::View(memory_.blocks().planner.Get(planner::kStatusText)));
  }
  int32_t device_buffer() { return ctx_->settings().device_buffer.load(); }
  int32_t jog_buffer() { return ctx_->settings().jog_buffer.load(); }

  PluginContext& ctx() { return *ctx_; }
  TestPlatform& platform() { return platform_; }
  // The dialog's view once PostInitControl made it; the view dies at StopPlug.
  HeadlessDialogView* view() { return view_; }

 private:
  TestPlatform platform_;
  sim::HostMemory memory_;
  HeadlessDialogView* view_ = nullptr;
  std::unique_ptr<PluginContext> ctx_;
};

}  // namespace vaskel::testing
