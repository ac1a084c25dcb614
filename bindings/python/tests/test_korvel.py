"""The korvel package against korvel-sim, the simulated adapter.

KORVEL_SIM names the korvel-sim program. The library is found as a user's
program finds it: beside the package, or through KORVEL_LIBRARY.
"""

from __future__ import annotations

import errno
import os
import pickle
import pkgutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

import korvel


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


class SilentAdapter(WithSimulator):
    options = ("--silent",)

    def test_raises_the_timeout_error(self) -> None:
        with korvel.Interface(self.sim.port) as adapter:
            with self.assertRaises(korvel.AdapterTimeoutError) as caught:
                adapter.execute(b"\x0a\x0b")
        error = caught.exception
        self.assertIsInstance(error, korvel.KorvelError)
        self.assertEqual(
            (error.code, error.name, error.function, error.errno),
            (4, "MDB_IF_TIMEOUT", "MDB_IF_ExecCommand", None))


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


class Package(unittest.TestCase):
    def test_errors_survive_pickling(self) -> None:
        errors = [error("MDB_IF_ExecCommand")
                  for error in korvel.KorvelError.__subclasses__()]
        errors += [korvel.KorvelError("MDB_IF_LineReset", 9),
                   korvel.OpenOrCrcError("MDB_IF_OpenInterface", errno=13,
                                         winerror=5, reason="denied")]
        for error in errors:
            copy = pickle.loads(pickle.dumps(error))
            self.assertEqual(
                (type(copy), copy.code, copy.name, copy.function, copy.errno,
                 copy.winerror, copy.reason, str(copy)),
                (type(error), error.code, error.name, error.function,
                 error.errno, error.winerror, error.reason, str(error)))

    def test_walk_packages_finds_only_modules(self) -> None:
        # The bundled library must not pass for an extension module.
        folder = Path(korvel.__file__).parent
        modules = [f"korvel.{path.stem}" for path in folder.glob("*.py")
                   if path.stem != "__init__"]
        self.assertEqual(sorted(name for _, name, _ in pkgutil.walk_packages(
            korvel.__path__, "korvel.")), sorted(modules))


if __name__ == "__main__":
    unittest.main()
