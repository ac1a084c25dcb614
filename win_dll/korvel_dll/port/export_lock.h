// The one process-wide lock that serialises the exports.
//
// Every export shares the current interface and the link buffers, so a call
// from one thread waits for the call in progress on another. The lock is
// statically initialised: it needs no set-up call and allocates nothing.
// Exports never call one another, so it is never taken twice by one thread.
#pragma once

namespace korvel::port {

void lock_exports();
void unlock_exports();

// Holds the lock for the life of one export call.
class ExportLock {
public:
  ExportLock() { lock_exports(); }
  ~ExportLock() { unlock_exports(); }
  ExportLock(const ExportLock &) = delete;
  ExportLock &operator=(const ExportLock &) = delete;
};

} // namespace korvel::port
