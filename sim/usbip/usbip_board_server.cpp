#include "sim/usbip/usbip_board_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/listening_socket.h"

namespace vaskel::sim {
namespace {

using namespace usbip;

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// A stalled board is asked again this often for the report it has not taken.
constexpr int kStalledRetryMs = 2;

}  // namespace

UsbipBoardServer::UsbipBoardServer(BoardSimulator& board, UsbIdentity identity)
    : board_(board), identity_(identity) {}

UsbipBoardServer::~UsbipBoardServer() {
  for (Connection& c : connections_) Close(c);
  if (listener_ >= 0) close(listener_);
}

bool UsbipBoardServer::Listen(const std::string& host, uint16_t port, std::string* error) {
  const intptr_t s = OpenListeningSocket(host, port, port_, error);
  if (s < 0) return false;
  listener_ = static_cast<int>(s);
  return true;
}

void UsbipBoardServer::Step(int timeout_ms) {
  for (Connection& c : connections_) {
    // Unplugged: the connection ends like the cable, and the client's kernel drops the device.
    if (c.imported && (board_.generation() != generation_ || !board_.plugged())) Close(c);
  }
  std::vector<pollfd> fds;
  fds.push_back({listener_, POLLIN, 0});
  for (const Connection& c : connections_) {
    fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
  }
  const int wait = pending_out_.empty() ? timeout_ms : std::min(timeout_ms, kStalledRetryMs);
  poll(fds.data(), fds.size(), wait);
  Accept();
  for (Connection& c : connections_) {
    if (c.fd >= 0) Receive(c);
    if (c.fd >= 0 && c.imported) {
      FeedBoard(c);
      if (c.fd >= 0) CompleteInUrbs(c);
    }
    if (c.fd >= 0) Flush(c);
  }
  connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                    [](const Connection& c) { return c.fd < 0; }),
                     connections_.end());
}

void UsbipBoardServer::Accept() {
  if (listener_ < 0) return;
  for (;;) {
    const int s = accept(listener_, nullptr, nullptr);
    if (s < 0) return;
    SetNonBlocking(s);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Connection c;
    c.fd = s;
    connections_.push_back(std::move(c));
  }
}

void UsbipBoardServer::Receive(Connection& c) {
  uint8_t buffer[4096];
  for (;;) {
    const ssize_t got = recv(c.fd, buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && !WouldBlock())) {
      Close(c);
      return;
    }
    if (got < 0) break;
    c.in.insert(c.in.end(), buffer, buffer + got);
  }
  if (!c.imported) HandleOperation(c);
  if (c.fd >= 0 && c.imported) HandleUrb(c);
}

ExportedDevice UsbipBoardServer::Exported() const {
  ExportedDevice d;
  d.path = "/sys/devices/vaskel-board/1-1";
  d.busid = kBusId;
  d.vendor = identity_.vendor;
  d.product = identity_.product;
  d.release = identity_.release;
  return d;
}

void UsbipBoardServer::HandleOperation(Connection& c) {
  if (c.in.size() < kOpHeaderSize) return;
  const OpHeader header = DecodeOpHeader(c.in.data());
  if (header.code == kOpReqDevlist) {
    AppendOpHeader(c.out, kOpRepDevlist, 0);
    PutBig32(c.out, 1);
    AppendDeviceRecord(c.out, Exported());
    c.out.insert(c.out.end(), {3, 0, 0, 0});  // the HID interface
    Flush(c);
    Close(c);  // a listing ends its connection
    return;
  }
  if (header.code != kOpReqImport) {
    Close(c);
    return;
  }
  if (c.in.size() < kOpHeaderSize + kBusIdSize) return;
  const std::string busid(
      reinterpret_cast<const char*>(c.in.data() + kOpHeaderSize),
      strnlen(reinterpret_cast<const char*>(c.in.data() + kOpHeaderSize), kBusIdSize));
  c.in.erase(c.in.begin(), c.in.begin() + kOpHeaderSize + kBusIdSize);
  // One importer at a time, and none while the board is unplugged.
  if (busid != kBusId || imported() || !board_.plugged()) {
    AppendOpHeader(c.out, kOpRepImport, 1);
    Flush(c);
    Close(c);
    return;
  }
  AppendOpHeader(c.out, kOpRepImport, 0);
  AppendDeviceRecord(c.out, Exported());
  c.imported = true;
  generation_ = board_.generation();
  // Replies meant for an earlier importer are not this one's.
  uint8_t stale[kReportSize];
  while (board_.TakeReply(stale, 0, generation_) > 0) {
  }
  imported_.store(true, std::memory_order_release);
  imports_.fetch_add(1, std::memory_order_acq_rel);
}

void UsbipBoardServer::HandleUrb(Connection& c) {
  size_t used = 0;
  while (c.fd >= 0 && c.in.size() - used >= kUrbHeaderSize) {
    const UrbCommand command = DecodeUrbCommand(c.in.data() + used);
    const uint32_t payload = PayloadSize(command);
    if (c.in.size() - used < kUrbHeaderSize + payload) break;
    const uint8_t* data = c.in.data() + used + kUrbHeaderSize;
    used += kUrbHeaderSize + payload;
    if (command.command == kCmdSubmit) {
      Submit(c, command, data);
    } else if (command.command == kCmdUnlink) {
      Unlink(c, command);
    } else {
      Close(c);  // not this protocol
    }
  }
  if (c.fd >= 0) c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
}

void UsbipBoardServer::Submit(Connection& c, const UrbCommand& command, const uint8_t* payload) {
  const uint32_t endpoint = command.endpoint & 0x0f;
  const bool in = command.direction == kDirIn;
  if (endpoint == 0) {
    const std::vector<uint8_t> data(payload, payload + PayloadSize(command));
    const ControlAnswer answer = AnswerControl(identity_, command.setup, data);
    if (answer.output_report) {
      std::vector<uint8_t> report(kReportSize, 0);
      std::copy_n(data.begin(), std::min(data.size(), kReportSize - 1), report.begin() + 1);
      board_.Write(report.data(), report.size());
    }
    if (answer.stall) {
      AppendRetSubmit(c.out, command.seqnum, kStatusStall, nullptr, 0, false);
    } else if (in) {
      const uint32_t length =
          std::min<uint32_t>(static_cast<uint32_t>(answer.data.size()), command.transfer_length);
      AppendRetSubmit(c.out, command.seqnum, kStatusOk, answer.data.data(), length, true);
    } else {
      AppendRetSubmit(c.out, command.seqnum, kStatusOk, nullptr, command.transfer_length, false);
    }
    urbs_completed_.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  if (endpoint == (kEndpointIn & 0x0f) && in) {
    pending_in_.push_back({command.seqnum, command.transfer_length});
    return;
  }
  if (endpoint == kEndpointOut && !in) {
    std::vector<uint8_t> report(kReportSize, 0);  // report id 0, then the data
    std::copy_n(payload, std::min<size_t>(command.transfer_length, kReportSize - 1),
                report.begin() + 1);
    pending_out_.push_back({command.seqnum, command.transfer_length, std::move(report)});
    return;
  }
  AppendRetSubmit(c.out, command.seqnum, kStatusStall, nullptr, 0, false);
  urbs_completed_.fetch_add(1, std::memory_order_acq_rel);
}

void UsbipBoardServer::Unlink(Connection& c, const UrbCommand& command) {
  bool found = false;
  auto in = std::find_if(pending_in_.begin(), pending_in_.end(),
                         [&](const PendingIn& p) { return p.seqnum == command.unlink_seqnum; });
  if (in != pending_in_.end()) {
    pending_in_.erase(in);
    found = true;
  }
  auto out = std::find_if(pending_out_.begin(), pending_out_.end(),
                          [&](const PendingOut& p) { return p.seqnum == command.unlink_seqnum; });
  if (out != pending_out_.end()) {
    pending_out_.erase(out);  // never reached the board
    found = true;
  }
  // An URB already completed has its answer on the way; the unlink then changes nothing.
  AppendRetUnlink(c.out, command.seqnum, found ? kStatusUnlinked : kStatusOk);
}

void UsbipBoardServer::FeedBoard(Connection& c) {
  while (!pending_out_.empty()) {
    PendingOut& urb = pending_out_.front();
    const uint32_t result = board_.Write(urb.report.data(), urb.report.size());
    if (result == hid_error::kIoPending) return;  // stalled: the URB stays outstanding
    if (result == hid_error::kDeviceNotConnected) {
      Close(c);
      return;
    }
    if (result == hid_error::kNone) {
      AppendRetSubmit(c.out, urb.seqnum, kStatusOk, nullptr, urb.length, false);
    } else {
      AppendRetSubmit(c.out, urb.seqnum, kStatusStall, nullptr, 0, false);  // refused
    }
    urbs_completed_.fetch_add(1, std::memory_order_acq_rel);
    pending_out_.pop_front();
  }
}

void UsbipBoardServer::CompleteInUrbs(Connection& c) {
  uint8_t reply[kReportSize];
  while (!pending_in_.empty()) {
    const int got = board_.TakeReply(reply, 0, generation_);
    if (got < 0) {
      Close(c);
      return;
    }
    if (got == 0) return;
    const PendingIn urb = pending_in_.front();
    pending_in_.pop_front();
    // The report id stays behind: the interrupt pipe carries the 64 data bytes.
    const uint32_t length = std::min<uint32_t>(static_cast<uint32_t>(got - 1), urb.length);
    AppendRetSubmit(c.out, urb.seqnum, kStatusOk, reply + 1, length, true);
    urbs_completed_.fetch_add(1, std::memory_order_acq_rel);
  }
}

void UsbipBoardServer::Flush(Connection& c) {
  while (c.fd >= 0 && !c.out.empty()) {
    const ssize_t sent = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (!WouldBlock()) Close(c);
      return;
    }
    c.out.erase(c.out.begin(), c.out.begin() + sent);
  }
}

void UsbipBoardServer::Close(Connection& c) {
  if (c.fd < 0) return;
  close(c.fd);
  c.fd = -1;
  c.in.clear();
  c.out.clear();
  if (c.imported) {
    c.imported = false;
    pending_in_.clear();
    pending_out_.clear();
    imported_.store(false, std::memory_order_release);
  }
}

}  // namespace vaskel::sim
