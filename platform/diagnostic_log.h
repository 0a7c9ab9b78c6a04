#pragma once
// The plug-in's diagnostic log: lines for integrators, never for the host's status line.
// Until the plug-in keeps a log file of its own, they go to the standard error stream (and,
// on Windows, to the debugger's output, which a host without a console still shows).
#include <string_view>

namespace vaskel {

void WriteDiagnostic(std::string_view line);

}  // namespace vaskel
