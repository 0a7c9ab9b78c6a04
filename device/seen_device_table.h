#pragma once
// The HID identities met during one discovery pass, to notice two interfaces that claim the
// same vendor, product and release.
#include <array>
#include <cstdint>

namespace vaskel {

class SeenDeviceTable {
 public:
  static constexpr int kEntries = 100;

  void Clear() { entries_ = {}; }
  // True when the triple was already met; otherwise stores it in the first free entry (when
  // one is left) and returns false. An entry with vendor 0 is free.
  bool RecordSeenDevice(int32_t vendor, int32_t product, int32_t release) {
    for (Entry& e : entries_) {
      if (e.vendor == 0) {
        e = {vendor, product, release};
        return false;
      }
      if (e.vendor == vendor && e.product == product && e.release == release) return true;
    }
    return false;
  }
  int used() const {
    int n = 0;
    for (const Entry& e : entries_) n += e.vendor != 0 ? 1 : 0;
    return n;
  }

 private:
  struct Entry {
    int32_t vendor = 0;
    int32_t product = 0;
    int32_t release = 0;
  };
  std::array<Entry, kEntries> entries_{};
};

}  // namespace vaskel
