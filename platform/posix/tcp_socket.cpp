// The emulator link's sockets on BSD sockets: non-blocking, connects included; every wait a poll.
#include "platform/tcp_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace vaskel {
namespace {

// A connect in progress tries the endpoint's addresses in turn, as the resolver lists them.
class PosixSocket : public TcpSocket {
 public:
  explicit PosixSocket(std::vector<sockaddr_storage> addresses, std::vector<socklen_t> lengths)
      : addresses_(std::move(addresses)), lengths_(std::move(lengths)) {
    state_ = NextAddress();
  }
  ~PosixSocket() override {
    if (fd_ >= 0) close(fd_);
  }

  ConnectState PollConnect() override {
    while (state_ == ConnectState::kConnecting) {
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, 0) != 1) break;
      int error = 0;
      socklen_t length = sizeof error;
      if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
        Connected();
      } else {
        state_ = NextAddress();
      }
    }
    return state_;
  }

  bool WaitReadable(int timeout_ms) override { return Poll(POLLIN, timeout_ms) == 1; }
  bool WaitWritable(int timeout_ms) override { return Poll(POLLOUT, timeout_ms) == 1; }

  ptrdiff_t Send(const uint8_t* data, size_t n) override {
    return send(fd_, data, n, MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  ptrdiff_t Recv(uint8_t* data, size_t n) override { return recv(fd_, data, n, MSG_DONTWAIT); }

  SocketError LastError() override {
    switch (errno) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        return SocketError::kWouldBlock;
      case EINTR:
        return SocketError::kInterrupted;
      case EPIPE:
      case ECONNRESET:
      case ENOTCONN:
        return SocketError::kLost;
      default:
        return SocketError::kFailed;
    }
  }

  bool PeerHungUp() override {
    pollfd p{fd_, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
  }

  void Shutdown() override {
    shutdown(fd_, SHUT_RDWR);
  }

 private:
  int Poll(short events, int timeout_ms) {
    pollfd p{fd_, events, 0};
    return poll(&p, 1, timeout_ms);
  }

  // Starts a connect to the next address; kFailed once none is left.
  ConnectState NextAddress() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    while (next_ < addresses_.size()) {
      const auto* address = reinterpret_cast<const sockaddr*>(&addresses_[next_]);
      const socklen_t length = lengths_[next_++];
      fd_ = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd_ < 0) continue;
      if (connect(fd_, address, length) == 0) {
        Connected();
        return state_;
      }
      if (errno == EINPROGRESS) return ConnectState::kConnecting;
      close(fd_);
      fd_ = -1;
    }
    return ConnectState::kFailed;
  }

  void Connected() {
    state_ = ConnectState::kConnected;
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }

  const std::vector<sockaddr_storage> addresses_;
  const std::vector<socklen_t> lengths_;
  size_t next_ = 0;
  int fd_ = -1;
  ConnectState state_ = ConnectState::kFailed;
};

class PosixNetwork : public TcpNetwork {
 public:
  std::unique_ptr<TcpSocket> StartConnect(const TcpEndpoint& endpoint) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    if (getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found) != 0) return nullptr;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
    for (addrinfo* a = found; a; a = a->ai_next) {
      if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
      sockaddr_storage address{};
      std::memcpy(&address, a->ai_addr, a->ai_addrlen);
      addresses.push_back(address);
      lengths.push_back(a->ai_addrlen);
    }
    freeaddrinfo(found);
    auto socket = std::make_unique<PosixSocket>(std::move(addresses), std::move(lengths));
    if (socket->PollConnect() == ConnectState::kFailed) return nullptr;
    return socket;
  }
};

}  // namespace

std::unique_ptr<HidBus> MakeTcpHidBus(std::vector<TcpEndpoint> endpoints) {
  return MakeTcpHidBus(std::make_unique<PosixNetwork>(), std::move(endpoints));
}

}  // namespace vaskel
