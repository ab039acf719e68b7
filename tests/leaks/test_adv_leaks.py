"""Repeats each group of operations, hostile ones included, many times and
checks that nothing accumulates: the reference counts of sentinel keys and
values come back to where they started, and neither the interpreter's
allocated blocks nor the traced memory grow. Run by scripts/leaks.sh
(IVRO_LEAK_CHECK=1); skipped otherwise, as it is slow."""

import copy
import gc
import os
import pickle
import sys
import tracemalloc

import pytest

from _ivro import IVRO

pytestmark = pytest.mark.skipif(
    os.environ.get("IVRO_LEAK_CHECK") != "1", reason="leak checks run through scripts/leaks.sh"
)

ROUNDS = int(os.environ.get("IVRO_LEAK_ROUNDS", "300"))


class Boom(Exception):
    pass


class Key:
    """A sentinel key; its hashing can be made to fail or to act."""

    def __init__(self):
        self.hook = None

    def __hash__(self):
        hook, self.hook = self.hook, None
        if hook is not None:
            hook()
        return 12345

    def __eq__(self, other):
        return self is other


class Value:
    pass


def _raise():
    raise Boom


def swallow(f, *args):
    try:
        f(*args)
    except (Boom, KeyError, TypeError, ValueError, RuntimeError):
        pass


def g_basic(k, v):
    c = IVRO(2)
    c[k] = v
    c[k] = v
    c[k], c.get(k), c.get(k, v), k in c, c.has_key(k), c.__contains__(k)
    c.setdefault(k, v), c.peek_first_item(), c.peek_last_item(), repr(c)
    c.keys(), c.values(), c.items(), c.get_stats(), c.get_size(), len(c)
    c.pop(k), c.pop(k, v)
    c.setdefault(k, v), c.popitem(), c.setdefault(k, v), c.popitem(False)
    c[k] = v
    del c[k]


def g_eviction(k, v):
    seen = []
    c = IVRO(1, lambda *p: seen.append(p))
    c[k] = v
    c[1] = v
    c[k] = v
    c.set_size(3)
    c[2] = v
    c.set_size(1)
    c.update({k: v, 3: v}, x=v)
    c.update([(k, v), (4, v)])
    c.update(IVRO(2))
    other = IVRO(2)
    other[k] = v
    c.update(other)
    c.clear()
    c[k] = v
    c.__init__(2, None)
    c[k] = v  # released with the cache


def g_errors(k, v):
    c = IVRO(2, lambda *p: _raise())
    swallow(c.__getitem__, k)
    swallow(c.__delitem__, k)
    swallow(c.pop, k)
    c.get([], v), c.pop([], v)
    swallow(c.setdefault, [], v)
    swallow(c.__setitem__, [], v)
    swallow(c.update, [(k, v, v)])
    swallow(c.update, [(k, v), ([], v)])
    swallow(IVRO, 0, None)
    swallow(c.__init__, -1)
    swallow(c.popitem)
    c[k] = v
    c[1] = v
    swallow(c.__setitem__, 2, v)  # the callback raises
    swallow(c.set_size, 1)


def g_failed_removal(k, v):
    c = IVRO(1)
    c[k] = v
    k.hook = _raise  # the victim's removal fails
    swallow(c.__setitem__, 1, v)
    k.hook = _raise
    swallow(c.popitem)
    k.hook = _raise
    swallow(c.pop, k)
    c.clear()


def g_callbacks(k, v):
    c = IVRO(2)
    actions = [
        lambda key, val: c.pop(key),
        lambda key, val: c.clear(),
        lambda key, val: c.__setitem__(key, val),
        lambda key, val: c.update({("x", id(val)): val}),
        lambda key, val: c.set_callback(None),
        lambda key, val: c.__init__(2),
        lambda key, val: c.set_size(5),
        lambda key, val: (c.keys(), c.items(), repr(c)),
        lambda key, val: _raise(),
    ]
    for act in actions:
        c.set_callback(act)
        swallow(c.__setitem__, k, v)
        swallow(c.__setitem__, 1, v)
        swallow(c.__setitem__, 2, v)
        swallow(c.set_size, 1)
        c.set_size(2)
    c.set_callback(None)  # breaks the cycle through the closures
    c.clear()


def g_reentrant_keys(k, v):
    c = IVRO(2)
    c[k] = v
    c["b"] = v
    k.hook = lambda: c.clear()
    c.get(k)
    c[k] = v
    k.hook = lambda: c.__setitem__("n", v)
    c[k] = v
    k.hook = lambda: c.popitem()
    swallow(c.pop, k)
    k.hook = None
    c.clear()


class _Fin:
    def __init__(self, c, v):
        self.c, self.v = c, v

    def __del__(self):
        self.c["fin"] = self.v


def g_finalisers(k, v):
    c = IVRO(2)
    c[k] = _Fin(c, v)
    c[k] = v  # replacement releases the finaliser, which inserts
    c[1] = _Fin(c, v)
    del c[1]
    c[2] = _Fin(c, v)
    c.clear()
    c.clear()


def g_pickling(k, v):
    c = IVRO(2, swallow)
    c[k], c[1] = v, v
    c.get(k), c.get(2)
    copy.copy(c)  # holds the sentinels too
    # Pickled without them, and not deep-copied: new instances of their
    # classes, or deepcopy's Python code, keep the interpreter's own caches
    # growing for longer than the rounds here (a plateau, not a leak).
    plain = IVRO(3, swallow)
    plain.update({1: "one", "two": (2.0,)})
    pickle.loads(pickle.dumps(plain))
    c.__setstate__((1, None, 3, 4, 1, (k, v, 1, v, 1.0, v)))  # a stuck entry, a duplicate
    k.hook = _raise  # the key's hashing fails part-way through a restore
    swallow(c.__setstate__, (2, swallow, 0, 0, 0, (1, v, k, v)))
    swallow(c.__setstate__, (2, None, 0, 0, 3, (k, v)))
    swallow(IVRO.__new__(IVRO).__reduce__)
    IVRO[k, v]


# pickle's and copy's own caches settle after some 600 rounds (measured on 3.13: +52 blocks
# in the second 300, +9 in the third, then none), later than the others', and under pytest
# still grow by about 100 blocks now and then over the measured rounds: not one a round, which
# a leak would be, so this group is allowed up to half a block a round.
g_pickling.warm_up = 3
g_pickling.noise_share = 2


GROUPS = [g_basic, g_eviction, g_errors, g_failed_removal, g_callbacks, g_reentrant_keys,
          g_finalisers, g_pickling]


@pytest.mark.parametrize("group", GROUPS, ids=[g.__name__ for g in GROUPS])
def test_repeated_operations_leave_nothing_behind(group, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda u: None)
    k, v = Key(), Value()
    # The interpreter's own caches (specialised code, free lists) keep
    # growing for a while; only then does a steady count mean anything.
    for _ in range(ROUNDS * getattr(group, "warm_up", 1)):
        group(k, v)
    gc.collect()
    refs = sys.getrefcount(k), sys.getrefcount(v)
    blocks = sys.getallocatedblocks()
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    tracemalloc.start()
    try:
        for _ in range(20):
            group(k, v)
        gc.collect()
        # A leak grows every window; the interpreter's own growth (a table
        # that doubles once) does not, so a window that grew gets a second.
        for _window in range(2):
            traced = tracemalloc.get_traced_memory()[0]
            for _ in range(ROUNDS):
                group(k, v)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - traced
            if grown < ROUNDS * 16 // 4:
                break
    finally:
        tracemalloc.stop()
    gc.collect()
    assert (sys.getrefcount(k), sys.getrefcount(v)) == refs
    # A leak of one small object per round would show as ROUNDS blocks or
    # at least 16 bytes per round; allow a little noise below that.
    assert sys.getallocatedblocks() - blocks < ROUNDS // getattr(group, "noise_share", 4)
    assert grown < ROUNDS * 16 // 4, f"traced memory grew by {grown} bytes"
    if total:
        # Exact on a debug interpreter: a group that leaks one reference per
        # call grows the total by at least ROUNDS.
        grown = sys.gettotalrefcount() - total
        assert grown < ROUNDS // 4, f"total reference count grew by {grown} in {ROUNDS} rounds"
