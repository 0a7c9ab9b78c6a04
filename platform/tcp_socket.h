#pragma once
// The socket seam under the emulator link: the link's protocol, bus and port logic are written
// once on top of it, and each platform supplies its sockets (BSD sockets, Winsock).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/hid.h"
#include "platform/tcp_hid.h"

namespace vaskel {

// Why a send or receive failed.
enum class SocketError {
  kWouldBlock,   // nothing can move now; wait for the socket
  kInterrupted,  // a signal cut the call short; try again at once
  kLost,         // the connection is gone (reset, not connected, pipe closed)
  kFailed,       // anything else
};

// How far a non-blocking connect has got.
enum class ConnectState { kConnecting, kConnected, kFailed };

// One non-blocking stream socket, connecting or connected; destroying it closes it.
class TcpSocket {
 public:
  virtual ~TcpSocket() = default;
  // Without waiting: whether the connect has ended, and how. A refused address gives way to
  // the endpoint's next one.
  virtual ConnectState PollConnect() = 0;
  // True once the socket is readable (or has an error to report) within the time-out.
  virtual bool WaitReadable(int timeout_ms) = 0;
  // True once the socket is writable (a connect has ended) within the time-out.
  virtual bool WaitWritable(int timeout_ms) = 0;
  // Bytes moved; 0 when the peer ended the stream (receive); negative on failure, with the
  // cause in LastError.
  virtual ptrdiff_t Send(const uint8_t* data, size_t n) = 0;
  virtual ptrdiff_t Recv(uint8_t* data, size_t n) = 0;
  // The cause of this thread's last failed Send or Recv.
  virtual SocketError LastError() = 0;
  // True when the system already knows the peer hung up, without waiting.
  virtual bool PeerHungUp() = 0;
  // Ends both directions, so a thread waiting on the socket wakes; safe from any thread.
  virtual void Shutdown() = 0;
};

// The platform's network stack for one bus (set up and torn down with it).
class TcpNetwork {
 public:
  virtual ~TcpNetwork() = default;
  // Starts a non-blocking connect; null when the endpoint cannot be resolved or refuses at once.
  virtual std::unique_ptr<TcpSocket> StartConnect(const TcpEndpoint& endpoint) = 0;
};

// The emulator-link bus over a platform's sockets. Each platform's MakeTcpHidBus(endpoints)
// calls this with its own network, so the core never calls up into the platform library.
std::unique_ptr<HidBus> MakeTcpHidBus(std::unique_ptr<TcpNetwork> network,
                                      std::vector<TcpEndpoint> endpoints);

}  // namespace vaskel
