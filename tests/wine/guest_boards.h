#pragma once
// The USB boards of the guest in scripts/usb-vm-test.sh, as the Windows tests see them. Under
// Wine a Windows program cannot signal a Linux one, so each change is a request line on
// standard output that the guest's script carries out; it answers with a file once the guest's
// kernel has taken the change. Each board's output is read back from the guest's /tmp.
#include <cstdint>
#include <string>
#include <vector>

namespace wine_tests {

// What a board program said when it stopped.
struct BoardTotals {
  int32_t counts[6] = {};
  uint64_t packets = 0;  // well-formed output reports taken
};

class GuestBoards {
 public:
  GuestBoards() = default;
  ~GuestBoards();
  GuestBoards(const GuestBoards&) = delete;
  GuestBoards& operator=(const GuestBoards&) = delete;

  // True inside the guest, where the script serves the requests.
  static bool Available();

  // Plugs in one more board with this identity ("8888:0006:0100"); true once the guest's
  // kernel has bound it.
  bool Add(const char* identity);
  // The first board's cable and its writes (SIGUSR1 and SIGUSR2 of vaskel-board).
  bool Unplug() { return Request("unplug"); }
  // Once the system no longer lists the unplugged board (see LeftTheSystem).
  bool Replug();
  bool Stall() { return Request("stall"); }
  bool Release() { return Request("release"); }
  // The first board's output reports and input reports so far, and its clock in ms.
  bool Packets(uint64_t* out, uint64_t* in, uint64_t* at_ms);
  // Ends every board; their totals in the order they were added. Waits up to 15 s for the
  // system to let them go (see LeftTheSystem) and says when it has not.
  bool StopAll(std::vector<BoardTotals>* totals);

  // How many devices with this identity the system's HID class lists now.
  static int Listed(const std::string& identity);
  // Waits up to `limit_ms` until the system lists none of `identities`. Wine's hotplug
  // takes a removal some seconds after the kernel (its udev monitor, then its PnP manager), and it
  // does not offer a board plugged in again before it has let the old one go: on Windows the
  // removal is done when the kernel's is, so this wait costs nothing there.
  static bool LeftTheSystem(const std::vector<std::string>& identities, uint32_t limit_ms);

  // Lines of board `index` so far, without the program's name.
  std::vector<std::string> Lines(int index) const;
  // How many of the board's lines start with `prefix`.
  int CountLines(int index, const std::string& prefix) const;

 private:
  bool Request(const std::string& what);
  std::vector<std::string> identities_;  // of the boards plugged in, in order
};

}  // namespace wine_tests
