"""The package against a real server on the simulated board: registration,
every class decoded, selections, timeouts, interrupts, statistics and drops."""

from __future__ import annotations

import os
import threading
import time

import pytest
from conftest import read_n, wait_for

import kqvxi
from kqvxi import EventClass as C


def test_register_report_and_unregister(server, controller):
    with kqvxi.Client(controller=controller) as c:
        s = c.stats()
        assert s.registered and s.controller == controller and s.server_pid == server.pid
        assert 0 <= s.slot < kqvxi.MAX_CLIENTS
        status = kqvxi.server_status(controller)
        assert status.pid == server.pid and status.clients == 1
        [me] = status.client_info
        assert me.pid == os.getpid() and me.alive and me.slot == s.slot
        assert me.flag_classes & (1 << 1), "class 1 is always selected"
        # One handle per process.
        with pytest.raises(kqvxi.Busy) as busy:
            kqvxi.Client(controller=controller)
        assert busy.value.status == -8 and busy.value.strerror == kqvxi.strerror(-8)
    assert c.closed
    with pytest.raises(kqvxi.Closed):
        c.read(1, timeout=0)
    c.close()  # a second close does nothing
    assert wait_for(lambda: kqvxi.server_status(controller).clients == 0)


def test_no_server_is_reported_not_hung(controller):
    t0 = time.monotonic()
    with pytest.raises(kqvxi.NoServer):
        kqvxi.Client(controller=controller, timeout_ms=200)
    print(f"no server reported after {time.monotonic() - t0:.2f} s")
    with pytest.raises(kqvxi.NoServer):
        kqvxi.server_status(controller)


def test_every_class_decoded(server, controller, board):
    with kqvxi.Client(controller=controller) as c:
        for cls in (C.CLASS0, C.CLASS2, C.CLASS3, C.CLASS4, C.CLASS5, C.SOURCE):
            c.select_class(cls)
        c.select_levels(3, kqvxi.ALL_LEVELS)
        c.select_source_levels(3, kqvxi.level_bit(2))
        c.select_channel(0, 50)
        board.flag(0, -5)
        board.flag(1)
        board.flag(2)
        board.flag(3, 300)
        board.flag(4, 0xFFFF)
        board.flag(5, 0xFFFF)
        board.source(9, 0, 0, kind=1, marked=True)
        board.level(3, 2, 0x10000)
        board.source(7, 3, 2, kind=0)
        board.channel(0, 50, 7)
        recs = read_n(c, 10)
        assert [r.cls for r in recs] == [C(i) for i in range(10)], [str(r) for r in recs]
        r0, r1, r2, r3, r4, r5, r6, r7, r8, r9 = recs
        assert isinstance(r0, kqvxi.Class0Record) and r0.value == -5 and r0.arg1 == 0xFFFFFFFB
        assert r0.code == 0xDEAD0000 and r0.name == "class0"
        assert r1 == kqvxi.Class1Record(0xDEAD0001, 0, 0, 0)
        assert isinstance(r2, kqvxi.Class2Record)
        assert r3.value == 300 and r4.value == -1 and r5.value == 65535
        assert (r6.source, r6.marked, r6.arg1) == (9, True, 0xABCD0009)
        assert (r7.index, r7.level, r7.value) == (3, 2, 0x10000)
        assert (r8.source, r8.marked, r8.index, r8.level) == (7, False, 3, 2)
        assert (r9.index, r9.channel, r9.value) == (0, 50, 7)
        # The library's decoding and the package's own agree.
        assert all(kqvxi.decode(r.code, r.arg1, r.arg2, r.arg3) == r for r in recs)
        with pytest.raises(AttributeError):
            r7.level = 1  # frozen


def test_selections_gate_delivery(server, controller, board):
    with kqvxi.Client(controller=controller) as c:
        c.select_class(C.CLASS0)
        c.select_levels(5, kqvxi.level_bit(1) | kqvxi.level_bit(7))
        c.select_channel(2, 14)
        board.flag(0, 1)
        board.level(5, 7, 1)
        board.level(5, 2, 2)  # level 2 not selected
        board.level(6, 1, 3)  # index 6 not selected
        board.channel(2, 60, 1)  # bit 15: not selected
        board.channel(2, 50, 2)  # shares channel 14's selection
        board.flag(1)  # always arrives: marks the end
        # The board queues events for the server's dispatch thread: what was
        # raised is known delivered only once it was read.
        recs = read_n(c, 4)
        assert [str(r) for r in recs] == [
            "class0 value=1",
            "level index=5 level=7 value=0x1",
            "channel index=2 channel=50 value=0x2",
            "class1",
        ]
        c.deselect_class(C.CLASS0)
        c.deselect_levels(5, kqvxi.level_bit(7))
        board.flag(0, 2)
        board.level(5, 7, 4)
        board.level(5, 1, 5)
        board.flag(1)
        recs = read_n(c, 2)
        assert [str(r) for r in recs] == ["level index=5 level=1 value=0x5", "class1"]
        assert c.read(8, timeout=0.2) == []


def test_out_of_range_selections_are_refused(server, controller):
    with kqvxi.Client(controller=controller) as c:
        for call in (
            lambda: c.select_class(C.LEVEL),
            lambda: c.select_class(11),
            lambda: c.select_levels(kqvxi.LEVEL_INDEXES, 1),
            lambda: c.select_levels(0, 0x80),
            lambda: c.select_levels(0, 0),
            lambda: c.select_source_levels(kqvxi.SOURCE_INDEXES, 1),
            lambda: c.select_channel(kqvxi.CHANNEL_INDEXES, 1),
            lambda: c.select_channel(0, 20),
        ):
            with pytest.raises(kqvxi.ArgumentError):
                call()
        c.select_class(C.CLASS1, enable=False)  # accepted, changes nothing
        assert c.stats().registered


def test_read_timeout_and_records_end(server, controller):
    with kqvxi.Client(controller=controller) as c:
        t0 = time.monotonic()
        assert c.read(4, timeout=0.3) == []
        took = time.monotonic() - t0
        assert took >= 0.25, took
        print(f"read(timeout=0.3) returned after {took:.3f} s")
        assert c.read(4, timeout=0) == []
        assert list(c.records(timeout=0.1)) == []


def test_records_max_and_batches(server, controller, board):
    with kqvxi.Client(controller=controller) as c:
        c.select_levels(1, kqvxi.level_bit(1))
        for i in range(20):
            board.level(1, 1, i)
        got = [r.value for r in c.records(timeout=5.0, max_records=12)]
        assert got == list(range(12))
        rest = read_n(c, 8)
        assert [r.value for r in rest] == list(range(12, 20))


def test_interrupt_ends_a_waiting_read(server, controller):
    with kqvxi.Client(controller=controller) as c:
        result = {}

        def reader():
            t0 = time.monotonic()
            try:
                c.read(1, timeout=None)
            except kqvxi.Error as e:
                result["error"] = e
            result["took"] = time.monotonic() - t0

        t = threading.Thread(target=reader)
        t.start()
        time.sleep(0.2)
        c.interrupt()
        t.join(10)
        assert not t.is_alive(), "interrupt did not end the read"
        assert isinstance(result["error"], kqvxi.Interrupted)
        print(f"interrupted read returned after {result['took']:.3f} s")


def test_close_ends_a_waiting_read_in_another_thread(server, controller):
    c = kqvxi.Client(controller=controller)
    result = {}

    def reader():
        try:
            c.read(1, timeout=None)
        except kqvxi.Error as e:
            result["error"] = e

    t = threading.Thread(target=reader)
    t.start()
    time.sleep(0.2)
    c.close()
    t.join(10)
    assert not t.is_alive(), "close did not end the read"
    assert isinstance(result["error"], kqvxi.Closed)


def test_received_plus_dropped_equals_injected(server, controller, board):
    injected = 400
    with kqvxi.Client(controller=controller) as c:
        c.select_levels(2, kqvxi.level_bit(3))
        # Nothing is read while the events go in: the ring fills and the rest is
        # dropped and counted.
        for i in range(injected):
            board.level(2, 3, i)
        assert wait_for(lambda: c.stats().delivered + c.stats().dropped == injected, 30), c.stats()
        values = []
        while True:
            batch = c.read(64, timeout=0)
            if not batch:
                break
            values.extend(r.value for r in batch)
        s = c.stats()
        print(f"{injected} injected: {len(values)} received, {s.dropped} dropped "
              f"({s.dropped_full} ring full, {s.lock_waits} lock waits)")
        assert len(values) + s.dropped == injected
        assert s.received == len(values) == s.delivered
        assert len(values) <= kqvxi.RING_RECORDS - 1  # one entry stays free
        assert s.dropped_full > 0
        # What arrived came in order, once each: the oldest records, kept while the
        # newest found the ring full.
        assert values == sorted(set(values))
        assert values == list(range(len(values)))
