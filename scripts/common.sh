# Shared by the project's scripts: find the supported interpreters and build
# the module into a virtual environment of its own for each.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SUPPORTED_VERSIONS=(3.12 3.13)

# Prints the path of a CPython interpreter for version $1 (e.g. 3.13), or
# fails loudly: a missing interpreter must never turn into a skipped run.
find_python() {
  local ver=$1 cand
  local -a cands=()
  if command -v pyenv >/dev/null 2>&1; then
    local root
    root=$(pyenv root)
    for cand in "$root"/versions/"$ver".*/bin/python"$ver"; do cands+=("$cand"); done
  fi
  for cand in "$HOME"/.pyenv/versions/"$ver".*/bin/python"$ver" \
              /usr/bin/python"$ver" /usr/local/bin/python"$ver" \
              "$(command -v python"$ver" 2>/dev/null || true)"; do
    cands+=("$cand")
  done
  for cand in "${cands[@]}"; do
    [ -n "$cand" ] && [ -x "$cand" ] || continue
    # Debian's interpreters need their venv and headers packages; skip one
    # that cannot build an extension rather than fail later.
    if "$cand" -c "import sys, venv, sysconfig, os; sys.exit(0 if sys.version_info[:2] == tuple(map(int, '$ver'.split('.'))) and os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')) else 1)" 2>/dev/null; then
      echo "$cand"
      return 0
    fi
  done
  echo "error: no usable CPython $ver found (looked in pyenv, /usr/bin, /usr/local/bin, PATH)" >&2
  return 1
}

# make_venv VERSION DIR [extra pip packages...]: a venv at DIR with the
# build tools and the given packages; prints nothing on success.
make_venv() {
  local ver=$1 dir=$2
  shift 2
  local py
  py=$(find_python "$ver")
  if [ ! -x "$dir/bin/python" ]; then
    "$py" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
  "$dir/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.9" "cmake>=3.18" ninja "$@"
}

# install_module DIR [cmake defines as KEY=VALUE...]: builds and installs the
# package from the work tree into the venv at DIR.
install_module() {
  local dir=$1
  shift
  local -a settings=()
  local def
  for def in "$@"; do settings+=("--config-settings=cmake.define.$def"); done
  local tag
  tag=$("$dir/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  "$dir/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --force-reinstall --no-deps \
    "--config-settings=build-dir=$ROOT/build/$(basename "$dir")-$tag" \
    "${settings[@]}" "$ROOT"
}
