// The emulator link on BSD sockets. Sockets are non-blocking; every wait is a poll with a
// bounded time-out, and Close shuts the socket down so a blocked Read wakes at once.
#include "platform/tcp_hid.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

namespace vaskel {
namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kHelloTimeoutMs = 1000;
constexpr int kWaitSliceMs = 100;

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

int Connect(const TcpEndpoint& endpoint) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(endpoint.port);
  if (getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    int result = connect(fd, a->ai_addr, a->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      if (poll(&p, 1, kConnectTimeoutMs) == 1 &&
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
        result = 0;
      }
    }
    if (result != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd >= 0) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

// Reads exactly n bytes within the time-out; false on time-out, error or end of stream.
bool ReadExact(int fd, uint8_t* out, size_t n, int timeout_ms) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  size_t have = 0;
  while (have < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, MsLeft(deadline)) <= 0) return false;
    const ssize_t got = recv(fd, out + have, n - have, MSG_DONTWAIT);
    if (got == 0) return false;
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (got > 0) have += static_cast<size_t>(got);
  }
  return true;
}

class TcpHidPort : public HidPort {
 public:
  explicit TcpHidPort(int fd) : fd_(fd) {}
  ~TcpHidPort() override {
    Close();
    close(fd_);
  }

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
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, std::min(left, kWaitSliceMs));
    }
  }

  int Read(uint8_t report[kReportSize], int timeout_ms) override {
    std::lock_guard lock(read_mutex_);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
      if (closed_.load(std::memory_order_acquire) || gone_.load(std::memory_order_acquire)) {
        return -1;
      }
      const ssize_t got = recv(fd_, in_ + in_have_, kReportSize - in_have_, MSG_DONTWAIT);
      if (got == 0) {
        gone_.store(true, std::memory_order_release);
        return -1;
      }
      if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
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
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, wait);
    }
  }

  void Close() override {
    if (!closed_.exchange(true, std::memory_order_acq_rel)) shutdown(fd_, SHUT_RDWR);
  }

 private:
  bool PeerGone() {
    if (gone_.load(std::memory_order_acquire)) return true;
    pollfd p{fd_, POLLRDHUP, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      gone_.store(true, std::memory_order_release);
    }
    return gone_.load(std::memory_order_acquire);
  }

  // Sends what the socket takes now; kNone while the connection is fine.
  uint32_t SendSome() {
    while (out_sent_ < kReportSize) {
      const ssize_t n =
          send(fd_, out_ + out_sent_, kReportSize - out_sent_, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        out_sent_ += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return hid_error::kNone;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
        gone_.store(true, std::memory_order_release);
        return hid_error::kDeviceNotConnected;
      }
      return hid_error::kGenFailure;
    }
    out_pending_ = false;
    return hid_error::kNone;
  }

  const int fd_;
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
  explicit TcpHidBus(std::vector<TcpEndpoint> endpoints) : endpoints_(std::move(endpoints)) {}
  ~TcpHidBus() override { DropIdle(); }

  std::vector<HidDeviceInfo> Enumerate() override {
    std::lock_guard lock(mutex_);
    DropIdle();
    std::vector<HidDeviceInfo> list;
    for (const TcpEndpoint& endpoint : endpoints_) {
      HidDeviceInfo info;
      const int fd = Hello(endpoint, &info);
      if (fd < 0) continue;
      idle_[info.path] = fd;  // handed to Open, so the emulator sees one connection
      list.push_back(info);
    }
    return list;
  }

  std::unique_ptr<HidPort> Open(const std::string& path) override {
    std::lock_guard lock(mutex_);
    int fd = -1;
    if (auto it = idle_.find(path); it != idle_.end()) {
      fd = it->second;
      idle_.erase(it);
    } else {
      for (const TcpEndpoint& endpoint : endpoints_) {
        HidDeviceInfo info;
        if (endpoint.Path() == path) fd = Hello(endpoint, &info);
      }
    }
    if (fd < 0) return nullptr;
    return std::make_unique<TcpHidPort>(fd);
  }

 private:
  static int Hello(const TcpEndpoint& endpoint, HidDeviceInfo* info) {
    const int fd = Connect(endpoint);
    if (fd < 0) return -1;
    uint8_t hello[kTcpHelloSize];
    if (!ReadExact(fd, hello, sizeof hello, kHelloTimeoutMs)) {
      close(fd);
      return -1;
    }
    info->vendor = static_cast<uint16_t>(hello[0] | hello[1] << 8);
    info->product = static_cast<uint16_t>(hello[2] | hello[3] << 8);
    info->release = static_cast<uint16_t>(hello[4] | hello[5] << 8);
    info->path = endpoint.Path();
    return fd;
  }

  void DropIdle() {
    for (auto& [path, fd] : idle_) close(fd);
    idle_.clear();
  }

  const std::vector<TcpEndpoint> endpoints_;
  std::mutex mutex_;
  std::map<std::string, int> idle_;
};

}  // namespace

std::unique_ptr<HidBus> MakeTcpHidBus(std::vector<TcpEndpoint> endpoints) {
  return std::make_unique<TcpHidBus>(std::move(endpoints));
}

}  // namespace vaskel
