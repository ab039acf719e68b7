"""Fuzz target: programs of cache operations among hostile keys, callbacks and finalisers.

Keys whose __hash__/__eq__ raise, lie or re-enter the cache, eviction callbacks and value
finalisers that re-enter it (assign to the victim's key, pop it, insert, update, clear,
resize, set another callback, raise), each with actions chosen by the input. After every
operation the ledger and the invariants are checked, and the model where nothing hostile ran.

    python fuzz/fuzz_hostile.py [libFuzzer options] [corpus dir or input files]
"""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ledger as L  # noqa: E402
from ledger import sv  # noqa: E402

MAX_OPS = 40


def program(data):
    fdp = atheris.FuzzedDataProvider(data)
    w = L.World(fdp.ConsumeIntInRange(1, 4), L.callback_plan(fdp))
    hooked = L.hostile_keys(w, fdp)
    L.trace("start:", w.c.get_size(), w.callback and (w.callback.acts, w.callback.budget),
            [(k.tag, k.on_hash, k.on_eq, k.budget) for k in hooked])
    pool = [0, 1, 2, "a", "b", *hooked, ["unhashable"]]
    c, m = w.c, w.model
    try:
        for _ in range(MAX_OPS):
            if fdp.remaining_bytes() == 0:
                break
            op = fdp.ConsumeIntInRange(0, 14)
            if op == 0 or op == 1:  # op 1: a new key, which keeps evictions busy
                k = w.name() if op == 1 else L.pick(fdp, pool)
                act = L.pick(fdp, L.VALUE_ACTS)
                w.step(('setitem', k, act), lambda: w.assign(k, w.val(act)),
                       lambda: m.assign(k, w.made[0]))
            elif op == 2:
                k = L.pick(fdp, pool)
                w.step(('getitem', k), lambda: sv(c[k]), lambda: m.lookup(k))
            elif op == 3:
                k, d = L.pick(fdp, pool), fdp.ConsumeBool()
                w.step(('get', k, d), lambda: sv(c.get(k, *((w.val(),) if d else ()))),
                       lambda: m.get(k, *((w.made[0],) if d else ())))
            elif op == 4:
                k = L.pick(fdp, pool)

                w.step(('setdefault', k), lambda: sv(w.setdefault(k, w.val())),
                       lambda: m.setdefault(k, w.made[0]))
            elif op == 5:
                k, d = L.pick(fdp, pool), fdp.ConsumeBool()
                w.step(('pop', k, d), lambda: sv(w.pop(k, *((None,) if d else ()))),
                       lambda: m.pop(k, *((None,) if d else ())))
            elif op == 6:
                k = L.pick(fdp, pool)
                w.step(('del', k), lambda: w.delete(k), lambda: m.remove(k) and None)
            elif op == 7:
                k = L.pick(fdp, pool)
                w.step(('in', k), lambda: (k in c, c.has_key(k), c.__contains__(k)),
                       lambda: (k in m.entries,) * 3)
            elif op == 8:
                least = fdp.ConsumeBool()

                def sut():
                    k, v = c.popitem(least)
                    w.excuse(v, "popitem")
                    return k, sv(v)
                w.step(('popitem', least), sut, lambda: m.popitem(least))
            elif op == 9:
                w.step(('read',), lambda: L.ACTIONS['read'](w, None), lambda: None)
            elif op == 10:
                keys = [L.pick(fdp, pool) for _ in range(fdp.ConsumeIntInRange(0, 3))]
                acts = [L.pick(fdp, L.VALUE_ACTS) for _ in keys]
                as_dict = fdp.ConsumeBool()

                def sut():
                    pairs = [(k, w.val(a)) for k, a in zip(keys, acts)]
                    for k, _ in pairs:
                        w.before_assign(k)
                    w.pending = pairs  # building the dict hashes the keys too
                    given = dict(pairs) if as_dict else pairs
                    w.update(given, list(given.items()) if as_dict else pairs)

                def model():
                    pairs = list(zip(keys, w.made))
                    m.update(list(dict(pairs).items()) if as_dict else pairs)
                w.step(('update', keys, acts, as_dict), sut, model)
            elif op == 11:
                size = fdp.ConsumeIntInRange(1, 6)
                w.step(('set_size', size), lambda: c.set_size(size), lambda: m.set_size(size))
            elif op == 12:
                w.step(('clear',), w.clear, m.clear)
            elif op == 13:
                plan = L.callback_plan(fdp)
                w.step(('set_callback', plan), lambda: w.install(w.recorder(plan)),
                       lambda: setattr(m, "reporting", plan is not None))
            else:
                size, plan = fdp.ConsumeIntInRange(1, 5), L.callback_plan(fdp)

                def model():
                    m.clear()
                    m.size, m.reporting = size, plan is not None
                if fdp.ConsumeBool():
                    L.rearm(w, hooked)
                else:
                    w.step(('reinit', size, plan), lambda: w.reinit(size, w.recorder(plan)), model)
    finally:
        w.close()


def main():
    L.fuzz(atheris, program)


if __name__ == "__main__":
    main()
