#include "guest_boards.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/system_hid.h"

namespace wine_tests {
namespace {

// The guest's /tmp through Wine's drive Z:.
constexpr const char* kGuestDir = "Z:\\tmp\\usb-vm\\";
constexpr DWORD kAnswerMs = 90000;  // a board import and udev's work on an emulated CPU
constexpr const char* kProgram = "vaskel-board: ";
// How long the system may take to let a board go after the guest's kernel has (Wine: about
// 2.5 s on an emulated CPU).
constexpr DWORD kLeaveMs = 60000;
// At a case's end, a shorter wait: a system that lists removed boards longer gets restarted.
constexpr DWORD kLeaveBetweenCasesMs = 15000;

std::string BoardLog(int index) {
  return std::string(kGuestDir) + "board-" + std::to_string(index) + ".log";
}

}  // namespace

bool GuestBoards::Available() {
  return std::getenv("VASKEL_WINE_USB_BOARD") != nullptr;
}

bool GuestBoards::Request(const std::string& what) {
  // Unique in the guest's run: the answers of earlier cases and programs stay where they are.
  // Wine reuses process ids from one run to the next, so the program's start time goes in.
  static const std::string run =
      std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
  static int requests = 0;
  const std::string id = run + "-" + std::to_string(++requests);
  std::printf("usb-vm: request %s %s\n", id.c_str(), what.c_str());
  std::fflush(stdout);
  const std::string answer = std::string(kGuestDir) + "done-" + id;
  const DWORD start = GetTickCount();
  // A file written by another system's program has nothing to wait on but time.
  while (GetFileAttributesA(answer.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount() - start > kAnswerMs) {
      std::printf("  no answer to request %s (%s)\n", id.c_str(), what.c_str());
      return false;
    }
    Sleep(20);
  }
  std::ifstream in(answer);
  std::string verdict;
  std::getline(in, verdict);
  if (verdict != "ok") {
    std::printf("  request %s (%s): %s\n", id.c_str(), what.c_str(), verdict.c_str());
  }
  return verdict == "ok";
}

GuestBoards::~GuestBoards() {
  // A case that ended early leaves no board behind for the next one.
  std::vector<BoardTotals> totals;
  if (!identities_.empty()) StopAll(&totals);
}

bool GuestBoards::Add(const char* identity) {
  if (!Request(std::string("add ") + identity)) return false;
  identities_.push_back(identity);
  return true;
}

bool GuestBoards::Replug() {
  if (identities_.empty() || !LeftTheSystem({identities_[0]}, kLeaveMs)) return false;
  return Request("replug");
}

int GuestBoards::Listed(const std::string& identity) {
  unsigned vendor = 0, product = 0, release = 0;
  if (std::sscanf(identity.c_str(), "%x:%x:%x", &vendor, &product, &release) != 3) return 0;
  int n = 0;
  for (const vaskel::HidDeviceInfo& d : vaskel::MakeSystemHidBus()->Enumerate()) {
    n += d.vendor == vendor && d.product == product && d.release == release;
  }
  return n;
}

bool GuestBoards::LeftTheSystem(const std::vector<std::string>& identities, uint32_t limit_ms) {
  std::vector<std::string> distinct;
  for (const std::string& identity : identities) {
    if (std::find(distinct.begin(), distinct.end(), identity) == distinct.end()) {
      distinct.push_back(identity);
    }
  }
  const DWORD start = GetTickCount();
  for (;;) {
    std::string listed;
    for (const std::string& identity : distinct) {
      if (Listed(identity) > 0) listed += " " + identity;
    }
    if (listed.empty()) break;
    if (GetTickCount() - start > limit_ms) {
      std::printf("  the system still lists%s %lu ms after the kernel let it go\n", listed.c_str(),
                  static_cast<unsigned long>(limit_ms));
      std::fflush(stdout);
      return false;
    }
    Sleep(100);
  }
  std::printf("  the system lists none of the removed boards after %lu ms more\n",
              static_cast<unsigned long>(GetTickCount() - start));
  std::fflush(stdout);
  return true;
}

bool GuestBoards::Packets(uint64_t* out, uint64_t* in, uint64_t* at_ms) {
  const int before = CountLines(0, "packets ");
  if (!Request("packets")) return false;
  int seen = 0;
  for (const std::string& line : Lines(0)) {
    if (line.rfind("packets ", 0) != 0 || ++seen <= before) continue;
    unsigned long long o = 0, i = 0, t = 0;
    if (std::sscanf(line.c_str(), "packets %llu, replies %llu at %llu ms", &o, &i, &t) != 3) break;
    *out = o;
    *in = i;
    *at_ms = t;
    return true;
  }
  return false;
}

bool GuestBoards::StopAll(std::vector<BoardTotals>* totals) {
  totals->clear();
  const std::vector<std::string> identities = std::move(identities_);
  identities_.clear();
  if (!Request("stop")) return false;
  // Wine has been seen to list a removed pair for over a minute, and not to offer a board
  // plugged in meanwhile. Not this case's failure: the guest's script finds the mark and
  // starts the next case in a Wine of its own.
  if (!LeftTheSystem(identities, kLeaveBetweenCasesMs)) {
    const std::string mark = std::string(kGuestDir) + "system-lists-removed-boards";
    CloseHandle(CreateFileA(mark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  const int count = static_cast<int>(identities.size());
  for (int b = 0; b < count; ++b) {
    BoardTotals t;
    bool found = false;
    for (const std::string& line : Lines(b)) {
      unsigned long long packets = 0;
      found |= std::sscanf(line.c_str(), "stopped, counts %d %d %d %d %d %d, packets %llu",
                           &t.counts[0], &t.counts[1], &t.counts[2], &t.counts[3], &t.counts[4],
                           &t.counts[5], &packets) == 7;
      if (found) {
        t.packets = packets;
        break;
      }
    }
    if (!found) {
      std::printf("  board %d left no totals\n", b);
      return false;
    }
    totals->push_back(t);
  }
  return true;
}

std::vector<std::string> GuestBoards::Lines(int index) const {
  std::vector<std::string> lines;
  std::ifstream in(BoardLog(index));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(kProgram, 0) == 0) lines.push_back(line.substr(std::string(kProgram).size()));
  }
  return lines;
}

int GuestBoards::CountLines(int index, const std::string& prefix) const {
  int n = 0;
  for (const std::string& line : Lines(index)) n += line.rfind(prefix, 0) == 0;
  return n;
}

}  // namespace wine_tests
