// Why MDB_IF_OpenInterface returned 2, in words. The library leaves the
// reason where the platform keeps it: errno on Linux, GetLastError() on
// Windows.
#pragma once

#include <string>

namespace korvel::cli {

#ifdef _WIN32
using SystemError = unsigned long; // DWORD
#else
using SystemError = int;
#endif

// Cleared before the open, so that 0 afterwards means the library gave no
// reason rather than a stale one from earlier in the program.
void clear_system_error();
// Read straight after the open returns: any later call, printf included,
// may overwrite it.
SystemError last_system_error();

// The lines that follow the open's result: the reason in words ("no such
// port", or the system's own text), and a hint for a name given as a path.
void print_open_failure(const std::string &port, SystemError error);

} // namespace korvel::cli
