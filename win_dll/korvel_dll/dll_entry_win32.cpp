// Loading the module does nothing of its own; unloading it closes what the
// library made: an interface the host left open, and the waits' timer.
#include "current_interface.h"
#include "port/export_lock.h"
#include "port/wait_win32.h"

#include <windows.h>

namespace {

void release_on_unload() {
  // A call still running on another thread finishes first.
  const korvel::port::ExportLock lock;
  korvel::close_current_interface();
  korvel::port::release_wait_timer();
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
  // reserved is null when FreeLibrary unloads the module, and not null when
  // the process exits: then the other threads are gone, possibly from inside
  // an export holding the lock, and the system closes every handle itself.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    release_on_unload();
  }
  return TRUE;
}
