#!/usr/bin/env bash
# Cross-builds the module for 32-bit ARM hard-float and runs the whole test
# suite under user-mode emulation with Debian 13's armhf CPython 3.13, where
# Py_ssize_t is 32 bits wide. Runs as root (CI); installs what it needs.
#
# Arguments, if any, replace the default pytest target `tests`, e.g.
#   scripts/armhf.sh tests/test_core.py -k callback
# The armhf root file system is cached under build/armhf/rootfs and only
# rebuilt when the package list below changes; delete build/armhf to start
# over.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK="$ROOT/build/armhf"
ROOTFS="$WORK/rootfs"
PYVER=3.13
SUITE=trixie
# The same archive that this machine's apt is configured with.
MIRROR=${ARMHF_MIRROR:-http://deb.debian.org/debian}
PACKAGES=(python3.13 python3.13-dev libstdc++6 python3-pytest python3-hypothesis)
CROSS=arm-linux-gnueabihf

log() { echo "== armhf: $*"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "error: scripts/armhf.sh installs Debian packages and must run as root" >&2
  exit 1
fi

# ---- host tools ------------------------------------------------------------
apt_get() {
  # Other jobs may hold the apt locks for a while; wait rather than fail.
  DEBIAN_FRONTEND=noninteractive apt-get -q -y -o DPkg::Lock::Timeout=600 "$@"
}

need_install=()
command -v mmdebstrap >/dev/null || need_install+=(mmdebstrap)
command -v qemu-arm >/dev/null || need_install+=(qemu-user)
command -v "$CROSS-g++" >/dev/null || need_install+=(crossbuild-essential-armhf)
if [ ${#need_install[@]} -gt 0 ]; then
  log "installing ${need_install[*]}"
  for attempt in 1 2 3; do
    apt_get update >/dev/null && break
    [ "$attempt" -eq 3 ] && { echo "error: apt-get update failed" >&2; exit 1; }
    sleep 20
  done
  # qemu-user without recommends (no binfmt, no system emulators); the cross
  # toolchain with its recommends, which bring the armhf g++.
  for pkg in "${need_install[@]}"; do
    case $pkg in
      qemu-user) apt_get install --no-install-recommends qemu-user >/dev/null ;;
      *) apt_get install "$pkg" >/dev/null ;;
    esac
  done
fi
for tool in mmdebstrap qemu-arm "$CROSS-g++"; do
  command -v "$tool" >/dev/null || { echo "error: $tool is missing after install" >&2; exit 1; }
done

# ---- armhf root file system ------------------------------------------------
stamp="$SUITE ${PACKAGES[*]}"
if [ ! -f "$ROOTFS/.ivro-stamp" ] || [ "$(cat "$ROOTFS/.ivro-stamp")" != "$stamp" ]; then
  log "creating the $SUITE root file system"
  rm -rf "$ROOTFS"
  mkdir -p "$WORK"
  # The extract variant only unpacks packages and runs no armhf code, so no
  # binfmt handler is needed on the host.
  pkgs=$(IFS=,; echo "${PACKAGES[*]}")
  mmdebstrap --quiet --variant=extract --arch=armhf --include="$pkgs" \
    "$SUITE" "$ROOTFS" "$MIRROR"
  # Nothing ran the usrmerge setup, but the dynamic loader's path and
  # everything else look for /lib and friends.
  for d in lib bin sbin; do
    [ -e "$ROOTFS/$d" ] || ln -s "usr/$d" "$ROOTFS/$d"
  done
  echo "$stamp" >"$ROOTFS/.ivro-stamp"
fi

PYTHON_ARM="$ROOTFS/usr/bin/python$PYVER"
[ -x "$PYTHON_ARM" ] || { echo "error: $PYTHON_ARM missing" >&2; exit 1; }

# Code that re-runs sys.executable (subprocesses, venvs) needs something the
# host kernel can execute. The launcher lives beside the real interpreter so
# that the interpreter, seeing it as argv[0], finds its standard library.
LAUNCHER="$ROOTFS/usr/bin/python$PYVER-qemu"
cat >"$LAUNCHER.tmp" <<EOF
#!/bin/sh
exec qemu-arm -L "$ROOTFS" -0 "\$0" "$PYTHON_ARM" "\$@"
EOF
chmod +x "$LAUNCHER.tmp"
mv "$LAUNCHER.tmp" "$LAUNCHER"

# ---- cross-build -----------------------------------------------------------
EXT_SUFFIX=$("$LAUNCHER" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
OUT="$WORK/lib"
mkdir -p "$OUT"
rm -f "$OUT"/_ivro*.so
log "building _ivro$EXT_SUFFIX with $($CROSS-g++ -dumpfullversion)"
# Debian's pyconfig.h includes a multiarch header found through the rootfs's
# /usr/include, searched after the cross compiler's own headers.
"$CROSS-g++" -std=c++20 -O2 -fPIC -shared -fvisibility=hidden -fvisibility-inlines-hidden \
  -fno-exceptions -fno-rtti -Wall -Wextra -Wno-missing-field-initializers -Werror \
  -I "$ROOT/src" -I "$ROOTFS/usr/include/python$PYVER" -idirafter "$ROOTFS/usr/include" \
  "$ROOT"/src/*/*.cpp \
  -Wl,-z,noexecstack \
  -o "$OUT/_ivro$EXT_SUFFIX"
# The stub package travels with the module, as in a wheel.
rm -rf "$OUT/_ivro-stubs"
cp -r "$ROOT/stubs/_ivro-stubs" "$OUT/_ivro-stubs"

# ---- tests -----------------------------------------------------------------
log "checking the interpreter is 32-bit"
PYTHONPATH="$OUT" "$LAUNCHER" -c '
import platform, struct, sys, _ivro
assert sys.maxsize == 2**31 - 1, sys.maxsize
assert struct.calcsize("P") == 4
print(platform.machine(), sys.version.split()[0], "maxsize", sys.maxsize, _ivro.__file__)
'

log "running the test suite"
cd "$ROOT"
# Debian's pytest (8.3) swaps sys.unraisablehook around every test phase,
# which hides the hook that the tests install to see what the module reports
# there; its unraisable-exception plugin is therefore left out.
PYTHONPATH="$OUT" "$LAUNCHER" -m pytest -q -p no:cacheprovider -p no:unraisableexception "${@:-tests}"
