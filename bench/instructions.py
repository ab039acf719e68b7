"""Every operation in a loop, for counting instructions under callgrind.

    valgrind --tool=callgrind --dump-before=PyObject_HashNotImplemented \\
        --callgrind-out-file=DIR/out python bench/instructions.py run KEYS [OP...]
    python bench/instructions.py report DIR KEYS [OP...]

`run` performs, for each OP (default: all of OPS below) and for `IVRO`
and then for a plain dict doing the same dictionary work, the operation
100,000 times on 1,000 entries, on a structure built afresh for it, and
hashes a list (which fails) just before and just after the timed loop.
With `--dump-before=PyObject_HashNotImplemented` callgrind writes its
counts at each of those calls, so every loop gets a dump of its own and the set-up, the start of
the interpreter and its exit fall into others. `report` reads the dumps
and prints (loop − bare loop) / 100,000 for each implementation and their
ratio, as Markdown rows. KEYS: `int` (consecutive, past the small-int
cache), `rint` (random, spread over 62 bits, bench.py's) or `str`.
The garbage collector is off during each loop. `scripts/bench.sh
--instructions` runs both on every interpreter.
"""

import gc
import random
import sys
import types
from pathlib import Path

ENTRIES, COUNT = 1000, 100_000
REPS = COUNT // ENTRIES  # whole-cache operations (views, update) per loop
VALUE = object()


def make_keys(kind):
    """ENTRIES keys to hold and COUNT fresh ones, all distinct."""
    if kind == "str":
        return [f"key-{i}" for i in range(ENTRIES)], [f"key-{10**9 + i}" for i in range(COUNT)]
    if kind == "rint":
        # bench.py's keys, without importing the peers it brings along.
        # This seed draws no repeat among the first ENTRIES + COUNT.
        draw = random.Random("rint keys").getrandbits
        keys = [draw(62) for _ in range(ENTRIES + COUNT)]
        assert len(set(keys)) == len(keys)
        return keys[:ENTRIES], keys[ENTRIES:]
    return [10**9 + i for i in range(ENTRIES)], [2 * 10**9 + i for i in range(COUNT)]


class Owner:
    def on_evict(self, key, value):
        pass


def on_evict(key, value):
    pass


SINK = {}
CALLBACKS = {"function": on_evict, "method": Owner().on_evict, "builtin": SINK.setdefault}


# -- the loops: (IVRO's, the dict's), over the data the third field names ---

def bare(_c, seq):
    for _k in seq:
        pass


def bare_pairs(_c, pairs):
    for _k, _old in pairs:
        pass


def hit(c, seq):
    for k in seq:
        c[k]


def call1(name):
    def loop(c, seq):
        f = getattr(c, name)
        for k in seq:
            f(k)
    return loop


def contains(c, seq):
    for k in seq:
        k in c  # noqa: B015


def setdefault(c, seq):
    f, v = c.setdefault, VALUE
    for k in seq:
        f(k, v)


def replace(c, seq):
    v = VALUE
    for k in seq:
        c[k] = v


def pop_reinsert(c, seq):
    pop, v = c.pop, VALUE
    for k in seq:
        pop(k)
        c[k] = v


def del_reinsert(c, seq):
    v = VALUE
    for k in seq:
        del c[k]
        c[k] = v


def insert(c, pairs):
    v = VALUE
    for k, _old in pairs:
        c[k] = v


def insert_dict(d, pairs):
    v = VALUE
    for k, old in pairs:
        d[k] = v
        del d[old]


def setdefault_insert(c, pairs):
    f, v = c.setdefault, VALUE
    for k, _old in pairs:
        f(k, v)


def setdefault_insert_dict(d, pairs):
    f, v = d.setdefault, VALUE
    for k, old in pairs:
        f(k, v)
        del d[old]


def insert_dict_cb(cb):
    def loop(d, pairs):
        pop, v = d.pop, VALUE
        for k, old in pairs:
            d[k] = v
            cb(old, pop(old))
    return loop


def popitem_reinsert(c, seq):
    popitem = c.popitem
    for _ in seq:
        k, v = popitem()
        c[k] = v


def peek(name):
    def loop(c, seq):
        f = getattr(c, name)
        for _ in seq:
            f()
    return loop


def dict_newest(d, seq):
    for _ in seq:
        next(reversed(d.items()))


def dict_oldest(d, seq):
    for _ in seq:
        next(iter(d.items()))


def set_size(c, seq):
    f = c.set_size
    for _ in seq:
        f(ENTRIES)


def set_callback(c, seq):
    f, cb = c.set_callback, on_evict
    for _ in seq:
        f(cb)


def view(name):
    def loop(c, reps):
        f = getattr(c, name)
        for _ in reps:
            f()
    return loop


def dict_view(make):
    def loop(d, reps):
        for _ in reps:
            make(d)
    return loop


def update(c, sources):
    f = c.update
    for src in sources:
        f(src)


# name -> (label, IVRO's loop, the dict's loop or None, data, callback).
# Data: "seq" 100,000 held keys, "fresh" 100,000 absent ones, "pairs"
# (new key, the key the cache evicts for it), "reps" 100 passes over the
# whole cache, "dict_src"/"pairs_src" 100 sources of 1,000 pairs (held
# keys, new values): per entry or pair.
OPS = {
    "hit": ("hit `c[k]`", hit, hit, "seq", None),
    "get_hit": ("`get` hit", call1("get"), call1("get"), "seq", None),
    "get_miss": ("`get` miss", call1("get"), call1("get"), "fresh", None),
    "in": ("`k in c`", contains, contains, "seq", None),
    "has_key": ("`has_key` ÷ `d.__contains__`", call1("has_key"), call1("__contains__"), "seq",
                None),
    "setdefault": ("`setdefault` hit", setdefault, setdefault, "seq", None),
    "replace": ("replace `c[k] = v`", replace, replace, "seq", None),
    "pop": ("`pop` + store again", pop_reinsert, pop_reinsert, "seq", None),
    "del": ("`del` + store again", del_reinsert, del_reinsert, "seq", None),
    "insert": ("insert + evict", insert, insert_dict, "pairs", None),
    "setdefault_insert": ("`setdefault` insert + evict", setdefault_insert,
                          setdefault_insert_dict, "pairs", None),
    "insert_cb_function": ("… callback a function", insert, insert_dict_cb(on_evict), "pairs",
                           "function"),
    "insert_cb_method": ("… callback a bound method", insert,
                         insert_dict_cb(CALLBACKS["method"]), "pairs", "method"),
    "insert_cb_builtin": ("… callback `dict.setdefault`", insert,
                          insert_dict_cb(SINK.setdefault), "pairs", "builtin"),
    "popitem": ("`popitem` + store again", popitem_reinsert, popitem_reinsert, "seq", None),
    "peek_first": ("`peek_first_item` ÷ `next(reversed(d.items()))`", peek("peek_first_item"),
                   dict_newest, "seq", None),
    "peek_last": ("`peek_last_item` ÷ `next(iter(d.items()))`", peek("peek_last_item"),
                  dict_oldest, "seq", None),
    "set_size": ("`set_size(n)`, unchanged", set_size, None, "seq", None),
    "set_callback": ("`set_callback(f)`", set_callback, None, "seq", None),
    "keys": ("`keys()` per entry", view("keys"), dict_view(list), "reps", None),
    "values": ("`values()` per entry", view("values"), dict_view(lambda d: list(d.values())),
               "reps", None),
    "items": ("`items()` per entry", view("items"), dict_view(lambda d: list(d.items())),
              "reps", None),
    "update_dict": ("`update(dict)` per pair", update, update, "dict_src", None),
    "update_pairs": ("`update(list of pairs)` per pair", update, update, "pairs_src", None),
}
# What each kind of data is divided by, and the bare loop subtracted.
PER = {"seq": (COUNT, "seq"), "fresh": (COUNT, "seq"), "pairs": (COUNT, "pairs"),
       "reps": (REPS * ENTRIES, None), "dict_src": (REPS * ENTRIES, None),
       "pairs_src": (REPS * ENTRIES, None)}
BARE = {"seq": bare, "pairs": bare_pairs}


def own_copy(loop):
    """The loop with a code object of its own: the interpreter specialises
    each call site for the objects it meets, so a site shared by IVRO and
    the dict (or by two operations) would count the switching between them."""
    return types.FunctionType(loop.__code__.replace(), loop.__globals__, loop.__name__,
                              loop.__defaults__, loop.__closure__)


UNHASHABLE = []


def mark():
    """The boundary callgrind dumps at (--dump-before=PyObject_HashNotImplemented):
    a list's hash slot, which the interpreter can only reach through the
    slot's pointer, so that no build inlines it away (Debian's, built with
    link-time optimisation, inlines PyOS_FSPath into os.fspath)."""
    try:
        hash(UNHASHABLE)
    except TypeError:
        pass


def run(kind, ops):
    from _ivro import IVRO

    keys, fresh = make_keys(kind)
    # A str caches its hash: the first loop to use a key would pay for
    # hashing it and the others not. Every loop finds them hashed, as the
    # timed benchmark's rounds after the first do.
    for k in keys + fresh:
        hash(k)
    data = {
        "seq": (keys * (COUNT // ENTRIES))[:COUNT],
        "fresh": fresh,
        # The dict's insertion deletes what the cache evicts: the oldest key.
        "pairs": list(zip(fresh, keys + fresh[: COUNT - ENTRIES])),
        "reps": range(REPS),
        "dict_src": [dict.fromkeys(keys, VALUE)] * REPS,
        "pairs_src": [[(k, VALUE) for k in keys]] * REPS,
    }

    def measured(loop, target, items):
        loop = own_copy(loop)
        gc.collect()
        gc.disable()
        mark()
        loop(target, items)
        mark()
        gc.enable()

    # The bare loops first, then each operation: IVRO, then the dict.
    for name in ("seq", "pairs"):
        measured(BARE[name], None, data[name])
    for op in ops:
        _label, mine, theirs, source, callback = OPS[op]
        for impl, loop in (("ivro", mine), ("dict", theirs)):
            if loop is None:
                continue
            if impl == "ivro":
                c = IVRO(ENTRIES, CALLBACKS[callback]) if callback else IVRO(ENTRIES)
            else:
                c = {}
            for k in keys:
                c[k] = k
            measured(loop, c, data[source])
            del c


def dumps(directory):
    """The instruction count of each of callgrind's dumps, in order."""
    parts = {}
    for path in Path(directory).iterdir():
        part = total = None
        with open(path) as f:
            for line in f:
                if line.startswith("part:"):
                    part = int(line.split()[1])
                elif line.startswith("totals:"):
                    total = int(line.split()[1])
        if part is not None and total is not None:
            parts[part] = total
    return [parts[p] for p in sorted(parts)]


def report(directory, kind, ops):
    counts = dumps(directory)
    # Measured loops in run()'s order; each is the dump that ends at its
    # second mark, and the dump after the last of them is the exit.
    order = ["bare seq", "bare pairs"]
    for op in ops:
        order += [f"{impl} {op}" for impl, i in (("ivro", 1), ("dict", 2)) if OPS[op][i]]
    if len(counts) < 2 * len(order) + 1:
        sys.exit(f"error: {len(counts)} dumps in {directory}, expected at least "
                 f"{2 * len(order) + 1}")
    loops = counts[-2 * len(order):-1:2]
    got = dict(zip(order, loops))
    for op in ops:
        label, _mine, theirs, source, _cb = OPS[op]
        per, base = PER[source]
        sub = got[f"bare {base}"] if base else 0
        mine = (got[f"ivro {op}"] - sub) / per
        if theirs is None:
            print(f"| {label} | {kind} | {mine:.0f} | – | – |")
            continue
        floor = (got[f"dict {op}"] - sub) / per
        print(f"| {label} | {kind} | {mine:.0f} | {floor:.0f} | {mine / floor:.2f} |")


def main(argv):
    named = argv[2 if argv[:1] == ["run"] else 3:]
    if any(op not in OPS for op in named):
        sys.exit(f"unknown operation; known: {', '.join(OPS)}")
    if len(argv) >= 2 and argv[0] == "run":
        run(argv[1], argv[2:] or list(OPS))
    elif len(argv) >= 3 and argv[0] == "report":
        report(argv[1], argv[2], argv[3:] or list(OPS))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
