"""What the fuzz targets share: the objects that attack the cache, a value ledger, and the
checks run after every top-level operation.

The ledger is the oracle that turns a quiet loss into a failure. Every value is a fresh
`Val` with a serial, stored once. A value that has been in the cache and is no longer there
after an operation must have left in a way someone was told of: reported to the callback,
returned by pop/popitem, removed by del/clear/re-__init__ of its key or the whole cache, or
replaced by an assignment to its key. The actions that do those things record it where they
do it, hostile code included. The one sanctioned silent exit is that of a stuck entry, which
was reported when its removal failed.

Where nothing hostile ran in a step, the cache must also agree exactly with a small
reference model (results, recency order, textual order, counters, callback calls).
"""
import gc
import os
import sys
import weakref
from collections import OrderedDict

from _ivro import IVRO

# The tests' reference model, shared rather than copied.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from reference_model import Model  # noqa: E402


class Hostile(Exception):
    """Raised on purpose by hostile code."""


class Failure(AssertionError):
    """An oracle failure: a fault in the cache, not in the harness."""


# What hostile code may make an operation raise. Anything else is a fault.
EXPECTED = (Hostile, KeyError, TypeError, RuntimeError, RecursionError)
MAX_DEPTH = 3  # hooks nested deeper than this do nothing
# IVRO_FUZZ_TRACE=1 prints each operation and what hostile code does, to read an input.
TRACE = bool(os.environ.get("IVRO_FUZZ_TRACE"))


def trace(*what):
    if TRACE:
        print("   ", *what, file=sys.stderr)


def sv(v):
    return v.serial if isinstance(v, Val) else v


def ident(key):
    """A key's honest identity: what its equality says while nothing lies."""
    return ("h", key.tag) if isinstance(key, HKey) else key


# ---- the actions hostile hooks take -------------------------------------------------------
# `k` is the victim's key (callback), the key itself (its __hash__/__eq__) or None (a
# finaliser, which takes the oldest key). They make only plain values and plain recorders,
# so hostile code never begets more hostile code.

def _victim(w, k):
    if k is not None:
        return k
    ks = w.c.keys()
    return ks[-1] if ks else None


def _read(w, k):
    c = w.c
    vs = c.values()
    c.keys(), c.items(), c.peek_first_item(), c.peek_last_item(), c.get_stats(), repr(c)
    w.saw(vs)


def _raise(w, k):
    raise Hostile("hostile")


def _insert(w, k):
    w.assign(w.name(), w.val())


def _update(w, k):
    a, b = w.name(), w.name()
    va, vb = w.val(), w.val()
    w.before_assign(a), w.before_assign(b)
    w.c.update([(a, va)], **{b: vb})
    w.stored_pairs([(a, va), (b, vb)])


def _pop_victim(w, k):
    k = _victim(w, k)
    if k is not None:
        w.pop(k)


def _del_victim(w, k):
    k = _victim(w, k)
    if k is not None:
        w.delete(k)


def _replace_victim(w, k):
    k = _victim(w, k)
    if k is not None:
        w.assign(k, w.val())


def _setdefault_victim(w, k):
    k = _victim(w, k)
    if k is not None:
        w.setdefault(k, w.val())


def _popitem(w, least_recent):
    if len(w.c):
        k, v = w.c.popitem(least_recent)
        w.excuse(v, "popitem")


def _clear(w, k):
    w.clear()


def _reinit(w, k):
    w.reinit(2, w.recorder(()))


def _shrink(w, k):
    w.c.set_size(1)


def _grow(w, k):
    w.c.set_size(min(w.c.get_size() + 2, 9))


def _callback_none(w, k):
    w.install(None)


def _callback_other(w, k):
    w.install(w.recorder(()))


ACTIONS = {
    "read": _read,
    "insert": _insert,
    "update": _update,
    "pop_victim": _pop_victim,
    "del_victim": _del_victim,
    "replace_victim": _replace_victim,
    "setdefault_victim": _setdefault_victim,
    "popitem_oldest": lambda w, k: _popitem(w, True),
    "popitem_newest": lambda w, k: _popitem(w, False),
    "clear": _clear,
    "reinit": _reinit,
    "shrink": _shrink,
    "grow": _grow,
    "callback_none": _callback_none,
    "callback_other": _callback_other,
    "raise": _raise,
}
ACTS = sorted(ACTIONS)


class Val:
    """A value with a serial; with `act`, its finaliser acts on the cache."""

    __slots__ = ("w", "serial", "act", "__weakref__")

    def __init__(self, w, act=None):
        self.w, self.serial, self.act = w, w.fresh(), act
        w.alive.add(self)

    def __repr__(self):
        return f"~{self.serial}~"

    def __del__(self):
        w = self.w
        if self.act is not None and w.armed and w.depth < MAX_DEPTH:
            w.hostile = True
            w.run(self.act, None)


class Recorder:
    """The eviction callback: records the report in the ledger, then acts while its budget
    lasts."""

    def __init__(self, w, acts, budget):
        self.w, self.acts, self.budget, self.full = w, acts, budget, budget

    def __call__(self, key, value):
        w = self.w
        w.tick()
        w.reported(key, value)
        if self.acts and w.armed and self.budget > 0 and w.depth < MAX_DEPTH:
            self.budget -= 1
            w.hostile = True
            w.run(self.acts[self.budget % len(self.acts)], key)


class HKey:
    """A key whose __hash__/__eq__ may act, raise or lie ('flip': a wrong answer once). All
    share one hash, so lookups among them compare too. A flipped hash may have stored the
    key where its own hash never finds it again: it is 'tainted' while it is held."""

    def __init__(self, w, tag, on_hash, on_eq, budget):
        self.w, self.tag, self.on_hash, self.on_eq = w, tag, on_hash, on_eq
        self.budget = self.full = budget
        self.tainted = False

    def _lies(self, act):
        w = self.w
        w.tick()
        if act is None or not w.armed or self.budget <= 0 or w.depth >= MAX_DEPTH:
            return False
        self.budget -= 1
        w.hostile = True
        if act == "flip":
            w.lied = True
            return True
        try:
            w.run(act, self)
        except BaseException:
            w.lied = True  # the failing hash/eq may have been that of a victim's removal
            raise
        return False

    def __hash__(self):
        if self._lies(self.on_hash):
            self.tainted = True
            return 8
        return 7

    def __eq__(self, other):
        honest = isinstance(other, HKey) and other.tag == self.tag
        return (not honest) if self._lies(self.on_eq) else honest

    def __repr__(self):
        return f"<{self.tag}>"


def outcome(call):
    try:
        return call()
    except EXPECTED as e:
        return type(e)


# ---- the world: one cache, its ledger, and the checks -------------------------------------

class World:
    """One cache, the ledger of every value offered to it, and the model. Hostile objects
    act only while a step is armed and their budgets last, so every program ends and the
    checks meet honest objects."""

    def __init__(self, size, plan=None, nomemory=False):
        self.armed = self.hostile = self.lied = self.runaway = False
        self.nomemory = nomemory  # MemoryError is expected
        self.oom = False  # a MemoryError this step may have cost a report
        self.stuck = set()  # serials accepted as stuck: reported, their removal failed
        self.counter, self.calls, self.depth, self.alive = 0, 0, 0, weakref.WeakSet()
        # serial -> [key identity, stored, excused-as, times reported]
        self.ledger, self.gone, self.unraisable = {}, set(), []
        self.reports = []  # (key, serial) this step, for the model
        self.made = []  # serials of the values made this step, for the model
        self.pending = None  # the pairs of an update under way
        self.pending_words = []  # and its keyword arguments
        self.reoffered = set()
        self.silent_ok = False  # no callback at some point: evictions may be silent
        self.c, self.model = IVRO(size), Model(size, plan is not None)
        self.callback = None
        self.install(self.recorder(plan))
        self.saved_hook = sys.unraisablehook
        sys.unraisablehook = lambda u: self.unraisable.append(u.exc_type)

    def close(self):
        self.armed = False
        self.c.set_callback(None)
        self.c.clear()
        sys.unraisablehook = self.saved_hook

    def fresh(self):
        self.counter += 1
        return self.counter

    def name(self):
        return f"n{self.fresh()}"

    def tick(self):
        # An operation that keeps calling back is stopped by emptying the cache, so that
        # the program ends and fails with its input.
        self.calls += 1
        if self.calls > 5000 and not self.runaway:
            self.runaway = True
            self.c.clear()

    def run(self, act, k):
        trace("  " * self.depth, "hostile:", act, "on", k)
        self.depth += 1
        try:
            ACTIONS[act](self, k)
        finally:
            self.depth -= 1

    def recorder(self, plan):
        if plan is None:
            return None
        acts, budget = plan if plan else ((), 0)
        return Recorder(self, tuple(acts), budget)

    def install(self, callback):
        self.callback = callback  # first: releasing the old one may run code
        if callback is None:
            self.silent_ok = True
        self.c.set_callback(callback)

    # --- the ledger: what each action records ---------------------------------------------
    def val(self, act=None):
        v = Val(self, act)
        self.made.append(v.serial)
        self.ledger[v.serial] = [None, False, None, 0]
        return v

    def stored_pairs(self, pairs):
        """An update stored `pairs` in order: a later pair replaced an earlier one."""
        last = {}
        for k, v in pairs:
            if ident(k) in last:
                self.excuse(last[ident(k)], "replaced")
            last[ident(k)] = v
            self.stored(v, k)

    def saw(self, values):
        for v in values:
            if isinstance(v, Val) and v.serial in self.ledger:
                self.ledger[v.serial][1] = True

    def excuse(self, v, how):
        if isinstance(v, Val) and v.serial in self.ledger:
            self.ledger[v.serial][2] = how

    def excuse_key(self, key, how):
        """The values held under `key` now leave by the caller's hand if they leave."""
        i = ident(key)
        for k, v in self.c.items():
            if ident(k) == i:
                self.excuse(v, how)

    def excuse_since(self, key, t0, how):
        """Values stored under `key` by code that the operation on it ran (its hash, its
        equality, finalisers) after serial `t0`, and gone by its end, went by its hand."""
        i, held = ident(key), {id(v) for v in self.c.values()}
        for s, e in self.ledger.items():
            if s > t0 and e[0] == i and e[1] and not e[2]:
                v = next((v for v in self.alive if v.serial == s), None)
                if v is None or id(v) not in held:
                    e[2] = how

    def update(self, src, pairs, **words):
        """c.update(src, **words), where `pairs` are those src gives, in order (a list
        that a source may extend as it hands them out), and then the words. The pairs up
        to the last one the cache took were stored, each replacing any earlier one for its
        key."""
        self.pending, self.pending_words = pairs, list(words.items())
        try:
            self.c.update(src, **words)
        finally:
            every = [*pairs, *self.pending_words]
            self.pending, self.pending_words = None, []
            self.stored_pairs(every[:self.taken(every) + 1])

    def taken(self, pairs):
        """The index of the newest pair whose value the cache has taken, or -1."""
        if self.reoffered:  # the cache's own values: taken or not, they are all held
            return -1
        held = {id(v) for v in self.c.values()}
        return max((j for j, (_, v) in enumerate(pairs) if id(v) in held or (
            isinstance(v, Val) and any(self.ledger.get(v.serial, (0, 0, 0, 0))[2:]))),
            default=-1)

    def replaced_by_update(self, key):
        """Whether an update under way will still assign `key`: a pair for it comes after
        the newest pair whose value the cache has taken."""
        pairs, i = [*(self.pending or ()), *self.pending_words], ident(key)
        if not pairs:
            return False
        return any(ident(k) == i for k, _ in pairs[self.taken(pairs) + 1:])

    def before_assign(self, key):
        self.excuse_key(key, "replaced")

    def stored(self, v, key):
        """`v` went into the cache under `key` (the assignment returned)."""
        if isinstance(v, Val) and v.serial in self.ledger:
            e = self.ledger[v.serial]
            e[0], e[1] = ident(key), True
            if self.replaced_by_update(key):
                e[2] = e[2] or "replaced"

    def assign(self, key, v):
        self.before_assign(key)
        try:
            self.c[key] = v
        except BaseException:
            # A callback's error comes after the store: the value may be in all the same.
            if any(x is v for x in self.c.values()):
                self.stored(v, key)
            raise
        finally:
            self.excuse_since(key, v.serial, "replaced")
        self.stored(v, key)

    def setdefault(self, key, v):
        self.before_assign(key)
        try:
            got = self.c.setdefault(key, v)
        except BaseException:
            # As for an assignment: a callback's error comes after the store.
            if any(x is v for x in self.c.values()):
                self.stored(v, key)
            raise
        if got is v:
            self.stored(v, key)
        return got

    def delete(self, key):
        self.excuse_key(key, "deleted")
        t0 = self.counter
        try:
            del self.c[key]
        finally:
            # What the key's own hash stored under it meanwhile went with it.
            self.excuse_since(key, t0, "deleted")

    def pop(self, key, *default):
        self.excuse_key(key, "popped")
        t0 = self.counter
        try:
            v = self.c.pop(key, *default)
        finally:
            self.excuse_since(key, t0, "popped")
        self.excuse(v, "popped")
        return v

    def clear(self):
        vs = self.c.values()
        self.excuse_all(vs, "cleared")
        self.excuse_in_hand("cleared")
        self.c.clear()

    def reinit(self, size, callback):
        vs = self.c.values()
        self.excuse_all(vs, "reinit")
        self.excuse_in_hand("reinit")
        self.callback = callback
        if callback is None:
            self.silent_ok = True
        self.c.__init__(size, callback)

    def excuse_in_hand(self, how):
        """Emptying the cache from code that an operation runs also empties it of the entry
        that operation holds out of the dictionary for a moment (an eviction putting back
        an entry its victim's key took by mistake): every stored value still alive and
        unaccounted for. One that went silently before is dead by now, and stays a fault."""
        live = {v.serial for v in self.alive}
        for s, e in self.ledger.items():
            if e[1] and e[0] is not None and not e[2] and not e[3] and s in live:
                e[2] = how

    def excuse_all(self, vs, how):
        self.saw(vs)
        for v in vs:
            self.excuse(v, how)

    def reported(self, key, value):
        trace("  " * self.depth, "callback:", key, value)
        self.reports.append((key, sv(value)))
        if isinstance(value, Val) and value.serial in self.ledger:
            e = self.ledger[value.serial]
            e[1] = True
            e[3] += 1
        elif isinstance(value, Val):
            raise Failure(f"{value!r} reported after it had left")

    # --- one step: run armed, then judge --------------------------------------------------
    def step(self, what, sut, model=None):
        """Runs `sut` armed; where nothing hostile ran, its result must be `model`'s."""
        trace("step:", *what) if TRACE else None
        self.hostile = self.lied = self.runaway = self.oom = False
        self.silent_ok = self.callback is None
        self.calls, self.reports, self.made = 0, [], []
        self.reoffered = set()  # serials that an update of the cache with itself offers
        self.pending = None
        self.lied = self.tainted()
        self.armed = True
        try:
            got = outcome(sut)
        except MemoryError:
            if not self.nomemory:
                raise
            got, self.oom = MemoryError, True
        finally:
            self.armed = False
            self.pending = None  # holds no value past the step
        if self.runaway:
            raise Failure("the operation kept calling back without end")
        self.oom = self.oom or any(issubclass(e, MemoryError) for e in self.unraisable)
        hostile = self.hostile or self.lied or self.oom or self.tainted()
        if not hostile and model is not None:
            want = outcome(model)
            if got != want:
                raise Failure(f"result {got!r}, the model says {want!r}")
        trace("  ->", got, "hostile" if hostile else "", self.c.items()) if TRACE else None
        del got
        self.check(hostile)

    def tainted(self):
        return any(getattr(k, "tainted", False) for k in self.c.keys())

    def check(self, hostile):
        c, m = self.c, self.model
        n, ks, vs, its = len(c), c.keys(), c.values(), c.items()
        if not (len(ks) == len(vs) == len(its) == n and bool(c) == (n > 0)):
            raise Failure(f"len {n}, keys {len(ks)}, values {len(vs)}, items {len(its)}")
        if not all(k is a and v is b for (a, b), k, v in zip(its, ks, vs)):
            raise Failure("items() disagrees with keys() and values()")
        peeks = (c.peek_first_item(), c.peek_last_item())
        if peeks != ((its[0], its[-1]) if n else (None, None)):
            raise Failure(f"peeks {peeks} disagree with items()")
        serials = [sv(v) for v in vs]
        self.saw(vs)
        del vs, its, peeks
        lying = self.lied or self.tainted()
        twice = [k for k in ks if ks.count(k) > 1]
        if twice and not lying:
            raise Failure(f"a key occurs twice: {twice}")
        for k in ks:
            if not getattr(k, "tainted", False) and not (k in c) is c.has_key(k) is True:
                raise Failure(f"{k!r} is listed but not found")
        if len(repr(c)[1:-1].split(", ")) != max(n, 1) and not any(
                isinstance(k, str) and ", " in k for k in ks):
            raise Failure(f"repr lists another number of entries than {n}")
        self.oom = self.oom or any(issubclass(e, MemoryError) for e in self.unraisable)
        self.account(serials, lying)
        allowed = (*EXPECTED, MemoryError) if self.nomemory else EXPECTED
        bad, self.unraisable[:] = [e for e in self.unraisable if not issubclass(e, allowed)], []
        if bad:
            raise Failure(f"unexpected unraisable exceptions: {bad}")
        size = c.get_size()
        if hostile:
            # Stuck entries are retried now, hostile code quiet: set_size to the same size
            # retries them all, silently, and evicts nothing else. What leaves must have
            # been reported when it got stuck.
            self.reports = []
            c.set_size(size)
            if self.reports:
                raise Failure(f"set_size to the same size evicted: {self.reports}")
            ks, serials = c.keys(), [sv(v) for v in c.values()]
            self.account(serials, lying)
            m.entries = OrderedDict(reversed(list(zip(ks, serials))))
            m.stuck = {k for k, s in zip(ks, serials) if s in self.stuck}
            m.text = dict(m.entries)
            m.size, m.reporting = size, self.callback is not None
            m.hits, m.misses = c.get_stats()
        else:
            if list(zip(ks, serials)) != list(reversed(m.entries.items())):
                raise Failure(f"entries {list(zip(ks, serials))}, the model has "
                              f"{list(reversed(m.entries.items()))}")
            if c.get_stats() != (m.hits, m.misses) or size != m.size:
                raise Failure(f"stats {c.get_stats()} size {size}, the model has "
                              f"{(m.hits, m.misses)} {m.size}")
            if self.reports != m.evicted:
                raise Failure(f"reported {self.reports}, the model says {m.evicted}")
        m.evicted, self.reports = [], []
        stray = [v.serial for v in self.alive if v.serial not in serials]
        if stray:  # only a collection tells a leak from a pending cycle
            gc.collect()
            stray = [v.serial for v in self.alive if v.serial not in serials]
            if stray:
                raise Failure(f"values alive but no longer held: {stray}")

    def account(self, serials, lying):
        held = set(serials)
        for s in held & self.gone - self.reoffered:
            raise Failure(f"~{s}~ is back after it left")
        stuck = 0
        for s, (key, stored, excused, times) in list(self.ledger.items()):
            # An update of the cache with itself stores each of its values once more: one
            # that was reported before its pair came round may be reported again.
            if times > 1 + (s in self.reoffered) and not lying:
                raise Failure(f"~{s}~ (key {key!r}) reported {times} times")
            if s in held:
                if times and s in self.reoffered:  # stored anew by the update of itself
                    self.ledger[s][3] = times = 0
                if times and s not in self.stuck:
                    # Reported while it stays: only a removal that failed does that,
                    # and only a lying or raising key fails one here.
                    if not (lying or self.oom):
                        raise Failure(f"~{s}~ (key {key!r}) reported but still held")
                    self.stuck.add(s)
                stuck += s in self.stuck
                continue
            self.stuck.discard(s)
            # A lying key's equality makes an assignment, del or pop act on another
            # hostile key's entry, so such an entry may leave by a hand we did not see.
            lied_away = lying and isinstance(key, tuple)
            if stored and not (times or excused or self.silent_ok or self.oom or lied_away):
                raise Failure(f"~{s}~ (key {key!r}) left the cache unreported")
            del self.ledger[s]
            if stored:
                self.gone.add(s)
        n, size = len(serials), self.c.get_size()
        if n > size + stuck and not lying:
            raise Failure(f"{n} entries, size {size}, {stuck} stuck")


# ---- reading a program from the input -----------------------------------------------------

HOOKS = [None, "flip", *ACTS]
VALUE_ACTS = [None] * 4 + ACTS  # most values have no finaliser


def pick(fdp, seq):
    return seq[fdp.ConsumeIntInRange(0, len(seq) - 1)]


def callback_plan(fdp):
    """None (no callback), or the actions and budget of a hostile recorder."""
    if fdp.ConsumeIntInRange(0, 7) == 0:
        return None
    acts = [pick(fdp, ACTS) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return acts, fdp.ConsumeIntInRange(1, 8)


def hostile_keys(w, fdp, most=4):
    return [HKey(w, f"h{i}", pick(fdp, HOOKS), pick(fdp, HOOKS), fdp.ConsumeIntInRange(1, 4))
            for i in range(fdp.ConsumeIntInRange(0, most))]


def fuzz(atheris, program):
    """Runs libFuzzer on `program`. Merging and minimising start the target anew from
    argv[0], which must then be an executable: scripts/fuzz.sh's wrapper names itself in
    IVRO_FUZZ_ARGV0."""
    atheris.Setup([os.environ.get("IVRO_FUZZ_ARGV0", sys.argv[0]), *sys.argv[1:]], program)
    atheris.Fuzz()


def pool_slice(n):
    """`n` plain keys for the other pairs of an update."""
    return [0, "a", 2][:n]


def rearm(w, keys):
    for hooked in [*keys, w.callback]:
        if hooked is not None:
            hooked.budget = hooked.full

