"""scripts/stages.py: where an interpreter no archive ships comes from, and
when a stage that could not run is skipped or failed. Nothing is built or
downloaded: interpreters and uv are stand-ins."""

import importlib.machinery
import subprocess
import sys
import tempfile
import types
from pathlib import Path

import pytest

SCRIPTS = Path(__file__).resolve().parent.parent / "scripts"


def load_script(name, path):
    """A script of the project's as a module, registered under its name so that
    dataclasses and pickling find it."""
    module = sys.modules[name] = types.ModuleType(name)
    module.__file__ = str(path)
    importlib.machinery.SourceFileLoader(name, str(path)).exec_module(module)
    return module


stages = load_script("stages", SCRIPTS / "stages.py")


@pytest.fixture
def tmp():
    # Not pytest's tmp_path, which keeps a record of every directory it
    # made: the leak stage, which repeats each test, would count it.
    with tempfile.TemporaryDirectory() as name:
        yield Path(name)


def fake_program(path, script):
    path.write_text("#!/bin/sh\n" + script + "\n")
    path.chmod(0o755)
    return str(path)


# Each row: what exists (a ready interpreter named by the variable, the
# tarball, a cached build, what uv does), and the provider that must win.
@pytest.mark.parametrize("ready, tarball, cached, uv_ok, expected", [
    (True, True, True, True, ("python", "ready")),
    (False, True, True, True, ("build", "tarball")),
    (False, False, True, True, ("python", "cached")),
    (False, False, False, True, ("python", "uv")),
    (False, False, False, False, ("skip", None)),
])
def test_provider_order(tmp, ready, tarball, cached, uv_ok, expected):
    paths = {name: str(tmp / name) for name in ("ready", "tarball", "cached", "uv")}
    for name, present in (("ready", ready), ("cached", cached), ("uv", True)):
        if present:
            fake_program(tmp / name, "exit 0")
    if tarball:
        (tmp / "tarball").write_bytes(b"")
    env = {"IVRO_FREETHREADED_PYTHON": paths["ready"]} if ready else {}
    asked = []

    def uv(request):
        asked.append(request)
        return (paths["uv"], None) if uv_ok else (None, "dns error")

    kind, value = stages.choose(stages.CELLS["ft"], env, paths["tarball"], paths["cached"], uv)
    assert kind == expected[0]
    if kind == "skip":
        assert value == ("no free-threaded CPython: set IVRO_FREETHREADED_PYTHON to one; "
                         f"or put the CPython source tarball at {paths['tarball']} (or name one"
                         " in IVRO_CPYTHON_TARBALL) to build it from; "
                         "or let uv download 3.15t, which failed here: dns error")
    else:
        assert value == paths[expected[1]]
    # uv is the last resort: nothing is downloaded while anything else serves.
    assert asked == (["3.15t"] if expected[1] in ("uv", None) else [])


def test_cells_without_a_download_skip_and_wrong_settings_fail(tmp):
    never = lambda request: pytest.fail("no download for this cell")  # noqa: E731
    kind, reason = stages.choose(stages.CELLS["tsan"], {}, str(tmp / "none.tar.xz"), None,
                                 never)
    assert kind == "skip" and reason.endswith("to build it from (no verified download has one)")
    # A variable that names nothing is a mistake to report, not a skip.
    with pytest.raises(stages.Misconfigured, match="IVRO_MUSL_PYTHON="):
        stages.choose(stages.CELLS["musl-x86_64"], {"IVRO_MUSL_PYTHON": str(tmp / "py")},
                      "", None, never)
    with pytest.raises(stages.Misconfigured, match="IVRO_MUSL_CPYTHON_TARBALL="):
        stages.choose(stages.CELLS["musl-armhf"], {"IVRO_MUSL_CPYTHON_TARBALL": "x"},
                      str(tmp / "x"), None, never)


def test_uv_download(tmp):
    # A uv whose download fails as it does with no route to its host.
    uv = fake_program(tmp / "uv", 'echo "error: Failed to install 3.15t" >&2;'
                      ' echo "  cause: dns error" >&2; exit 2')
    path, why = stages.uv_python("3.15t", tmp / "cache", {"IVRO_UV": uv})
    assert path is None and why == "error: Failed to install 3.15t ... cause: dns error"

    # One that succeeds: the interpreter goes under the cache, no links
    # into the user's bin directory, and only a managed one is taken.
    calls = []
    python = fake_program(tmp / "python3.15t", "exit 0")

    def run(cmd, env, **kwargs):
        calls.append((cmd[1:], env["UV_PYTHON_INSTALL_DIR"]))
        return subprocess.CompletedProcess(cmd, 0, python + "\n", "")

    assert stages.uv_python("3.15t", tmp, {"IVRO_UV": uv}, run) == (python, None)
    assert calls == [(["python", "install", "--no-bin", "3.15t"], str(tmp / "uv-python")),
                     (["python", "find", "--managed-python", "--no-python-downloads", "3.15t"],
                      str(tmp / "uv-python"))]

    # uv itself cannot be had from PyPI.
    def offline(cmd, **kwargs):
        return subprocess.CompletedProcess(cmd, 1, "", "ERROR: No matching distribution found")

    path, why = stages.uv_python("3.15t", tmp / "empty", {}, offline)
    assert path is None and why.endswith("No matching distribution found")


@pytest.mark.parametrize("statuses, require_all, exit_status, verdict", [
    ([0, 0], False, 0, "stages: 2 passed, 0 failed, 0 skipped"),
    ([0, 77], False, 0, "stages: 1 passed, 0 failed, 1 skipped"),
    ([0, 77], True, 1, "stages: 1 passed, 1 failed, 0 skipped"),
    ([1, 77], False, 1, "stages: 0 passed, 1 failed, 1 skipped"),
])
def test_summary(tmp, monkeypatch, capsys, statuses, require_all, exit_status, verdict):
    (tmp / "b.log").write_text("== b\nSKIPPED: no tarball: put one there\n"
                                    "SKIPPED: no tarball: put one there\n")
    monkeypatch.setenv("IVRO_REQUIRE_ALL_STAGES", "1" if require_all else "0")
    results = [f"{stage}:{status}:3" for stage, status in zip("ab", statuses)]
    assert stages.main(["summary", str(tmp), *results]) == exit_status
    lines = capsys.readouterr().out.splitlines()
    assert lines[-1] == verdict
    if 77 in statuses:
        # The reason, once, before the verdict; the stage named if it fails the run.
        assert lines.count("  b: no tarball: put one there") == 1
        assert ("skipped stage counts as failed: b" in lines[-2]) == require_all


def test_interpreter_command_skips_with_the_reason(tmp, capsys):
    status = stages.main(["interpreter", "tsan", "--tarball", str(tmp / "none.tar.xz"),
                          "--cache", str(tmp)])
    assert status == stages.SKIP
    assert capsys.readouterr().err.startswith("SKIPPED: no CPython built with ThreadSanitizer")


wheels = load_script("wheels", SCRIPTS / "wheels.py")


def show(tag):
    return (f'ivro.whl is consistent with the\nfollowing platform tag: "{tag}".\n\n'
            "The wheel requires no external shared libraries! :)\n")


# Each row: the wheel's name, the platform auditwheel reports, what was
# meant (ABI, libc, architecture), and the start of each problem found.
@pytest.mark.parametrize("name, seen, meant, expected", [
    ("ivro-0.1.0-cp313-cp313-manylinux2014_x86_64.manylinux_2_17_x86_64.whl",
     "manylinux_2_5_x86_64", ("cp313", "manylinux", "x86_64"), []),
    ("ivro-0.1.0-cp315-cp315t-manylinux_2_17_x86_64.whl", "manylinux_2_17_x86_64",
     ("cp315t", "manylinux", "x86_64"), []),
    ("ivro-0.1.0-cp312-cp312-musllinux_1_2_armv7l.whl", "musllinux_1_2_armv7l",
     ("cp312", "musllinux", "armv7l"), []),
    # A GIL build's wheel where the free-threaded one was meant.
    ("ivro-0.1.0-cp315-cp315-manylinux_2_17_x86_64.whl", "manylinux_2_17_x86_64",
     ("cp315t", "manylinux", "x86_64"), ["named cp315-cp315"]),
    # Claims an older glibc than the module needs: would install and not load.
    ("ivro-0.1.0-cp313-cp313-manylinux2014_x86_64.whl", "manylinux_2_28_x86_64",
     ("cp313", "manylinux", "x86_64"), ["tagged manylinux2014_x86_64, older"]),
    # Newer than the oldest platforms still in service.
    ("ivro-0.1.0-cp313-cp313-manylinux_2_28_aarch64.whl", "manylinux_2_28_aarch64",
     ("cp313", "manylinux", "aarch64"), ["tagged manylinux_2_28_aarch64, newer"]),
    # Never given a platform tag; auditwheel needs a library from outside.
    ("ivro-0.1.0-cp312-cp312-linux_armv7l.whl", "linux_armv7l",
     ("cp312", "musllinux", "armv7l"), ["tagged linux_armv7l", "auditwheel finds"]),
    ("ivro-0.1.0-cp312-cp312-musllinux_1_2_x86_64.whl", "manylinux_2_17_x86_64",
     ("cp312", "musllinux", "x86_64"), ["auditwheel finds it consistent with manylinux"]),
    ("ivro-0.1.0-cp312-cp312-musllinux_1_2_x86_64.whl", None,
     ("cp312", "musllinux", "x86_64"), ["auditwheel names no platform"]),
])
def test_wheel_name_against_auditwheel(name, seen, meant, expected):
    report = show(seen) if seen else "Traceback: no such file\n"
    found = wheels.problems(name, report, *meant)
    assert len(found) == len(expected), found
    for problem, start in zip(found, expected):
        assert problem.startswith(start), found


def test_wheel_check_command(tmp, capsys):
    report = tmp / "show.txt"
    report.write_text(show("manylinux_2_28_x86_64"))
    name = "ivro-0.1.0-cp313-cp313-manylinux_2_17_x86_64.whl"
    assert wheels.main(["check", name, str(report), "--cell", "cp313"]) == 1
    assert "older than manylinux_2_28_x86_64" in capsys.readouterr().err
    report.write_text(show("manylinux_2_17_x86_64"))
    assert wheels.main(["check", name, str(report), "--cell", "cp313"]) == 0
    assert wheels.main(["check", name, str(report), "--cell", "aarch64"]) == 1


# Each row: a wheel's file name and the cell it belongs to (None: none).
@pytest.mark.parametrize("name, cell", [
    ("ivro-0.1.0-cp313-cp313-manylinux2014_x86_64.manylinux_2_17_x86_64.whl", "cp313"),
    ("ivro-0.1.0-cp315-cp315t-manylinux2014_x86_64.manylinux_2_17_x86_64.whl", "cp315t"),
    ("ivro-0.1.0-cp315-cp315-manylinux_2_17_x86_64.whl", "cp315"),
    ("ivro-0.1.0-cp313-cp313-manylinux2014_armv7l.manylinux_2_17_armv7l.whl", "armv7l"),
    ("ivro-0.1.0-cp312-cp312-musllinux_1_2_armv7l.whl", "musl-armv7l"),
    ("ivro-0.1.0-cp312-cp312-musllinux_1_2_x86_64.whl", "musl-x86_64"),
    ("ivro-0.1.0-cp312-cp312-linux_armv7l.whl", None),      # before auditwheel
    ("ivro-0.1.0-cp314-cp314-manylinux_2_17_aarch64.whl", None),
    ("ivro-0.1.0.tar.gz", None),
])
def test_wheel_cell_of_file(name, cell):
    assert wheels.cell_of(name) == cell


# Each row: an interpreter (version, libc, architecture) and the cell whose
# wheel it installs; None where no wheel is built for it.
@pytest.mark.parametrize("python, libc, arch, cell", [
    ("3.12", "manylinux", "x86_64", "cp312"),
    ("3.15t", "manylinux", "x86_64", "cp315t"),
    ("3.13", "manylinux", "aarch64", "aarch64"),
    ("3.12", "musllinux", "armv7l", "musl-armv7l"),
    ("3.14t", "manylinux", "x86_64", None),
    ("3.13", "musllinux", "x86_64", None),
    ("3.13t", "manylinux", "x86_64", None),
])
def test_wheel_cell_for_interpreter(python, libc, arch, cell):
    if cell is None:
        with pytest.raises(ValueError, match="no wheel is built here"):
            wheels.cell_for(python, libc, arch)
    else:
        assert wheels.cell_for(python, libc, arch) == cell
        assert wheels.cell_of(f"ivro-0.1.0-cp3-{wheels.CELLS[cell].abi}-"
                              f"{libc}_1_2_{arch}.whl") == cell


def test_wheel_key_follows_what_makes_the_wheel(tmp):
    for name in ("src/core/a.cpp", "stubs/x.pyi", "tests/test_a.py", "pyproject.toml"):
        (tmp / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp / name).write_text(name)
    keys = [wheels.content_key(tmp)]
    (tmp / "tests/test_a.py").write_text("changed")
    keys.append(wheels.content_key(tmp))
    (tmp / "src/core/a.cpp").write_text("changed")
    keys.append(wheels.content_key(tmp))
    (tmp / "src/core/a.cpp").rename(tmp / "src/core/b.cpp")     # same bytes, new name
    keys.append(wheels.content_key(tmp))
    assert keys[0] == keys[1] and len(set(keys)) == 3


def test_wheelhouse_keeps_the_trees_wheels(tmp, capsys):
    work, house = tmp / "work", tmp / "house"
    where = ["--work", str(work), "--house", str(house)]

    def built(name):
        (tmp / name).write_bytes(name.encode())
        return str(tmp / name)

    old313 = "ivro-0.1.0-cp313-cp313-manylinux_2_17_x86_64.whl"
    new313 = "ivro-0.1.0-cp313-cp313-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
    arm = "ivro-0.1.0-cp313-cp313-manylinux_2_17_aarch64.whl"
    assert wheels.main(["record", "cp313", built(old313), *where, "--key", "k1"]) == 0
    assert wheels.main(["record", "aarch64", built(arm), *where, "--key", "k1"]) == 0
    assert wheels.main(["current", "cp313", *where, "--key", "k2"]) == 1
    capsys.readouterr()
    # Built again from a changed tree: the cell's older wheel leaves the house.
    assert wheels.main(["record", "cp313", built(new313), *where, "--key", "k2"]) == 0
    assert wheels.main(["current", "cp313", *where, "--key", "k2"]) == 0
    assert capsys.readouterr().out.splitlines() == [str(house / new313)] * 2
    with pytest.raises(ValueError, match="not a wheel of cp312"):
        wheels.record("cp312", Path(built(arm)), work, house, "k2")
    (house / "stray.whl").write_bytes(b"")
    # The house keeps only the wheels of k2, with their checksums.
    wheels.main(["house", *where, "--key", "k2"])
    table = capsys.readouterr().out
    assert sorted(p.name for p in house.iterdir()) == ["SHA256SUMS", new313]
    assert (house / "SHA256SUMS").read_text() == (
        f"{wheels.hashlib.sha256(new313.encode()).hexdigest()}  {new313}\n")
    assert f"{len(new313):8d}  {new313}  (unit: CPython 3.13" in table
    assert "aarch64: not built" in table


floors = load_script("floors", SCRIPTS / "coverage" / "floors.py")


# Each row: the total's lines and branches (covered, total), and the verdict
# under floors of 99 % and 90 %.
@pytest.mark.parametrize("lines, branches, verdict", [
    ((990, 1000), (90, 100), "lines 99.0 %, branches 90.0 % (floors 99 %, 90 %): met"),
    ((9896, 10000), (95, 100),  # 98.96 % prints as 99.0 % but is short
     "lines 99.0 %, branches 95.0 % (floors 99 %, 90 %): FAILED, lines 98.96 % < 99 %"),
    ((1000, 1000), (899, 1000),
     "lines 100.0 %, branches 89.9 % (floors 99 %, 90 %): FAILED, branches 89.90 % < 90 %"),
    ((0, 0), (0, 0), "lines 100.0 %, branches 100.0 % (floors 99 %, 90 %): met"),
])
def test_coverage_floors(tmp, capsys, lines, branches, verdict):
    # A file with no lines or branches of its own counts as fully covered.
    empty = {"filename": "src/empty.hpp", "line_covered": 0, "line_total": 0,
             "branch_covered": 0, "branch_total": 0}
    summary = {"files": [empty], "line_covered": lines[0], "line_total": lines[1],
               "branch_covered": branches[0], "branch_total": branches[1]}
    (tmp / "summary.json").write_text(floors.json.dumps(summary))
    status = floors.main(["ft", str(tmp / "summary.json"), "--lines", "99", "--branches", "90"])
    out = capsys.readouterr().out.splitlines()
    assert status == (0 if verdict.endswith("met") else 1)
    assert out[-1] == f"ft: {verdict}"
    assert out[2].split()[1:] == ["0/0", "100%", "0/0", "100%"]
