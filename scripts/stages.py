#!/usr/bin/env python3
"""What the test stages decide in words rather than in bash: where an
interpreter that no package archive ships comes from, and how the stages'
results add up.

    stages.py interpreter CELL --tarball PATH --cache DIR [--cached PATH]
        Prints "build" (build CELL's interpreter from the tarball at PATH)
        or the path of a ready interpreter. Exits 77 with the reason on
        stderr when none can be had, 1 when a setting names something
        that is not there.
    stages.py summary LOGDIR [--wall SECONDS] [--jobs N] STAGE:STATUS:SECONDS...
        Prints the summary of a run of scripts/test.sh: each stage's
        result, then what the skipped ones lacked, then the verdict.
        Exits 0 unless a stage failed, or was skipped while
        IVRO_REQUIRE_ALL_STAGES=1.

A stage that lacks a prerequisite it cannot get (a source tree, root,
apt-get, qemu, a download) exits with status 77 after printing a line
"SKIPPED: what was missing and how to provide it" (scripts/common.sh, skip);
a stage that ran and failed exits with any other non-zero status.

Standard library only, Python 3.9 or newer: it runs on whatever python3 the
machine has, before any venv exists.
"""

from __future__ import annotations

import argparse
import fcntl
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

SKIP = 77

# uv checks every interpreter it downloads against the checksums its own
# release carries, so pinning uv pins the interpreters too.
UV_VERSION = "0.13.13"


@dataclass(frozen=True)
class Cell:
    what: str
    # A variable that names a ready interpreter, if this cell takes one.
    ready_var: str | None
    # The variable that names a source tarball to build from.
    tarball_var: str
    # What `uv python install` is asked for, if uv has a build for it.
    uv_request: str | None


CELLS = {
    "ft": Cell("free-threaded CPython", "IVRO_FREETHREADED_PYTHON", "IVRO_CPYTHON_TARBALL",
               "3.15t"),
    # Only a build of our own is instrumented with ThreadSanitizer.
    "tsan": Cell("CPython built with ThreadSanitizer", None, "IVRO_CPYTHON_TARBALL", None),
    "musl-x86_64": Cell("CPython 3.12 for musl libc (x86-64)", "IVRO_MUSL_PYTHON",
                        "IVRO_MUSL_CPYTHON_TARBALL", "cpython-3.12-linux-x86_64-musl"),
    # uv has no musl build for 32-bit ARM.
    "musl-armhf": Cell("CPython 3.12 for musl libc (32-bit ARM)", None,
                       "IVRO_MUSL_CPYTHON_TARBALL", None),
}


class Misconfigured(Exception):
    """A setting names something that is not there: the user asked for it,
    so going on without it would hide the mistake."""


def executable(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def choose(cell: Cell, env, tarball: str, cached: str | None, uv) -> tuple[str, str]:
    """The first provider that works, in order: a ready interpreter named by
    the cell's variable; the source tarball (named by its variable, or the
    shared one); an interpreter already built from that tarball and cached
    (found by the tarball's pinned checksum where the tarball is absent);
    an interpreter that uv downloads and verifies. `uv(request)` returns
    (path, None) or (None, why). Returns ("python", path), ("build",
    tarball) or ("skip", reason)."""
    missing = []
    if cell.ready_var:
        ready = env.get(cell.ready_var)
        if ready:
            if executable(ready):
                return "python", ready
            raise Misconfigured(f"{cell.ready_var}={ready} is not an executable")
        missing.append(f"set {cell.ready_var} to one")
    if os.path.isfile(tarball):
        return "build", tarball
    if env.get(cell.tarball_var):
        raise Misconfigured(f"{cell.tarball_var}={tarball}: no such file")
    if cached and executable(cached):
        return "python", cached
    missing.append(f"put the CPython source tarball at {os.path.abspath(tarball)} (or name one in "
                   f"{cell.tarball_var}) to build it from")
    if cell.uv_request:
        path, why = uv(cell.uv_request)
        if path:
            return "python", path
        missing.append(f"let uv download {cell.uv_request}, which failed here: {why}")
    reason = f"no {cell.what}: " + "; or ".join(missing)
    return "skip", reason + ("" if cell.uv_request else " (no verified download has one)")


def gist(text: str) -> str:
    """A tool's error in one line: its first and last (the deepest cause)."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if not lines:
        return "no output"
    return lines[0] if len(lines) == 1 else f"{lines[0]} ... {lines[-1]}"


def find_uv(cache: Path, env, run=subprocess.run) -> tuple[str | None, str | None]:
    """uv itself: IVRO_UV, else the pinned release from PyPI in a venv under
    the cache (made once, under a lock: stages run side by side)."""
    if env.get("IVRO_UV"):
        return env["IVRO_UV"], None
    venv = cache / f"uv-{UV_VERSION}"
    uv = venv / "bin" / "uv"
    if executable(str(uv)):
        return str(uv), None
    cache.mkdir(parents=True, exist_ok=True)
    with open(cache / f"uv-{UV_VERSION}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not executable(str(uv)):
            for cmd in ([sys.executable, "-m", "venv", str(venv)],
                        [str(venv / "bin" / "python"), "-m", "pip", "install", "-q",
                         "--disable-pip-version-check", f"uv=={UV_VERSION}"]):
                r = run(cmd, capture_output=True, text=True, env=env)
                if r.returncode != 0:
                    return None, f"installing uv {UV_VERSION} from PyPI failed: " + \
                        gist(r.stderr + r.stdout)
    return str(uv), None


def uv_python(request: str, cache: Path, env, run=subprocess.run) -> tuple[str | None, str | None]:
    """Installs `request` with uv into the cache (uv verifies the download
    against its checksum) and returns its path, or (None, why)."""
    uv, why = find_uv(cache, env, run)
    if uv is None:
        return None, why
    # Interpreters under the cache, and no links into the user's ~/.local/bin.
    env = {**env, "UV_PYTHON_INSTALL_DIR": str(cache / "uv-python")}
    try:
        r = run([uv, "python", "install", "--no-bin", request],
                capture_output=True, text=True, env=env, timeout=1800)
        if r.returncode != 0:
            return None, gist(r.stderr + r.stdout)
        r = run([uv, "python", "find", "--managed-python", "--no-python-downloads", request],
                capture_output=True, text=True, env=env, timeout=300)
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, str(e)
    path = r.stdout.strip()
    if r.returncode != 0 or not executable(path):
        return None, "installed, but uv cannot find it: " + gist(r.stderr + r.stdout)
    return path, None


def cmd_interpreter(args) -> int:
    cell = CELLS[args.cell]
    env = dict(os.environ)
    cache = Path(args.cache)
    try:
        kind, value = choose(cell, env, args.tarball, args.cached,
                             lambda request: uv_python(request, cache, env))
    except Misconfigured as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    if kind == "skip":
        print(f"SKIPPED: {value}", file=sys.stderr)
        return SKIP
    print("build" if kind == "build" else value)
    return 0


SKIP_LINE = re.compile(r"^SKIPPED: (.+)$", re.M)


def result(status: int) -> str:
    return "ok" if status == 0 else "SKIPPED" if status == SKIP else "FAILED"


def summarise(runs, reasons, require_all: bool, wall: int, jobs: int) -> tuple[str, int]:
    """runs: (stage, exit status, seconds) in the order asked for;
    reasons: stage -> the SKIPPED lines of its log. Returns the text and the
    exit status of the whole run."""
    out = [f"======== summary (wall time {wall} s, {jobs} stages at a time)"]
    for stage, status, seconds in runs:
        out.append(f"  {stage:<12} {result(status):<7} {seconds:4d} s")
    skipped = [stage for stage, status, _ in runs if status == SKIP]
    failed = [stage for stage, status, _ in runs if status not in (0, SKIP)]
    if skipped:
        out.append("skipped, for want of what they need (each log says more):")
        for stage in skipped:
            for reason in reasons.get(stage) or ["(its log gives no reason)"]:
                out.append(f"  {stage}: {reason}")
    if skipped and require_all:
        out.append("IVRO_REQUIRE_ALL_STAGES=1: a skipped stage counts as failed: "
                   + " ".join(skipped))
        failed += skipped
        skipped = []
    passed = len(runs) - len(failed) - len(skipped)
    out.append(f"stages: {passed} passed, {len(failed)} failed, {len(skipped)} skipped")
    return "\n".join(out), 1 if failed else 0


def cmd_summary(args) -> int:
    runs = []
    reasons = {}
    for item in args.results:
        stage, status, seconds = item.rsplit(":", 2)
        runs.append((stage, int(status), int(seconds)))
        log = Path(args.logdir) / f"{stage}.log"
        text = log.read_text(errors="replace") if log.exists() else ""
        reasons[stage] = list(dict.fromkeys(SKIP_LINE.findall(text)))
    text, status = summarise(runs, reasons, os.environ.get("IVRO_REQUIRE_ALL_STAGES") == "1",
                             args.wall, args.jobs)
    print(text)
    return status


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("interpreter")
    p.add_argument("cell", choices=sorted(CELLS))
    p.add_argument("--tarball", required=True)
    p.add_argument("--cache", required=True, help="where uv and its interpreters go")
    p.add_argument("--cached", help="the interpreter built from the tarball, if cached")
    p.set_defaults(func=cmd_interpreter)
    p = sub.add_parser("summary")
    p.add_argument("logdir")
    p.add_argument("--wall", type=int, default=0)
    p.add_argument("--jobs", type=int, default=1)
    p.add_argument("results", nargs="*")
    p.set_defaults(func=cmd_summary)
    args = parser.parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
