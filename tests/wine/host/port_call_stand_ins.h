// Stand-ins for the kernel32 calls with which the Win32 port backend opens,
// configures and writes to a port. Linked into a program together with the
// backend, they take the place of the real functions, so that a test reads
// back exactly what the backend asked for: they answer from, and record
// into, port_calls().
#pragma once

#include <windows.h>

struct PortCalls {
  // What GetCommState and GetCommTimeouts report: the port as the previous
  // program left it.
  DCB found_dcb{};
  COMMTIMEOUTS found_timeouts{};
  // The last settings written, and how often.
  DCB written_dcb{};
  int dcb_writes = 0;
  COMMTIMEOUTS written_timeouts{};
  int timeout_writes = 0;
  // The flags and attributes of the last CreateFileA.
  DWORD open_flags = 0;
  int opens = 0;
  // WriteFile takes at most this many bytes and reports success, as a write
  // whose timeout ran out does.
  DWORD write_takes = 0;
  int writes = 0;
};

PortCalls &port_calls();

// What the stand-in CreateFileA hands back.
HANDLE stand_in_port();
