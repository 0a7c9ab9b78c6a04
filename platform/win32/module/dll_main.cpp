// The library's load and unload. Everything with threads or timers has already been ended by
// StopPlug: nothing here may wait, since the loader lock is held.
#include <windows.h>

#include "platform/win32/module/socket_startup.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return vaskel::win32::StartSocketsAtLoad() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      // At process exit the system reclaims the sockets; only an unload gives them back.
      if (reserved == nullptr) vaskel::win32::StopSockets();
      break;
    default:
      break;
  }
  return TRUE;
}
