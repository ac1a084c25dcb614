#include "interrupt.h"

#include "call_report.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace korvel::cli {
namespace {

// Zero until a stop is asked for, then the exit status.
std::atomic<int> stop_status{0};
// Touched only by the thread that calls the library.
MDB_IF_HANDLE held = nullptr;

} // namespace

void hold_interface(MDB_IF_HANDLE handle) { held = handle; }

void release_interface() { held = nullptr; }

void stop_if_asked() {
  const int status = stop_status.load();
  if (status == 0) {
    return;
  }
  if (held != nullptr) {
    const MDB_IF_HANDLE handle = held;
    held = nullptr;
    report_call("MDB_IF_CloseInterface", false, [&] { return MDB_IF_CloseInterface(handle); });
  }
  std::fflush(stdout);
  std::exit(status);
}

int finish(int status) {
  stop_if_asked();
  return status;
}

bool ask_to_stop(int exit_status) {
  int none = 0;
  if (!stop_status.compare_exchange_strong(none, exit_status)) {
    return false;
  }
  std::fprintf(stderr, "korvel: stopping once the library call in progress ends (press Ctrl-C "
                       "again to end at once)\n");
  return true;
}

} // namespace korvel::cli
