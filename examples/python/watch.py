#!/usr/bin/env python3
"""Prints the records of a controller's kqvxi server, blocking.

    watch.py [--controller N] [--count N] [--timeout SECONDS] [--reregister]

Selects every flag class and levels 1-7 at index 0, prints each record until
--count records arrived or no record came for --timeout seconds, then the
client's counters.
"""

import argparse
import sys

import kqvxi


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--controller", "-c", type=int, default=1)
    parser.add_argument("--count", "-n", type=int, default=None)
    parser.add_argument("--timeout", "-t", type=float, default=None)
    parser.add_argument("--reregister", action="store_true")
    args = parser.parse_args()
    try:
        with kqvxi.Client(args.controller, reregister=args.reregister) as client:
            for cls in (0, 2, 3, 4, 5, kqvxi.EventClass.SOURCE):
                client.select_class(cls)
            client.select_levels(0, kqvxi.ALL_LEVELS)
            print("ready", flush=True)
            try:
                for rec in client.records(timeout=args.timeout, max_records=args.count):
                    print(rec, flush=True)
            except kqvxi.ServerGone:
                print("the server ended")
            s = client.stats()
            print(f"received {s.received} dropped {s.dropped}")
    except kqvxi.Error as e:
        print(f"watch.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
