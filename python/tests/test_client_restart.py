"""Server restarts: without reregister the client learns that the server is
gone; with it, the client registers with the new server, says so once, and
keeps its selections."""

from __future__ import annotations

import time

import pytest
import kqvxi


def test_server_gone_without_reregister(server, controller, board):
    with kqvxi.Client(controller=controller) as c:
        c.select_class(kqvxi.EventClass.CLASS2)
        board.flag(2)
        assert server.stop() == 0
        # What the ring held is still read, then the end is reported.
        deadline = time.monotonic() + 20
        got = []
        with pytest.raises(kqvxi.ServerGone):
            while time.monotonic() < deadline:
                got.extend(c.read(8, timeout=0.5))
        assert [r.cls for r in got] in ([kqvxi.EventClass.CLASS2], [kqvxi.EventClass.CLASS2, kqvxi.EventClass.UNREGISTERED])
        with pytest.raises(kqvxi.NotRegistered):
            c.select_class(kqvxi.EventClass.CLASS0)
        assert not c.stats().registered


def test_reregister_after_restart_keeps_selections(server, controller, board):
    with kqvxi.Client(controller=controller, reregister=True) as c:
        c.select_class(kqvxi.EventClass.CLASS5)
        c.select_levels(9, kqvxi.level_bit(4))
        old_pid = c.stats().server_pid
        assert server.stop() == 0
        server.start()
        t0 = time.monotonic()
        restarted = 0
        while time.monotonic() - t0 < 20 and c.stats().server_pid != server.pid:
            try:
                early = c.read(8, timeout=0.2)
                assert not [r for r in early if r.cls != kqvxi.EventClass.UNREGISTERED], early
            except kqvxi.Restarted:
                restarted += 1
        s = c.stats()
        assert s.registered and s.server_pid == server.pid != old_pid, s
        assert s.server_restarts == 1
        print(f"registered with the new server after {time.monotonic() - t0:.2f} s")
        board.flag(5, 11)
        board.level(9, 4, 12)
        recs = []
        deadline = time.monotonic() + 10
        while len(recs) < 2 and time.monotonic() < deadline:
            try:
                recs.extend(c.read(8, timeout=0.5))
            except kqvxi.Restarted:
                restarted += 1
        assert restarted == 1, "Restarted is raised once"
        assert [str(r) for r in recs] == ["class5 value=11", "level index=9 level=4 value=0xc"]
        assert kqvxi.server_status(controller).client_info[0].level_masks[9] == kqvxi.level_bit(4)

