#pragma once
// vaskel-host chaos: runs seeds of the deterministic simulator and reports.
namespace vaskel::chaos {

// argv[0] is "chaos". Returns the process exit status.
int ChaosMain(int argc, char** argv);

}  // namespace vaskel::chaos
