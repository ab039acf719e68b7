#!/usr/bin/env bash
# The whole test suite on musl libc, with CPython 3.12 built for it (once
# per machine, cached; see musl_python.sh):
#
#   x86_64   run natively
#   armhf    32-bit ARM hard-float, for the ARMv7 baseline, under qemu-arm
#
# The module is compiled for each with Zig's Clang and the release build's
# options (CMakeLists.txt), warnings as errors. Both interpreters give every
# thread musl's own 128 KiB stack, as a user's would.
#
# Usage: scripts/musl.sh [TARGET...] [-- PYTEST ARGS...]
# e.g. scripts/musl.sh armhf -- tests/test_core.py -k callback
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/musl_python.sh"

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

# The interpreters have no ssl to reach PyPI (nor pip): the host's pip
# fetches pure-Python wheels of the test tools for 3.12 instead.
echo "== musl: test tools for CPython 3.12"
rm -rf "$WORK/site"
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  --target "$WORK/site" --python-version 3.12 --implementation py --platform any \
  --only-binary=:all: "pytest>=8" "hypothesis>=6"

# stack_size ELF: the stack size in the program header, as readelf prints it.
stack_size() { readelf -lW "$1" | awk '$1 == "GNU_STACK" { print $6 }'; }

# arm_baseline INTERPRETER MODULE: fails unless both are built for the
# armv7 baseline: VFPv3 with 16 double registers and no NEON. The
# interpreter's build attributes say so; the module's code is read instead
# (arm_code_baseline).
arm_baseline() {
  local attrs
  attrs=$(readelf -A "$1")
  if ! grep -q 'Tag_FP_arch: VFPv3-D16' <<<"$attrs" || grep -q 'Tag_Advanced_SIMD_arch' <<<"$attrs"; then
    echo "error: $1 is not built for ARMv7 with VFPv3-D16 and no NEON:" >&2
    echo "$attrs" >&2
    return 1
  fi
  arm_code_baseline "$2"
}

# musl_target TARGET PYTEST ARGS...: builds the module for TARGET and runs
# the suite there; skips if there is no interpreter for it.
musl_target() {
  local target=$1
  shift
  musl_target_settings "$target"
  [ -z "$musl_qemu" ] ||
    need_tools qemu-arm:qemu-user arm-linux-gnueabihf-objdump:binutils-arm-linux-gnueabihf
  py=$(musl_python "$target")
  run=("$py")
  if [ -n "$musl_qemu" ]; then
    # Code that re-runs sys.executable (subprocesses) needs something the
    # host can execute. The launcher lives beside the real interpreter so
    # that the interpreter, seeing it as argv[0], finds its library.
    root=$(musl_loader_root "$target")
    launcher="$py-qemu"
    printf '#!/bin/sh\nexec %s -L %q -0 "$0" %q "$@"\n' "$musl_qemu" "$root" "$py" >"$launcher.tmp"
    chmod +x "$launcher.tmp"
    mv "$launcher.tmp" "$launcher"
    run=("$launcher")
  fi

  # ---- build -----------------------------------------------------------
  out="$WORK/$target/lib"
  mkdir -p "$out"
  rm -rf "$out"/_ivro*
  musl_cc_wrappers "$target" "$WORK/$target/bin"
  cxx="$WORK/$target/bin/c++"
  suffix=$("${run[@]}" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  include=$("${run[@]}" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  echo "== musl $target: building _ivro$suffix with $("$cxx" --version | head -n 1)"
  # -fno-plt only where the compiler takes it, as CMakeLists.txt decides.
  no_plt=()
  mkdir -p "$WORK/$target/obj"
  echo 'int x;' >"$WORK/$target/obj/probe.cpp"
  if "$cxx" -fno-plt -Werror -c "$WORK/$target/obj/probe.cpp" -o "$WORK/$target/obj/probe.o" 2>/dev/null; then
    no_plt=(-fno-plt)
  fi
  rm -f "$WORK/$target"/obj/*.o
  # One compiler per source, as many at once as there are cores.
  objs=()
  pids=()
  for src in "$ROOT"/src/*/*.cpp; do
    objs+=("$WORK/$target/obj/$(basename "$src" .cpp).o")
    "$cxx" -c -std=c++20 -O3 -DNDEBUG -fPIC -fvisibility=hidden -fvisibility-inlines-hidden \
      -fno-exceptions -fno-rtti "${no_plt[@]}" -Wall -Wextra -Wno-missing-field-initializers \
      -Werror -flto=thin -I "$ROOT/src" -I "$include" "$src" -o "${objs[-1]}" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$(nproc)" ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
  done
  for pid in "${pids[@]}"; do wait "$pid"; done
  # Linked by the C driver: the module takes nothing from the C++ runtime
  # (no exceptions, no RTTI, no operator new), and Zig's C++ driver would
  # bundle its libc++ and unwinder into it.
  "$WORK/$target/bin/cc" -shared -flto=thin "${objs[@]}" -Wl,-z,noexecstack -o "$out/_ivro$suffix"
  # The stub package travels with the module, as in a wheel.
  cp -r "$ROOT/stubs/_ivro-stubs" "$out/_ivro-stubs"

  # ---- checks ----------------------------------------------------------
  size=$(stack_size "$py")
  if [[ $py == "$MUSL_CACHE"/cpython-musl-* ]] && [ $((size)) -ne "$MUSL_THREAD_STACK" ]; then
    echo "error: $py asks for a $size-byte thread stack, not musl's $MUSL_THREAD_STACK" >&2
    exit 1
  fi
  [ -z "$musl_qemu" ] || arm_baseline "$py" "$out/_ivro$suffix"
  PYTHONPATH="$out" "${run[@]}" -c "
import platform, sys, sysconfig, _ivro
assert sysconfig.get_config_var('MULTIARCH') == '$musl_triple', sysconfig.get_config_var('MULTIARCH')
print(platform.machine(), sys.version.split()[0], sysconfig.get_config_var('MULTIARCH'),
      'maxsize', sys.maxsize, _ivro.__file__)
"

  # ---- tests -----------------------------------------------------------
  echo "== musl $target: running the test suite"
  # Under emulation the model-based tests run fewer examples: this stage
  # is about the platform, the native stages explore the state space.
  profile=${IVRO_HYPOTHESIS_PROFILE:-ci}
  [ -z "$musl_qemu" ] || profile=${IVRO_HYPOTHESIS_PROFILE:-emulated}
  trc=0
  (cd "$ROOT" && PYTHONPATH="$out:$WORK/site" IVRO_HYPOTHESIS_PROFILE=$profile \
    timeout -s INT -k 60 "${IVRO_EMULATED_TIMEOUT:-1800}" \
    "${run[@]}" -X faulthandler -m pytest -q -p no:cacheprovider -o faulthandler_timeout=600 \
    "${@:-tests}") || trc=$?
  [ $trc -ne 124 ] || echo "!! musl $target: the test run timed out" >&2
  return $trc
}

for target in "${targets[@]}"; do part musl_target "$target" "$@"; done
stage_exit
