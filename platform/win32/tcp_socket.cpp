// The emulator link's sockets on Winsock: non-blocking, every wait a select.
#include "platform/tcp_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

namespace vaskel {
namespace {

constexpr int kConnectTimeoutMs = 1500;  // Windows retries a refused connection for about 1 s

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

class WinsockSocket : public TcpSocket {
 public:
  explicit WinsockSocket(SOCKET s) : socket_(s) {}
  ~WinsockSocket() override { closesocket(socket_); }

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
  const SOCKET socket_;
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

  std::unique_ptr<TcpSocket> Connect(const TcpEndpoint& endpoint) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    if (getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found) != 0) return nullptr;
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
    if (s == INVALID_SOCKET) return nullptr;
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return std::make_unique<WinsockSocket>(s);
  }

 private:
  bool started_ = false;
};

}  // namespace

std::unique_ptr<HidBus> MakeTcpHidBus(std::vector<TcpEndpoint> endpoints) {
  return MakeTcpHidBus(std::make_unique<WinsockNetwork>(), std::move(endpoints));
}

}  // namespace vaskel
