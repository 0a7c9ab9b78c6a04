#include "platform/win32/module/socket_startup.h"

#include <windows.h>

namespace vaskel::win32 {
namespace {

bool g_started = false;

void ModalAlert(const char* text) {
  // No host window exists yet at load, so the box is modal to the whole task.
  MessageBoxA(nullptr, text, "vaskel", MB_OK | MB_ICONEXCLAMATION | MB_TASKMODAL);
}

}  // namespace

bool StartSockets(SocketStartupFn startup, AlertFn alert) {
  WSADATA data{};
  if (startup(MAKEWORD(1, 1), &data) != 0) {
    alert(kSocketsInitFailed);
    return false;
  }
  g_started = true;
  return true;
}

bool StartSocketsAtLoad() {
  return StartSockets(&WSAStartup, &ModalAlert);
}

void StopSockets() {
  if (!g_started) return;
  g_started = false;
  WSACleanup();
}

}  // namespace vaskel::win32
