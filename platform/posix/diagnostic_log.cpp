#include "platform/diagnostic_log.h"

#include <cstdio>

namespace vaskel {

void WriteDiagnostic(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

}  // namespace vaskel
