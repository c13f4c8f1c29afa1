"""The example programs (examples/) against a real server: each registers,
prints what it is sent, and ends by its short-run option.

KQVXI_EXAMPLES_BIN: the folder of the built C and C++ examples (default
KQVXI_BIN); KQVXI_EXAMPLES_SRC: the examples' sources (default ../../examples).
"""

from __future__ import annotations

import os
import subprocess
import sys
from typing import List

import pytest
from conftest import EXE, wait_for

import kqvxi

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCES = os.environ.get("KQVXI_EXAMPLES_SRC", os.path.join(HERE, os.pardir, os.pardir, "examples"))


def example(name: str) -> str:
    folder = os.environ.get("KQVXI_EXAMPLES_BIN") or os.environ.get("KQVXI_BIN", "")
    path = os.path.join(folder, f"kqvxi-example-{name}{EXE}")
    if not os.path.exists(path):
        pytest.skip(f"{path} is not built")
    return path


def python_example(name: str) -> List[str]:
    path = os.path.join(SOURCES, "python", name)
    if not os.path.exists(path):
        pytest.skip(f"{path} not found")
    return [sys.executable, path]


def start(argv: List[str], controller: int, stdin=subprocess.DEVNULL) -> subprocess.Popen:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.join(HERE, os.pardir) + os.pathsep + env.get("PYTHONPATH", "")
    p = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    registered = wait_for(lambda: p.poll() is not None or kqvxi.server_status(controller).clients == 1, 20)
    if p.poll() is not None or not registered:
        p.kill()
        out, err = p.communicate()
        raise AssertionError(f"{argv[0]} did not register: {out} {err}")
    # Registered; its selections follow at once, and it says "ready" after them.
    line = p.stdout.readline()
    while line and "ready" not in line and "watching" not in line:
        line = p.stdout.readline()
    return p


def finish(p: subprocess.Popen, limit_s: float = 30) -> List[str]:
    try:
        out, err = p.communicate(timeout=limit_s)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
        raise AssertionError(f"did not end: {out} {err}")
    assert p.returncode == 0, (p.returncode, out, err)
    return out.splitlines()


def test_level_watcher(server, controller, board):
    p = start([example("level-watcher"), "-c", str(controller), "-i", "4", "-l", "0x6", "-n", "3"], controller)
    board.level(4, 1, 1)  # level 1 not selected
    board.level(4, 2, 0x10000)
    board.flag(1)  # class 1 arrives but is not printed
    board.level(5, 2, 3)  # another index
    board.level(4, 3, 4)
    board.level(4, 2, 5)
    lines = finish(p)
    assert lines[:3] == ["index 4 level 2 value 0x10000", "index 4 level 3 value 0x4", "index 4 level 2 value 0x5"]
    assert lines[3].startswith("received 4 dropped 0"), lines


def test_level_watcher_idle_timeout_and_bad_arguments(server, controller):
    p = start([example("level-watcher"), "-c", str(controller), "-t", "1"], controller)
    assert finish(p)[0] == "no record for 1 s"
    r = subprocess.run([example("level-watcher"), "-l", "0x80"], capture_output=True, text=True, timeout=30)
    assert r.returncode == 2 and "usage" in r.stderr


def test_level_watcher_without_server(controller):
    r = subprocess.run([example("level-watcher"), "-c", str(controller)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1 and "register" in r.stderr, r.stderr


@pytest.mark.skipif(sys.platform == "win32", reason="epoll is Linux's")
def test_epoll_loop(server, controller, board):
    p = start([example("epoll-loop"), "-c", str(controller), "-p", "100"], controller, stdin=subprocess.PIPE)
    board.flag(0, 0xFFFF)
    board.source(9, 0, 0, kind=1, marked=True)
    # Both records and a tick of the timer, however long this machine takes.
    lines: List[str] = []
    while sum(line.startswith("record") for line in lines) < 2 or not any(
        line.startswith("tick received") for line in lines
    ):
        line = p.stdout.readline()
        assert line, f"ended early: {lines}"
        lines.append(line.rstrip("\n"))
    p.stdin.write("quit\n")
    p.stdin.flush()
    lines += finish(p)
    records = [line for line in lines if line.startswith("record")]
    assert records == ["record 0 0xffffffff 0x0 0x0", "record 6 0xabcd0009 0x0 0x0"]
    assert lines[-1] == "received 2"


@pytest.mark.skipif(sys.platform == "win32", reason="epoll is Linux's")
def test_epoll_loop_ends_at_end_of_input_count_and_server_end(server, controller, board):
    p = start([example("epoll-loop"), "-c", str(controller)], controller, stdin=subprocess.PIPE)
    assert "end of input" in finish(p)  # communicate() closes its input
    # /dev/null cannot be watched: the loop goes on without it until COUNT.
    p = start([example("epoll-loop"), "-c", str(controller), "-n", "2"], controller)
    board.flag(2)
    board.flag(3, 7)
    lines = finish(p)
    assert lines[-1] == "received 2", lines
    # The ticks' reads notice a server that ended.
    p = start([example("epoll-loop"), "-c", str(controller), "-p", "100"], controller)
    assert server.stop() == 0
    assert "the server ended" in finish(p)


def test_raii_reader(server, controller, board):
    p = start([example("raii-reader"), str(controller), "3", "10"], controller)
    board.flag(0, -2 & 0xFFFF)
    board.flag(5, 40000)
    board.flag(1)
    assert finish(p) == ["class 0 value -2", "class 5 value 40000", "class 1 value 0", "received 3"]


def test_python_watch(server, controller, board):
    p = start(python_example("watch.py") + ["-c", str(controller), "-n", "3"], controller)
    board.flag(4, 0xFFFF)
    board.level(0, 7, 1)
    board.source(3, 0, 0, kind=2)
    assert finish(p) == ["class4 value=-1", "level index=0 level=7 value=0x1", "source source=3 marked=False",
                         "received 3 dropped 0"]


def test_python_watch_async(server, controller, board):
    p = start(python_example("watch_async.py") + ["-c", str(controller), "-n", "2", "-t", "20"], controller)
    # The heartbeat runs while the client waits: its line comes before any record.
    assert p.stdout.readline().strip() == "tick"
    board.flag(2)
    board.flag(3, 5)
    lines = finish(p)
    assert [line for line in lines if line != "tick"] == ["class2", "class3 value=5", "received 2"]
