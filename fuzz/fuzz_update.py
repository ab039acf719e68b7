"""Fuzz target: update() from every kind of source, sources that change themselves or the
cache while they are read, and views, repr and peeks in the middle.

A source is a dict, a dict subclass (one that keeps dict's iteration, read directly, and one
that does not, read through keys() and []), an OrderedDict, a Mapping, a list or generator
of pairs, another cache or the cache itself; at an input-chosen point of its reading it adds
to or clears itself, or runs a hostile action on the cache. The ledger and the invariants are
checked after every operation, the model where nothing hostile ran.

    python fuzz/fuzz_update.py [libFuzzer options] [corpus dir or input files]
"""
import collections.abc
import os
import sys
from collections import OrderedDict

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ledger as L  # noqa: E402
from ledger import IVRO, sv  # noqa: E402

MAX_OPS = 24
KINDS = ["dict", "dict_sub", "dict_sub_iter", "ordered", "mapping", "pairs", "generator",
         "ivro", "self", "bad_pair"]
# What a source does at its chosen point: change itself, or act on the cache.
MOVES = ["grow_source", "shrink_source", "clear_source", *L.ACTS]


class Plan:
    """When (the how-manieth read) and what a source does while it is read."""

    def __init__(self, w, at, move):
        self.w, self.at, self.move, self.reads = w, at, move, 0

    def tick(self, source):
        self.reads += 1
        w = self.w
        if self.reads != self.at or not w.armed or self.move is None:
            return
        w.hostile = True
        L.trace("  source:", self.move)
        if self.move == "grow_source":
            k, v = w.name(), w.val()
            source[k] = v
        elif self.move == "shrink_source":
            if len(source):
                del source[next(iter(list(source)))]
        elif self.move == "clear_source":
            source.clear()
        else:
            w.run(self.move, None)


def hand(w, k, v):
    """A pair the source hands to the cache. A lying key may find another key's value in
    the source, which then offers that value twice: it may be stored, and reported, twice."""
    w.before_assign(k)
    if any(v is old for _, old in w.handed):
        w.reoffered.add(L.sv(v))
    w.handed.append((k, v))


class DictSub(dict):
    """Keeps dict's own iteration: read directly, and its [] is never asked."""

    plan = None

    def __getitem__(self, k):
        self.plan.tick(self)
        return dict.__getitem__(self, k)


class DictSubIter(dict):
    """Iterates itself: read through keys() and []."""

    plan = None

    def __iter__(self):
        return iter(list(dict.keys(self)))

    def keys(self):
        self.plan.tick(self)
        return list(dict.keys(self))

    def __getitem__(self, k):
        self.plan.tick(self)
        v = dict.__getitem__(self, k)
        hand(self.plan.w, k, v)
        return v


class Mapping(collections.abc.Mapping):
    def __init__(self, pairs, plan):
        self.d, self.plan = dict(pairs), plan

    def __getitem__(self, k):
        self.plan.tick(self)
        v = self.d[k]
        hand(self.plan.w, k, v)
        return v

    def __iter__(self):
        return iter(list(self.d))

    def __len__(self):
        return len(self.d)

    def keys(self):
        self.plan.tick(self)
        return list(self.d)

    def __setitem__(self, k, v):
        self.d[k] = v

    def __delitem__(self, k):
        del self.d[k]

    def clear(self):
        self.d.clear()


def generator(pairs, plan):
    for k, v in pairs:
        plan.tick(pairs)
        plan.w.before_assign(k)
        plan.w.handed.append((k, v))
        yield k, v


def source(w, kind, pairs, plan):
    """The source, and whether the cache reads it without our code handing each pair."""
    if kind == "dict":
        return dict(pairs), True
    if kind == "dict_sub":
        d = DictSub(pairs)
        d.plan = plan
        return d, True
    if kind == "dict_sub_iter":
        d = DictSubIter(pairs)
        d.plan = plan
        return d, False
    if kind == "ordered":
        return OrderedDict(pairs), True
    if kind == "mapping":
        return Mapping(pairs, plan), False
    if kind == "pairs":
        return list(pairs), True
    if kind == "generator":
        return generator(pairs, plan), False
    if kind == "ivro":
        other = IVRO(8)
        for k, v in pairs:
            other[k] = v
        return other, True
    if kind == "self":
        return w.c, True
    return [*pairs, (w.name(),)], True  # bad_pair: a pair of one


def update(w, fdp, pool):
    kind = L.pick(fdp, KINDS)
    chosen = [(L.pick(fdp, pool), L.pick(fdp, L.VALUE_ACTS))
            for _ in range(fdp.ConsumeIntInRange(0, 4))]
    named = [L.pick(fdp, ["a", "b", "x"]) for _ in range(fdp.ConsumeIntInRange(0, 2))]
    move = L.pick(fdp, [None, *MOVES]) if fdp.ConsumeBool() else None
    at = fdp.ConsumeIntInRange(1, 4)
    m = w.model

    def sut():
        w.handed = []
        pairs = [(k, w.val(a)) for k, a in chosen]
        words = {n: w.val() for n in named}
        plan = Plan(w, at, move)
        w.pending = pairs  # building the source hashes the keys too
        try:
            src, direct = source(w, kind, pairs, plan)
        finally:
            w.pending = None
        if direct:  # what the cache reads straight from the source
            w.handed = list(pairs) if kind == "bad_pair" else list(
                src.items() if hasattr(src, "items") else src)
            if kind == "ivro" or kind == "self":
                w.handed.reverse()  # read oldest first
            if kind == "self":
                w.reoffered = {sv(v) for _, v in w.handed}
            for k, _ in w.handed:
                w.before_assign(k)
        for k in words:
            w.before_assign(k)
        try:
            w.update(src, w.handed, **words)
        finally:
            w.handed = []  # holds no value past the step

    def model():
        serials = dict(zip(range(len(chosen)), w.made))
        pairs = [(k, serials[i]) for i, (k, _) in enumerate(chosen)]
        if kind in ("dict", "dict_sub", "dict_sub_iter", "ordered", "mapping"):
            pairs = list(dict(pairs).items())
        elif kind == "ivro":
            order = OrderedDict()
            for k, v in pairs:
                order[k] = v
                order.move_to_end(k)
            pairs = list(order.items())
        elif kind == "self":
            pairs = list(m.entries.items())
        elif kind == "bad_pair":
            m.update(pairs)
            raise TypeError  # the cache's ValueError is checked below
        words = list(zip(named, w.made[len(chosen):]))
        m.update(pairs + list(dict(words).items()))

    if kind == "bad_pair":  # a sequence of the wrong length: ValueError, after the others
        def sut_bad():
            try:
                sut()
            except ValueError:
                return TypeError
        w.step(("update", kind, chosen, named, move, at), sut_bad, model)
    else:
        w.step(("update", kind, chosen, named, move, at), sut, model)


def program(data):
    fdp = atheris.FuzzedDataProvider(data)
    w = L.World(fdp.ConsumeIntInRange(1, 4), L.callback_plan(fdp))
    w.handed = []
    hooked = L.hostile_keys(w, fdp, most=2)
    pool = [0, 1, 2, "a", "b", *hooked]
    L.trace("start:", w.c.get_size(), w.callback and (w.callback.acts, w.callback.budget),
            [(k.tag, k.on_hash, k.on_eq, k.budget) for k in hooked])
    c, m = w.c, w.model
    try:
        for _ in range(MAX_OPS):
            if fdp.remaining_bytes() == 0:
                break
            op = fdp.ConsumeIntInRange(0, 5)
            if op <= 2:
                update(w, fdp, pool)
            elif op == 3:  # views, repr and peeks between updates
                w.step(("read",), lambda: L.ACTIONS["read"](w, None), lambda: None)
            elif op == 4:
                k = L.pick(fdp, pool)
                w.step(("get", k), lambda: sv(c.get(k)), lambda: m.get(k))
            else:
                size = fdp.ConsumeIntInRange(1, 6)
                w.step(("set_size", size), lambda: c.set_size(size), lambda: m.set_size(size))
            if fdp.ConsumeIntInRange(0, 7) == 0:
                L.rearm(w, hooked)
    finally:
        w.close()


def main():
    L.fuzz(atheris, program)


if __name__ == "__main__":
    main()
