"""Throughput with threads: hits and insertions that evict, on one cache
shared by all threads and on one cache per thread, beside functools.lru_cache
and a plain dict doing the same work. Meaningful on a free-threaded
interpreter; with the GIL, threads take turns and nothing scales.

    python bench/threads.py [--threads 1 2] [--ops 200000] [--repeat 5]

Prints million operations per second (all threads together), the median of
the repeats, and how a configuration scales from 1 thread to the most.
"""

import argparse
import functools
import statistics
import sys
import threading
import time

from _ivro import IVRO

SIZE = 1000


class Keys(list):
    warm = range(0)


def ivro_hit(cache, keys, n):
    for i in range(n):
        cache[keys[i % SIZE]]


def ivro_insert(cache, keys, n):
    for i in range(n):
        cache[keys[i]] = i


def dict_hit(d, keys, n):
    for i in range(n):
        d[keys[i % SIZE]]


def dict_insert(d, keys, n):
    # Insert, and drop the oldest to stay at SIZE: what a cache must do. The
    # oldest is known here (keys[i - SIZE], or a warm-up key): a dict cannot
    # find it fast by itself.
    old = keys.warm
    for i in range(n):
        d[keys[i]] = i
        del d[old[i] if i < SIZE else keys[i - SIZE]]


def lru_hit(f, keys, n):
    for i in range(n):
        f(keys[i % SIZE])


def lru_insert(f, keys, n):
    for i in range(n):
        f(keys[i])


def make(kind, workload, base):
    """A fresh structure, full with SIZE entries, and the loop that runs on it."""
    warm = range(base, base + SIZE)
    if kind == "IVRO":
        c = IVRO(SIZE)
        for k in warm:
            c[k] = k
        return c, ivro_hit if workload == "hit" else ivro_insert
    if kind == "dict":
        d = dict.fromkeys(warm, 0)
        return d, dict_hit if workload == "hit" else dict_insert
    f = functools.lru_cache(maxsize=SIZE)(lambda k: k)
    for k in warm:
        f(k)
    return f, lru_hit if workload == "hit" else lru_insert


def run(kind, workload, threads, shared, ops):
    """Million operations per second over all threads."""
    structures = []
    jobs = []
    for t in range(threads):
        base = 10**9 if shared else 10**9 + t * 10**7
        if shared and structures:
            target, loop = structures[0]
        else:
            target, loop = make(kind, workload, base)
            structures.append((target, loop))
        if workload == "hit":
            keys = list(range(base, base + SIZE))
        else:  # new keys, different in each thread, so that each insertion evicts
            start = base + SIZE + t * ops * 2
            keys = Keys(range(start, start + ops))
            keys.warm = range(base, base + SIZE)
        jobs.append((loop, target, keys))
    barrier = threading.Barrier(threads + 1)

    def work(loop, target, keys):
        barrier.wait()
        loop(target, keys, ops)

    workers = [threading.Thread(target=work, args=job) for job in jobs]
    for w in workers:
        w.start()
    barrier.wait()
    t0 = time.perf_counter()
    for w in workers:
        w.join()
    return threads * ops / (time.perf_counter() - t0) / 1e6


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--ops", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {sys.version.split()[0]}, GIL {'on' if gil else 'off'}, "
          f"{SIZE} entries, {args.ops} operations per thread, median of {args.repeat}")
    print()
    head = " | ".join(f"{n} thread{'s' * (n > 1)}" for n in args.threads)
    print(f"| workload | structure | sharing | {head} | scaling |")
    print("|---|---|---|" + "---|" * len(args.threads) + "---|")
    for workload in ("hit", "insert"):
        for kind in ("IVRO", "lru_cache", "dict"):
            for shared in (True, False):
                if kind == "dict" and shared:
                    continue  # a plain dict is not safe to share for this
                row = []
                for n in args.threads:
                    runs = [run(kind, workload, n, shared, args.ops) for _ in range(args.repeat)]
                    row.append(statistics.median(runs))
                cells = " | ".join(f"{r:.2f}" for r in row)
                sharing = "shared" if shared else "one each"
                print(f"| {workload} | {kind} | {sharing} | {cells} | {row[-1] / row[0]:.2f} |")


if __name__ == "__main__":
    main()
