// The emulator link over the socket seam. Sockets are non-blocking; every wait is bounded, and
// Close shuts the socket down so a blocked Read wakes at once.
#include "platform/tcp_hid.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/tcp_socket.h"

namespace vaskel {
namespace {

constexpr int kConnectTimeoutMs = 1500;  // Windows reports a refused connection after ~1 s
constexpr int kHelloTimeoutMs = 1000;
constexpr int kWaitSliceMs = 100;
// What one discovery pass may wait, in all, for connects and identities under way, so that a
// board that answers at once is listed by the pass that reached it.
constexpr int kDiscoveryWaitMs = 4;

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
    out_result_ = hid_error::kNone;
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
        if (closed_.load(std::memory_order_acquire)) {
          out_pending_ = false;  // the rest of the report will never go
          out_result_ = hid_error::kInvalidHandle;
          return true;
        }
        if (const uint32_t error = SendSome(); error != hid_error::kNone) {
          out_pending_ = false;  // the connection is gone; nothing is in flight any more
          out_result_ = error;
          return true;
        }
        if (!out_pending_) return true;
      }
      const int left = MsLeft(deadline);
      if (left == 0) return false;
      socket_->WaitWritable(std::min(left, kWaitSliceMs));
    }
  }

  uint32_t LastWriteResult() override {
    std::lock_guard lock(write_mutex_);
    return out_result_;
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
  uint32_t out_result_ = hid_error::kNone;  // how the last pending report ended
  std::mutex read_mutex_;
  uint8_t in_[kReportSize] = {};
  size_t in_have_ = 0;
};

// One endpoint on its way from nothing to a listed interface: connecting, then reading its
// identity, then ready. Each step is taken without waiting, so the host's thread that runs a
// discovery pass never waits on an emulator; an endpoint is absent until its identity is in.
struct Candidate {
  enum class Stage { kIdle, kConnecting, kHello, kReady };
  Stage stage = Stage::kIdle;
  bool failed_this_pass = false;  // not tried again until the next pass
  std::unique_ptr<TcpSocket> socket;
  uint8_t hello[kTcpHelloSize] = {};
  size_t have = 0;
  SteadyClock::time_point deadline;

  // Why it was last not listed, for the log; the steps under way are not told, so that a
  // silent endpoint reads the same pass after pass.
  const char* why = "not answered yet";

  bool under_way() const { return stage == Stage::kConnecting || stage == Stage::kHello; }
  void Fail(const char* reason) {
    stage = Stage::kIdle;
    socket.reset();
    failed_this_pass = true;
    why = reason;
  }
};

class TcpHidBus : public HidBus {
 public:
  TcpHidBus(std::unique_ptr<TcpNetwork> network, std::vector<TcpEndpoint> endpoints)
      : network_(std::move(network)),
        endpoints_(std::move(endpoints)),
        candidates_(endpoints_.size()) {}

  std::vector<HidDeviceInfo> Enumerate() override {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < endpoints_.size(); ++i) {
      candidates_[i].failed_this_pass = false;
      // A listed endpoint left unopened must still be there: an emulator says nothing unasked,
      // so anything to read means it hung up.
      if (candidates_[i].stage == Candidate::Stage::kReady &&
          candidates_[i].socket->WaitReadable(0)) {
        candidates_[i].Fail("hung up while waiting to be opened");
        candidates_[i].failed_this_pass = false;
      }
      Advance(i);
    }
    // Waits in 1 ms steps on one endpoint under way, then looks at them all again.
    for (int waited = 0; waited < kDiscoveryWaitMs; ++waited) {
      Candidate* under_way = nullptr;
      for (Candidate& c : candidates_) {
        if (c.under_way()) under_way = &c;
      }
      if (!under_way) break;
      if (under_way->stage == Candidate::Stage::kConnecting) {
        under_way->socket->WaitWritable(1);
      } else {
        under_way->socket->WaitReadable(1);
      }
      for (size_t i = 0; i < endpoints_.size(); ++i) Advance(i);
    }
    std::vector<HidDeviceInfo> list;
    for (size_t i = 0; i < endpoints_.size(); ++i) {
      if (candidates_[i].stage == Candidate::Stage::kReady) list.push_back(Identity(i));
    }
    return list;
  }

  // Takes the connection discovery made, so the emulator sees one client. A path no pass has
  // listed yet is connected here, waiting as long as the connect and identity time-outs.
  std::unique_ptr<HidPort> Open(const std::string& path) override {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < endpoints_.size(); ++i) {
      if (endpoints_[i].Path() != path) continue;
      Candidate& c = candidates_[i];
      c.failed_this_pass = false;
      Advance(i);
      while (c.under_way()) {
        const int left = std::min(MsLeft(c.deadline), kWaitSliceMs);
        if (c.stage == Candidate::Stage::kConnecting) {
          c.socket->WaitWritable(left);
        } else {
          c.socket->WaitReadable(left);
        }
        Advance(i);
      }
      if (c.stage != Candidate::Stage::kReady) return nullptr;
      c.stage = Candidate::Stage::kIdle;
      return std::make_unique<TcpHidPort>(std::move(c.socket));
    }
    return nullptr;
  }

 private:
  // Takes every step that can be taken now.
  void Advance(size_t i) {
    Candidate& c = candidates_[i];
    const auto now = SteadyClock::now();
    if (c.stage == Candidate::Stage::kIdle) {
      if (c.failed_this_pass) return;
      c.socket = network_->StartConnect(endpoints_[i]);
      if (!c.socket) return c.Fail("refused the connection (or its name does not resolve)");
      c.stage = Candidate::Stage::kConnecting;
      c.deadline = now + std::chrono::milliseconds(kConnectTimeoutMs);
    }
    if (c.stage == Candidate::Stage::kConnecting) {
      switch (c.socket->PollConnect()) {
        case ConnectState::kConnecting:
          if (now >= c.deadline) return c.Fail("did not answer the connection");
          return;
        case ConnectState::kFailed:
          return c.Fail("refused the connection");
        case ConnectState::kConnected:
          c.stage = Candidate::Stage::kHello;
          c.have = 0;
          c.deadline = now + std::chrono::milliseconds(kHelloTimeoutMs);
          break;
      }
    }
    if (c.stage == Candidate::Stage::kHello) {
      while (c.have < kTcpHelloSize) {
        const ptrdiff_t got = c.socket->Recv(c.hello + c.have, kTcpHelloSize - c.have);
        if (got > 0) {
          c.have += static_cast<size_t>(got);
          continue;
        }
        if (got == 0) return c.Fail("closed the connection before sending its identity");
        const SocketError error = c.socket->LastError();
        if (error == SocketError::kInterrupted) continue;
        if (error != SocketError::kWouldBlock) return c.Fail("connection failed");
        if (now >= c.deadline) return c.Fail("connected but sent no identity");
        return;
      }
      c.stage = Candidate::Stage::kReady;
    }
  }

  std::vector<std::string> Unlisted() override {
    std::lock_guard lock(mutex_);
    std::vector<std::string> notes;
    for (size_t i = 0; i < endpoints_.size(); ++i) {
      if (candidates_[i].stage == Candidate::Stage::kReady) continue;
      notes.push_back("emulator " + endpoints_[i].Path() + " " + candidates_[i].why);
    }
    return notes;
  }

  HidDeviceInfo Identity(size_t i) const {
    const uint8_t* hello = candidates_[i].hello;
    HidDeviceInfo info;
    info.vendor = static_cast<uint16_t>(hello[0] | hello[1] << 8);
    info.product = static_cast<uint16_t>(hello[2] | hello[3] << 8);
    info.release = static_cast<uint16_t>(hello[4] | hello[5] << 8);
    info.path = endpoints_[i].Path();
    return info;
  }

  // Declared first so the network stack outlives every socket the bus holds.
  const std::unique_ptr<TcpNetwork> network_;
  const std::vector<TcpEndpoint> endpoints_;
  std::mutex mutex_;
  std::vector<Candidate> candidates_;
};

}  // namespace

std::unique_ptr<HidBus> MakeTcpHidBus(std::unique_ptr<TcpNetwork> network,
                                      std::vector<TcpEndpoint> endpoints) {
  return std::make_unique<TcpHidBus>(std::move(network), std::move(endpoints));
}

}  // namespace vaskel
