// Serial-port and timing operations the library needs of the platform.
//
// One backend is linked per build: Win32, POSIX, or the scripted fake with a
// virtual clock used by the unit tests. The layers above only ever ask
// whether an operation succeeded; why an open failed is passed through to
// the host untouched.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel::port {

// The platform's handle of an open port, pointer sized. Null is never a valid
// handle; all bits set is the invalid value a failed open returns.
using Handle = void *;
inline Handle invalid_handle() { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }

// Device paths (prefix + port name, terminator included) fit in this many bytes.
constexpr std::size_t kDevicePathSize = 20;

// The line every port is configured for.
constexpr std::uint32_t kBaudRate = 38400;

// A write waits at most this long for the line to take its bytes, and a
// request frame the line has not taken within it is a failed send: a stalled
// or wedged device cannot hold a call, and with it the export lock, for ever.
constexpr std::uint32_t kWriteTimeoutMs = 1000;

// How a port is configured after the open. An interface port additionally
// raises DTR, drops RTS and ignores DSR; a probe leaves the modem lines alone.
enum class Role { Interface, Probe };

// Forms the device path for a port name into path[kDevicePathSize]. Returns
// false, leaving path unspecified, when the name is null, does not fit, or
// (where port names are paths) could lead out of the device directory.
bool make_device_path(const char *port_name, Role role, char *path);

// prefix + port_name into path[kDevicePathSize], refusing what does not fit.
// Shared by the backends' make_device_path.
bool join_device_path(const char *prefix, const char *port_name, char *path);

// The platform's own code for why an open failed: an errno value on POSIX, a
// Win32 error code on Windows. The library never acts on it; it only leaves
// it where the platform keeps a thread's last error, for the host to read.
using SystemError = std::uint32_t;

// Why an open handed back invalid_handle().
struct OpenFailure {
  enum class Kind {
    // Absent, busy, forbidden, or held exclusively by another program.
    Unavailable,
    // Something that is not a serial port at all: it was never opened, or
    // was closed again untouched.
    NotAPort,
  };
  Kind kind = Kind::Unavailable;
  SystemError error = 0;
};

// The code a name the library refuses before opening anything reports
// (EINVAL, ERROR_INVALID_NAME).
SystemError refused_name_error();

// Leaves error where the platform keeps the calling thread's last error
// (errno, SetLastError).
void leave_system_error(SystemError error);

// Opens the path exclusively for reading and writing; invalid_handle() on
// failure, with the reason in *failure when failure is not null. Nothing
// that is not a serial port is ever left open or changed.
Handle open_port(const char *path, OpenFailure *failure = nullptr);

// A port's settings as configure_port found them, so that a probe can put
// them back before it closes the port. Big enough for either platform's
// settings record.
struct SavedSettings {
  alignas(8) unsigned char record[64];
  bool valid = false;
};

// Reads the settings (keeping a copy in *saved when saved is not null),
// applies 38400 8N1 on a binary-transparent line (no flow control, nothing
// dropped or replaced), plus the line control of the role, and writes them
// back. Outcomes are not reported: callers never act on them.
void configure_port(Handle handle, Role role, SavedSettings *saved = nullptr);

// Writes back settings that configure_port saved; nothing if it read none.
void restore_settings(Handle handle, const SavedSettings &saved);

// Discards received bytes not yet read. Returns true on success.
bool purge_receive(Handle handle);

// Number of received bytes waiting to be read, or -1 if the query failed.
std::int32_t queued_count(Handle handle);

// Reads one byte; issued only when a byte is queued. Returns true on success.
bool read_byte(Handle handle, std::uint8_t *byte);

// Writes up to count bytes, waiting at most kWriteTimeoutMs for the line to
// take them. Returns the number written (possibly fewer than count, possibly
// zero) or -1 if the write failed or timed out.
std::int32_t write_bytes(Handle handle, const std::uint8_t *bytes, std::int32_t count);

// Discards output the line has not taken yet, then closes: a close never
// waits for a stalled line to drain.
void close_port(Handle handle);

// Says whether a handle value must not be handed out.
using HandleFilter = bool (*)(Handle handle);

// Gives the open port a handle value that avoid() accepts and returns it,
// releasing the old value; invalid_handle() (with the port closed) if that
// fails, with the reason in *failure. Used when a reopened port comes back
// under the value of a handle the host must no longer be able to use.
// avoid() may reject at most kMaxAvoidedHandles values.
constexpr int kMaxAvoidedHandles = 16;
Handle renumber_handle(Handle handle, HandleFilter avoid, OpenFailure *failure);

// Milliseconds from an arbitrary origin, wrapping at 2^32; only differences
// (modulo 2^32) are meaningful.
std::uint32_t tick_ms();

// Blocks the calling thread.
void sleep_ms(std::uint32_t milliseconds);

// Identifies the calling process. A child created by fork has another value
// than its parent, so the library can tell an interface it inherited from
// one it opened.
using ProcessId = std::uint32_t;
ProcessId current_process();

} // namespace korvel::port
