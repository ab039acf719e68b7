#!/usr/bin/env bash
# The main job: build the module on CPython 3.13, run the short tour, then
# the side-by-side benchmark in its quick mode (pass --full for the long one).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

mode=--quick
[ "${1:-}" = "--full" ] && mode=--full

venv="$ROOT/.venv/tour-3.13"
make_venv 3.13 "$venv" cachetools cachebox
install_module "$venv"
echo "== Tour (examples/tour.py)"
"$venv/bin/python" "$ROOT/examples/tour.py"
echo
echo "== Benchmark ($mode)"
"$venv/bin/python" "$ROOT/bench/bench.py" "$mode"
