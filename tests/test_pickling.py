"""copy, deepcopy and pickle of a cache, and IVRO[K, V] at run time."""

import copy
import pickle
import types
import typing

import pytest

from _ivro import IVRO

WAYS = {f"pickle{p}": lambda c, p=p: pickle.loads(pickle.dumps(c, p))
        for p in range(pickle.HIGHEST_PROTOCOL + 1)}
WAYS |= {"copy": copy.copy, "deepcopy": copy.deepcopy}
SERIALISING = [w for w in WAYS if w != "copy"]  # the ways that copy keys and values too

HEARD = []  # (whose callback, key, value) for every eviction any callback below hears of
CYCLES = []  # caches that reach themselves: emptied after each test, or they would never go


def record_eviction(key, value):  # a function: pickled by reference, never copied
    HEARD.append((None, key, value))


class Recorder:  # a callable object: copied with the cache by deepcopy and pickle
    def __init__(self):
        self.calls = []

    def __call__(self, key, value):
        self.calls.append((key, value))
        HEARD.append((self, key, value))


class Owner:  # holds the cache, whose callback is one of its methods: a cycle
    def __init__(self, size):
        self.cache = IVRO(size, self.on_evict)

    def on_evict(self, key, value):
        HEARD.append((self, key, value))


class Key:  # a key whose hash can be changed, so that its entry can be made stuck
    def __init__(self, tag):
        self.tag, self.h = tag, 7

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        return isinstance(other, Key) and other.tag == self.tag


def not_picklable(key, value):
    HEARD.append((None, key, value))


not_picklable.__qualname__ = "<lambda>"  # as pickle finds a lambda: by a name it cannot look up

def with_owner(size):
    owner = Owner(size)
    return owner.cache, owner


def with_recorder(size):
    recorder = Recorder()
    return IVRO(size, recorder), recorder


# Each: a cache of size 3 and what HEARD records as the callee of its callback.
CALLBACKS = {
    "none": lambda: (IVRO(3), None),
    "function": lambda: (IVRO(3, record_eviction), None),
    "object": lambda: with_recorder(3),
    "bound method": lambda: with_owner(3),
    "lambda": lambda: (IVRO(3, lambda key, value: HEARD.append((None, key, value))), None),
}


def fill_full(c):
    for i in range(5):
        c[i] = str(i)
    c[3], c.get("absent")


def fill_stuck(c):  # reported, but their removal failed: they stay, beyond the size
    k, j = Key("k"), Key("j")
    c[k], c[j], c["a"] = "v", "w", "a"
    k.h = j.h = 8
    for key in "bc":
        with pytest.raises(KeyError):
            c[key] = key
    k.h = j.h = 7
    return [k, j]


def fill_self(c):  # the cache as a value, inside a value, and as a key
    c["me"], c["list"], c[c] = c, [c], "as a key"


CONTENTS = {"empty": lambda c: None, "full": fill_full, "stuck": fill_stuck, "self": fill_self}


def counterpart(a, b, orig, new, shallow):
    if shallow:
        return a is b
    if a is orig:
        return b is new
    if isinstance(a, list):
        return len(a) == len(b) and all(counterpart(x, y, orig, new, False) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


@pytest.fixture(autouse=True)
def _heard():
    HEARD.clear()
    yield
    HEARD.clear()
    for c in CYCLES:
        c.set_callback(None)
        c.clear()
    CYCLES.clear()


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("callback", CALLBACKS)
@pytest.mark.parametrize("contents", CONTENTS)
def test_round_trip(contents, callback, way):
    c, callee = CALLBACKS[callback]()
    CYCLES.append(c)
    stuck = CONTENTS[contents](c) or []
    before = len(HEARD)
    if callback == "lambda" and way.startswith("pickle"):
        # pickle's own error, naming the callback (its type depends on the release)
        with pytest.raises((pickle.PicklingError, AttributeError), match="lambda"):
            WAYS[way](c)
        return
    new = WAYS[way](c)
    CYCLES.append(new)
    shallow = way == "copy"
    assert new is not c and len(HEARD) == before, "restoring called the callback"
    assert (new.get_size(), new.get_stats(), len(new)) == (c.get_size(), c.get_stats(), len(c))
    for a, b in zip(c.items(), new.items(), strict=True):
        assert counterpart(a[0], b[0], c, new, shallow) and counterpart(a[1], b[1], c, new, shallow)
    if contents != "self":  # the copy's dictionary received the keys oldest first
        assert repr(new) == repr(dict(reversed(new.items())))
    # The copy's first eviction takes its oldest ordinary entry; a stuck one
    # leaves silently on the way.
    expected = next((k for k in reversed(new.keys()) if k not in stuck), ("z", 0))
    for i in range(new.get_size() + 1):
        new[("z", i)] = i
    assert not [k for k in stuck if k in new]
    told = HEARD[before:]
    assert not [k for _, k, _ in told if k in stuck]
    assert [k for _, k, _ in told[:1]] == ([] if callback == "none" else [expected])
    if callee is not None:  # shared by copy; copied, with what it holds, by the others
        assert (told[0][0] is callee) == shallow
        if callback == "bound method":
            assert told[0][0].cache is (c if shallow else new)


class CopiesItsCache:  # a callback that copies the cache it serves, once
    def __init__(self, way):
        self.way, self.copies = way, []

    def __call__(self, key, value):
        if self.way is not None:
            way, self.way = self.way, None
            self.copies.append(way(self.cache))
        HEARD.append((self, key, value))


@pytest.mark.parametrize("way", WAYS)
def test_copy_taken_while_an_entry_is_being_evicted(way):
    # The victim has been reported: the copy holds it stuck, and lets it go
    # without a report.
    callback = CopiesItsCache(WAYS[way])
    c = callback.cache = IVRO(2, callback)
    c["a"], c["b"], c["c"] = 1, 2, 3
    (new,) = callback.copies
    CYCLES.extend((c, new))
    assert new.keys() == ["c", "b", "a"] and c.keys() == ["c", "b"]
    before = len(HEARD)
    new.set_size(2)
    assert new.keys() == ["c", "b"] and len(HEARD) == before


class Meddler:  # a value whose own pickling empties and refills the cache
    def __init__(self, cache):
        self.cache = cache

    def __reduce__(self):
        self.cache.clear()
        self.cache.update({"late": 0})
        return (str, ("meddled",))


class Refuses:
    def __reduce__(self):
        raise ValueError("not today")


@pytest.mark.parametrize("way", SERIALISING)
def test_pickling_code_of_keys_and_values_meets_a_whole_snapshot(way):
    c = IVRO(4)
    c["a"], c["m"], c["z"] = 1, Meddler(c), 2
    CYCLES.append(c)
    new = WAYS[way](c)
    assert new.items() == [("z", 2), ("m", "meddled"), ("a", 1)]
    assert c.items() == [("late", 0)]
    c[Refuses()], c["b"] = "bad", 3
    c["late"]
    state = (c.items(), c.get_stats())
    with pytest.raises(ValueError, match="not today"):
        WAYS[way](c)
    assert (c.items(), c.get_stats()) == state


@pytest.mark.parametrize("call", [*WAYS.values(), IVRO.__reduce__,
                                  lambda c: c.__setstate__(IVRO(1).__reduce__()[2])])
def test_uninitialised_cache(call):
    with pytest.raises(RuntimeError, match="IVRO object is not initialised"):
        call(IVRO.__new__(IVRO))


def state(size=3, callback=None, hits=0, misses=0, stuck=0, entries=()):
    return (size, callback, hits, misses, stuck, entries)


@pytest.mark.parametrize("given, exc", [
    (None, TypeError), (state()[:5], TypeError), (state(size=0), ValueError),
    (state(size=1.0), TypeError), (state(callback=1), TypeError),
    (state(misses=-1), OverflowError), (state(hits=2**64), OverflowError),
    (state(entries=[1, 2]), TypeError), (state(entries=(1,)), TypeError),
    (state(stuck=2, entries=(1, 2)), ValueError), (state(stuck=-1), ValueError),
])
def test_setstate_refuses_a_bad_state(given, exc):
    c = IVRO(2, record_eviction)
    c[1] = "one"
    with pytest.raises(exc):
        c.__setstate__(given)
    c[2], c[3] = "two", "three"
    assert c.items() == [(3, "three"), (2, "two")] and HEARD == [(None, 1, "one")]


def test_setstate_replaces_everything():
    c = IVRO(2, record_eviction)
    c["old"] = 0
    c.get("old")
    # 1 and 1.0 are one key: the later value wins, as in an assignment. Two
    # ordinary entries over a size of 1: restoring evicts nothing all the same.
    c.__setstate__(state(1, Recorder(), 2**64 - 1, 7, 1, ("s", 0, 1, "a", "b", 2, 1.0, "c")))
    assert c.items() == [(1, "c"), ("b", 2), ("s", 0)] and c.get_size() == 1
    assert c.get_stats() == (2**64 - 1, 7) and HEARD == []
    c["new"] = 3  # the stuck one leaves silently, the two oldest ordinary ones by eviction
    assert c.keys() == ["new"] and [k for _, k, _ in HEARD] == ["b", 1]


def test_generic_alias_at_run_time():
    alias = IVRO[str, int]
    assert isinstance(alias, types.GenericAlias)
    assert (alias.__origin__, alias.__args__) == (IVRO, (str, int))
    assert isinstance(alias(2), IVRO)

    class Holder:
        cache: IVRO[str, int]

    assert typing.get_type_hints(Holder) == {"cache": IVRO[str, int]}
