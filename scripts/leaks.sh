#!/usr/bin/env bash
# Reference and memory leak checks on every supported interpreter.
#
# Usage: scripts/leaks.sh [VERSION...]   (default: every supported version)
#
# 1. tests/leaks: each group of operations, hostile ones included, repeated
#    hundreds of times; the reference counts of sentinel keys and values,
#    sys.getallocatedblocks() and tracemalloc totals must not grow.
# 2. The whole suite again, each test repeated with fresh fixtures through
#    tests/leaks/ivro_leak_plugin.py; a test whose repetitions grow the
#    allocated blocks every time fails the run.
# Both count the interpreter's small-object allocator, so PYTHONMALLOC stays
# at its default here. On a debug interpreter (sys.gettotalrefcount) the total
# reference count is checked too; Debian's stable release ships no debug
# build of a supported version, so that part applies only where one exists.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=("${SUPPORTED_VERSIONS[@]}")

status=0
for ver in "${versions[@]}"; do
  venv="$ROOT/.venv/leaks-$ver"
  echo "== CPython $ver: build"
  make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6"
  install_module "$venv"
  unset PYTHONMALLOC

  echo "== CPython $ver: repeated operation groups"
  if ! IVRO_LEAK_CHECK=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/leaks; then
    status=1
  fi

  echo "== CPython $ver: every test repeated"
  if ! PYTHONPATH="$ROOT/tests/leaks${PYTHONPATH:+:$PYTHONPATH}" \
      "$venv/bin/python" -m pytest -q -p no:cacheprovider -p ivro_leak_plugin \
      --ignore=tests/leaks tests; then
    status=1
  fi
done
exit $status
