"""Running out of memory at every allocation of an insertion."""

import subprocess
import sys

import pytest

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("no allocation failure injection here", allow_module_level=True)

# Run apart: where the interpreter's own dict corrupts itself when it cannot grow (some
# releases raise its count without storing the entry), releasing it may crash, so the
# child leaves without tearing anything down. There only the cache's part is checked:
# the error reaches the caller and nothing it holds is freed under it.
SCRIPT = """
import collections, os, sys, _testcapi
from _ivro import IVRO

OPS = {
    "setitem": lambda c, k: c.__setitem__(k, "v"),
    "setdefault": lambda c, k: c.setdefault(k, "v"),
    "update": lambda c, k: c.update({k: "v"}),
}
SIZE = int(sys.argv[2])

def run(call, fail_at):
    _testcapi.set_nomemory(fail_at, 0)
    try:
        call()
    except MemoryError:
        return True
    finally:
        _testcapi.remove_mem_hooks()
    return False

# The releases whose dict breaks (the same rule as the module's own): their
# setdefault counts an entry it failed to store.
ver = sys.version_info
dict_whole = not ((3, 13) <= ver[:3] < (3, 13, 7)
                  or (ver[:3] == (3, 14, 0) and ver.releaselevel != "final")
                  or (ver[:3] == (3, 15, 0) and ver.releaselevel == "alpha" and ver.serial == 0))
for fail_at in range(1, 40):
    reports = collections.deque()  # its first block has room: appending allocates nothing
    c = IVRO(SIZE, lambda k, v: reports.append(k))
    for i in range(10):
        c[i] = i
    raised = run(lambda: OPS[sys.argv[1]](c, 100), fail_at)
    keys = c.keys()
    if not dict_whole:
        assert raised or 100 in keys
        continue
    assert len(c) == len(keys) == len(c.values()) == len(c.items()), (fail_at, len(c), keys)
    assert all(k in c for k in keys) and len(c) <= SIZE
    assert sorted(keys + list(reports)) == list(range(10)) + ([100] if 100 in keys else [])
    c[200] = 1  # and usable
    assert c.keys()[0] == 200
print("dict whole" if dict_whole else "dict broken")
sys.stdout.flush()
os._exit(0)
"""


@pytest.mark.parametrize("size", [100, 10], ids=["room", "evicting"])
@pytest.mark.parametrize("op", ["setitem", "setdefault", "update"])
def test_insertion_out_of_memory_leaves_cache_whole(op, size):
    proc = subprocess.run([sys.executable, "-c", SCRIPT, op, str(size)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
