"""Correct uses of IVRO: the type checkers must accept all of them, and the
module must run them too (tests/test_typing.py does both)."""

from __future__ import annotations

import copy
import pickle
from typing import assert_type

from _ivro import IVRO

evicted: list[tuple[str, int]] = []


def remember(key: str, value: int) -> None:
    evicted.append((key, value))


def wide(key: object, value: object) -> bool:
    return True


c: IVRO[str, int] = IVRO(2)
c = IVRO(size=2, callback=remember)
c = IVRO(2, None)
c = IVRO(2, wide)
inferred = IVRO(3, remember)
assert_type(inferred, "IVRO[str, int]")

c["a"] = 1
c["b"] = 2
assert_type(c["a"], int)
del c["b"]
assert_type(len(c), int)
assert_type("a" in c, bool)
assert_type(c.__contains__(1), bool)
assert_type(c.has_key(b"x"), bool)

assert_type(c.get("a"), int | None)
assert_type(c.get("a", 0), int)
assert_type(c.get(key="a", default="none"), int | str)
assert_type(c.setdefault("s", 3), int)
maybe: IVRO[str, int | None] = IVRO(4)
assert_type(maybe.setdefault("n"), int | None)
assert_type(c.pop("s"), int)
assert_type(c.pop("zz", 0), int)
assert_type(c.pop(key="zz", default=None), int | None)
c["p"] = 5
assert_type(c.popitem(), tuple[str, int])
c["q"] = 6
assert_type(c.popitem(False), tuple[str, int])
c["r"] = 7
assert_type(c.popitem(least_recent=True), tuple[str, int])

assert_type(c.keys(), list[str])
assert_type(c.values(), list[int])
assert_type(c.items(), list[tuple[str, int]])
assert_type(c.peek_first_item(), tuple[str, int] | None)
assert_type(c.peek_last_item(), tuple[str, int] | None)

c.update()
c.update({"x": 1})
c.update([("y", 2)])
other: IVRO[str, int] = IVRO(1)
c.update(other)
c.update({"x": 1}, z=3)
c.update([("y", 2)], z=3)
c.update(w=4)
numbers: IVRO[int, str] = IVRO(3)
numbers.update({1: "one"})
numbers.update([(2, "two")])

c.set_size(5)
assert_type(c.get_size(), int)
assert_type(c.get_stats(), tuple[int, int])
hits, misses = c.get_stats()
c.set_callback(remember)
c.set_callback(None)
c.clear()
assert_type(repr(c), str)

made = IVRO[str, int](4)  # subscripted at run time too
assert_type(made, IVRO[str, int])
made["k"] = 1
assert_type(copy.deepcopy(made), IVRO[str, int])
assert_type(copy.copy(made), IVRO[str, int])
restored: IVRO[str, int] = pickle.loads(pickle.dumps(made))
made.__setstate__(restored.__reduce__()[2])
