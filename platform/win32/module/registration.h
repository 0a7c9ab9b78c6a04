#pragma once
// Component registration of the library: its type library, and no classes of its own.
#include <cstdint>

namespace vaskel::win32 {

inline constexpr int32_t kTypeLibRegistrationFailed = static_cast<int32_t>(0x80040200);
inline constexpr int32_t kClassRegistrationFailed = static_cast<int32_t>(0x80040201);

// Registers the type library carried by this library's own file.
int32_t RegisterServer();
// The same from any file that carries the type library resource.
int32_t RegisterServerFrom(const wchar_t* module_path);
int32_t UnregisterServer();

}  // namespace vaskel::win32
