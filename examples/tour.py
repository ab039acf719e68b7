"""A short tour of _ivro.IVRO: eviction, the callback, statistics, dict methods."""

from _ivro import IVRO


def main() -> None:
    evicted = []

    def on_evict(key, value):
        evicted.append((key, value))

    # A cache that keeps the three most recently used entries.
    cache = IVRO(3, on_evict)
    for i in range(5):
        cache[i] = str(i)
    print("keys, newest first:     ", cache.keys())
    print("evicted so far:         ", evicted)

    # Reading an entry makes it the most recently used one, so the next
    # insertion evicts another.
    print("cache[2] ->             ", repr(cache[2]))
    cache[5] = "5"
    print("after cache[5] = '5':   ", cache.keys(), " evicted", evicted[-1])

    # Hits and misses are counted by lookups (c[k], get, setdefault, pop).
    try:
        cache["absent"]
    except KeyError as exc:
        print("cache['absent'] raises  ", repr(exc))
    print("get('absent', 0) ->     ", cache.get("absent", 0))
    print("get_stats() (hits, misses):", cache.get_stats())

    # Dictionary-style methods; membership tests neither count nor refresh.
    print("4 in cache:             ", 4 in cache)
    print("setdefault('x', []) ->  ", cache.setdefault("x", []))
    print("pop(5) ->               ", repr(cache.pop(5)))
    print("popitem() (oldest) ->   ", cache.popitem())
    cache.update({"a": 1}, b=2)
    print("items(), newest first:  ", cache.items())
    print("peek newest / oldest:   ", cache.peek_first_item(), cache.peek_last_item())
    print("repr (insertion order): ", cache)

    # Shrinking evicts at once, oldest first, through the callback.
    cache.set_size(1)
    print("after set_size(1):      ", cache.keys(), " size", cache.get_size())
    print("all evictions:          ", evicted)

    cache.clear()
    print("after clear():          ", len(cache), cache.get_stats())


if __name__ == "__main__":
    main()
