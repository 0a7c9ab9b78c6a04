// Any text as a scenario file and as a machine file: either it parses, or the error names the
// line, and nothing crashes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/board/machine_model.h"
#include "sim/scenario.h"

namespace {

void RequireLineNumber(const std::string& error, const char* what) {
  if (error.rfind("line ", 0) == 0) return;
  std::fprintf(stderr, "%s error without a line number: %s\n", what, error.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vaskel::sim::Scenario scenario;
  std::string error;
  if (!vaskel::sim::ParseScenario(text, &scenario, &error)) RequireLineNumber(error, "scenario");
  const vaskel::sim::MachineParseResult machine = vaskel::sim::ParseMachine(text);
  if (!machine.ok) RequireLineNumber(machine.error, "machine");
  return 0;
}
