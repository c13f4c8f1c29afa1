"""Fixtures of the package's tests: a real kqvxi server on a controller of this
test process's own, on the simulated board, and injection of driver events
through the simulated board library.

Where things are (ctest sets all of these):
  KQVXI_LIBRARY        the client library
  KQVXI_BIN            the folder of kqvxi-server and kqvxi-ctl
  KQVXI_BOARD_LIBRARY  the simulated board library (for injection); default:
                       beside the client library
  KQVXI_NAMESPACE      the objects' namespace; a private one is set here when
                       missing, so that a run by hand never meets a live system
"""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys
import time
from typing import Iterator, List, Optional

import pytest

os.environ.setdefault("KQVXI_NAMESPACE", f"kqpytest-{os.getpid()}")

# Runs against the source tree when the package is not installed.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir))

import kqvxi  # noqa: E402

EXE = ".exe" if sys.platform == "win32" else ""


def bin_dir() -> str:
    folder = os.environ.get("KQVXI_BIN")
    if not folder:
        library = os.environ.get("KQVXI_LIBRARY")
        folder = os.path.dirname(library) if library else ""
    if not folder or not os.path.exists(os.path.join(folder, "kqvxi-server" + EXE)):
        pytest.skip("no kqvxi-server: set KQVXI_BIN (and KQVXI_LIBRARY) to a build's bin folder")
    return folder


def tool(name: str) -> str:
    return os.path.join(bin_dir(), name + EXE)


_controllers = iter(range(40000 + (os.getpid() % 3000) * 8, 1 << 16))


def own_controller() -> int:
    """A controller no other test process uses at the same time (never 0)."""
    return next(_controllers)


class Board:
    """Raises driver events on a controller of the simulated board library."""

    FULL = -1

    def __init__(self, controller: int) -> None:
        path = os.environ.get("KQVXI_BOARD_LIBRARY")
        if not path:
            folder = os.path.dirname(kqvxi._library.library_path())
            name = "KQVXINT.dll" if sys.platform == "win32" else "libkqvxint.so"
            path = os.path.join(folder, name)
        self.lib = ctypes.CDLL(path)
        self.lib.kqvxi_inject_class.argtypes = [ctypes.c_uint16, ctypes.c_int, ctypes.c_uint16]
        self.lib.kqvxi_inject_level.argtypes = [ctypes.c_uint16, ctypes.c_int16, ctypes.c_uint16, ctypes.c_uint32]
        self.lib.kqvxi_inject_channel.argtypes = [ctypes.c_uint16, ctypes.c_int16, ctypes.c_uint16, ctypes.c_uint16]
        self.lib.kqvxi_inject_source.argtypes = [ctypes.c_uint16, ctypes.c_int] + [ctypes.c_uint16] * 5
        self.controller = controller

    def _raise(self, call, *args, limit_s: float = 10.0) -> None:
        # The board's queue holds 64 events while the server has not taken them:
        # a full queue refuses, so the event is offered again until taken.
        deadline = time.monotonic() + limit_s
        while True:
            status = call(self.controller, *args)
            if status == 0:
                return
            if status != self.FULL or time.monotonic() > deadline:
                raise AssertionError(f"injection refused with status {status}")
            time.sleep(0.001)

    def flag(self, cls: int, value: int = 0) -> None:
        self._raise(self.lib.kqvxi_inject_class, cls, value & 0xFFFF)

    def level(self, index: int, level: int, value: int) -> None:
        self._raise(self.lib.kqvxi_inject_level, index, level, value)

    def channel(self, index: int, channel: int, value: int) -> None:
        self._raise(self.lib.kqvxi_inject_channel, index, channel, value)

    def source(self, source: int, index: int, level: int, kind: int, marked: bool = False, reported: Optional[int] = None) -> None:
        self._raise(
            self.lib.kqvxi_inject_source,
            int(marked),
            source,
            index,
            level,
            source if reported is None else reported,
            kind,
        )


class Server:
    """A kqvxi-server process for one controller."""

    def __init__(self, controller: int) -> None:
        self.controller = controller
        self.process: Optional[subprocess.Popen] = None

    def start(self) -> None:
        self.process = subprocess.Popen([tool("kqvxi-server"), str(self.controller)])
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError(f"server exited with {self.process.returncode} at start")
            if self.ctl("sweep", timeout_ms=200).returncode == 0:
                return
            time.sleep(0.05)
        raise AssertionError(f"server for controller {self.controller} does not answer")

    def ctl(self, *args: str, timeout_ms: int = 2000) -> subprocess.CompletedProcess:
        return subprocess.run(
            [tool("kqvxi-ctl"), "-c", str(self.controller), "-t", str(timeout_ms), *args],
            capture_output=True,
            text=True,
            timeout=60,
        )

    @property
    def pid(self) -> int:
        assert self.process is not None
        return self.process.pid

    def stop(self) -> int:
        """Stops the server on request; its exit code."""
        assert self.process is not None
        self.ctl("stop")
        try:
            code = self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        self.process = None
        return code

    def kill(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process = None


@pytest.fixture
def controller() -> int:
    return own_controller()


@pytest.fixture
def server(controller: int) -> Iterator[Server]:
    s = Server(controller)
    s.start()
    yield s
    if s.process is not None:
        code = s.stop()
        assert code == 0, f"server exit code {code}"


@pytest.fixture
def board(controller: int) -> Board:
    return Board(controller)


def read_n(client: "kqvxi.Client", n: int, limit_s: float = 10.0) -> List["kqvxi.Record"]:
    """Reads until n records arrived or limit_s passed."""
    out: List[kqvxi.Record] = []
    deadline = time.monotonic() + limit_s
    while len(out) < n and time.monotonic() < deadline:
        out.extend(client.read(n - len(out), timeout=max(0.0, deadline - time.monotonic())))
    return out


def wait_for(predicate, limit_s: float = 10.0, step_s: float = 0.01) -> bool:
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step_s)
    return predicate()
