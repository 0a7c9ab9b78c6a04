#include "platform/diagnostic_log.h"

namespace vaskel {

FileDiagnosticLog::~FileDiagnosticLog() {
  std::lock_guard lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void FileDiagnosticLog::Open(const char* path, LogFailureReport report) {
  std::lock_guard lock(mutex_);
  report_ = report;
  if (!path || !*path || file_) return;
  path_ = path;
  file_ = std::fopen(path, "a");
  if (!file_) FailLocked("cannot be opened");
}

bool FileDiagnosticLog::enabled() const {
  std::lock_guard lock(mutex_);
  return file_ != nullptr;
}

void FileDiagnosticLog::Write(std::string_view line) {
  std::lock_guard lock(mutex_);
  if (!file_) return;
  const bool ok = std::fwrite(line.data(), 1, line.size(), file_) == line.size() &&
                  std::fputc('\n', file_) != EOF && std::fflush(file_) == 0;
  if (!ok) {
    std::fclose(file_);
    file_ = nullptr;
    FailLocked("cannot be written");
  }
}

// Said once: after it the log is off for good.
void FileDiagnosticLog::FailLocked(const char* what) {
  if (!report_) return;
  const std::string text = "vaskel: the diagnostic log " + path_ + " " + what + "; logging is off";
  report_(text.c_str());
}

}  // namespace vaskel
