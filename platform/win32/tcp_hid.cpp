// The emulator link on Winsock. Sockets are non-blocking; every wait is a select with a
// bounded time-out, and Close shuts the socket down so a blocked Read wakes at once.
#include "platform/tcp_hid.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

namespace vaskel {
namespace {

constexpr int kConnectTimeoutMs = 1500;  // Windows retries a refused connection for about 1 s
constexpr int kHelloTimeoutMs = 1000;
constexpr int kWaitSliceMs = 100;

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// 1 ready, 0 time-out, -1 error (or, for a connect, refused).
int WaitSocket(SOCKET s, bool for_write, int timeout_ms) {
  fd_set set, errors;
  FD_ZERO(&set);
  FD_ZERO(&errors);
  FD_SET(s, &set);
  FD_SET(s, &errors);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, &errors, &tv);
  if (n == SOCKET_ERROR || FD_ISSET(s, &errors)) return -1;
  return n > 0 ? 1 : 0;
}

bool WouldBlock() {
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

bool ConnectionLost() {
  const int error = WSAGetLastError();
  return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN ||
         error == WSAESHUTDOWN || error == WSAENETRESET;
}

SOCKET Connect(const TcpEndpoint& endpoint) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(endpoint.port);
  if (getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found) != 0) return INVALID_SOCKET;
  SOCKET s = INVALID_SOCKET;
  for (addrinfo* a = found; a && s == INVALID_SOCKET; a = a->ai_next) {
    s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    u_long one = 1;
    ioctlsocket(s, FIONBIO, &one);
    bool ok = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0;
    if (!ok && WSAGetLastError() == WSAEWOULDBLOCK)
      ok = WaitSocket(s, true, kConnectTimeoutMs) == 1;
    if (!ok) {
      closesocket(s);
      s = INVALID_SOCKET;
    }
  }
  freeaddrinfo(found);
  if (s != INVALID_SOCKET) {
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  }
  return s;
}

bool ReadExact(SOCKET s, uint8_t* out, size_t n, int timeout_ms) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  size_t have = 0;
  while (have < n) {
    if (WaitSocket(s, false, MsLeft(deadline)) != 1) return false;
    const int got = recv(s, reinterpret_cast<char*>(out + have), static_cast<int>(n - have), 0);
    if (got == 0) return false;
    if (got < 0 && !WouldBlock()) return false;
    if (got > 0) have += static_cast<size_t>(got);
  }
  return true;
}

class TcpHidPort : public HidPort {
 public:
  explicit TcpHidPort(SOCKET s) : socket_(s) {}
  ~TcpHidPort() override {
    Close();
    closesocket(socket_);
  }

  uint32_t StartWrite(const uint8_t report[kReportSize]) override {
    if (closed_.load(std::memory_order_acquire)) return hid_error::kInvalidHandle;
    std::lock_guard lock(write_mutex_);
    if (gone_.load(std::memory_order_acquire)) return hid_error::kDeviceNotConnected;
    std::memcpy(out_, report, kReportSize);
    out_sent_ = 0;
    out_pending_ = true;
    const uint32_t result = SendSome();
    if (result != hid_error::kNone) {
      out_pending_ = false;
      return result;
    }
    return out_pending_ ? hid_error::kIoPending : hid_error::kNone;
  }

  bool WaitWriteDone(uint32_t timeout_ms) override {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      {
        std::lock_guard lock(write_mutex_);
        if (!out_pending_) return true;
        if (closed_.load(std::memory_order_acquire) || SendSome() != hid_error::kNone) {
          out_pending_ = false;
          return true;
        }
        if (!out_pending_) return true;
      }
      const int left = MsLeft(deadline);
      if (left == 0) return false;
      WaitSocket(socket_, true, std::min(left, kWaitSliceMs));
    }
  }

  int Read(uint8_t report[kReportSize], int timeout_ms) override {
    std::lock_guard lock(read_mutex_);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
      if (closed_.load(std::memory_order_acquire) || gone_.load(std::memory_order_acquire)) {
        return -1;
      }
      const int got = recv(socket_, reinterpret_cast<char*>(in_ + in_have_),
                           static_cast<int>(kReportSize - in_have_), 0);
      if (got == 0 || (got < 0 && !WouldBlock())) {
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
      WaitSocket(socket_, false, wait);
    }
  }

  void Close() override {
    if (!closed_.exchange(true, std::memory_order_acq_rel)) shutdown(socket_, SD_BOTH);
  }

 private:
  uint32_t SendSome() {
    while (out_sent_ < kReportSize) {
      const int n = send(socket_, reinterpret_cast<const char*>(out_ + out_sent_),
                         static_cast<int>(kReportSize - out_sent_), 0);
      if (n > 0) {
        out_sent_ += static_cast<size_t>(n);
        continue;
      }
      if (WouldBlock()) return hid_error::kNone;
      if (ConnectionLost()) {
        gone_.store(true, std::memory_order_release);
        return hid_error::kDeviceNotConnected;
      }
      return hid_error::kGenFailure;
    }
    out_pending_ = false;
    return hid_error::kNone;
  }

  const SOCKET socket_;
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
  explicit TcpHidBus(std::vector<TcpEndpoint> endpoints) : endpoints_(std::move(endpoints)) {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~TcpHidBus() override {
    DropIdle();
    if (started_) WSACleanup();
  }

  std::vector<HidDeviceInfo> Enumerate() override {
    std::lock_guard lock(mutex_);
    DropIdle();
    std::vector<HidDeviceInfo> list;
    for (const TcpEndpoint& endpoint : endpoints_) {
      HidDeviceInfo info;
      const SOCKET s = Hello(endpoint, &info);
      if (s == INVALID_SOCKET) continue;
      idle_[info.path] = s;
      list.push_back(info);
    }
    return list;
  }

  std::unique_ptr<HidPort> Open(const std::string& path) override {
    std::lock_guard lock(mutex_);
    SOCKET s = INVALID_SOCKET;
    if (auto it = idle_.find(path); it != idle_.end()) {
      s = it->second;
      idle_.erase(it);
    } else {
      for (const TcpEndpoint& endpoint : endpoints_) {
        HidDeviceInfo info;
        if (endpoint.Path() == path) s = Hello(endpoint, &info);
      }
    }
    if (s == INVALID_SOCKET) return nullptr;
    return std::make_unique<TcpHidPort>(s);
  }

 private:
  static SOCKET Hello(const TcpEndpoint& endpoint, HidDeviceInfo* info) {
    const SOCKET s = Connect(endpoint);
    if (s == INVALID_SOCKET) return s;
    uint8_t hello[kTcpHelloSize];
    if (!ReadExact(s, hello, sizeof hello, kHelloTimeoutMs)) {
      closesocket(s);
      return INVALID_SOCKET;
    }
    info->vendor = static_cast<uint16_t>(hello[0] | hello[1] << 8);
    info->product = static_cast<uint16_t>(hello[2] | hello[3] << 8);
    info->release = static_cast<uint16_t>(hello[4] | hello[5] << 8);
    info->path = endpoint.Path();
    return s;
  }

  void DropIdle() {
    for (auto& [path, s] : idle_) closesocket(s);
    idle_.clear();
  }

  const std::vector<TcpEndpoint> endpoints_;
  bool started_ = false;
  std::mutex mutex_;
  std::map<std::string, SOCKET> idle_;
};

}  // namespace

std::unique_ptr<HidBus> MakeTcpHidBus(std::vector<TcpEndpoint> endpoints) {
  return std::make_unique<TcpHidBus>(std::move(endpoints));
}

}  // namespace vaskel
