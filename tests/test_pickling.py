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
HEARD = []  # (whose callback, key, value) for every eviction a callback below hears of
CYCLES = []  # caches that reach themselves: emptied after each test, or they would never go


def record_eviction(key, value):  # a function: pickled by reference, never copied
    HEARD.append((None, key, value))


class Owner:  # holds its cache, whose callback is the owner itself or its method
    def __init__(self, as_method):
        self.cache = IVRO(3, self.on_evict if as_method else self)

    def on_evict(self, key, value):
        HEARD.append((self, key, value))

    __call__ = on_evict


class Key:  # its hashing can be made to fail, so that its entry can be made stuck
    def __init__(self, tag):
        self.tag, self.h = tag, 7

    def __hash__(self):
        return hash(self.h)

    def __eq__(self, other):
        return isinstance(other, Key) and other.tag == self.tag


CALLBACKS = {"none": None, "function": record_eviction, "object": False, "bound method": True,
             "lambda": lambda key, value: HEARD.append((None, key, value))}


def fill_stuck(c):  # reported, but their removal failed: they stay, beyond the size
    k, j = Key("k"), Key("j")
    c[k], c[j], c["a"] = "v", "w", "a"
    k.h = j.h = []  # unhashable
    for key in "bc":
        with pytest.raises(TypeError):
            c[key] = key
    k.h = j.h = 7
    return [k, j]


def fill_full(c):  # two evicted, a hit and a miss
    c.update((i, str(i)) for i in range(5))
    c[3], c.get("absent")


CONTENTS = {
    "empty": lambda c: None,
    "full": fill_full,
    "stuck": fill_stuck,
    "self": lambda c: c.update({"me": c, "list": [c], c: "as a key"}),
}


def counterpart(a, b, orig, new):
    if a is orig:
        return b is new
    if isinstance(a, list):
        return len(a) == len(b) and all(counterpart(x, y, orig, new) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


@pytest.fixture(autouse=True)
def _heard():
    HEARD.clear()
    yield
    for c in CYCLES:
        c.set_callback(None)
        c.clear()
    HEARD.clear()
    CYCLES.clear()


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("callback", CALLBACKS)
@pytest.mark.parametrize("contents", CONTENTS)
def test_round_trip(contents, callback, way):
    cb = CALLBACKS[callback]
    owner = Owner(cb) if isinstance(cb, bool) else None
    c = owner.cache if owner else IVRO(3, cb)
    CYCLES.append(c)
    stuck = CONTENTS[contents](c) or []
    before, shallow = len(HEARD), way == "copy"
    if callback == "lambda" and not shallow and way != "deepcopy":
        # pickle's own error, naming the callback (its type depends on the release)
        with pytest.raises((pickle.PicklingError, AttributeError), match="lambda"):
            WAYS[way](c)
        return
    new = WAYS[way](c)
    CYCLES.append(new)
    assert new is not c and len(HEARD) == before, "restoring called the callback"
    assert (new.get_size(), new.get_stats(), len(new)) == (c.get_size(), c.get_stats(), len(c))
    for a, b in zip(sum(c.items(), ()), sum(new.items(), ()), strict=True):
        assert a is b if shallow else counterpart(a, b, c, new)
    if contents != "self":  # the copy's dictionary received the keys oldest first
        assert repr(new) == repr(dict(reversed(new.items())))
    # The copy's first eviction takes its oldest ordinary entry; the stuck
    # ones leave silently on the way.
    expected = next((k for k in reversed(new.keys()) if k not in stuck), ("z", 0))
    for i in range(new.get_size() + 1):
        new[("z", i)] = i
    told = HEARD[before:]
    assert not [k for k in stuck if k in new] and not [k for _, k, _ in told if k in stuck]
    assert [k for _, k, _ in told[:1]] == ([] if cb is None else [expected])
    if owner:  # shared by copy; copied by the others, with the owner holding the copy
        assert (told[0][0] is owner) == shallow and told[0][0].cache is (c if shallow else new)


def test_snapshot_taken_while_an_entry_is_being_evicted():
    # The victim has been reported: the state marks it stuck, and a cache
    # restored from it lets it go without a report.
    states = []
    c = IVRO(2, lambda key, value: states.append(c.__reduce__()[2]))
    CYCLES.append(c)
    c["a"], c["b"], c["c"] = 1, 2, 3
    new = IVRO(5, record_eviction)
    new.__setstate__(states[0][:1] + (record_eviction,) + states[0][2:])
    assert states[0][4] == 1 and new.keys() == ["c", "b", "a"]
    new.set_size(2)
    assert new.keys() == ["c", "b"] and HEARD == []


class Meddler:  # a value whose pickling empties and refills the cache it is in
    def __init__(self, cache):
        self.cache = cache

    def __reduce__(self):
        self.cache.clear()
        self.cache["late"] = 0
        return (str, ("meddled",))


class Refuses:
    def __reduce__(self):
        raise ValueError("not today")


@pytest.mark.parametrize("way", [w for w in WAYS if w != "copy"])
def test_pickling_code_of_keys_and_values(way):
    c = IVRO(4)
    CYCLES.append(c)
    c["a"], c["m"], c["z"] = 1, Meddler(c), 2
    assert WAYS[way](c).items() == [("z", 2), ("m", "meddled"), ("a", 1)]
    c[Refuses()], c["b"] = "bad", 3  # a key that cannot be pickled: the cache is unchanged
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
    # -1 and 2**64 - 1 are what a failed conversion returns: no error here.
    (state(size=-1), ValueError), (state(misses=2**64 - 1, entries=[1]), TypeError),
    (state(stuck=2**63), OverflowError),
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
    owner = Owner(False)
    CYCLES.append(owner.cache)
    c.__setstate__(state(1, owner, 2**64 - 1, 7, 1, ("s", 0, 1, "a", "b", 2, 1.0, "c")))
    assert c.items() == [(1, "c"), ("b", 2), ("s", 0)] and c.get_size() == 1
    assert c.get_stats() == (2**64 - 1, 7) and HEARD == []
    c["new"] = 3  # the stuck one leaves silently, the two oldest ordinary ones by eviction
    assert c.keys() == ["new"] and [k for _, k, _ in HEARD] == ["b", 1]


def test_generic_alias_at_run_time():
    alias = IVRO[str, int]
    assert isinstance(alias, types.GenericAlias) and isinstance(alias(2), IVRO)
    assert (alias.__origin__, alias.__args__) == (IVRO, (str, int))

    class Holder:
        cache: IVRO[str, int]

    assert typing.get_type_hints(Holder) == {"cache": IVRO[str, int]}
