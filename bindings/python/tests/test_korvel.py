"""The korvel package against korvel-sim, the simulated adapter.

KORVEL_SIM names the korvel-sim program. The library is found as a user's
program finds it: beside the package, or through KORVEL_LIBRARY.
"""

from __future__ import annotations

import errno
import os
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
        # Reopening the port supersedes the first interface: the library
        # itself refuses the old handle.
        first = korvel.Interface(self.sim.port)
        with korvel.Interface(self.sim.port) as second:
            with self.assertRaises(korvel.BadHandleError):
                first.reset()
            second.reset()
        first.close()

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


if __name__ == "__main__":
    unittest.main()
