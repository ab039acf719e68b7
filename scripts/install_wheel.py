"""Builds the package's wheel with the running interpreter and unpacks it,
which is what `pip install .` does, without pip: inside the Debian root
there is no network and no certificate store, and the build tools are
Debian's own (no build isolation). Run by scripts/common.sh (sid_install).

Usage: python install_wheel.py SOURCE DEST [KEY=VALUE...]
The wheel lands in DEST/dist, its contents in DEST/site; KEY=VALUE are
scikit-build-core settings, as pip's --config-settings."""

import os
import sys
import zipfile

from scikit_build_core import build


def main():
    source, dest, *pairs = sys.argv[1:]
    settings = dict(p.split("=", 1) for p in pairs)
    settings.setdefault("build-dir", os.path.join(dest, "cmake"))
    dist = os.path.join(dest, "dist")
    os.makedirs(dist, exist_ok=True)
    os.chdir(source)
    name = build.build_wheel(dist, settings)
    with zipfile.ZipFile(os.path.join(dist, name)) as wheel:
        wheel.extractall(os.path.join(dest, "site"))
    print(f"installed {name} for {sys.executable}")


if __name__ == "__main__":
    main()
