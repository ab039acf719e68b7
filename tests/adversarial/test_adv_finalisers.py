"""Finalisers and textual forms of keys and values that act on the cache
while it releases or prints them."""

import weakref

import pytest

from _ivro import IVRO

from hostile import ACTIONS, Ctx, Val, check_ctx, check_invariants


class FinVal(Val):
    __slots__ = ("ctx",)

    def __init__(self, tag, ctx):
        super().__init__(tag)
        self.ctx = ctx

    def __del__(self):
        self.ctx.fire()


class FinKey:
    def __init__(self, tag, ctx, hashable=True):
        self.tag, self.ctx, self.hashable = tag, ctx, hashable

    def __hash__(self):
        if not self.hashable:
            raise TypeError("not today")
        return hash(self.tag)

    def __eq__(self, other):
        return isinstance(other, FinKey) and other.tag == self.tag

    def __del__(self):
        self.ctx.fire()


def _entry(holder, tag, ctx, hashable=True):
    """A key and a value of which one runs hostile code when released."""
    if holder == "value_del":
        return tag, FinVal(tag, ctx)
    if holder == "key_del":
        return FinKey(tag, ctx, hashable), Val(tag)
    if holder == "value_weakref":
        key = tag
    else:  # a key whose own finaliser stays quiet; its weak reference acts
        key = FinKey(tag, Ctx.quiet, hashable)
    value = Val(tag)
    target = value if holder == "value_weakref" else key
    ctx.refs.append(weakref.ref(target, lambda _: ctx.fire()))
    return key, value


Ctx.quiet = Ctx(size=1, callback=False)  # finalisers of plain FinKeys act on nothing

HOLDERS = ["value_del", "key_del", "value_weakref", "key_weakref"]
TRIGGERS = ["replace", "delete", "evict", "clear", "shrink", "failed_insert", "destroy", "reinit"]
WHAT = ["insert", "update", "popitem_oldest", "clear", "shrink", "grow", "read", "reinit", "raise"]


def _trigger(trigger, holder, ctx, home):
    """Makes `home` release an entry whose finaliser acts on ctx.c."""
    c = home
    # An equal key of its own, so that the cache's reference is the last one.
    probe = "a" if holder.startswith("value") else FinKey("a", Ctx.quiet)
    if trigger == "replace":
        c[probe] = Val("replacement")
    elif trigger == "delete":
        del c[probe]
    elif trigger == "evict":
        c["new"] = Val("new")
    elif trigger == "clear":
        c.clear()
    elif trigger == "shrink":
        c.set_size(1)
    elif trigger == "reinit":
        c.__init__(3, ctx.record)
    elif trigger == "failed_insert":
        key, value = _entry(holder, "bad", ctx, hashable=False)
        if holder.startswith("value"):
            key = ["unhashable"]
        try:
            c[key] = value
        except TypeError:
            pass
        else:
            raise AssertionError("insertion of an unhashable key succeeded")
        finally:
            key = value = None


@pytest.mark.parametrize("what", WHAT)
@pytest.mark.parametrize("trigger", TRIGGERS)
@pytest.mark.parametrize("holder", HOLDERS)
def test_finaliser_acting_on_the_cache(holder, trigger, what, unraisable):
    ctx = Ctx(size=3)
    ctx.refs = []
    home = IVRO(3) if trigger == "destroy" else ctx.c
    if trigger == "destroy":
        ctx.fill(["x", "y"])
    for tag in "abc":
        key, value = _entry(holder, tag, ctx)
        home[key] = value
    key = value = None
    ctx.arm(ACTIONS[what], budget=4)
    if trigger == "destroy":
        home = None  # the last reference: destruction releases every entry
    else:
        _trigger(trigger, holder, ctx, home)
    fired = 4 - ctx.budget
    ctx.disarm()
    if what == "raise":
        assert unraisable == ["Boom"] * fired
    else:
        assert not unraisable
    if trigger in ("delete", "evict", "clear", "shrink", "destroy", "reinit") or (
        trigger == "replace" and holder.startswith("value")
    ):
        assert fired >= 1, "nothing was released"
    check_ctx(ctx)
    home = None


class ReprVal(Val):
    __slots__ = ("ctx", "action")

    def __init__(self, tag, ctx, action):
        super().__init__(tag)
        self.ctx, self.action = ctx, action

    def __repr__(self):
        self.action(self)
        return f"ReprVal({self.tag!r})"


REPR_ACTIONS = {
    "clear": lambda v: v.ctx.c.clear(),
    "delete_self": lambda v: v.ctx.c.pop(v.tag, None),
    "replace_self": lambda v: v.ctx.c.__setitem__(v.tag, Val("other")),
    "insert": lambda v: v.ctx.c.__setitem__(v.ctx.fresh(), Val("ins")),
    "reinit": lambda v: v.ctx.c.__init__(2),
    "repr_again": lambda v: repr(v.ctx.c),
}


@pytest.mark.parametrize("action", REPR_ACTIONS)
def test_repr_of_values_that_change_the_cache(action):
    ctx = Ctx(size=4)
    for tag in "abc":
        ctx.c[tag] = ReprVal(tag, ctx, REPR_ACTIONS[action])
    text = repr(ctx.c)
    assert text.startswith("{") and text.endswith("}")
    check_ctx(ctx)


def test_cache_holding_itself():
    c = IVRO(3)
    c["me"] = c
    assert repr(c) == "{'me': {...}}" == str(c)
    c[c] = 1
    assert repr(c) == "{'me': {...}, {...}: 1}"
    d = IVRO(2)
    c["d"], d["c"] = d, c
    assert repr(c) == "{'me': {...}, {...}: 1, 'd': {'c': {...}}}"
    assert c.keys() == ["d", c, "me"] and c[c] == 1 and c["me"] is c
    check_invariants(c)
    c.update(c)  # reads itself as it writes itself
    c.setdefault(c, 2)
    c.pop(c)
    check_invariants(c)
    c.clear(), d.clear()  # the type takes no part in cyclic collection
