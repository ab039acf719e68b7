"""ns per operation against the number of entries held, drawn to a PNG.

    python bench/plot.py --png docs/scaling.png            # measure, save JSON, draw
    python bench/plot.py --from RESULTS.json --png OUT.png  # draw saved results only

Three workloads (hit `c[k]`, `get` miss, insertion of a new key into a full
cache, which evicts) at 1,000 to 1,000,000 entries, one line per
implementation, with the plain dict as the floor; one row of panels per
kind of key. Keys are strings and random ints by default: their hashes
scatter over the table as real keys do, where consecutive ints (whose hash
is their value) land in consecutive slots and make the large tables look
cheaper than they are. Rows are measured as in
bench.py (same loops, same rotation, medians), with one difference: each
round of a hit or miss row takes the next slice of a long shuffled stream
instead of the same keys again, so that at a million entries the rounds
walk the whole table and pay for its memory as a real cache would, rather
than finding the same few thousand entries in the processor's caches; and
the whole sweep over the sizes runs three times (--sweeps), each point the
median of the three. The kinds are measured one after the other.
Drawing needs matplotlib (`scripts/bench.sh --plot` installs it).
"""

import argparse
import itertools
import json
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import peers  # noqa: E402

import bench  # noqa: E402

SIZES = [1_000, 10_000, 100_000, 1_000_000]
KIND_LABELS = {"int": "consecutive int", "rint": "random int", "str": "str",
               "tuple": "3-tuple"}
WORKLOADS = {"hit": "hit c[k]", "get-miss": "get(k) miss", "insert": "insert new key + evict"}
LABELS = {"ivro": "IVRO", "dict": "dict (floor)", "odict": "OrderedDict recipe",
          "lru_cache": "functools.lru_cache", "cachetools": "cachetools.LRUCache",
          "cachebox": "cachebox.LRUCache"}
STYLE = {"ivro": dict(color="#d62728", linewidth=2.6, marker="o", zorder=5),
         "dict": dict(color="black", linestyle="--", linewidth=1.6, marker="s", zorder=4),
         "odict": dict(color="#1f77b4", marker="^"),
         "lru_cache": dict(color="#2ca02c", marker="v"),
         "cachetools": dict(color="#9467bd", marker="D"),
         "cachebox": dict(color="#ff7f0e", marker="P")}


def row_for(key, kind, n, ops, rounds, rng):
    keys = bench.make_keys(kind, 2 * n + ops)
    present = keys[:n]
    if key == "insert":
        data = bench.ring_data(keys, n, ops)
    else:
        pool = present if key == "hit" else keys[n:]
        stream = bench.spread(pool, ops * (rounds + 1), rng)
        slices = itertools.cycle([stream[i:i + ops] for i in range(0, len(stream), ops)])
        data = lambda: next(slices)  # noqa: E731
    return bench.Row(WORKLOADS[key], kind, n, ops, bench.make_runners(key, n, present), data)


def measure(kind, sizes, rounds_opt, sweeps):
    """Each point is the median over `sweeps` passes over every size of the
    per-pass medians: a neighbour's job that slows one pass down (which
    shifts a whole row, not single rounds) moves no point."""
    per_pass = {}
    for sweep in range(sweeps):
        for n in sizes:
            small = n <= 10_000
            ops, rounds = (2_000, 61) if small else (20_000, 31)
            rounds = rounds_opt or rounds
            for key in WORKLOADS:
                print(f"  {kind} pass {sweep + 1}/{sweeps}: {key}, n={n:,}", file=sys.stderr)
                rng = random.Random(f"{key}-{kind}-{n}-{sweep}")
                row = row_for(key, kind, n, ops, rounds, rng)
                medians, _ = bench.measure(row, rounds)
                point = per_pass.setdefault((key, n), {"ops_per_run": ops, "rounds": rounds,
                                                       "passes": []})
                point["passes"].append(medians)
                del row
    rows = []
    for (key, n), point in per_pass.items():
        passes = point.pop("passes")
        ns = {name: statistics.median(p[name] for p in passes) for name in passes[0]}
        rows.append({"workload": key, "keys": kind, "n": n, **point, "ns": ns,
                     "ns_per_pass": passes})
    return rows


def draw(results, png):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kinds = list(dict.fromkeys(r.get("keys", "int") for r in results["rows"]))
    height = 0.6 + 4 * len(kinds)  # inches: a row of panels each, and the legend
    fig, grid = plt.subplots(len(kinds), len(WORKLOADS), figsize=(13, height), sharey=True,
                             squeeze=False)
    for kind, axes in zip(kinds, grid):
        for ax, (key, title) in zip(axes, WORKLOADS.items()):
            rows = sorted((r for r in results["rows"]
                           if r["workload"] == key and r.get("keys", "int") == kind),
                          key=lambda r: r["n"])
            for name in LABELS:
                pts = [(r["n"], r["ns"][name]) for r in rows if name in r["ns"]]
                if pts:
                    xs, ys = zip(*pts)
                    ax.plot(xs, ys, label=LABELS[name], markersize=5, **STYLE[name])
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_title(f"{title}, {KIND_LABELS.get(kind, kind)} keys")
            ax.set_xlabel("entries held (capacity)")
            ax.grid(True, which="major", alpha=0.35)
            ax.grid(True, which="minor", axis="y", alpha=0.12)
        axes[0].set_ylabel("ns per operation (median, log scale)")
    handles, labels = grid[0][0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), frameon=False)
    version = results["machine"]["python"].split()[0]
    fig.suptitle(f"Cost per operation against cache size, CPython {version} "
                 "(lower is better; functools.lru_cache has no get)")
    fig.tight_layout(rect=(0, 0.35 / height, 1, 1))
    png.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(png, dpi=80)
    print(f"wrote {png} ({png.stat().st_size // 1024} KB)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--png", type=Path, default=Path("docs/scaling.png"))
    ap.add_argument("--json", type=Path, help="where to save the measurements")
    ap.add_argument("--from", dest="source", type=Path, help="draw these saved results")
    ap.add_argument("--sizes", type=int, nargs="+", default=SIZES)
    ap.add_argument("--rounds", type=int, help="timed runs per implementation")
    ap.add_argument("--sweeps", type=int, default=3, help="passes over every size")
    ap.add_argument("--keys", nargs="+", choices=bench.KINDS, default=["str", "rint"],
                    help="one row of panels for each")
    args = ap.parse_args()
    if args.source:
        results = json.loads(args.source.read_text())
    else:
        missing = {"cachetools", "cachebox"} - set(peers.IMPLS)
        if missing:
            sys.exit(f"error: peers not installed: {', '.join(sorted(missing))}")
        rows = [r for kind in args.keys
                for r in measure(kind, args.sizes, args.rounds, args.sweeps)]
        results = {"machine": bench.machine_info(), "rows": rows}
        out = args.json or (Path(__file__).resolve().parent / "results" / time.strftime(
            f"%Y%m%d-%H%M%S-py{sys.version_info[0]}.{sys.version_info[1]}-scaling.json"))
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(json.dumps(results, indent=1))
        print(f"saved {out}")
    draw(results, args.png)


if __name__ == "__main__":
    main()
