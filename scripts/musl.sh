#!/usr/bin/env bash
# The whole test suite on musl libc, with CPython 3.12 built for it (once
# per machine, cached; see musl_python.sh), on the musllinux wheels users
# install (scripts/wheelhouse.sh builds them, with Zig's Clang, the release
# build's options and warnings as errors, unless a stage of this run has):
#
#   x86_64   the musllinux_1_2_x86_64 wheel, installed by pip into a venv,
#            run natively
#   armhf    the musllinux_1_2_armv7l wheel (ARMv7-A, VFPv3-D16, no NEON),
#            unpacked onto the path, under qemu-arm
#
# Both interpreters give every thread musl's own 128 KiB stack, as a
# user's would.
#
# Usage: scripts/musl.sh [TARGET...] [-- PYTEST ARGS...]
# e.g. scripts/musl.sh armhf -- tests/test_core.py -k callback
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/wheelhouse.sh"

targets=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  targets+=("$1")
  shift
done
[ "${1:-}" != -- ] || shift
[ ${#targets[@]} -gt 0 ] || targets=(x86_64 armhf)
for target in "${targets[@]}"; do musl_target_settings "$target"; done

WORK="$ROOT/build/musl"
export ZIG_GLOBAL_CACHE_DIR="$MUSL_CACHE/zig-cache"

# The interpreters have no ssl to reach PyPI: the host's pip fetches
# pure-Python wheels of the test tools for 3.12 instead.
echo "== musl: test tools for CPython 3.12"
rm -rf "$WORK/site"
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  --target "$WORK/site" --python-version 3.12 --implementation py --platform any \
  --only-binary=:all: "pytest>=8" "hypothesis>=6"

# stack_size ELF: the stack size in the program header, as readelf prints it.
stack_size() { readelf -lW "$1" | awk '$1 == "GNU_STACK" { print $6 }'; }

# arm_baseline INTERPRETER: fails unless it is built for the armv7
# baseline: VFPv3 with 16 double registers and no NEON, as its build
# attributes say. (The wheel's module is checked by its code when it is
# built: arm_code_baseline.)
arm_baseline() {
  local attrs
  attrs=$(readelf -A "$1")
  if ! grep -q 'Tag_FP_arch: VFPv3-D16' <<<"$attrs" || grep -q 'Tag_Advanced_SIMD_arch' <<<"$attrs"; then
    echo "error: $1 is not built for ARMv7 with VFPv3-D16 and no NEON:" >&2
    echo "$attrs" >&2
    return 1
  fi
}

# musl_target TARGET PYTEST ARGS...: installs the wheel for TARGET and runs
# the suite there; skips if there is no interpreter for it.
musl_target() {
  local target=$1 py root launcher size site profile trc arch
  local -a run
  shift
  musl_target_settings "$target"
  [ -z "$musl_qemu" ] || need_tools qemu-arm:qemu-user
  py=$(musl_python "$target")
  size=$(stack_size "$py")
  if [[ $py == "$MUSL_CACHE"/cpython-musl-* ]] && [ $((size)) -ne "$MUSL_THREAD_STACK" ]; then
    echo "error: $py asks for a $size-byte thread stack, not musl's $MUSL_THREAD_STACK" >&2
    exit 1
  fi
  arch=x86_64
  if [ -n "$musl_qemu" ]; then
    arm_baseline "$py"
    arch=armv7l
  fi
  wheel_of "$(wheels cell-for 3.12 --libc musllinux --arch "$arch")"

  if [ -z "$musl_qemu" ]; then
    # pip installs the wheel alone: the test tools, which the interpreter
    # cannot fetch, come from the path.
    rm -rf "$WORK/$target/venv"
    "$py" -m venv "$WORK/$target/venv"
    "$WORK/$target/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
      --no-deps "$wheel"
    run=("$WORK/$target/venv/bin/python")
    site=$WORK/$target/venv/lib
  else
    # Code that re-runs sys.executable (subprocesses) needs something the
    # host can execute. The launcher lives beside the real interpreter so
    # that the interpreter, seeing it as argv[0], finds its library.
    root=$(musl_loader_root "$target")
    launcher="$py-qemu"
    printf '#!/bin/sh\nexec %s -L %q -0 "$0" %q "$@"\n' "$musl_qemu" "$root" "$py" >"$launcher.tmp"
    chmod +x "$launcher.tmp"
    mv "$launcher.tmp" "$launcher"
    run=("$launcher")
    # No pip under qemu: the wheel unpacked, as pip would install it.
    site=$WORK/$target/wheel
    unpack_wheel "$wheel" "$site"
  fi
  PYTHONPATH="$site:$WORK/site" "${run[@]}" -c "
import platform, sys, sysconfig, _ivro
assert sysconfig.get_config_var('MULTIARCH') == '$musl_triple', sysconfig.get_config_var('MULTIARCH')
assert _ivro.__file__.startswith('$site/'), _ivro.__file__
print(platform.machine(), sys.version.split()[0], sysconfig.get_config_var('MULTIARCH'),
      'maxsize', sys.maxsize, _ivro.__file__)
"

  echo "== musl $target: running the test suite"
  # Under emulation the model-based tests run fewer examples: this stage
  # is about the platform, the native stages explore the state space.
  profile=${IVRO_HYPOTHESIS_PROFILE:-ci}
  [ -z "$musl_qemu" ] || profile=${IVRO_HYPOTHESIS_PROFILE:-emulated}
  trc=0
  (cd "$ROOT" && PYTHONPATH="$site:$WORK/site" IVRO_HYPOTHESIS_PROFILE=$profile \
    timeout -s INT -k 60 "${IVRO_EMULATED_TIMEOUT:-1800}" \
    "${run[@]}" -P -X faulthandler -m pytest -q -p no:cacheprovider -o faulthandler_timeout=600 \
    "${@:-tests}") || trc=$?
  [ $trc -ne 124 ] || echo "!! musl $target: the test run timed out" >&2
  return $trc
}

for target in "${targets[@]}"; do part musl_target "$target" "$@"; done
stage_exit
