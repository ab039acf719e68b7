"""pytest plugin: runs every test several more times, each with fresh
fixtures, and fails the session if the interpreter's allocated blocks (and,
on a debug interpreter, its total reference count) grow on every repetition.

Loaded only by scripts/leaks.sh (`-p ivro_leak_plugin`). Property-based tests
are left out: their engine keeps growing caches of its own, so they say
nothing about the module; tests/leaks/test_adv_leaks.py covers the same
operations with fixed inputs instead."""

import gc
import os
import subprocess
import sys
from collections import Counter

import pytest
from _pytest.runner import runtestprotocol

WARMUPS = int(os.environ.get("IVRO_LEAK_WARMUPS", "1"))
RUNS = int(os.environ.get("IVRO_LEAK_RUNS", "3"))
# A test whose block count still grows after the first measurements is
# measured this many times more; only growth in every one of them counts.
# The interpreter's own structures can grow a block or two per run for a
# while (seen once in a whole-suite run, never in 3,000 runs of that test
# alone), and a debug build's exact reference totals showed nothing.
CONFIRM_RUNS = int(os.environ.get("IVRO_LEAK_CONFIRM_RUNS", "10"))

_measured = []  # (nodeid, block deltas, reference deltas)
_in_children = []  # tests that did their work in child processes: not repeated
_spawned = False


def pytest_configure(config):
    # A test that runs its scenario in a child interpreter (allocation
    # failure, the stack limit, a crash) leaves nothing to measure here, and
    # repeating it costs whole interpreter start-ups.
    start = subprocess.Popen.__init__

    def noting(self, *args, **kwargs):
        global _spawned
        _spawned = True
        start(self, *args, **kwargs)

    subprocess.Popen.__init__ = noting


def pytest_collection_finish(session):
    # Every measurement runs a full collection; what the test modules and
    # their imports made (the bulk of the heap) is out of its way from here.
    gc.collect()
    gc.freeze()
_cycles = []  # (nodeid, caches left alive through reference cycles)


def _counts():
    gc.collect()
    sys._clear_type_cache()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return sys.getallocatedblocks(), refs


def _uses_the_module(module):
    return any(getattr(v, "__module__", None) == "_ivro" or getattr(v, "__name__", None) == "_ivro"
               for v in vars(module).values())


def _skip(item):
    # The project's tooling tests (stage decisions, the fuzz stand-in) never
    # touch the module; what their standard library caches grow is not ours.
    module = getattr(item, "module", None)
    if module is not None and not _uses_the_module(module):
        return True
    func = getattr(item, "obj", None)
    if getattr(func, "is_hypothesis_test", False) or getattr(func, "hypothesis", None):
        return True
    # Stateful machines run as a generated TestCase method.
    cls = getattr(item, "cls", None)
    return cls is not None and cls.__module__.startswith("hypothesis")


def _rerun(item, nextitem):
    runtestprotocol(item, nextitem=nextitem, log=False)
    # pytest keeps each run's captured output on the item; drop it, or a
    # test that prints looks as if it leaked.
    if hasattr(item, "_report_sections"):
        item._report_sections.clear()


def _live_caches():
    """Every cache that some object the collector knows of refers to."""
    from _ivro import IVRO

    found = {}
    for obj in gc.get_objects():
        for ref in gc.get_referents(obj):
            if type(ref) is IVRO:
                found[id(ref)] = ref
    return found


def _without_cache_cycles(item, nextitem, runs=RUNS):
    """Measures again, but after each repetition empties every cache the
    test left alive. The type takes no part in cyclic garbage collection, so
    a cache whose callback or keys refer back to it is never freed; that is
    a property of the type, not a leak in its code. Returns the number of
    such caches and the deltas measured without them."""
    before = _live_caches()
    cycles, deltas = 0, []
    counts = _counts()
    for _ in range(runs):
        _rerun(item, nextitem)
        left = [c for i, c in _live_caches().items() if i not in before]
        cycles += len(left)
        for c in left:
            try:
                c.set_callback(None)
                c.clear()
            except RuntimeError:  # never initialised
                pass
        del left
        after = _counts()
        deltas.append((after[0] - counts[0], after[1] - counts[1]))
        counts = after
    before.clear()
    return cycles, [d[0] for d in deltas], [d[1] for d in deltas]


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if _skip(item):
        return None
    global _spawned
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    _spawned = False
    reports = runtestprotocol(item, nextitem=nextitem, log=True)
    if not all(r.passed or r.skipped or hasattr(r, "wasxfail") for r in reports):
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True
    skipped = any(r.skipped for r in reports)
    if _spawned:
        _in_children.append(item.nodeid)
    elif not skipped and not item.get_closest_marker("xfail"):
        for _ in range(WARMUPS):
            _rerun(item, nextitem)
        deltas = []
        before = _counts()
        for _ in range(RUNS):
            _rerun(item, nextitem)
            after = _counts()
            deltas.append((after[0] - before[0], after[1] - before[1]))
            before = after
        blocks, refs = [d[0] for d in deltas], [d[1] for d in deltas]
        if min(blocks) > 1 or min(refs) > 0:
            cycles, blocks, refs = _without_cache_cycles(item, nextitem)
            if min(blocks) > 1 and not min(refs) > 0:
                cycles, blocks, refs = _without_cache_cycles(item, nextitem, CONFIRM_RUNS)
            if cycles:
                _cycles.append((item.nodeid, cycles))
        _measured.append((item.nodeid, blocks, refs))
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def _leaks():
    """Tests whose every repetition grew the counts by more than the
    repetition of pytest's own machinery does. That overhead (about one block
    per repetition) is the same for nearly every test, so the most common
    smallest growth is taken as the baseline."""
    found = []
    for column in (1, 2):
        mins = [min(m[column]) for m in _measured if m[column]]
        if not mins:
            continue
        baseline = max(0, Counter(mins).most_common(1)[0][0])
        found += [(m[0], column, m[column], baseline) for m in _measured
                  if m[column] and min(m[column]) > baseline]
    return found


def pytest_terminal_summary(terminalreporter):
    tr = terminalreporter
    tr.section("leak check")
    debug = hasattr(sys, "gettotalrefcount")
    tr.write_line(
        f"{len(_measured)} tests, each repeated {WARMUPS} + {RUNS} times; "
        f"total reference count checked: {debug}; "
        f"{len(_in_children)} not repeated, their work done in child processes"
    )
    for nodeid, column, deltas, baseline in _leaks():
        what = "allocated blocks" if column == 1 else "references"
        tr.write_line(f"LEAK {nodeid}: {what} grew by {deltas} (baseline {baseline})")
    if not _leaks():
        tr.write_line("no test grew the counts on every repetition")
    if _cycles:
        tr.write_line(
            f"{len(_cycles)} tests leave caches alive through reference cycles (a callback or "
            "key referring back to its cache; the type takes no part in cyclic collection); "
            "they were measured with those caches emptied:"
        )
        for nodeid, count in _cycles:
            tr.write_line(f"  cycle {nodeid}: {count} caches")


def pytest_sessionfinish(session, exitstatus):
    if session.exitstatus == 0 and _leaks():
        session.exitstatus = 1
