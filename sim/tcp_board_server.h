#pragma once
// Serves one board simulator to the emulator link over TCP: on connecting, a client gets the
// board's vendor, product and release (16-bit little-endian each); after that it sends 65-byte
// output reports and receives 65-byte input reports. One client at a time: a new connection
// replaces the current one. While the board is unplugged, clients are turned away.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "sim/board/board_simulator.h"
#include "sim/board/sim_hid_bus.h"

namespace vaskel::sim {

class TcpBoardServer {
 public:
  explicit TcpBoardServer(BoardSimulator& board,
                          HidDeviceInfo identity = {
                              kBoardVendor, kBoardProduct, kBoardRelease, {}});
  ~TcpBoardServer();
  TcpBoardServer(const TcpBoardServer&) = delete;
  TcpBoardServer& operator=(const TcpBoardServer&) = delete;

  // Binds and listens; port 0 takes an ephemeral port (see port()). False with a reason.
  bool Listen(const std::string& host, uint16_t port, std::string* error);
  uint16_t port() const { return port_; }

  // The server's step function: waits up to timeout_ms for a connection or a report, then
  // accepts, moves reports both ways and sends the board's due replies.
  void Step(int timeout_ms);

  bool has_client() const { return client_ != kNone; }
  int clients_accepted() const { return clients_accepted_; }

 private:
  using Socket = intptr_t;
  static constexpr Socket kNone = -1;

  void Accept();
  void DropClient();
  void ReadFromClient();
  void CollectReplies();
  void Flush();

  BoardSimulator& board_;
  const HidDeviceInfo identity_;
  Socket listener_ = kNone;
  Socket client_ = kNone;
  uint16_t port_ = 0;
  uint64_t generation_ = 0;
  int clients_accepted_ = 0;
  std::vector<uint8_t> in_;
  std::vector<uint8_t> out_;
  std::vector<uint8_t> held_;  // a report the board would not take yet (stalled writes)
};

}  // namespace vaskel::sim
