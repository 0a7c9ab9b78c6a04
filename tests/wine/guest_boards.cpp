#include "guest_boards.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace wine_tests {
namespace {

// The guest's /tmp through Wine's drive Z:.
constexpr const char* kGuestDir = "Z:\\tmp\\usb-vm\\";
constexpr DWORD kAnswerMs = 90000;  // a board import and udev's work on an emulated CPU
constexpr const char* kProgram = "vaskel-board: ";

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
  if (boards_ > 0) StopAll(&totals);
}

bool GuestBoards::Add(const char* identity) {
  if (!Request(std::string("add ") + identity)) return false;
  ++boards_;
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
  const int count = boards_;
  boards_ = 0;
  if (!Request("stop")) return false;
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
