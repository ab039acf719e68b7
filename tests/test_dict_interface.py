import sys
from collections import OrderedDict, UserDict

import pytest

from _ivro import IVRO

EMPTY_ERR = "popitem(): IVRO dict is empty"
SIZE_ERR = "Size should be a positive number"
ABC = ["c", "b", "a"]  # keys() after inserting a, b, c


@pytest.fixture
def abc(rec):
    c = IVRO(4, rec)
    c["a"], c["b"], c["c"] = 1, 2, 3
    return c


class FailingTruth:
    def __bool__(self):
        raise ZeroDivisionError


# (call, result, stats after, keys() after); the cache holds a, b, c (capacity 4).
TABLE = {
    "get hit": (lambda c: c.get("a"), 1, (1, 0), ["a", "c", "b"]),
    "get miss": (lambda c: c.get("z"), None, (0, 1), ABC),
    "get default": (lambda c: c.get("z", 5), 5, (0, 1), ABC),
    "get keywords": (lambda c: c.get(key="z", default=5), 5, (0, 1), ABC),
    "get keyword hit": (lambda c: c.get(key="b"), 2, (1, 0), ["b", "c", "a"]),
    "get unhashable": (lambda c: c.get([], 5), 5, (0, 1), ABC),
    "setdefault hit": (lambda c: c.setdefault("a", 9), 1, (1, 0), ["a", "c", "b"]),
    "setdefault miss": (lambda c: c.setdefault("z"), None, (0, 1), ["z"] + ABC),
    "setdefault default": (lambda c: c.setdefault("z", 7), 7, (0, 1), ["z"] + ABC),
    "pop hit": (lambda c: c.pop("b"), 2, (1, 0), ["c", "a"]),
    "pop keywords": (lambda c: c.pop(key="b", default=0), 2, (1, 0), ["c", "a"]),
    "pop default": (lambda c: c.pop("z", 0), 0, (0, 1), ABC),
    "pop None default": (lambda c: c.pop("z", None), None, (0, 1), ABC),
    "pop unhashable default": (lambda c: c.pop([], 0), 0, (0, 1), ABC),
    "popitem": (lambda c: c.popitem(), ("a", 1), (0, 0), ["c", "b"]),
    "popitem True": (lambda c: c.popitem(True), ("a", 1), (0, 0), ["c", "b"]),
    "popitem False": (lambda c: c.popitem(False), ("c", 3), (0, 0), ["b", "a"]),
    "popitem keyword": (lambda c: c.popitem(least_recent=False), ("c", 3), (0, 0), ["b", "a"]),
    "popitem falsy": (lambda c: c.popitem([]), ("c", 3), (0, 0), ["b", "a"]),
    "popitem truthy": (lambda c: c.popitem("yes"), ("a", 1), (0, 0), ["c", "b"]),
    "has_key": (lambda c: c.has_key("a"), True, (0, 0), ABC),
    "has_key absent": (lambda c: c.has_key("z"), False, (0, 0), ABC),
    "__contains__": (lambda c: c.__contains__("a"), True, (0, 0), ABC),
    "in": (lambda c: "a" in c, True, (0, 0), ABC),
    "not in": (lambda c: "z" in c, False, (0, 0), ABC),
    "peek first": (lambda c: c.peek_first_item(), ("c", 3), (0, 0), ABC),
    "peek last": (lambda c: c.peek_last_item(), ("a", 1), (0, 0), ABC),
    "keys": (lambda c: c.keys(), ABC, (0, 0), ABC),
    "values": (lambda c: c.values(), [3, 2, 1], (0, 0), ABC),
    "items": (lambda c: c.items(), [("c", 3), ("b", 2), ("a", 1)], (0, 0), ABC),
    "update": (lambda c: c.update([("a", 0)], b=0), None, (0, 0), ["b", "a", "c"]),
    "pop absent": (lambda c: c.pop("z"), KeyError("z"), (0, 1), ABC),
    "pop absent keyword": (lambda c: c.pop(key="z"), KeyError("z"), (0, 1), ABC),
    "pop unhashable": (lambda c: c.pop([]), TypeError(), (0, 1), ABC),
    "setdefault unhashable": (lambda c: c.setdefault([]), TypeError(), (0, 1), ABC),
    "has_key unhashable": (lambda c: c.has_key([]), TypeError(), (0, 0), ABC),
    "__contains__ unhashable": (lambda c: c.__contains__([]), TypeError(), (0, 0), ABC),
    "in unhashable": (lambda c: [] in c, TypeError(), (0, 0), ABC),
    "popitem empty": (lambda c: c.clear() or c.popitem(), KeyError(EMPTY_ERR), (0, 0), []),
    "popitem False empty": (lambda c: c.clear() or c.popitem(False), KeyError(EMPTY_ERR),
                            (0, 0), []),
    "popitem failing truth": (lambda c: c.popitem(FailingTruth()), ZeroDivisionError(), (0, 0),
                              ABC),
    "set_size 0": (lambda c: c.set_size(0), ValueError(SIZE_ERR), (0, 0), ABC),
    "set_size -1": (lambda c: c.set_size(-1), ValueError(SIZE_ERR), (0, 0), ABC),
    "set_size 2**64": (lambda c: c.set_size(2**64),
                       OverflowError("Python int too large to convert to C ssize_t"), (0, 0), ABC),
    # Empty ** is no keyword; update takes any keyword dict as dict.update does.
    "empty **": (lambda c: (c.setdefault("a", **{}), c.has_key("a", **{}), c.popitem(**{}),
                            c.set_size(4, **{}), c.update({"z": 0}, **{1: 2})),
                 (1, True, ("b", 2), None, None), (1, 0), [1, "z", "a", "c"]),
}


@pytest.mark.parametrize("call, result, stats, order", TABLE.values(), ids=TABLE.keys())
def test_results_counting_and_recency(abc, rec, call, result, stats, order):
    try:
        got = call(abc)
    except Exception as e:
        got = e
    assert type(got) is type(result)
    if isinstance(result, Exception):
        assert not result.args or got.args == result.args
    else:
        assert got == result
    assert abc.get_stats() == stats and abc.keys() == order and rec.calls == []


NOARGS = ["keys", "values", "items", "get_size", "clear", "get_stats",
          "peek_first_item", "peek_last_item"]


def unexpected(word):  # CPython's parser changed its words in 3.13
    if sys.version_info >= (3, 13):
        return f"this function got an unexpected keyword argument '{word}'"
    return f"'{word}' is an invalid keyword argument for this function"


# Argument errors word for word, as each form of call reports them: the
# calling convention behind a method may change, these may not. "f" is the
# method fetched first (a bound method object), which the interpreter calls
# by another path than c.m(...). None: any text.
ARGUMENT_ERRORS = {
    "c.setdefault()": "function takes at least 1 argument (0 given)",
    "c.setdefault('a', 1, 2)": "function takes at most 2 arguments (3 given)",
    "c.setdefault('a', default=1)": "IVRO.setdefault() takes no keyword arguments",
    "c.setdefault(key='a')": "IVRO.setdefault() takes no keyword arguments",
    "IVRO.setdefault(c, 'a', default=1)": "IVRO.setdefault() takes no keyword arguments",
    # setdefault, has_key, set_size and set_callback take the fast convention, where the
    # interpreter names a bound method object as it names the method, and
    # checks a ** dict's keys before it looks for keywords at all.
    "f = c.setdefault; f('a', default=1)": "IVRO.setdefault() takes no keyword arguments",
    "c.setdefault('a', **{1: 2})": "keywords must be strings",
    "IVRO.setdefault()": "unbound method IVRO.setdefault() needs an argument",
    "c.has_key()": "function takes exactly 1 argument (0 given)",
    "c.has_key('a', 'b')": "function takes exactly 1 argument (2 given)",
    "c.has_key(key='a')": "IVRO.has_key() takes no keyword arguments",
    "f = c.has_key; f(key='a')": "IVRO.has_key() takes no keyword arguments",
    "c.has_key('a', **{1: 2})": "keywords must be strings",
    "c.popitem(True, 1)": "function takes at most 1 argument (2 given)",
    "c.popitem(1, least_recent=True)": "function takes at most 1 argument (2 given)",
    "c.popitem(last=True)": unexpected("last"),
    "f = c.popitem; f(last=1)": unexpected("last"),
    "c.popitem(least_recent=True, x=1)": "function takes at most 1 keyword argument (2 given)",
    "c.popitem(**{1: 2})": "keywords must be strings",
    "IVRO.popitem(1)": "descriptor 'popitem' for '_ivro.IVRO' objects doesn't apply to a 'int' "
                       "object",
    "c.set_size()": "function takes exactly 1 argument (0 given)",
    "c.set_size(1, 2)": "function takes exactly 1 argument (2 given)",
    "c.set_size(size=3)": "IVRO.set_size() takes no keyword arguments",
    "f = c.set_size; f(size=3)": "IVRO.set_size() takes no keyword arguments",
    "c.set_size(3, **{1: 2})": "keywords must be strings",
    "c.set_size('3')": "'str' object cannot be interpreted as an integer",
    "c.set_size(None)": "'NoneType' object cannot be interpreted as an integer",
    "c.update({}, {})": "function takes at most 1 argument (2 given)",
    "IVRO.update()": "unbound method IVRO.update() needs an argument",
    "c.set_callback()": "set_callback() takes exactly 1 argument (0 given)",
    "c.set_callback(None, None)": "set_callback() takes exactly 1 argument (2 given)",
    "c.set_callback(callback=None)": "IVRO.set_callback() takes no keyword arguments",
    "f = c.set_callback; f(callback=None)": "IVRO.set_callback() takes no keyword arguments",
    "c.set_callback(1)": "parameter must be callable",
    "c.__contains__(key='a')": None,
    "c.__contains__()": None,
    "c.get()": "function missing required argument 'key' (pos 1)",
    "c.get('a', 1, 2)": "function takes at most 2 arguments (3 given)",
    "c.get('a', dflt=1)": unexpected("dflt"),
    "c.pop()": "function missing required argument 'key' (pos 1)",
    "c.pop('a', 1, 2)": "function takes at most 2 arguments (3 given)",
    **{f"c.{m}(1)": None for m in NOARGS},
    **{f"c.{m}(x=1)": None for m in NOARGS},
}


@pytest.mark.parametrize("source, message", ARGUMENT_ERRORS.items(), ids=ARGUMENT_ERRORS)
def test_argument_conventions(abc, rec, source, message):
    with pytest.raises(TypeError) as caught:
        exec(source, {"c": abc, "IVRO": IVRO})
    assert message is None or str(caught.value) == message
    assert abc.keys() == ABC and abc.get_stats() == (0, 0) and abc.get_size() == 4
    abc["d"], abc["e"] = 4, 5
    assert rec.calls == [("a", 1)]


def test_setdefault_on_full_cache_evicts(rec):
    c = IVRO(2, rec)
    c["a"], c["b"] = 1, 2
    assert c.setdefault("c") is None
    assert c.items() == [("c", None), ("b", 2)] and rec.calls == [("a", 1)]


# --- views and peeks --------------------------------------------------------------

def test_views_newest_first_as_fresh_lists():
    c = IVRO(3)
    assert c.keys() == c.values() == c.items() == []
    assert c.peek_first_item() is None and c.peek_last_item() is None
    for i in range(5):
        c[i] = str(i)
    keys = c.keys()
    assert keys == [4, 3, 2] and c.values() == ["4", "3", "2"]
    assert c.items() == [(4, "4"), (3, "3"), (2, "2")]
    keys.clear()
    assert c.keys() == [4, 3, 2]


def test_peeks_do_not_change_the_next_victim(abc, rec):
    abc["d"] = 4
    for _ in range(3):
        assert abc.peek_last_item() == ("a", 1) and abc.peek_first_item() == ("d", 4)
    abc["e"] = 5
    assert rec.calls == [("a", 1)] and abc.get_stats() == (0, 0)


# --- update -------------------------------------------------------------------------

@pytest.mark.parametrize("size, keys, evicted", [
    (3, ["z", "b", "a"], []), (2, ["z", "b"], [("a", 1)]),
])
def test_update_dict_then_keywords(rec, size, keys, evicted):
    c = IVRO(size, rec)
    assert c.update({"a": 1, "b": 2}, z=3) is None
    assert c.keys() == keys and rec.calls == evicted


class KeysOnly:
    """A mapping in the loosest sense: keys() and item access."""

    def keys(self):
        return ["x", "y"]

    def __getitem__(self, key):
        return key.upper()


@pytest.mark.parametrize("other", [
    [("x", "X"), ("y", "Y")], (("x", "X"), ["y", "Y"]), iter([("x", "X"), ("y", "Y")]),
    ["xX", "yY"], KeysOnly(), UserDict(x="X", y="Y"), type("D", (dict,), {})(x="X", y="Y"),
])
def test_update_accepts_what_dict_update_accepts(other):
    c = IVRO(5)
    c.update(other)
    assert c.items() == [("y", "Y"), ("x", "X")]


def test_update_from_another_cache_keeps_its_order(rec):
    src = IVRO(4)
    src["p"], src["q"], src["r"] = 1, 2, 3
    src["p"], src.get("nope")
    c = IVRO(2, rec)
    c.update(src)
    assert c.items() == [("p", 1), ("r", 3)] and rec.calls == [("q", 2)]
    assert src.keys() == ["p", "r", "q"] and src.get_stats() == (1, 1)
    c.update(c)
    assert c.items() == [("p", 1), ("r", 3)]


class KeysFail:
    def keys(self):
        return 1 / 0


class KeysLookupFail:  # something other than AttributeError
    keys = property(lambda self: 1 / 0)


class ItemFail(KeysOnly):
    def __getitem__(self, key):
        raise LookupError(key)


class UnhashableKey(KeysOnly):
    def keys(self):
        return [[1]]


class KeysNotIterable(KeysOnly):
    def keys(self):
        return 5


class KeysFailPartWay(KeysOnly):  # dict.update reads them all before it stores
    def keys(self):
        yield "a"
        raise ZeroDivisionError

    def __getitem__(self, key):
        return 1


class PairsFail:
    def __iter__(self):
        yield ("a", 1)
        raise ZeroDivisionError


class NotAPair:
    def __iter__(self):
        raise ValueError("no pair here")


@pytest.mark.parametrize("bad", [
    5, None, [1], [(1, 2, 3)], ["abc"], [[1]], [("a", 1), 7],
    KeysFail(), KeysLookupFail(), ItemFail(), UnhashableKey(), PairsFail(), [NotAPair()],
    KeysNotIterable(), KeysFailPartWay(),
])
def test_update_errors_match_dict(bad):
    d = {}
    with pytest.raises(Exception) as expected:
        d.update(bad)
    c = IVRO(5)
    with pytest.raises(type(expected.value)) as got:
        c.update(bad)
    assert str(got.value) == str(expected.value)
    assert c.items() == list(reversed(d.items()))


def test_update_stops_at_first_failing_pair():
    c = IVRO(5)
    with pytest.raises(TypeError, match="unhashable"):
        c.update([("a", 1), ([], 2), ("b", 3)], k=4)
    assert c.keys() == ["a"]


def test_update_stops_at_callback_exception(boom):
    def cb(k, v):
        raise boom(k)
    c = IVRO(1, cb)
    with pytest.raises(boom) as ei:
        c.update([("a", 1), ("b", 2), ("c", 3)])
    assert ei.value.args == ("a",) and c.keys() == ["b"]


@pytest.mark.parametrize("change", [dict.clear, lambda src: src.setdefault(len(src) + 100, "x")])
def test_update_stops_when_the_callback_changes_the_source(change):
    src = {i: str(i) for i in range(10)}
    c = IVRO(2, lambda k, v: change(src))
    # Like dict.update: an error, not a walk on (for ever, if it grows).
    with pytest.raises(RuntimeError, match="dict mutated during update"):
        c.update(src)
    assert c.items() == [(2, "2"), (1, "1")]


class IterReversed(dict):
    def __iter__(self):
        return reversed(list(dict.__iter__(self)))

    def keys(self):
        return list(self)


@pytest.mark.parametrize("make", [
    lambda: OrderedDict([(1, "a"), (2, "b"), (3, "c")]),
    lambda: IterReversed([(3, "c"), (2, "b"), (1, "a")]),
], ids=["OrderedDict moved", "dict subclass with __iter__"])
def test_update_reads_dict_subclasses_like_dict_update(make):
    src = make()
    if isinstance(src, OrderedDict):
        src.move_to_end(1)
    d = {}
    d.update(src)
    c = IVRO(5)
    c.update(src)
    assert c.keys() == list(reversed(d))


# --- textual form ---------------------------------------------------------------------

@pytest.mark.parametrize("steps, text", [
    ([], "{}"),
    ([("set", "a", 1), ("set", "b", 2)], "{'a': 1, 'b': 2}"),
    ([("set", "a", 1), ("set", "b", 2), ("get", "a")], "{'a': 1, 'b': 2}"),
    ([("set", "a", 1), ("set", "b", 2), ("set", "a", 5)], "{'a': 5, 'b': 2}"),
    ([("set", "a", 1), ("set", "b", 2), ("del", "a"), ("set", "a", 1)], "{'b': 2, 'a': 1}"),
    ([("set", "a", 1), ("set", "b", 2), ("set", "c", 3)], "{'b': 2, 'c': 3}"),
    ([("set", 1, [1, "x"]), ("set", (2,), None)], "{1: [1, 'x'], (2,): None}"),
])
def test_textual_form(steps, text):
    c = IVRO(2)
    do = {"set": c.__setitem__, "get": c.__getitem__, "del": c.__delitem__}
    for op, *args in steps:
        do[op](*args)
    assert repr(c) == str(c) == text


def test_textual_form_of_self_and_of_meddling_values():
    class Clears:
        def __repr__(self):
            c.clear()
            return "gone"
    c = IVRO(3)
    c["me"] = c
    assert repr(c) == "{'me': {...}}"
    c["a"], c["b"] = Clears(), 2
    assert repr(c).startswith("{'me': {...}, 'a': gone") and len(c) == 0
