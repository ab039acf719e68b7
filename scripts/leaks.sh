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

status=0
for ver in "${HOST_VERSIONS[@]}"; do
  venv="$ROOT/.venv/leaks-$ver"
  echo "== CPython $ver: build"
  make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6"
  install_module "$venv"

  echo "== CPython $ver: repeated operation groups"
  if ! IVRO_LEAK_CHECK=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/leaks; then
    status=1
  fi
done

sid_rootfs
for ver in "${DEBUG_VERSIONS[@]}"; do
  name="leaks-${ver}d"
  echo "== CPython ${ver}d: build"
  sid_install "$name" "$ver" d
  echo "== CPython ${ver}d: repeated operation groups, exact reference totals"
  if ! IVRO_LEAK_CHECK=1 in_sid "$name" "$ver" d -m pytest -q -p no:cacheprovider \
      "/ivro/$name/src/tests/leaks"; then
    status=1
  fi
done

ver=${HOST_VERSIONS[0]}
echo "== CPython $ver: every test repeated"
if ! PYTHONPATH="$ROOT/tests/leaks${PYTHONPATH:+:$PYTHONPATH}" \
    "$ROOT/.venv/leaks-$ver/bin/python" -m pytest -q -p no:cacheprovider -p ivro_leak_plugin \
    --ignore=tests/leaks tests; then
  status=1
fi
exit $status
