"""Helpers for the hostile-code suite: keys, values and finalisers that act on
the cache they live in, a callback that records what it hears, and a check of
the invariants through the public interface only."""

import gc
import weakref

from _ivro import IVRO


class Boom(Exception):
    """Raised on purpose by hostile code."""


class Val:
    """A value whose life can be watched; every insertion uses a fresh one."""

    __slots__ = ("tag", "__weakref__")
    alive = weakref.WeakSet()

    def __init__(self, tag):
        self.tag = tag
        Val.alive.add(self)

    def __repr__(self):
        return f"Val({self.tag!r})"


def tag_of(obj):
    return getattr(obj, "tag", obj)


class Ctx:
    """One cache under attack, with the action hostile code runs against it.

    Hostile code calls `fire()`; it acts only while armed and while its
    budget lasts, so every attack is bounded and the checks afterwards run
    against well-behaved objects."""

    def __init__(self, size=3, callback=True):
        self.reports = []  # (key tag, value tag) per callback call
        self.errors = []  # assertion failures seen inside hostile code
        self.armed = False
        self.budget = 0
        self.action = None
        self.counter = 0
        self.callback = callback
        self.c = IVRO(size, self.record if callback else None)

    # --- the recording callback -------------------------------------------
    def record(self, key, value):
        self.reports.append((tag_of(key), tag_of(value)))
        if self.armed and self.cb_action is not None and self.take():
            self.cb_action(self, key, value)

    cb_action = None

    # --- hostile actions ----------------------------------------------------
    def arm(self, action, budget=3):
        self.action, self.budget, self.armed = action, budget, True

    def disarm(self):
        self.armed = False

    def take(self):
        if self.budget <= 0:
            return False
        self.budget -= 1
        return True

    def fire(self, *args):
        if self.armed and self.action is not None and self.take():
            self.action(self, *args)

    def fresh(self, prefix="n"):
        self.counter += 1
        return f"{prefix}{self.counter}"

    def fill(self, keys):
        for k in keys:
            self.c[k] = Val(tag_of(k))


def _act_read(ctx, *_):
    c = ctx.c
    ks, vs, its = c.keys(), c.values(), c.items()
    if not (len(ks) == len(vs) == len(its) and [k for k, _ in its] == ks):
        ctx.errors.append("views disagree inside an operation")
    c.peek_first_item(), c.peek_last_item(), c.get_stats(), c.get_size(), len(c)
    c.get("absent"), "absent" in c


def _act_insert(ctx, *_):
    k = ctx.fresh()
    ctx.c[k] = Val(k)


def _act_setdefault(ctx, *_):
    k = ctx.fresh()
    ctx.c.setdefault(k, Val(k))


def _act_update(ctx, *_):
    a, b = ctx.fresh(), ctx.fresh()
    ctx.c.update({a: Val(a)}, **{b: Val(b)})


def _act_popitem_oldest(ctx, *_):
    if len(ctx.c):
        ctx.c.popitem()


def _act_popitem_newest(ctx, *_):
    if len(ctx.c):
        ctx.c.popitem(least_recent=False)


def _act_insert_internals(ctx, *_):
    # Whatever of the module user code can reach (its types, through
    # object.__subclasses__()) used as keys: nothing of the cache's own
    # bookkeeping may be confused with them.
    for t in object.__subclasses__():
        if getattr(t, "__module__", None) == "_ivro":  # some types have none
            ctx.c[t] = Val(ctx.fresh("internal"))


def _act_raise(ctx, *_):
    raise Boom("hostile")


# Actions that any hook can run against the cache it lives in.
ACTIONS = {
    "read": _act_read,
    "insert": _act_insert,
    "setdefault": _act_setdefault,
    "update": _act_update,
    "popitem_oldest": _act_popitem_oldest,
    "popitem_newest": _act_popitem_newest,
    "insert_internals": _act_insert_internals,
    "clear": lambda ctx, *_: ctx.c.clear(),
    "shrink": lambda ctx, *_: ctx.c.set_size(1),
    "grow": lambda ctx, *_: ctx.c.set_size(ctx.c.get_size() + 4),
    "reinit": lambda ctx, *_: ctx.c.__init__(3, ctx.record),
    "callback_none": lambda ctx, *_: ctx.c.set_callback(None),
    "raise": _act_raise,
}


class HKey:
    """A key whose hashing and comparison run hostile code.

    All such keys share one hash, so every lookup among them compares keys
    and runs `__eq__` too. The 'flip' behaviour answers inconsistently."""

    HASH = 7

    def __init__(self, tag, ctx, where):
        self.tag, self.ctx, self.where = tag, ctx, where

    def __hash__(self):
        ctx = self.ctx
        if self.where == "hash" and ctx.armed:
            if ctx.action == "flip":
                if ctx.take():
                    return self.HASH + 1_000_003
            else:
                ctx.fire()
        return self.HASH

    def __eq__(self, other):
        ctx = self.ctx
        if self.where == "eq" and ctx.armed:
            if ctx.action == "flip":
                if ctx.take():
                    return not (isinstance(other, HKey) and other.tag == self.tag)
            else:
                ctx.fire()
        return isinstance(other, HKey) and other.tag == self.tag

    def __repr__(self):
        return f"HKey({self.tag!r})"


def check_invariants(c, *, allow_over=False):
    """The invariants of a quiescent cache, read through its public API only.

    Keys are compared by identity so that hostile keys stay quiet."""
    n = len(c)
    ks, vs, its = c.keys(), c.values(), c.items()
    assert len(ks) == len(vs) == len(its) == n
    for (k, v), k2, v2 in zip(its, ks, vs):
        assert k is k2 and v is v2
    assert len({id(k) for k in ks}) == n, "a key occurs twice"
    if n:
        first, last = c.peek_first_item(), c.peek_last_item()
        assert first[0] is ks[0] and first[1] is vs[0]
        assert last[0] is ks[-1] and last[1] is vs[-1]
    else:
        assert c.peek_first_item() is None and c.peek_last_item() is None
    for k in ks:
        assert k in c and c.has_key(k)
    if not allow_over:
        assert n <= c.get_size()
    return ks, vs


def check_ctx(ctx, *, raised=False):
    """Full check after an attack: invariants, exactly-once reports, no value
    kept alive that the cache no longer holds; then the cache is emptied so
    that reference cycles through hostile code do not outlive the test."""
    ctx.disarm()
    c = ctx.c
    assert not ctx.errors, ctx.errors
    if raised:
        # A victim whose removal failed stays, reported once and stuck: one
        # entry beyond the size for each. With hostile code quiet, set_size
        # retries them, and they leave without a second report.
        ks, vs = check_invariants(c, allow_over=True)
        stuck = set(ctx.reports) & {(tag_of(k), tag_of(v)) for k, v in zip(ks, vs)}
        if ctx.callback:  # without reports, stuck entries cannot be told apart
            assert len(ks) <= c.get_size() + len(stuck), "more entries than size and stuck ones"
        del ks, vs
        c.set_size(c.get_size())
    ks, vs = check_invariants(c)
    assert len(set(ctx.reports)) == len(ctx.reports), f"reported twice: {ctx.reports}"
    held = {(tag_of(k), tag_of(v)) for k, v in zip(ks, vs)}
    assert not held & set(ctx.reports), "an evicted entry is still in the cache"
    del ks, vs
    held_ids = {id(v) for v in c.values()}
    stray = [v for v in list(Val.alive) if id(v) not in held_ids]
    if stray:  # only a collection can tell a leak from a pending cycle
        stray = None
        gc.collect()
        stray = [v for v in list(Val.alive) if id(v) not in held_ids]
    assert not stray, f"values alive but no longer held: {stray}"
    c.set_callback(None)
    c.clear()
