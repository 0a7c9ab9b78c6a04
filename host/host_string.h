#pragma once
// The host's string object: reference-counted 8-bit text. A handle points at the first
// character; three int32 stand just before it: reference count, length, capacity. A reference
// count of -1 marks the shared empty string, which is never freed. Memory comes from the C
// runtime's malloc and free, so the host and the plug-in can free each other's buffers.
#include <cstdint>
#include <string_view>

namespace vaskel::host_string {

// A new string holding text, with one reference.
char* Make(std::string_view text);
// The process's shared empty string (reference count -1).
char* SharedEmpty();
// Drops one reference; frees the buffer at zero. Null and the shared empty string are left.
void Release(char* handle);
// Adds one reference (not to the shared empty string).
char* AddRef(char* handle);

int32_t RefCount(const char* handle);
int32_t Length(const char* handle);
int32_t Capacity(const char* handle);
std::string_view View(const char* handle);

// Assigns text to the string whose handle is stored in *slot: in place when the buffer is
// unshared and large enough, otherwise a new buffer goes into *slot and the old one is released.
void Assign(char** slot, std::string_view text);

}  // namespace vaskel::host_string
