"""The reference model that the model-based tests and the fuzz targets hold the cache to:
a least recently used mapping in a few lines of plain Python."""
from collections import OrderedDict


class Model:
    """Recency in an OrderedDict (oldest first), insertion order in a dict; values are
    serials; `evicted` holds this step's predicted callback calls. `stuck` holds the keys
    whose eviction was reported but whose removal failed: they sit at the oldest end, do
    not count against the size, are not refreshed by lookups, and leave silently when an
    eviction retries them (one per evicting insertion, all in set_size)."""

    def __init__(self, size, reporting):
        self.size, self.reporting, self.evicted = size, reporting, []
        self.clear()

    def clear(self):
        self.entries, self.text, self.hits, self.misses = OrderedDict(), {}, 0, 0
        self.stuck = set()

    def lookup(self, key):
        try:
            present = key in self.entries
        except TypeError:
            self.misses += 1
            raise
        self.hits += present
        self.misses += not present
        value = self.entries[key]  # KeyError on a miss, as the cache gives
        if key not in self.stuck:
            self.entries.move_to_end(key)
        return value

    def assign(self, key, serial):
        fresh = key not in self.entries
        self.entries[key] = self.text[key] = serial
        self.entries.move_to_end(key)
        self.stuck.discard(key)  # a new value makes it an ordinary entry again
        if fresh and len(self.entries) - len(self.stuck) > self.size:
            self.evict(retries=1)

    def set_size(self, size):
        self.size = size
        if len(self.entries) - len(self.stuck) > size or self.stuck:
            self.evict(retries=len(self.stuck))

    def evict(self, retries):
        for _ in range(retries):
            oldest = next(iter(self.entries), None)
            if oldest is None or oldest not in self.stuck:
                break
            self.remove(oldest)  # quiet keys: the retry succeeds, silently
        while len(self.entries) - len(self.stuck) > self.size:
            k = next(k for k in self.entries if k not in self.stuck)
            v = self.remove(k)
            self.evicted += [(k, v)] if self.reporting else []

    def remove(self, key):
        del self.text[key]
        self.stuck.discard(key)
        return self.entries.pop(key)

    def get(self, key, default=None):
        try:
            return self.lookup(key)
        except (KeyError, TypeError):
            return default

    def setdefault(self, key, default=None):
        try:
            return self.lookup(key)
        except KeyError:
            self.assign(key, default)
            return default

    def pop(self, key, *default):
        try:
            self.lookup(key)
        except (KeyError, TypeError):
            if default:
                return default[0]
            raise
        return self.remove(key)

    def popitem(self, least_recent):
        if not self.entries:
            raise KeyError("empty")
        key = next(iter(self.entries) if least_recent else reversed(self.entries))
        return key, self.remove(key)

    def update(self, pairs):
        for k, v in pairs:
            self.assign(k, v)
