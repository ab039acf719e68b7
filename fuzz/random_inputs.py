"""Runs the atheris targets where atheris does not: replays their corpora, then feeds them
seeded random inputs for a fixed budget. The interpreters that atheris has no build for
(3.14, 3.15, the free-threaded build) compile code of the module's that 3.12 and 3.13 never
see; this is their fuzzing, without coverage guidance.

A random input is either random bytes or a corpus input mutated (bytes flipped, inserted,
deleted, spliced with another input), since the corpus already reaches deep states. A
target reads its input through `FuzzedDataProvider` below, which consumes bytes exactly as
atheris's does, so a corpus input means the same program here as under libFuzzer.

    python fuzz/random_inputs.py [--seed N] [--inputs N] [--seconds S] TARGET...

A failing input is written to --out (default build/fuzz/TARGET/) and the run fails.
"""
import argparse
import random
import sys
import time
import traceback
import types
from pathlib import Path

HERE = Path(__file__).resolve().parent


class FuzzedDataProvider:
    """The part of atheris.FuzzedDataProvider the targets use, byte for byte: an integer
    is taken from the end of the data, as many bytes as its range needs, modulo the range;
    a bool is the low bit of the next byte from the front."""

    def __init__(self, data):
        self.data, self.front, self.back = bytes(data), 0, len(data)

    def ConsumeIntInRange(self, lo, hi):  # noqa: N802 (atheris's name)
        span, result, shift = hi - lo, 0, 0
        while shift < 64 and span >> shift and self.back > self.front:
            self.back -= 1
            result = (result << 8) | self.data[self.back]
            shift += 8
        if span != (1 << 64) - 1:
            result %= span + 1
        return lo + result

    def ConsumeBool(self):  # noqa: N802
        if self.back == self.front:
            return False
        self.front += 1
        return bool(self.data[self.front - 1] & 1)

    def remaining_bytes(self):
        return self.back - self.front


def stand_in():
    """A module that the targets can import as `atheris`."""
    mod = types.ModuleType("atheris")
    mod.FuzzedDataProvider = FuzzedDataProvider
    mod.Setup = lambda argv, *a, **k: argv
    mod.Fuzz = lambda *a, **k: None
    return mod


def load(name):
    import importlib.util

    if "atheris" not in sys.modules:
        try:
            import atheris  # noqa: F401  (its own provider, where it is installed)
        except ImportError:
            sys.modules["atheris"] = stand_in()
    sys.path.insert(0, str(HERE))
    found = importlib.util.spec_from_file_location(f"fuzz_{name}", HERE / f"fuzz_{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module.program


def mutate(rng, data, corpus):
    data = bytearray(data)
    for _ in range(rng.randint(1, 8)):
        how = rng.randrange(5)
        if how == 0 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif how == 1:
            data[rng.randint(0, len(data)):0] = rng.randbytes(rng.randint(1, 8))
        elif how == 2 and data:
            i = rng.randrange(len(data))
            del data[i:i + rng.randint(1, 8)]
        elif how == 3 and corpus:
            other = rng.choice(corpus)
            i, j = rng.randint(0, len(data)), rng.randint(0, len(other))
            data = data[:i] + other[j:j + rng.randint(1, 64)]
        elif data:
            i = rng.randrange(len(data))
            data[i] ^= 1 << rng.randrange(8)
    return bytes(data)


def run(program, data):
    """None if the input ran clean, else its traceback."""
    try:
        program(data)
    except Exception:  # noqa: BLE001 (anything a target raises is a finding)
        return traceback.format_exc(limit=12)
    return None


def fail(name, data, why, out):
    path = Path(out or f"build/fuzz/{name}") / f"random-crash-{abs(hash(data)):x}"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    print(f"FAIL: {name}: input kept in {path}\n{why}", flush=True)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("targets", nargs="+")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--inputs", type=int, default=5000, help="random inputs per target")
    ap.add_argument("--seconds", type=float, default=0, help="and at most this long each")
    ap.add_argument("--out", default=None)
    args = ap.parse_args(argv)
    status = 0
    for name in args.targets:
        program = load(name)
        corpus_dir = HERE / "corpus" / name
        corpus = [p.read_bytes() for p in sorted(corpus_dir.iterdir())] if corpus_dir.is_dir() \
            else []
        start, bad = time.monotonic(), 0
        for data in corpus:
            why = run(program, data)
            if why:
                bad += 1
                fail(name, data, why, args.out)
        print(f"{name}: replayed {len(corpus)} corpus inputs, {bad} failed "
              f"({time.monotonic() - start:.0f} s)", flush=True)
        rng, start, n = random.Random(f"{args.seed}:{name}"), time.monotonic(), 0
        while n < args.inputs:
            n += 1
            if corpus and rng.random() < 0.8:
                data = mutate(rng, rng.choice(corpus), corpus)
            else:
                data = rng.randbytes(rng.randint(0, 200))
            why = run(program, data)
            if why:
                bad += 1
                fail(name, data, why, args.out)
                break
            if args.seconds and time.monotonic() - start > args.seconds:
                break
        print(f"{name}: seed {args.seed}, {n} random inputs {'clean' if not bad else 'FAILED'}"
              f" ({time.monotonic() - start:.0f} s)", flush=True)
        status |= bad > 0
    return status


if __name__ == "__main__":
    sys.exit(main())
