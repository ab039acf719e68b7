"""Threaded target: 2 to 4 threads run random programs of operations over one or two shared
caches, with re-entrant callbacks and finalisers and keys that give up the processor while
they are hashed or compared, and a value ledger across the threads is checked whenever they
have all been joined.

A program is made from a seed (`random.Random`), so a seed always gives the same program;
the threads' interleaving is the machine's. A program is a list of rounds; in each round
every thread runs its own list of operations, the threads are joined, and then, with no
hostile code armed, the caches and the ledger are checked:

- every cache is whole: len(), keys(), values() and items() agree, the peeks are the ends
  of items(), each listed key is found, and len() is within the size plus
  the entries whose values were reported (stuck: a victim put back by another eviction
  that had taken it by mistake); setting the size anew then retries those silently and
  evicts nothing, and no key here raises or lies, so afterwards none is left;
- every value (each store offers a fresh one) is, per cache, at most once reported, at most
  once popped, never held twice, and not held at all once reported or popped;
- no read (get, [], setdefault, views, peeks) that began after a pop had handed a value out
  returns it;
- a value that was surely stored and is no longer held was reported or popped, or left by
  an operation that may drop values silently (del, pop, an assignment or update of its
  key, clear, re-__init__) and that ended after the store began;
- no value is alive that no cache holds (a leak), once the garbage collector has run.

What the oracle cannot see:
- an equal key listed twice: a plain dict holds a key twice when two threads store equal
  keys at once and the comparison with a stored key lets the other thread run (each
  probe passes a free slot that the other then fills); the cache, whose table is a plain
  dict, does too, and both entries are ordinary ones that the ledger follows like any;
- which value a silent removal removed: del, clear, a replacement or a re-__init__ excuse
  any value that the operation could have removed (pop counts as one too, for the value an
  equal key's hash stored meanwhile); a value lost silently while such an operation was
  under way for its key passes;
- order and counts: recency order, which entry an eviction picks, the hit and miss
  counters and the exact number of callback calls are not checked (no model under
  threads), nor is a read that overlaps the value's departure;
- when a reported value leaves: a victim put back stuck stays readable, and may be
  popped, until a retry takes it, so reads and pops after its eviction ended pass (only
  that none is left after the retries at a quiescent point is checked);
- what a schedule it never met would show: the seed fixes the program, not the
  interleaving, so a failure replays only with some probability (a failing program is
  retried many times when it is shrunk and when it is replayed);
- raising or lying keys and memory failure (the other targets' business); recursion past
  the depth of two nested hostile acts.

    python fuzz/fuzz_threads.py [--seed N] [--programs N] [--seconds S]
    python fuzz/fuzz_threads.py --replay FILE.json... [--tries N]

A failing program is printed, shrunk (rounds, threads, operations and hostile acts dropped
while it still fails; IVRO_THREADS_SHRINK_SECONDS bounds it) and written as JSON to
IVRO_THREADS_OUT (default build/fuzz/threads/); kept in fuzz/corpus/threads/, it is
replayed by the fuzz stage and by tests/adversarial/test_adv_threads.py.
"""
import argparse
import gc
import json
import os
import random
import re
import sys
import threading
import time
import weakref
import zlib

from _ivro import IVRO

EXPECTED = (KeyError, RecursionError)
MAX_DEPTH = 2  # hostile acts nested deeper than this do nothing
TAGS = ["a", "b", "c", "d"]
PLAIN = [0, 1, 2, "x", "y"]
# What hostile code (a key's hash, a callback, a finaliser) does to a cache.
ACTS = ["yield", "nap", "insert", "store_equal", "assign_same", "pop_key", "del_key",
        "clear", "reinit", "shrink", "grow", "popitem", "read", "update", "move"]
NAPS = [None, 0, 0, 1e-4, 5e-4]  # per key: no pause, sleep(0), or a short sleep
TRACE = bool(os.environ.get("IVRO_THREADS_TRACE"))  # on a failure, the value's history


class Failure(AssertionError):
    """An oracle failure: a fault in the cache, not in the harness."""


def now():
    return time.perf_counter_ns()  # one monotonic clock for every thread


def kid(key):
    """A key's identity in the ledger: equal keys share it."""
    return f"k:{key.tag}" if isinstance(key, SKey) else repr(key)


class Val:
    """A value with a serial; with `act`, its finaliser acts on a cache."""

    __slots__ = ("run", "serial", "act", "__weakref__")

    def __init__(self, run, act=None):
        self.run, self.act = run, act
        self.serial = run.fresh()
        run.alive[self.serial] = weakref.ref(self)

    def __repr__(self):
        return f"~{self.serial}~"

    def __del__(self):
        if self.act is not None and self.run.armed:
            self.run.hostile(self.act, None, None)


class SKey:
    """A key that pauses while hashed or compared, and whose Nth hash may act. Equal by
    tag; few hash values, so that equal-hash keys are compared too."""

    __slots__ = ("run", "tag", "acts", "nap", "calls", "h")

    def __init__(self, run, tag, acts=(), nap=None):
        self.run, self.tag, self.nap, self.calls = run, tag, nap, 0
        self.acts = {n: act for n, act in acts}
        self.h = zlib.crc32(tag.encode()) & 3

    def pause(self):
        if self.nap is not None:
            time.sleep(self.nap)

    def __hash__(self):
        self.calls += 1
        self.pause()
        act = self.acts.get(self.calls)
        if act is not None and self.run.armed:
            self.run.hostile(act, self, None)
        return self.h

    def __eq__(self, other):
        self.pause()
        return isinstance(other, SKey) and other.tag == self.tag

    def __repr__(self):
        return f"<{self.tag}>"


class Recorder:
    """The eviction callback: logs the report, then acts while its budget lasts."""

    def __init__(self, run, ci, acts, budget):
        self.run, self.ci, self.acts, self.budget = run, ci, list(acts), budget

    def __call__(self, key, value):
        run = self.run
        run.log.append(("report", self.ci, getattr(value, "serial", None), kid(key), now(),
                        run.local.tid))
        if self.acts and run.armed and self.budget > 0:
            self.budget -= 1  # racy without the GIL: a few more acts at most
            run.hostile(self.acts[self.budget % len(self.acts)], key, value, self.ci)


class Run:
    """One program's caches, the log every thread appends to, and the checks."""

    def __init__(self, program):
        self.program = program
        self.armed = False
        self.local = threading.local()
        self.log = []  # list.append is atomic, with or without the GIL
        self.alive = {}  # serial -> weakref to the value
        self.errors = []
        self.caches = []
        self.set_thread("main")
        for ci, (size, plan) in enumerate(program["caches"]):
            self.caches.append(IVRO(size, self.recorder(ci, plan)))

    # --- per-thread state ------------------------------------------------------------------
    def set_thread(self, tid):
        loc = self.local
        loc.tid, loc.hdepth, loc.n = tid, 0, 0

    def fresh(self):
        loc = self.local
        if not hasattr(loc, "tid"):  # a finaliser run by a thread we did not start
            self.set_thread(f"x{threading.get_ident()}")
        loc.n += 1
        return f"{loc.tid}.{loc.n}"

    def recorder(self, ci, plan):
        acts, budget = plan
        return Recorder(self, ci, [tuple(a) for a in acts], budget)

    def key(self, desc):
        if isinstance(desc, list):
            _, tag, acts, nap = desc
            return SKey(self, tag, [(n, tuple(a)) for n, a in acts], nap)
        return desc

    # --- operations, each logged -----------------------------------------------------------
    def call(self, fn):
        return fn()

    def read(self, ci, t0, values):
        for v in values:
            if isinstance(v, Val):
                self.log.append(("read", ci, v.serial, t0))

    def silent(self, ci, key, t0, own=None):
        """An operation that may have dropped a value under `key` (None: any) silently;
        `own` is the serial it stored itself, which it cannot have dropped."""
        self.log.append(("silent", ci, None if key is None else kid(key), t0, now(), own))

    def store(self, ci, key, v, how="set"):
        c, t0 = self.caches[ci], now()
        try:
            if how == "set":
                self.call(lambda: c.__setitem__(key, v))
            else:
                got = self.call(lambda: c.setdefault(key, v))
                self.read(ci, t0, [got])
                if got is not v:
                    return
        except BaseException:
            self.log.append(("maybe", ci, v.serial, kid(key), t0))
            raise
        finally:
            if how == "set":  # a replacement drops the old value silently
                self.silent(ci, key, t0, v.serial)
        self.log.append(("store", ci, v.serial, kid(key), t0))

    def update(self, ci, pairs):
        c, t0 = self.caches[ci], now()
        src = dict(pairs)
        try:
            self.call(lambda: c.update(src))
        except BaseException:
            for k, v in src.items():
                self.log.append(("maybe", ci, v.serial, kid(k), t0))
            raise
        finally:
            for k, v in src.items():
                self.silent(ci, k, t0, v.serial)
        for k, v in src.items():
            self.log.append(("store", ci, v.serial, kid(k), t0))

    def pop(self, ci, key):
        c, t0 = self.caches[ci], now()
        try:
            v = self.call(lambda: c.pop(key, None))
        finally:
            self.silent(ci, key, t0)  # what an equal key's hash stored meanwhile
        if isinstance(v, Val):
            self.log.append(("pop", ci, v.serial, t0, now()))

    def popitem(self, ci, least):
        c, t0 = self.caches[ci], now()
        k, v = self.call(lambda: c.popitem(least))
        if isinstance(v, Val):
            self.log.append(("pop", ci, v.serial, t0, now()))

    def delete(self, ci, key):
        c, t0 = self.caches[ci], now()
        try:
            self.call(lambda: c.__delitem__(key))
        finally:
            self.silent(ci, key, t0)

    def clear(self, ci):
        c, t0 = self.caches[ci], now()
        try:
            self.call(c.clear)
        finally:
            self.silent(ci, None, t0)

    def reinit(self, ci, size, plan):
        c, t0 = self.caches[ci], now()
        rec = self.recorder(ci, plan)
        try:
            self.call(lambda: c.__init__(size, rec))
        finally:
            self.silent(ci, None, t0)

    def views(self, ci):
        c, t0 = self.caches[ci], now()
        vs = self.call(c.values)
        its = self.call(c.items)
        first, last = self.call(c.peek_first_item), self.call(c.peek_last_item)
        self.call(c.keys), len(c), self.call(lambda: repr(c))
        self.read(ci, t0, [*vs, *(v for _, v in its), *(p[1] for p in (first, last) if p)])

    def lookup(self, ci, key, how):
        c, t0 = self.caches[ci], now()
        if how == "get":
            got = self.call(lambda: c.get(key))
        elif how == "getitem":
            got = self.call(lambda: c[key])
        else:
            got = self.call(lambda: key in c)
        self.read(ci, t0, [got])

    # --- hostile acts ----------------------------------------------------------------------
    def hostile(self, act, key, value, src=None):
        """Runs `act` (name, cache index[, nested act]) from hostile code: a key's hash
        (`key` is that key), a callback (`key`, `value`: the victim's, `src`: its cache) or
        a finaliser."""
        loc = self.local
        if not hasattr(loc, "tid"):
            self.set_thread(f"x{threading.get_ident()}")
        if loc.hdepth >= MAX_DEPTH:
            return
        loc.hdepth += 1
        try:
            self.act(act, key, value, src)
        except EXPECTED:
            pass
        except BaseException as e:  # noqa: BLE001
            self.errors.append(f"hostile {act}: {type(e).__name__}: {e}")
        finally:
            loc.hdepth -= 1

    def act(self, act, key, value, src):
        name, ci = act[0], act[1] % len(self.caches)
        c = self.caches[ci]
        if key is None and name in ("store_equal", "assign_same", "pop_key", "del_key"):
            ks = c.keys()  # a finaliser: the oldest key
            key = ks[-1] if ks else None
            if key is None:
                return
        if name == "yield":
            time.sleep(0)
        elif name == "nap":
            time.sleep(5e-4)
        elif name == "insert":
            self.store(ci, f"h{self.fresh()}", Val(self))
        elif name == "store_equal":
            # An equal key, whose own first hash runs the nested act (or pauses).
            nested = act[2] if len(act) > 2 else None
            other = SKey(self, key.tag, [(1, tuple(nested))] if nested else (), 0) \
                if isinstance(key, SKey) else key
            self.store(ci, other, Val(self), how="setdefault")
        elif name == "assign_same":
            self.store(ci, key, Val(self))
        elif name == "pop_key":
            self.pop(ci, key)
        elif name == "del_key":
            self.delete(ci, key)
        elif name == "clear":
            self.clear(ci)
        elif name == "reinit":
            self.reinit(ci, c.get_size(), ((), 0))
        elif name == "shrink":
            self.call(lambda: c.set_size(1))
        elif name == "grow":
            self.call(lambda: c.set_size(min(c.get_size() + 2, 6)))
        elif name == "popitem":
            self.popitem(ci, True)
        elif name == "read":
            self.views(ci)
        elif name == "update":
            self.update(ci, [(f"h{self.fresh()}", Val(self)) for _ in range(2)])
        elif name == "move" and value is not None and src == 0 and ci == 1:
            # The victim, itself, into the second cache; never back, so that each cache
            # is offered a value once.
            self.store(ci, key, value)

    # --- a thread's program ----------------------------------------------------------------
    def op(self, op):
        name, ci = op[0], op[1]
        if name == "set":
            self.store(ci, self.key(op[2]), Val(self, tuple(op[3]) if op[3] else None))
        elif name == "setdefault":
            self.store(ci, self.key(op[2]), Val(self), how="setdefault")
        elif name in ("get", "getitem", "in"):
            self.lookup(ci, self.key(op[2]), name)
        elif name == "pop":
            self.pop(ci, self.key(op[2]))
        elif name == "del":
            self.delete(ci, self.key(op[2]))
        elif name == "popitem":
            self.popitem(ci, op[2])
        elif name == "update":
            self.update(ci, [(self.key(k), Val(self)) for k in op[2]])
        elif name == "views":
            self.views(ci)
        elif name == "set_size":
            c = self.caches[ci]
            self.call(lambda: c.set_size(op[2]))
        elif name == "clear":
            self.clear(ci)
        elif name == "reinit":
            self.reinit(ci, op[2], op[3])
        elif name == "set_callback":
            rec = self.recorder(ci, op[2])
            c = self.caches[ci]
            self.call(lambda: c.set_callback(rec))
        elif name == "yield":
            time.sleep(0)

    def thread(self, tid, ops, barrier):
        self.set_thread(tid)
        try:
            barrier.wait(10)
            for op in ops:
                try:
                    self.op(op)
                except EXPECTED:
                    pass
        except BaseException as e:  # noqa: BLE001
            self.errors.append(f"thread {tid}: {type(e).__name__}: {e}")

    def round(self, r, programs):
        barrier = threading.Barrier(len(programs))
        threads = [threading.Thread(target=self.thread, args=(f"{r}{chr(97 + t)}", ops, barrier))
                   for t, ops in enumerate(programs)]
        self.armed = True
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.armed = False
        if any(t.is_alive() for t in threads):
            raise Failure("a thread did not finish within a minute")
        if self.errors:
            raise Failure(f"unexpected error: {self.errors[0]}")

    def execute(self):
        try:
            for r, programs in enumerate(self.program["rounds"]):
                self.round(r, programs)
                self.check()
        finally:
            self.armed = False
            for c in self.caches:
                c.set_callback(None)
                c.clear()

    # --- the checks at a quiescent point ---------------------------------------------------
    def check(self):
        reported = {(e[1], e[2]) for e in self.log if e[0] == "report"}
        for ci, c in enumerate(self.caches):
            # An entry that was reported but is still there must be stuck: an eviction's
            # victim put back by another eviction that had taken it by mistake. Stuck
            # entries count against nothing, and setting the size anew retries them all,
            # silently, and evicts nothing else.
            stuck = sum((ci, getattr(v, "serial", None)) in reported for v in c.values())
            self.whole(ci, c, stuck)
            before = len(self.log)
            c.set_size(c.get_size())
            if any(e[0] == "report" for e in self.log[before:]):
                raise Failure(f"cache {ci}: setting the size anew evicted")
        held = {}
        for ci, c in enumerate(self.caches):
            self.whole(ci, c, 0)
            held.update({(ci, v.serial): kid(k) for k, v in c.items() if isinstance(v, Val)})
        self.account(held)

    def whole(self, ci, c, stuck):
        n, ks, vs, its = len(c), c.keys(), c.values(), c.items()
        if not (len(ks) == len(vs) == len(its) == n and bool(c) == (n > 0)):
            raise Failure(f"cache {ci}: len {n}, keys {len(ks)}, values {len(vs)}, "
                          f"items {len(its)}")
        if not all(k is a and v is b for (a, b), k, v in zip(its, ks, vs)):
            raise Failure(f"cache {ci}: items() disagrees with keys() and values()")
        if (c.peek_first_item(), c.peek_last_item()) != ((its[0], its[-1]) if n else
                                                         (None, None)):
            raise Failure(f"cache {ci}: the peeks disagree with items()")
        if not all(k in c for k in ks):
            raise Failure(f"cache {ci}: a listed key is not found")
        serials = [v.serial for v in vs if isinstance(v, Val)]
        if len(set(serials)) != len(serials):
            raise Failure(f"cache {ci}: a value is held twice: {serials}")
        if n > c.get_size() + stuck:
            raise Failure(f"cache {ci}: {n} entries at size {c.get_size()}, {stuck} "
                          f"reported: {ks}")

    def account(self, held):
        try:
            self.settle(held)
        except Failure as e:
            if TRACE:  # what the log says of the value, in time order
                serial = re.search(r"~([^~]*)~", str(e))
                at = {"pop": 3, "read": 3, "silent": 3}
                mine = [x for x in self.log if serial and serial.group(1) in (x[2], x[-1])]
                for x in sorted(mine, key=lambda x: x[at.get(x[0], 4)]):
                    print("   ", x, file=sys.stderr)
            raise

    def settle(self, held):
        stores, maybes, reports, pops, reads, silent = {}, set(), {}, {}, [], {}
        for e in self.log:
            kind = e[0]
            if kind == "store":
                stores.setdefault((e[1], e[2]), (e[3], e[4]))
            elif kind == "maybe":
                maybes.add((e[1], e[2]))
                stores.setdefault((e[1], e[2]), (e[3], None))
            elif kind == "report":
                reports.setdefault((e[1], e[2]), []).append((e[3], e[4], e[5]))
            elif kind == "pop":
                pops.setdefault((e[1], e[2]), []).append((e[3], e[4]))
            elif kind == "read":
                reads.append(e[1:])
            elif kind == "silent":
                silent.setdefault(e[1], []).append((e[2], e[4], e[5]))

        left = {}  # (ci, serial) -> when a pop had handed it out
        for s, rs in reports.items():
            if s[1] is None:
                continue
            if s not in stores:
                raise Failure(f"~{s[1]}~ reported by cache {s[0]}, which never had it")
            if len(rs) > 1:
                raise Failure(f"~{s[1]}~ reported {len(rs)} times by cache {s[0]}: {rs}")
            k = rs[0][0]
            if k != stores[s][0]:
                raise Failure(f"~{s[1]}~ stored under {stores[s][0]}, reported with {k}")
            if s in held:
                raise Failure(f"~{s[1]}~ (key {k}) reported by cache {s[0]} but still held")
        for s, ps in pops.items():
            if len(ps) > 1:
                raise Failure(f"~{s[1]}~ popped {len(ps)} times from cache {s[0]}")
            if s in held:
                raise Failure(f"~{s[1]}~ popped from cache {s[0]} but still held")
            left[s] = ps[0][1]
        for ci, s, t0 in reads:
            if (ci, s) in left and t0 > left[(ci, s)]:
                raise Failure(f"~{s}~ read from cache {ci} after it left")
        for s, (k, t0) in stores.items():
            if s in held or s in reports or s in pops or s in maybes:
                continue
            if not any((sk is None or sk == k) and t1 > t0 and own != s[1]
                       for sk, t1, own in silent.get(s[0], ())):
                raise Failure(f"~{s[1]}~ (key {k}) left cache {s[0]} unreported")
        holders = {s for _, s in held}
        stray = [s for s, r in self.alive.items() if s not in holders and r() is not None]
        if stray:
            gc.collect()
            stray = [s for s in stray if self.alive[s]() is not None]
            if stray:
                raise Failure(f"values alive but no longer held: {stray}")


# ---- programs -----------------------------------------------------------------------------

def gen_act(rng, ncaches, nested=True):
    name = rng.choice(ACTS)
    act = [name, rng.randrange(ncaches)]
    if name == "store_equal" and nested and rng.random() < 0.7:
        act.append(gen_act(rng, ncaches, nested=False))
    return act


def gen_plan(rng, ncaches):
    n = rng.choice([0, 0, 1, 1, 2, 3])
    return [[gen_act(rng, ncaches) for _ in range(n)], rng.randint(1, 6)]


def gen_key(rng, ncaches):
    if rng.random() < 0.3:
        return rng.choice(PLAIN)
    acts = [[rng.randint(1, 3), gen_act(rng, ncaches)] for _ in range(rng.choice([0, 0, 1, 2]))]
    return ["k", rng.choice(TAGS), acts, rng.choice(NAPS)]


def gen_op(rng, ncaches):
    ci = rng.randrange(ncaches)
    r = rng.random()
    if r < 0.35:
        act = gen_act(rng, ncaches) if rng.random() < 0.15 else None
        return ["set", ci, gen_key(rng, ncaches), act]
    if r < 0.42:
        return ["setdefault", ci, gen_key(rng, ncaches)]
    if r < 0.52:
        return [rng.choice(["get", "getitem", "in"]), ci, gen_key(rng, ncaches)]
    if r < 0.62:
        return ["pop", ci, gen_key(rng, ncaches)]
    if r < 0.67:
        return ["del", ci, gen_key(rng, ncaches)]
    if r < 0.72:
        return ["popitem", ci, rng.random() < 0.7]
    if r < 0.78:
        return ["update", ci, [gen_key(rng, ncaches) for _ in range(rng.randint(1, 3))]]
    if r < 0.84:
        return ["views", ci]
    if r < 0.89:
        return ["set_size", ci, rng.randint(1, 5)]
    if r < 0.91:
        return ["clear", ci]
    if r < 0.93:
        return ["reinit", ci, rng.randint(1, 4), gen_plan(rng, ncaches)]
    if r < 0.96:
        return ["set_callback", ci, gen_plan(rng, ncaches)]
    return ["yield", ci]


def generate(seed):
    rng = random.Random(seed)
    ncaches = rng.choice([1, 1, 2])
    return {
        "seed": seed,
        "caches": [[rng.randint(1, 4), gen_plan(rng, ncaches)] for _ in range(ncaches)],
        "rounds": [[[gen_op(rng, ncaches) for _ in range(rng.randint(2, 14))]
                    for _ in range(rng.randint(2, 4))]
                   for _ in range(rng.randint(1, 3))],
    }


def run_once(program):
    """None if the program ran clean, else the failure's text."""
    try:
        Run(program).execute()
    except Failure as e:
        return str(e)
    finally:
        gc.collect()
    return None


def program(data):
    """Runs a kept program (JSON) once: what the corpus replays call for each input."""
    why = run_once(json.loads(data))
    if why:
        raise Failure(why)


def fails(program, tries, like=None):
    """The first failure in `tries` runs (of the same kind as `like`, if given), or None."""
    for _ in range(tries):
        why = run_once(program)
        if why and (like is None or kind(why) == kind(like)):
            return why
    return None


def kind(why):
    """A failure's text without its serials, keys and numbers."""
    return re.sub(r"~[^~]*~|\(key [^)]*\)|\[.*|\d+|k:\w+|'\w+'", "", why)


# ---- shrinking ----------------------------------------------------------------------------

def candidates(p):
    """Smaller programs than `p`, the biggest cuts first."""
    rounds = p["rounds"]
    for r in range(len(rounds)):
        if len(rounds) > 1:
            yield {**p, "rounds": rounds[:r] + rounds[r + 1:]}
    for r, threads in enumerate(rounds):
        for t in range(len(threads)):
            if len(threads) > 1:
                yield with_round(p, r, threads[:t] + threads[t + 1:])
    for r, threads in enumerate(rounds):
        for t, ops in enumerate(threads):
            for i in range(len(ops)):
                yield with_round(p, r, [*threads[:t], ops[:i] + ops[i + 1:], *threads[t + 1:]])
    for i, (size, plan) in enumerate(p["caches"]):
        if plan[0]:
            caches = [*p["caches"]]
            caches[i] = [size, [[], plan[1]]]
            yield {**p, "caches": caches}
    for r, threads in enumerate(rounds):
        for t, ops in enumerate(threads):
            for i, op in enumerate(ops):
                for simpler in simpler_ops(op):
                    yield with_round(p, r, [*threads[:t], [*ops[:i], simpler, *ops[i + 1:]],
                                            *threads[t + 1:]])


def with_round(p, r, threads):
    return {**p, "rounds": [*p["rounds"][:r], threads, *p["rounds"][r + 1:]]}


def simpler_ops(op):
    for j, arg in enumerate(op):
        if isinstance(arg, list) and arg[:1] == ["k"] and arg[2]:
            yield [*op[:j], ["k", arg[1], [], arg[3]], *op[j + 1:]]
    if op[0] == "set" and op[3]:
        yield [*op[:3], None]


def shrink(program, why, tries, seconds):
    """The smallest program found within `seconds` that still fails like `why`."""
    deadline = time.monotonic() + seconds
    best, progress = program, True
    while progress and time.monotonic() < deadline:
        progress = False
        for cand in candidates(best):
            if time.monotonic() > deadline:
                break
            got = fails(cand, tries, why)
            if got:
                best, why, progress = cand, got, True
                break
    return best, why


def size_of(p):
    return sum(len(ops) for threads in p["rounds"] for ops in threads)


def report(program, why, out_dir):
    print(f"FAIL: {why}\nprogram (seed {program.get('seed')}): {json.dumps(program)}",
          flush=True)
    seconds = float(os.environ.get("IVRO_THREADS_SHRINK_SECONDS", "120"))
    small, small_why = shrink(program, why, 40, seconds)
    print(f"shrunk to {size_of(small)} operations (from {size_of(program)}): "
          f"{small_why}\n{json.dumps(small)}", flush=True)
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, f"fail-{program.get('seed')}.json")
    with open(path, "w") as f:
        f.write(dump({"failure": small_why, **small}))
    print(f"kept: {path}", flush=True)


def dump(p):
    """A kept program as JSON, one thread's operations a line."""
    rounds = ",\n".join("  [\n" + ",\n".join(f"   {json.dumps(ops)}" for ops in threads)
                        + "\n  ]" for threads in p["rounds"])
    head = "".join(f" {json.dumps(k)}: {json.dumps(v)},\n" for k, v in p.items() if k != "rounds")
    return f"{{\n{head} \"rounds\": [\n{rounds}\n ]\n}}\n"


def replay(paths, tries):
    """Each kept program, `tries` times; the failures' texts."""
    bad = []
    for path in paths:
        with open(path) as f:
            program = json.load(f)
        why = fails(program, tries)
        print(f"replay: {os.path.basename(path)}: {'FAIL: ' + why if why else 'clean'}"
              f" ({tries} runs)", flush=True)
        if why:
            bad.append(f"{path}: {why}")
    return bad


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--programs", type=int, default=1000)
    ap.add_argument("--seconds", type=float, default=0, help="stop after this long (0: never)")
    ap.add_argument("--replay", nargs="*", default=None)
    ap.add_argument("--tries", type=int, default=20)
    ap.add_argument("--out", default=os.environ.get("IVRO_THREADS_OUT", "build/fuzz/threads"))
    ap.add_argument("--open", action="append", default=[], metavar="TEXT",
                    help="a failure whose text holds TEXT is a known fault, still open: "
                         "printed and its program kept, but the search goes on")
    args = ap.parse_args(argv)
    if hasattr(sys, "setswitchinterval"):
        sys.setswitchinterval(1e-6)  # with the GIL: switch threads as often as it can
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"threads: CPython {sys.version.split()[0]}, GIL {'on' if gil else 'off'}", flush=True)
    if args.replay is not None:
        return 1 if replay(args.replay, args.tries) else 0
    start, n, known = time.monotonic(), 0, 0
    for i in range(args.programs):
        if args.seconds and time.monotonic() - start > args.seconds:
            break
        seed = args.seed * 1_000_003 + i
        program = generate(seed)
        why = run_once(program)
        n += 1
        if why and any(text in str(why) for text in args.open):
            known += 1
            print(f"threads: KNOWN OPEN FAULT, not counted: {why}", flush=True)
            continue
        if why:
            report(program, why, args.out)
            return 1
    took = time.monotonic() - start
    print(f"threads: seed {args.seed}, {n} programs in {took:.0f} s "
          f"({n / max(took, 1e-9):.1f}/s): {n - known} clean, {known} known open", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
