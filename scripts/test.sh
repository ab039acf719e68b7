#!/usr/bin/env bash
# The whole test suite: every stage below, on every supported interpreter
# where it applies, each in fresh virtual environments or root file systems,
# on the wheel users install where one is built here (scripts/wheelhouse.sh:
# each built once per state of the tree, by the wheels stage or the first
# stage that needs it, and shared), else with the module built from this
# tree. Exits non-zero if any stage fails.
#
#   unit       pytest on CPython 3.12, 3.13 (this machine's, in venvs), 3.14
#              and 3.15 (Debian unstable's; without root, this machine's if
#              any), each on its wheel; and the build from the tree on each,
#              warnings as errors, with a short run
#   debug      pytest on the debug builds of CPython 3.13, 3.14 and 3.15
#   package    type stub under mypy and pyright, sdist/wheel, wheel configuration
#   sanitize   the suite against an AddressSanitizer/UBSan build
#   leaks      repeated runs checking reference counts (exact, on debug
#              builds) and allocations
#   lint       clang-format, clang-tidy, ruff; a clang/libc++ build
#   armhf      the suite under qemu on the armv7l wheel; before it, a
#              cross-build from the tree with Debian's GCC and a short run
#   aarch64    the same for 64-bit ARM
#   musl       CPython 3.12 built for musl libc (x86-64, and 32-bit ARM
#              under qemu; built once per machine and cached), the suite on
#              the musllinux wheels
#   freethreaded  pytest on a free-threaded CPython 3.15 (built from source
#              once per machine and cached), the GIL kept off, on the
#              cp315t wheel
#   wheels     the wheels users install (manylinux x86-64 3.12-3.15 and
#              3.15t, aarch64 and armv7l 3.13, musllinux x86-64 and armv7l
#              3.12), checked by auditwheel, into build/wheelhouse/ with
#              SHA256SUMS; the cp313 one tested on Debian unstable's 3.13
#   tsan       the threaded tests and threaded fuzz programs under
#              ThreadSanitizer, module and free-threaded interpreter both
#              instrumented
#   coverage   line and branch coverage of src/ by the suite (and the fuzz
#              corpora) per build family: CPython 3.12 and 3.13 merged,
#              3.14 and 3.15 (Debian unstable's) merged, the free-threaded
#              build; fails where a family is below its floors; HTML
#              reports in build/coverage/
#   fuzz       atheris targets against an ASan + libFuzzer build on 3.12
#              and 3.13 (every corpus replayed, then each target from a fixed
#              and a random seed), corpora and seeded random inputs on 3.14,
#              3.15 and the free-threaded build, the threaded target on the
#              free-threaded build and 3.13; a value ledger throughout
#
# Usage: scripts/test.sh [STAGE...]   (default: all stages)
#
# Stages run two at a time (IVRO_JOBS), each with its output in
# build/logs/STAGE.log, printed once the stage ends. A stage that lacks
# something it cannot get here (root, Debian's archive, qemu, a CPython
# source tarball, a download) is SKIPPED, its log and the summary saying
# what and how to provide it; the run exits 0 unless a stage FAILED.
# IVRO_REQUIRE_ALL_STAGES=1 (CI) makes every skip a failure.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# Sets and exports the key of the tree's content that the stages' wheels are
# built from, once for the whole run.
source "$ROOT/scripts/wheelhouse.sh"
cd "$ROOT"

# unit_host VERSION: the build from the tree on this machine's CPython
# VERSION, in a venv, warnings as errors; a short run.
unit_host() {
  local venv="$ROOT/.venv/test-$1"
  make_venv "$1" "$venv" "pytest>=8" "hypothesis>=6"
  echo "== unit: CPython $1 ($(readlink -f "$venv/bin/python")), the build from the tree"
  IVRO_WARNINGS_AS_ERRORS=ON install_module "$venv" IVRO_WARNINGS_AS_ERRORS=ON
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "${SHORT_TESTS[@]}"
}

# unit_sid VERSION: the same on Debian unstable's CPython VERSION, built by
# the package's own build backend in the root; without root, on this
# machine's CPython VERSION if it has one, and then the whole suite, as no
# wheel is built for it.
unit_sid() {
  local ver=$1 name="unit-$1" why
  if ! why=$(sid_usable 2>&1); then
    (find_python "$ver" >/dev/null 2>&1) || skip "CPython $ver: none on this machine, and $why"
    unit_host "$ver"
    "$ROOT/.venv/test-$ver/bin/python" -m pytest -q -p no:cacheprovider tests
    return
  fi
  sid_rootfs
  echo "== unit: CPython $ver (Debian unstable), the build from the tree"
  IVRO_WARNINGS_AS_ERRORS=ON sid_install "$name" "$ver" "" \
    cmake.define.IVRO_WARNINGS_AS_ERRORS=ON
  in_sid "$name" "$ver" "" -m pytest -q -p no:cacheprovider "${SHORT_TESTS[@]/#//ivro/$name/src/}"
}

# unit_wheel VERSION: the whole suite on the wheel for CPython VERSION,
# pip-installed into a fresh venv of this machine's (3.12, 3.13) or of
# Debian unstable's (3.14, 3.15) interpreter.
unit_wheel() {
  local ver=$1 py
  if [[ " ${SID_VERSIONS[*]} " == *" $ver "* ]]; then
    sid_usable >/dev/null 2>&1 || skip "the cp${ver/./} wheel: $(sid_usable 2>&1)"
    wheel_of "$(wheels cell-for "$ver")"
    sid_rootfs
    sid_wheel_suite "$wheel" "$ver" "unit-wheel-$ver"
  else
    py=$(find_python "$ver")
    wheel_of "$(wheels cell-for "$ver")"
    venv_with_wheel "$wheel" "$py" "$ROOT/build/unit/venv-$ver"
    wheel_suite "$ROOT/build/unit/venv-$ver/bin/python"
  fi
}

unit() {
  local ver
  for ver in "${HOST_VERSIONS[@]}"; do part unit_host "$ver"; done
  for ver in "${SID_VERSIONS[@]}"; do part unit_sid "$ver"; done
  for ver in "${SUPPORTED_VERSIONS[@]}"; do part unit_wheel "$ver"; done
  stage_exit
}

# Longest first, so that two lanes end close together; wheels early, so
# that the stages that test its wheels find them built.
all_stages=(fuzz leaks wheels debug coverage unit musl package tsan aarch64 armhf sanitize freethreaded lint)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
for stage in "${stages[@]}"; do
  case " ${all_stages[*]} " in
    *" $stage "*) ;;
    *) echo "error: unknown stage '$stage' (known: ${all_stages[*]})" >&2; exit 2 ;;
  esac
done

run_stage() {
  local stage=$1
  case "$stage" in
    unit) unit ;;
    *) bash "$ROOT/scripts/$stage.sh" ;;
  esac
}

logs="$ROOT/build/logs"
mkdir -p "$logs"
jobs_max=${IVRO_JOBS:-2}
declare -A pid_of=() started=() took=() status=()
finish() {
  # Waits for any one running stage and reports it.
  local stage pid rc label
  while :; do
    for stage in "${!pid_of[@]}"; do
      pid=${pid_of[$stage]}
      if ! kill -0 "$pid" 2>/dev/null; then
        rc=0
        wait "$pid" || rc=$?
        unset "pid_of[$stage]"
        took[$stage]=$((SECONDS - started[$stage]))
        echo
        echo "======== stage: $stage"
        cat "$logs/$stage.log"
        status[$stage]=$rc
        case $rc in 0) label=ok ;; "$SKIP") label=SKIPPED ;; *) label=FAILED ;; esac
        echo "======== stage $stage: $label (${took[$stage]} s)"
        return 0
      fi
    done
    sleep 1
  done
}

total_start=$SECONDS
for stage in "${stages[@]}"; do
  while [ ${#pid_of[@]} -ge "$jobs_max" ]; do finish; done
  echo "-------- starting stage $stage"
  started[$stage]=$SECONDS
  run_stage "$stage" >"$logs/$stage.log" 2>&1 </dev/null &
  pid_of[$stage]=$!
done
while [ ${#pid_of[@]} -gt 0 ]; do finish; done

results=()
for stage in "${stages[@]}"; do results+=("$stage:${status[$stage]}:${took[$stage]}"); done
echo
# Each stage's result, then what the skipped ones lacked, then the verdict;
# exits 1 if a stage failed (or, with IVRO_REQUIRE_ALL_STAGES=1, skipped).
stages summary --wall $((SECONDS - total_start)) --jobs "$jobs_max" "$logs" "${results[@]}"
