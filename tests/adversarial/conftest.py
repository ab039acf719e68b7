"""Fixtures for the hostile-code suite; the helpers live in hostile.py."""

import sys

import pytest

from hostile import Val


@pytest.fixture
def unraisable(monkeypatch):
    """Collects exceptions reported through sys.unraisablehook (by type name
    only, so that nothing they reference is kept alive)."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type.__name__))
    return seen


@pytest.fixture(autouse=True)
def _no_stray_values():
    Val.alive.clear()
    yield
