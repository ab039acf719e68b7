#!/usr/bin/env bash
# The main job: build the module on CPython 3.13, run the short tour, then
# the side-by-side benchmark in its quick mode on CPython 3.12 to 3.15
# (scripts/bench.sh: about a minute once the venvs and the Debian root for
# 3.14 and 3.15 exist). --full runs the long benchmark instead (by hand:
# about 10 minutes per interpreter).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

mode=--quick
[ "${1:-}" = "--full" ] && mode=

venv="$ROOT/.venv/tour-3.13"
make_venv 3.13 "$venv" cachetools cachebox
install_module "$venv"
echo "== Tour (examples/tour.py)"
"$venv/bin/python" "$ROOT/examples/tour.py"
echo
echo "== Benchmark (${mode:-full})"
bash "$ROOT/scripts/bench.sh" ${mode:+"$mode"}
