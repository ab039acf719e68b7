#!/usr/bin/env python3
"""Whether a wheel the wheels stage built is what its name promises
(scripts/wheels.sh).

    wheels.py check WHEEL REPORT --abi ABI --libc manylinux|musllinux --arch ARCH
        REPORT is the text of `auditwheel show WHEEL`. Exits 1, saying
        why, unless the wheel's name carries the ABI asked for (cp313,
        cp315t, ...) and platform tags for that libc and architecture no
        newer than the oldest platforms users still run (manylinux_2_17,
        alias manylinux2014, and musllinux_1_2), and auditwheel reports a
        platform of the same libc and architecture that every one of those
        tags is at least as new as: a name that claims an older platform
        than auditwheel found would install where the module cannot load.

Standard library only, Python 3.9 or newer, like scripts/stages.py.
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass
from pathlib import Path

# The newest platform a wheel may claim, per libc: older systems than
# these are rare, newer ones would shut out the ones still in service.
NEWEST = {"manylinux": (2, 17), "musllinux": (1, 2)}
# The platform tags from before PEP 600, by the glibc they stand for.
LEGACY = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}

PLATFORM = re.compile(r"^(manylinux|musllinux)_(\d+)_(\d+)_(\w+)$")
LEGACY_PLATFORM = re.compile(r"^(manylinux1|manylinux2010|manylinux2014)_(\w+)$")
REPORTED = re.compile(r'consistent with\s+the\s+following\s+platform\s+tag:\s*"([^"]+)"')


@dataclass(frozen=True)
class Platform:
    libc: str            # "manylinux", "musllinux", or "" for a bare linux_ARCH tag
    version: tuple       # the libc version it promises, (major, minor)
    arch: str


def platform(tag: str) -> Platform:
    m = PLATFORM.match(tag)
    if m:
        return Platform(m[1], (int(m[2]), int(m[3])), m[4])
    m = LEGACY_PLATFORM.match(tag)
    if m:
        return Platform("manylinux", LEGACY[m[1]], m[2])
    if tag.startswith("linux_"):
        return Platform("", (0, 0), tag[len("linux_"):])
    raise ValueError(f"not a Linux platform tag: {tag}")


def name_tags(filename: str) -> tuple[str, str, list[str]]:
    """A wheel's file name's (python tag, ABI tag, platform tags)."""
    stem = Path(filename).name
    if not stem.endswith(".whl"):
        raise ValueError(f"not a wheel: {filename}")
    parts = stem[:-len(".whl")].split("-")
    if len(parts) not in (5, 6):
        raise ValueError(f"not a wheel's name: {filename}")
    return parts[-3], parts[-2], parts[-1].split(".")


def reported(report: str) -> str | None:
    """The platform tag `auditwheel show` found the wheel consistent with."""
    m = REPORTED.search(report)
    return m[1] if m else None


def problems(filename: str, report: str, abi: str, libc: str, arch: str) -> list[str]:
    """What is wrong with the wheel, by its name and auditwheel's report;
    empty when nothing is."""
    found = []
    python, abi_tag, plats = name_tags(filename)
    if abi_tag != abi or python != abi.rstrip("t"):
        found.append(f"named {python}-{abi_tag}, not {abi.rstrip('t')}-{abi}")
    claimed = []
    for tag in plats:
        try:
            p = platform(tag)
        except ValueError as e:
            found.append(str(e))
            continue
        if p.libc != libc or p.arch != arch:
            found.append(f"tagged {tag}, not {libc} on {arch}")
        elif p.version > NEWEST[libc]:
            found.append(f"tagged {tag}, newer than {libc}_{NEWEST[libc][0]}_{NEWEST[libc][1]}")
        else:
            claimed.append((tag, p))
    tag = reported(report)
    if tag is None:
        found.append("auditwheel names no platform the wheel is consistent with")
        return found
    try:
        seen = platform(tag)
    except ValueError as e:
        found.append(f"auditwheel: {e}")
        return found
    if seen.libc != libc or seen.arch != arch:
        found.append(f"auditwheel finds it consistent with {tag}, not {libc} on {arch}")
    else:
        for name, p in claimed:
            if p.version < seen.version:
                found.append(f"tagged {name}, older than {tag} that auditwheel finds")
    return found


def cmd_check(args) -> int:
    report = Path(args.report).read_text(errors="replace")
    found = problems(args.wheel, report, args.abi, args.libc, args.arch)
    for problem in found:
        print(f"error: {Path(args.wheel).name}: {problem}", file=sys.stderr)
    if found:
        print(report, file=sys.stderr)
        return 1
    print(f"{Path(args.wheel).name}: auditwheel agrees ({reported(report)})")
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("check")
    p.add_argument("wheel")
    p.add_argument("report")
    p.add_argument("--abi", required=True)
    p.add_argument("--libc", required=True, choices=sorted(NEWEST))
    p.add_argument("--arch", required=True)
    p.set_defaults(func=cmd_check)
    args = parser.parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
