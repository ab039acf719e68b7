#!/usr/bin/env bash
# The whole test suite under user-mode emulation with Debian 13's CPython
# 3.13 for an ARM architecture, on the wheel users install there
# (scripts/wheelhouse.sh builds it with Zig's Clang, unless a stage of this
# run has), unpacked onto the path (Debian's ARM root has no pip):
#
#   armhf    32-bit ARM hard-float, where Py_ssize_t is 32 bits wide: the
#            manylinux armv7l wheel
#   arm64    64-bit ARM (aarch64), the other architecture users deploy on:
#            the manylinux aarch64 wheel
#
# First the module is cross-built from the tree with Debian's GCC for that
# architecture, warnings as errors, and given a short run: a build check of
# the other compiler.
#
# Usage: scripts/emulated.sh ARCH [PYTEST ARGS...]
# Arguments after ARCH, if any, replace the default pytest target `tests`
# of the run on the wheel, e.g. scripts/emulated.sh arm64 tests/test_core.py -k callback
# Runs as root (CI); installs what it needs. The root file system is cached
# under build/ARCH/rootfs and only rebuilt when its package list changes;
# delete build/ARCH to start over.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/wheelhouse.sh"

ARCH=${1:?usage: scripts/emulated.sh armhf|arm64 [pytest args...]}
shift
case $ARCH in
  armhf) CROSS=arm-linux-gnueabihf QEMU=qemu-arm BITS=32 CPU='' WHEEL_ARCH=armv7l ;;
  # Debian's arm64 binaries sign every return address (pointer
  # authentication); qemu's default CPU computes each signature in software,
  # which makes the interpreter some 20 times slower. A Cortex-A72 has no
  # pointer authentication, so those instructions run as no-ops.
  arm64) CROSS=aarch64-linux-gnu QEMU=qemu-aarch64 BITS=64 CPU=cortex-a72 WHEEL_ARCH=aarch64 ;;
  *) echo "error: unknown architecture '$ARCH' (armhf, arm64)" >&2; exit 2 ;;
esac
WORK="$ROOT/build/$ARCH"
ROOTFS="$WORK/rootfs"
PYVER=$ARM_PYVER
SUITE=$ARM_SUITE
PACKAGES=("${ARM_PACKAGES[@]}")

log() { echo "== $ARCH: $*"; }

need_tools mmdebstrap:mmdebstrap "$QEMU:qemu-user" "$CROSS-g++:crossbuild-essential-$ARCH"
make_rootfs "$ROOTFS" "$ARCH" "$SUITE" "${PACKAGES[@]}"

PYTHON_EMU="$ROOTFS/usr/bin/python$PYVER"
[ -x "$PYTHON_EMU" ] || { echo "error: $PYTHON_EMU missing" >&2; exit 1; }

# Code that re-runs sys.executable (subprocesses, venvs) needs something the
# host kernel can execute. The launcher lives beside the real interpreter so
# that the interpreter, seeing it as argv[0], finds its standard library.
LAUNCHER="$ROOTFS/usr/bin/python$PYVER-qemu"
cat >"$LAUNCHER.tmp" <<EOS
#!/bin/sh
exec $QEMU ${CPU:+-cpu $CPU} -L "$ROOTFS" -0 "\$0" "$PYTHON_EMU" "\$@"
EOS
chmod +x "$LAUNCHER.tmp"
mv "$LAUNCHER.tmp" "$LAUNCHER"

# ---- cross-build -----------------------------------------------------------
EXT_SUFFIX=$("$LAUNCHER" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
OUT="$WORK/lib"
mkdir -p "$OUT"
rm -f "$OUT"/_ivro*.so
log "building _ivro$EXT_SUFFIX with $($CROSS-g++ -dumpfullversion)"
# The release build's flags (CMakeLists.txt). Debian's pyconfig.h includes a
# multiarch header found through the root's /usr/include, searched after the
# cross compiler's own headers.
"$CROSS-g++" -std=c++20 -O3 -DNDEBUG -fPIC -shared -fvisibility=hidden -fvisibility-inlines-hidden \
  -fno-exceptions -fno-rtti -fno-plt -Wall -Wextra -Wno-missing-field-initializers -Werror \
  -flto=auto -fno-fat-lto-objects \
  -I "$ROOT/src" -I "$ROOTFS/usr/include/python$PYVER" -idirafter "$ROOTFS/usr/include" \
  "$ROOT"/src/*/*.cpp \
  -Wl,-z,noexecstack \
  -o "$OUT/_ivro$EXT_SUFFIX"
# The stub package travels with the module, as in a wheel.
rm -rf "$OUT/_ivro-stubs"
cp -r "$ROOT/stubs/_ivro-stubs" "$OUT/_ivro-stubs"

# ---- tests -----------------------------------------------------------------
# check_module DIR: the module that DIR holds is the one imported, on an
# interpreter of the architecture's width.
check_module() {
  log "checking the interpreter is $BITS-bit"
  PYTHONPATH="$1" "$LAUNCHER" -P -c "
import platform, struct, sys, _ivro
assert sys.maxsize == 2**($BITS - 1) - 1, sys.maxsize
assert struct.calcsize('P') == $BITS // 8
assert _ivro.__file__.startswith('$1/'), _ivro.__file__
print(platform.machine(), sys.version.split()[0], 'maxsize', sys.maxsize, _ivro.__file__)
"
}

# suite DIR PYTEST ARGS...: the tests on the module that DIR holds.
# Debian's pytest (8.3) swaps sys.unraisablehook around every test phase,
# which hides the hook that the tests install to see what the module reports
# there; its unraisable-exception plugin is therefore left out.
# A run that hangs under emulation must fail the stage, not hold up CI: the
# whole suite takes a few minutes here, so half an hour means it is stuck.
# faulthandler then prints where every thread was.
# The model-based tests run fewer examples here: this stage is about the
# platform, the native stages explore the state space.
suite() {
  local dir=$1 rc=0
  shift
  (cd "$ROOT" && PYTHONPATH="$dir" IVRO_HYPOTHESIS_PROFILE=${IVRO_HYPOTHESIS_PROFILE:-emulated} \
    timeout -s INT -k 60 "${IVRO_EMULATED_TIMEOUT:-1800}" \
    "$LAUNCHER" -P -X faulthandler -m pytest -q -p no:cacheprovider -p no:unraisableexception \
    -o faulthandler_timeout=600 "$@") || rc=$?
  [ $rc -ne 124 ] || echo "!! $ARCH: the test run timed out" >&2
  return $rc
}

check_module "$OUT"
log "a short run on the build from the tree"
suite "$OUT" "${SHORT_TESTS[@]}"

wheel_of "$(wheels cell-for "$PYVER" --arch "$WHEEL_ARCH")"
unpack_wheel "$wheel" "$WORK/wheel"
check_module "$WORK/wheel"
log "running the test suite on the wheel"
suite "$WORK/wheel" "${@:-tests}"
