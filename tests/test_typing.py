"""The installed type stub: it describes the runtime type, and type checkers
find it, accept the correct uses and report each incorrect one."""

import ast
import json
import os
import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import _ivro
from _ivro import IVRO

CASES = Path(__file__).with_name("typing_cases")
GOOD = CASES / "good.py"
BAD = CASES / "bad.py"
# Set by the scripts that install the checkers, so that a missing one fails
# instead of skipping silently.
REQUIRE_CHECKERS = os.environ.get("IVRO_REQUIRE_TYPE_CHECKERS") == "1"


def installed_stub():
    """The stub next to the module that is being tested, as a wheel lays it out."""
    stub = Path(_ivro.__file__).parent / "_ivro-stubs" / "__init__.pyi"
    if not stub.is_file():
        pytest.skip(f"no _ivro-stubs package beside {_ivro.__file__}")
    return stub


def stub_methods():
    """{method name: [(parameter name, kind)]} of class IVRO in the stub,
    parameters of all overloads merged, self left out."""
    tree = ast.parse(installed_stub().read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "IVRO")
    methods = {}
    for fn in cls.body:
        if isinstance(fn, ast.FunctionDef):
            a = fn.args
            params = [(p.arg, "positional") for p in a.posonlyargs]
            params += [(p.arg, "keyword") for p in a.args]
            params += [(p.arg, "keyword") for p in a.kwonlyargs]
            if a.kwarg:
                params.append(("**", "any keyword"))
            merged = methods.setdefault(fn.name, [])
            merged += [p for p in params[1:] if p not in merged]
    return methods


def test_stub_declares_exactly_the_runtime_methods():
    # __new__ is the generic allocator that __init__ describes, __repr__ is
    # object's, and __doc__ is data.
    runtime = set(vars(IVRO)) - {"__doc__", "__new__", "__repr__"}
    assert set(stub_methods()) == runtime


def test_stub_keyword_names_match_the_runtime():
    # A positional-only parameter must be refused as a keyword, and a keyword
    # parameter accepted under the stub's name.
    c = IVRO(4)
    c["k"] = 1
    for name, params in stub_methods().items():
        if ("**", "any keyword") in params:
            continue
        for param, kind in params:
            if name == "__init__":
                call = lambda **kw: IVRO(**{"size": 1, **kw})  # noqa: E731
            else:
                call = getattr(c, name)
            if kind == "positional":
                with pytest.raises(TypeError, match="keyword"):
                    call(**{param: None})
            elif param == "default":
                call(key="absent", default=None)
            else:
                call(**{param: {"size": 2, "key": "k", "least_recent": True}.get(param)})
            c["k"] = 1


def test_good_uses_run_against_the_module():
    runpy.run_path(str(GOOD), run_name="typing_good")


def expected_errors():
    """{line: mypy error code} from the `# E: code` markers of the bad file."""
    marks = {}
    for lineno, line in enumerate(BAD.read_text().splitlines(), start=1):
        m = re.search(r"# E: ([\w-]+)$", line)
        if m:
            marks[lineno] = m.group(1)
    assert len(marks) > 20
    return marks


def checker(module):
    try:
        __import__(module)
    except ImportError:
        if REQUIRE_CHECKERS:
            raise
        pytest.skip(f"{module} is not installed")


def run(args, cwd):
    # From an empty directory, so that only the installed stub can be found.
    proc = subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600
    )
    return proc.stdout + proc.stderr


def mypy_errors(path, tmp_path):
    installed_stub()
    checker("mypy")
    out = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(path)], tmp_path)
    errors = {}
    for m in re.finditer(r"^.*?:(\d+): error: .*?(?:\[([\w-]+)\])?$", out, re.MULTILINE):
        errors.setdefault(int(m.group(1)), set()).add(m.group(2))
    if not errors:
        assert "Success" in out, out
    return errors, out


def pyright_error_lines(path, tmp_path):
    installed_stub()
    checker("pyright")
    out = run(["pyright", "--outputjson", "--pythonpath", sys.executable, str(path)], tmp_path)
    report = json.loads(out[out.index("{") :])
    return {d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"]}, out


def test_mypy_accepts_good_uses(tmp_path):
    errors, out = mypy_errors(GOOD, tmp_path)
    assert errors == {}, out


def test_mypy_reports_each_bad_use(tmp_path):
    errors, out = mypy_errors(BAD, tmp_path)
    expected = expected_errors()
    assert set(errors) == set(expected), out
    wrong = {line: codes for line, codes in errors.items() if expected[line] not in codes}
    assert wrong == {}, out


def test_pyright_accepts_good_uses(tmp_path):
    lines, out = pyright_error_lines(GOOD, tmp_path)
    assert lines == set(), out


def test_pyright_reports_each_bad_use(tmp_path):
    lines, out = pyright_error_lines(BAD, tmp_path)
    assert lines == set(expected_errors()), out
