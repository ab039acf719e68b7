"""A pickle round trip (dumps, then loads) of a cache against one of a dict
holding the same entries, the two alternating; prints the median time of
each and their ratio per kind of key.

    python bench/pickling.py [--entries 100000] [--runs 15]
"""

import argparse
import pickle
import random
import statistics
import sys
import time

from _ivro import IVRO


def round_trip(obj):
    start = time.perf_counter()
    copy = pickle.loads(pickle.dumps(obj, pickle.HIGHEST_PROTOCOL))
    elapsed = time.perf_counter() - start
    del copy  # its release is not part of the round trip
    return elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--entries", type=int, default=100_000)
    ap.add_argument("--runs", type=int, default=15)
    args = ap.parse_args()
    rng = random.Random(1)
    kinds = {
        "int": list(range(args.entries)),
        "str": [f"key{rng.getrandbits(62)}" for _ in range(args.entries)],
    }
    print(f"CPython {sys.version.split()[0]}, {args.entries:,} entries, "
          f"median of {args.runs} round trips")
    for kind, keys in kinds.items():
        d = {k: i for i, k in enumerate(keys)}
        c = IVRO(args.entries)
        c.update(d)
        times = {"dict": [], "IVRO": []}
        for _ in range(args.runs):
            times["dict"].append(round_trip(d))
            times["IVRO"].append(round_trip(c))
        dt, ct = (statistics.median(times[n]) for n in ("dict", "IVRO"))
        print(f"{kind:>4} keys: dict {dt * 1e3:6.1f} ms, IVRO {ct * 1e3:6.1f} ms, "
              f"IVRO / dict {ct / dt:.2f}")


if __name__ == "__main__":
    main()
