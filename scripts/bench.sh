#!/usr/bin/env bash
# The side-by-side benchmark on every supported interpreter, each in a venv
# of its own with the peer caches from PyPI and the module built (optimised,
# without sanitizers) from this tree.
#   scripts/bench.sh --quick       about half a minute per interpreter
#   scripts/bench.sh               full run (1,000 and 1,000,000 entries), by hand
# Further options go to bench/bench.py (see --help); results land in
# bench/results/ as JSON.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cd "$ROOT"
for ver in 3.13 3.12; do
  venv="$ROOT/.venv/bench-$ver"
  echo "== CPython $ver: build, then benchmark"
  make_venv "$ver" "$venv" cachetools cachebox
  IVRO_SANITIZE=OFF install_module "$venv"
  "$venv/bin/python" bench/bench.py "$@"
done
