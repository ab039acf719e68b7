import sys
import threading
import time
import weakref

import pytest

from _ivro import IVRO

SIZE_ERR = "Size should be a positive number"
CALLABLE_ERR = "parameter must be callable"
UNINIT_ERR = "IVRO object is not initialised: IVRO.__init__ was never called"


def filled(n, size=None, callback=None):
    c = IVRO(size or n, callback)
    for i in range(n):
        c[i] = str(i)
    return c


# --- construction and keyed access ----------------------------------------------

@pytest.mark.parametrize("args, kwargs, exc, msg", [
    ((0,), {}, ValueError, SIZE_ERR), ((-5,), {}, ValueError, SIZE_ERR),
    ((3, 5), {}, TypeError, CALLABLE_ERR), ((0, 5), {}, TypeError, CALLABLE_ERR),
    ((), {}, TypeError, None), (("3",), {}, TypeError, None), ((3.0,), {}, TypeError, None),
    ((2 ** 63,), {}, OverflowError, None), ((3, None, 1), {}, TypeError, None),
    ((), {"sz": 3}, TypeError, None), ((3,), {"size": 3}, TypeError, None),
])
@pytest.mark.parametrize("again", [False, True], ids=["new", "reinit"])
def test_constructor_rejects(args, kwargs, exc, msg, again, rec):
    c = filled(3, callback=rec)
    c[0], c.get("x")
    with pytest.raises(exc) as ei:
        c.__init__(*args, **kwargs) if again else IVRO(*args, **kwargs)
    assert msg is None or str(ei.value) == msg
    # A failed second initialisation leaves everything as it was.
    assert c.items() == [(0, "0"), (2, "2"), (1, "1")]
    assert c.get_size() == 3 and c.get_stats() == (1, 1)
    c[9] = 9
    assert rec.calls == [(1, "1")]


@pytest.mark.parametrize("make, reports", [
    (lambda cb: IVRO(1, None), False), (lambda cb: IVRO(size=1, callback=None), False),
    (lambda cb: IVRO(1), False), (lambda cb: IVRO(1, cb), True),
    (lambda cb: IVRO(size=1, callback=cb), True),
])
def test_constructor_accepts(make, reports, rec):
    c = make(rec)
    assert len(c) == 0 and not c and c.get_size() == 1 and c.get_stats() == (0, 0)
    c["a"], c["b"] = 1, 2
    assert len(c) == 1 and c and rec.calls == ([("a", 1)] if reports else [])


def test_eviction_and_recency(rec):
    c = filled(5, size=3, callback=rec)
    assert c.keys() == [4, 3, 2] and rec.calls == [(0, "0"), (1, "1")]
    assert c[2] == "2"  # a read refreshes: 3 is now the next victim
    c[5] = "5"
    assert c.keys() == [5, 2, 4] and rec.calls[-1] == (3, "3")
    c[4] = "new"  # so does a replacement, which evicts, reports and counts nothing
    assert c.keys() == [4, 5, 2] and len(rec.calls) == 3 and c.get_stats() == (1, 0)
    c.set_size(1)
    for i in range(3):
        c[i] = i
        assert c.keys() == [i]


def test_replacement_keeps_first_key_object():
    c = IVRO(2)
    c[1] = "a"
    c[1.0] = "b"
    [(k, v)] = c.items()
    assert type(k) is int and v == "b" and repr(c) == "{1: 'b'}"


@pytest.mark.parametrize("key", ["missing", (1, 2), None])
def test_miss_and_delete_raise_keyerror_with_the_key(key, rec):
    c = filled(2, callback=rec)
    for op in (c.__getitem__, c.__delitem__):
        with pytest.raises(KeyError) as ei:
            op(key)
        assert ei.value.args == (key,)
    del c[0]
    assert c.keys() == [1] and c.get_stats() == (0, 1) and rec.calls == []


def test_unhashable_keys():
    c = filled(2)
    for op in (c.__getitem__, lambda k: c.__setitem__(k, 1), c.__delitem__,
               IVRO(1).__delitem__):  # even an empty cache hashes the key
        with pytest.raises(TypeError, match="unhashable"):
            op([])
    assert c.keys() == [1, 0] and c.get_stats() == (0, 1)


def test_callback_sees_victim_and_new_entry():
    seen = []
    c = IVRO(2, lambda k, v: seen.append(
        (k, v, len(c), k in c, c.peek_last_item(), c.peek_first_item(), c.get("new"))))
    c["a"], c["b"] = 1, 2
    c["new"] = 3
    assert seen == [("a", 1, 3, True, ("a", 1), ("new", 3), 3)] and c.keys() == ["new", "b"]


# --- capacity, callback and statistics ----------------------------------------

def test_set_size_shrinks_oldest_first_and_sees_new_size():
    sizes, calls = [], []
    c = filled(5, callback=lambda k, v: (calls.append(k), sizes.append(c.get_size())))
    c[0]
    assert c.set_size(2) is None
    assert calls == [1, 2, 3] and sizes == [2, 2, 2]
    assert c.keys() == [0, 4] and c.get_size() == 2
    c.set_size(10)
    assert c.keys() == [0, 4] and c.get_size() == 10 and len(calls) == 3


@pytest.mark.parametrize("args, kwargs, exc", [
    ((0,), {}, ValueError), ((-1,), {}, ValueError), (("2",), {}, TypeError),
    ((), {}, TypeError), ((2, 3), {}, TypeError), ((), {"size": 2}, TypeError),
    ((2 ** 63,), {}, OverflowError), ((2.0,), {}, TypeError),
])
def test_set_size_rejects(args, kwargs, exc, rec):
    c = filled(3, callback=rec)
    with pytest.raises(exc) as ei:
        c.set_size(*args, **kwargs)
    if exc is ValueError:
        assert str(ei.value) == SIZE_ERR
    assert c.get_size() == 3 and c.keys() == [2, 1, 0] and rec.calls == []


def test_set_callback_and_clear(rec):
    c = filled(2)
    assert c.set_callback(rec) is None
    c[2] = 2
    with pytest.raises(TypeError) as ei:
        c.set_callback(5)  # the current callback stays
    assert str(ei.value) == CALLABLE_ERR
    with pytest.raises(TypeError, match="set_callback"):
        c.set_callback()
    c[1], c.get(9)
    assert c.clear() is None and c.keys() == [] and c.get_stats() == (0, 0)
    for i in range(3):  # clear keeps the size and the callback and reports nothing
        c[i] = i
    c.set_callback(None)
    c[9] = 9
    assert rec.calls == [(0, "0"), (0, 0)] and c.get_size() == 2


def test_stats_are_exact_ints():
    c = filled(2)
    for _ in range(1000):
        c[0], c.get("x")
    stats = c.get_stats()
    assert type(stats) is tuple and stats == (1000, 1000) and {type(n) for n in stats} == {int}


# --- callback exceptions ----------------------------------------------------

def test_callback_exception_after_insertion_completes(boom):
    def cb(k, v):
        raise boom(k)
    c = filled(2, callback=cb)
    with pytest.raises(boom) as ei:
        c[2] = "2"
    assert ei.value.args == (0,) and c.keys() == [2, 1]
    with pytest.raises(boom):
        c.setdefault(3)
    assert c.keys() == [3, 2]


def test_set_size_reports_first_error_and_later_ones_as_unraisable(boom, unraisable):
    calls = []
    def cb(k, v):
        calls.append(k)
        raise boom(k)
    c = filled(5, callback=cb)
    with pytest.raises(boom) as ei:
        c.set_size(2)
    assert ei.value.args == (0,) and calls == [0, 1, 2]
    assert [e.args for e in unraisable] == [(1,), (2,)]
    assert c.keys() == [4, 3] and c.get_size() == 2


# --- re-initialisation and uninitialised caches -------------------------------

def test_reinit_makes_a_fresh_cache(rec):
    old_calls = []
    c = filled(3, callback=lambda k, v: old_calls.append(k))
    c[0], c.get("x")
    c.__init__(size=1, callback=rec)
    assert len(c) == 0 and c.get_stats() == (0, 0) and c.get_size() == 1
    c["x"], c["y"] = 1, 2
    assert rec.calls == [("x", 1)] and old_calls == []


@pytest.mark.parametrize("op", [
    len, bool, repr, str, lambda c: c[1], lambda c: c.__setitem__(1, 2),
    lambda c: c.__delitem__(1), lambda c: 1 in c, lambda c: c.__contains__(1),
    lambda c: c.has_key(1), lambda c: c.get(1), lambda c: c.setdefault(1), lambda c: c.pop(1),
    lambda c: c.pop(1, 2), lambda c: c.popitem(), lambda c: c.keys(), lambda c: c.values(),
    lambda c: c.items(), lambda c: c.peek_first_item(), lambda c: c.peek_last_item(),
    lambda c: c.update({1: 2}), lambda c: c.update(), lambda c: c.set_size(3),
    lambda c: c.get_size(), lambda c: c.set_callback(None), lambda c: c.get_stats(),
    lambda c: c.clear(), lambda c: IVRO(2).update(c),
])
def test_uninitialised_cache_raises(op):
    c = IVRO.__new__(IVRO)
    with pytest.raises(RuntimeError) as ei:
        op(c)
    assert str(ei.value) == UNINIT_ERR
    c.__init__(2)
    c[1] = 1
    assert c.keys() == [1]


# --- re-entrant use -----------------------------------------------------------

def reinsert_once(c, k, n):
    if n == 1:
        del c[k]
        c[k] = "again"


def replace_once(c, k, n):
    if n == 1:
        c[k] = "new"


@pytest.mark.parametrize("action, calls, items", [
    (lambda c, k, n: c.__delitem__(k), ["a"], [("c", 3), ("b", 2)]),
    (lambda c, k, n: c.__delitem__("c"), ["a"], [("b", 2)]),
    (lambda c, k, n: c.clear(), ["a"], []),
    (lambda c, k, n: c.set_callback(None), ["a"], [("c", 3), ("b", 2)]),
    (lambda c, k, n: c.set_size(1), ["a", "b"], [("c", 3)]),
    # A fresh entry, or a new value, under the victim's key stays (it was
    # never reported); the surplus it makes goes.
    (reinsert_once, ["a", "b"], [("a", "again"), ("c", 3)]),
    (replace_once, ["a", "b"], [("a", "new"), ("c", 3)]),
], ids=["del victim", "del new", "clear", "drop callback", "shrink", "reinsert victim",
        "replace victim"])
def test_callback_changes_the_cache(action, calls, items):
    seen = []
    c = IVRO(2, lambda k, v: (seen.append(k), action(c, k, len(seen))))
    c["a"], c["b"] = 1, 2
    c["c"] = 3
    assert seen == calls and c.items() == items


def test_callback_inserts_reports_each_eviction_once():
    inserted, evicted = ["a", "b", "c"], []
    def cb(k, v):
        evicted.append(k)
        if len(evicted) <= 20:
            inserted.append(("x", len(evicted)))
            c[inserted[-1]] = 0
    c = IVRO(2, cb)
    for k in inserted[:]:
        c[k] = 0
    assert len(evicted) == len(set(evicted)) == 21
    assert set(evicted).isdisjoint(c.keys()) and set(evicted) | set(c.keys()) == set(inserted)
    assert len(c) <= c.get_size() == 2


def test_set_size_with_inserting_callback_terminates():
    c = filled(4, callback=lambda k, v: c.__setitem__(("re", k), v) if k in range(4) else None)
    c.set_size(1)
    assert len(c) == 1


class Meddling:
    """A key whose comparison with another key empties the cache (once) or raises."""

    def __init__(self, cache, mode=None):
        self.cache, self.mode = cache, mode

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if self.mode == "raise":
            raise ZeroDivisionError("no comparison today")
        if self.mode == "clear":
            self.mode = None
            self.cache.clear()
        return self is other


def outcome(call):
    try:
        return call()
    except Exception as e:
        return type(e)


@pytest.mark.parametrize("op, cleared, raised", [
    (lambda c, k: c[k], KeyError, ZeroDivisionError),
    (lambda c, k: c.get(k, "d"), "d", "d"),
    (lambda c, k: k in c, False, ZeroDivisionError),
    (lambda c, k: c.pop(k, "d"), "d", "d"),
    (lambda c, k: c.__delitem__(k), KeyError, ZeroDivisionError),
    (lambda c, k: c.setdefault(k, "d"), "d", ZeroDivisionError),
    (lambda c, k: c.__setitem__(k, "d"), None, ZeroDivisionError),
])
@pytest.mark.parametrize("mode", ["clear", "raise"])
def test_key_comparison_that_meddles(op, cleared, raised, mode):
    c = IVRO(3)
    stored = Meddling(c)
    c[stored], c["other"] = 1, 2
    stored.mode = mode
    probe = Meddling(c)
    assert outcome(lambda: op(c, probe)) == (cleared if mode == "clear" else raised)
    assert stored.mode != "clear" and len(c) == len(c.keys()) == len(c.values())
    # A failed comparison changes nothing; a cleared cache holds at most the probe.
    assert c.keys() in (([], [probe]) if mode == "clear" else (["other", stored],))


class Unhashable:
    """Hashable until told otherwise."""

    fail = False

    def __hash__(self):
        if self.fail:
            raise ZeroDivisionError("no hash today")
        return 1


@pytest.mark.parametrize("trigger", [lambda c: c.__setitem__("c", 3), lambda c: c.set_size(1)])
def test_failed_victim_removal_puts_it_back(trigger):
    c = IVRO(2)
    bad = Unhashable()
    c[bad], c["b"] = "x", 2
    bad.fail = True
    with pytest.raises(ZeroDivisionError):
        trigger(c)
    assert c.peek_last_item() == (bad, "x") and len(c) == len(c.keys()) > c.get_size()
    bad.fail = False
    c["d"] = 4
    assert len(c) == c.get_size() and bad not in c.keys()


@pytest.mark.parametrize("bad_first, call", [
    (True, lambda c, bad: c.popitem()), (False, lambda c, bad: c.popitem(False)),
    (True, lambda c, bad: c.pop(bad)), (True, lambda c, bad: c.__delitem__(bad)),
])
def test_failed_removal_leaves_entry_in_place(bad_first, call):
    c = IVRO(3)
    bad = Unhashable()
    for k in ([bad, "a"] if bad_first else ["a", bad]):
        c[k] = 1
    before = c.items()
    bad.fail = True
    with pytest.raises(ZeroDivisionError):
        call(c, bad)
    assert c.items() == before
    bad.fail = False
    assert c[bad] == 1


# --- threads --------------------------------------------------------------------

def test_two_threads_share_a_small_cache():
    evicted = []
    def cb(k, v):
        time.sleep(0)  # gives up the GIL in the middle of an eviction
        evicted.append(k)
    c = IVRO(4, cb)
    n = 5000
    def work(tag):
        for i in range(n):
            c[(tag, i)] = i
            c.get((tag, i - 1))
    threads = [threading.Thread(target=work, args=(t,)) for t in "xy"]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads) and len(evicted) == len(set(evicted))
    everything = {(t, i) for t in "xy" for i in range(n)}
    assert set(evicted).isdisjoint(c.keys()) and set(evicted) | set(c.keys()) == everything
    assert len(c) <= c.get_size()


# --- release of keys and values -------------------------------------------------

class Obj:
    pass


@pytest.mark.parametrize("how, kept", [
    (lambda c, k: c.__setitem__("new", 0), ()), (lambda c, k: c.__delitem__(k), ()),
    (lambda c, k: c.clear(), ()), (lambda c, k: c.__setitem__(k, "other"), (0,)),
    (lambda c, k: c.pop(k), ()), (lambda c, k: c.popitem(), ()),
    (lambda c, k: c.set_size(1), ()), (lambda c, k: c.__init__(2), ()),
    (lambda c, k: None, (0, 1)),
])
def test_entries_are_released(how, kept):
    calls = []
    class Callback:
        def __call__(self, k, v):
            calls.append(None)
    key, value, cb, other = Obj(), Obj(), Callback(), Obj()
    refs = [weakref.ref(o) for o in (key, value, cb, other)]
    c = IVRO(2, cb)
    c[key], c["b"] = value, other
    how(c, key)
    del key, value, cb, other
    assert [i for i in (0, 1) if refs[i]() is not None] == list(kept)
    evictions = len(calls)
    del c  # destruction releases everything left, without reporting it
    assert len(calls) == evictions and all(r() is None for r in refs)
