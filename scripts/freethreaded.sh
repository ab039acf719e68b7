#!/usr/bin/env bash
# The whole test suite on a free-threaded CPython (3.15, built with
# --disable-gil from the source tarball and cached; see ft_python.sh), on
# the cp315t wheel users install (scripts/wheelhouse.sh builds it, with
# warnings as errors, unless a stage of this run has), pip-installed into a
# fresh venv. No interpreter lock serialises the module's code here:
# threads run in it at the same time.
#
# Usage: scripts/freethreaded.sh [PYTEST ARGS...]   (default: the whole suite)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/wheelhouse.sh"
cd "$ROOT"

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(tests)

echo "== freethreaded: interpreter"
py=$(ft_python ft)
# Without the GIL this proves nothing; the interpreter must really be one.
PYTHON_GIL=0 "$py" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), sys.executable'
wheel_of "$(wheels cell-for 3.15t)"
venv="$ROOT/build/freethreaded/venv"
PYTHON_GIL=0 PIP_CONSTRAINT="$FT_CONSTRAINTS" venv_with_wheel "$wheel" "$py" "$venv"
echo "== freethreaded: tests"
# PYTHON_GIL=0 keeps the GIL off for the whole run, even should a test
# dependency's extension ask for it; that the module itself keeps it off is
# checked by a test that imports it in a child without the variable.
PYTHON_GIL=0 wheel_suite "$venv/bin/python" --capture=sys "${args[@]}"
