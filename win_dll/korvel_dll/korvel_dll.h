/*
 * korvel_dll: drive an MDB interface adapter on a serial port.
 *
 * Every function returns one of the MDB_IF_* result codes below. Calls are
 * blocking. They may come from several threads: the library keeps one
 * current interface and one set of link buffers, so one process-wide lock
 * serialises every function, and a call waits for the one in progress
 * (a scan included) before it starts. The waiting adds to the durations
 * below. The library starts no threads and allocates nothing. On Linux a
 * thread cancelled (pthread_cancel) inside a call finishes the call first:
 * cancellation is disabled while a call runs, so the cancel takes effect at
 * the thread's next cancellation point after it returns.
 *
 * Windows: the DLL brings no threads runtime, so it adds no code to the start
 * and exit of the host's threads (MinGW-w64's start-up code keeps its two TLS
 * callbacks, which find nothing to do) and imports no function that creates,
 * suspends or steers threads. Unloading it with FreeLibrary closes what the
 * library made: an interface still open (as MDB_IF_CloseInterface would, after
 * a call in progress on another thread) and its wait timer, so that loading
 * and unloading it again and again leaves no handles behind; at process exit
 * it does nothing, and the system closes everything.
 *
 * Calling order: MDB_IF_ScanInterface (optional) -> MDB_IF_OpenInterface ->
 * any number of MDB_IF_ExecCommand / MDB_IF_LineReset / MDB_IF_GetVersion ->
 * MDB_IF_CloseInterface.
 *
 * Port names are given without a device prefix: "COM3" on Windows (opened as
 * "\\.\COM3"), a path below /dev on Linux ("ttyUSB0", "pts/3"; opened as
 * "/dev/ttyUSB0"). Opens are exclusive on both systems.
 *
 * The library touches no device but a serial port. On Linux a path is looked
 * at before anything opens it (following links, so "serial0" leading to the
 * real port works): only a pseudo-terminal slave (/dev/pts/N) or a terminal
 * with hardware behind it (in sysfs, /sys/dev/char/MAJOR:MINOR has a device
 * entry and belongs to the tty class) is opened, and never the process's own
 * controlling terminal. The console, virtual terminals (tty0), ptmx, FIFOs,
 * watchdogs and every other node are refused unopened. The device opened is
 * the node that was looked at: the path is resolved once (O_PATH, which
 * opens nothing) and the device opened through that descriptor
 * (/proc/self/fd/N), so a link changed in between cannot bring another node
 * in; should what opened still differ, it is closed at once and refused
 * (ENOTTY). Where /proc is not mounted no port is opened at all (ENOSYS):
 * opening the path a second time could open a node that was never checked.
 * A serial port the kernel writes its console to (named in
 * /sys/class/tty/console/active, compared by device number, so a link to it
 * counts too) is in use: the open and the probe refuse it unopened (EBUSY).
 * On Windows a name that contains "\" or "/" is refused unopened (below
 * "\\.\" such a name reaches named pipes and other objects that are no
 * port), every open asks for anonymous impersonation (SECURITY_SQOS_PRESENT |
 * SECURITY_ANONYMOUS), so that a server behind a name could not act as the
 * host, and a name that opens but has no serial settings (NUL, a disk) is
 * closed again untouched.
 * The line is made binary-transparent whatever a previous program left set:
 * no flow control (CTS, DSR, XON/XOFF), no null stripping, no error
 * character, no abort on error; on Windows no parity check either, on Linux
 * raw mode with IXOFF and IXANY cleared too. Closing discards output the line
 * has not taken, so no close waits for a stalled device to drain.
 *
 * No write waits for ever: a request the line has not taken 1 s after the
 * send began (a wedged USB adapter, a far end that stopped reading) fails
 * the send; on Linux a last wait for room that began just before may add up
 * to 1 s more. On Windows the library sets the port's timeouts itself,
 * whatever a previous program left: reads return at once with what is
 * queued, a write gives up after 1 s; a scan's probe puts the port's own
 * timeouts back with its other settings.
 *
 * Longest calls (not counting the wait for another thread's call):
 *                       silent adapter     line that chatters without
 *                                          ever completing a frame
 *   MDB_IF_ExecCommand  about 1.6 s        about 6.1 s (3 x 2 s + pauses)
 *   MDB_IF_LineReset    about 0.52 s       about 2.0 s
 *   MDB_IF_GetVersion   about 0.52 s       about 2.0 s
 *   MDB_IF_ScanInterface  0.52 s per silent port, 2.0 s per chattering one
 *                       (Linux lists at most 64 ports: the first 64 in
 *                       natural order)
 *   A line that takes no bytes:   MDB_IF_ExecCommand about 3.1 s (3 x 1 s +
 *   pauses), MDB_IF_LineReset and MDB_IF_GetVersion about 1.02 s, a scan
 *   about 1.02 s per such port; each gives 5 (a scan counts the port as one
 *   that did not answer).
 *   Open and close do not wait for the line. On Linux a signal that arrives
 *   during a wait for room does not shorten the wait. On Windows the waits
 *   (10 ms polls, 20 ms pauses) use a high-resolution waitable timer where the
 *   system offers one (Windows 10 1803 and later), otherwise Sleep, whose
 *   15.6 ms default period lengthens them; nothing process-wide is changed.
 *
 * What the line cannot tell apart: a request frame carries no transaction
 * number, so a reply that arrives after its call gave up (an adapter slower
 * than the 500 ms silence timeout) is taken as the answer to the next call.
 * Against an adapter that answers after 600 ms, every exec after the first
 * returned 0 with the reply to the previous command. Keep the adapter's
 * answer time well under 500 ms; after a call that timed out, wait longer
 * than the adapter's slowest answer before the next call (each call first
 * discards what arrived before it); where a reply can carry something of its
 * request, check it.
 *
 * fork (Linux): the current interface belongs to the process that opened
 * it; a child sees none (see MDB_IF_OpenInterface). The child still holds
 * the inherited descriptor, and with it the port's lock, until it exits or
 * calls exec (the descriptors are close-on-exec). A child must not call the
 * library if another thread of the parent was inside it at the fork.
 *
 * What the library cannot do on Linux:
 * - The open keeps later openers out (TIOCEXCL, flock) but does not notice a
 *   program that already had the port open without either.
 * - On a pseudo-terminal, a holder killed while it had the port open leaves
 *   TIOCEXCL set while the other end stays open; the port is refused (EBUSY)
 *   until the flag is cleared.
 * - Where /sys is not mounted (some containers and chroots) no real serial
 *   device can be recognised, so only pseudo-terminals open.
 * - The scan never lists names of 8 or more characters (ttyUSB10), because a
 *   found name must fit the host's buffer; /dev/serial/by-id/... names do not
 *   fit the 20-byte device path, a short link below /dev does.
 */
#ifndef KORVEL_DLL_H
#define KORVEL_DLL_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#error "korvel_dll.dll is a 64-bit DLL: build the program for x64 (64-bit Windows)"
#endif

#if defined(_WIN32)
#define MDB_IF_API
#else
#define MDB_IF_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The interface handle: the platform's handle of the open port itself (a
 * Win32 HANDLE, or a POSIX file descriptor widened to a pointer). Never null
 * when valid. */
typedef void *MDB_IF_HANDLE;

/* What a failed open hands back: all bits set. */
#define MDB_IF_INVALID_HANDLE ((MDB_IF_HANDLE)(intptr_t)-1)

/* Result codes. Code 3 is never returned. */
enum {
  MDB_IF_OK = 0,
  /* The handle is null or is not the current interface handle. */
  MDB_IF_BAD_HANDLE = 1,
  /* Opening the port or reading the port list failed; or a reply failed its
   * CRC check; or the adapter reported status 0xFD. */
  MDB_IF_OPEN_OR_CRC_ERROR = 2,
  /* No complete reply within 500 ms of silence (or within the overall limit
   * of one receive); or the adapter reported status 0xFC. */
  MDB_IF_TIMEOUT = 4,
  /* Purging the receive queue or sending the request failed; a status byte
   * the function does not recognise; or a host argument was refused. */
  MDB_IF_LINK_ERROR = 5,
  /* The adapter reported status 0xFF; for MDB_IF_ExecCommand any one-byte
   * status other than 0x00, 0xFC, 0xFD and 0xFE. */
  MDB_IF_ADAPTER_ERROR = 6,
  /* The adapter reported status 0xFE. */
  MDB_IF_ADAPTER_STATUS_FE = 7
};

/* Largest command MDB_IF_ExecCommand always accepts (every byte stuffed).
 * Commands up to MDB_IF_MAX_COMMAND_UNSTUFFED bytes are accepted when their
 * stuffed request frame still fits the 256-byte transmit buffer. */
#define MDB_IF_MAX_COMMAND_ANY_BYTES 124
#define MDB_IF_MAX_COMMAND_UNSTUFFED 250

/* Largest reply payload the library can deliver. */
#define MDB_IF_MAX_REPLY_PAYLOAD 506

/* Size of the buffer MDB_IF_ScanInterface writes (terminator included). */
#define MDB_IF_PORT_NAME_BUFFER 20

/* Walks the system's serial ports, probes each with the read-version command
 * and writes the name of the first one that identifies itself as "MDB_IF".
 * portName must hold MDB_IF_PORT_NAME_BUFFER bytes. Result 0: portName holds
 * the name, or "" if no port answered; if no port is listed at all, portName
 * is left exactly as passed. Result 2: the port list could not be read, or
 * portName is null (nothing is opened then). Listed names of 8 or more
 * characters, and registry values that are not strings, are not opened and
 * count as ports that did not answer: a list of only such values gives "".
 * On Linux the list is the tty class in sysfs (/sys/class/tty): devices with
 * hardware behind them, in natural order (ttyS2 before ttyS10), at most 64,
 * never pseudo-terminals, without serial placeholders of unknown type and
 * without the kernel's console (/sys/class/tty/console/active, whole names),
 * which a probe would garble. The probe opens a port as MDB_IF_OpenInterface
 * does (serial devices only, never the console, none held exclusively by
 * another program), puts the port's settings back as it found them before
 * closing it, and takes the reply's payload from its first byte: "MDB_IF"
 * with no status byte in front. An adapter that answers MDB_IF_GetVersion
 * (status byte 0x00, then its text) is therefore never found by a scan, and
 * one a scan finds gets 5 from MDB_IF_GetVersion: one reply cannot satisfy
 * both. */
MDB_IF_API int32_t MDB_IF_ScanInterface(char *portName);

/* Opens portName exclusively as the current interface at 38400 8N1, DTR on,
 * RTS off, binary-transparent, and writes its handle to *handleOut. Result 2
 * if the port cannot be opened (absent, no permission, busy, or on Linux
 * held with TIOCEXCL or flock by another program, whose settings and flag
 * are then left untouched, also for root); then *handleOut and the current
 * interface both hold MDB_IF_INVALID_HANDLE (which the other functions
 * accept, and which fails at the port with result 5). Opening while an
 * interface is open closes the superseded handle; calls with it then
 * return 1.
 * Refused with result 2, opening and closing nothing and leaving the
 * current interface as it was: a null portName, a null handleOut, a name
 * longer than the device path allows (15 characters on Windows, 14 on
 * Linux), on Windows a name containing "\" or "/", on Linux a name
 * containing "..", and anything that is no serial
 * port (see the top of this header). *handleOut, when not null, is set to
 * MDB_IF_INVALID_HANDLE then.
 * Why an open gave 2 is left where the platform keeps a thread's last error,
 * read right after the call (other results leave it unspecified):
 *   Linux errno: ENOENT no such port, EACCES no permission (on Debian the
 *   user must be in group dialout, or root), EBUSY held by another program
 *   or in use as the system console, ENOTTY not a serial port, EINVAL a
 *   name the library refuses, ENOSYS /proc not mounted; other values as the
 *   system reported them. The console is a failed open like a port another
 *   program holds, not a refusal: a superseded interface is closed.
 *   Windows GetLastError(): what CreateFileA reported (ERROR_FILE_NOT_FOUND
 *   or ERROR_PATH_NOT_FOUND for a missing port, ERROR_ACCESS_DENIED for a
 *   busy or a forbidden one), ERROR_INVALID_NAME for a name the library
 *   refuses, ERROR_NOT_SUPPORTED for a name that opens but is no serial port.
 * The reason is kept from the failing step, so closing a superseded
 * interface cannot overwrite it. The result codes never depend on it.
 * Handles stay refused after their port is closed: the last 16 closed or
 * superseded handle values are never handed out again, although the
 * platform reuses them.
 * After fork (Linux) the interface stays the parent's. In the child, calls
 * with the inherited handle return 1, and the child's first call forgets the
 * interface without touching it (no close, no flush, the exclusive flag and
 * the lock left as they are), since the descriptor shares them with the
 * parent's live port; the child's own open then supersedes nothing, and the
 * parent's port stays busy to it (result 2, EBUSY). The library tells a
 * child by its process id, kept with the interface: it registers no fork
 * handler and does nothing at load. */
MDB_IF_API int32_t MDB_IF_OpenInterface(const char *portName, MDB_IF_HANDLE *handleOut);

/* Closes the current interface, discarding output the line has not taken,
 * so that the close never waits for the line. Result 1 if handle is null or
 * not the current interface handle, among them a handle already closed. A
 * call in progress on another thread finishes on its port before the close. */
MDB_IF_API int32_t MDB_IF_CloseInterface(MDB_IF_HANDLE handle);

/* Sends command[0..commandLength) and delivers the reply payload into reply.
 * *replyLength is the capacity on entry and the delivered length after a
 * valid reply (unchanged otherwise). Up to 3 attempts, each purging the
 * receive queue, sending, waiting for the reply (500 ms of silence at most)
 * and pausing 20 ms, plus 20 ms more after a failed attempt; a silent adapter
 * therefore costs about 1.6 s. An adapter-reported error is not retried.
 * A reply of exactly one byte is read as a status byte (0x00 -> 0, 0xFC -> 4,
 * 0xFD -> 2, 0xFE -> 7, any other -> 6); any other length is success.
 * After three failed attempts: timeout 4, CRC error 2, purge or send
 * failure 5 (a send fails when the line has not taken the request within
 * 1 s, so a line that takes nothing costs about 3.1 s). A reply frame
 * longer than the library holds (a payload over MDB_IF_MAX_REPLY_PAYLOAD
 * bytes) counts as a CRC error.
 * With a capacity of 0 nothing is delivered, so a one-byte adapter status is
 * not examined either: any valid reply gives 0.
 * Refused with 5 right after the handle check, touching neither the port nor
 * any buffer: a command that cannot be framed (commandLength negative, or
 * nonzero with a null command, or a stuffed frame over 256 bytes: up to
 * MDB_IF_MAX_COMMAND_ANY_BYTES bytes always fit), a null replyLength, a
 * negative capacity, a null reply with a nonzero capacity. */
MDB_IF_API int32_t MDB_IF_ExecCommand(MDB_IF_HANDLE handle, const uint8_t *command,
                                      int32_t commandLength, uint8_t *reply, int32_t *replyLength);

/* Sends the line-reset command 0x02 once and maps the first byte of the
 * reply: 0x00 -> 0, 0xFC -> 4, 0xFD -> 2, 0xFE -> 7, 0xFF -> 6, any other
 * -> 5. A valid reply without any byte gives 5 (no status to read). Link
 * failures: timeout 4, CRC error 2, purge or send failure 5. */
MDB_IF_API int32_t MDB_IF_LineReset(MDB_IF_HANDLE handle);

/* Sends the read-version command 0x01 once. The reply (at most capacity
 * bytes of it) is a status byte followed by the version text; on status 0x00
 * text receives the text as a zero-terminated string of at most capacity-1
 * characters and the result is 0. Other status bytes and link failures map
 * as for MDB_IF_LineReset. A valid reply that delivers no byte (an empty
 * payload, or capacity 0) gives 5 and writes nothing. Refused with 5 right
 * after the handle check, touching nothing: a negative capacity, or a null
 * text with a nonzero capacity. */
MDB_IF_API int32_t MDB_IF_GetVersion(MDB_IF_HANDLE handle, char *text, int32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* KORVEL_DLL_H */
