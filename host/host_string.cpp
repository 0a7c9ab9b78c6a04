#include "host/host_string.h"

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

Header ReadHeader(const char* handle) {
  Header h;
  std::memcpy(&h, handle - kHeaderSize, kHeaderSize);
  return h;
}

void WriteHeader(char* handle, const Header& h) {
  std::memcpy(handle - kHeaderSize, &h, kHeaderSize);
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
  Header h = ReadHeader(handle);
  if (h.refs < 0) return;
  if (--h.refs <= 0) {
    std::free(handle - kHeaderSize);
    return;
  }
  WriteHeader(handle, h);
}

char* AddRef(char* handle) {
  if (!handle) return handle;
  Header h = ReadHeader(handle);
  if (h.refs >= 0) {
    ++h.refs;
    WriteHeader(handle, h);
  }
  return handle;
}

int32_t RefCount(const char* handle) {
  return handle ? ReadHeader(handle).refs : 0;
}
int32_t Length(const char* handle) {
  return handle ? ReadHeader(handle).length : 0;
}
int32_t Capacity(const char* handle) {
  return handle ? ReadHeader(handle).capacity : 0;
}

std::string_view View(const char* handle) {
  if (!handle) return {};
  return {handle, static_cast<size_t>(ReadHeader(handle).length)};
}

void Assign(char** slot, std::string_view text) {
  char* current = *slot;
  const auto length = static_cast<int32_t>(text.size());
  if (current) {
    Header h = ReadHeader(current);
    if (h.refs == 1 && h.capacity >= length) {
      std::memmove(current, text.data(), text.size());
      current[length] = '\0';
      h.length = length;
      WriteHeader(current, h);
      return;
    }
  }
  char* fresh = Make(text);
  if (!fresh) return;  // out of memory: the old text stays
  *slot = fresh;
  Release(current);
}

}  // namespace vaskel::host_string
