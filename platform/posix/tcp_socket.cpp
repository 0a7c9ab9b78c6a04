// The emulator link's sockets on BSD sockets: non-blocking, every wait a poll.
#include "platform/tcp_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vaskel {
namespace {

constexpr int kConnectTimeoutMs = 1000;

class PosixSocket : public TcpSocket {
 public:
  explicit PosixSocket(int fd) : fd_(fd) {}
  ~PosixSocket() override { close(fd_); }

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

  const int fd_;
};

class PosixNetwork : public TcpNetwork {
 public:
  std::unique_ptr<TcpSocket> Connect(const TcpEndpoint& endpoint) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    if (getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found) != 0) return nullptr;
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
    if (fd < 0) return nullptr;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return std::make_unique<PosixSocket>(fd);
  }
};

}  // namespace

std::unique_ptr<HidBus> MakeTcpHidBus(std::vector<TcpEndpoint> endpoints) {
  return MakeTcpHidBus(std::make_unique<PosixNetwork>(), std::move(endpoints));
}

}  // namespace vaskel
