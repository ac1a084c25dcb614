// The stand-ins replace the real functions through the import address
// slots that the compiler calls through (__imp_Name): a program that defines
// a slot itself never links the system's entry for it.
#include "port_call_stand_ins.h"

#include <algorithm>

namespace {

// Any value that is neither null nor INVALID_HANDLE_VALUE.
const HANDLE kStandInPort = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x4C0));

HANDLE WINAPI create_file(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE) {
  port_calls().open_flags = flags;
  ++port_calls().opens;
  return kStandInPort;
}

BOOL WINAPI get_comm_state(HANDLE, LPDCB dcb) {
  *dcb = port_calls().found_dcb;
  return TRUE;
}

BOOL WINAPI set_comm_state(HANDLE, LPDCB dcb) {
  port_calls().written_dcb = *dcb;
  ++port_calls().dcb_writes;
  return TRUE;
}

BOOL WINAPI get_comm_timeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
  *timeouts = port_calls().found_timeouts;
  return TRUE;
}

BOOL WINAPI set_comm_timeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
  port_calls().written_timeouts = *timeouts;
  ++port_calls().timeout_writes;
  return TRUE;
}

BOOL WINAPI write_file(HANDLE, LPCVOID, DWORD count, LPDWORD written, LPOVERLAPPED) {
  *written = std::min(count, port_calls().write_takes);
  ++port_calls().writes;
  return TRUE;
}

} // namespace

PortCalls &port_calls() {
  static PortCalls calls;
  return calls;
}

HANDLE stand_in_port() { return kStandInPort; }

extern "C" {
decltype(&CreateFileA) __imp_CreateFileA = create_file;
decltype(&GetCommState) __imp_GetCommState = get_comm_state;
decltype(&SetCommState) __imp_SetCommState = set_comm_state;
decltype(&GetCommTimeouts) __imp_GetCommTimeouts = get_comm_timeouts;
decltype(&SetCommTimeouts) __imp_SetCommTimeouts = set_comm_timeouts;
decltype(&WriteFile) __imp_WriteFile = write_file;
}
