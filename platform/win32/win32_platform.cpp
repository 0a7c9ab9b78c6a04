// The Windows platform: GetTickCount, window timers without a window (SetTimer), threads with
// Windows priorities, FormatMessageA texts and the module's own file name.
#include <windows.h>
// winpthreads: std::thread handles are pthread_t; pthread_gethandle gives the Windows handle.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/device_selection.h"
#include "platform/diagnostic_log.h"
#include "platform/dialog_view.h"
#include "platform/library_global.h"
#include "platform/null_hid.h"
#include "platform/platform.h"
#include "platform/profile_document.h"
#include "platform/standalone_sim_bus.h"
#include "platform/system_hid.h"
#include "platform/win32/dialog_view_win32.h"
#include "platform/win32/profile_msxml.h"
#include "platform/workers.h"

namespace vaskel {
namespace {

class Win32Clock : public Clock {
 public:
  uint32_t TickCountMs() override { return GetTickCount(); }
  int64_t WallSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }
  int64_t WallMillis() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  uint64_t MonotonicMicros() override {
    LARGE_INTEGER count{}, frequency{};
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    if (frequency.QuadPart <= 0) return uint64_t{GetTickCount()} * 1000u;
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    const uint64_t c = static_cast<uint64_t>(count.QuadPart);
    return c / f * 1000000u + c % f * 1000000u / f;
  }
};

// A window timer has no user pointer, so the callback finds its target in a table. The table
// belongs to the one timer service, which the platform owns and which outlives the plug-in
// context that starts and kills the timers, whatever way the process or library ends.
class Win32Timers : public TimerService {
 public:
  Win32Timers() { instance_.store(this, std::memory_order_release); }
  ~Win32Timers() override {
    instance_.store(nullptr, std::memory_order_release);
    std::lock_guard lock(mutex_);
    for (const auto& [id, entry] : entries_) KillTimer(nullptr, id);
  }

  TimerId Start(uint32_t period_ms, TimerCallback callback, void* user) override {
    const UINT_PTR id = SetTimer(nullptr, 1, period_ms, &Win32Timers::Proc);
    if (id == 0) return 0;
    std::lock_guard lock(mutex_);
    entries_[id] = {callback, user};
    return id;
  }
  void Kill(TimerId id) override {
    KillTimer(nullptr, id);
    std::lock_guard lock(mutex_);
    entries_.erase(id);
  }

 private:
  struct Entry {
    TimerCallback callback;
    void* user;
  };

  static void CALLBACK Proc(HWND, UINT, UINT_PTR id, DWORD) {
    Win32Timers* self = instance_.load(std::memory_order_acquire);
    if (!self) return;
    Entry entry{};
    {
      std::lock_guard lock(self->mutex_);
      auto it = self->entries_.find(id);
      if (it == self->entries_.end()) return;
      entry = it->second;
    }
    entry.callback(entry.user, id);
  }

  static inline std::atomic<Win32Timers*> instance_{nullptr};
  std::mutex mutex_;
  std::map<UINT_PTR, Entry> entries_;
};

void SetWin32Priority(std::thread& thread, WorkerPriority priority) {
  if (priority == WorkerPriority::AboveNormal) {
    SetThreadPriority(pthread_gethandle(thread.native_handle()), THREAD_PRIORITY_ABOVE_NORMAL);
  }
}

// SetThreadDescription exists from Windows 10 1607 on; older systems (and Wine) may lack it.
void NameWin32Thread(const char* name) {
  using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set_description = reinterpret_cast<SetDescriptionFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
  if (!set_description) return;
  wchar_t wide[64] = {};
  for (size_t i = 0; i + 1 < std::size(wide) && name[i]; ++i) {
    wide[i] = static_cast<unsigned char>(name[i]);
  }
  set_description(GetCurrentThread(), wide);
}

class Win32Platform : public Platform {
 public:
  Win32Platform() : workers_(&SetWin32Priority, &NameWin32Thread) {
    log_.Open(std::getenv(kLogVariable), [](const char* text) { WriteDiagnostic(text); });
    HidBusChoice choice =
        ChooseHidBus(std::getenv(kDeviceVariable), nullptr, clock_,
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
  Clock& clock() override { return clock_; }
  TimerService& timers() override { return timers_; }
  HidBus& hid() override { return *hid_; }
  Workers& workers() override { return workers_; }
  DiagnosticLog& log() override { return log_; }
  void Diagnostic(std::string_view line) override { WriteDiagnostic(line); }
  std::string BoardSource() override { return board_source_; }
  bool BoardIsUsb() override { return board_is_usb_; }
  std::unique_ptr<ProfileDocument> NewProfileDocument() override {
    return NewMsxmlProfileDocument();
  }
  std::unique_ptr<DialogView> NewDialogView() override { return NewWin32DialogView(); }

  std::string SystemErrorText(uint32_t code) override {
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buffer),
        0, nullptr);
    std::string text = n && buffer ? std::string(buffer, n) : std::string();
    if (buffer) LocalFree(buffer);
    return text;
  }

  std::string ModulePath() override {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&SetWin32Priority), &module);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    return path;
  }

  std::string ModuleBaseName() override {
    std::string name = ModulePath();
    if (auto slash = name.find_last_of("\\/"); slash != std::string::npos) name.erase(0, slash + 1);
    if (auto dot = name.find_last_of('.'); dot != std::string::npos) name.erase(dot);
    return name;
  }

 private:
  FileDiagnosticLog log_;
  std::string board_source_;
  bool board_is_usb_ = true;
  Win32Clock clock_;
  Win32Timers timers_;
  NullHidBus null_hid_;
  std::unique_ptr<HidBus> own_hid_;
  HidBus* hid_ = nullptr;
  ThreadWorkers workers_;
};

}  // namespace

Platform& DefaultPlatform() {
  // Made before the plug-in context that uses it, so destroyed after it.
  static LibraryGlobal<Win32Platform> platform;
  return *platform;
}

}  // namespace vaskel
