#!/usr/bin/env bash
# What a user meets before the code: the type stub as mypy and pyright read
# it (on every supported interpreter), the sdist and wheel that
# `python -m build` makes, a fresh install from the sdist alone, and the
# wheel-building configuration. Needs PyPI (build isolation). Runs on this
# machine's interpreters (3.12, 3.13): the type checkers and build tools come
# from PyPI into venvs, which Debian unstable's root cannot reach.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cd "$ROOT"
status=0
export IVRO_REQUIRE_TYPE_CHECKERS=1
for ver in "${HOST_VERSIONS[@]}"; do
  venv="$ROOT/.venv/package-$ver"
  echo "== package: CPython $ver"
  # pyright[nodejs] brings Node.js as a wheel: nothing is fetched at run time.
  make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6" mypy "pyright[nodejs]" build cibuildwheel
  install_module "$venv"
  tests=(tests/test_typing.py)
  if [ "$ver" = "${HOST_VERSIONS[0]}" ]; then
    tests+=(tests/test_packaging.py)
    export IVRO_PACKAGING_TEST=1
  else
    unset IVRO_PACKAGING_TEST
  fi
  if ! "$venv/bin/python" -m pytest -q -p no:cacheprovider -rs "${tests[@]}"; then
    status=1
  fi
done

# cibuildwheel cannot build here (no containers), but it can read its
# configuration: glibc and musl Linux, three architectures, every supported
# interpreter and the free-threaded 3.14 and 3.15, and nothing else.
echo "== package: wheel-building configuration"
ids=$("$ROOT/.venv/package-${HOST_VERSIONS[0]}/bin/cibuildwheel" \
  --print-build-identifiers --platform linux "$ROOT")
echo "$ids"
expected=0
for py in "${SUPPORTED_VERSIONS[@]/#/cp}" cp3.14t cp3.15t; do
  py=${py/./}
  for libc in manylinux musllinux; do
    for arch in x86_64 aarch64 armv7l; do
      expected=$((expected + 1))
      if ! grep -qx "$py-${libc}_$arch" <<<"$ids"; then
        echo "!! package: no wheel configured for $py-${libc}_$arch" >&2
        status=1
      fi
    done
  done
done
[ "$(wc -l <<<"$ids")" -eq "$expected" ] || { echo "!! package: unexpected wheels configured" >&2; status=1; }
exit $status
