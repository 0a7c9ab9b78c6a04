#pragma once
// Serves one board simulator as a USB/IP device: a client lists or imports it (busid "1-1"),
// and the imported connection then carries URBs. Interrupt-OUT URBs hand the plug-in's output
// reports to the board and complete once it took them (a stalled board holds them);
// interrupt-IN URBs wait until the board has a reply. Unplugging the board closes the
// connection, which the client's kernel sees as the device leaving; after a replug the
// device can be imported again. POSIX sockets only.
#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/board/board_simulator.h"
#include "sim/board/sim_hid_bus.h"
#include "sim/usbip/usb_hid_descriptors.h"
#include "sim/usbip/usbip_wire.h"

namespace vaskel::sim {

class UsbipBoardServer {
 public:
  static constexpr const char* kBusId = "1-1";

  explicit UsbipBoardServer(BoardSimulator& board, usbip::UsbIdentity identity = {
                                                       kBoardVendor, kBoardProduct, kBoardRelease});
  ~UsbipBoardServer();
  UsbipBoardServer(const UsbipBoardServer&) = delete;
  UsbipBoardServer& operator=(const UsbipBoardServer&) = delete;

  // Binds and listens; port 0 takes an ephemeral port (see port()). False with a reason.
  bool Listen(const std::string& host, uint16_t port, std::string* error);
  uint16_t port() const { return port_; }

  // The server's step function: waits up to timeout_ms for traffic, then answers requests,
  // moves reports both ways and completes the URBs that can be.
  void Step(int timeout_ms);

  bool imported() const { return imported_.load(std::memory_order_acquire); }
  int imports() const { return imports_.load(std::memory_order_acquire); }
  uint64_t urbs_completed() const { return urbs_completed_.load(std::memory_order_acquire); }

 private:
  struct Connection {
    int fd = -1;
    bool imported = false;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
  };
  struct PendingIn {
    uint32_t seqnum;
    uint32_t length;
  };
  struct PendingOut {
    uint32_t seqnum;
    uint32_t length;
    std::vector<uint8_t> report;  // report id 0 and the URB's data
  };

  void Accept();
  void Receive(Connection& c);
  void HandleOperation(Connection& c);
  void HandleUrb(Connection& c);
  void Submit(Connection& c, const usbip::UrbCommand& command, const uint8_t* payload);
  void Unlink(Connection& c, const usbip::UrbCommand& command);
  void FeedBoard(Connection& c);
  void CompleteInUrbs(Connection& c);
  void Flush(Connection& c);
  void Close(Connection& c);
  usbip::ExportedDevice Exported() const;

  BoardSimulator& board_;
  const usbip::UsbIdentity identity_;
  int listener_ = -1;
  uint16_t port_ = 0;
  uint64_t generation_ = 0;
  std::vector<Connection> connections_;
  std::deque<PendingIn> pending_in_;
  std::deque<PendingOut> pending_out_;
  std::atomic<bool> imported_{false};
  std::atomic<int> imports_{0};
  std::atomic<uint64_t> urbs_completed_{0};
};

}  // namespace vaskel::sim
