#pragma once
// A non-blocking listening TCP socket for the board servers (the emulator link and USB/IP).
#include <cstdint>
#include <string>

namespace vaskel::sim {

// Resolves `host` (empty: every address), binds `port` (0 picks a free one) and listens.
// Returns the socket, or -1 with `error` saying why; `bound_port` receives the port in use.
intptr_t OpenListeningSocket(const std::string& host, uint16_t port, uint16_t& bound_port,
                             std::string* error);

}  // namespace vaskel::sim
