"""Fuzz target: running out of memory at an input-chosen allocation of an input-chosen
operation (`_testcapi.set_nomemory`), then the ledger and the invariants.

A MemoryError may cost a report (the callback itself may fail to run), so a step in which
one occurred excuses unreported departures; everything else holds as in the other targets:
views agree, no value is reported twice or comes back, nothing leaks, the cache stays within
its size and usable, and where no allocation failed it agrees exactly with the model.

On the releases whose own dict breaks when it cannot grow (3.13.0 to 3.13.6 and some
pre-releases; see the README's Limitations) allocations fail only in operations that
insert nothing, where the README promises the cache stays whole.

    python fuzz/fuzz_nomemory.py [libFuzzer options] [corpus dir or input files]
"""
import os
import sys
from collections import OrderedDict

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ledger as L  # noqa: E402
from ledger import IVRO, sv  # noqa: E402

try:
    from _testcapi import remove_mem_hooks, set_nomemory
except ImportError:  # an interpreter built without its test module
    set_nomemory = None

MAX_OPS = 24
ver = sys.version_info
DICT_WHOLE = not ((3, 13) <= ver[:3] < (3, 13, 7)
                  or (ver[:3] == (3, 14, 0) and ver.releaselevel != "final")
                  or (ver[:3] == (3, 15, 0) and ver.releaselevel == "alpha" and ver.serial == 0))
INSERTING = {0, 1, 2, 3, 4, 5}


def program(data):
    fdp = atheris.FuzzedDataProvider(data)
    # A plain recorder: the failures here are the allocator's, not hostile code's.
    plan = () if fdp.ConsumeIntInRange(0, 7) else None
    w = L.World(fdp.ConsumeIntInRange(1, 4), plan, nomemory=True)
    pool = [0, 1, 2, 3, "a", "b"]
    c, m = w.c, w.model
    try:
        for _ in range(MAX_OPS):
            if fdp.remaining_bytes() == 0:
                break
            op = fdp.ConsumeIntInRange(0, 14)
            k = L.pick(fdp, pool) if op != 0 else w.name()
            arg = fdp.ConsumeIntInRange(0, 3)
            window = None
            if fdp.ConsumeBool() and set_nomemory and (DICT_WHOLE or op not in INSERTING):
                start = fdp.ConsumeIntInRange(1, 48)
                stop = fdp.ConsumeIntInRange(0, 3)
                window = (start, start + stop if stop else 0)
            one(w, c, m, op, k, arg, window)
    finally:
        w.close()


def starved(window, call):
    """Runs `call` with allocations failing from the window's start on."""
    if window is None:
        return call()
    set_nomemory(*window)
    try:
        return call()
    except SystemError:
        # The interpreter's own error paths can lose the error when even the exception
        # cannot be made (seen from popitem() on an empty cache, whose KeyError is set
        # by PyErr_SetString); counted as running out of memory.
        raise MemoryError from None
    finally:
        remove_mem_hooks()


def one(w, c, m, op, k, arg, window):
    what = (op, k, arg, window)
    if op <= 1:  # a new key (0) or one from the pool
        def sut():
            v = w.val()
            w.before_assign(k)
            try:
                starved(window, lambda: c.__setitem__(k, v))
            finally:
                w.excuse_since(k, v.serial, "replaced")
                if any(x is v for x in c.values()):
                    w.stored(v, k)
        w.step(what, sut, lambda: m.assign(k, w.made[0]))
    elif op == 2:
        def sut():
            v = w.val()
            w.before_assign(k)
            got = starved(window, lambda: c.setdefault(k, v))
            if got is v:
                w.stored(v, k)
            return sv(got)
        w.step(what, sut, lambda: m.setdefault(k, w.made[0]))
    elif op <= 5:  # update from a dict, a list of pairs, another cache
        keys = [k, *L.pool_slice(arg)]

        def sut():
            pairs = [(x, w.val()) for x in keys]
            if op == 5:
                src = IVRO(8)
                for x, v in pairs:
                    src[x] = v
                pairs = list(reversed(src.items()))
            else:
                src = dict(pairs) if op == 3 else pairs
                pairs = list(src.items()) if op == 3 else pairs
            for x, _ in pairs:
                w.before_assign(x)
            try:
                starved(window, lambda: c.update(src))
            finally:
                w.saw(c.values())
                w.stored_pairs(pairs[:w.taken(pairs) + 1])

        def model():
            pairs = list(zip(keys, w.made))
            if op == 3:
                pairs = list(dict(pairs).items())
            elif op == 5:  # read oldest first: a repeated key is the newest
                order = OrderedDict()
                for x, v in pairs:
                    order[x] = v
                    order.move_to_end(x)
                pairs = list(order.items())
            m.update(pairs)
        w.step(what, sut, model)
    elif op == 6:
        w.step(what, lambda: sv(starved(window, lambda: c[k])), lambda: m.lookup(k))
    elif op == 7:
        w.step(what, lambda: sv(starved(window, lambda: c.get(k))), lambda: m.get(k))
    elif op == 8:
        def sut():
            w.excuse_key(k, "popped")
            return sv(starved(window, lambda: c.pop(k, None)))
        w.step(what, sut, lambda: m.pop(k, None))
    elif op == 9:
        def sut():
            got = starved(window, lambda: c.popitem(arg & 1 == 0))
            w.excuse(got[1], "popitem")
            return got[0], sv(got[1])
        w.step(what, sut, lambda: m.popitem(arg & 1 == 0))
    elif op == 10:
        def sut():
            got = starved(window, lambda: (c.keys(), c.values(), c.items(), repr(c),
                                           c.peek_first_item(), c.peek_last_item(),
                                           c.get_stats(), len(c), k in c))
            return got[-1]
        w.step(what, sut, lambda: k in m.entries)
    elif op == 11:
        size = arg + 1
        w.step(what, lambda: starved(window, lambda: c.set_size(size)),
               lambda: m.set_size(size))
    elif op == 12:
        def sut():
            w.excuse_all(c.values(), "cleared")
            starved(window, c.clear)
        w.step(what, sut, m.clear)
    elif op == 13:
        def sut():
            w.excuse_key(k, "deleted")
            starved(window, lambda: c.__delitem__(k))
        w.step(what, sut, lambda: m.remove(k) and None)
    else:
        size, plan = arg + 1, (() if arg & 1 else None)

        def sut():
            w.excuse_all(c.values(), "reinit")
            w.callback = w.recorder(plan)
            w.silent_ok = w.silent_ok or plan is None
            starved(window, lambda: c.__init__(size, w.callback))

        def model():
            m.clear()
            m.size, m.reporting = size, plan is not None
        w.step(what, sut, model)


def main():
    L.fuzz(atheris, program)


if __name__ == "__main__":
    main()
