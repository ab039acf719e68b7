"""Side-by-side benchmark of _ivro.IVRO against a plain dict and peer caches.

Every row of the table is one workload on one key type at one cache size.
All implementations in a row get the same key objects, the same number of
operations and the same loop shape (a tight `for` over a pre-built list,
timed as a whole with time.perf_counter_ns). Nothing is subtracted: the
figures include the loop's own cost per iteration, which is measured
separately and printed under the table. The implementations take turns
within each round (the starting one rotates), every one is warmed up by an
untimed run first, the garbage collector is off while timing, and the
figure reported is the median of the rounds.

    python bench/bench.py --quick        # 1,000 entries, int, rint and str keys
    python bench/bench.py                # full: 1,000 and 1,000,000 entries, tuples too

Key kinds: `int` consecutive ints, `rint` random ints spread over 62 bits,
`str` strings, `tuple` 3-tuples (int, str, int).
"""

import argparse
import ctypes
import functools
import gc
import itertools
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time
import tracemalloc
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import peers  # noqa: E402

VALUE = object()  # stored by replacements, re-insertions and insertions


# -- key material ------------------------------------------------------------

KINDS = ("int", "rint", "str", "tuple")


def make_keys(kind, count):
    """`count` distinct keys; ints are past the small-int cache, tuples are
    re-hashed on every use (their hash is not cached), strings are not.
    A shorter list is always the start of a longer one of the same kind,
    so that a row can extend its keys with fresh ones."""
    base = 10**9
    if kind == "int":
        return [base + i for i in range(count)]
    if kind == "rint":
        return random_ints(count)
    if kind == "str":
        return [f"key:{base + i}" for i in range(count)]
    if kind == "tuple":
        return [(base + i, f"t{i}", i * 3) for i in range(count)]
    raise ValueError(kind)


def random_ints(count):
    """The first `count` distinct values of one fixed stream of 62-bit ints.
    An int hashes to itself, so consecutive ones fill consecutive slots of
    a dict without a collision; these scatter over it as hashed keys do."""
    draw = random.Random("rint keys").getrandbits
    keys = [draw(62) for _ in range(count)]
    if len(set(keys)) == count:  # 4,000,000 draws repeat one with odds of 1 in 600,000
        return keys
    unique = dict.fromkeys(keys)  # first occurrences, in order of drawing
    while len(unique) < count:
        unique[draw(62)] = None
    return list(unique)


def spread(pool, count, rng):
    """`count` keys drawn from `pool`: whole shuffled passes, then a part."""
    out = []
    while len(out) < count:
        batch = list(pool)
        rng.shuffle(batch)
        out.extend(batch[: count - len(out)])
    return out


def zipf(pool, count, rng, s=1.0):
    """A skewed request stream: rank r is asked for with weight 1/(r+1)**s,
    ranks assigned to keys at random."""
    ranked = list(pool)
    rng.shuffle(ranked)
    weights = list(itertools.accumulate(1.0 / (r + 1) ** s for r in range(len(ranked))))
    return rng.choices(ranked, cum_weights=weights, k=count)


# -- the loops: one shape per workload, shared by every implementation -------

def loop_subscript(c, keys):
    for k in keys:
        c[k]


def loop_call(f, keys):
    for k in keys:
        f(k)


def loop_store(c, keys):
    v = VALUE
    for k in keys:
        c[k] = v


def loop_contains(c, keys):
    for k in keys:
        k in c  # noqa: B015 - the membership test is what is measured


def loop_insert(c, pairs):
    v = VALUE
    for k, _old in pairs:
        c[k] = v


def loop_insert_call(f, pairs):
    for k, _old in pairs:
        f(k)


def loop_insert_dict(d, pairs):
    v = VALUE
    for k, old in pairs:
        d[k] = v
        del d[old]


def dict_cb_loop(cb):
    """The dict's side of an insertion with a callback: the same call."""
    def loop_insert_dict_cb(d, pairs):
        v, pop = VALUE, d.pop
        for k, old in pairs:
            d[k] = v
            cb(old, pop(old))
    return loop_insert_dict_cb


def loop_call_value(f, keys):
    v = VALUE
    for k in keys:
        f(k, v)


def loop_setdefault_insert(f, pairs):
    v = VALUE
    for k, _old in pairs:
        f(k, v)


def loop_setdefault_insert_dict(d, pairs):
    v, setdefault = VALUE, d.setdefault
    for k, old in pairs:
        setdefault(k, v)
        del d[old]


def loop_del_reinsert(c, keys):
    v = VALUE
    for k in keys:
        del c[k]
        c[k] = v


def loop_popitem_reinsert(c, keys):
    """`popitem` takes the least recently used entry (the dict: its newest),
    which goes back in as the newest: the contents stay the same."""
    popitem = c.popitem
    for _ in keys:
        k, v = popitem()
        c[k] = v


def loop_odict_popitem_reinsert(c, keys):
    popitem = c.popitem
    for _ in keys:
        k, v = popitem(last=False)
        c[k] = v


def loop_noargs(f, keys):
    for _ in keys:
        f()


def loop_dict_newest(d, keys):
    for _ in keys:
        next(reversed(d.items()))


def loop_dict_oldest(d, keys):
    for _ in keys:
        next(iter(d.items()))


def loop_set_size(c, keys):
    f, n = c.set_size, c.get_size()
    for _ in keys:
        f(n)


def loop_pop_reinsert(c, keys):
    v, pop = VALUE, c.pop
    for k in keys:
        pop(k)
        c[k] = v


def loop_repeat(f, reps):
    for _ in range(reps):
        f()


def loop_memo(c, keys):
    get = c.get
    for k in keys:
        if get(k) is None:
            c[k] = k


def count_memo_misses(c, keys):
    get, missed = c.get, 0
    for k in keys:
        if get(k) is None:
            missed += 1
            c[k] = k
    return missed


def loop_empty(items):
    for _ in items:
        pass


def on_evict(key, value):
    pass


class Owner:
    """The README's pattern: the callback a method of the cache's owner."""

    def on_evict(self, key, value):
        pass


# A callback written in C that takes (key, value): it records the
# eviction. (list.append takes one argument; the callback is given two.)
EVICTED = {}
CALLBACKS = {"function": on_evict, "method": Owner().on_evict, "C": EVICTED.setdefault}


# -- rows --------------------------------------------------------------------

def snapshot_of(view):
    """A full list of the keys, values or items, in whatever order the
    structure keeps."""
    def how(name, obj):
        if name == "ivro":
            return loop_repeat, getattr(obj, view)
        if name == "dict" and view == "keys":
            return loop_repeat, lambda: list(obj)
        f = getattr(obj, view)
        return loop_repeat, lambda: list(f())
    return how


def loop_update(c, sources):
    for src in sources:
        c.update(src)


def on(loop, attr=None):
    """How an implementation takes part: `loop` over the structure itself
    or over one of its bound methods."""
    return lambda name, obj: (loop, getattr(obj, attr) if attr else obj)


# key -> (label, data, eviction callback, {implementation or "*": how}).
# None for "how" leaves an implementation out of the row; so does a
# structure that cannot take a callback. The views/update rows count one
# operation per entry listed or pair applied. Rows whose method a dict
# lacks (has_key, popitem, the peeks, set_size) set the nearest dict
# operation beside it (bench/README.md says which and why).
NO_PEERS = {"odict": None, "lru_cache": None, "cachetools": None, "cachebox": None}
WORKLOADS = {
    "hit": ("hit c[k]", "hits", None,
            {"*": on(loop_subscript), "lru_cache": on(loop_call)}),
    "get-hit": ("get hit", "hits", None, {"*": on(loop_call, "get"), "lru_cache": on(loop_call)}),
    "get-miss": ("get miss", "misses", None, {"*": on(loop_call, "get"), "lru_cache": None}),
    "replace": ("replace c[k]=v", "hits", None, {"*": on(loop_store), "lru_cache": None}),
    "insert": ("insert+evict", "ring", None,
               {"*": on(loop_insert), "dict": on(loop_insert_dict),
                "lru_cache": on(loop_insert_call)}),
    "insert-cb": ("insert+evict cb", "ring", "function",
                  {"*": on(loop_insert), "dict": on(dict_cb_loop(CALLBACKS["function"]))}),
    "insert-cb-method": ("insert+evict cb method", "ring", "method",
                         {"*": on(loop_insert), "dict": on(dict_cb_loop(CALLBACKS["method"]))}),
    "insert-cb-c": ("insert+evict cb C", "ring", "C",
                    {"*": on(loop_insert), "dict": on(dict_cb_loop(CALLBACKS["C"]))}),
    "in": ("in (hit)", "hits", None, {"*": on(loop_contains), "lru_cache": None}),
    "has-key": ("has_key", "hits", None,
                {"*": on(loop_call, "__contains__"), "ivro": on(loop_call, "has_key"),
                 "lru_cache": None}),
    "setdefault": ("setdefault hit", "hits", None,
                   {"*": on(loop_call_value, "setdefault"), "odict": None, "lru_cache": None}),
    "setdefault-insert": ("setdefault+evict", "ring", None,
                          {"*": on(loop_setdefault_insert, "setdefault"),
                           "dict": on(loop_setdefault_insert_dict), "odict": None,
                           "lru_cache": None}),
    "pop": ("pop+reinsert", "hits", None, {"*": on(loop_pop_reinsert), "lru_cache": None}),
    "del": ("del+reinsert", "hits", None, {"*": on(loop_del_reinsert), "lru_cache": None}),
    "popitem": ("popitem+reinsert", "hits", None,
                {"*": on(loop_popitem_reinsert), "odict": on(loop_odict_popitem_reinsert),
                 "lru_cache": None}),
    "peek-first": ("peek_first_item", "hits", None,
                   {**NO_PEERS, "*": on(loop_noargs, "peek_first_item"),
                    "dict": on(loop_dict_newest), "odict": on(loop_dict_newest)}),
    "peek-last": ("peek_last_item", "hits", None,
                  {**NO_PEERS, "*": on(loop_noargs, "peek_last_item"),
                   "dict": on(loop_dict_oldest), "odict": on(loop_dict_oldest)}),
    "set-size": ("set_size", "hits", None,
                 {**NO_PEERS, "*": on(loop_set_size), "dict": on(loop_call, "__contains__")}),
    "keys": ("keys() /entry", "snapshots", None, {"*": snapshot_of("keys"), "lru_cache": None}),
    "values": ("values() /entry", "snapshots", None,
               {"*": snapshot_of("values"), "lru_cache": None}),
    "items": ("items() /entry", "snapshots", None,
              {"*": snapshot_of("items"), "lru_cache": None}),
    "update": ("update(dict) /pair", "updates", None, {"*": on(loop_update), "lru_cache": None}),
    "update-pairs": ("update(pairs) /pair", "pair-updates", None,
                     {"*": on(loop_update), "lru_cache": None}),
    "memo": ("memo zipf", None, None, None),  # a row of its own, memo_row()
}


class Row:
    """One workload: a runner per implementation and the data for each run.
    Runners share the data of a run, so drifting workloads stay in step."""

    def __init__(self, workload, kind, n, ops, runners, data):
        self.workload, self.kind, self.n, self.ops = workload, kind, n, ops
        self.runners = runners
        self.next_data = data if callable(data) else (lambda: data)
        self.extra = {}


def ring_data(ring, n, m):
    """Insertion with eviction, repeatable forever: the structures hold a
    window of n consecutive keys of `ring` (len n + m); a run inserts the m
    keys after the window and evicts the m oldest, advancing the window."""
    start = 0
    size = len(ring)

    def data():
        nonlocal start
        pairs = [(ring[(start + n + i) % size], ring[(start + i) % size]) for i in range(m)]
        start = (start + m) % size
        return pairs

    return data


def build_rows(kind, n, ops, workloads, rng):
    ring = make_keys(kind, n + ops)
    present = ring[:n]  # every structure starts holding these, oldest first
    reps = max(1, ops // n)
    hits, misses = spread(present, ops, rng), spread(ring[n:], ops, rng)
    sources = {  # data of a run (made afresh for each row), operations in it
        "hits": (lambda: hits, ops),
        "misses": (lambda: misses, ops),
        "ring": (lambda: ring_data(ring, n, ops), ops),
        "snapshots": (lambda: reps, reps * n),
        "updates": (lambda: [dict.fromkeys(present, VALUE)] * reps, reps * n),
        "pair-updates": (lambda: [[(k, VALUE) for k in present]] * reps, reps * n),
    }
    for key in workloads:
        if key == "memo":
            yield memo_row(kind, n, ops, rng, ring)
            continue
        label, source, _callback, _hows = WORKLOADS[key]
        data, row_ops = sources[source]
        yield Row(label, kind, n, row_ops, make_runners(key, n, present), data())


def make_runners(key, n, present):
    """Workload `key` on every implementation that can do it: structures of
    capacity n holding `present`, each with its loop bound to it."""
    _label, _source, callback, hows = WORKLOADS[key]
    callback = CALLBACKS[callback] if callback else None
    runners = {}
    for name in peers.IMPLS:
        how = hows.get(name, hows["*"])
        obj = peers.build(name, n, present, callback) if how else None
        if obj is not None:
            loop, target = how(name, obj)
            runners[name] = functools.partial(own_copy(loop), target)
    return runners


def own_copy(loop):
    """The loop with a code object of its own, as separate call sites in a
    program have: the interpreter specialises a call site for the objects
    it meets, and one shared by every implementation would time the
    switching between them."""
    return types.FunctionType(loop.__code__.replace(), loop.__globals__, loop.__name__,
                              loop.__defaults__, loop.__closure__)


def memo_row(kind, n, ops, rng, ring):
    """A bounded memo under a skewed stream over 4n keys; each run takes the
    next slice of a long stream (at least 4n requests, so that the cache
    has to evict). The dict floor is an unbounded memo: it never evicts, so
    its hit rate is the ceiling. The hit rates are those of a whole pass
    over the stream after a first pass has warmed each structure."""
    universe = ring[: 4 * n] if len(ring) >= 4 * n else ring + make_keys(kind, 4 * n)[len(ring):]
    stream = zipf(universe, ops * max(20, -(-4 * n // ops)), rng)
    runners, rates = {}, {}
    for name in peers.IMPLS:
        obj = peers.build(name, n, [])
        if name == "lru_cache":
            loop_call(obj, stream)  # warm: reach the steady state
            before = obj.cache_info().misses
            loop_call(obj, stream)
            missed = obj.cache_info().misses - before
        else:
            loop_memo(obj, stream)
            missed = count_memo_misses(obj, stream)
        rates[name] = 1 - missed / len(stream)
        loop = loop_call if name == "lru_cache" else loop_memo
        runners[name] = functools.partial(own_copy(loop), obj)
    slices = itertools.cycle([stream[i:i + ops] for i in range(0, len(stream), ops)])
    r = Row("memo zipf", kind, n, ops, runners, lambda: next(slices))
    r.extra["hit_rate"] = rates
    return r


def measure(row, rounds):
    names = list(row.runners)
    samples = {name: [] for name in names}
    data = row.next_data()
    for name in names:
        row.runners[name](data)  # warm-up, untimed
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds):
            data = row.next_data()
            turn = r % len(names)
            for name in names[turn:] + names[:turn]:
                run = row.runners[name]
                t0 = time.perf_counter_ns()
                run(data)
                samples[name].append((time.perf_counter_ns() - t0) / row.ops)
    finally:
        gc.enable()
    return {name: statistics.median(s) for name, s in samples.items()}, samples


def spin(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def loop_overhead(ops, rounds):
    keys, pairs = list(range(ops)), [(i, i) for i in range(ops)]
    out = {}
    for label, items in (("keys", keys), ("pairs", pairs)):
        times = []
        for _ in range(rounds + 1):
            t0 = time.perf_counter_ns()
            loop_empty(items)
            times.append((time.perf_counter_ns() - t0) / ops)
        out[label] = statistics.median(times[1:])
    return out


# -- memory ------------------------------------------------------------------

def memory_tracemalloc(name, count):
    keys = make_keys("int", count)  # made before tracing: not counted
    gc.collect()
    tracemalloc.start()
    obj = peers.build(name, count, keys)
    used = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del obj
    return used / count


def memory_malloc_probe(name, count):
    """Run in a child with PYTHONMALLOC=malloc: every byte of every heap
    (the Rust one of cachebox included) as glibc's allocator sees it."""
    class MallInfo2(ctypes.Structure):
        _fields_ = [(f, ctypes.c_size_t) for f in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
            "fsmblks", "uordblks", "fordblks", "keepcost")]
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2

    def in_use():
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd

    keys = make_keys("int", count)
    gc.collect()
    before = in_use()
    obj = peers.build(name, count, keys)
    used = in_use() - before
    del obj
    return used / count


def memory_table(count):
    table = {}
    for name in peers.IMPLS:
        probe = subprocess.run(
            [sys.executable, __file__, "--memory-probe", name, str(count)],
            env={**os.environ, "PYTHONMALLOC": "malloc"}, capture_output=True, text=True)
        table[name] = {
            "tracemalloc": memory_tracemalloc(name, count),
            "malloc": float(probe.stdout) if probe.returncode == 0 else None,
        }
    return table


# -- report ------------------------------------------------------------------

def fmt(x, width, digits=1):
    return f"{x:>{width}.{digits}f}" if x is not None else f"{'-':>{width}}"


def print_table(results, overhead):
    present = [p for p in peers.PEERS if any(p in r["ns"] for r in results)]
    head = f"{'workload':<24}{'keys':<6}{'n':>9}{'ivro ns':>9}{'dict ns':>9}{'ivro/dict':>10}"
    print(head + "".join(f"{'x ' + p:>13}" for p in present))
    for r in results:
        ns = r["ns"]
        ivro, floor = ns.get("ivro"), ns.get("dict")
        line = f"{r['workload']:<24}{r['keys']:<6}{r['n']:>9}{fmt(ivro, 9)}{fmt(floor, 9)}"
        line += fmt(ivro / floor if ivro and floor else None, 10, 2)
        line += "".join(fmt(ns[p] / ivro if p in ns and ivro else None, 13, 2) for p in present)
        print(line)
    print("\nns/op are medians; 'x peer' = peer ns / ivro ns (above 1: ivro is faster).")
    print(f"Included in every figure: the loop itself, {overhead['keys']:.1f} ns/op over keys, "
          f"{overhead['pairs']:.1f} ns/op over (new, old) pairs (insert rows).")
    for r in results:
        if "hit_rate" in r:
            rates = ", ".join(f"{k} {v:.1%}" for k, v in r["hit_rate"].items())
            print(f"memo hit rate ({r['keys']}, n={r['n']}): {rates}")
            # Every bounded one evicts the least recently used entry: same stream, same hits.
            if len({v for k, v in r["hit_rate"].items() if k != "dict"}) > 1:
                print("WARNING: the least-recently-used implementations disagree on hits")


def print_memory(mem, count):
    floor = mem["dict"]
    print(f"\nbytes per entry, {count:,} int keys (the keys themselves not counted)")
    print(f"{'impl':<12}{'tracemalloc':>12}{'- dict':>8}{'malloc':>8}{'- dict':>8}")
    for name, m in mem.items():
        traced = None if name in peers.UNTRACED else m["tracemalloc"]
        line = f"{name:<12}{fmt(traced, 12)}"
        line += fmt(traced - floor["tracemalloc"] if traced is not None else None, 8)
        line += fmt(m["malloc"], 8)
        line += fmt(m["malloc"] - floor["malloc"] if m["malloc"] and floor["malloc"] else None, 8)
        print(line)
    print("tracemalloc: Python's allocators as the process uses them (cachebox keeps its "
          "table outside them); malloc: the whole C heap of a child run with "
          "PYTHONMALLOC=malloc, which adds glibc's per-block overhead to every object.")


def machine_info():
    # Inside a chroot without /proc, the script that runs it passes the name.
    cpu = os.environ.get("IVRO_BENCH_CPU") or platform.processor()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"python": sys.version, "implementation": platform.python_implementation(),
            "platform": platform.platform(), "machine": platform.machine(), "cpu": cpu,
            "cpus": os.cpu_count(), "peers": peers.versions(),
            # The module's source revision, as scripts/bench.sh saw the tree.
            "commit": os.environ.get("IVRO_BENCH_COMMIT")}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="1,000 entries, int, rint and str keys, 100,000 for memory")
    ap.add_argument("--rounds", type=int,
                    help="timed runs per implementation (default 61, 31 above 10,000 entries)")
    ap.add_argument("--sizes", type=int, nargs="+")
    ap.add_argument("--ops", type=int, help="operations per timed run")
    ap.add_argument("--keys", nargs="+", choices=KINDS)
    ap.add_argument("--workloads", nargs="+", choices=list(WORKLOADS))
    ap.add_argument("--json", type=Path, help="where to save (default bench/results/...)")
    ap.add_argument("--require-peers", action="store_true",
                    help="fail if cachetools or cachebox cannot be imported")
    ap.add_argument("--memory-probe", nargs=2, metavar=("IMPL", "COUNT"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_probe:
        print(memory_malloc_probe(args.memory_probe[0], int(args.memory_probe[1])))
        return

    quick = args.quick
    rounds = args.rounds
    sizes = args.sizes or ([1000] if quick else [1000, 1_000_000])
    kinds = args.keys or (["int", "rint", "str"] if quick else list(KINDS))
    workloads = args.workloads or list(WORKLOADS)
    mem_count = 100_000 if quick else 1_000_000
    missing = {"cachetools", "cachebox"} - set(peers.IMPLS)
    if missing and args.require_peers:
        sys.exit(f"error: peers not installed: {', '.join(sorted(missing))}")
    if missing:
        print(f"note: not installed, left out: {', '.join(sorted(missing))}", file=sys.stderr)

    info = machine_info()
    print(f"CPython {sys.version.split()[0]} on {info['cpu']} ({info['cpus']} cpus), "
          f"peers {info['peers']}")
    spin(0.3)  # let the CPU settle at its working clock before the first row
    results = []
    for n in sizes:
        # Short runs, many rounds: a run that the scheduler interrupts is
        # an outlier the median drops, not a shift of every figure.
        small = n <= 10_000
        ops = args.ops or (2_000 if small else 20_000)
        n_rounds = rounds or (61 if small else 31)
        for kind in kinds:
            rng = random.Random(f"{kind}-{n}")
            for row in build_rows(kind, n, ops, workloads, rng):
                if sys.stderr.isatty():
                    print(f"  {row.workload}, {kind}, n={n}  ", end="\r", file=sys.stderr)
                medians, samples = measure(row, n_rounds)
                results.append({"workload": row.workload, "keys": kind, "n": n,
                                "ops_per_run": row.ops, "rounds": n_rounds,
                                "ns": medians, "samples": samples, **row.extra})
                del row
                gc.collect()
    overhead = loop_overhead(2_000, 61)
    print()
    print_table(results, overhead)
    mem = memory_table(mem_count)
    print_memory(mem, mem_count)

    out = args.json or (Path(__file__).resolve().parent / "results" / time.strftime(
        f"%Y%m%d-%H%M%S-py{sys.version_info[0]}.{sys.version_info[1]}"
        f"{'-quick' if quick else ''}.json"))
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({
        "machine": info, "mode": "quick" if quick else "full",
        "loop_overhead_ns": overhead, "rows": results,
        "memory_bytes_per_entry": {"count": mem_count, "by_impl": mem}}, indent=1))
    print(f"\nsaved {out}")


if __name__ == "__main__":
    main()
