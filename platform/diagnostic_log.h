#pragma once
// The diagnostic log: lines of text appended to the file VASKEL_LOG names, for whoever has to
// find out afterwards what the link did. Unset, nothing is opened and nothing is written.
// Writes take a lock and touch the file, so they belong off the tick and the link workers.
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace vaskel {

inline constexpr const char* kLogVariable = "VASKEL_LOG";

// A line for integrators, never for the host's status line: on the standard error stream and,
// on Windows, the debugger's output, which a host without a console still shows. One
// implementation per platform. The platform also writes such lines to its log file.
void WriteDiagnostic(std::string_view line);

class DiagnosticLog {
 public:
  virtual ~DiagnosticLog() = default;
  // False: Write does nothing, and callers may skip composing their lines.
  virtual bool enabled() const { return false; }
  // One line; the newline is added. Safe from any thread.
  virtual void Write(std::string_view line) {}
};

// Where a log that cannot be opened or written says so, once (stderr, the debugger output).
using LogFailureReport = void (*)(const char* text);

// The log in a file, opened for appending; each Write ends with a flush, so a crash loses
// nothing that was written.
class FileDiagnosticLog : public DiagnosticLog {
 public:
  FileDiagnosticLog() = default;
  ~FileDiagnosticLog() override;
  FileDiagnosticLog(const FileDiagnosticLog&) = delete;
  FileDiagnosticLog& operator=(const FileDiagnosticLog&) = delete;

  // path: the variable's value; null or empty leaves the log off. A file that cannot be
  // opened is reported and the log stays off.
  void Open(const char* path, LogFailureReport report);
  bool enabled() const override;
  void Write(std::string_view line) override;

 private:
  void FailLocked(const char* what);

  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string path_;
  LogFailureReport report_ = nullptr;
};

}  // namespace vaskel
