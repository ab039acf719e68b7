#!/usr/bin/env python3
"""The wheels users install: which cell each wheel file and each
interpreter belongs to, whether a wheel is what its name promises, and which
wheels in build/wheelhouse/ are the tree's own (scripts/wheelhouse.sh builds
them, once per state of the tree, for the stages that test them).

    wheels.py cells
        The cells, one a line, in the order the wheels stage builds them.
    wheels.py cell-for PYTHON [--libc manylinux|musllinux] [--arch ARCH]
        The cell whose wheel an interpreter installs (PYTHON: 3.13, 3.15t).
    wheels.py check WHEEL REPORT --cell CELL
        REPORT is the text of `auditwheel show WHEEL`. Exits 1, saying
        why, unless the wheel's name carries the cell's ABI (cp313,
        cp315t, ...) and platform tags for its libc and architecture no
        newer than the oldest platforms users still run (manylinux_2_17,
        alias manylinux2014, and musllinux_1_2), and auditwheel reports a
        platform of the same libc and architecture that every one of those
        tags is at least as new as: a name that claims an older platform
        than auditwheel found would install where the module cannot load.
    wheels.py key ROOT
        A key of the content of everything in the tree that goes into a
        wheel or makes it: equal keys, equal wheels.
    wheels.py current CELL --work DIR --house DIR --key KEY
        Prints the path of CELL's wheel in the house if it was built from
        the tree with that key; exits 1 otherwise.
    wheels.py record CELL WHEEL --work DIR --house DIR --key KEY
        Moves a checked WHEEL of CELL into the house, in place of the
        cell's older wheels, notes the key it was built with, prints its
        new path.
    wheels.py house --work DIR --house DIR --key KEY
        Removes from the house every wheel not built from the tree with
        that key, writes SHA256SUMS for the others and prints their table.

Standard library only, Python 3.9 or newer, like scripts/stages.py.
"""

from __future__ import annotations

import argparse
import hashlib
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
class Cell:
    abi: str             # the ABI tag: cp313, cp315t
    libc: str            # "manylinux" or "musllinux"
    arch: str
    tested: str          # the stage that runs the whole suite on it, and where


# Every wheel built here, in the order the wheels stage builds them: the
# x86-64 ones first, which the shorter stages wait for.
CELLS = {
    "cp312": Cell("cp312", "manylinux", "x86_64", "unit: CPython 3.12, in a venv"),
    "cp313": Cell("cp313", "manylinux", "x86_64",
                  "unit: CPython 3.13, in a venv; wheels: Debian unstable's 3.13"),
    "cp314": Cell("cp314", "manylinux", "x86_64", "unit: Debian unstable's 3.14"),
    "cp315": Cell("cp315", "manylinux", "x86_64", "unit: Debian unstable's 3.15"),
    "cp315t": Cell("cp315t", "manylinux", "x86_64", "freethreaded: 3.15t, the GIL off"),
    "musl-x86_64": Cell("cp312", "musllinux", "x86_64", "musl: 3.12 for musl, in a venv"),
    "aarch64": Cell("cp313", "manylinux", "aarch64", "aarch64: Debian 13's 3.13 under qemu"),
    "armv7l": Cell("cp313", "manylinux", "armv7l", "armhf: Debian 13's 3.13 under qemu"),
    "musl-armv7l": Cell("cp312", "musllinux", "armv7l", "musl: 3.12 for musl under qemu"),
}

# What goes into a wheel or makes it: the sources and stub, the build's
# configuration, the metadata (README.md is the long description), and the
# scripts that build and check it. The tests are not among them.
WHEEL_INPUTS = ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src", "stubs",
                "scripts/common.sh", "scripts/ft_python.sh", "scripts/musl_python.sh",
                "scripts/install_wheel.py", "scripts/wheelhouse.sh", "scripts/wheels.py")


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


def cell_of(filename: str) -> str | None:
    """The cell a wheel file belongs to, by its ABI and platform tags."""
    try:
        _, abi, plats = name_tags(filename)
        platforms = [platform(tag) for tag in plats]
    except ValueError:
        return None
    for name, cell in CELLS.items():
        if abi == cell.abi and any(p.libc == cell.libc and p.arch == cell.arch
                                   for p in platforms):
            return name
    return None


def cell_for(python: str, libc: str = "manylinux", arch: str = "x86_64") -> str:
    """The cell whose wheel the interpreter installs (python: "3.13", "3.15t")."""
    m = re.fullmatch(r"3\.(\d+)(t?)", python)
    if not m:
        raise ValueError(f"not a CPython version: {python}")
    abi = f"cp3{m[1]}{m[2]}"
    for name, cell in CELLS.items():
        if (cell.abi, cell.libc, cell.arch) == (abi, libc, arch):
            return name
    raise ValueError(f"no wheel is built here for CPython {python} ({libc}, {arch})")


def content_key(root: Path) -> str:
    """A key of WHEEL_INPUTS' content under root, names included."""
    digest = hashlib.sha256()
    for name in WHEEL_INPUTS:
        top = root / name
        files = sorted(top.rglob("*")) if top.is_dir() else [top]
        for path in files:
            if path.is_dir() or "__pycache__" in path.parts:
                continue
            rel = path.relative_to(root).as_posix()
            data = path.read_bytes() if path.exists() else b"(absent)"
            digest.update(f"{rel}\0{len(data)}\0".encode() + data)
    return digest.hexdigest()[:16]


# The house holds the wheels, build/wheels/CELL/built the key and file
# name of each cell's last checked wheel.
def stamp(work: Path, cell: str) -> Path:
    return work / cell / "built"


def current(cell: str, work: Path, house: Path, key: str) -> Path | None:
    """CELL's wheel in the house, if it was built with that key."""
    try:
        built_key, name = stamp(work, cell).read_text().split()
    except (OSError, ValueError):
        return None
    wheel = house / name
    return wheel if built_key == key and wheel.is_file() else None


def record(cell: str, wheel: Path, work: Path, house: Path, key: str) -> Path:
    if cell_of(wheel.name) != cell:
        raise ValueError(f"{wheel.name} is not a wheel of {cell}")
    house.mkdir(parents=True, exist_ok=True)
    for old in house.glob("*.whl"):
        if cell_of(old.name) == cell:
            old.unlink()
    # The note first: a house read meanwhile keeps a wheel that is noted.
    stamp(work, cell).parent.mkdir(parents=True, exist_ok=True)
    stamp(work, cell).write_text(f"{key} {wheel.name}\n")
    dest = house / wheel.name
    wheel.replace(dest)
    return dest


def house_table(work: Path, house: Path, key: str) -> list[str]:
    """Keeps the house to the wheels built with that key, writes their
    SHA256SUMS and returns their table, with the cells not built."""
    kept = {cell: current(cell, work, house, key) for cell in CELLS}
    for wheel in house.glob("*.whl"):
        if wheel not in kept.values():
            wheel.unlink()
    lines, sums = [], []
    for cell, wheel in kept.items():
        if wheel is None:
            lines.append(f"{'-':>8}  {cell}: not built  ({CELLS[cell].tested})")
            continue
        sums.append(f"{hashlib.sha256(wheel.read_bytes()).hexdigest()}  {wheel.name}\n")
        lines.append(f"{wheel.stat().st_size:8d}  {wheel.name}  ({CELLS[cell].tested})")
    (house / "SHA256SUMS").write_text("".join(sorted(sums, key=lambda s: s.split()[1])))
    return lines


def cmd_cells(args) -> int:
    print("\n".join(CELLS))
    return 0


def cmd_cell_for(args) -> int:
    try:
        print(cell_for(args.python, args.libc, args.arch))
    except ValueError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    return 0


def cmd_key(args) -> int:
    print(content_key(Path(args.root)))
    return 0


def cmd_current(args) -> int:
    wheel = current(args.cell, Path(args.work), Path(args.house), args.key)
    if wheel is None:
        return 1
    print(wheel)
    return 0


def cmd_record(args) -> int:
    print(record(args.cell, Path(args.wheel), Path(args.work), Path(args.house), args.key))
    return 0


def cmd_house(args) -> int:
    print("\n".join(house_table(Path(args.work), Path(args.house), args.key)))
    return 0


def cmd_check(args) -> int:
    report = Path(args.report).read_text(errors="replace")
    cell = CELLS[args.cell]
    found = problems(args.wheel, report, cell.abi, cell.libc, cell.arch)
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
    sub.add_parser("cells").set_defaults(func=cmd_cells)
    p = sub.add_parser("cell-for")
    p.add_argument("python")
    p.add_argument("--libc", default="manylinux", choices=sorted(NEWEST))
    p.add_argument("--arch", default="x86_64")
    p.set_defaults(func=cmd_cell_for)
    p = sub.add_parser("check")
    p.add_argument("wheel")
    p.add_argument("report")
    p.add_argument("--cell", required=True, choices=list(CELLS))
    p.set_defaults(func=cmd_check)
    p = sub.add_parser("key")
    p.add_argument("root")
    p.set_defaults(func=cmd_key)
    for name, func in (("current", cmd_current), ("record", cmd_record), ("house", cmd_house)):
        p = sub.add_parser(name)
        if name != "house":
            p.add_argument("cell", choices=list(CELLS))
        if name == "record":
            p.add_argument("wheel")
        p.add_argument("--work", required=True)
        p.add_argument("--house", required=True)
        p.add_argument("--key", required=True)
        p.set_defaults(func=func)
    args = parser.parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
