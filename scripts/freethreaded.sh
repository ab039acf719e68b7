#!/usr/bin/env bash
# The whole test suite on a free-threaded CPython (3.15, built with
# --disable-gil from the source tarball and cached; see ft_python.sh), with
# the module built from this tree, warnings as errors. No interpreter lock
# serialises the module's code here: threads run in it at the same time.
#
# Usage: scripts/freethreaded.sh [PYTEST ARGS...]   (default: the whole suite)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(tests)

venv="$ROOT/.venv/freethreaded"
echo "== freethreaded: interpreter and venv"
make_ft_venv ft "$venv" "pytest>=8" "hypothesis>=6"
# Without the GIL this proves nothing; the interpreter must really be one.
PYTHON_GIL=0 "$venv/bin/python" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), sys.executable'
echo "== freethreaded: build"
IVRO_WARNINGS_AS_ERRORS=ON PYTHON_GIL=0 install_module "$venv" IVRO_WARNINGS_AS_ERRORS=ON
echo "== freethreaded: tests"
# PYTHON_GIL=0 keeps the GIL off for the whole run, even should a test
# dependency's extension ask for it; that the module itself keeps it off is
# checked by a test that imports it in a child without the variable.
PYTHON_GIL=0 "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "${args[@]}"
