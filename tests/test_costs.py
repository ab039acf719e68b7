"""What each operation costs in key hashes and in allocations.

Counted, never timed. The hash counts are the current figures: a change in
either direction should be deliberate (and the README's table updated).
Allocations are compared with a plain dict running the same loop, so that
the interpreter's own allocations (frames, iterators, dict tables) cancel.
"""

import gc
import struct
import sys
import tracemalloc
from types import SimpleNamespace

import pytest

from _ivro import IVRO

# The object header and four fields: 48 bytes on 64-bit builds with the GIL, 64 without.
NODE = object.__basicsize__ + 4 * struct.calcsize("P")
SIZE = 4


class CountingKey:
    """A key that counts every call of its __hash__."""

    hashes = 0
    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        CountingKey.hashes += 1
        return hash(self.v)

    def __eq__(self, other):
        return isinstance(other, CountingKey) and self.v == other.v

    @staticmethod
    def reset():
        CountingKey.hashes = 0


def raises_key_error(fn, *args):
    with pytest.raises(KeyError):
        fn(*args)


def ignore(key, value):
    pass


# (operation, hashes it costs). Each operation gets a fresh full cache of
# SIZE entries and the keys `hit` (in the cache, not the oldest), `new` and
# `absent` (never inserted); operations that first change the set-up reset
# the count themselves.
HASHES = {
    "c[k] hit": (lambda c, k: c[k.hit], 1),
    "c[k] miss": (lambda c, k: raises_key_error(c.__getitem__, k.absent), 1),
    "get hit": (lambda c, k: c.get(k.hit), 1),
    "get miss": (lambda c, k: c.get(k.absent, 0), 1),
    "in hit": (lambda c, k: k.hit in c, 1),
    "in miss": (lambda c, k: k.absent in c, 1),
    "has_key": (lambda c, k: c.has_key(k.hit), 1),
    "replace c[k]=v": (lambda c, k: c.__setitem__(k.hit, 0), 1),
    # A new key: one probe that inserts, and the victim once to take it out
    # of the dictionary.
    "insert with eviction": (lambda c, k: c.__setitem__(k.new, 0), 2),
    "insert with eviction and callback": (
        lambda c, k: (c.set_callback(ignore), CountingKey.reset(), c.__setitem__(k.new, 0)), 2),
    "insert with room": (
        lambda c, k: (c.set_size(SIZE + 1), CountingKey.reset(), c.__setitem__(k.new, 0)), 1),
    "del c[k]": (lambda c, k: c.__delitem__(k.hit), 1),
    "pop hit": (lambda c, k: c.pop(k.hit), 1),
    "pop miss with default": (lambda c, k: c.pop(k.absent, 0), 1),
    "popitem": (lambda c, k: c.popitem(), 1),
    "setdefault hit": (lambda c, k: c.setdefault(k.hit, 0), 1),
    # One probe that finds or inserts, as above.
    "setdefault miss with eviction": (lambda c, k: c.setdefault(k.new, 0), 2),
    "update one new pair": (
        lambda c, k: (pair := {k.new: 0}, CountingKey.reset(), c.update(pair)), 2),
    "set_size evicting two": (lambda c, k: c.set_size(SIZE - 2), 2),
    "views and peeks": (
        lambda c, k: (c.keys(), c.values(), c.items(), c.peek_first_item(),
                      c.peek_last_item(), repr(c), len(c)), 0),
}


@pytest.mark.parametrize("name", HASHES)
def test_hashes_per_operation(name):
    operation, expected = HASHES[name]
    keys = [CountingKey(i) for i in range(SIZE)]
    c = IVRO(SIZE)
    for key in keys:
        c[key] = key.v
    k = SimpleNamespace(hit=keys[1], new=CountingKey("new"), absent=CountingKey("absent"))
    CountingKey.reset()
    operation(c, k)
    assert CountingKey.hashes == expected


# -- allocations ---------------------------------------------------------------

needs_pymalloc = pytest.mark.skipif(
    sys.getallocatedblocks() == 0, reason="needs the interpreter's own small-object allocator")

N = 2000


def allocation_deltas(loop, obj, data):
    """(bytes still held, peak bytes, blocks still held) that one run of
    `loop(obj, data)` adds, after an untimed run has warmed it."""
    loop(obj, data)
    gc.collect()
    gc.disable()
    tracemalloc.start()
    try:
        blocks = sys.getallocatedblocks()
        start = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        loop(obj, data)
        held, peak = tracemalloc.get_traced_memory()
        blocks = sys.getallocatedblocks() - blocks
    finally:
        tracemalloc.stop()
        gc.enable()
    return held - start, peak - start, blocks


def subscript(c, keys):
    for k in keys:
        c[k]


def get(c, keys):
    g = c.get
    for k in keys:
        g(k)


def contains(c, keys):
    for k in keys:
        k in c  # noqa: B015 - the membership test is what is counted


def store(c, keys):
    for k in keys:
        c[k] = None


def filled(n, keys, callback=None):
    c = IVRO(n, callback) if callback else IVRO(n)
    d = {}
    for k in keys:
        c[k] = d[k] = k
    return c, d


@needs_pymalloc
@pytest.mark.parametrize("loop, present", [
    (subscript, True), (get, True), (get, False), (contains, True), (contains, False),
    (store, True),
], ids=["c[k] hit", "get hit", "get miss", "in hit", "in miss", "replace"])
def test_keyed_access_allocates_no_more_than_a_dict(loop, present):
    keys = [10**9 + i for i in range(N)]
    probe = keys if present else [10**10 + i for i in range(N)]
    c, d = filled(N, keys)
    # Bytes held and peak are exact; the block count can be off by one or
    # two between runs (3.12; Debian's 3.13 on aarch64) for reasons of the
    # interpreter's own.
    c_held, c_peak, c_blocks = allocation_deltas(loop, c, probe * 5)
    d_held, d_peak, d_blocks = allocation_deltas(loop, d, probe * 5)
    assert (c_held, c_peak) == (d_held, d_peak)
    assert abs(c_blocks - d_blocks) <= 2


def growth(obj, keys):
    """(bytes, blocks) that inserting `keys` into an empty `obj` leaves held."""
    gc.collect()
    tracemalloc.start()
    try:
        blocks = sys.getallocatedblocks()
        start = tracemalloc.get_traced_memory()[0]
        store(obj, keys)
        return tracemalloc.get_traced_memory()[0] - start, sys.getallocatedblocks() - blocks
    finally:
        tracemalloc.stop()


@needs_pymalloc
def test_insertion_allocates_one_node():
    keys = [10**9 + i for i in range(N)]
    c_held, c_blocks = growth(IVRO(10 * N), keys)
    d_held, d_blocks = growth({}, keys)
    # Both dictionaries grow alike; beyond that, one node per entry.
    assert c_held - d_held == N * NODE
    assert abs(c_blocks - d_blocks - N) <= 1


def churn_cache(c, pairs):
    for k, _old in pairs:
        c[k] = None


def churn_dict(d, pairs):
    for k, old in pairs:
        d[k] = None
        del d[old]


def churn_dict_callback(d, pairs):
    for k, old in pairs:
        d[k] = None
        ignore(old, dict.pop(d, old))


@needs_pymalloc
@pytest.mark.parametrize("callback", [None, ignore], ids=["plain", "callback"])
def test_eviction_reuses_the_victims_node(callback):
    """Insertions into a full cache: the dict under it does what a plain dict
    doing insert-and-delete does; the cache adds at most one parked node,
    however many insertions there are."""
    keys = [10**9 + i for i in range(N)]
    ring = keys + [10**10 + i for i in range(4 * N)]
    pairs = list(zip(ring[N:], ring))
    c, d = filled(N, keys, callback)
    floor = churn_dict if callback is None else churn_dict_callback
    # Each run consumes half of the pairs, so warm-up and measured run differ.
    half = len(pairs) // 2
    data = iter([pairs[:half], pairs[half:]])
    c_held, c_peak, c_blocks = allocation_deltas(lambda o, _: churn_cache(o, next(data)), c, None)
    data = iter([pairs[:half], pairs[half:]])
    d_held, d_peak, d_blocks = allocation_deltas(lambda o, _: floor(o, next(data)), d, None)
    assert -1 <= c_blocks - d_blocks <= 2
    assert 0 <= c_held - d_held <= NODE
    assert 0 <= c_peak - d_peak <= NODE
