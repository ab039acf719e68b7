"""Keys whose hashing or comparison runs code against the cache they are in,
at every operation that hashes or compares a key."""

import subprocess
import sys
import sysconfig

import pytest

from _ivro import IVRO

from hostile import ACTIONS, Boom, Ctx, HKey, Val, check_ctx, check_invariants


def _setup(where, callback=True):
    ctx = Ctx(size=3, callback=callback)
    keys = [HKey(t, ctx, where) for t in "abc"]  # 'a' is the oldest: the next victim
    ctx.fill(keys)
    return ctx


def _probe(ctx, tag, where):
    # An equal but distinct key object, so that the lookup must compare.
    return HKey(tag, ctx, where)


# Each operation: (setup extra arguments before arming, then the call).
OPS = {
    "lookup": lambda ctx, p: ctx.c[p("b")],
    "lookup_miss": lambda ctx, p: ctx.c[p("zz")],
    "store_new_evicts": lambda ctx, p: ctx.c.__setitem__(p("d"), Val("d")),
    # Only the victim's key runs code.
    "store_plain_evicts": lambda ctx, p: ctx.c.__setitem__("plain", Val("d")),
    "store_replace": lambda ctx, p: ctx.c.__setitem__(p("b"), Val("b2")),
    "delete": lambda ctx, p: ctx.c.__delitem__(p("b")),
    "contains": lambda ctx, p: p("b") in ctx.c,
    "has_key": lambda ctx, p: ctx.c.has_key(p("zz")),
    "get": lambda ctx, p: ctx.c.get(p("b")),
    "setdefault_new": lambda ctx, p: ctx.c.setdefault(p("d"), Val("d")),
    "setdefault_hit": lambda ctx, p: ctx.c.setdefault(p("c"), Val("c2")),
    "pop": lambda ctx, p: ctx.c.pop(p("b")),
    "pop_default": lambda ctx, p: ctx.c.pop(p("zz"), None),
    "popitem_oldest": lambda ctx, p: ctx.c.popitem(),
    "popitem_newest": lambda ctx, p: ctx.c.popitem(False),
    "set_size_shrink": lambda ctx, p: ctx.c.set_size(1),
    # The cache's own snapshot restored, every key hashed and compared again;
    # then with its oldest entry stuck.
    "setstate": lambda ctx, p: ctx.c.__setstate__(ctx.c.__reduce__()[2]),
    "setstate_stuck": lambda ctx, p: ctx.c.__setstate__((*ctx.c.__reduce__()[2][:4], 1,
                                                         ctx.c.__reduce__()[2][5])),
    "update": None,  # needs its argument built before arming, see below
}

WHAT = sorted(ACTIONS) + ["flip"]

# Evictions without a callback take a leaner path of their own.
QUIET_OPS = ("store_new_evicts", "store_plain_evicts", "setdefault_new", "update")

CASES = [
    pytest.param(where, what, op, True, id=f"{where}-{what}-{op}")
    for where in ("hash", "eq")
    for what in WHAT
    for op in OPS
    # A restore hashes every key, as filling a dict does: keys whose hash
    # lies then are stored where their own hash cannot find them.
    if not (where, what) == ("hash", "flip") or not op.startswith("setstate")
] + [
    pytest.param(where, what, op, False, id=f"{where}-{what}-{op}-no_callback")
    for where in ("hash", "eq")
    for what in WHAT
    for op in QUIET_OPS
]


@pytest.mark.parametrize("where, what, op, callback", CASES)
def test_hostile_key_during_operation(where, what, op, callback, unraisable):
    ctx = _setup(where, callback)
    probe = lambda tag: _probe(ctx, tag, where)  # noqa: E731
    if op == "update":
        arg = {probe("d"): Val("d"), probe("e"): Val("e")}
        call = lambda: ctx.c.update(arg)  # noqa: E731
    else:
        call = lambda: OPS[op](ctx, probe)  # noqa: E731
    ctx.arm("flip" if what == "flip" else ACTIONS[what], budget=3)
    raised = None
    try:
        call()
    except Exception as e:  # noqa: BLE001 - any error of the hostile code is fine
        raised = type(e)
    finally:
        ctx.disarm()
    call = arg = None
    assert raised is not SystemError, "an error was set without being reported, or vice versa"
    check_ctx(ctx, raised=raised is not None)


def test_victim_whose_hash_raises_stays_and_error_propagates():
    ctx = _setup("hash")
    ctx.arm(ACTIONS["raise"], budget=1)
    new = HKey("d", ctx, "eq")  # quiet when hashed: only the victim's hash raises
    with pytest.raises(Exception) as info:
        ctx.c[new] = Val("d")
    assert info.type.__name__ == "Boom"
    ctx.disarm()
    # The victim went back to the oldest end; the new entry is in.
    assert [k.tag for k in ctx.c.keys()] == ["d", "c", "b", "a"]
    assert ctx.reports == [("a", "a")]
    # set_size retries it, and it leaves without a second report.
    ctx.c.set_size(3)
    assert [k.tag for k in ctx.c.keys()] == ["d", "c", "b"]
    assert ctx.reports == [("a", "a")]
    check_ctx(ctx)


@pytest.mark.parametrize("least_recent", [True, False])
def test_popitem_whose_removal_fails_keeps_the_entry(least_recent):
    ctx = _setup("hash")
    before = ctx.c.keys()
    ctx.arm(ACTIONS["raise"], budget=1)
    with pytest.raises(Exception, match="hostile"):
        ctx.c.popitem(least_recent)
    ctx.disarm()
    assert ctx.c.keys() == before
    check_ctx(ctx)


def test_eq_that_clears_during_store_leaves_one_entry():
    # Some interpreter releases (3.13.0) resume such a store into a table
    # in which the key can never be found again; the cache must not.
    ctx = _setup("eq")
    ctx.arm(ACTIONS["clear"], budget=1)
    ctx.c[_probe(ctx, "d", "eq")] = Val("d")
    ctx.disarm()
    assert [k.tag for k in ctx.c.keys()] == ["d"]
    check_ctx(ctx)


class Hooked:
    """Hashes alike with every other Hooked, and equals each; `hook` runs once, at its
    first hashing."""

    def __init__(self, hook=None):
        self.hook = hook

    def __hash__(self):
        hook, self.hook = self.hook, None
        if hook:
            hook()
        return 7

    def __eq__(self, other):
        return isinstance(other, Hooked)


PROBES = {
    "pop": lambda c, k: c.pop(k, None),
    "del": lambda c, k: c.__delitem__(k),
    "get": lambda c, k: c.get(k),
    "lookup": lambda c, k: c[k],
}


@pytest.mark.parametrize("op", PROBES)
def test_probe_under_way_when_the_cache_is_emptied_never_finds_a_later_store(op):
    # The probe's key stores under an equal key, whose own hash empties the cache. The
    # probe counts as done just before the emptying: it never hands out, nor removes, what
    # the store left in the cache. (A free-threaded build empties the dictionary in place,
    # where the probe then meets the new entry as a plain dict's would.)
    c, v = IVRO(4), Val("v")
    c["x"] = Val("x")
    try:
        got = PROBES[op](c, Hooked(lambda: c.setdefault(Hooked(c.clear), v)))
    except KeyError:
        got = None
    else:
        got = v if op == "del" else got
    removes = op in ("pop", "del")
    if FREE_THREADED:
        assert got is v and (v in c.values()) != removes
    else:
        assert got is None and c.values() == [v]
    check_invariants(c)


class ShiftyHash:
    """Once shifted, hashes differently for 200 calls, so the cache cannot
    find it; then it gives in, which ends the experiment if the cache keeps
    trying."""

    def __init__(self):
        self.shifted = 0

    def __hash__(self):
        if self.shifted:
            self.shifted += 1
            if self.shifted <= 200:
                return 2
        return 1


def test_victim_that_cannot_be_found_fails_like_a_failed_removal():
    seen = []
    c = IVRO(1, lambda k, v: seen.append(v))
    key = ShiftyHash()
    c[key] = "v"
    key.shifted = 1
    with pytest.raises(KeyError):
        c[5] = "w"
    # Reported once, kept as the oldest entry, and no retrying.
    assert seen == ["v"] and key.shifted < 10
    assert c.keys() == [5, key]
    key.shifted = 0
    c.set_size(1)
    assert c.keys() == [5] and seen == ["v"]


def test_popitem_of_unfindable_key_neither_lies_nor_spins():
    c = IVRO(3)
    key = ShiftyHash()
    c[key] = "v"
    key.shifted = 1
    try:
        pair = c.popitem()
    except Exception:  # noqa: BLE001 - failing is acceptable
        assert c.keys() == [key]
    else:
        assert pair == (key, "v") and c.keys() == []
    # Without the 200-call limit of ShiftyHash this would never return.
    assert key.shifted < 10


class HashHook:
    """A key whose hashing runs `hook(self)` once, when armed."""

    def __init__(self):
        self.hook = None

    def __hash__(self):
        hook, self.hook = self.hook, None
        if hook is not None:
            hook(self)
        return 1

    def __eq__(self, other):
        return self is other


def test_popitem_never_hands_out_an_entry_twice():
    # Threads whose keys hash in Python meet the same way: the second
    # popitem reads the oldest entry while the first is still removing it.
    c = IVRO(3)
    key = HashHook()
    c[key] = "x"
    c["y"] = "y"
    inner = []
    key.hook = lambda k: inner.append(c.popitem())
    try:
        outer = c.popitem()
    except KeyError:  # giving up is fine; handing out the same entry is not
        outer = None
    assert inner == [(key, "x")]
    assert outer != (key, "x")
    assert c.keys() == ([] if outer else ["y"])


def test_entry_reinserted_while_victim_is_removed_stays():
    reports = []
    c = IVRO(2, lambda k, v: reports.append(v))
    key = HashHook()
    c[key] = "old"
    c["b"] = "b"

    def reinsert(k):
        c.pop(k)
        c[k] = "new"

    # Armed by the callback, so the hook runs at the victim's removal.
    c.set_callback(lambda k, v: (reports.append(v), setattr(key, "hook", reinsert)))
    try:
        c["c"] = "c"
    except KeyError:  # the hook's own pop, when it runs again on the way back
        pass
    # The new entry either stays or is evicted and reported; it never
    # vanishes unreported.
    assert reports[0] == "old"
    assert c.get(key) == "new" or "new" in reports
    check_invariants(c)


SCRIPT_MUTATE_INTERNAL_DICT = """
import gc
from _ivro import IVRO
class Key:
    pass
c = IVRO(3)
keep = [Key(), Key()]
c[keep[0]] = 1
c[keep[1]] = 2
for holder in gc.get_referrers(keep[0]):
    if type(holder) is dict and len(holder) == 2:
        holder.clear()  # frees the entries behind the cache's back
print(len(c), len(c.keys()))
"""


def test_internal_dictionary_is_not_reachable():
    # Run apart: the fault is a use-after-free, which may crash.
    proc = subprocess.run(
        [sys.executable, "-c", SCRIPT_MUTATE_INTERNAL_DICT],
        capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0 and proc.stdout.split() in (["2", "2"], ["0", "0"])


class FailingHash:
    """Hashes alike until told to fail; then raises the next `fails` times."""

    def __init__(self):
        self.fails = 0

    def __hash__(self):
        if self.fails:
            self.fails -= 1
            raise Boom("no hash today")
        return 1


FOREVER = 10**9


@pytest.mark.parametrize("fails, leave", [
    (1, None), (2, None),
    (FOREVER, "del"), (FOREVER, "pop"), (FOREVER, "clear"), (FOREVER, "set_size"),
    (FOREVER, "insert"),
])
def test_unremovable_victim_is_reported_once_and_passed_by(fails, leave):
    reports = []
    c = IVRO(2, lambda k, v: reports.append(k))
    bad = FailingHash()
    c[bad] = "bad"
    bad.fails = fails
    for i in range(300):
        try:
            c[i] = i
        except Boom:
            pass
        held = c.keys()
        stuck = sum(k is bad for k in held)
        assert len(held) <= c.get_size() + stuck
    assert reports.count(bad) == 1
    if fails != FOREVER:  # a later insertion's retry took it, silently
        assert len(c) == 2 and not any(k is bad for k in c.keys())
        return
    # Passed by at the oldest end while every other entry came and went.
    assert c.keys() == [299, 298, bad]
    bad.fails = 0
    {"del": lambda: c.__delitem__(bad), "pop": lambda: c.pop(bad),
     "clear": c.clear, "set_size": lambda: c.set_size(2),
     "insert": lambda: c.__setitem__("new", 0)}[leave]()
    assert not any(k is bad for k in c.keys()) and len(c) <= 2
    assert reports.count(bad) == 1


def test_popitem_returns_what_it_removed():
    c = IVRO(3)
    key = HashHook()
    c[key] = "old"
    c["b"] = "b"
    key.hook = lambda k: c.__setitem__(k, "NEW")
    assert c.popitem() == (key, "NEW") and c.keys() == ["b"]


class HashRaises:
    def __init__(self, exc):
        self.exc = exc

    def __hash__(self):
        raise self.exc("from __hash__")


@pytest.mark.parametrize("exc, is_miss", [
    (TypeError, True), (ValueError, True), (RecursionError, True),
    (KeyboardInterrupt, False), (SystemExit, False), (MemoryError, False),
])
@pytest.mark.parametrize("method", ["get", "pop"])
def test_only_ordinary_errors_make_a_miss(exc, is_miss, method):
    c = IVRO(3)
    call = lambda: getattr(c, method)(HashRaises(exc), "dflt")  # noqa: E731
    if is_miss:
        assert call() == "dflt"
    else:
        with pytest.raises(exc):  # a lost Ctrl-C would be a failure reported as success
            call()
    assert c.get_stats() == (0, 1)


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


class Claiming:
    """Hashes alike with every other; once told to `claim` a key, its __eq__ says it
    equals that key, once, so that the key's lookup takes this entry instead of its own.
    `on_hash` runs once at its next hash; the next `fails` hashes raise `exc`."""

    def __init__(self, tag):
        self.tag, self.claim, self.on_hash, self.fails, self.exc = tag, None, None, 0, Boom

    def __hash__(self):
        hook, self.on_hash = self.on_hash, None
        if hook is not None:
            hook()
        if self.fails:
            self.fails -= 1
            raise self.exc("no hash today")
        return 1

    def __eq__(self, other):
        if other is self.claim is not None:
            self.claim = None
            return True
        return other is self

    def __repr__(self):
        return self.tag


def _raise_boom():
    raise Boom("at the put-back")


# What the victim's key took instead of the victim: an ordinary entry, one being evicted
# further up, or a stuck one; and what the taken entry's own key does when it is put back.
# The taken entry stays as it was, or has left and been reported once; the victim, which
# its own key finds once the taken entry is out, leaves all the same.
@pytest.mark.parametrize("taken, at_put_back, y_reports, y_after, raised", [
    ("listed", None, 0, "y", None), ("listed", "raise", 1, None, Boom),
    ("listed", "store_again", 1, "y2", None), ("listed", "clear", 0, None, None),
    ("evicting", None, 1, None, None), ("stuck", None, 1, "y", None),
])
def test_entry_taken_by_the_victims_key_is_put_back_or_reported(
        taken, at_put_back, y_reports, y_after, raised, unraisable):
    reports = []
    c = IVRO(2)
    y, x = Claiming("y"), Claiming("x")  # y first: x's lookups meet y's entry first
    c[y], c[x] = "y", "x"
    if taken == "stuck":
        c.set_callback(lambda k, v: reports.append(k))
        y.fails = 1
        with pytest.raises(Boom):
            c["z"] = "z"
        y.fails = 1  # the retry of the next insertion fails again
    elif taken == "listed":
        c[y]  # x becomes the victim
    hooks = {"raise": _raise_boom, "store_again": lambda: c.__setitem__(y, "y2"),
             "clear": c.clear, None: None}

    def callback(key, value):
        reports.append(key)
        if key is y and taken == "evicting":
            y.claim = x
            c["w"] = "w"  # evicts x, whose key finds y
        elif key is x:
            y.claim, y.on_hash = x, hooks[at_put_back]

    c.set_callback(callback)
    try:
        c["w" if taken == "stuck" else "z"] = "new"
    except Exception as e:  # noqa: BLE001
        assert type(e) is raised
    else:
        assert raised is None
    assert reports.count(y) == y_reports and reports.count(x) == 1
    # A free-threaded build empties the cache in place, so a put-back made after the
    # clear lands in the emptied cache, as an assignment would; elsewhere it lands in the
    # dictionary the clear let go. Either way nothing is lost that the clear did not take.
    after = {y_after, "y"} if at_put_back == "clear" and FREE_THREADED else {y_after}
    assert c.get(y) in after and x not in c.keys()
    c.set_callback(None)
    c.set_size(2)  # every stuck entry retried, and gone
    check_invariants(c)


@pytest.mark.parametrize("exc", [Boom, MemoryError])
def test_victim_whose_key_clears_the_cache_and_raises(exc):
    # Gone with the clear: an ordinary error of its removal has nothing left to say.
    reports = []
    c = IVRO(2)
    x = Claiming("x")
    c[x], c["b"] = "x", "b"

    def clear_and_raise():
        c.clear()
        raise exc("after the clear")

    c.set_callback(lambda k, v: (reports.append(k), setattr(x, "on_hash", clear_and_raise)))
    if exc is Boom:
        c["c"] = "c"
    else:
        with pytest.raises(exc):
            c["c"] = "c"
    assert reports == [x] and len(c) == 0


@pytest.mark.parametrize("exc, raised", [(Boom, None), (KeyboardInterrupt, KeyboardInterrupt)])
def test_retry_of_a_stuck_entry_passes_on_only_what_is_news(exc, raised):
    reports = []
    c = IVRO(1, lambda k, v: reports.append(k))
    stuck = Claiming("s")
    c[stuck] = "s"
    stuck.fails = 1
    with pytest.raises(Boom):
        c["a"] = "a"
    stuck.fails, stuck.exc = 1, exc
    if raised:
        with pytest.raises(raised):
            c["b"] = "b"
    else:
        c["b"] = "b"
    # Still stuck, reported once; the insertion evicted for itself all the same.
    assert c.keys() == ["b", stuck] and reports == [stuck, "a"]


def test_stuck_entries_take_turns_at_the_retry():
    # Each insertion retries the oldest stuck entry once; a failed try sends it to the
    # back, so that one key that always fails does not keep the others from their turn.
    c = IVRO(1, lambda k, v: None)
    a, b = Claiming("a"), Claiming("b")
    c[a] = "a"
    a.fails = FOREVER
    with pytest.raises(Boom):
        c[b] = "b"
    b.fails = FOREVER
    with pytest.raises(Boom):
        c["x"] = "x"
    tries = []
    for i in range(4):
        a.fails = b.fails = FOREVER
        c[i] = i
        tries.append("a" if a.fails < FOREVER else "b")
        assert (a.fails < FOREVER) != (b.fails < FOREVER)  # one try per insertion
    assert tries in (["a", "b", "a", "b"], ["b", "a", "b", "a"])
    assert c.keys()[0] == 3 and {id(k) for k in c.keys()[1:]} == {id(a), id(b)}
