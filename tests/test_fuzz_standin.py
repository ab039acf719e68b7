"""The fuzz targets' stand-in for atheris's data provider (fuzz/random_inputs.py) must read
an input as atheris does, or the corpora replayed without atheris mean other programs."""

import random
import sys
from pathlib import Path

import pytest

atheris = pytest.importorskip("atheris")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
from random_inputs import FuzzedDataProvider  # noqa: E402


def test_stand_in_reads_inputs_as_atheris_does():
    rng = random.Random(5)
    for _ in range(2000):
        data = rng.randbytes(rng.randint(0, 40))
        theirs, ours = atheris.FuzzedDataProvider(data), FuzzedDataProvider(data)
        for _ in range(30):
            if rng.random() < 0.3:
                got = theirs.ConsumeBool(), ours.ConsumeBool()
            else:
                lo = rng.randint(-5, 50)
                hi = lo + rng.choice([0, 1, 3, 7, 14, 47, 255, 256, 300, 70000, 2**40])
                got = theirs.ConsumeIntInRange(lo, hi), ours.ConsumeIntInRange(lo, hi)
            assert got[0] == got[1] and theirs.remaining_bytes() == ours.remaining_bytes(), data
