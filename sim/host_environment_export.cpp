// The one symbol a substitute host exports for the plug-in: its clock, its board and how the
// plug-in's workers run.
#include "sim/substitute_host.h"

namespace {
vaskel::HostEnvironment* g_environment = nullptr;
}

namespace vaskel::sim {
void SetHostEnvironment(HostEnvironment* env) {
  g_environment = env;
}
}  // namespace vaskel::sim

extern "C" __attribute__((visibility("default"))) vaskel::HostEnvironment* VaskelHostEnvironment(
    void) {
  return g_environment;
}
