#include "host/host_string.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace vaskel::host_string {
namespace {

struct Header {
  int32_t refs;
  int32_t length;
  int32_t capacity;
};
constexpr size_t kHeaderSize = sizeof(Header);
static_assert(kHeaderSize == 12);

// One field of the header; the count is read on its own, atomically (Refs).
int32_t ReadField(const char* handle, size_t offset) {
  int32_t value;
  std::memcpy(&value, handle - kHeaderSize + offset, sizeof value);
  return value;
}

void WriteHeader(char* handle, const Header& h) {
  std::memcpy(handle - kHeaderSize, &h, kHeaderSize);
}

// The host's string runtime changes the count with interlocked operations, from its own
// threads too; so does the plug-in. The header is 4-byte aligned, as those operations need.
std::atomic_ref<int32_t> Refs(const char* handle) {
  return std::atomic_ref<int32_t>(
      *reinterpret_cast<int32_t*>(const_cast<char*>(handle) - kHeaderSize));
}

void WriteLength(char* handle, int32_t length) {
  std::memcpy(handle - kHeaderSize + offsetof(Header, length), &length, sizeof length);
}

// Header plus one terminating byte, so a shared empty string reads as "".
struct SharedEmptyStorage {
  alignas(4) char bytes[kHeaderSize + 1];
  SharedEmptyStorage() {
    Header h{-1, 0, 0};
    std::memcpy(bytes, &h, kHeaderSize);
    bytes[kHeaderSize] = '\0';
  }
};

}  // namespace

char* Make(std::string_view text) {
  const auto length = static_cast<int32_t>(text.size());
  char* block = static_cast<char*>(std::malloc(kHeaderSize + text.size() + 1));
  if (!block) return nullptr;
  char* handle = block + kHeaderSize;
  WriteHeader(handle, {1, length, length});
  std::memcpy(handle, text.data(), text.size());
  handle[length] = '\0';
  return handle;
}

char* SharedEmpty() {
  static SharedEmptyStorage storage;
  return storage.bytes + kHeaderSize;
}

void Release(char* handle) {
  if (!handle) return;
  std::atomic_ref<int32_t> refs = Refs(handle);
  if (refs.load(std::memory_order_relaxed) < 0) return;
  if (refs.fetch_sub(1, std::memory_order_acq_rel) - 1 <= 0) std::free(handle - kHeaderSize);
}

char* AddRef(char* handle) {
  if (!handle) return handle;
  std::atomic_ref<int32_t> refs = Refs(handle);
  if (refs.load(std::memory_order_relaxed) >= 0) refs.fetch_add(1, std::memory_order_relaxed);
  return handle;
}

int32_t RefCount(const char* handle) {
  return handle ? Refs(handle).load(std::memory_order_acquire) : 0;
}
int32_t Length(const char* handle) {
  return handle ? ReadField(handle, offsetof(Header, length)) : 0;
}
int32_t Capacity(const char* handle) {
  return handle ? ReadField(handle, offsetof(Header, capacity)) : 0;
}

std::string_view View(const char* handle) {
  if (!handle) return {};
  return {handle, static_cast<size_t>(ReadField(handle, offsetof(Header, length)))};
}

void Assign(char** slot, std::string_view text) {
  char* current = *slot;
  const auto length = static_cast<int32_t>(text.size());
  // In place only while we hold the one reference; the count itself is never written here.
  if (current && RefCount(current) == 1 && Capacity(current) >= length) {
    std::memmove(current, text.data(), text.size());
    current[length] = '\0';
    WriteLength(current, length);
    return;
  }
  char* fresh = Make(text);
  if (!fresh) return;  // out of memory: the old text stays
  *slot = fresh;
  Release(current);
}

}  // namespace vaskel::host_string
