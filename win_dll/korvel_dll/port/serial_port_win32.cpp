// Win32 backend: COM ports through kernel32, synchronous I/O.
#include "serial_port.h"
#include "transparent_line_win32.h"
#include "wait_win32.h"

#include <cstring>
#include <windows.h>

namespace korvel::port {
namespace {

// The interface is opened through the device namespace, a probe through the
// file namespace.
constexpr const char *kInterfacePrefix = "\\\\.\\";
constexpr const char *kProbePrefix = "\\\\?\\";

// 8N1; the speed is set on its own, from kBaudRate.
char kLineSettings[] = "parity=N data=8 stop=1";

// Under "\\.\" a name is looked up in the whole device namespace, where a
// separator reaches other kinds of object: "pipe\x" opens (and connects to)
// a named pipe, "pipe/x" too, since the separators are made one.
constexpr const char *kNameSeparators = "\\/";

// How every open is made: should a name still reach a named pipe, its server
// cannot act on the host's behalf. A COM port ignores it.
constexpr DWORD kOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

HANDLE to_win32(Handle handle) { return static_cast<HANDLE>(handle); }

// DTR on, RTS off, DSR ignored: in the DCB flag word this clears bits 5, 6,
// 12 and 13 and sets bit 4.
void apply_interface_line_control(DCB &dcb) {
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
}

// Reads return at once with what is queued (the library only reads bytes it
// knows are there); a write gives up when the line has not taken it within
// kWriteTimeoutMs, however long the frame. Always set, so that no timeouts a
// previous program left apply.
COMMTIMEOUTS line_timeouts() {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
  return timeouts;
}

// The settings of a port as configure_port found them, kept in
// SavedSettings::record.
struct FoundSettings {
  DCB dcb;
  COMMTIMEOUTS timeouts;
  bool dcb_read;
  bool timeouts_read;
};
static_assert(sizeof(FoundSettings) <= sizeof(SavedSettings::record));

Handle failed_open(DWORD error, OpenFailure::Kind kind, OpenFailure *failure) {
  if (failure != nullptr) {
    *failure = {kind, error};
  }
  return INVALID_HANDLE_VALUE;
}

} // namespace

bool make_device_path(const char *port_name, Role role, char *path) {
  return join_device_path(role == Role::Interface ? kInterfacePrefix : kProbePrefix, port_name,
                          path) &&
         std::strpbrk(port_name, kNameSeparators) == nullptr;
}

SystemError refused_name_error() { return ERROR_INVALID_NAME; }

void leave_system_error(SystemError error) { SetLastError(error); }

Handle open_port(const char *path, OpenFailure *failure, Handle /*held*/) {
  // The port's share mode already refuses a second open before it reaches
  // the driver.
  const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    kOpenFlags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return failed_open(GetLastError(), OpenFailure::Kind::Unavailable, failure);
  }
  // A name that opens but is no serial port (NUL, a disk) has no settings to
  // read; it is closed again untouched.
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(handle, &dcb)) {
    (void)CloseHandle(handle);
    return failed_open(ERROR_NOT_SUPPORTED, OpenFailure::Kind::NotAPort, failure);
  }
  return handle;
}

void configure_port(Handle handle, Role role, SavedSettings *saved) {
  FoundSettings found{};
  found.dcb.DCBlength = sizeof(found.dcb);
  found.dcb_read = GetCommState(to_win32(handle), &found.dcb) != FALSE;
  found.timeouts_read = GetCommTimeouts(to_win32(handle), &found.timeouts) != FALSE;
  if (saved != nullptr) {
    std::memcpy(saved->record, &found, sizeof(found));
    saved->valid = found.dcb_read || found.timeouts_read;
  }
  DCB dcb = found.dcb;
  (void)BuildCommDCBA(kLineSettings, &dcb);
  dcb.BaudRate = kBaudRate;
  make_binary_transparent(dcb);
  if (role == Role::Interface) {
    apply_interface_line_control(dcb);
  }
  (void)SetCommState(to_win32(handle), &dcb);
  COMMTIMEOUTS timeouts = line_timeouts();
  (void)SetCommTimeouts(to_win32(handle), &timeouts);
}

void restore_settings(Handle handle, const SavedSettings &saved) {
  if (!saved.valid) {
    return;
  }
  FoundSettings found{};
  std::memcpy(&found, saved.record, sizeof(found));
  if (found.dcb_read) {
    (void)SetCommState(to_win32(handle), &found.dcb);
  }
  if (found.timeouts_read) {
    (void)SetCommTimeouts(to_win32(handle), &found.timeouts);
  }
}

bool purge_receive(Handle handle) { return PurgeComm(to_win32(handle), PURGE_RXCLEAR) != 0; }

std::int32_t queued_count(Handle handle) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(to_win32(handle), &errors, &status)) {
    return -1;
  }
  return status.cbInQue > 0x7FFFFFFFUL ? 0x7FFFFFFF : static_cast<std::int32_t>(status.cbInQue);
}

bool read_byte(Handle handle, std::uint8_t *byte) {
  DWORD got = 0;
  return ReadFile(to_win32(handle), byte, 1, &got, nullptr) != FALSE && got == 1;
}

std::int32_t write_bytes(Handle handle, const std::uint8_t *bytes, std::int32_t count) {
  DWORD written = 0;
  if (!WriteFile(to_win32(handle), bytes, static_cast<DWORD>(count), &written, nullptr)) {
    return -1;
  }
  // A write to a port ends short only when its timeout ran out: reported as
  // the failure it is, since writing the rest would wait the whole bound
  // again.
  if (written < static_cast<DWORD>(count)) {
    return -1;
  }
  return static_cast<std::int32_t>(written);
}

void close_port(Handle handle) {
  // Output a stalled line has not taken would otherwise hold the close.
  (void)PurgeComm(to_win32(handle), PURGE_TXABORT | PURGE_TXCLEAR);
  (void)CloseHandle(to_win32(handle));
}

Handle renumber_handle(Handle handle, HandleFilter avoid, OpenFailure *failure) {
  // Every rejected handle stays open until a good one is found, so no value
  // can come back twice; the duplicates all refer to the one open port.
  HANDLE held[kMaxAvoidedHandles + 1];
  int held_count = 0;
  HANDLE current = to_win32(handle);
  const HANDLE process = GetCurrentProcess();
  while (current != INVALID_HANDLE_VALUE && avoid(current) && held_count <= kMaxAvoidedHandles) {
    held[held_count++] = current;
    if (!DuplicateHandle(process, current, process, &current, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      current = failed_open(GetLastError(), OpenFailure::Kind::Unavailable, failure);
    }
  }
  for (int i = 0; i < held_count; ++i) {
    (void)CloseHandle(held[i]);
  }
  return current;
}

std::uint32_t tick_ms() { return GetTickCount(); }

void sleep_ms(std::uint32_t milliseconds) {
  wait_at_least(milliseconds, WaitMethod::HighResolutionTimer);
}

ProcessId current_process() { return GetCurrentProcessId(); }

} // namespace korvel::port
