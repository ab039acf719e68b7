"""Replays the fuzz targets' corpora in this interpreter, so that what the
fuzzers found counts in the coverage report: each target in FUZZ_DIR
(fuzz_NAME.py) is imported and its entry point (TestOneInput, or program)
is called once per file in FUZZ_DIR/corpus/NAME/ (through atheris's
FuzzedDataProvider, or the fuzz stage's stand-in where atheris has no
build). An input whose run raises is a failure, as in the fuzzing stage:
the replay then exits non-zero.

    python replay_corpora.py FUZZ_DIR
"""

import importlib.util
import sys
import traceback
from pathlib import Path


def load(path):
    found = importlib.util.spec_from_file_location(f"ivro_replay_{path.stem}", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def main(fuzz_dir):
    targets = sorted(fuzz_dir.glob("fuzz_*.py")) if fuzz_dir.is_dir() else []
    if not targets:
        print(f"replay: no fuzz targets in {fuzz_dir}; nothing to replay")
        return 0
    sys.path.insert(0, str(fuzz_dir))  # the targets import their helpers from there
    try:
        import atheris
    except ImportError:
        # None for this interpreter (3.14, 3.15, the free-threaded build): the
        # stand-in that the fuzz stage uses there reads an input byte for byte
        # as atheris's provider does, so an input is the same program.
        from random_inputs import stand_in

        atheris = sys.modules["atheris"] = stand_in()

    # Only the targets' FuzzedDataProvider is wanted here: a target that
    # starts libFuzzer when imported must not take this process over.
    atheris.Setup = lambda argv, *args, **kwargs: argv
    atheris.Fuzz = lambda *args, **kwargs: None
    failed = 0
    for path in targets:
        name = path.stem.removeprefix("fuzz_")
        corpus = fuzz_dir / "corpus" / name
        # open/ holds inputs of faults not fixed yet, which fail by design.
        inputs = (sorted(p for p in corpus.rglob("*") if p.is_file() and "open" not in
                         p.relative_to(corpus).parts[:-1]) if corpus.is_dir() else [])
        module = load(path)
        entry = getattr(module, "TestOneInput", None) or getattr(module, "program", None)
        if entry is None:
            print(f"replay: {path.name} has neither TestOneInput nor program")
            failed += 1
            continue
        bad = 0
        for item in inputs:
            try:
                entry(item.read_bytes())
            except Exception:
                bad += 1
                print(f"replay: {name}: {item.name} failed:")
                traceback.print_exc(limit=8, file=sys.stdout)
        print(f"replay: {name}: {len(inputs)} inputs, {bad} failed")
        failed += bad
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
