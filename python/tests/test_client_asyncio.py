"""Reading on asyncio: the loop stays free while a client waits, records come
in order, and a cancelled wait loses nothing."""

from __future__ import annotations

import asyncio
import threading
import time

import kqvxi


def test_next_record_and_async_for(server, controller, board):
    async def main():
        with kqvxi.Client(controller=controller) as c:
            c.select_class(kqvxi.EventClass.CLASS3)
            ticks = 0

            async def ticker():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.01)
                    ticks += 1

            tick_task = asyncio.create_task(ticker())
            # The event comes from another thread while the loop waits.
            threading.Timer(0.3, lambda: [board.flag(3, v) for v in (1, 2, 3, 4)]).start()
            first = await asyncio.wait_for(c.next_record(), 10)
            assert isinstance(first, kqvxi.Class3Record) and first.value == 1
            # The loop ran while next_record() waited.
            print(f"the loop ticked {ticks} times (10 ms each) while next_record() waited 0.3 s")
            assert ticks >= 1, "the loop was blocked while next_record() waited"
            rest = []
            async for rec in c:
                rest.append(rec.value)
                if len(rest) == 3:
                    break
            assert rest == [2, 3, 4]
            tick_task.cancel()

    asyncio.run(main())


def test_cancelled_wait_loses_nothing(server, controller, board):
    async def main():
        with kqvxi.Client(controller=controller) as c:
            c.select_class(kqvxi.EventClass.CLASS4)
            try:
                await asyncio.wait_for(c.next_record(), 0.2)
                raise AssertionError("a record arrived with nothing injected")
            except asyncio.TimeoutError:
                pass
            board.flag(4, 7)
            rec = await asyncio.wait_for(c.next_record(), 10)
            assert rec.value == 7
            # Blocking and async reads share what the client took from its ring.
            board.flag(4, 8)
            board.flag(4, 9)
            rec = await asyncio.wait_for(c.next_record(), 10)
            assert rec.value == 8
            deadline = time.monotonic() + 10
            rest = []
            while not rest and time.monotonic() < deadline:
                rest = c.read(4, timeout=0.1)
            assert [r.value for r in rest] == [9]

    asyncio.run(main())


def test_async_iteration_ends_when_the_server_ends(server, controller, board):
    async def main():
        with kqvxi.Client(controller=controller) as c:
            c.select_class(kqvxi.EventClass.CLASS0)
            board.flag(0, 1)
            threading.Timer(0.3, server.stop).start()
            got = []

            async def collect():
                async for rec in c:
                    got.append(rec.value)

            await asyncio.wait_for(collect(), 30)
            assert got == [1]

    asyncio.run(main())


class _LoopWithoutReaders(asyncio.SelectorEventLoop):
    """A loop that cannot watch descriptors, as asyncio's default loop on Windows."""

    def add_reader(self, fd, callback, *args):
        raise NotImplementedError


def test_thread_fallback_reads_and_cancels_cleanly(server, controller, board):
    async def main():
        with kqvxi.Client(controller=controller) as c:
            c.select_class(kqvxi.EventClass.CLASS0)
            threading.Timer(0.2, lambda: board.flag(0, 1)).start()
            rec = await asyncio.wait_for(c.next_record(), 10)
            assert rec.value == 1
            # A cancelled wait interrupts the read on its worker thread; a record
            # that arrives afterwards is not lost.
            try:
                await asyncio.wait_for(c.next_record(), 0.2)
                raise AssertionError("a record arrived with nothing injected")
            except asyncio.TimeoutError:
                pass
            board.flag(0, 2)
            rec = await asyncio.wait_for(c.next_record(), 10)
            assert rec.value == 2

    loop = _LoopWithoutReaders()
    try:
        loop.run_until_complete(main())
    finally:
        loop.close()
