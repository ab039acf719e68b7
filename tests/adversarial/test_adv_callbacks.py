"""Eviction callbacks that act on the cache that is calling them, for every
operation that evicts."""

import functools
import os
import subprocess
import sys

import pytest

from _ivro import IVRO

from hostile import ACTIONS, Boom, Ctx, Val, check_ctx, check_invariants, tag_of


def _read_and_check(ctx, key, value):
    c = ctx.c
    if ctx.op_inserts and len(ctx.reports) == 1:
        # The outermost eviction of an insertion: the victim is still in,
        # still the oldest, and the new entry is already in.
        if not (key in c and len(c) == c.get_size() + 1 and ctx.new_key in c):
            ctx.errors.append(f"inside the callback: {c.keys()} size {c.get_size()}")
        elif c.peek_last_item()[0] != key or c.peek_first_item()[0] != ctx.new_key:
            ctx.errors.append("victim not oldest or new entry not newest")
    ACTIONS["read"](ctx)


def _replace_victim(ctx, key, value):
    ctx.c[key] = Val(f"{tag_of(key)}-replaced")


def _reinsert_victim(ctx, key, value):
    if key != "a":  # once: every re-insertion makes the cache evict again
        return
    del ctx.c[key]
    ctx.c[key] = Val(f"{tag_of(key)}-again")


def _delete_new(ctx, key, value):
    ctx.c.pop(ctx.new_key, None)


def _pop_victim_insert(ctx, key, value, *, then=None):
    # The eviction in progress must not go on counting a victim that is gone.
    ctx.c.pop(key)
    ACTIONS["insert"](ctx)
    if then:
        raise then("after the victim went and another came")


def _other_callback(ctx, key, value):
    ctx.c.set_callback(lambda k, v: ctx.reports.append((tag_of(k), tag_of(v))))


CB_ACTIONS = {
    **ACTIONS,  # each takes (ctx, *anything)
    "read": _read_and_check,
    "delete_victim": lambda ctx, k, v: ctx.c.__delitem__(k),
    "pop_victim": lambda ctx, k, v: ctx.c.pop(k),
    "delete_new": _delete_new,
    "replace_victim": _replace_victim,
    "reinsert_victim": _reinsert_victim,
    "callback_other": _other_callback,
    "pop_victim_insert": _pop_victim_insert,
    "pop_victim_insert_raise": lambda ctx, k, v: _pop_victim_insert(ctx, k, v, then=Boom),
}

OPS = {
    "store": lambda ctx: ctx.c.__setitem__(ctx.new_key, Val(ctx.new_key)),
    "setdefault": lambda ctx: ctx.c.setdefault(ctx.new_key, Val(ctx.new_key)),
    "update": lambda ctx: ctx.c.update({ctx.new_key: Val(ctx.new_key)}, n_kw=Val("n_kw")),
    "update_pairs": lambda ctx: ctx.c.update([(ctx.new_key, Val(ctx.new_key)), ("n2", Val("n2"))]),
    "set_size": lambda ctx: ctx.c.set_size(1),
}


class SelfReplacing:
    """A callback whose only reference is the cache, and which replaces
    itself while it runs, then goes on using its own state."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.calls = 0

    def __call__(self, key, value):
        ctx = self.ctx
        ctx.c.set_callback(ctx.record)
        self.calls += 1  # touches itself after it was replaced
        ctx.record(key, value)


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("action", sorted(CB_ACTIONS) + ["self_replace"])
def test_callback_acting_on_its_cache(action, op, unraisable):
    ctx = Ctx(size=3)
    ctx.fill(["a", "b", "c"])
    ctx.new_key = "new"
    ctx.op_inserts = op != "set_size"
    if action == "self_replace":
        ctx.c.set_callback(SelfReplacing(ctx))
        ctx.arm(None, budget=0)
    else:
        ctx.cb_action = CB_ACTIONS[action]
        ctx.arm(None, budget=3)
    raised = None
    try:
        OPS[op](ctx)
    except Exception as e:  # noqa: BLE001
        raised = type(e)
    ctx.disarm()
    c = ctx.c
    assert ctx.reports and ctx.reports[0] == ("a", "a")
    if action == "raise":
        assert raised is Boom
        # The operation completed before the exception propagated.
        assert "a" not in c and (not ctx.op_inserts or ctx.new_key in c)
        if op == "set_size":
            assert len(c) == 1 and len(ctx.reports) == 2 and unraisable == ["Boom"]
        if op.startswith("update"):
            assert "n_kw" not in c and "n2" not in c  # update stops at that pair
    elif action == "pop_victim_insert_raise":
        assert raised is Boom
    else:
        assert raised is None, raised
        assert not unraisable
    if action == "reinsert_victim":
        assert op == "set_size" or c["a"].tag == "a-again"
    elif action == "replace_victim":
        # Never reported, so it stays (the eviction leaves a victim that was
        # given a new value, and takes the next oldest if it must), or it is
        # reported when it leaves later.
        held = "a" in c and c["a"].tag == "a-replaced"
        assert held != (("a", "a-replaced") in ctx.reports)
    elif action not in ("reinit",):
        assert "a" not in c or c["a"].tag != "a"
    check_ctx(ctx, raised=raised is not None)


@pytest.mark.parametrize("size", [1, 3])
@pytest.mark.parametrize("how", ["store", "set_size"])
def test_nested_evictions_hundreds_deep(size, how):
    depth = {"now": 0, "max": 0}
    reports = []
    c = IVRO(size)

    def cb(key, value):
        reports.append(key)
        depth["now"] += 1
        depth["max"] = max(depth["max"], depth["now"])
        if len(reports) < 300:
            try:
                c[f"n{len(reports)}"] = len(reports)
            except RecursionError:  # the interpreter's limit, not the cache's
                pass
            check_invariants(c, allow_over=True)
        depth["now"] -= 1

    c.set_callback(cb)
    for i in range(size + 3):
        c[i] = i
    if how == "set_size":
        c.set_size(size + 20)
        for i in range(20):
            c[f"f{i}"] = i
        reports.clear()
        c.set_size(size)
    else:
        reports.clear()
        c["go"] = 1
    # A debug build of 3.13 allows only 500 units of C recursion, and each
    # entry into a Python callback from C takes two of them.
    assert depth["max"] >= (150 if hasattr(sys, "gettotalrefcount") else 250)
    assert len(set(reports)) == len(reports)
    check_invariants(c)
    assert len(c) == size
    c.set_callback(None)


@pytest.mark.parametrize("pop_victim", [False, True], ids=["insert", "pop_victim_insert"])
@pytest.mark.parametrize("how", ["store", "set_size"])
def test_callback_that_inserts_on_every_eviction_ends(how, pop_victim, unraisable):
    # Each insertion needs an eviction whose callback inserts again: the
    # recursion is the callback's own, and must end in RecursionError with
    # the cache intact, not in a hang or a crash.
    c = IVRO(50)
    count = [0]

    def cb(key, value):
        count[0] += 1
        if pop_victim:
            c.pop(key)
        c[("again", count[0])] = value

    c.update({i: i for i in range(50)})
    c.set_callback(cb)
    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(depth + 150)
    try:
        c.set_size(5) if how == "set_size" else c.__setitem__("go", 0)
    except RecursionError:
        raised = True
    else:
        raised = False
    finally:
        sys.setrecursionlimit(limit)
    assert raised
    c.set_callback(None)
    c.set_size(c.get_size())
    check_invariants(c)
    assert len(c) == c.get_size()


class Teller:
    def __init__(self):
        self.told = []

    def __call__(self, key, value):
        self.told.append(value)

    def method(self, key, value):
        self.told.append(value)


# Every kind of callable the interpreter may refuse to call at its limit,
# before the callback's first line runs: (callback, what it was told).
LIMIT_CALLBACKS = {
    "function": lambda t: (lambda k, v: t.told.append(v), t.told),
    "bound_method": lambda t: (t.method, t.told),
    "call_object": lambda t: (t, t.told),
    "partial": lambda t: (functools.partial(Teller.method, t), t.told),
    "c_method": lambda t: (t.__dict__.__setitem__, t.__dict__.values()),
}
# The values are made beforehand: making one takes a frame of its own. The last ones
# evict nothing, so nothing may refuse them.
LIMIT_OPS = {
    "store": lambda c, new: c.__setitem__("new", new[0]),
    "setdefault": lambda c, new: c.setdefault("new", new[0]),
    "update": lambda c, new: c.update([("new", new[0]), ("new2", new[1])]),
    "set_size": lambda c, new: c.set_size(1),
    "replace": lambda c, new: c.__setitem__("a", new[0]),
    "setdefault_found": lambda c, new: c.setdefault("b", new[0]),
}
EVICTS_NOTHING = ("replace", "setdefault_found")


def _at_depth(n, fn):
    return fn() if n <= 0 else _at_depth(n - 1, fn)


@pytest.mark.parametrize("op", LIMIT_OPS)
@pytest.mark.parametrize("kind", LIMIT_CALLBACKS)
def test_operation_at_the_recursion_limit_loses_no_victim(kind, op):
    # Swept through the last levels below the limit: wherever the
    # interpreter would refuse the callback's call, the operation is refused
    # before it changes anything; elsewhere every victim is reported.
    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(depth + 40)
    outcomes = []
    try:
        for d in range(20, 40):
            callback, told = LIMIT_CALLBACKS[kind](Teller())
            c = IVRO(2, callback)
            c["a"], c["b"] = Val("a"), Val("b")
            before, new = c.items(), (Val("new"), Val("new2"))
            try:
                _at_depth(d, lambda c=c, new=new: LIMIT_OPS[op](c, new))
                outcomes.append("done")
            except RecursionError as e:  # by the cache, or by the interpreter on the way
                outcomes.append("refused" if "IVRO" in str(e) else "not reached")
                assert c.items() == before, "refused, yet changed"
            held = set(c.values())
            left = [v for k, v in before if v not in held and v not in list(told)]
            replaced = op == "replace" and outcomes[-1] == "done"
            assert left == ([before[-1][1]] if replaced else []), "left unreported"
            assert len(c) <= c.get_size()
    finally:
        sys.setrecursionlimit(limit)
    assert "done" in outcomes
    assert ("refused" in outcomes) == (op not in EVICTS_NOTHING)


class MutatingArgs:
    """Arguments for update that change the cache, or themselves, as the
    update reads them."""

    @staticmethod
    def dict_cleared_by_callback(ctx):
        arg = {f"u{i}": Val(f"u{i}") for i in range(6)}
        ctx.cb_action = lambda ctx, k, v: arg.clear()
        return arg

    @staticmethod
    def dict_grown_by_callback(ctx):
        arg = {f"u{i}": Val(f"u{i}") for i in range(6)}
        ctx.cb_action = lambda ctx, k, v: arg.update({f"x{len(arg)}": Val("x")})
        return arg

    @staticmethod
    def mapping_that_clears(ctx):
        class M:
            def keys(self):
                ctx.c.clear()
                return ["m1", "m2"]

            def __getitem__(self, k):
                if len(ctx.c):
                    ctx.c.popitem()
                return Val(k)

        return M()

    @staticmethod
    def pairs_that_clear(ctx):
        def gen():
            for i in range(5):
                ctx.c.clear() if i % 2 else ctx.c.set_size(1 + i)
                yield f"p{i}", Val(f"p{i}")

        return gen()

    @staticmethod
    def itself(ctx):
        ctx.cb_action = CB_ACTIONS["insert"]
        return ctx.c


@pytest.mark.parametrize("make", [m for m in vars(MutatingArgs) if not m.startswith("_")])
def test_update_with_argument_that_changes_under_it(make):
    ctx = Ctx(size=3)
    ctx.fill(["a", "b", "c"])
    arg = getattr(MutatingArgs, make)(ctx)
    ctx.arm(None, budget=20)
    try:
        ctx.c.update(arg)
    except RuntimeError as e:  # as dict.update says of a source dict that changed
        assert str(e) == "dict mutated during update" and make.startswith("dict_")
    arg = ctx.cb_action = None
    check_ctx(ctx)


SCRIPT_CROSS_FEEDING = """
import sys
from _ivro import IVRO
n = int(sys.argv[1])
a, b = IVRO(n), IVRO(n)
a.update((("a", i), i) for i in range(n))
b.update((("b", i), i) for i in range(n))
a.set_callback(b.__setitem__)
b.set_callback(a.__setitem__)
try:
    a["x"] = 1
except RecursionError:
    pass
assert len(a) <= n and len(b) <= n, (len(a), len(b))
a.set_callback(None)
b.set_callback(None)
print(len(set(a.keys()) & set(b.keys())))
"""


SCRIPT_STORE_AT_THE_STACK_LIMIT = """
import sys
sys.setrecursionlimit(1_000_000)
from _ivro import IVRO
c = IVRO(1, lambda k, v: None)
c[0] = 0
def f(n):
    try:
        return list(map(f, [n + 1]))
    except RecursionError:
        try:
            c[n] = n
        except RecursionError:
            pass
        raise
try:
    f(0)
except RecursionError:
    pass
"""


def test_evicting_store_at_the_stack_limit_never_aborts():
    # Interpreters that measure the machine stack let code run between the limit where
    # a call raises RecursionError and the one where they abort, as in a handler of
    # that error. An evicting store there succeeds or raises; it checks for room without
    # ever crossing the second limit. The stack's start moves with the environment.
    aborted = []
    for pad in range(16):
        proc = subprocess.run([sys.executable, "-c", SCRIPT_STORE_AT_THE_STACK_LIMIT],
                              env=dict(os.environ, PAD="x" * (16 * pad)),
                              capture_output=True, text=True, timeout=120)
        if proc.returncode:
            aborted.append((pad, proc.stderr[-300:]))
    assert not aborted


@pytest.mark.parametrize("n", [3, 1000, 200_000])
def test_caches_feeding_each_other_through_c_only(n):
    # Each eviction hands its victim to the other cache's __setitem__, which
    # evicts in turn: nesting that runs no Python frame. Choosing each victim
    # must not cost more the deeper it goes, and the depth must end in
    # RecursionError, not in a C stack overflow. Run apart: that is a crash.
    proc = subprocess.run(
        [sys.executable, "-c", SCRIPT_CROSS_FEEDING, str(n)],
        capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
