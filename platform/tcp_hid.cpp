// The emulator link over the socket seam. Sockets are non-blocking; every wait is bounded, and
// Close shuts the socket down so a blocked Read wakes at once.
#include "platform/tcp_hid.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/tcp_socket.h"

namespace vaskel {
namespace {

constexpr int kHelloTimeoutMs = 1000;
constexpr int kWaitSliceMs = 100;

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// Whether a failed call only means "not now".
bool Retry(SocketError error) {
  return error == SocketError::kWouldBlock || error == SocketError::kInterrupted;
}

// Reads exactly n bytes within the time-out; false on time-out, error or end of stream.
bool ReadExact(TcpSocket& socket, uint8_t* out, size_t n, int timeout_ms) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  size_t have = 0;
  while (have < n) {
    if (!socket.WaitReadable(MsLeft(deadline))) return false;
    const ptrdiff_t got = socket.Recv(out + have, n - have);
    if (got == 0) return false;
    if (got < 0 && !Retry(socket.LastError())) return false;
    if (got > 0) have += static_cast<size_t>(got);
  }
  return true;
}

class TcpHidPort : public HidPort {
 public:
  explicit TcpHidPort(std::unique_ptr<TcpSocket> socket) : socket_(std::move(socket)) {}
  ~TcpHidPort() override { Close(); }

  uint32_t StartWrite(const uint8_t report[kReportSize]) override {
    if (closed_.load(std::memory_order_acquire)) return hid_error::kInvalidHandle;
    std::lock_guard lock(write_mutex_);
    if (PeerGone()) return hid_error::kDeviceNotConnected;
    std::memcpy(out_, report, kReportSize);
    out_sent_ = 0;
    out_pending_ = true;
    const uint32_t result = SendSome();
    if (result != hid_error::kNone) {
      out_pending_ = false;
      return result;
    }
    // An emulator that stops reading leaves the report half sent: a write in flight.
    return out_pending_ ? hid_error::kIoPending : hid_error::kNone;
  }

  bool WaitWriteDone(uint32_t timeout_ms) override {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      {
        std::lock_guard lock(write_mutex_);
        if (!out_pending_) return true;
        if (closed_.load(std::memory_order_acquire) || SendSome() != hid_error::kNone) {
          out_pending_ = false;  // the connection is gone; nothing is in flight any more
          return true;
        }
        if (!out_pending_) return true;
      }
      const int left = MsLeft(deadline);
      if (left == 0) return false;
      socket_->WaitWritable(std::min(left, kWaitSliceMs));
    }
  }

  int Read(uint8_t report[kReportSize], int timeout_ms) override {
    std::lock_guard lock(read_mutex_);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
      if (closed_.load(std::memory_order_acquire) || gone_.load(std::memory_order_acquire)) {
        return -1;
      }
      const ptrdiff_t got = socket_->Recv(in_ + in_have_, kReportSize - in_have_);
      if (got == 0 || (got < 0 && !Retry(socket_->LastError()))) {
        gone_.store(true, std::memory_order_release);
        return -1;
      }
      if (got > 0) {
        in_have_ += static_cast<size_t>(got);
        if (in_have_ == kReportSize) {
          std::memcpy(report, in_, kReportSize);
          in_have_ = 0;
          return static_cast<int>(kReportSize);
        }
        continue;
      }
      int wait = kWaitSliceMs;
      if (timeout_ms >= 0) {
        wait = std::min(MsLeft(deadline), kWaitSliceMs);
        if (wait == 0) return 0;
      }
      socket_->WaitReadable(wait);
    }
  }

  void Close() override {
    if (!closed_.exchange(true, std::memory_order_acq_rel)) socket_->Shutdown();
  }

 private:
  bool PeerGone() {
    if (gone_.load(std::memory_order_acquire)) return true;
    if (socket_->PeerHungUp()) gone_.store(true, std::memory_order_release);
    return gone_.load(std::memory_order_acquire);
  }

  // Sends what the socket takes now; kNone while the connection is fine.
  uint32_t SendSome() {
    while (out_sent_ < kReportSize) {
      const ptrdiff_t n = socket_->Send(out_ + out_sent_, kReportSize - out_sent_);
      if (n > 0) {
        out_sent_ += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) return hid_error::kGenFailure;
      switch (socket_->LastError()) {
        case SocketError::kWouldBlock:
          return hid_error::kNone;
        case SocketError::kInterrupted:
          continue;
        case SocketError::kLost:
          gone_.store(true, std::memory_order_release);
          return hid_error::kDeviceNotConnected;
        case SocketError::kFailed:
          return hid_error::kGenFailure;
      }
      return hid_error::kGenFailure;
    }
    out_pending_ = false;
    return hid_error::kNone;
  }

  const std::unique_ptr<TcpSocket> socket_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> gone_{false};
  std::mutex write_mutex_;
  uint8_t out_[kReportSize] = {};
  size_t out_sent_ = 0;
  bool out_pending_ = false;
  std::mutex read_mutex_;
  uint8_t in_[kReportSize] = {};
  size_t in_have_ = 0;
};

class TcpHidBus : public HidBus {
 public:
  TcpHidBus(std::unique_ptr<TcpNetwork> network, std::vector<TcpEndpoint> endpoints)
      : network_(std::move(network)), endpoints_(std::move(endpoints)) {}
  ~TcpHidBus() override { DropIdle(); }

  std::vector<HidDeviceInfo> Enumerate() override {
    std::lock_guard lock(mutex_);
    DropIdle();
    std::vector<HidDeviceInfo> list;
    for (const TcpEndpoint& endpoint : endpoints_) {
      HidDeviceInfo info;
      std::unique_ptr<TcpSocket> socket = Hello(endpoint, &info);
      if (!socket) continue;
      idle_[info.path] = std::move(socket);  // handed to Open, so the emulator sees one connection
      list.push_back(info);
    }
    return list;
  }

  std::unique_ptr<HidPort> Open(const std::string& path) override {
    std::lock_guard lock(mutex_);
    std::unique_ptr<TcpSocket> socket;
    if (auto it = idle_.find(path); it != idle_.end()) {
      socket = std::move(it->second);
      idle_.erase(it);
    } else {
      for (const TcpEndpoint& endpoint : endpoints_) {
        HidDeviceInfo info;
        if (endpoint.Path() == path) socket = Hello(endpoint, &info);
      }
    }
    if (!socket) return nullptr;
    return std::make_unique<TcpHidPort>(std::move(socket));
  }

 private:
  std::unique_ptr<TcpSocket> Hello(const TcpEndpoint& endpoint, HidDeviceInfo* info) {
    std::unique_ptr<TcpSocket> socket = network_->Connect(endpoint);
    if (!socket) return nullptr;
    uint8_t hello[kTcpHelloSize];
    if (!ReadExact(*socket, hello, sizeof hello, kHelloTimeoutMs)) return nullptr;
    info->vendor = static_cast<uint16_t>(hello[0] | hello[1] << 8);
    info->product = static_cast<uint16_t>(hello[2] | hello[3] << 8);
    info->release = static_cast<uint16_t>(hello[4] | hello[5] << 8);
    info->path = endpoint.Path();
    return socket;
  }

  void DropIdle() { idle_.clear(); }

  // Declared first so the network stack outlives every socket the bus holds.
  const std::unique_ptr<TcpNetwork> network_;
  const std::vector<TcpEndpoint> endpoints_;
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<TcpSocket>> idle_;
};

}  // namespace

std::unique_ptr<HidBus> MakeTcpHidBus(std::unique_ptr<TcpNetwork> network,
                                      std::vector<TcpEndpoint> endpoints) {
  return std::make_unique<TcpHidBus>(std::move(network), std::move(endpoints));
}

}  // namespace vaskel
