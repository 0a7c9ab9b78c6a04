// vaskel-wine-tests: loads the built plug-in under Windows (or Wine) and runs it through the
// host's calling order with real window timers. Usage: vaskel-wine-tests [--plugin PATH]
// [--filter TEXT] [--artifacts DIR] (screenshots of the dialog are saved there). The last
// line is "N passed, N failed"; the exit code is non-zero on failure. With --usb-bench it
// measures the link against the USB board of scripts/usb-vm-test.sh's guest instead.
#include <windows.h>

#include <cstdio>
#include <string>

#include "board_process.h"
#include "harness.h"
#include "screenshot.h"
#include "usb_link_bench.h"
#include "wine_support.h"

int main(int argc, char** argv) {
  std::string plugin = wine_tests::BesideThisProgram("vaskel.dll");
  std::string filter;
  bool bench = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--plugin" && i + 1 < argc) {
      plugin = argv[++i];
    } else if (arg == "--filter" && i + 1 < argc) {
      filter = argv[++i];
    } else if (arg == wine_tests::kExitWithoutStopPlugFlag) {
      wine_tests::SetPluginPath(plugin);
      wine_tests::ExitWithoutStopPlug();
    } else if (arg == "--usb-bench") {
      bench = true;
    } else if (arg == "--artifacts" && i + 1 < argc) {
      wine_tests::SetArtifactDir(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: vaskel-wine-tests [--plugin PATH] [--filter TEXT] "
                   "[--artifacts DIR] [--usb-bench]\n");
      return 2;
    }
  }
  wine_tests::SetPluginPath(plugin);
  if (bench) return wine_tests::RunUsbLinkBench();
  return wine_tests::RunAll(filter) == 0 ? 0 : 1;
}
