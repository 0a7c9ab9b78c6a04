#pragma once
// The board emulator (vaskel-board.exe) as a child process listening on a free loopback port.
#include <windows.h>

#include <string>

namespace wine_tests {

class BoardProcess {
 public:
  BoardProcess() = default;
  ~BoardProcess();
  BoardProcess(const BoardProcess&) = delete;
  BoardProcess& operator=(const BoardProcess&) = delete;

  // Starts the emulator and waits for the port it listens on; false with a reason otherwise.
  bool Start(const std::string& exe, std::string* error);
  unsigned port() const { return port_; }
  // Waits up to timeout_ms for an output line that starts with prefix; false when none came.
  bool WaitForLine(const std::string& prefix, DWORD timeout_ms, std::string* line);

 private:
  PROCESS_INFORMATION process_{};
  HANDLE output_ = nullptr;
  unsigned port_ = 0;
};

// A file that sits next to this test program.
std::string BesideThisProgram(const char* file_name);

}  // namespace wine_tests
