// Win32: a statically initialised slim reader/writer lock, taken exclusively.
// Unlike a winpthread mutex it allocates nothing and needs no set-up call.
#include "export_lock.h"

#include <windows.h>

namespace korvel::port {
namespace {
SRWLOCK g_exports = SRWLOCK_INIT;
}

void lock_exports() { AcquireSRWLockExclusive(&g_exports); }

void unlock_exports() { ReleaseSRWLockExclusive(&g_exports); }

} // namespace korvel::port
