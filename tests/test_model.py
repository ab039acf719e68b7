"""Random operation sequences checked against a pure-Python model of the cache."""
from collections import OrderedDict

import hypothesis.strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from _ivro import IVRO

KEYS = st.sampled_from([0, 1, 2, 3, 4, "a", "b", "c"])
VALUES = st.integers(0, 9)
DEFAULTS = st.sampled_from([(), (None,), (-1,)])


class Model:
    """Recency in an OrderedDict (oldest first); the insertion-ordered text in a dict."""

    def __init__(self, size, reporting):
        self.size, self.reporting = size, reporting
        self.entries, self.text, self.hits, self.misses, self.evicted = OrderedDict(), {}, 0, 0, []

    def lookup(self, key):
        self.hits += key in self.entries
        self.misses += key not in self.entries
        self.entries.move_to_end(key)  # KeyError for a miss, as the cache gives
        return self.entries[key]

    def assign(self, key, value):
        fresh = key not in self.entries
        self.entries[key] = self.text[key] = value
        self.entries.move_to_end(key)
        if fresh:
            self.shrink()

    def shrink(self):
        while len(self.entries) > self.size:
            key, value = self.entries.popitem(last=False)
            del self.text[key]
            self.evicted += [(key, value)] if self.reporting else []

    def remove(self, key):
        del self.text[key]
        return self.entries.pop(key)

    def delete(self, key):
        self.remove(key)

    def popitem(self, least_recent):
        if not self.entries:
            raise KeyError("empty")
        key = next(iter(self.entries) if least_recent else reversed(self.entries))
        return key, self.remove(key)


def outcome(call):
    try:
        return call()
    except KeyError:
        return KeyError


def fallback(default, missing=None):
    return default[0] if default else missing


class CacheMachine(RuleBasedStateMachine):
    @initialize(size=st.integers(1, 5), reporting=st.booleans())
    def start(self, size, reporting):
        self.calls = []
        self.cache = IVRO(size, self.record if reporting else None)
        self.model = Model(size, reporting)

    def record(self, key, value):
        self.calls.append((key, value))

    def check(self, sut, model):
        assert outcome(sut) == outcome(model)

    @rule(key=KEYS)
    def getitem(self, key):
        self.check(lambda: self.cache[key], lambda: self.model.lookup(key))

    @rule(key=KEYS, value=VALUES)
    def setitem(self, key, value):
        self.cache[key] = value
        self.model.assign(key, value)

    @rule(key=KEYS)
    def delitem(self, key):
        self.check(lambda: self.cache.__delitem__(key), lambda: self.model.delete(key))

    @rule(key=KEYS, default=DEFAULTS)
    def get(self, key, default):
        found = outcome(lambda: self.model.lookup(key))
        assert self.cache.get(key, *default) == (fallback(default) if found is KeyError else found)

    @rule(key=KEYS, default=DEFAULTS)
    def setdefault(self, key, default):
        expected = outcome(lambda: self.model.lookup(key))
        if expected is KeyError:
            expected = fallback(default)
            self.model.assign(key, expected)
        assert self.cache.setdefault(key, *default) == expected

    @rule(key=KEYS, default=DEFAULTS)
    def pop(self, key, default):
        found = outcome(lambda: self.model.lookup(key))
        expected = fallback(default, KeyError) if found is KeyError else self.model.remove(key)
        assert outcome(lambda: self.cache.pop(key, *default)) == expected

    @rule(least_recent=st.booleans())
    def popitem(self, least_recent):
        self.check(lambda: self.cache.popitem(least_recent),
                   lambda: self.model.popitem(least_recent))

    @rule(key=KEYS)
    def contains(self, key):
        c = self.cache
        assert (key in c) is c.has_key(key) is c.__contains__(key) is (key in self.model.entries)

    @rule(pairs=st.lists(st.tuples(KEYS, VALUES), max_size=4), as_dict=st.booleans(),
          named=st.dictionaries(st.sampled_from("abcd"), VALUES, max_size=3))
    def update(self, pairs, as_dict, named):
        other = dict(pairs) if as_dict else pairs
        self.cache.update(other, **named)
        for key, value in [*(other.items() if as_dict else other), *named.items()]:
            self.model.assign(key, value)

    @rule(size=st.integers(1, 6))
    def set_size(self, size):
        self.cache.set_size(size)
        self.model.size = size
        self.model.shrink()

    @rule()
    def clear(self):
        self.cache.clear()
        evicted, reporting = self.model.evicted, self.model.reporting
        self.model = Model(self.model.size, reporting)
        self.model.evicted = evicted

    @rule(reporting=st.booleans())
    def set_callback(self, reporting):
        self.cache.set_callback(self.record if reporting else None)
        self.model.reporting = reporting

    @rule(size=st.integers(1, 5))
    def reinit(self, size):
        self.cache.__init__(size, self.record)
        evicted, self.model = self.model.evicted, Model(size, True)
        self.model.evicted = evicted

    @invariant()
    def agrees_with_model(self):
        m, c = self.model, self.cache
        newest_first = list(reversed(m.entries.items()))
        assert c.items() == newest_first and c.keys() == [k for k, _ in newest_first]
        assert c.values() == [v for _, v in newest_first]
        assert len(c) == len(m.entries) and bool(c) == bool(m.entries)
        assert c.get_stats() == (m.hits, m.misses) and c.get_size() == m.size
        assert c.peek_first_item() == (newest_first[0] if newest_first else None)
        assert c.peek_last_item() == (newest_first[-1] if newest_first else None)
        assert repr(c) == repr(m.text) and self.calls == m.evicted


TestCacheMachine = CacheMachine.TestCase
