// Windows: the console runs its control handler on a thread of its own.
// Ctrl-C and Ctrl-Break stop korvel as SIGINT does elsewhere (130); closing
// the console window, logging off or shutting down as SIGTERM does (143).
#include "interrupt.h"

#include "results.h"

#include <windows.h>

namespace korvel::cli {
namespace {

BOOL WINAPI on_console_event(DWORD event) {
  const bool keyboard = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  const int status = keyboard ? kExitInterrupted : kExitTerminated;
  if (!ask_to_stop(status)) {
    ExitProcess(static_cast<UINT>(status));
  }
  if (!keyboard) {
    // Windows ends the process once this returns: wait for korvel to stop
    // itself (the system's own time limit still applies).
    Sleep(INFINITE);
  }
  return TRUE;
}

} // namespace

void start_interrupt_handling() { SetConsoleCtrlHandler(on_console_event, TRUE); }

} // namespace korvel::cli
