#!/usr/bin/env bash
# The whole test suite, on every supported interpreter, each in a fresh
# virtual environment with the module built from this tree.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cd "$ROOT"
status=0
for ver in "${SUPPORTED_VERSIONS[@]}"; do
  venv="$ROOT/.venv/test-$ver"
  echo "== CPython $ver: build and test"
  make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6"
  IVRO_WARNINGS_AS_ERRORS=ON install_module "$venv"
  if ! (cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests); then
    status=1
  fi
done
exit $status
