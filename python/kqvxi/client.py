"""The client handle: registration, selections, reading (blocking and asyncio),
statistics; and the calls that need no handle (version, server status)."""

from __future__ import annotations

import asyncio
import collections
import ctypes
import sys
import threading
from dataclasses import dataclass, field
from typing import AsyncIterator, Deque, Iterator, List, Optional, Tuple

from . import _library as L
from .errors import Closed, Error, ServerGone, error_for
from .records import EventClass, Record, make_record

MAX_CLIENTS = L.MAX_CLIENTS
RING_RECORDS = L.RING_RECORDS
LEVEL_INDEXES = L.LEVEL_INDEXES
SOURCE_INDEXES = L.SOURCE_INDEXES
CHANNEL_INDEXES = L.CHANNEL_INDEXES
ALL_LEVELS = 0x7F
# How often a client waiting on asyncio looks for the server's end or restart.
_END_CHECK_S = 1.0
# How long one worker-thread read waits where the loop cannot watch the descriptor.
_WORKER_WAIT_MS = 500


def level_bit(level: int) -> int:
    """The bit of level 1..7 in a level mask (level 1 -> 0x01, level 7 -> 0x40)."""
    if not 1 <= level <= 7:
        raise ValueError(f"level {level} is not 1..7")
    return 1 << (level - 1)


def strerror(status: int) -> str:
    """The library's English text for a status."""
    return L.lib().kqvxi_strerror(status).decode("utf-8", "replace")


def _check(status: int, call: str) -> int:
    if status < 0:
        raise error_for(status, strerror(status), call)
    return status


def version() -> str:
    """The loaded client library's version, "major.minor.patch"."""
    return L.lib().kqvxi_version().decode("ascii", "replace")


def _timeout_ms(timeout: Optional[float]) -> int:
    """Seconds (None: no limit) as the library's milliseconds."""
    if timeout is None:
        return L.INFINITE
    if timeout <= 0:
        return 0
    return min(int(timeout * 1000 + 0.5), L.INFINITE - 1)


@dataclass(frozen=True)
class Stats:
    """What kqvxi_client_stats reports. Server counters are since this
    registration; ``received`` and ``server_restarts`` over the handle's life."""

    delivered: int  #: records appended to this client's ring
    dropped: int  #: the sum of the three causes below
    dropped_full: int  #: the ring was full
    dropped_ended: int  #: the server judged the client ended
    dropped_lock_kept: int  #: this process held the ring's lock too long
    lock_waits: int  #: posts that waited for this process to release the lock
    received: int  #: records returned by reads
    server_restarts: int  #: times the handle registered with a new server
    slot: int  #: this client's slot, 0..49
    server_pid: int  #: process id of the current server
    controller: int
    registered: bool  #: False when the handle holds no slot (server counters then 0)


@dataclass(frozen=True)
class ClientInfo:
    """One registered client of a server, as kqvxi_server_status reports it."""

    slot: int
    pid: int
    alive: bool  #: False: the process ended and waits for a sweep
    flag_classes: int  #: bit c set: class c selected (bit 1 always)
    delivered: int
    dropped_full: int
    dropped_ended: int
    dropped_lock_kept: int
    lock_waits: int
    level_masks: Tuple[int, ...]  #: per index; bit n-1 is level n
    source_level_masks: Tuple[int, ...]
    channel_masks: Tuple[int, ...]  #: per index; channel 50 is bit 14, 60 bit 15


@dataclass(frozen=True)
class ServerStatus:
    """A server's state from its statistics object (no request is sent)."""

    controller: int
    pid: int
    instance: int  #: differs for every start of a server
    clients: int  #: registered clients
    uptime_ms: int
    client_info: List[ClientInfo] = field(default_factory=list)


def server_status(controller: int) -> ServerStatus:
    """The state of the server of ``controller`` and of its clients.

    Raises NoServer when no server runs. Never blocks; needs no registration.
    """
    info = L.ServerInfo()
    table = (L.ClientInfo * MAX_CLIENTS)()
    n = _check(L.lib().kqvxi_server_status(controller, ctypes.byref(info), table, MAX_CLIENTS), "kqvxi_server_status")
    clients = [
        ClientInfo(
            slot=c.slot,
            pid=c.pid,
            alive=bool(c.alive),
            flag_classes=c.flag_classes,
            delivered=c.delivered,
            dropped_full=c.dropped_full,
            dropped_ended=c.dropped_ended,
            dropped_lock_kept=c.dropped_lock_kept,
            lock_waits=c.lock_waits,
            level_masks=tuple(c.level_masks),
            source_level_masks=tuple(c.source_level_masks),
            channel_masks=tuple(c.channel_masks),
        )
        for c in table[: min(n, MAX_CLIENTS)]
    ]
    return ServerStatus(info.controller, info.pid, info.instance, info.clients, info.uptime_ms, clients)


def _to_record(e: L.Event) -> Record:
    r = e.raw
    return make_record(
        e.cls,
        r.code,
        r.arg1,
        r.arg2,
        r.arg3,
        value=e.value,
        index=e.index,
        level=e.level,
        channel=e.channel,
        source=e.source,
        marked=e.marked,
    )


class Client:
    """One registration of this process with the server of a controller.

    ::

        with kqvxi.Client(controller=1) as c:
            c.select_levels(3, kqvxi.level_bit(1) | kqvxi.level_bit(2))
            for rec in c.records(timeout=1.0):
                print(rec)

    A process has one open client at a time (Busy otherwise). ``reregister``:
    when the server restarts, register with the new one and re-apply every
    selection; the next read then raises Restarted once. ``timeout_ms``: how
    long each request waits for the server (None: the library's default, 2 s).
    ``coalesce_us`` and ``spin_us`` are the library's wake coalescing and spin
    options (0: off).

    Every method may be called from any thread. close() ends a read that waits
    in another thread (it raises Closed there).
    """

    def __init__(
        self,
        controller: int = 1,
        reregister: bool = False,
        timeout_ms: Optional[int] = None,
        *,
        coalesce_us: int = 0,
        spin_us: int = 0,
    ) -> None:
        if not 0 <= controller <= 0xFFFF:
            raise ValueError(f"controller {controller} is not 0..65535")
        lib = L.lib()
        options = L.Options()
        lib.kqvxi_options_init(ctypes.byref(options))
        if reregister:
            options.flags |= L.OPEN_REREGISTER
        if timeout_ms is not None:
            options.timeout_ms = timeout_ms
        options.coalesce_us = coalesce_us
        options.spin_us = spin_us
        handle = ctypes.c_void_p()
        _check(lib.kqvxi_client_open(controller, ctypes.byref(options), ctypes.byref(handle)), "kqvxi_client_open")
        self.controller = controller
        self._handle: Optional[int] = handle.value
        # Calls in flight and whether close() was asked: the handle is freed by
        # whoever leaves it last, so a close in one thread never frees memory a
        # read in another still uses.
        self._guard = threading.Lock()
        self._inflight = 0
        self._closing = False
        self._buffer: Deque[Record] = collections.deque()
        self._descriptor: Optional[int] = None
        # The worker thread's read of a wait on asyncio without a descriptor.
        self._worker: "Optional[asyncio.Future[List[Record]]]" = None

    # ---- the handle's life -------------------------------------------------

    def _enter(self) -> int:
        with self._guard:
            if self._closing or self._handle is None:
                raise error_for(-12, strerror(-12), "kqvxi")
            self._inflight += 1
            return self._handle

    def _leave(self) -> None:
        with self._guard:
            self._inflight -= 1
            self._free_if_done()

    def _free_if_done(self) -> None:
        if self._closing and self._inflight == 0 and self._handle is not None:
            L.lib().kqvxi_client_free(self._handle)
            self._handle = None

    def _call(self, name: str, *args) -> int:
        handle = self._enter()
        try:
            return _check(getattr(L.lib(), name)(handle, *args), name)
        finally:
            self._leave()

    @property
    def closed(self) -> bool:
        return self._closing

    def close(self) -> None:
        """Unregisters and releases the client. A read waiting in another thread
        raises Closed. Records still in the ring are discarded. A second close
        does nothing."""
        with self._guard:
            if self._closing or self._handle is None:
                return
            self._closing = True
            handle = self._handle
            self._inflight += 1
        try:
            L.lib().kqvxi_client_close(handle)
        finally:
            self._leave()

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    # ---- selections --------------------------------------------------------

    def select_class(self, cls: int, enable: bool = True) -> None:
        """Selects (or with enable=False deselects) flag class 0, 2, 3, 4, 5 or 6.
        Class 1 is always on; classes 7 to 9 have their own calls."""
        self._call("kqvxi_select_class", int(cls), int(bool(enable)))

    def deselect_class(self, cls: int) -> None:
        self.select_class(cls, False)

    def select_levels(self, index: int, levels: int = ALL_LEVELS, enable: bool = True) -> None:
        """Class 7 at ``index`` 0..254: ``levels`` is a mask of level_bit(1..7)."""
        self._call("kqvxi_select_levels", index, levels, int(bool(enable)))

    def deselect_levels(self, index: int, levels: int = ALL_LEVELS) -> None:
        self.select_levels(index, levels, False)

    def select_source_levels(self, index: int, levels: int = ALL_LEVELS, enable: bool = True) -> None:
        """Class 8 at reported ``index`` 0..254: ``levels`` as for select_levels."""
        self._call("kqvxi_select_source_levels", index, levels, int(bool(enable)))

    def deselect_source_levels(self, index: int, levels: int = ALL_LEVELS) -> None:
        self.select_source_levels(index, levels, False)

    def select_channel(self, index: int, channel: int, enable: bool = True) -> None:
        """Class 9 at ``index`` 0..255: ``channel`` 0..15, 50 (shares 14's
        selection) or 60 (shares 15's)."""
        self._call("kqvxi_select_channel", index, channel, int(bool(enable)))

    def deselect_channel(self, index: int, channel: int) -> None:
        self.select_channel(index, channel, False)

    # ---- reading -----------------------------------------------------------

    def _read_raw(self, max: int, timeout_ms: int) -> List[Record]:
        events = (L.Event * max)()
        n = self._call("kqvxi_client_read", events, max, timeout_ms)
        return [_to_record(events[i]) for i in range(n)]

    def read(self, max: int = 64, timeout: Optional[float] = None) -> List[Record]:
        """Up to ``max`` records, oldest first; [] when ``timeout`` seconds passed
        with none (0: never waits; None: waits until a record arrives).

        Raises Interrupted (interrupt() or a signal), Restarted (once after the
        client registered with a restarted server), ServerGone (the server ended
        and the ring is empty), Closed, Timeout (the server kept the ring's lock).
        """
        if max < 1:
            raise ValueError("max must be at least 1")
        if self._buffer:
            out: List[Record] = []
            while self._buffer and len(out) < max:
                out.append(self._buffer.popleft())
            return out
        return self._read_raw(max, _timeout_ms(timeout))

    def records(self, timeout: Optional[float] = None, max_records: Optional[int] = None) -> Iterator[Record]:
        """Yields records as they arrive. Ends when no record came for
        ``timeout`` seconds (None: never) or after ``max_records``. Errors of
        the reads are raised (see read())."""
        count = 0
        while max_records is None or count < max_records:
            want = 64 if max_records is None else min(64, max_records - count)
            batch = self.read(want, timeout)
            if not batch:
                return
            for rec in batch:
                count += 1
                yield rec

    def interrupt(self) -> None:
        """Makes the read that waits now, or else the next one that would wait,
        raise Interrupted. Never blocks."""
        self._call("kqvxi_client_interrupt")

    # ---- asyncio -----------------------------------------------------------

    def descriptor(self) -> int:
        """The library's wait descriptor: a file descriptor on Linux, the wake
        event's HANDLE on Windows. Readable when records may be waiting; read
        with timeout 0 until [] to re-arm it."""
        if self._descriptor is None:
            value = ctypes.c_ssize_t()
            self._call("kqvxi_client_descriptor", ctypes.byref(value))
            self._descriptor = value.value
        return self._descriptor

    async def next_record(self) -> Record:
        """The next record, waiting on the running event loop without blocking it.

        On Linux it waits for the descriptor with loop.add_reader; where the loop
        cannot watch it (Windows), reads of at most half a second run on the
        loop's default executor, one at a time.
        """
        await self._settle_worker()
        while True:
            if self._buffer:
                return self._buffer.popleft()
            batch = self._read_raw(64, 0)
            if batch:
                self._buffer.extend(batch)
                continue
            loop = asyncio.get_running_loop()
            if sys.platform == "win32" or not await self._wait_readable(loop):
                await self._read_in_thread(loop)

    async def _wait_readable(self, loop: asyncio.AbstractEventLoop) -> bool:
        fd = self.descriptor()
        ready = loop.create_future()

        def on_ready() -> None:
            if not ready.done():
                ready.set_result(None)

        try:
            loop.add_reader(fd, on_ready)
        except NotImplementedError:
            return False
        try:
            # The descriptor tells of records only, not of the server's end or
            # restart: a read (timeout 0) after at most this long finds those.
            await asyncio.wait_for(ready, _END_CHECK_S)
        except asyncio.TimeoutError:
            pass
        finally:
            loop.remove_reader(fd)
        return True

    async def _settle_worker(self) -> None:
        """Waits for the worker read of a cancelled wait to end (it waits half a
        second at most), so that two reads of this client never run at once."""
        pending = self._worker
        if pending is not None and not pending.done():
            await asyncio.wait([pending])
        self._worker = None

    async def _read_in_thread(self, loop: asyncio.AbstractEventLoop) -> None:
        # A bounded read rather than an interrupted one: a cancelled wait then
        # needs no interrupt, which a read of another thread could take.
        future = loop.run_in_executor(None, self._read_raw, 64, _WORKER_WAIT_MS)
        self._worker = future
        try:
            batch = await asyncio.shield(future)
        except asyncio.CancelledError:
            # What the read takes after the cancellation is kept for the next
            # read, and its error is consumed.
            def keep(done: "asyncio.Future[List[Record]]") -> None:
                if not done.cancelled() and done.exception() is None:
                    self._buffer.extend(done.result())

            future.add_done_callback(keep)
            raise
        self._worker = None
        self._buffer.extend(batch)

    def __aiter__(self) -> AsyncIterator[Record]:
        """``async for rec in client``: records until the client is closed or the
        server ends (other errors, Restarted among them, are raised)."""
        return self

    async def __anext__(self) -> Record:
        try:
            return await self.next_record()
        except (Closed, ServerGone) as e:
            raise StopAsyncIteration from e

    # ---- statistics --------------------------------------------------------

    def stats(self) -> Stats:
        """The client's counters. Never blocks, sends nothing. Records taken from
        the ring but not yet returned by next_record() count as received."""
        s = L.Stats()
        handle = self._enter()
        try:
            status = L.lib().kqvxi_client_stats(handle, ctypes.byref(s))
        finally:
            self._leave()
        if status < 0 and status != -6:
            _check(status, "kqvxi_client_stats")
        return Stats(
            delivered=s.delivered,
            dropped=s.dropped,
            dropped_full=s.dropped_full,
            dropped_ended=s.dropped_ended,
            dropped_lock_kept=s.dropped_lock_kept,
            lock_waits=s.lock_waits,
            received=s.received,
            server_restarts=s.server_restarts,
            slot=s.slot,
            server_pid=s.server_pid,
            controller=s.controller,
            registered=status >= 0,
        )

    def __repr__(self) -> str:
        state = "closed" if self._closing else "open"
        return f"<kqvxi.Client controller={self.controller} {state}>"


__all__ = [
    "Client",
    "Stats",
    "ServerStatus",
    "ClientInfo",
    "server_status",
    "version",
    "strerror",
    "level_bit",
    "EventClass",
    "MAX_CLIENTS",
    "RING_RECORDS",
    "ALL_LEVELS",
]
