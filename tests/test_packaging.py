"""Release artefacts: `python -m build` makes an sdist and a wheel, and the
sdist alone installs into a fresh virtual environment and works there, so a
file missing from the sdist shows up here rather than on a user's machine.

Slow (two isolated builds), so it runs only with IVRO_PACKAGING_TEST=1, as
scripts/package.sh sets it."""

import os
import shutil
import subprocess
import sys
import tarfile
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    os.environ.get("IVRO_PACKAGING_TEST") != "1", reason="set IVRO_PACKAGING_TEST=1 to run"
)

SMOKE = """
import importlib.metadata, pathlib, _ivro
c = _ivro.IVRO(2)
for k in "abc":
    c[k] = k.upper()
assert c.keys() == ["c", "b"], c.keys()
site = pathlib.Path(_ivro.__file__).parent
assert (site / "_ivro-stubs" / "__init__.pyi").is_file()
print(importlib.metadata.version("ivro"))
"""


def run(cmd, **kw):
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=900, **kw)
    assert proc.returncode == 0, f"{cmd}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """sdist and wheel, the wheel built from the unpacked sdist as `build` does."""
    pytest.importorskip("build")
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)])
    sdists = list(out.glob("ivro-*.tar.gz"))
    wheels = list(out.glob("ivro-*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1, list(out.iterdir())
    return sdists[0], wheels[0]


def test_sdist_has_sources_and_no_build_debris(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    for needed in (
        "pyproject.toml",
        "CMakeLists.txt",
        "LICENSE",
        "README.md",
        "stubs/_ivro-stubs/__init__.pyi",
        "src/module/module.cpp",
    ):
        assert needed in names
    assert not any(n.startswith((".venv/", "build/", ".git/")) for n in names)


def test_wheel_holds_module_stub_and_licence(dist):
    _, wheel = dist
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        meta = zf.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    tops = {n.split("/")[0] for n in names}
    assert {"_ivro-stubs"} <= tops and any(
        t.startswith("_ivro.") and t.endswith(".so") for t in tops
    )
    assert "_ivro-stubs/__init__.pyi" in names
    assert any(
        n.endswith(".dist-info/licenses/LICENSE") or n.endswith(".dist-info/LICENSE") for n in names
    )
    assert "Requires-Python: >=3.12" in meta
    assert "Typing :: Typed" in meta


def test_sdist_installs_into_a_fresh_venv(dist, tmp_path):
    sdist, _ = dist
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    py = env_dir / "bin" / "python"
    run([str(py), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(sdist)])
    # Run from an empty directory so that nothing of the work tree is found.
    version = run([str(py), "-c", SMOKE], cwd=tmp_path).strip()
    assert sdist.name == f"ivro-{version}.tar.gz"
    shutil.rmtree(env_dir)
