#include "sim/tcp_board_server.h"

#include <algorithm>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "sim/listening_socket.h"

namespace vaskel::sim {
namespace {

#if defined(_WIN32)
using Native = SOCKET;
constexpr int kSendFlags = 0;
Native ToNative(intptr_t s) {
  return s < 0 ? INVALID_SOCKET : static_cast<SOCKET>(s);
}
void CloseNative(intptr_t s) {
  closesocket(ToNative(s));
}
bool WouldBlock() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}
void SetNonBlocking(Native s) {
  u_long one = 1;
  ioctlsocket(s, FIONBIO, &one);
}
#else
using Native = int;
constexpr int kSendFlags = MSG_NOSIGNAL;
Native ToNative(intptr_t s) {
  return static_cast<int>(s);
}
void CloseNative(intptr_t s) {
  close(static_cast<int>(s));
}
bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}
void SetNonBlocking(Native s) {
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
}
#endif

// Waits until one of the sockets (kNone entries ignored) is readable or the time-out passes.
void WaitReadable(intptr_t a, intptr_t b, int timeout_ms) {
#if defined(_WIN32)
  fd_set set;
  FD_ZERO(&set);
  if (a >= 0) FD_SET(ToNative(a), &set);
  if (b >= 0) FD_SET(ToNative(b), &set);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (a < 0 && b < 0) {
    Sleep(static_cast<DWORD>(timeout_ms));
    return;
  }
  select(0, &set, nullptr, nullptr, &tv);
#else
  pollfd fds[2] = {{ToNative(a), POLLIN, 0}, {ToNative(b), POLLIN, 0}};
  poll(fds, 2, timeout_ms);  // negative descriptors are skipped
#endif
}

}  // namespace

TcpBoardServer::TcpBoardServer(BoardSimulator& board, HidDeviceInfo identity)
    : board_(board), identity_(std::move(identity)) {
#if defined(_WIN32)
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#endif
}

TcpBoardServer::~TcpBoardServer() {
  DropClient();
  if (listener_ != kNone) CloseNative(listener_);
#if defined(_WIN32)
  WSACleanup();
#endif
}

bool TcpBoardServer::Listen(const std::string& host, uint16_t port, std::string* error) {
  const intptr_t s = OpenListeningSocket(host, port, port_, error);
  if (s < 0) return false;
  listener_ = s;
  return true;
}

void TcpBoardServer::Step(int timeout_ms) {
  // With a reply waiting to be sent, or a report the board has not taken, look again soon.
  const bool busy = !out_.empty() || !held_.empty();
  WaitReadable(listener_, client_, busy ? std::min(timeout_ms, 1) : timeout_ms);
  Accept();
  if (client_ == kNone) return;
  if (board_.generation() != generation_ || !board_.plugged()) {
    DropClient();  // unplugged: the connection ends like the cable
    return;
  }
  ReadFromClient();
  if (client_ == kNone) return;
  CollectReplies();
  Flush();
}

void TcpBoardServer::Accept() {
  if (listener_ == kNone) return;
  for (;;) {
    const Native s = accept(ToNative(listener_), nullptr, nullptr);
    const intptr_t handle = static_cast<intptr_t>(s);
#if defined(_WIN32)
    if (s == INVALID_SOCKET) return;
#else
    if (handle < 0) return;
#endif
    if (!board_.plugged()) {
      CloseNative(handle);
      continue;
    }
    DropClient();
    client_ = handle;
    SetNonBlocking(s);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    generation_ = board_.generation();
    ++clients_accepted_;
    const uint16_t id[3] = {identity_.vendor, identity_.product, identity_.release};
    for (uint16_t v : id) {
      out_.push_back(static_cast<uint8_t>(v));
      out_.push_back(static_cast<uint8_t>(v >> 8));
    }
    // Replies meant for an earlier client are not this one's.
    uint8_t stale[kReportSize];
    while (board_.TakeReply(stale, 0, generation_) > 0) {
    }
  }
}

void TcpBoardServer::DropClient() {
  if (client_ != kNone) CloseNative(client_);
  client_ = kNone;
  in_.clear();
  out_.clear();
  held_.clear();
}

void TcpBoardServer::ReadFromClient() {
  for (;;) {
    if (!held_.empty()) {
      if (board_.Write(held_.data(), held_.size()) == hid_error::kIoPending) return;
      held_.clear();
    }
    while (in_.size() >= kReportSize) {
      std::vector<uint8_t> report(in_.begin(), in_.begin() + kReportSize);
      in_.erase(in_.begin(), in_.begin() + kReportSize);
      const uint32_t result = board_.Write(report.data(), report.size());
      if (result == hid_error::kIoPending) {
        held_ = std::move(report);
        return;
      }
      if (result == hid_error::kDeviceNotConnected) {
        DropClient();
        return;
      }
      // A refused report is lost: the wire has no way to say so.
    }
    uint8_t buffer[kReportSize * 8];
    const auto got = recv(ToNative(client_), reinterpret_cast<char*>(buffer), sizeof buffer, 0);
    if (got == 0 || (got < 0 && !WouldBlock())) {
      DropClient();
      return;
    }
    if (got < 0) return;
    in_.insert(in_.end(), buffer, buffer + got);
  }
}

void TcpBoardServer::CollectReplies() {
  uint8_t reply[kReportSize];
  int got = 0;
  while ((got = board_.TakeReply(reply, 0, generation_)) > 0) {
    out_.insert(out_.end(), reply, reply + got);
  }
  if (got < 0) DropClient();
}

void TcpBoardServer::Flush() {
  while (client_ != kNone && !out_.empty()) {
    const auto sent = send(ToNative(client_), reinterpret_cast<const char*>(out_.data()),
                           static_cast<int>(out_.size()), kSendFlags);
    if (sent < 0) {
      if (!WouldBlock()) DropClient();
      return;
    }
    out_.erase(out_.begin(), out_.begin() + sent);
  }
}

}  // namespace vaskel::sim
