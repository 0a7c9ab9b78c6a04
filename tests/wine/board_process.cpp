#include "board_process.h"

#include <cstdlib>

namespace wine_tests {
namespace {

// One line of the child's output; false when the pipe ends first.
bool ReadLine(HANDLE pipe, std::string* line) {
  line->clear();
  char c = 0;
  DWORD n = 0;
  while (ReadFile(pipe, &c, 1, &n, nullptr) && n == 1) {
    if (c == '\n') return true;
    if (c != '\r') line->push_back(c);
  }
  return !line->empty();
}

}  // namespace

std::string BesideThisProgram(const char* file_name) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir = path;
  const auto slash = dir.find_last_of("\\/");
  dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
  return dir + "\\" + file_name;
}

bool BoardProcess::Start(const std::string& exe, std::string* error) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE write_end = nullptr;
  if (!CreatePipe(&output_, &write_end, &inherit, 0)) {
    *error = "CreatePipe failed";
    return false;
  }
  SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  startup.hStdInput = nullptr;
  std::string command = "\"" + exe + "\" --listen 127.0.0.1:0";
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process_);
  CloseHandle(write_end);  // the child holds its own copy; the pipe ends when it exits
  if (!started) {
    *error = "cannot start " + exe;
    return false;
  }
  const std::string prefix = "vaskel-board: listening on 127.0.0.1:";
  std::string line;
  while (ReadLine(output_, &line)) {
    if (line.rfind(prefix, 0) == 0) {
      port_ = static_cast<unsigned>(std::strtoul(line.c_str() + prefix.size(), nullptr, 10));
      if (port_ != 0) return true;
    }
  }
  *error = "vaskel-board ended without a port; last line: " + line;
  return false;
}

bool BoardProcess::WaitForLine(const std::string& prefix, DWORD timeout_ms, std::string* line) {
  const DWORD start = GetTickCount();
  std::string current;
  while (GetTickCount() - start < timeout_ms) {
    DWORD available = 0;
    if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) {
      Sleep(10);  // a child process's pipe has nothing to wait on but time
      continue;
    }
    char c = 0;
    DWORD n = 0;
    if (!ReadFile(output_, &c, 1, &n, nullptr) || n != 1) return false;
    if (c == '\r') continue;
    if (c != '\n') {
      current.push_back(c);
      continue;
    }
    if (current.rfind(prefix, 0) == 0) {
      *line = current;
      return true;
    }
    current.clear();
  }
  return false;
}

BoardProcess::~BoardProcess() {
  if (process_.hProcess) {
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 5000);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }
  if (output_) CloseHandle(output_);
}

}  // namespace wine_tests
