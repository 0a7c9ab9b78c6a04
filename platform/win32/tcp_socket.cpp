// The emulator link's sockets on Winsock: non-blocking, connects included; every wait a select.
#include "platform/tcp_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>
#include <vector>

namespace vaskel {
namespace {

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

// A connect in progress tries the endpoint's addresses in turn, as the resolver lists them.
// Windows retries a refused connection for about a second before it reports it.
class WinsockSocket : public TcpSocket {
 public:
  explicit WinsockSocket(std::vector<sockaddr_storage> addresses, std::vector<int> lengths)
      : addresses_(std::move(addresses)), lengths_(std::move(lengths)) {
    state_ = NextAddress();
  }
  ~WinsockSocket() override {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }

  ConnectState PollConnect() override {
    while (state_ == ConnectState::kConnecting) {
      const int ready = WaitSocket(socket_, true, 0);
      if (ready == 0) break;
      if (ready == 1) {
        Connected();
      } else {
        state_ = NextAddress();
      }
    }
    return state_;
  }

  bool WaitReadable(int timeout_ms) override { return WaitSocket(socket_, false, timeout_ms) == 1; }
  bool WaitWritable(int timeout_ms) override { return WaitSocket(socket_, true, timeout_ms) == 1; }

  ptrdiff_t Send(const uint8_t* data, size_t n) override {
    return send(socket_, reinterpret_cast<const char*>(data), static_cast<int>(n), 0);
  }
  ptrdiff_t Recv(uint8_t* data, size_t n) override {
    return recv(socket_, reinterpret_cast<char*>(data), static_cast<int>(n), 0);
  }

  SocketError LastError() override {
    switch (WSAGetLastError()) {
      case WSAEWOULDBLOCK:
      case WSAEINTR:  // a cancelled call on a non-blocking socket: wait like any other
        return SocketError::kWouldBlock;
      case WSAECONNRESET:
      case WSAECONNABORTED:
      case WSAENOTCONN:
      case WSAESHUTDOWN:
      case WSAENETRESET:
        return SocketError::kLost;
      default:
        return SocketError::kFailed;
    }
  }

  // Winsock has no hang-up poll; a lost peer shows as a failed send or an ended read.
  bool PeerHungUp() override { return false; }

  void Shutdown() override { shutdown(socket_, SD_BOTH); }

 private:
  // Starts a connect to the next address; kFailed once none is left.
  ConnectState NextAddress() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
    while (next_ < addresses_.size()) {
      const auto* address = reinterpret_cast<const sockaddr*>(&addresses_[next_]);
      const int length = lengths_[next_++];
      socket_ = socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
      if (socket_ == INVALID_SOCKET) continue;
      u_long one = 1;
      ioctlsocket(socket_, FIONBIO, &one);
      if (connect(socket_, address, length) == 0) {
        Connected();
        return state_;
      }
      if (WSAGetLastError() == WSAEWOULDBLOCK) return ConnectState::kConnecting;
      closesocket(socket_);
      socket_ = INVALID_SOCKET;
    }
    return ConnectState::kFailed;
  }

  void Connected() {
    state_ = ConnectState::kConnected;
    BOOL one = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  }

  const std::vector<sockaddr_storage> addresses_;
  const std::vector<int> lengths_;
  size_t next_ = 0;
  SOCKET socket_ = INVALID_SOCKET;
  ConnectState state_ = ConnectState::kFailed;
};

// Winsock must be started before, and cleaned up after, every socket of the bus.
class WinsockNetwork : public TcpNetwork {
 public:
  WinsockNetwork() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockNetwork() override {
    if (started_) WSACleanup();
  }

  std::unique_ptr<TcpSocket> StartConnect(const TcpEndpoint& endpoint) override {
    if (!started_) return nullptr;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    if (getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found) != 0) return nullptr;
    std::vector<sockaddr_storage> addresses;
    std::vector<int> lengths;
    for (addrinfo* a = found; a; a = a->ai_next) {
      if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
      sockaddr_storage address{};
      std::memcpy(&address, a->ai_addr, a->ai_addrlen);
      addresses.push_back(address);
      lengths.push_back(static_cast<int>(a->ai_addrlen));
    }
    freeaddrinfo(found);
    auto socket = std::make_unique<WinsockSocket>(std::move(addresses), std::move(lengths));
    if (socket->PollConnect() == ConnectState::kFailed) return nullptr;
    return socket;
  }

 private:
  bool started_ = false;
};

}  // namespace

std::unique_ptr<HidBus> MakeTcpHidBus(std::vector<TcpEndpoint> endpoints) {
  return MakeTcpHidBus(std::make_unique<WinsockNetwork>(), std::move(endpoints));
}

}  // namespace vaskel
