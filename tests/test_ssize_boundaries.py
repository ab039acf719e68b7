"""Limits that depend on the platform's word size: the capacity is a
Py_ssize_t (31 bits of magnitude on 32-bit ARM), the hit and miss counters
are 64-bit everywhere. scripts/armhf.sh runs these with a 32-bit Py_ssize_t.
"""

import sys

import pytest

from _ivro import IVRO

MAX = sys.maxsize


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(("size", "expected"), [(MAX, MAX), (MAX - 1, MAX - 1), (Index(MAX), MAX)])
def test_largest_capacities_are_accepted(size, expected):
    c = IVRO(size)
    assert c.get_size() == expected
    c = IVRO(1)
    c.set_size(size)
    assert c.get_size() == expected


@pytest.mark.parametrize("size", [MAX + 1, 2 * MAX + 2, -MAX - 2, Index(MAX + 1)])
def test_capacities_beyond_ssize_t_overflow(size):
    with pytest.raises(OverflowError):
        IVRO(size)
    c = IVRO(3)
    with pytest.raises(OverflowError):
        c.set_size(size)
    assert c.get_size() == 3


def test_smallest_ssize_t_is_a_value_error_not_an_overflow():
    with pytest.raises(ValueError, match="Size should be a positive number"):
        IVRO(-MAX - 1)


def test_cache_at_maximum_capacity_evicts_only_when_shrunk():
    evicted = []
    c = IVRO(MAX, lambda k, v: evicted.append(k))
    for i in range(100):
        c[i] = i
    assert len(c) == 100 and evicted == []
    c.set_size(1)
    assert evicted == list(range(99)) and c.keys() == [99]
    c.set_size(MAX)
    c[100] = 100
    assert c.keys() == [100, 99] and len(evicted) == 99


def counter_addresses(c):
    """Addresses of the hit and miss counters inside the object, found by
    their values rather than by assuming a layout."""
    # Interpreters built without libffi have no ctypes (the musl ones here).
    ctypes = pytest.importorskip("ctypes")
    c["k"] = 1
    for _ in range(37):
        c["k"]
    for _ in range(59):
        c.get("absent")
    base = id(c)
    words = {}
    for offset in range(0, type(c).__basicsize__ - 7, 4):
        words[offset] = ctypes.c_uint64.from_address(base + offset)
    hits = [w for w in words.values() if w.value == 37]
    misses = [w for w in words.values() if w.value == 59]
    assert len(hits) == 1 and len(misses) == 1, "counters not found as 64-bit words"
    assert c.get_stats() == (37, 59)
    return hits[0], misses[0]


@pytest.mark.parametrize("start", [2**31 - 1, 2**32 - 1, 2**53])
def test_counters_do_not_wrap_at_32_bits(start):
    c = IVRO(2)
    hits, misses = counter_addresses(c)
    hits.value = start
    misses.value = start + 1
    c["k"]
    c.get("absent")
    with pytest.raises(KeyError):
        c.pop("absent")
    assert c.get_stats() == (start + 1, start + 3)
    c.clear()
    assert c.get_stats() == (0, 0)
