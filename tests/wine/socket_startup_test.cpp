// The socket library start at load: version 1.1 is asked for, and a failure is shown to the
// user and fails the load.
#include <winsock2.h>

#include <string>

#include "harness.h"
#include "platform/win32/module/socket_startup.h"

namespace {

WORD g_requested = 0;
std::string g_alert;
int g_alerts = 0;

int WSAAPI RefusingStartup(WORD version, LPWSADATA) {
  g_requested = version;
  return WSASYSNOTREADY;
}

int WSAAPI RealStartup(WORD version, LPWSADATA data) {
  g_requested = version;
  return WSAStartup(version, data);
}

void RecordAlert(const char* text) {
  g_alert = text;
  ++g_alerts;
}

void Reset() {
  g_requested = 0;
  g_alert.clear();
  g_alerts = 0;
}

WINE_TEST(FailedSocketStartTellsTheUserAndFailsTheLoad) {
  Reset();
  CHECK(!vaskel::win32::StartSockets(&RefusingStartup, &RecordAlert));
  CHECK_EQ(g_requested, MAKEWORD(1, 1));
  CHECK_EQ(g_alerts, 1);
  CHECK_EQ(g_alert, std::string("Sockets Init Failed"));
  vaskel::win32::StopSockets();  // nothing was started: nothing to balance
}

WINE_TEST(SocketStartAsksForVersionOneOneAndSaysNothing) {
  Reset();
  CHECK(vaskel::win32::StartSockets(&RealStartup, &RecordAlert));
  CHECK_EQ(g_requested, MAKEWORD(1, 1));
  CHECK_EQ(g_alerts, 0);
  vaskel::win32::StopSockets();
  vaskel::win32::StopSockets();  // a second stop does nothing
}

}  // namespace
