#include "sim/board/sim_hid_bus.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>

namespace vaskel::sim {
namespace {

class SimBoardPort : public HidPort {
 public:
  SimBoardPort(BoardSimulator& board, uint64_t generation)
      : board_(board), generation_(generation) {}
  ~SimBoardPort() override { Close(); }

  uint32_t StartWrite(const uint8_t report[kReportSize]) override {
    if (closed_.load(std::memory_order_acquire)) return hid_error::kInvalidHandle;
    std::lock_guard lock(write_mutex_);
    if (board_.generation() != generation_) return hid_error::kDeviceNotConnected;
    const uint32_t result = board_.Write(report, kReportSize);
    if (result == hid_error::kIoPending) {
      std::memcpy(pending_.data(), report, kReportSize);
      has_pending_ = true;
    }
    return result;
  }

  bool WaitWriteDone(uint32_t timeout_ms) override {
    {
      std::lock_guard lock(write_mutex_);
      if (!has_pending_) return true;
    }
    board_.WaitWhileStalled(static_cast<int>(timeout_ms), generation_, &closed_);
    std::lock_guard lock(write_mutex_);
    if (!has_pending_) return true;
    if (closed_.load(std::memory_order_acquire) || board_.generation() != generation_) {
      has_pending_ = false;  // abandoned with the connection, never delivered
      result_ = closed_.load(std::memory_order_acquire) ? hid_error::kInvalidHandle
                                                        : hid_error::kDeviceNotConnected;
      return true;
    }
    // The stall has ended: the write that waited goes through now.
    if (board_.Write(pending_.data(), kReportSize) == hid_error::kIoPending) return false;
    has_pending_ = false;
    result_ = hid_error::kNone;
    return true;
  }

  uint32_t LastWriteResult() override {
    std::lock_guard lock(write_mutex_);
    return result_;
  }

  int Read(uint8_t report[kReportSize], int timeout_ms) override {
    return board_.TakeReply(report, timeout_ms, generation_, &closed_);
  }

  void Close() override {
    closed_.store(true, std::memory_order_release);
    board_.Kick();
  }

 private:
  BoardSimulator& board_;
  const uint64_t generation_;
  std::atomic<bool> closed_{false};
  std::mutex write_mutex_;
  std::array<uint8_t, kReportSize> pending_{};
  bool has_pending_ = false;
  uint32_t result_ = hid_error::kNone;
};

// An interface that is not the board: takes every write and never answers.
class SilentPort : public HidPort {
 public:
  uint32_t StartWrite(const uint8_t*) override {
    std::lock_guard lock(mutex_);
    return closed_ ? hid_error::kInvalidHandle : hid_error::kNone;
  }
  bool WaitWriteDone(uint32_t) override { return true; }
  int Read(uint8_t*, int timeout_ms) override {
    std::unique_lock lock(mutex_);
    const auto limit = std::chrono::milliseconds(timeout_ms < 0 ? 100 : timeout_ms);
    cv_.wait_for(lock, limit, [&] { return closed_; });
    return closed_ ? -1 : 0;
  }
  void Close() override {
    std::lock_guard lock(mutex_);
    closed_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool closed_ = false;
};

class StandaloneSimBus : public HidBus {
 public:
  explicit StandaloneSimBus(Clock& clock) : board_(clock), bus_(board_) {}
  std::vector<HidDeviceInfo> Enumerate() override { return bus_.Enumerate(); }
  std::unique_ptr<HidPort> Open(const std::string& path) override { return bus_.Open(path); }

 private:
  BoardSimulator board_;
  SimHidBus bus_;
};

}  // namespace

std::string SimHidBus::AddInterface(uint16_t vendor, uint16_t product, uint16_t release,
                                    Place place, bool opens) {
  std::lock_guard lock(mutex_);
  Extra extra{
      {vendor, product, release, "sim:extra:" + std::to_string(extras_.size())}, place, opens};
  extras_.push_back(extra);
  return extra.info.path;
}

void SimHidBus::RemoveExtraInterfaces() {
  std::lock_guard lock(mutex_);
  extras_.clear();
}

std::vector<HidDeviceInfo> SimHidBus::Enumerate() {
  const bool board_present = board_.plugged();
  std::lock_guard lock(mutex_);
  ++enumerations_;
  std::vector<HidDeviceInfo> list;
  for (const Extra& e : extras_) {
    if (e.place == Place::BeforeBoard) list.push_back(e.info);
  }
  if (board_present) list.push_back({kBoardVendor, kBoardProduct, kBoardRelease, kBoardPath});
  for (const Extra& e : extras_) {
    if (e.place == Place::AfterBoard) list.push_back(e.info);
  }
  return list;
}

std::unique_ptr<HidPort> SimHidBus::Open(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    ++opens_[path];
    if (path != kBoardPath) {
      auto it = std::find_if(extras_.begin(), extras_.end(),
                             [&](const Extra& e) { return e.info.path == path; });
      if (it == extras_.end() || !it->opens) return nullptr;
      return std::make_unique<SilentPort>();
    }
  }
  if (!board_.plugged()) return nullptr;
  return std::make_unique<SimBoardPort>(board_, board_.generation());
}

int SimHidBus::open_count(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = opens_.find(path);
  return it == opens_.end() ? 0 : it->second;
}

int SimHidBus::enumerate_count() const {
  std::lock_guard lock(mutex_);
  return enumerations_;
}

std::unique_ptr<HidBus> MakeStandaloneSimBus(Clock& clock) {
  return std::make_unique<StandaloneSimBus>(clock);
}

}  // namespace vaskel::sim
