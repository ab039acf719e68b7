"""The README's compact performance table, in Markdown, from saved results.

    python bench/summary.py bench/results/*.json           # one line per interpreter
    python bench/summary.py --detail bench/results/X.json  # every row, one interpreter
    python bench/summary.py --targets bench/results/*.json # the speed targets, met or not
    python bench/summary.py --entries 1000000 FILES...     # the table at another size

One line per interpreter. When several files are for the same one (as
`scripts/bench.sh --repeat 3` writes), each figure is the median over them,
so give only runs of the same code. Figures are from the 1,000-entry rows,
"int / rint / str" in each cell (consecutive ints, random ints, strings;
those of them the files hold):
IVRO's median time divided by the plain dict's for the same dictionary work
(1.00 would be a dict), and a peer's time divided by IVRO's (above 1: IVRO
is faster). Standard library only, so any interpreter can run it.
"""

import json
import statistics
import sys
from pathlib import Path

N = 1000
# The kinds of key the tables show, in this order, of those the files hold
# (runs from before random ints have none); --targets checks every kind.
TABLE_KEYS = ("int", "rint", "str")
ALL_KEYS = (*TABLE_KEYS, "tuple")
KEY_LABELS = {"int": "consecutive int", "rint": "random int", "str": "str", "tuple": "3-tuple"}
FLOOR_ROWS = [("hit c[k]", "hit"), ("get miss", "get miss"),
              ("replace c[k]=v", "replace"), ("insert+evict", "insert+evict")]
PEER_ROWS = [("lru_cache", "hit c[k]", "hit"), ("lru_cache", "insert+evict", "insert+evict"),
             ("cachebox", "hit c[k]", "hit"), ("cachebox", "get miss", "get miss"),
             ("cachebox", "insert+evict", "insert+evict")]


def load(paths):
    by_version = {}
    for path in paths:
        data = json.loads(Path(path).read_text())
        version = data["machine"]["python"].split()[0]
        by_version.setdefault(version, []).append(data)
    return dict(sorted(by_version.items(), key=lambda kv: version_key(kv[0])))


def version_key(version):
    parts = []
    for p in version.split("."):
        digits = "".join(c for c in p if c.isdigit()) or "0"
        parts.append(int(digits))
    return parts


def ratio(runs, workload, kind, num, den):
    """The median over the runs of num's time over den's."""
    found = []
    for rows in runs:
        r = rows.get((workload, kind))
        if r is not None and num in r["ns"] and den in r["ns"]:
            found.append(r["ns"][num] / r["ns"][den])
    return statistics.median(found) if found else None


def kinds_in(datas, among):
    held = {r["keys"] for d in datas for r in d["rows"]}
    return [k for k in among if k in held]


def cell(values):
    return " / ".join("–" if v is None else f"{v:.2f}" for v in values)


DETAIL_ROWS = [("hit c[k]", "hit `c[k]`"), ("get hit", "`get` hit"), ("get miss", "`get` miss"),
               ("in (hit)", "`k in c`"), ("has_key", "`has_key` (dict: `d.__contains__`)"),
               ("setdefault hit", "`setdefault` hit"),
               ("replace c[k]=v", "replace `c[k] = v`"),
               ("insert+evict", "insert new key, evict"),
               ("setdefault+evict", "`setdefault` new key, evict"),
               ("insert+evict cb", "… callback a function"),
               ("insert+evict cb method", "… callback a bound method"),
               ("insert+evict cb C", "… callback in C (`dict.setdefault`)"),
               ("pop+reinsert", "`pop` + store again"), ("del+reinsert", "`del` + store again"),
               ("popitem+reinsert", "`popitem` + store again (dict: its newest)"),
               ("peek_first_item", "`peek_first_item` (dict: `next(reversed(d.items()))`)"),
               ("peek_last_item", "`peek_last_item` (dict: `next(iter(d.items()))`)"),
               ("set_size", "`set_size(n)`, unchanged (dict: `d.__contains__`)"),
               ("keys() /entry", "`keys()`, per entry"),
               ("values() /entry", "`values()`, per entry"),
               ("items() /entry", "`items()`, per entry"),
               ("update(dict) /pair", "`update(dict)`, per pair"),
               ("update(pairs) /pair", "`update(list of pairs)`, per pair"),
               ("memo zipf", "Zipf memo")]
DETAIL_PEERS = [("odict", "OrderedDict"), ("lru_cache", "lru_cache"),
                ("cachetools", "cachetools"), ("cachebox", "cachebox")]


def median_ns(runs, workload, kind, name):
    found = [rows[(workload, kind)]["ns"][name] for rows in runs
             if (workload, kind) in rows and name in rows[(workload, kind)]["ns"]]
    return statistics.median(found) if found else None


def detail(version, datas):
    """Every row at 1,000 entries for one interpreter, as the README shows it."""
    runs = [{(r["workload"], r["keys"]): r for r in d["rows"] if r["n"] == N} for d in datas]
    keys = kinds_in(datas, TABLE_KEYS)
    if not keys:
        print(f"CPython {version}: no rows with {', '.join(TABLE_KEYS)} keys")
        return
    print(f"CPython {version}, {N:,} entries, {' / '.join(KEY_LABELS[k] for k in keys)} keys, "
          f"{len(datas)} run{'s' if len(datas) > 1 else ''}\n")
    head = ["workload", "IVRO ns", "÷ dict"] + [f"× {label}" for _, label in DETAIL_PEERS]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for workload, label in DETAIL_ROWS:
        if not any((workload, k) in rows for rows in runs for k in keys):
            continue
        if workload == "memo zipf":
            rates = [r[(workload, keys[0])]["hit_rate"]["ivro"] for r in runs
                     if (workload, keys[0]) in r]
            label = f"{label}, {statistics.median(rates):.0%} hits"
        ns = " / ".join(fmt1(median_ns(runs, workload, k, "ivro")) for k in keys)
        line = [label, ns]
        floor = None if workload == "memo zipf" else (runs, workload, "ivro", "dict")
        line.append(cell(ratio(runs, workload, k, "ivro", "dict") for k in keys)
                    if floor else "–")
        for peer, _ in DETAIL_PEERS:
            line.append(cell(ratio(runs, workload, k, peer, "ivro") for k in keys))
        print("| " + " | ".join(line).replace(" / ".join("–" * len(keys)), "–") + " |")


# (workload, limit on IVRO's time over the dict's) at 1,000 entries.
FLOOR_TARGETS = [("hit c[k]", 1.25), ("get miss", 1.10), ("replace c[k]=v", 1.10),
                 ("insert+evict", 1.20)]
# Every other row with a dict beside it, at 1,000 entries: within 1.3 times
# the dict, and an insertion whose callback is a bound method within 1.2
# times the same dictionary work and call.
METHOD_LIMIT = 1.30
METHOD_LIMITS = {"insert+evict cb method": 1.20}
LARGE = 1_000_000
LARGE_HIT = 1.35
PEERS = ("odict", "lru_cache", "cachetools", "cachebox")


def peer_need(peer_over_dict):
    """What a peer's time over IVRO's must reach on a row: ahead by 5 % where
    the peer is slower than the plain dict, within 5 % where it beats it."""
    return 1.05 if peer_over_dict >= 1.0 else 0.95


def targets(version, datas):
    """Each speed target for one interpreter, met or missed, on every kind of key."""
    print(f"CPython {version} ({len(datas)} run{'s' if len(datas) > 1 else ''})")
    misses = 0
    keys = kinds_in(datas, ALL_KEYS)

    def verdict(label, value, ok):
        nonlocal misses
        misses += not ok
        print(f"  {'met   ' if ok else 'MISSED'} {label}: {value}")

    for n in (N, LARGE):
        runs = [{(r["workload"], r["keys"]): r for r in d["rows"] if r["n"] == n} for d in datas]
        if not any(runs):
            continue
        limits = FLOOR_TARGETS if n == N else [("hit c[k]", LARGE_HIT)]
        if n == N:
            held = {w for rows in runs for (w, _) in rows} - {"memo zipf"}
            limits = limits + [(w, METHOD_LIMITS.get(w, METHOD_LIMIT)) for w, _ in DETAIL_ROWS
                               if w in held and w not in dict(FLOOR_TARGETS)]
        for workload, limit in limits:
            for k in keys:
                v = ratio(runs, workload, k, "ivro", "dict")
                if v is not None:
                    verdict(f"{n:,} {k} {workload} ÷ dict <= {limit}", f"{v:.2f}", v <= limit)
        if n == N:
            for k in keys:
                v = ratio(runs, "hit c[k]", k, "lru_cache", "ivro")
                bound = ratio(runs, "hit c[k]", k, "lru_cache", "dict")
                if v is not None:
                    verdict(f"{n:,} {k} hit × lru_cache >= 2", f"{v:.2f} (lru_cache hit ÷ dict "
                            f"hit {bound:.2f}: the most any cache can reach)", v >= 2)
        # Every peer, every row with a dict floor, under the 5 % rule.
        # (The memo row has no floor: a dict never evicts, so it always hits.)
        workloads = sorted({w for rows in runs for (w, _) in rows} - {"memo zipf"})
        for workload in workloads:
            for k in keys:
                for peer in PEERS:
                    v = ratio(runs, workload, k, peer, "ivro")
                    p_dict = ratio(runs, workload, k, peer, "dict")
                    if v is None or p_dict is None:
                        continue
                    need = peer_need(p_dict)
                    if v < need:
                        verdict(f"{n:,} {k} {workload} × {peer} >= {need}",
                                f"{v:.2f} ({peer} {p_dict:.2f} × dict)", False)
    print(f"  {misses} missed; rows against peers that are met are not listed\n")


def fmt1(v):
    return "–" if v is None else f"{v:.1f}"


def main(argv):
    global N
    show_detail = "--detail" in argv
    show_targets = "--targets" in argv
    if "--entries" in argv:
        i = argv.index("--entries")
        N = int(argv[i + 1])
        argv = argv[:i] + argv[i + 2:]
    paths = [a for a in argv if a not in ("--detail", "--targets")]
    if not paths:
        sys.exit(__doc__)
    runs = load(paths)
    if show_targets:
        for version, datas in runs.items():
            targets(version, datas)
        return
    if show_detail:
        for version, datas in runs.items():
            detail(version, datas)
            print()
        return
    head = ["CPython"] + [f"{label} ÷ dict" for _, label in FLOOR_ROWS]
    head += [f"{label} × {peer}" for peer, _, label in PEER_ROWS]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    notes = set()
    keys = kinds_in([d for datas in runs.values() for d in datas], TABLE_KEYS)
    for version, datas in runs.items():
        rows = [{(r["workload"], r["keys"]): r for r in d["rows"] if r["n"] == N} for d in datas]
        line = [f"{version} ({len(datas)} run{'s' if len(datas) > 1 else ''})"]
        for workload, _ in FLOOR_ROWS:
            line.append(cell(ratio(rows, workload, k, "ivro", "dict") for k in keys))
        for peer, workload, _ in PEER_ROWS:
            line.append(cell(ratio(rows, workload, k, peer, "ivro") for k in keys))
        print("| " + " | ".join(line) + " |")
        for data in datas:
            m = data["machine"]
            peers = ", ".join(f"{k} {v}" for k, v in m["peers"].items())
            notes.add(f"{m['cpu']} ({m['cpus']} cpus), module at {m.get('commit') or '?'}; "
                      f"{peers}")
    print()
    print(f"{N:,} entries; each cell {' / '.join(KEY_LABELS[k] for k in keys)} keys; "
          "medians. ÷ dict: IVRO's time over a "
          "plain dict doing the same dictionary work. × peer: the peer's time over IVRO's "
          "(above 1: IVRO is faster).")
    for note in sorted(notes):
        print(f"Measured on {note}.")


if __name__ == "__main__":
    main(sys.argv[1:])
