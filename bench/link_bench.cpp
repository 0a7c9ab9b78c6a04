// What one emulator discovery pass costs the host's thread when an endpoint accepts and never
// says who it is, next to one that refuses.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/tcp_hid.h"

namespace vaskel {
namespace {

// A loopback port whose backlog completes connections nobody accepts: connected, and silent.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 64);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

uint16_t RefusedPort() {
  SilentListener closed_soon;
  return closed_soon.port();  // nobody listens once it is gone
}

void BM_TcpDiscoveryPassSilentAndRefusedEndpoints(benchmark::State& state) {
  SilentListener silent;
  const uint16_t refused = RefusedPort();
  auto bus = MakeTcpHidBus({{"127.0.0.1", silent.port()}, {"127.0.0.1", refused}});
  size_t listed = 0;
  for (auto _ : state) listed += bus->Enumerate().size();
  state.counters["listed"] = static_cast<double>(listed);
}
BENCHMARK(BM_TcpDiscoveryPassSilentAndRefusedEndpoints)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vaskel
