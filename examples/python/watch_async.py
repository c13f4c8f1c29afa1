#!/usr/bin/env python3
"""Prints the records of a controller's kqvxi server on asyncio, beside a
heartbeat task that shows the event loop stays free.

    watch_async.py [--controller N] [--count N] [--timeout SECONDS]
"""

import argparse
import asyncio
import sys

import kqvxi


async def heartbeat(period: float) -> None:
    while True:
        await asyncio.sleep(period)
        print("tick", flush=True)


async def watch(args: argparse.Namespace) -> None:
    with kqvxi.Client(args.controller) as client:
        for cls in (0, 2, 3, 4, 5, kqvxi.EventClass.SOURCE):
            client.select_class(cls)
        print("ready", flush=True)
        beat = asyncio.create_task(heartbeat(0.5))
        seen = 0
        try:
            while args.count is None or seen < args.count:
                try:
                    rec = await asyncio.wait_for(client.next_record(), args.timeout)
                except asyncio.TimeoutError:
                    print(f"no record for {args.timeout} s")
                    break
                print(rec, flush=True)
                seen += 1
        finally:
            beat.cancel()
        print(f"received {client.stats().received}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--controller", "-c", type=int, default=1)
    parser.add_argument("--count", "-n", type=int, default=None)
    parser.add_argument("--timeout", "-t", type=float, default=None)
    args = parser.parse_args()
    try:
        asyncio.run(watch(args))
    except kqvxi.Error as e:
        print(f"watch_async.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
