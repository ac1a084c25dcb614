"""The system's serial ports as a scan sees them; korvel.list_ports().

The records are those `korvel ports --json` prints: on Linux from sysfs
(the tty class, the devices behind it, /dev/pts), on Windows from
HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM and SetupAPI. Nothing is opened.
"""

from __future__ import annotations

import dataclasses
import os
import re
import sys
from pathlib import Path

# A scan keeps a listed name in 8 bytes, terminator included.
_LISTED_NAME_SIZE = 8
# Linux lists at most this many ports.
_MOST_LISTED = 64
# The serial core's type 0: no UART behind the port.
_UNKNOWN_SERIAL_TYPE = "0"
# Newer kernels put devices of this bus between a UART's tty and the device
# whose driver says what the UART is.
_SERIAL_BASE_BUS = "serial-base"
# How far up from a tty's device its USB device, or a real driver, may lie.
_SEARCH_DEPTH = 8
# Above this an FTDI device holds back each reply.
_PROMPT_LATENCY_MS = 1
_PSEUDO_TERMINALS = "pts/"

_CONSOLE = ("the kernel's console: a probe would write to it, and console "
            "output would garble an adapter's frames")
_PLACEHOLDER = ("a placeholder without hardware: the serial core found no "
                "UART (type 0)")
_PSEUDO_TERMINAL = ("a pseudo-terminal, as korvel-sim's: a scan never lists "
                    "these; give the name to version, reset or exec")
_TOO_MANY = f"beyond the {_MOST_LISTED} ports a scan lists"
_OTHER_RULE = "left out by the scan's rules"


def _long_name(name: str) -> str:
    return (f"a name of {len(name)} characters: a scan lists names of at "
            f"most {_LISTED_NAME_SIZE - 1}, to fit the host's buffer; give "
            "the name to version, reset or exec")


@dataclasses.dataclass(frozen=True)
class PortInfo:
    """One serial port as a scan sees it; absent facts are None."""

    #: The name to give Interface(): "ttyUSB0", "pts/4", "COM5".
    name: str
    #: Whether a scan probes it; if not, left_out says why.
    scanned: bool
    left_out: str | None = None
    #: Linux: the sysfs device behind the port; Windows: the SERIALCOMM value.
    device: str | None = None
    #: Linux: the kernel driver; Windows: the driver service.
    driver: str | None = None
    vid: int | None = None
    pid: int | None = None
    manufacturer: str | None = None
    product: str | None = None
    serial_number: str | None = None
    #: Linux: the USB interface or device, "1-1.2:1.0".
    usb_path: str | None = None
    #: FTDI devices hold each reply back for up to this long.
    latency_timer_ms: int | None = None
    #: Windows, from SetupAPI.
    friendly_name: str | None = None
    hardware_id: str | None = None
    #: Facts that explain a surprise, each with what to do about it.
    notes: tuple[str, ...] = ()


def list_ports(left_out: bool = False) -> list[PortInfo]:
    """The serial ports a scan probes, in its order; with left_out=True
    also those it leaves out on purpose (the console, names too long for a
    scan, pseudo-terminals), each with the reason. Raises OSError when the
    system's port list cannot be read."""
    if sys.platform == "win32":
        ports = _registry_ports()
    else:
        ports = _sysfs_ports(Path("/"))
    return [port for port in ports if port.scanned or left_out]


# Linux ----------------------------------------------------------------------

def _first_line(path: Path) -> str:
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.readline().rstrip("\n").rstrip(" \r")
    except OSError:
        return ""


def _link_name(path: Path) -> str:
    try:
        return os.path.basename(os.readlink(path))
    except OSError:
        return ""


def _number(path: Path, base: int) -> int | None:
    text = _first_line(path)
    try:
        return int(text, base) if text and text.strip() == text else None
    except ValueError:
        return None


def _natural_key(name: str) -> list:
    """ttyS2 before ttyS10: runs of digits compare as numbers."""
    return [int(part) if index % 2 else part
            for index, part in enumerate(re.split(r"(\d+)", name))]


def _exists(path: Path) -> bool:
    try:
        os.stat(path)
        return True
    except OSError:
        return False


def _is_placeholder(entry: Path) -> bool:
    kind = _first_line(entry / "type")
    return kind[:1] == _UNKNOWN_SERIAL_TYPE and not kind[1:2].isdigit()


def _shown(root: Path, path: str) -> str:
    return "/" + os.path.relpath(path, root)


def _tty_facts(root: Path, name: str) -> dict:
    facts: dict = {"name": name}
    link = root / "sys/class/tty" / name / "device"
    if not _exists(link):
        return facts
    device = Path(os.path.realpath(link))
    facts["device"] = _shown(root, str(device))
    owner = device
    for _ in range(_SEARCH_DEPTH):
        if _link_name(owner / "subsystem") != _SERIAL_BASE_BUS:
            break
        owner = owner.parent
    facts["driver"] = _link_name(owner / "driver") or None
    below, at = None, device
    for _ in range(_SEARCH_DEPTH):
        if at == root or at == at.parent:
            break
        if (at / "idVendor").exists():
            facts["vid"] = _number(at / "idVendor", 16)
            facts["pid"] = _number(at / "idProduct", 16)
            for key, file in (("manufacturer", "manufacturer"),
                              ("product", "product"),
                              ("serial_number", "serial")):
                facts[key] = _first_line(at / file) or None
            interface = below is not None and ":" in below.name
            facts["usb_path"] = (below if interface else at).name
            break
        below, at = at, at.parent
    facts["latency_timer_ms"] = _number(device / "latency_timer", 10)
    return facts


def _usable_port_notes(root: Path, facts: dict) -> tuple[str, ...]:
    notes = []
    name, latency = facts["name"], facts.get("latency_timer_ms")
    if latency is not None and latency > _PROMPT_LATENCY_MS:
        notes.append(
            f"the FTDI latency timer is {latency} ms: each reply may reach "
            f"the host up to {latency} ms late; set it to 1 ms (as root): "
            f"echo 1 > /sys/class/tty/{name}/device/latency_timer (a udev "
            "rule keeps it when the device is plugged in again)")
    node = root / "dev" / name
    try:
        info = os.stat(node)
    except OSError:
        notes.append(f"there is no device node {_shown(root, str(node))}, "
                     "so the port cannot be opened")
        return tuple(notes)
    if not os.access(node, os.R_OK | os.W_OK):
        import grp
        try:
            group = grp.getgrgid(info.st_gid).gr_name
        except KeyError:
            group = str(info.st_gid)
        notes.append(
            f"you may not open {_shown(root, str(node))} (mode "
            f"{info.st_mode & 0o7777:04o}, group {group}): members of group "
            f"{group} may; on Debian, as root: adduser YOUR_NAME {group}, "
            "then log in again")
    return tuple(notes)


def _sysfs_ports(root: Path) -> list[PortInfo]:
    """What the library's scan lists below root, and what it leaves out."""
    root = root.resolve()
    class_tty = root / "sys/class/tty"
    # Raises OSError, as the scan fails, when the class cannot be read.
    entries = sorted(os.listdir(class_tty), key=_natural_key)
    consoles = _first_line(class_tty / "console/active").split()
    with_device = [name for name in entries
                   if not name.startswith(".") and _exists(class_tty / name / "device")]
    listable = [name for name in with_device
                if len(name.encode()) < _LISTED_NAME_SIZE
                and not _is_placeholder(class_tty / name) and name not in consoles]
    scanned = listable[:_MOST_LISTED]
    ports = []
    for name in scanned:
        facts = _tty_facts(root, name)
        ports.append(PortInfo(scanned=True, notes=_usable_port_notes(root, facts),
                              **facts))
    for name in with_device:
        if name in scanned:
            continue
        facts, notes = _tty_facts(root, name), ()
        if name in consoles:
            reason = _CONSOLE
        elif _is_placeholder(class_tty / name):
            reason = _PLACEHOLDER
        else:
            reason = (_long_name(name) if len(name) >= _LISTED_NAME_SIZE
                      else _TOO_MANY if len(scanned) >= _MOST_LISTED
                      else _OTHER_RULE)
            notes = _usable_port_notes(root, facts)
        ports.append(PortInfo(scanned=False, left_out=reason, notes=notes,
                              **facts))
    try:
        terminals = sorted(int(name) for name in os.listdir(root / "dev/pts")
                           if name.isdigit())
    except OSError:
        terminals = []
    ports += [PortInfo(f"{_PSEUDO_TERMINALS}{number}", False, _PSEUDO_TERMINAL)
              for number in terminals]
    return ports


# Windows --------------------------------------------------------------------

_SERIALCOMM = r"HARDWARE\DEVICEMAP\SERIALCOMM"
_REG_SZ = 1
# The classes whose devices have a COM port name: Ports and Modem.
_PORT_CLASSES = ("{4d36e978-e325-11ce-bfc1-08002be10318}",
                 "{4d36e96d-e325-11ce-bfc1-08002be10318}")


@dataclasses.dataclass
class _SetupDevice:
    port_name: str
    friendly_name: str | None = None
    hardware_id: str | None = None
    service: str | None = None
    manufacturer: str | None = None
    latency_timer_ms: int | None = None


def _usb_id(hardware_id: str | None, tag: str) -> int | None:
    match = re.search(tag + r"_([0-9A-F]{4})", (hardware_id or "").upper())
    return int(match.group(1), 16) if match else None


def _serialcomm_records(values: list[tuple[str, object, int]],
                        present: list[_SetupDevice],
                        known: list[_SetupDevice]) -> list[PortInfo]:
    """SERIALCOMM's values (name, data, type) in the registry's order, the
    way a scan walks them, with SetupAPI's present and known devices."""
    def find(devices: list[_SetupDevice], port: str) -> _SetupDevice | None:
        return next((device for device in devices
                     if device.port_name.upper() == port.upper()), None)

    ports = []
    for value_name, data, kind in values:
        text = data if kind == _REG_SZ and isinstance(data, str) else None
        if kind != _REG_SZ:
            reason = (f"a registry value of type {kind}, not a string: a "
                      "scan skips it")
        elif not text:
            reason = "an empty name: a scan skips it"
        elif len(text.encode()) >= _LISTED_NAME_SIZE:
            reason = _long_name(text)
        else:
            reason = None
        if reason is not None:
            ports.append(PortInfo(text or value_name, False, reason,
                                  device=value_name))
            continue
        device = find(present, text)
        if device is None:
            absent = find(known, text)
            note = (f"a stale entry: SetupAPI's device for {text} "
                    f"({absent.friendly_name or ''}) is not present"
                    if absent else
                    f"SetupAPI knows no device for {text}: a stale (ghost) "
                    "entry, or a port whose driver registers no device (some "
                    "virtual port drivers, Wine's ports)")
            ports.append(PortInfo(text, True, device=value_name, notes=(note,)))
            continue
        notes = ()
        latency = device.latency_timer_ms
        if latency is not None and latency > _PROMPT_LATENCY_MS:
            notes = (f"the FTDI latency timer is {latency} ms: each reply may "
                     f"reach the host up to {latency} ms late; set it to 1 ms "
                     "in Device Manager: the port's Properties, Port "
                     "Settings, Advanced, Latency Timer",)
        ports.append(PortInfo(
            text, True, device=value_name, driver=device.service,
            vid=_usb_id(device.hardware_id, "VID"),
            pid=_usb_id(device.hardware_id, "PID"),
            manufacturer=device.manufacturer, latency_timer_ms=latency,
            friendly_name=device.friendly_name,
            hardware_id=device.hardware_id, notes=notes))
    return ports


def _registry_ports() -> list[PortInfo]:
    import winreg
    values = []
    # Raises OSError, as the scan fails, when the key cannot be read.
    with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, _SERIALCOMM) as key:
        for index in range(winreg.QueryInfoKey(key)[1]):
            values.append(winreg.EnumValue(key, index))
    try:
        present, known = _setup_devices(True), _setup_devices(False)
    except (OSError, AttributeError, ValueError):
        present = known = []
    return _serialcomm_records(values, present, known)


def _setup_devices(present_only: bool) -> list[_SetupDevice]:
    """SetupAPI's devices of the Ports and Modem classes with a PortName."""
    import ctypes
    import uuid
    import winreg
    from ctypes import wintypes

    class Guid(ctypes.Structure):
        _fields_ = [("bytes", ctypes.c_ubyte * 16)]

    class DeviceInfo(ctypes.Structure):
        _fields_ = [("size", wintypes.DWORD), ("class_guid", Guid),
                    ("instance", wintypes.DWORD), ("reserved", ctypes.c_void_p)]

    setupapi = ctypes.WinDLL("setupapi", use_last_error=True)
    setupapi.SetupDiGetClassDevsW.restype = ctypes.c_void_p
    setupapi.SetupDiGetClassDevsW.argtypes = [
        ctypes.POINTER(Guid), wintypes.LPCWSTR, wintypes.HWND, wintypes.DWORD]
    setupapi.SetupDiEnumDeviceInfo.argtypes = [
        ctypes.c_void_p, wintypes.DWORD, ctypes.POINTER(DeviceInfo)]
    setupapi.SetupDiOpenDevRegKey.restype = ctypes.c_void_p
    setupapi.SetupDiOpenDevRegKey.argtypes = [
        ctypes.c_void_p, ctypes.POINTER(DeviceInfo), wintypes.DWORD,
        wintypes.DWORD, wintypes.DWORD, wintypes.DWORD]
    setupapi.SetupDiGetDeviceRegistryPropertyW.argtypes = [
        ctypes.c_void_p, ctypes.POINTER(DeviceInfo), wintypes.DWORD,
        ctypes.POINTER(wintypes.DWORD), ctypes.c_void_p, wintypes.DWORD,
        ctypes.POINTER(wintypes.DWORD)]
    setupapi.SetupDiDestroyDeviceInfoList.argtypes = [ctypes.c_void_p]
    present, global_scope, hardware_key, read = 0x2, 0x1, 0x1, 0x20019
    friendly_name, hardware_id, service, manufacturer = 0xC, 0x1, 0x4, 0xB
    invalid = ctypes.c_void_p(-1).value

    def property_text(devices: int, info: DeviceInfo, which: int) -> str | None:
        text = ctypes.create_unicode_buffer(512)
        if not setupapi.SetupDiGetDeviceRegistryPropertyW(
                devices, ctypes.byref(info), which, None, text,
                ctypes.sizeof(text) - 2, None):
            return None
        return text.value or None  # a multi-string gives its first string

    found = []
    for class_id in _PORT_CLASSES:
        guid = Guid((ctypes.c_ubyte * 16)(*uuid.UUID(class_id).bytes_le))
        devices = setupapi.SetupDiGetClassDevsW(
            ctypes.byref(guid), None, None, present if present_only else 0)
        if devices in (None, invalid):
            continue
        try:
            info = DeviceInfo(ctypes.sizeof(DeviceInfo))
            index = 0
            while setupapi.SetupDiEnumDeviceInfo(devices, index,
                                                 ctypes.byref(info)):
                index += 1
                key = setupapi.SetupDiOpenDevRegKey(
                    devices, ctypes.byref(info), global_scope, 0,
                    hardware_key, read)
                if key in (None, invalid):
                    continue
                try:
                    port = winreg.QueryValueEx(key, "PortName")[0]
                    try:
                        latency = int(winreg.QueryValueEx(key, "LatencyTimer")[0])
                    except OSError:
                        latency = None
                except OSError:
                    continue
                finally:
                    winreg.CloseKey(key)
                found.append(_SetupDevice(
                    str(port), property_text(devices, info, friendly_name),
                    property_text(devices, info, hardware_id),
                    property_text(devices, info, service),
                    property_text(devices, info, manufacturer), latency))
        finally:
            setupapi.SetupDiDestroyDeviceInfoList(devices)
    return found
