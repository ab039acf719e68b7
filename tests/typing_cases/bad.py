"""Incorrect uses of IVRO: each line marked `# E: code` must be reported by
the type checkers (mypy's error code named), and no other line."""

from __future__ import annotations

from _ivro import IVRO


def remember(key: str, value: int) -> None:
    pass


c: IVRO[str, int] = IVRO(2)
numbers: IVRO[int, str] = IVRO(2)

IVRO("3")  # E: arg-type
IVRO(3, callback=5)  # E: arg-type
IVRO(3, cb=remember)  # E: call-arg
wrong: IVRO[int, int] = IVRO(3, remember)  # E: arg-type
c[1] = 2  # E: index
c["a"] = "x"  # E: assignment
for key in c:  # E: attr-defined
    pass
iter(c)  # E: arg-type
c.no_such_method()  # E: attr-defined
c.anything = 1  # E: attr-defined


class Sub(IVRO[str, int]):  # E: misc
    pass


c.get()  # E: call-overload
not_optional: int = c.get("a")  # E: assignment
c.setdefault("a", default=1)  # E: call-arg
c.has_key(key="a")  # E: call-arg
c.pop()  # E: call-overload
c.pop("a", 1, 2)  # E: call-overload
c.popitem(last=False)  # E: call-arg
c.popitem(True, True)  # E: call-arg
first_value: int = c.peek_first_item()[1]  # E: index
c.get_stats()[2]  # E: misc
c.keys().add("a")  # E: attr-defined
c.update(1)  # E: call-overload
c.update([("a", "b")])  # E: list-item
c.update({}, {})  # E: call-overload
numbers.update(z="x")  # E: call-overload
c.set_size("10")  # E: arg-type
c.set_size(size=10)  # E: call-arg
c.set_callback(5)  # E: arg-type
c.set_callback(callback=None)  # E: call-arg
c.set_callback(lambda k: None)  # E: arg-type
c.get_size(1)  # E: call-arg
