#pragma once
// The socket library is started when the plug-in is loaded; a failure fails the load.
#include <winsock2.h>

namespace vaskel::win32 {

inline constexpr char kSocketsInitFailed[] = "Sockets Init Failed";

using SocketStartupFn = int(WSAAPI*)(WORD version, LPWSADATA data);
using AlertFn = void (*)(const char* text);

// Asks for version 1.1. On failure the user is told through `alert` and false is returned.
bool StartSockets(SocketStartupFn startup, AlertFn alert);
// The library's own start at load, with a modal message box on failure.
bool StartSocketsAtLoad();
// Balances a successful start; does nothing otherwise.
void StopSockets();

}  // namespace vaskel::win32
