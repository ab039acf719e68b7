#!/usr/bin/env bash
# Reference and memory leak checks.
#
# Usage: scripts/leaks.sh
#
# 1. tests/leaks: each group of operations, hostile ones included, repeated
#    hundreds of times; the reference counts of sentinel keys and values,
#    sys.getallocatedblocks() and tracemalloc totals must not grow. Run on
#    CPython 3.12 and 3.13 (this machine's) and on the debug builds of 3.13,
#    3.14 and 3.15, where the interpreter's total reference count is exact:
#    a group that leaks one reference per call grows it by the number of
#    rounds, which no noise comes near. These runs are cheap.
# 2. The whole suite again, each test repeated with fresh fixtures through
#    tests/leaks/ivro_leak_plugin.py; a test whose repetitions grow the
#    allocated blocks every time fails the run. This is most of the stage's
#    time, so it runs once, on CPython 3.12: the debug builds' exact totals
#    in part 1 already cover the reference side on every newer version.
# Both count the interpreter's small-object allocator, so PYTHONMALLOC stays
# at its default here.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"
unset PYTHONMALLOC

leaks_host() {
  local ver=$1 venv="$ROOT/.venv/leaks-$1"
  echo "== CPython $ver: build"
  make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6"
  install_module "$venv"
  echo "== CPython $ver: repeated operation groups"
  IVRO_LEAK_CHECK=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/leaks
}

leaks_debug() {
  local ver=$1 name="leaks-${1}d"
  sid_rootfs
  echo "== CPython ${ver}d: build"
  sid_install "$name" "$ver" d
  echo "== CPython ${ver}d: repeated operation groups, exact reference totals"
  IVRO_LEAK_CHECK=1 in_sid "$name" "$ver" d -m pytest -q -p no:cacheprovider \
    "/ivro/$name/src/tests/leaks"
}

leaks_every_test() {
  local ver=${HOST_VERSIONS[0]}
  [ -x "$ROOT/.venv/leaks-$ver/bin/python" ] || find_python "$ver" >/dev/null
  echo "== CPython $ver: every test repeated"
  PYTHONPATH="$ROOT/tests/leaks${PYTHONPATH:+:$PYTHONPATH}" \
    "$ROOT/.venv/leaks-$ver/bin/python" -m pytest -q -p no:cacheprovider -p ivro_leak_plugin \
    --ignore=tests/leaks tests
}

for ver in "${HOST_VERSIONS[@]}"; do part leaks_host "$ver"; done
for ver in "${DEBUG_VERSIONS[@]}"; do part leaks_debug "$ver"; done
part leaks_every_test
stage_exit
