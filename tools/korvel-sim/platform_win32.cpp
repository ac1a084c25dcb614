#include "platform.h"

#include <atomic>
#include <windows.h>

namespace korvel::simtool {
namespace {

// How long a closing console window (or logoff, shutdown) waits for
// korvel-sim to let go of its port; Windows ends the process after about 5 s
// regardless.
constexpr DWORD kCloseGraceMs = 4000;
constexpr DWORD kCloseGracePollMs = 20;

std::atomic<bool> g_stop_requested{false};
std::atomic<bool> g_stopped{false};

BOOL WINAPI on_console_event(DWORD event) {
  g_stop_requested = true;
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends once this returns: give the main thread time to
    // close the port and print its summary first.
    for (DWORD waited = 0; !g_stopped && waited < kCloseGraceMs; waited += kCloseGracePollMs) {
      Sleep(kCloseGracePollMs);
    }
  }
  return TRUE;
}

} // namespace

void stop_on_request() { (void)SetConsoleCtrlHandler(on_console_event, TRUE); }

bool stop_requested() { return g_stop_requested; }

void stopped() { g_stopped = true; }

std::tm local_time(std::time_t time) {
  std::tm local{};
  (void)localtime_s(&local, &time);
  return local;
}

std::string unavailable_here(std::string_view option) {
  if (option == "--wine-com" || option == "--wine-prefix") {
    return "is for korvel-sim on Linux, serving Windows programs under Wine; on Windows give "
           "--device COMn";
  }
  return "";
}

std::string device_needed_because() {
  return "on Windows korvel-sim needs --device COMn: one end of a virtual null-modem pair "
         "(com0com's CNCB0, or COM11 of a COM10-COM11 pair), whose other end the host opens";
}

} // namespace korvel::simtool
