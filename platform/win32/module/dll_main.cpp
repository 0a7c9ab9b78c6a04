// The library's load and unload. Everything with threads or timers has already been ended by
// StopPlug: nothing here may wait, since the loader lock is held.
#include <windows.h>

#include "platform/library_global.h"
#include "platform/win32/module/socket_startup.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return vaskel::win32::StartSocketsAtLoad() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      // Runs before the runtime destroys the globals. At process exit the other threads are
      // already gone and the system reclaims everything: the globals are left alone then.
      // Only an unload gives the sockets back.
      if (reserved != nullptr) {
        vaskel::MarkProcessEnding();
      } else {
        vaskel::win32::StopSockets();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
