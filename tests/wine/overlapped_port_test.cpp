// The overlapped port engine over named pipes whose far end is slow, stalls, or disappears:
// one write in flight whoever waits for it, whole reports in order, a read that times out
// stays in flight, and a port destroyed with transfers outstanding waits for them.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/win32/overlapped_port.h"

namespace {

using namespace vaskel;

using Report = std::vector<uint8_t>;

// One direction of a pipe. The far end is the test's own (plain blocking I/O); the near end
// is opened overlapped and handed to the port.
struct Pipe {
  HANDLE far_end = INVALID_HANDLE_VALUE;
  HANDLE near_end = INVALID_HANDLE_VALUE;
  ~Pipe() { CloseFarEnd(); }
  void CloseFarEnd() {
    if (far_end != INVALID_HANDLE_VALUE) CloseHandle(far_end);
    far_end = INVALID_HANDLE_VALUE;
  }
};

// `port_writes`: the port writes into this pipe (else it reads from it). `buffer` is the
// pipe's quota: a write that does not fit waits for the far end to read. `near_flags`: how
// the port's end is opened (without FILE_FLAG_OVERLAPPED, a write that does not fit holds the
// writing thread inside WriteFile, as Wine's HID stack does).
bool OpenPipe(bool port_writes, DWORD buffer, Pipe* pipe, DWORD near_flags = FILE_FLAG_OVERLAPPED) {
  static int serial = 0;
  const std::string name = "\\\\.\\pipe\\vaskel-port-" + std::to_string(GetCurrentProcessId()) +
                           "-" + std::to_string(++serial);
  pipe->far_end = CreateNamedPipeA(
      name.c_str(), port_writes ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, buffer, buffer, 0, nullptr);
  if (pipe->far_end == INVALID_HANDLE_VALUE) return false;
  pipe->near_end = CreateFileA(name.c_str(), port_writes ? GENERIC_WRITE : GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, near_flags, nullptr);
  if (pipe->near_end == INVALID_HANDLE_VALUE) return false;
  ConnectNamedPipe(pipe->far_end, nullptr);  // already connected; says so
  return true;
}

// A port over two fresh pipes; the port owns the near ends.
struct PipePort {
  explicit PipePort(DWORD buffer) {
    REQUIRE(OpenPipe(true, buffer, &out));
    REQUIRE(OpenPipe(false, buffer, &in));
    port = MakeOverlappedPort(in.near_end, out.near_end);
    REQUIRE(port != nullptr);
  }
  Pipe out;  // the port writes, the far end reads
  Pipe in;   // the far end writes, the port reads
  std::unique_ptr<HidPort> port;
};

bool ReadExact(HANDLE h, uint8_t* out, DWORD n) {
  DWORD have = 0;
  while (have < n) {
    DWORD got = 0;
    if (!ReadFile(h, out + have, n - have, &got, nullptr) || got == 0) return false;
    have += got;
  }
  return true;
}

bool WriteAll(HANDLE h, const uint8_t* data, DWORD n) {
  DWORD put = 0;
  return WriteFile(h, data, n, &put, nullptr) && put == n;
}

Report NumberedReport(int i) {
  Report r(kReportSize);
  r[0] = 0;
  for (size_t k = 1; k < kReportSize; ++k) r[k] = static_cast<uint8_t>(i * 7 + k);
  return r;
}

// Writes like the link's sender: waits until no write is in flight, then starts the next.
uint32_t SendNext(HidPort& port, const Report& r) {
  while (!port.WaitWriteDone(100)) {
  }
  return port.StartWrite(r.data());
}

WINE_TEST(OverlappedPortKeepsOneWriteInFlightForASlowReaderAndTwoWaiters) {
  constexpr int kReports = 200;
  PipePort p(kReportSize);
  std::vector<Report> received;
  std::thread far_reader([&] {
    for (int i = 0; i < kReports; ++i) {
      if (i % 4 == 0) Sleep(2);
      Report r(kReportSize);
      if (!ReadExact(p.out.far_end, r.data(), kReportSize)) return;
      received.push_back(r);
    }
  });
  // A second waiter on the same write, as the link's write-completion worker is.
  std::atomic<bool> stop{false};
  std::thread second_waiter([&] {
    while (!stop) p.port->WaitWriteDone(100);
  });
  int refused = 0;
  for (int i = 0; i < kReports; ++i) {
    const uint32_t result = SendNext(*p.port, NumberedReport(i));
    if (result != hid_error::kNone && result != hid_error::kIoPending) ++refused;
  }
  far_reader.join();
  stop = true;
  second_waiter.join();
  CHECK_EQ(refused, 0);
  REQUIRE(received.size() == static_cast<size_t>(kReports));
  int mismatched = 0;
  for (int i = 0; i < kReports; ++i) mismatched += received[i] != NumberedReport(i);
  CHECK_EQ(mismatched, 0);
}

WINE_TEST(OverlappedPortReadThatTimesOutStaysInFlight) {
  PipePort p(kReportSize);
  uint8_t report[kReportSize] = {};
  CHECK_EQ(p.port->Read(report, 20), 0);
  const Report sent = NumberedReport(5);
  REQUIRE(WriteAll(p.in.far_end, sent.data(), kReportSize));
  CHECK_EQ(p.port->Read(report, 5000), static_cast<int>(kReportSize));
  CHECK(Report(report, report + kReportSize) == sent);
}

// Writes until the far end's quota is full and one write stays in flight.
bool FillUntilAWriteIsHeld(HidPort& port, int* written) {
  for (int i = 0; i < 64; ++i) {
    const uint32_t result = SendNext(port, NumberedReport(i));
    if (result != hid_error::kNone && result != hid_error::kIoPending) return false;
    ++*written;
    if (result == hid_error::kIoPending && !port.WaitWriteDone(50)) return true;
  }
  return false;
}

WINE_TEST(OverlappedPortDestroyedWithAStalledWriteAndAPendingReadWaitsForBoth) {
  PipePort p(kReportSize);
  int written = 0;
  REQUIRE(FillUntilAWriteIsHeld(*p.port, &written));
  // The held write's buffer and OVERLAPPED are the system's: nothing else may start.
  CHECK(p.port->StartWrite(NumberedReport(99).data()) != hid_error::kIoPending);
  uint8_t report[kReportSize] = {};
  CHECK_EQ(p.port->Read(report, 20), 0);
  const DWORD start = GetTickCount();
  p.port.reset();  // cancels both and waits for them to end
  CHECK(GetTickCount() - start < 5000);
  // What went out before the stall arrives whole.
  Report first(kReportSize);
  REQUIRE(ReadExact(p.out.far_end, first.data(), kReportSize));
  CHECK(first == NumberedReport(0));
}

WINE_TEST(OverlappedPortWhoseFarEndDisappearsEndsItsTransfersWithErrors) {
  PipePort p(kReportSize);
  int written = 0;
  REQUIRE(FillUntilAWriteIsHeld(*p.port, &written));
  uint8_t report[kReportSize] = {};
  CHECK_EQ(p.port->Read(report, 20), 0);
  p.out.CloseFarEnd();
  p.in.CloseFarEnd();
  CHECK(p.port->WaitWriteDone(5000));
  // The held write failed on its way: told as its own failure, so its packet is kept.
  CHECK(p.port->LastWriteResult() != hid_error::kNone);
  CHECK_EQ(p.port->Read(report, 5000), -1);
  // Failed at once, or on its way when the system took its time to say so.
  uint32_t result = p.port->StartWrite(NumberedReport(1).data());
  if (result == hid_error::kIoPending && p.port->WaitWriteDone(5000)) {
    result = p.port->LastWriteResult();
  }
  CHECK(result != hid_error::kNone && result != hid_error::kIoPending);
  std::printf("  write after the far end went: error %u\n", static_cast<unsigned>(result));
  p.port->Close();
  CHECK_EQ(p.port->StartWrite(NumberedReport(2).data()), hid_error::kInvalidHandle);
  CHECK(p.port->WaitWriteDone(0));
  CHECK_EQ(p.port->Read(report, 0), -1);
}

// A system that holds the writing thread inside WriteFile until the report is taken (Wine's
// HID stack, up to the kernel's 5 s for a board that takes none): the write is pending at
// once, the read side and the close are not held by it, and the port's end lets the held
// call finish on its own.
WINE_TEST(OverlappedPortWhoseSystemHoldsTheWriteCallKeepsTheCallerFree) {
  Pipe out;
  Pipe in;
  REQUIRE(OpenPipe(true, kReportSize, &out, 0));
  REQUIRE(OpenPipe(false, kReportSize, &in));
  auto port = MakeOverlappedPort(in.near_end, out.near_end);
  REQUIRE(port != nullptr);
  // A call held for good would hang the case: after 20 s the far end reads, and the case fails.
  std::atomic<bool> finished{false};
  std::atomic<bool> rescued{false};
  Report first(kReportSize);
  std::thread guard([&] {
    for (int i = 0; i < 200 && !finished; ++i) Sleep(100);
    if (finished) return;
    rescued = true;
    ReadExact(out.far_end, first.data(), kReportSize);
  });
  uint32_t result = SendNext(*port, NumberedReport(0));  // fits the pipe's quota
  CHECK(result == hid_error::kNone || result == hid_error::kIoPending);
  result = SendNext(*port, NumberedReport(1));  // held inside the call
  CHECK_EQ(result, hid_error::kIoPending);
  CHECK(!port->WaitWriteDone(0));
  uint8_t report[kReportSize] = {};
  CHECK_EQ(port->Read(report, 0), 0);
  port.reset();
  finished = true;
  guard.join();
  CHECK(!rescued);
  if (!rescued) REQUIRE(ReadExact(out.far_end, first.data(), kReportSize));
  CHECK(first == NumberedReport(0));
}

}  // namespace
