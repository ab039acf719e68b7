#!/usr/bin/env bash
# The whole test suite: every stage below, on every supported interpreter
# where it applies, each in fresh virtual environments with the module built
# from this tree. Exits non-zero if any stage fails.
#
#   unit       pytest on CPython 3.12 and 3.13 (warnings are errors in the build)
#   package    type stub under mypy and pyright, sdist/wheel, wheel configuration
#   sanitize   the suite against an AddressSanitizer/UBSan build
#   leaks      repeated runs checking reference counts and allocations
#   lint       clang-format, clang-tidy, ruff
#   armhf      cross-build for 32-bit ARM, whole suite under qemu
#
# Usage: scripts/test.sh [STAGE...]   (default: all stages)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

unit() {
  local ver venv rc=0
  for ver in "${SUPPORTED_VERSIONS[@]}"; do
    venv="$ROOT/.venv/test-$ver"
    echo "== unit: CPython $ver"
    make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6"
    IVRO_WARNINGS_AS_ERRORS=ON install_module "$venv" IVRO_WARNINGS_AS_ERRORS=ON
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests || rc=1
  done
  return $rc
}

all_stages=(unit package sanitize leaks lint armhf)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")

passed=0
failed=0
failures=()
for stage in "${stages[@]}"; do
  start=$SECONDS
  echo
  echo "======== stage: $stage"
  case "$stage" in
    unit) cmd=(unit) ;;
    package | sanitize | leaks | lint | armhf) cmd=(bash "$ROOT/scripts/$stage.sh") ;;
    *) echo "error: unknown stage '$stage' (known: ${all_stages[*]})" >&2; exit 2 ;;
  esac
  if "${cmd[@]}"; then
    passed=$((passed + 1))
    echo "======== stage $stage: ok ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    failures+=("$stage")
    echo "======== stage $stage: FAILED ($((SECONDS - start)) s)"
  fi
done

echo
[ $failed -eq 0 ] || echo "failed stages: ${failures[*]}"
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]
