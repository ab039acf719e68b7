"""One operation in a loop, for counting instructions under callgrind.

    valgrind --tool=callgrind python bench/instructions.py IMPL OP [KEYS]

IMPL is `ivro` or `dict`. OP is `hit` (c[k]), `get_miss` (c.get(k) for an
absent key), `replace` (c[k] = v for a present key), `insert` (a new key
into a full cache; the dict also deletes the oldest key), or one of the
bare loops `loop` and `pairs`, whose counts are subtracted from the others
(`pairs` from `insert`). 100,000 operations on 1,000 entries with KEYS
`int` (the default: consecutive, past the small-int cache), `rint` (random,
spread over 62 bits) or `str`; both implementations
run the same loop shape over the same keys, and the setup is the same for
every OP, so the difference of two counts divided by 100,000 is the cost of
one operation.
`scripts/bench.sh --instructions` runs it on every interpreter.
"""

import random
import sys

ENTRIES, OPS = 1000, 100_000


def make_keys(kind):
    """ENTRIES keys to hold and OPS fresh ones, all distinct."""
    if kind == "str":
        return [f"key-{i}" for i in range(ENTRIES)], [f"key-{10**9 + i}" for i in range(OPS)]
    if kind == "rint":
        # bench.py's keys, without importing the peers it brings along.
        # This seed draws no repeat among the first ENTRIES + OPS.
        draw = random.Random("rint keys").getrandbits
        keys = [draw(62) for _ in range(ENTRIES + OPS)]
        assert len(set(keys)) == len(keys)
        return keys[:ENTRIES], keys[ENTRIES:]
    return [10**9 + i for i in range(ENTRIES)], [2 * 10**9 + i for i in range(OPS)]


def main(impl, op, kind="int"):
    keys, fresh = make_keys(kind)
    if impl == "ivro":
        from _ivro import IVRO

        c = IVRO(ENTRIES)
    else:
        c = {}
    for k in keys:
        c[k] = k
    seq = (keys * (OPS // ENTRIES))[:OPS]
    # The dict's insertion deletes what the cache evicts: the oldest key.
    pairs = list(zip(fresh, keys + fresh[: OPS - ENTRIES]))
    if op == "loop":
        for _k in seq:
            pass
    elif op == "pairs":
        for _k, _old in pairs:
            pass
    elif op == "hit":
        for k in seq:
            c[k]
    elif op == "get_miss":
        get = c.get
        for k in fresh:
            get(k)
    elif op == "replace":
        for k in seq:
            c[k] = None
    elif op == "insert" and impl == "ivro":
        for k, _old in pairs:
            c[k] = None
    elif op == "insert":
        for k, old in pairs:
            c[k] = None
            del c[old]
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4) or sys.argv[1] not in ("ivro", "dict"):
        sys.exit(__doc__)
    main(*sys.argv[1:])
