#include "wine_support.h"

#include <tlhelp32.h>

namespace wine_tests {
namespace {

std::string g_plugin_path;

}  // namespace

void SetPluginPath(const std::string& path) {
  g_plugin_path = path;
}

const std::string& PluginPath() {
  return g_plugin_path;
}

const std::string& ScratchDir() {
  static const std::string dir = [] {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    std::string path = std::string(temp) + "vaskel-wine-tests\\";
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
  }();
  return dir;
}

size_t CountProcessThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD self = GetCurrentProcessId();
  size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

int MessagePump::DispatchPending() {
  int ticks = 0;
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_TIMER) {
      ++ticks;
      last_tick_ms_ = GetTickCount();
      last_timer_id_ = msg.wParam;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return ticks;
}

int MessagePump::PumpFor(uint32_t ms) {
  const uint32_t start = GetTickCount();
  int ticks = DispatchPending();
  for (;;) {
    const uint32_t elapsed = GetTickCount() - start;
    if (elapsed >= ms) return ticks;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    ticks += DispatchPending();
  }
}

int MessagePump::PumpUntilQuiet(uint32_t quiet_ms, uint32_t limit_ms) {
  const uint32_t start = GetTickCount();
  uint32_t last_activity = start;
  int ticks = 0;
  for (;;) {
    const int n = DispatchPending();
    const uint32_t now = GetTickCount();
    if (n) last_activity = now;
    ticks += n;
    if (now - last_activity >= quiet_ms || now - start >= limit_ms) return ticks;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

}  // namespace wine_tests
