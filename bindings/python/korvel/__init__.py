"""Drive an MDB interface adapter through korvel_dll, over ctypes.

    import korvel

    port = korvel.scan()              # or a known name: "COM3", "ttyUSB0"
    with korvel.Interface(port) as adapter:
        print(adapter.version())
        reply = adapter.execute(bytes([0x0A, 0x0B]))

Every call blocks until the adapter answers or the library gives up (about
1.6 s at most for a silent adapter); the library serialises calls from
several threads. An interface left open is closed when it is garbage
collected or when the interpreter exits, with a ResourceWarning.

scan() probes the ports the system lists; on Linux that list never holds
pseudo-terminals (/dev/pts/N), so a scan never finds korvel-sim: give its
port name ("pts/4") to Interface() instead. list_ports() shows what a scan
probes, in its order, and with left_out=True what it leaves out and why.

A nonzero result raises a subclass of KorvelError (code, name, function):
    BadHandleError        1: the interface is closed, or a later open superseded it
    OpenOrCrcError        2: the port did not open (errno says why), a reply failed its CRC, or status 0xFD
    AdapterTimeoutError   4: no reply within 500 ms of silence, or status 0xFC
    LinkError             5: sending failed, or the reply's first byte is no status byte the call knows
    AdapterError          6: status 0xFF; to execute(), any one-byte status but 0x00, 0xFC, 0xFD, 0xFE
    AdapterStatusFEError  7: status 0xFE
"""

from __future__ import annotations

import atexit
import binascii
import ctypes
import ctypes.util
import os
import sys
import threading
import warnings
import weakref
from pathlib import Path
from types import TracebackType

from ._ports import PortInfo, list_ports

# Documented and pickled as the package's own.
PortInfo.__module__ = list_ports.__module__ = __name__

__all__ = [
    "KorvelError", "BadHandleError", "OpenOrCrcError", "AdapterTimeoutError",
    "LinkError", "AdapterError", "AdapterStatusFEError", "Interface", "scan",
    "library", "list_ports", "PortInfo",
]
__version__ = "1.2.0"

if sys.platform == "win32":
    LIBRARY_NAME = "korvel_dll.dll"
    _LONGEST_PORT_NAME = 15
else:
    LIBRARY_NAME = "libkorvel_dll.so"
    _LONGEST_PORT_NAME = 14
# The library the wheel carries in the package folder, under a name that no
# import suffix matches (.so.1, .dll; Windows imports only .pyd), so that
# import and pkgutil never take it for a module.
_BUNDLED_NAME = "korvel_dll.dll" if sys.platform == "win32" else "libkorvel_dll.so.1"

_PORT_NAME_BUFFER = 20
_VERSION_CAPACITY = 512
# No reply payload is longer, so a larger capacity changes nothing.
_LARGEST_REPLY = 506
# A request frame (STX, two header bytes, the command, the CRC, ETX) must
# fit 256 bytes after 0x02, 0x03 and 0x7D have each become two bytes.
_TRANSMIT_BUFFER = 256
_REQUEST_HEADER = b"\x00\x30"
_STUFFED_BYTES = (0x02, 0x03, 0x7D)
# The library puts the device folder in front of a name itself.
_DEVICE_FOLDER = "/dev/"
# The status bytes that the results 6 and 7 of the version read and the
# line reset stand for.
_STATUS_ERROR = 0xFF
_STATUS_FE = 0xFE


class KorvelError(Exception):
    """A library call returned a nonzero result: code, name and function; errno, winerror and reason for a failed open; status when the adapter's status byte is known."""

    code = 0
    name = "MDB_IF_UNKNOWN"
    meaning = "a result this binding does not know"

    def __init__(self, function: str, code: int | None = None,
                 errno: int | None = None, winerror: int | None = None,
                 reason: str | None = None,
                 status: int | None = None) -> None:
        if code is not None:
            self.code = code
        self.function = function
        self.errno, self.winerror, self.reason = errno, winerror, reason
        self.status = status
        known = "" if status is None else f"; status 0x{status:02X}"
        super().__init__(f"{function} returned {self.code} ({self.name}): "
                         f"{reason or self.meaning}{known}")

    def __reduce__(self) -> tuple:
        # Exception's own reduce would pass the message as the function.
        return type(self), (self.function, self.code, self.errno,
                            self.winerror, self.reason, self.status), \
            self.__dict__


class BadHandleError(KorvelError):
    """Result 1: the interface is closed, or a later open superseded it."""

    code, name = 1, "MDB_IF_BAD_HANDLE"
    meaning = "the interface is closed, or another open superseded it"


class OpenOrCrcError(KorvelError):
    """Result 2: the port did not open (errno says why), a reply failed its CRC check, or status 0xFD."""

    code, name = 2, "MDB_IF_OPEN_OR_CRC_ERROR"
    meaning = ("the port could not be opened, a reply failed its CRC check, "
               "or the adapter reported status 0xFD")


class AdapterTimeoutError(KorvelError):
    """Result 4: no reply within 500 ms of silence, or status 0xFC."""

    code, name = 4, "MDB_IF_TIMEOUT"
    meaning = "no reply in time, or the adapter reported status 0xFC"


class LinkError(KorvelError):
    """Result 5: sending failed, or the reply's first byte is no status byte the call knows."""

    code, name = 5, "MDB_IF_LINK_ERROR"
    meaning = ("purging or sending failed, or the reply's first byte is no "
               "status byte the call knows (as from an adapter a scan finds, "
               "which answers the version command without one)")


class AdapterError(KorvelError):
    """Result 6: status 0xFF; to execute(), any one-byte status other than 0x00, 0xFC, 0xFD and 0xFE."""

    code, name = 6, "MDB_IF_ADAPTER_ERROR"
    meaning = ("the adapter reported an error: status 0xFF, or to an exec "
               "any one-byte status other than 0x00, 0xFC, 0xFD and 0xFE")


class AdapterStatusFEError(KorvelError):
    """Result 7: status 0xFE."""

    code, name = 7, "MDB_IF_ADAPTER_STATUS_FE"
    meaning = "the adapter reported status 0xFE"


_ERRORS: dict[int, type[KorvelError]] = {
    error.code: error for error in (
        BadHandleError, OpenOrCrcError, AdapterTimeoutError, LinkError,
        AdapterError, AdapterStatusFEError)
}


def _check(function: str, result: int, status: int | None = None) -> None:
    if result != 0:
        error = _ERRORS.get(result)
        raise (error(function, status=status) if error
               else KorvelError(function, result))


def _status_for(result: int) -> int | None:
    """The status byte that a version read's or line reset's result stands
    for, where only one does."""
    return {AdapterError.code: _STATUS_ERROR,
            AdapterStatusFEError.code: _STATUS_FE}.get(result)


def _open_failure(port: str) -> OpenOrCrcError:
    """The open's error, with the reason the library left in errno (on
    Windows, in GetLastError())."""
    if sys.platform == "win32":
        winerror = ctypes.get_last_error() or None
        # OSError maps the Windows code to an errno, as it does for Python's
        # own calls.
        system = OSError(None, ctypes.FormatError(winerror), None,
                         winerror) if winerror else None
    else:
        winerror, number = None, ctypes.get_errno()
        system = OSError(number, os.strerror(number)) if number else None
    if system is None:
        return OpenOrCrcError("MDB_IF_OpenInterface")
    return OpenOrCrcError("MDB_IF_OpenInterface", errno=system.errno,
                          winerror=winerror,
                          reason=f"could not open {port!r}: {system}"
                          f"{_device_folder_hint(port)}")


def _device_folder_hint(port: str) -> str:
    """For a name given as a Linux path: the name the library wants."""
    if not port.startswith(_DEVICE_FOLDER):
        return ""
    return f"; give the name without {_DEVICE_FOLDER}: {port[len(_DEVICE_FOLDER):]!r}"


def _candidates() -> list[str]:
    """Where the library is looked for, in order."""
    places = [str(Path(__file__).resolve().parent / _BUNDLED_NAME)]
    if os.environ.get("KORVEL_LIBRARY"):
        places.append(os.environ["KORVEL_LIBRARY"])
    if sys.platform == "win32":
        # The loader's own search leaves out PATH; find_library walks it.
        places.append(ctypes.util.find_library("korvel_dll") or LIBRARY_NAME)
    else:
        places += [LIBRARY_NAME, LIBRARY_NAME + ".1"]
    return places


def _declare(library: ctypes.CDLL) -> ctypes.CDLL:
    handle, int32 = ctypes.c_void_p, ctypes.c_int32
    bytes_in = ctypes.POINTER(ctypes.c_uint8)
    signatures: dict[str, list[type]] = {
        "MDB_IF_ScanInterface": [ctypes.c_char_p],
        "MDB_IF_OpenInterface": [ctypes.c_char_p, ctypes.POINTER(handle)],
        "MDB_IF_CloseInterface": [handle],
        "MDB_IF_ExecCommand": [handle, bytes_in, int32, bytes_in,
                               ctypes.POINTER(int32)],
        "MDB_IF_LineReset": [handle],
        "MDB_IF_GetVersion": [handle, ctypes.c_char_p, int32],
    }
    for name, arguments in signatures.items():
        function = getattr(library, name)
        function.argtypes = arguments
        function.restype = int32
    return library


_library: ctypes.CDLL | None = None
# Reentrant, as is _current_lock: closing an interface that the garbage
# collector finds may happen on a thread that already holds them.
_loading = threading.RLock()


def library() -> ctypes.CDLL:
    """The loaded korvel_dll, its six exports declared.

    Looked for beside this package, then at the path in the KORVEL_LIBRARY
    environment variable, then through the system's loader.
    """
    global _library
    with _loading:
        if _library is None:
            tried = []
            for place in _candidates():
                is_path = os.sep in place or "/" in place
                if is_path and not os.path.exists(place):
                    tried.append(f"{place}: no such file")
                    continue
                try:
                    _library = _declare(ctypes.CDLL(
                        place, use_errno=True,
                        use_last_error=sys.platform == "win32"))
                    break
                except (OSError, AttributeError) as error:
                    tried.append(f"{place}: {error}")
            else:
                raise OSError(f"cannot load {LIBRARY_NAME}; tried:\n  "
                              + "\n  ".join(tried))
        return _library


def _port_bytes(port: object) -> bytes:
    if not isinstance(port, str):
        raise TypeError(f"port must be a str, not {type(port).__name__}")
    if not port or "\0" in port or not port.isascii():
        raise ValueError(f"not a port name: {port!r}")
    if len(port) > _LONGEST_PORT_NAME:
        raise ValueError(f"port name longer than {_LONGEST_PORT_NAME} "
                         f"characters: {port!r}{_device_folder_hint(port)}")
    if sys.platform != "win32" and ".." in port:
        raise ValueError(f"port name reaching outside /dev: {port!r}")
    return port.encode("ascii")


def _stuffed_frame_length(command: bytes) -> int:
    crc = binascii.crc_hqx(_REQUEST_HEADER + command, 0xFFFF)
    body = command + crc.to_bytes(2, "big")
    escapes = sum(body.count(special) for special in _STUFFED_BYTES)
    return len(command) + 6 + escapes


def scan() -> str | None:
    """The port name of the first adapter that identifies itself, or None.

    On Linux the ports probed never include pseudo-terminals, such as
    korvel-sim's; list_ports() shows which are probed, in their order.
    """
    name = ctypes.create_string_buffer(_PORT_NAME_BUFFER)
    _check("MDB_IF_ScanInterface", library().MDB_IF_ScanInterface(name))
    return name.value.decode("ascii", "replace") or None


# The library keeps one current interface per process: the Interface opened
# last through this binding, until it is closed. Opens and closes hold the
# lock across their call, so the record changes in the library's order. The
# record is weak, so that an interface nobody holds is collected and closed.
_current: weakref.ref[Interface] | None = None
_current_lock = threading.RLock()


def _current_interface() -> Interface | None:
    return _current() if _current is not None else None


@atexit.register
def _close_at_exit() -> None:
    """Closes the interface still open at exit, as files warn and close."""
    interface = _current_interface()
    if interface is not None and not interface.closed:
        warnings.warn(f"unclosed {interface!r} at exit", ResourceWarning,
                      source=interface)
        interface.close()


def _still_current(handle: ctypes.c_void_p) -> bool:
    # The library refuses a negative capacity right after the handle check,
    # touching nothing, so only a superseded handle gets 1.
    return (library().MDB_IF_GetVersion(handle, None, -1)
            != BadHandleError.code)


class Interface:
    """The adapter on one port, opened exclusively until close().

    The library keeps one current interface per process: opening another
    supersedes this one, which is then closed (and its calls raise
    BadHandleError).
    """

    def __init__(self, port: str) -> None:
        global _current
        name = _port_bytes(port)
        self.port = port
        self._handle: ctypes.c_void_p | None = None
        self._superseded = False
        handle = ctypes.c_void_p()
        open_interface = library().MDB_IF_OpenInterface
        with _current_lock:
            # Cleared so that an earlier call's error is never taken as this
            # open's reason.
            ctypes.set_errno(0)
            if sys.platform == "win32":
                ctypes.set_last_error(0)
            result = open_interface(name, ctypes.byref(handle))
            failure = _open_failure(port) if result == OpenOrCrcError.code else None
            previous = _current_interface()
            # A failed open supersedes the current interface too, unless
            # the library refused the path as no serial port.
            if previous is not None and previous._handle is not None and (
                    result == 0 or not _still_current(previous._handle)):
                previous._superseded = True
                previous._handle = None
                _current = None
            if failure is not None:
                raise failure
            _check("MDB_IF_OpenInterface", result)
            self._handle = handle
            _current = weakref.ref(self)

    def __enter__(self) -> Interface:
        return self

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, source=self)
            self.close()

    def __exit__(self, kind: type[BaseException] | None,
                 error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    # The state is read without the lock: an open holding it can wait in the
    # library behind another thread's command.
    def __repr__(self) -> str:
        state = ("open" if self._handle is not None else
                 "superseded" if self._superseded else "closed")
        return f"<korvel.Interface {self.port!r} {state}>"

    @property
    def closed(self) -> bool:
        """True once closed, or superseded by a later open."""
        return self._handle is None

    def _open_handle(self, function: str) -> ctypes.c_void_p:
        handle = self._handle
        if handle is None:
            raise BadHandleError(function)
        return handle

    def close(self) -> None:
        """Closes the port; closing again, or after a superseding open,
        does nothing."""
        global _current
        with _current_lock:
            handle, self._handle = self._handle, None
            if handle is not None:
                library().MDB_IF_CloseInterface(handle)
                _current = None

    def version(self) -> str:
        """The adapter's version text (read-version command 0x01)."""
        handle = self._open_handle("MDB_IF_GetVersion")
        text = ctypes.create_string_buffer(_VERSION_CAPACITY)
        result = library().MDB_IF_GetVersion(handle, text, _VERSION_CAPACITY)
        _check("MDB_IF_GetVersion", result, _status_for(result))
        return text.value.decode("ascii", "replace")

    def reset(self) -> None:
        """Sends the line-reset command 0x02."""
        handle = self._open_handle("MDB_IF_LineReset")
        result = library().MDB_IF_LineReset(handle)
        _check("MDB_IF_LineReset", result, _status_for(result))

    def execute(self, command: bytes, capacity: int = 512) -> bytes:
        """Sends one command (up to 3 attempts) and returns the reply's
        payload, at most capacity bytes of it.

        A one-byte reply is the adapter's status: 0x00 returns b"\\x00",
        any other raises, with the byte in the error's status. Commands of
        up to 124 bytes always fit; up to 250 when few bytes need stuffing.
        """
        if not isinstance(command, (bytes, bytearray, memoryview)):
            raise TypeError("command must be bytes, not "
                            f"{type(command).__name__}")
        if not isinstance(capacity, int) or isinstance(capacity, bool):
            raise TypeError("capacity must be an int, not "
                            f"{type(capacity).__name__}")
        if capacity < 0:
            raise ValueError(f"capacity must not be negative: {capacity}")
        capacity = min(capacity, _LARGEST_REPLY)
        command = bytes(command)
        if _stuffed_frame_length(command) > _TRANSMIT_BUFFER:
            raise ValueError(f"a command of {len(command)} bytes does not "
                             f"fit one request frame once stuffed")
        handle = self._open_handle("MDB_IF_ExecCommand")
        sent = (ctypes.c_uint8 * len(command)).from_buffer_copy(command)
        reply = (ctypes.c_uint8 * capacity)()
        length = ctypes.c_int32(capacity)
        result = library().MDB_IF_ExecCommand(
            handle, sent, len(command), reply, ctypes.byref(length))
        # The length changes only with a valid reply: one byte is then the
        # adapter's status. (With a capacity of 1 it cannot be told from an
        # unchanged length, but 6 and 7 come only from a status.)
        delivered_status = length.value == 1 and (
            capacity != 1 or result in (AdapterError.code,
                                        AdapterStatusFEError.code))
        _check("MDB_IF_ExecCommand", result,
               reply[0] if delivered_status else None)
        return bytes(reply[:length.value])
