"""Random operation sequences in which keys, callbacks and value finalisers may be hostile.

Hostile code changes the cache in ways no simple model predicts, so each step is judged on
one of two levels: when nothing hostile ran, exactly against the reference model (results,
recency order, textual order, counters, callback calls); when something did, by the
invariants that must survive anything, after which the model is taken from the cache again.
"""
import gc
import sys
import threading
import weakref
from collections import OrderedDict

import hypothesis.strategies as st
import pytest
from hypothesis import settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule

from _ivro import IVRO

from reference_model import Model


class Hostile(Exception):
    """Raised on purpose by hostile code."""


# What hostile code may make an operation raise: its own exception, and what failing or
# lying hashes and comparisons lead to. Anything else is a fault.
EXPECTED = (Hostile, KeyError, TypeError, RuntimeError)


def sv(v):
    """A value as the bookkeeping holds it: its serial, so that no record keeps it alive."""
    return v.serial if isinstance(v, Val) else v


def tainted(keys):
    return any(getattr(k, "tainted", False) for k in keys)


def popitem(t, least_recent):
    k, v = t.c.popitem(least_recent)
    return k, sv(v)


def _read(t, _):
    c = t.c
    c.keys(), c.values(), c.peek_first_item(), c.peek_last_item(), c.get_stats(), repr(c)
    ks = [k for k, _ in c.items()]
    if len({id(k) for k in ks}) != len(ks) and not tainted(ks):
        raise AssertionError("a key occurs twice in items() inside an operation")


def _raise(t, _):
    raise Hostile("hostile")


# What hostile hooks do to the cache; `k` is the victim's key (callback), the key itself
# (its __hash__/__eq__) or None (a finaliser). They make only plain values, and a callback
# they install is a plain recorder, so hostile code never begets more hostile code.
ACTIONS = {
    "read": _read,
    "insert": lambda t, k: t.c.__setitem__(t.name(), Val(t)),
    "update": lambda t, k: t.c.update([(t.name(), Val(t))], **{t.name(): Val(t)}),
    "pop_victim": lambda t, k: k is not None and t.c.pop(k, None),
    "replace_victim": lambda t, k: k is not None and t.c.__setitem__(k, Val(t)),
    "popitem_oldest": lambda t, k: len(t.c) and popitem(t, True),
    "popitem_newest": lambda t, k: len(t.c) and popitem(t, False),
    "clear": lambda t, k: t.c.clear(),
    "shrink": lambda t, k: t.c.set_size(1),
    "grow": lambda t, k: t.c.set_size(min(t.c.get_size() + 2, 9)),
    "callback_none": lambda t, k: t.install(None),
    "callback_other": lambda t, k: t.install(Recorder(t, (), 0)),
    "raise": _raise,
}
ACTS = sorted(ACTIONS)


class Val:
    """A value with a serial; with `act`, its finaliser acts on the cache."""

    __slots__ = ("t", "serial", "act", "__weakref__")

    def __init__(self, t, act=None):
        self.t, self.serial, self.act = t, t.fresh(), act
        t.alive.add(self)

    def __repr__(self):
        return f"~{self.serial}~"

    def __del__(self):
        if self.act is not None and self.t.armed:
            self.t.fired = True
            ACTIONS[self.act](self.t, None)


class Recorder:
    """The eviction callback: records (key, serial), then acts while its budget lasts."""

    def __init__(self, t, acts, budget):
        self.t, self.acts, self.budget, self.full = t, acts, budget, budget

    def __call__(self, key, value):
        t = self.t
        t.tick()
        t.reports.append((key, sv(value)))
        if self.acts and t.armed and self.budget > 0:
            self.budget -= 1
            t.fired = True
            ACTIONS[self.acts[self.budget % len(self.acts)]](t, key)


class HKey:
    """A key whose __hash__/__eq__ may act, raise or lie ('flip': answer wrongly once). All
    share one hash, so lookups among them compare too. A flipped hash may have stored the
    key where its own hash never finds it again: the key is 'tainted' while it is held."""

    def __init__(self, t, tag, on_hash, on_eq, budget):
        self.t, self.tag, self.on_hash, self.on_eq = t, tag, on_hash, on_eq
        self.budget = self.full = budget
        self.tainted = False

    def _lies(self, act):
        t = self.t
        t.tick()
        if act is None or not t.armed or self.budget <= 0:
            return False
        self.budget -= 1
        t.fired = True
        if act == "flip":
            t.lied = True
            return True
        try:
            ACTIONS[act](t, self)
        except BaseException:
            t.lied = True  # the raising hash/eq may have been that of a victim's removal
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


def as_read(kind, pairs):
    """The pairs in the order update() reads them from a source of that kind."""
    if kind == "dict":
        return list(dict(pairs).items())
    if kind == "ivro":  # read oldest first; a repeated key moved to the newest end
        order = OrderedDict()
        for k, v in pairs:
            order[k] = v
            order.move_to_end(k)
        return list(order.items())
    return pairs


def outcome(call):
    try:
        return call()
    except EXPECTED as e:
        return type(e)


HOOK = st.one_of(st.none(), st.sampled_from(["flip", *ACTS]))
KEY = st.integers(0, 31)
VAL = st.one_of(st.none(), st.none(), st.sampled_from(ACTS))  # None: no finaliser
DEFAULT = st.sampled_from(["omit", "none", "val"])
CALLBACK = st.one_of(st.none(), st.tuples(st.lists(st.sampled_from(ACTS), max_size=3),
                                          st.integers(1, 8)))


class HostileMachine(RuleBasedStateMachine):
    """Also the state that hostile objects share: they act only while a step is armed and
    while their budgets last, so every run ends and the checks meet honest objects."""

    @initialize(size=st.integers(1, 4), cb=CALLBACK,
                hostile=st.lists(st.tuples(HOOK, HOOK, st.integers(1, 4)), min_size=1, max_size=4))
    def start(self, size, cb, hostile):
        self.armed = self.fired = self.lied = self.runaway = False
        self.reports, self.unraisable, self.made, self.evicted = [], [], [], set()
        self.counter, self.calls, self.alive = 0, 0, weakref.WeakSet()
        self.stuck = set()  # serials reported while their entry stayed
        self.c, self.model = IVRO(size), Model(size, cb is not None)
        self.install(self.recorder(cb))
        self.hooked = [HKey(self, f"h{i}", *hooks) for i, hooks in enumerate(hostile)]
        self.hashable = [0, 1, 2, "a", "b", *self.hooked]
        self.pool = [*self.hashable, ["unhashable"]]
        self.saved_hook = sys.unraisablehook
        sys.unraisablehook = lambda u: self.unraisable.append(u.exc_type)

    def teardown(self):
        if hasattr(self, "c"):
            self.armed = False
            self.c.set_callback(None)
            self.c.clear()
            sys.unraisablehook = self.saved_hook

    def fresh(self):
        self.counter += 1
        return self.counter

    def tick(self):
        # An operation that keeps calling back is stopped by emptying the cache, so that
        # the run ends and the step fails with its example.
        self.calls += 1
        if self.calls > 5000 and not self.runaway:
            self.runaway = True
            self.c.clear()

    def name(self):
        return f"n{self.fresh()}"

    def install(self, callback):
        self.callback = callback  # first: releasing the old one may run code that sets another
        self.c.set_callback(callback)

    def recorder(self, plan):
        return None if plan is None else Recorder(self, tuple(plan[0]), plan[1])

    def key(self, i):
        return self.pool[i % len(self.pool)]

    def v(self, act=None):
        value = Val(self, act)
        self.made.append(value.serial)
        return value

    def dflt(self, d):  # the default's arguments for the cache; the model reads self.made
        return () if d == "omit" else (None,) if d == "none" else (self.v(),)

    def mdflt(self, d):
        return () if d == "omit" else (None,) if d == "none" else (self.made[0],)

    # --- one step: run armed, then judge -------------------------------------------------------
    def step(self, sut, model):
        # A key held under a hash it no longer has fails every removal of it.
        self.fired, self.lied = False, tainted(self.c.keys())
        self.calls, self.runaway = 0, False
        self.reports, self.made = [], []
        self.armed = True
        try:
            got = outcome(sut)
        finally:
            self.armed = False
        assert not self.runaway, "the operation kept calling back without end"
        hostile = self.fired or self.lied or tainted(self.c.keys())
        if not hostile:
            assert got == outcome(model)
        del got
        self.check(hostile)

    def check(self, hostile):
        c, m = self.c, self.model
        n, ks, vs, its = len(c), c.keys(), c.values(), c.items()
        assert len(ks) == len(vs) == len(its) == n and bool(c) == (n > 0)
        assert all(k is a and v is b for (a, b), k, v in zip(its, ks, vs))
        peeks = (c.peek_first_item(), c.peek_last_item())
        assert peeks == ((its[0], its[-1]) if n else (None, None))
        serials = [sv(v) for v in vs]
        del vs, its, peeks
        # Only a key held under a hash it no longer has can be stored again (as in a dict).
        twice = [k for k in ks if ks.count(k) > 1]
        assert tainted(twice) or not twice, f"a key occurs twice: {twice}"
        for k in self.hashable + ks:
            if not tainted([k]):
                assert (k in c) is c.has_key(k) is c.__contains__(k) is (k in ks), k
        # The textual form: the same entries, in the order of insertion.
        by_repr, text = {repr(k): (k, v) for k, v in zip(ks, serials)}, {}
        pieces = [p.split(": ") for p in repr(c)[1:-1].split(", ")] if n else []
        for kr, vr in [] if twice else pieces:
            k, serial = by_repr[kr]
            assert vr == ("None" if serial is None else f"~{serial}~"), (kr, vr)
            text[k] = serial
        assert len(pieces) == n and (twice or len(text) == n)
        relaxed, size = self.lied or tainted(ks), c.get_size()
        # Exactly once: a reported value that left is never reported again; one that stayed
        # (its removal failed: it is stuck) only where a lying or raising key may have failed
        # that removal, and never again while it stays.
        counts = {}
        for _, serial in self.reports:
            if serial is not None:  # a None value (setdefault's) cannot be told apart
                counts[serial] = counts.get(serial, 0) + 1
        for serial, times in counts.items():
            assert serial not in self.stuck, f"~{serial}~ reported again while stuck"
            assert serial not in self.evicted, f"~{serial}~ reported again after leaving"
            assert times == 1 or relaxed, f"~{serial}~ reported {times} times"
            if serial in serials:
                assert relaxed, f"~{serial}~ reported but still held"
                self.stuck.add(serial)
            else:
                self.evicted.add(serial)
        # Stuck entries stay beyond the size; nothing else may.
        stuck_held = sum(s in self.stuck for s in serials)
        assert relaxed or n <= size + stuck_held, "over capacity beyond the stuck entries"
        bad, self.unraisable[:] = [e for e in self.unraisable if not issubclass(e, EXPECTED)], []
        assert not bad, f"unexpected unraisable exceptions: {bad}"
        if hostile:  # take the model from the cache
            # Without a callback nothing tells stuck entries apart, so they are retried now
            # (hostile code is quiet): set_size retries them all, silently, and evicts nothing
            # else. Only entries whose keys cannot find them again may stay stuck.
            self.reports = []
            c.set_size(size)
            assert not self.reports, f"set_size to the same size evicted: {self.reports}"
            ks, serials = c.keys(), [sv(v) for v in c.values()]
            held = {id(k) for k in ks}
            m.entries = OrderedDict(reversed(list(zip(ks, serials))))
            m.stuck = {k for k, s in zip(ks, serials) if s in self.stuck}
            text = {k: v for k, v in text.items() if id(k) in held}
            m.text, m.size, m.reporting = text, size, self.callback is not None
            m.hits, m.misses = c.get_stats()
        else:
            assert list(zip(ks, serials)) == list(reversed(m.entries.items()))
            assert list(text.items()) == list(m.text.items())
            assert c.get_stats() == (m.hits, m.misses) and size == m.size
            assert self.reports == m.evicted
        m.evicted, self.reports = [], []
        for k in self.hooked:  # out of the cache, a lie at storage no longer matters
            k.tainted = k.tainted and any(k is x for x in ks)
        # No value alive that the cache no longer holds (the test keeps only serials).
        stray = [v.serial for v in self.alive if v.serial not in serials]
        if stray:  # only a collection tells a leak from a pending cycle
            gc.collect()
            stray = [v.serial for v in self.alive if v.serial not in serials]
        assert not stray, f"values alive but no longer held: {stray}"

    # --- the operations ------------------------------------------------------------------------
    @rule(i=st.one_of(st.none(), KEY), act=VAL)
    def setitem(self, i, act):  # None: a new key, which keeps evictions and callbacks busy
        k = self.name() if i is None else self.key(i)
        self.step(lambda: self.c.__setitem__(k, self.v(act)),
                  lambda: self.model.assign(k, self.made[0]))

    @rule(op=st.sampled_from(["getitem", "get", "setdefault", "pop", "delitem", "contains"]),
          i=KEY, d=DEFAULT)
    def keyed(self, op, i, d):
        k, c, m = self.key(i), self.c, self.model
        self.step(*{
            "getitem": (lambda: sv(c[k]), lambda: m.lookup(k)),
            "get": (lambda: sv(c.get(k, *self.dflt(d))), lambda: m.get(k, *self.mdflt(d))),
            "setdefault": (lambda: sv(c.setdefault(k, *self.dflt(d))),
                           lambda: m.setdefault(k, *self.mdflt(d))),
            "pop": (lambda: sv(c.pop(k, *self.dflt(d))), lambda: m.pop(k, *self.mdflt(d))),
            "delitem": (lambda: c.__delitem__(k), lambda: m.remove(k) and None),
            "contains": (lambda: (k in c, c.has_key(k), c.__contains__(k)),
                         lambda: (k in m.entries,) * 3),
        }[op])

    @rule(least_recent=st.booleans())
    def popitem(self, least_recent):
        self.step(lambda: popitem(self, least_recent),
                  lambda: self.model.popitem(least_recent))

    @rule()
    def read(self):  # len, repr, views, peeks and counters amid the other operations
        self.step(lambda: _read(self, None), lambda: None)

    @rule(kind=st.sampled_from(["dict", "pairs", "ivro"]),
          pairs=st.lists(st.tuples(KEY, VAL), max_size=3),
          named=st.lists(st.sampled_from("abxy"), max_size=2, unique=True))
    def update(self, kind, pairs, named):
        def sut():
            given = [(self.key(i), self.v(act)) for i, act in pairs]
            words = {name: self.v() for name in named}
            if kind == "dict":
                given = dict(given)
            elif kind == "ivro":
                other = IVRO(8)
                for k, v in given:
                    other[k] = v
                given = other
            self.c.update(given, **words)

        def model():
            keyed = [(self.key(i), s) for (i, _), s in zip(pairs, self.made)]
            self.model.update(as_read(kind, keyed) + list(zip(named, self.made[len(pairs):])))

        self.step(sut, model)

    @rule(size=st.integers(1, 6))
    def set_size(self, size):
        self.step(lambda: self.c.set_size(size), lambda: self.model.set_size(size))

    @rule()
    def clear(self):
        self.step(self.c.clear, lambda: self.model.clear())

    @rule(cb=CALLBACK)
    def set_callback(self, cb):
        self.step(lambda: self.install(self.recorder(cb)),
                  lambda: setattr(self.model, "reporting", cb is not None))

    @rule(size=st.integers(1, 5), cb=CALLBACK)
    def reinit(self, size, cb):
        def sut():
            self.callback = self.recorder(cb)  # in place before the old entries' finalisers run
            self.c.__init__(size, self.callback)

        def model():
            self.model.clear()
            self.model.size, self.model.reporting = size, cb is not None

        self.step(sut, model)

    @rule()
    def rearm(self):
        for hooked in [*self.hooked, self.callback]:
            if hooked is not None:
                hooked.budget = hooked.full


TestHostileModel = HostileMachine.TestCase
# Its examples are cheap: up to three times the profile's count, though no more than a long
# run's own, whose search tree alone takes the best part of a gigabyte.
_n = settings.default.max_examples
TestHostileModel.settings = settings(max_examples=max(_n, min(3 * _n, 600)))


class Fickle:
    """A key whose hash and equality a test changes after storing it. After a thousand
    calls it is honest again, so that an operation that would retry for ever comes back.
    `hook`, when set, runs once at the next hashing."""

    def __init__(self, tag):
        self.tag, self.hash, self.lying, self.calls, self.hook = tag, 7, False, 0, None

    def __hash__(self):
        self.calls += 1
        hook, self.hook = self.hook, None
        if hook is not None:
            hook()
        return 7 if self.calls > 1000 else self.hash

    def __eq__(self, other):
        self.calls += 1
        lie = self.lying and self.calls <= 1000
        return lie or (isinstance(other, Fickle) and other.tag == self.tag)


def reporting(size, reports):
    return IVRO(size, lambda key, v: reports.append((key, v)))


def make_stuck(c, k):  # k's eviction is reported, its removal fails: k stays, stuck
    k.hash = 8
    with pytest.raises(KeyError):
        c[f"evicts {k.tag}"] = "x"
    k.hash = 7


# Each: the cache, then the step in which an eviction meets an entry other than its victim.
def stored_anew(reports):  # its hash changed, then the same key went in again
    c, k = reporting(1, reports), Fickle("k")
    c[k] = "victim"
    k.hash = 8
    return c, lambda: c.__setitem__(k, "new")


def claims_equal(reports):  # another key claims to equal the victim's
    c, a, b = reporting(2, reports), Fickle("a"), Fickle("b")
    c[b], c[a] = "other", "victim"
    c[b]  # b's slot comes first in the probe, so the removal of a asks b == a
    b.lying = True
    return c, lambda: c.__setitem__("x", "new")


def becomes_equal(reports):  # the victim's key now equals another's: each finds the other
    c, a, b = reporting(2, reports), Fickle("a"), Fickle("b")
    c[b], c[a] = "other", "victim"
    c[b]
    a.tag = "b"
    return c, lambda: c.__setitem__("x", "new")


def put_back_meets_an_insertion(reports):  # while the wrong entry is out, one comes in
    c, step = claims_equal(reports)
    b = next(k for k in c.keys() if isinstance(k, Fickle) and k.tag == "b")
    b.hook = lambda: c.__setitem__("y", "y")
    return c, step


def revived_over_size(reports):  # a stuck entry given a new value counts again
    c, k = reporting(1, reports), Fickle("k")
    c[k] = "victim"
    make_stuck(c, k)
    return c, lambda: c.__setitem__(k, "new")


def revived_during_retry(reports):  # the retry's own hashing gives it a new value
    c, k = reporting(2, reports), Fickle("k")
    c[k], c[1] = "victim", 1
    make_stuck(c, k)
    k.hook = lambda: c.__setitem__(k, "new")
    return c, lambda: c.set_size(2)


def replaced_then_stuck(reports):  # the callback gives its victim a new value, then breaks it
    def cb(key, value):
        reports.append((key, value))
        if value == "victim":
            c[key] = "new"
            key.hash = 8

    c, k = IVRO(1, cb), Fickle("k")
    c[k] = "victim"

    def step():
        try:
            c["x"] = "x"
        finally:
            k.hash = 7
        c["y"] = "y"  # retries whatever is stuck

    return c, step


def replaced_from_another_thread(reports):  # a new value while the victim's callback waits
    inside, go_on = threading.Event(), threading.Event()

    def cb(key, value):
        reports.append((key, value))
        if value == "victim":
            inside.set()
            go_on.wait(10)

    c = IVRO(1, cb)
    c["k"] = "victim"

    def step():
        t = threading.Thread(target=c.__setitem__, args=("x", "x"))
        t.start()
        inside.wait(10)
        c["k"] = "new"
        go_on.set()
        t.join(10)

    return c, step


def put_back_after_its_eviction_ended(reports):  # the eviction that reported it ends meanwhile
    # Thread A's eviction of x removes by x's key, held up in its hash. Meanwhile x is
    # popped and y stored under an equal key; thread B's eviction reports y and waits in
    # y's hash. A's removal takes y by mistake, and while A puts it back, B's removal
    # finds nothing and ends: y must not stay, reported, where no eviction takes it.
    events = [threading.Event() for _ in range(6)]
    a_taking, a_go, b_taking, b_go, a_putting, a_go_on = events

    def pause(reached, go):
        reached.set()
        go.wait(10)

    c, x, y = reporting(2, reports), Fickle("k"), Fickle("k")
    c[x], c["p"] = "x", "p"
    x.hook = lambda: pause(a_taking, a_go)
    a = threading.Thread(target=c.__setitem__, args=("a", "a"))
    a.start()
    a_taking.wait(10)
    assert c.pop(Fickle("k")) == "x"
    c.set_size(3)
    c[y], c["a"], c["p"] = "victim", "a", "p"  # y is the oldest now

    def b_waits():
        y.hook = lambda: pause(a_putting, a_go_on)  # A's put-back hashes y next
        pause(b_taking, b_go)

    def step():
        y.hook = b_waits
        b = threading.Thread(target=c.__setitem__, args=("z", "new"))
        b.start()
        b_taking.wait(10)
        a_go.set()
        a_putting.wait(10)
        b_go.set()
        b.join(10)
        a_go_on.set()
        a.join(10)
        for i in range(4):
            c[i] = f"v{i}"

    return c, step


@pytest.mark.parametrize("setup", [stored_anew, claims_equal, becomes_equal,
                                   put_back_meets_an_insertion, revived_over_size,
                                   revived_during_retry,
                                   replaced_then_stuck, replaced_from_another_thread,
                                   put_back_after_its_eviction_ended])
def test_victim_removal_that_meets_another_entry(setup):
    reports = []
    c, step = setup(reports)
    stored = {*c.values(), "new", *(v for _, v in reports)}
    try:
        step()
        raised = False
    except KeyError:
        raised = True
    told, held = [v for _, v in reports], c.values()
    assert told.count("victim") == 1 and len(set(told)) == len(told), f"reported: {reports}"
    # Either the reported victim has left, or the caller is told that it could not.
    assert raised or "victim" not in held
    assert not [v for v in stored if v not in held and v not in told], "left unreported"
    stuck = [v for v in held if v in told]
    assert len(c) <= c.get_size() + len(stuck), "over its size beyond the stuck entries"
