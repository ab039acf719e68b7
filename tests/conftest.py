import os
import sys

import pytest
from hypothesis import settings

# Bounded by default so that the suite stays quick; a longer exploration is
# one environment variable away: IVRO_HYPOTHESIS_PROFILE=long.
settings.register_profile("ci", max_examples=200, stateful_step_count=50, deadline=None)
settings.register_profile("long", max_examples=2000, stateful_step_count=100, deadline=None)
# Under emulation every example costs ten times as much, and those runs check
# the platform (word size, ABI, libc), not the state space.
settings.register_profile("emulated", max_examples=40, stateful_step_count=50, deadline=None)
settings.load_profile(os.environ.get("IVRO_HYPOTHESIS_PROFILE", "ci"))


class Recorder:
    """Eviction callback that remembers every (key, value) it is told about."""

    def __init__(self):
        self.calls = []

    def __call__(self, key, value):
        self.calls.append((key, value))


class Boom(Exception):
    pass


@pytest.fixture
def rec():
    return Recorder()


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what the module reports through sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda args: seen.append(args.exc_value))
    return seen


@pytest.fixture
def boom():
    return Boom
