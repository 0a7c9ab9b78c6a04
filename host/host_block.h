#pragma once
// The one accessor layer for host memory: every field is read and written whole at its byte
// offset. Naturally aligned fields of 1, 2, 4 and 8 bytes use single relaxed atomic loads and
// stores (the host and several plug-in threads share them); anything else is copied with
// memcpy. No structure is ever laid over host memory.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "host/host_layout.h"

namespace vaskel {

class HostBlock {
 public:
  HostBlock() = default;
  explicit HostBlock(void* base) : base_(static_cast<uint8_t*>(base)) {}

  bool valid() const { return base_ != nullptr; }
  uint8_t* base() const { return base_; }
  // Address of a byte, for the few users that keep a reference to one (the awaited signal).
  uint8_t* ByteAt(size_t offset) const { return base_ ? base_ + offset : nullptr; }

  template <class T>
  T Get(Field<T> f) const {
    return Load<T>(f.offset);
  }
  template <class T>
  void Set(Field<T> f, T value) const {
    Store<T>(f.offset, value);
  }
  bool Get(Field<Flag> f) const { return Load<uint8_t>(f.offset) != 0; }
  void Set(Field<Flag> f, bool value) const { Store<uint8_t>(f.offset, value ? 1 : 0); }

  template <class T>
  T Load(size_t offset) const {
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    if (!base_) return value;
    uint8_t* p = base_ + offset;
    if constexpr (kAtomicWidth<T>) {
      if (reinterpret_cast<uintptr_t>(p) % sizeof(T) == 0) {
        __atomic_load(reinterpret_cast<T*>(p), &value, __ATOMIC_RELAXED);
        return value;
      }
    }
    std::memcpy(&value, p, sizeof(T));
    return value;
  }

  template <class T>
  void Store(size_t offset, T value) const {
    static_assert(std::is_trivially_copyable_v<T>);
    if (!base_) return;
    uint8_t* p = base_ + offset;
    if constexpr (kAtomicWidth<T>) {
      if (reinterpret_cast<uintptr_t>(p) % sizeof(T) == 0) {
        __atomic_store(reinterpret_cast<T*>(p), &value, __ATOMIC_RELAXED);
        return;
      }
    }
    std::memcpy(p, &value, sizeof(T));
  }

 private:
  template <class T>
  static constexpr bool kAtomicWidth = sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 ||
                                       sizeof(T) == 8;
  uint8_t* base_ = nullptr;
};

struct HostBlocks {
  HostBlock engine;
  HostBlock setup;
  HostBlock planner;
  HostBlock window;
};

}  // namespace vaskel
