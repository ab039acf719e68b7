"""Several threads on one cache, with a callback and keys that give up the
interpreter lock in the middle of every operation."""

import sys
import threading
import time

import pytest

from _ivro import IVRO

from hostile import check_invariants


class SlowKey:
    __slots__ = ("tag",)

    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        time.sleep(0)
        return hash(self.tag) & 0xFF  # collisions, so that __eq__ runs too

    def __eq__(self, other):
        time.sleep(0)
        return isinstance(other, SlowKey) and other.tag == self.tag

    def __repr__(self):
        return f"SlowKey({self.tag!r})"


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@pytest.mark.parametrize("mode", ["insert", "mixed"])
def test_threads_report_every_eviction_once(mode, fast_switching):
    c = IVRO(8)
    inserted, reported, removed, failures = [], [], [], []

    def cb(key, value):
        reported.append(value)
        time.sleep(0)
        # One items() call is one snapshot; separate keys() and values()
        # calls may see another thread's change between them.
        if any(k.tag != v for k, v in c.items()):
            failures.append("an item pairs a key with another key's value")
        if mode == "mixed" and value[-1] % 7 == 0 and len(value) < 5:
            v = ("cb",) + value
            inserted.append(v)
            c[SlowKey(v)] = v

    c.set_callback(cb)

    def put(tid, i):
        v = (tid, i)
        inserted.append(v)
        key = SlowKey(v)
        if mode == "insert" or i % 3:
            c[key] = v
        elif i % 2:
            c.setdefault(key, v)
        else:
            c.update({key: v})

    def other_ops(tid, i):
        probe = SlowKey((tid, i - 1))
        r = c.pop(probe, None)
        if r is not None:
            removed.append(r)
        c.get(SlowKey((tid - 1, i)))
        SlowKey((tid, i - 2)) in c  # noqa: B015
        if i % 10 == 0 and len(c):
            try:
                removed.append(c.popitem(i % 20 == 0)[1])
            except KeyError:  # emptied by another thread meanwhile
                pass
        if i % 25 == 0:
            c.set_size(3)
            c.set_size(8)
        c.items(), c.peek_first_item(), c.peek_last_item()

    def worker(tid):
        try:
            for i in range(300):
                put(tid, i)
                if mode == "mixed":
                    other_ops(tid, i)
        except Exception as e:  # noqa: BLE001
            failures.append(repr(e))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "threads did not finish"
    assert not failures, failures
    c.set_callback(None)
    check_invariants(c)
    remaining = c.values()
    dups = [v for v in set(reported) if reported.count(v) > 1]
    assert not dups, f"reported twice: {dups}"
    assert len(set(removed)) == len(removed)
    # Every inserted value is still in, or left and was either reported or
    # popped; a victim popped while its callback runs counts as both.
    assert not set(remaining) & (set(reported) | set(removed))
    assert set(reported) | set(removed) | set(remaining) == set(inserted)
    assert len(set(inserted)) == len(inserted)
    c.clear()
