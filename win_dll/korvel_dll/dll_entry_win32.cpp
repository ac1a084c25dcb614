// Loading the module only seeds the stack protector's guard; unloading it
// closes what the library made: an interface the host left open, and the
// waits' timer.
#include "current_interface.h"
#include "port/export_lock.h"
#include "port/stack_guard_win32.h"
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

// Runs before the guard has its value, so it is not protected by it.
extern "C" __attribute__((no_stack_protector)) BOOL WINAPI DllMain(HINSTANCE /*instance*/,
                                                                   DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    korvel::port::seed_stack_guard();
  }
  // reserved is null when FreeLibrary unloads the module, and not null when
  // the process exits: then the other threads are gone, possibly from inside
  // an export holding the lock, and the system closes every handle itself.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    release_on_unload();
  }
  return TRUE;
}
