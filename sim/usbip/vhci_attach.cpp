#include "sim/usbip/vhci_attach.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/usbip/usbip_wire.h"

namespace vaskel::sim::usbip {
namespace {

constexpr int kPortFree = 4;  // the kernel's "no device on this port" state

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, uint8_t* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = recv(fd, out + done, size - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int Connect(const std::string& host, uint16_t port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    *error = "cannot resolve '" + host + "'";
    return -1;
  }
  const int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  const bool ok = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (!ok) {
    *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// A free port of the hub a device of this speed belongs on. The status lines read
// "hub port sta ..." (or "port sta ..." on kernels with one hub per controller).
int FreePort(uint32_t speed) {
  std::ifstream status(std::string(kVhciPath) + "/status");
  std::string line;
  std::getline(status, line);  // the column names
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    std::string hub = "hs";
    int port = -1;
    int state = -1;
    if (first == "hs" || first == "ss") {
      hub = first;
      fields >> port >> state;
    } else {
      port = std::atoi(first.c_str());
      fields >> state;
    }
    if (state == kPortFree && (hub == "ss") == (speed >= 5)) return port;
  }
  return -1;
}

}  // namespace

int AttachUsbipDevice(const std::string& host, uint16_t port, const std::string& busid,
                      std::string* error) {
  const int fd = Connect(host, port, error);
  if (fd < 0) return -1;
  std::vector<uint8_t> request;
  AppendImportRequest(request, busid);
  uint8_t header[kOpHeaderSize];
  if (!SendAll(fd, request) || !ReceiveAll(fd, header, sizeof header)) {
    *error = "import of " + busid + ": connection lost";
    close(fd);
    return -1;
  }
  const OpHeader reply = DecodeOpHeader(header);
  if (reply.code != kOpRepImport || reply.status != 0) {
    *error = "import of " + busid + " refused";
    close(fd);
    return -1;
  }
  uint8_t record[kDeviceRecordSize];
  if (!ReceiveAll(fd, record, sizeof record)) {
    *error = "import of " + busid + ": connection lost";
    close(fd);
    return -1;
  }
  const ExportedDevice device = DecodeDeviceRecord(record);
  const int vhci_port = FreePort(device.speed);
  if (vhci_port < 0) {
    *error = "no free port on " + std::string(kVhciPath);
    close(fd);
    return -1;
  }
  const uint32_t devid = device.busnum << 16 | device.devnum;
  std::ofstream attach(std::string(kVhciPath) + "/attach");
  attach << vhci_port << ' ' << fd << ' ' << devid << ' ' << device.speed << std::flush;
  const bool attached = attach.good();
  // The kernel holds its own reference to the socket now.
  close(fd);
  if (!attached) {
    *error = "attach to port " + std::to_string(vhci_port) + " refused";
    return -1;
  }
  return vhci_port;
}

bool DetachVhciPort(int vhci_port, std::string* error) {
  std::ofstream detach(std::string(kVhciPath) + "/detach");
  detach << vhci_port << std::flush;
  if (!detach.good()) {
    *error = "detach of port " + std::to_string(vhci_port) + " refused";
    return false;
  }
  return true;
}

}  // namespace vaskel::sim::usbip
