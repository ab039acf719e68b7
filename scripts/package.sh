#!/usr/bin/env bash
# What a user meets before the code: the type stub as mypy and pyright read
# it (on every supported interpreter), the sdist and wheel that
# `python -m build` makes, a fresh install from the sdist alone, and the
# wheel-building configuration. Needs PyPI (build isolation).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cd "$ROOT"
status=0
export IVRO_REQUIRE_TYPE_CHECKERS=1
for ver in "${SUPPORTED_VERSIONS[@]}"; do
  venv="$ROOT/.venv/package-$ver"
  echo "== package: CPython $ver"
  # pyright[nodejs] brings Node.js as a wheel: nothing is fetched at run time.
  make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6" mypy "pyright[nodejs]" build cibuildwheel
  install_module "$venv"
  tests=(tests/test_typing.py)
  if [ "$ver" = "${SUPPORTED_VERSIONS[0]}" ]; then
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
# configuration: glibc and musl Linux, three architectures, two interpreters.
echo "== package: wheel-building configuration"
ids=$("$ROOT/.venv/package-${SUPPORTED_VERSIONS[0]}/bin/cibuildwheel" \
  --print-build-identifiers --platform linux "$ROOT")
echo "$ids"
for py in cp312 cp313; do
  for libc in manylinux musllinux; do
    for arch in x86_64 aarch64 armv7l; do
      if ! grep -qx "$py-${libc}_$arch" <<<"$ids"; then
        echo "!! package: no wheel configured for $py-${libc}_$arch" >&2
        status=1
      fi
    done
  done
done
[ "$(wc -l <<<"$ids")" -eq 12 ] || { echo "!! package: unexpected wheels configured" >&2; status=1; }
exit $status
