"""The implementations the benchmark compares, behind one small interface.

Each entry of IMPLS builds an empty structure for a capacity `n` (with an
eviction callback where the structure supports one) and fills it. The plain
dict is the floor: it never evicts, the benchmark's loops do its dictionary
work explicitly. functools.lru_cache is reached only through a wrapped
identity function, so it takes part only where a call means the same thing.
"""

import functools
from collections import OrderedDict
from importlib import metadata

from _ivro import IVRO

try:
    import cachetools
except ImportError:  # the benchmark's own set-up installs it
    cachetools = None
try:
    import cachebox
except ImportError:
    cachebox = None


class OrderedDictLRU(OrderedDict):
    """The usual recipe: recency kept by move_to_end, eviction by popitem."""

    def __init__(self, maxsize, callback=None):
        super().__init__()
        self.maxsize = maxsize
        self.callback = callback

    def __getitem__(self, key, _getitem=OrderedDict.__getitem__):
        value = _getitem(self, key)
        self.move_to_end(key)
        return value

    def get(self, key, default=None):
        if key in self:
            self.move_to_end(key)
            return OrderedDict.__getitem__(self, key)
        return default

    def __setitem__(self, key, value, _setitem=OrderedDict.__setitem__):
        _setitem(self, key, value)
        self.move_to_end(key)
        if len(self) > self.maxsize:
            old_key, old_value = self.popitem(last=False)
            if self.callback is not None:
                self.callback(old_key, old_value)


if cachetools is not None:

    class CallbackLRUCache(cachetools.LRUCache):
        """cachetools' documented way to hear of evictions: override popitem."""

        def __init__(self, maxsize, callback):
            super().__init__(maxsize)
            self.callback = callback

        def popitem(self):
            key, value = super().popitem()
            self.callback(key, value)
            return key, value


def identity(x):
    return x


def _make_ivro(n, callback):
    return IVRO(n, callback) if callback is not None else IVRO(n)


def _make_cachetools(n, callback):
    return CallbackLRUCache(n, callback) if callback is not None else cachetools.LRUCache(n)


def _make_cachebox(n, callback):
    return None if callback is not None else cachebox.LRUCache(n)


def _make_lru_cache(n, callback):
    return None if callback is not None else functools.lru_cache(maxsize=n)(identity)


def _fill_mapping(obj, keys):
    for k in keys:
        obj[k] = k


def _fill_calls(f, keys):
    for k in keys:
        f(k)


# name -> (constructor(n, callback) returning None when unsupported, filler)
IMPLS = {
    "ivro": (_make_ivro, _fill_mapping),
    "dict": (lambda n, callback: {}, _fill_mapping),
    "odict": (OrderedDictLRU, _fill_mapping),
    "lru_cache": (_make_lru_cache, _fill_calls),
}
if cachetools is not None:
    IMPLS["cachetools"] = (_make_cachetools, _fill_mapping)
if cachebox is not None:
    IMPLS["cachebox"] = (_make_cachebox, _fill_mapping)

PEERS = [name for name in IMPLS if name not in ("ivro", "dict")]
# Keeps its storage outside Python's allocators, where tracemalloc cannot see it.
UNTRACED = {"cachebox"}


def build(name, n, keys, callback=None):
    """A structure of capacity n holding `keys` (each mapped to itself) in
    that order, oldest first; None if `name` cannot do this with a callback."""
    make, fill = IMPLS[name]
    obj = make(n, callback)
    if obj is not None:
        fill(obj, keys)
    return obj


def versions():
    found = {}
    for dist in ("cachetools", "cachebox"):
        try:
            found[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            found[dist] = None
    return found
