#include "platform/diagnostic_log.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace vaskel {

void WriteDiagnostic(std::string_view line) {
  const std::string text = std::string(line) + "\n";
  OutputDebugStringA(text.c_str());
  std::fputs(text.c_str(), stderr);
}

}  // namespace vaskel
