#include "sim/listening_socket.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vaskel::sim {
namespace {

#if defined(_WIN32)
using Native = SOCKET;
void CloseNative(Native s) {
  closesocket(s);
}
void SetNonBlocking(Native s) {
  u_long one = 1;
  ioctlsocket(s, FIONBIO, &one);
}
#else
using Native = int;
void CloseNative(Native s) {
  close(s);
}
void SetNonBlocking(Native s) {
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
}
#endif

}  // namespace

intptr_t OpenListeningSocket(const std::string& host, uint16_t port, uint16_t& bound_port,
                             std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found) != 0 ||
      !found) {
    if (error) *error = "cannot resolve '" + host + "'";
    return -1;
  }
  Native s = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  const intptr_t handle = static_cast<intptr_t>(s);
  bool ok = handle >= 0;
  if (ok) {
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    ok = bind(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 && listen(s, 4) == 0;
  }
  if (ok) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
    bound_port =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    SetNonBlocking(s);
  } else {
    if (error) *error = "cannot listen on " + host + ":" + service;
    if (handle >= 0) CloseNative(s);
  }
  freeaddrinfo(found);
  return ok ? handle : -1;
}

}  // namespace vaskel::sim
