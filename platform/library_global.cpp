#include "platform/library_global.h"

#include <atomic>

namespace vaskel {
namespace {

std::atomic<bool> g_process_ending{false};

}  // namespace

void MarkProcessEnding() {
  g_process_ending.store(true, std::memory_order_release);
}

bool ProcessEnding() {
  return g_process_ending.load(std::memory_order_acquire);
}

}  // namespace vaskel
