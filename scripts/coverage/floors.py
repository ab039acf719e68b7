"""The coverage stage's verdict on one build family: prints the lines and
branches of each file of src/ from gcovr's JSON summary, the total, and
whether the total meets the floors; exits 1 when it falls short. Run by
scripts/coverage.sh once per family, each family with its own report.

    python floors.py LABEL SUMMARY.json --lines PERCENT --branches PERCENT
"""

import argparse
import json
import sys


def pct(covered, total):
    # Nothing to cover is all of it covered: a file of declarations only.
    return 100.0 * covered / total if total else 100.0


def report(label, summary, line_floor, branch_floor):
    """The table's lines and the verdict: (lines of text, whether the floors are met)."""
    out = [f"{label}:", f"{'file':32} {'lines':>15} {'branches':>15}"]
    for f in sorted(summary["files"], key=lambda f: f["filename"]):
        lc, lt, bc, bt = (f["line_covered"], f["line_total"], f["branch_covered"],
                          f["branch_total"])
        out.append(f"{f['filename']:32} {lc:5}/{lt:<5}{pct(lc, lt):4.0f}%"
                   f" {bc:5}/{bt:<5}{pct(bc, bt):4.0f}%")
    lc, lt, bc, bt = (summary["line_covered"], summary["line_total"],
                      summary["branch_covered"], summary["branch_total"])
    lines, branches = pct(lc, lt), pct(bc, bt)
    out.append(f"{'total':32} {lc:5}/{lt:<5}{lines:5.1f}% {bc:5}/{bt:<5}{branches:5.1f}%")
    short = []
    # Compared unrounded: 98.96 % is short of 99 % though it prints as 99.0.
    if lines < line_floor:
        short.append(f"lines {lines:.2f} % < {line_floor:g} %")
    if branches < branch_floor:
        short.append(f"branches {branches:.2f} % < {branch_floor:g} %")
    verdict = "FAILED, " + "; ".join(short) if short else "met"
    out.append(f"{label}: lines {lines:.1f} %, branches {branches:.1f} % (floors {line_floor:g} %,"
               f" {branch_floor:g} %): {verdict}")
    return out, not short


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("label")
    parser.add_argument("summary")
    parser.add_argument("--lines", type=float, required=True)
    parser.add_argument("--branches", type=float, required=True)
    args = parser.parse_args(argv)
    with open(args.summary) as f:
        summary = json.load(f)
    out, met = report(args.label, summary, args.lines, args.branches)
    print("\n".join(out))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
