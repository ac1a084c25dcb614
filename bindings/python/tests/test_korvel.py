"""The korvel package against korvel-sim, the simulated adapter.

KORVEL_SIM names the korvel-sim program; KORVEL_CLI, where set, the korvel
program, whose port listing list_ports() must match. The library is found as
a user's program finds it: beside the package, or through KORVEL_LIBRARY.
"""

from __future__ import annotations

import dataclasses
import errno
import fcntl
import json
import os
import pickle
import pkgutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import korvel
from korvel import _ports

# Linux's TIOCGEXCL, _IOR('T', 0x40, int): whether a terminal is exclusive.
_TIOCGEXCL = 0x80045440


class Simulator:
    """korvel-sim on a pseudo-terminal, with its output in a file."""

    def __init__(self, *options: str) -> None:
        self._folder = tempfile.TemporaryDirectory()
        folder = Path(self._folder.name)
        port_file, self.log = folder / "port", folder / "sim.log"
        with open(self.log, "w") as log:
            self._process = subprocess.Popen(
                [os.environ["KORVEL_SIM"], "--port-file", str(port_file),
                 *options], stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 5
        while not port_file.exists():
            if time.monotonic() > deadline or self._process.poll() is not None:
                self.stop()
                raise RuntimeError(f"korvel-sim did not start: {self.output()}")
            time.sleep(0.02)
        self.port = port_file.read_text().strip()

    def output(self) -> str:
        return self.log.read_text()

    def stop(self) -> None:
        self._process.terminate()
        try:
            self._process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._folder.cleanup()


class WithSimulator(unittest.TestCase):
    options: tuple[str, ...] = ()

    def setUp(self) -> None:
        self.sim = Simulator(*self.options)
        self.addCleanup(self.sim.stop)


class Transactions(WithSimulator):
    options = ("--reply", "02 03 7D 10=00 7D 02 03")

    def test_version_reset_and_a_command_that_needs_stuffing(self) -> None:
        with korvel.Interface(self.sim.port) as adapter:
            self.assertEqual(adapter.version(), "KORVEL-SIM 1.0")
            adapter.reset()
            self.assertEqual(adapter.execute(b"\x02\x03\x7d\x10"),
                             b"\x00\x7d\x02\x03")
            self.assertEqual(adapter.execute(b"\x02\x03\x7d\x10", 2),
                             b"\x00\x7d")

    def test_closed_or_superseded_interface_raises_bad_handle(self) -> None:
        adapter = korvel.Interface(self.sim.port)
        adapter.close()
        adapter.close()
        with self.assertRaises(korvel.BadHandleError) as caught:
            adapter.version()
        self.assertEqual((caught.exception.code, caught.exception.name),
                         (1, "MDB_IF_BAD_HANDLE"))
        # A later open supersedes the first, which then counts as closed;
        # closing it leaves the second open.
        first = korvel.Interface(self.sim.port)
        with korvel.Interface(self.sim.port) as second:
            self.assertEqual((first.closed, second.closed), (True, False))
            self.assertIn("superseded", repr(first))
            with self.assertRaises(korvel.BadHandleError):
                first.reset()
            first.close()
            second.reset()

    def test_failed_open_supersedes_unless_the_path_is_no_serial_port(self) -> None:
        with korvel.Interface(self.sim.port) as adapter:
            for port, superseded in (("null", False), ("pts/99999", True)):
                with self.assertRaises(korvel.OpenOrCrcError):
                    korvel.Interface(port)
                self.assertEqual(adapter.closed, superseded, port)
            with self.assertRaises(korvel.BadHandleError):
                adapter.reset()

    def test_bad_arguments_raise_before_anything_is_sent(self) -> None:
        with self.assertRaises(TypeError):
            korvel.Interface(3)  # type: ignore[arg-type]
        for port in ("", "a" * 15, "../etc/tty", "pts/\0"):
            with self.assertRaises(ValueError, msg=port):
                korvel.Interface(port)
        with korvel.Interface(self.sim.port) as adapter:
            with self.assertRaises(TypeError):
                adapter.execute("0A 0B")  # type: ignore[arg-type]
            with self.assertRaises(TypeError):
                adapter.execute(b"\x0a", 2.0)  # type: ignore[arg-type]
            with self.assertRaises(ValueError):
                adapter.execute(b"\x0a", -1)
            with self.assertRaises(ValueError):
                adapter.execute(b"\x7d" * 126)
            adapter.execute(b"\x0a" * 250)
        time.sleep(0.2)  # korvel-sim prints each exchange after its reply
        self.assertEqual(self.sim.output().count(" request "), 1,
                         self.sim.output())


class AdapterStatuses(WithSimulator):
    options = ("--reply", "0A=33", "--reply", "0B=FC")

    def test_errors_carry_the_status_byte_the_adapter_sent(self) -> None:
        with korvel.Interface(self.sim.port) as adapter:
            with self.assertRaises(korvel.AdapterError) as caught:
                adapter.execute(b"\x0a")
            self.assertEqual(caught.exception.status, 0x33)
            self.assertEqual(
                str(caught.exception),
                "MDB_IF_ExecCommand returned 6 (MDB_IF_ADAPTER_ERROR): the "
                "adapter reported an error: status 0xFF, or to an exec any "
                "one-byte status other than 0x00, 0xFC, 0xFD and 0xFE; "
                "status 0x33")
            with self.assertRaises(korvel.AdapterTimeoutError) as caught:
                adapter.execute(b"\x0b")
            self.assertEqual(caught.exception.status, 0xFC)
            self.assertTrue(str(caught.exception).endswith("; status 0xFC"))


class SilentAdapter(WithSimulator):
    options = ("--silent",)

    def test_raises_the_timeout_error(self) -> None:
        with korvel.Interface(self.sim.port) as adapter:
            with self.assertRaises(korvel.AdapterTimeoutError) as caught:
                adapter.execute(b"\x0a\x0b")
        error = caught.exception
        self.assertIsInstance(error, korvel.KorvelError)
        self.assertEqual(
            (error.code, error.name, error.function, error.errno,
             error.status),
            (4, "MDB_IF_TIMEOUT", "MDB_IF_ExecCommand", None, None))


def exclusive(port: str) -> bool:
    """Whether the pseudo-terminal still carries a holder's exclusive flag
    (root opens it all the same)."""
    fd = os.open(f"/dev/{port}", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        flag = fcntl.ioctl(fd, _TIOCGEXCL, struct.pack("i", 0))
        return struct.unpack("i", flag)[0] != 0
    finally:
        os.close(fd)


class UnclosedInterface(WithSimulator):
    """Interfaces a program forgets to close, in a program of their own."""

    def python(self, script: str) -> subprocess.Popen:
        return subprocess.Popen(
            [sys.executable, "-W", "always::ResourceWarning", "-c",
             "import gc, sys, korvel\n" + script, self.sim.port],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)

    def test_is_closed_when_collected(self) -> None:
        child = self.python("adapter = korvel.Interface(sys.argv[1])\n"
                            "del adapter\ngc.collect()\n"
                            "print('collected', flush=True)\nsys.stdin.read()")
        self.addCleanup(child.kill)
        self.assertEqual(child.stdout.readline(), "collected\n")
        # The child still runs: only its close lets this open through.
        korvel.Interface(self.sim.port).close()
        _, errors = child.communicate("", timeout=10)
        self.assertIn("ResourceWarning: unclosed <korvel.Interface", errors)

    def test_is_closed_at_exit(self) -> None:
        child = self.python("adapter = korvel.Interface(sys.argv[1])")
        _, errors = child.communicate(timeout=10)
        self.assertEqual(child.returncode, 0, errors)
        self.assertIn("ResourceWarning: unclosed <korvel.Interface", errors)
        self.assertIn("open> at exit", errors)
        self.assertFalse(exclusive(self.sim.port))
        korvel.Interface(self.sim.port).close()


class FailedOpen(unittest.TestCase):
    def test_says_why_with_the_systems_errno(self) -> None:
        for port, number in (("pts/99999", errno.ENOENT),
                             ("null", errno.ENOTTY)):  # /dev/null: no terminal
            with self.subTest(port):
                with self.assertRaises(korvel.OpenOrCrcError) as caught:
                    korvel.Interface(port)
                error = caught.exception
                self.assertEqual((error.errno, error.winerror), (number, None))
                self.assertEqual(str(error).split(": ", 1)[1],
                                 f"could not open {port!r}: [Errno {number}] "
                                 f"{os.strerror(number)}")

    def test_a_name_given_as_a_path_gets_the_name_to_give(self) -> None:
        with self.assertRaises(korvel.OpenOrCrcError) as caught:
            korvel.Interface("/dev/pts/99999")
        self.assertEqual(caught.exception.errno, errno.ENOENT)
        self.assertTrue(str(caught.exception).endswith(
            "; give the name without /dev/: 'pts/99999'"), caught.exception)
        with self.assertRaises(ValueError) as refused:
            korvel.Interface("/dev/ttyUSB0123")
        self.assertIn("give the name without /dev/: 'ttyUSB0123'",
                      str(refused.exception))


class Package(unittest.TestCase):
    def test_errors_survive_pickling(self) -> None:
        errors = [error("MDB_IF_ExecCommand")
                  for error in korvel.KorvelError.__subclasses__()]
        errors += [korvel.KorvelError("MDB_IF_LineReset", 9),
                   korvel.OpenOrCrcError("MDB_IF_OpenInterface", errno=13,
                                         winerror=5, reason="denied"),
                   korvel.AdapterError("MDB_IF_ExecCommand", status=0x33)]
        for error in errors:
            copy = pickle.loads(pickle.dumps(error))
            self.assertEqual(
                (type(copy), copy.code, copy.name, copy.function, copy.errno,
                 copy.winerror, copy.reason, copy.status, str(copy)),
                (type(error), error.code, error.name, error.function,
                 error.errno, error.winerror, error.reason, error.status,
                 str(error)))

    def test_help_gives_each_error_one_line_with_its_code(self) -> None:
        for error in korvel.KorvelError.__subclasses__():
            self.assertRegex(korvel.__doc__,
                             rf"\n +{error.__name__} +{error.code}: ")
            self.assertRegex(error.__doc__, rf"^Result {error.code}: [^\n]*$")
        self.assertIn("never holds\npseudo-terminals", korvel.__doc__)


class FakeSystem(unittest.TestCase):
    """list_ports() over a fake system tree, as korvel ports lists it."""

    def setUp(self) -> None:
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.root = Path(folder.name)
        usb = "sys/devices/pci0000:00/0000:00:14.0/usb1"
        self.usb_device(f"{usb}/1-2", idVendor="0403", idProduct="6001",
                        manufacturer="FTDI", product="FT232R USB UART",
                        serial="A50285BI")
        ftdi = self.driver(f"{usb}/1-2/1-2:1.0/ttyUSB0", "usb-serial",
                           "ftdi_sio")
        (ftdi / "latency_timer").write_text("16\n")
        self.tty("ttyUSB0", ftdi)
        self.usb_device(f"{usb}/1-3", idVendor="2341", idProduct="0043")
        self.tty("ttyACM0", self.driver(f"{usb}/1-3/1-3:1.0", "usb", "cdc_acm"))
        self.tty("ttyS0", self.uart("sys/devices/pnp0/00:04", "serial"), "4")
        self.tty("ttyS3", self.uart("sys/devices/platform/serial8250",
                                    "serial8250"), "0")
        self.tty("ttyUSB10", self.driver(f"{usb}/1-4/1-4:1.0/ttyUSB10",
                                         "usb-serial", "pl2303"))
        self.file("sys/class/tty/console/active", "tty0 ttyS0")
        for node in ("ttyUSB0", "ttyACM0", "pts/3", "pts/ptmx"):
            self.file(f"dev/{node}", "")
        (self.root / "sys/class/tty/tty0").mkdir()

    def file(self, path: str, text: str) -> Path:
        (self.root / path).parent.mkdir(parents=True, exist_ok=True)
        (self.root / path).write_text(text + "\n")
        return self.root / path

    def usb_device(self, path: str, **attributes: str) -> None:
        for name, value in attributes.items():
            self.file(f"{path}/{name}", value)

    def driver(self, path: str, bus: str, name: str) -> Path:
        device = self.root / path
        device.mkdir(parents=True, exist_ok=True)
        driver = self.root / f"sys/bus/{bus}/drivers/{name}"
        driver.mkdir(parents=True, exist_ok=True)
        (device / "driver").symlink_to(driver)
        (device / "subsystem").symlink_to(driver.parent.parent)
        return device

    def uart(self, path: str, name: str) -> Path:
        control = self.driver(f"{path}/{Path(path).name}:0", "serial-base",
                              "ctrl")
        self.driver(path, "platform", name)
        port = self.driver(f"{control.relative_to(self.root)}/port.0",
                           "serial-base", "port")
        return port

    def tty(self, name: str, device: Path, kind: str | None = None) -> None:
        entry = self.root / "sys/class/tty" / name
        entry.mkdir(parents=True)
        (entry / "device").symlink_to(device)
        if kind is not None:
            (entry / "type").write_text(kind + "\n")

    def test_lists_what_a_scan_probes_in_its_order_then_what_it_leaves_out(self) -> None:
        ports = _ports._sysfs_ports(self.root)
        self.assertEqual([(port.name, port.scanned) for port in ports],
                         [("ttyACM0", True), ("ttyUSB0", True),
                          ("ttyS0", False), ("ttyS3", False),
                          ("ttyUSB10", False), ("pts/3", False)])
        ftdi = ports[1]
        self.assertEqual(
            (ftdi.driver, ftdi.vid, ftdi.pid, ftdi.manufacturer, ftdi.product,
             ftdi.serial_number, ftdi.usb_path, ftdi.latency_timer_ms),
            ("ftdi_sio", 0x0403, 0x6001, "FTDI", "FT232R USB UART",
             "A50285BI", "1-2:1.0", 16))
        self.assertIn("latency timer is 16 ms", ftdi.notes[0])
        self.assertTrue(ports[2].left_out.startswith("the kernel's console"))
        self.assertEqual(ports[3].driver, "serial8250")
        self.assertTrue(ports[3].left_out.startswith("a placeholder"))
        self.assertIn("there is no device node /dev/ttyUSB10", ports[4].notes[0])
        self.assertTrue(ports[5].left_out.startswith("a pseudo-terminal"))

    @unittest.skipUnless(os.environ.get("KORVEL_CLI"), "KORVEL_CLI not set")
    def test_gives_the_records_korvel_ports_prints(self) -> None:
        printed = subprocess.run(
            [os.environ["KORVEL_CLI"], "-v", "--json", "ports", "--root",
             str(self.root)], capture_output=True, text=True, check=True)
        listed = [{**dataclasses.asdict(port), "notes": list(port.notes)}
                  for port in _ports._sysfs_ports(self.root)]
        self.assertEqual(listed, json.loads(printed.stdout))

    def test_windows_records_from_serialcomm_and_setupapi(self) -> None:
        present = [_ports._SetupDevice(
            "COM5", "USB Serial Port (COM5)", "FTDIBUS\\COMPORT&VID_0403&PID_6001",
            "FTSER2K", "FTDI", 16)]
        known = present + [_ports._SetupDevice("COM7", "Gone (COM7)")]
        ports = _ports._serialcomm_records(
            [(r"\Device\VCP0", "COM5", 1), (r"\Device\Serial0", "COM6", 1),
             (r"\Device\Old", "COM7", 1), ("number", 9, 4),
             ("long", "COM12345", 1)], present, known)
        com5 = ports[0]
        self.assertEqual(
            (com5.name, com5.scanned, com5.device, com5.driver, com5.vid,
             com5.pid, com5.friendly_name, com5.latency_timer_ms),
            ("COM5", True, r"\Device\VCP0", "FTSER2K", 0x0403, 0x6001,
             "USB Serial Port (COM5)", 16))
        self.assertIn("Device Manager", com5.notes[0])
        self.assertIn("a stale (ghost) entry", ports[1].notes[0])
        self.assertIn("(Gone (COM7)) is not present", ports[2].notes[0])
        self.assertEqual([(port.name, port.scanned) for port in ports[3:]],
                         [("number", False), ("COM12345", False)])
        self.assertIn("type 4, not a string", ports[3].left_out)


if __name__ == "__main__":
    unittest.main()
