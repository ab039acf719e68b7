# CPython 3.12 built for musl libc, x86-64 and 32-bit ARM hard-float, for
# the stage that runs the module there (scripts/musl.sh). Sourced by it,
# after common.sh.
#
# No package archive this project can reach ships a musl CPython, so it is
# cross-built here from the release tarball with Zig's Clang (from PyPI,
# which carries musl's headers and link stubs for every target) and cached
# outside the work tree, keyed by every input: the tarball, the Zig
# release, zlib's source, the target, the loader's root and the recipe
# number below. It links dynamically against musl 1.2.5, whose loader comes
# from Debian's `musl` package, unpacked into a root of its own: the x86-64
# interpreter names that loader in its program header and runs natively,
# the ARM one runs under qemu-arm with that root as its file system.
#
# zlib is built too, from Debian's copy of its source, because hypothesis
# imports it; every other module whose library is missing (ssl, ctypes,
# lzma, ...) is left out, as the tests need none of them.
#
# Where an interpreter comes from (scripts/stages.py decides, in this
# order): for x86-64 one named by IVRO_MUSL_PYTHON; a build from the tarball
# (IVRO_MUSL_CPYTHON_TARBALL, else ../shared/cpython/), cached; a build
# cached from the shared tarball, found by its checksum below where the
# tarball is absent; for x86-64, CPython 3.12 for musl from uv, which
# verifies what it downloads and links it against the system's musl loader
# (/lib/ld-musl-x86_64.so.1, Debian's `musl`). With none of these that
# target is skipped.

# Bump when the way an interpreter is built or checked changes.
MUSL_RECIPE=1
MUSL_TARBALL=${IVRO_MUSL_CPYTHON_TARBALL:-$ROOT/../shared/cpython/cpython-3.12.0.tar.xz}
MUSL_TARBALL_SHA256=989244ac18b21c5b1a8dc5665e3aa538469b319fbe2878e1c18590fd80c94b7b
MUSL_CACHE=${IVRO_MUSL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ivro}
MUSL_ZIG_VERSION=0.17.1
# Debian trixie's zlib source, unchanged upstream 1.3.1 but for files that
# Debian strips; the checksum is the archive's own.
MUSL_ZLIB_FILE=zlib_1.3.dfsg+really1.3.1.orig.tar.gz
MUSL_ZLIB_PATH=pool/main/z/zlib
MUSL_ZLIB_SHA256=60dd315c07f616887caa029408308a018ace66e3d142726a97db164b3b8f69fb
MUSL_PYTHON=python3.12
# musl's own default thread stack. Zig's linker would otherwise write 16 MiB
# into the program header, which musl then gives every thread: the module's
# deep recursions must hold on the stack users actually get.
MUSL_THREAD_STACK=131072

# musl_target_settings TARGET: sets musl_triple, musl_cpu (the compiler's
# CPU options), musl_debarch, musl_qemu (empty: runs natively) and
# musl_alpine_libc (the C library's name in a module that names one, where
# it is not Debian's) for x86_64 or armhf.
musl_target_settings() {
  case $1 in
    x86_64)
      musl_triple=x86_64-linux-musl
      musl_cpu=()
      musl_debarch=amd64
      musl_qemu=
      musl_alpine_libc=
      ;;
    armhf)
      musl_triple=arm-linux-musleabihf
      # Zig's default ARM CPU has NEON and 32 double registers, which the
      # armv7 wheels' platform does not promise: ARMv7-A with VFPv3-D16,
      # Thumb-2 and no NEON, as Alpine's and Debian's armhf are built.
      musl_cpu=(-mcpu=generic+v7a+vfp3d16-neon-d32)
      musl_debarch=armhf
      musl_qemu=qemu-arm
      musl_alpine_libc=libc.musl-armv7.so.1
      ;;
    *)
      echo "error: unknown musl target '$1' (known: x86_64 armhf)" >&2
      return 1
      ;;
  esac
}

# arm_code_baseline MODULE: fails unless MODULE's code keeps to the armv7
# baseline: no quad or upper double register, no NEON-only instruction.
# Its build attributes cannot tell, because Zig's link-time optimiser
# writes its default CPU's. Needs arm-linux-gnueabihf-objdump.
arm_code_baseline() {
  local neon
  neon=$(arm-linux-gnueabihf-objdump -d "$1" |
    grep -E '[[:space:]{,](q([0-9]|1[0-5])|d(1[6-9]|2[0-9]|3[01]))\b|[[:space:]]v(ld|st)[1-4]\.|\.i(8|16|32|64)[[:space:]]' |
    head -n 5) || true
  if [ -n "$neon" ]; then
    echo "error: $1 uses NEON or the upper double registers:" >&2
    echo "$neon" >&2
    return 1
  fi
}

# musl_install_zig VENV: a fresh venv with the pinned Zig in it.
musl_install_zig() {
  rm -rf "$1" && python3 -m venv "$1" &&
    "$1/bin/python" -m pip install -q --disable-pip-version-check "ziglang==$MUSL_ZIG_VERSION"
}

# musl_zig: prints the path of the pinned Zig compiler, installing it from
# PyPI into a venv of its own first if needed.
musl_zig() {
  local venv="$MUSL_CACHE/ziglang-$MUSL_ZIG_VERSION" zig
  zig="$venv/lib/python$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')/site-packages/ziglang/zig"
  build_once "$zig" "$venv.lock" musl_install_zig "$venv" || return
  [ -x "$zig" ] || { echo "error: no zig in $venv" >&2; return 1; }
  echo "$zig"
}

# musl_loader_root TARGET: prints the root that holds musl's dynamic loader
# for that target (Debian trixie's `musl`, unpacked, nothing run). On ARM
# the loader also answers to Alpine's name for musl's C library, which the
# armv7l wheel's module names (scripts/wheelhouse.sh), as it does to
# Debian's: a link beside the loader's own.
musl_loader_root() {
  local root alpine
  musl_target_settings "$1" || return 1
  root=$(musl_loader_dir "$1") || return 1
  need_tools mmdebstrap:mmdebstrap >&2 || return
  make_rootfs "$root" "$musl_debarch" trixie musl >&2 || return
  if [ -n "$musl_alpine_libc" ]; then
    alpine="$root/usr/lib/$musl_alpine_libc"
    [ -L "$alpine" ] || ln -s "$musl_triple/libc.so" "$alpine" 2>/dev/null || [ -L "$alpine" ] || return
  fi
  echo "$root"
}

# musl_loader_dir TARGET: where musl_loader_root puts that root.
musl_loader_dir() {
  musl_target_settings "$1" || return 1
  echo "$MUSL_CACHE/musl-loader-$musl_debarch"
}

# musl_prefix TARGET: prints the directory that holds (or will hold) that
# target's interpreter.
musl_prefix() {
  local target=$1 root tar_hash key
  musl_target_settings "$target" || return 1
  if [ -f "$MUSL_TARBALL" ]; then
    tar_hash=$(sha256sum "$MUSL_TARBALL" | cut -c1-16) || return 1
  elif [ -z "${IVRO_MUSL_CPYTHON_TARBALL:-}" ]; then
    # Where a build from the shared tarball may be cached.
    tar_hash=${MUSL_TARBALL_SHA256:0:16}
  else
    echo "error: CPython source tarball not found: $MUSL_TARBALL (IVRO_MUSL_CPYTHON_TARBALL)" >&2
    return 1
  fi
  root=$(musl_loader_dir "$target") || return 1
  key=$(printf '%s\n' "recipe $MUSL_RECIPE" "$target" "zig $MUSL_ZIG_VERSION" "${musl_cpu[@]}" \
    "$MUSL_ZLIB_SHA256" "$root" "stack $MUSL_THREAD_STACK" | sha256sum | cut -c1-8)
  echo "$MUSL_CACHE/cpython-musl-$target-$tar_hash-$key"
}

# musl_cc_wrappers TARGET DIR: writes DIR/cc and DIR/c++, the target's
# compilers with its CPU options. Zig links statically unless told
# -dynamic, and then cannot load extension modules; objects compiled
# without it get copy relocations that corrupt libc's data, so it goes on
# every call, not only on the link.
musl_cc_wrappers() {
  local target=$1 dir=$2 zig lang
  musl_target_settings "$target" || return 1
  zig=$(musl_zig) || return
  mkdir -p "$dir" || return 1
  for lang in cc c++; do
    printf '#!/bin/sh\nexec %q %s -target %s %s -dynamic "$@"\n' \
      "$zig" "$lang" "$musl_triple" "${musl_cpu[*]}" >"$dir/$lang" || return 1
    chmod +x "$dir/$lang"
  done
  printf '#!/bin/sh\nexec %q ar "$@"\n' "$zig" >"$dir/ar"
  printf '#!/bin/sh\nexec %q ranlib "$@"\n' "$zig" >"$dir/ranlib"
  chmod +x "$dir/ar" "$dir/ranlib"
}

# musl_run TARGET PREFIX PYTHON ARGS...: runs an interpreter of that
# target, under qemu where the host cannot run it.
musl_run() {
  local target=$1 root
  shift
  musl_target_settings "$target" || return 1
  if [ -n "$musl_qemu" ]; then
    root=$(musl_loader_root "$target") || return
    "$musl_qemu" -L "$root" "$@"
  else
    "$@"
  fi
}

# musl_python TARGET: prints the path of that target's interpreter (see the
# top for where it comes from), building and caching it first if need be.
# Progress goes to stderr; the compilers' output to a log beside the
# install. Skips (status 77) when there is none to be had.
musl_python() {
  local target=$1 dir py
  # No key without a tarball named by IVRO_MUSL_CPYTHON_TARBALL: stages.py
  # says so, unless a ready interpreter comes first.
  dir=$(musl_prefix "$target" 2>/dev/null) || dir=/nonexistent
  py=$(stages interpreter "musl-$target" --tarball "$MUSL_TARBALL" --cache "$MUSL_CACHE" \
    --cached "$dir/bin/$MUSL_PYTHON") || return
  if [ "$py" = build ] || [ "$py" = "$dir/bin/$MUSL_PYTHON" ]; then
    # Ours names the loader in this root.
    musl_loader_root "$target" >/dev/null || return
    build_once "$dir/bin/$MUSL_PYTHON" "$dir.lock" musl_build "$target" "$dir" || return
    py="$dir/bin/$MUSL_PYTHON"
  elif ! "$py" -c '' 2>/dev/null; then
    # uv's builds name the system's musl loader.
    [ -e /lib/ld-musl-x86_64.so.1 ] || apt_install musl >&2 || return
  fi
  echo "$py"
}

# musl_zlib_source: prints the path of zlib's source tarball, downloaded
# once and checked against its pinned checksum.
musl_zlib_source() {
  local file="$MUSL_CACHE/downloads/$MUSL_ZLIB_FILE" mirror
  if [ ! -f "$file" ]; then
    mirror=$(debian_mirror) || return
    mkdir -p "$(dirname "$file")" || return 1
    curl -sSfL -o "$file.part" "$mirror/$MUSL_ZLIB_PATH/$MUSL_ZLIB_FILE" ||
      skip "could not download zlib's source ($mirror/$MUSL_ZLIB_PATH/$MUSL_ZLIB_FILE)"
    mv "$file.part" "$file"
  fi
  if ! echo "$MUSL_ZLIB_SHA256  $file" | sha256sum -c --quiet - >&2; then
    rm -f "$file"
    echo "error: $MUSL_ZLIB_FILE does not match its checksum" >&2
    return 1
  fi
  echo "$file"
}

# musl_build TARGET DIR: builds zlib and the interpreter for TARGET with
# prefix DIR, installed under DIR.tmp (a staging root) and moved into place
# in one rename once it has been checked, so DIR either holds a complete
# install or does not exist.
musl_build() {
  local target=$1 dir=$2 work log start rc=0 zsrc root build_python
  musl_target_settings "$target" || return 1
  need_tools curl:curl xz:xz-utils make:make ${musl_qemu:+"$musl_qemu:qemu-user"} || return
  zsrc=$(musl_zlib_source) || return
  root=$(musl_loader_root "$target") || return
  # A cross build runs a CPython of the same version on the build machine.
  build_python=$(find_python 3.12) || return
  log="$dir.build.log"
  work=$(mktemp -d "${TMPDIR:-/tmp}/ivro-musl.XXXXXX")
  start=$SECONDS
  echo "== building CPython 3.12 for $musl_triple into $dir (log: $log)"
  musl_cc_wrappers "$target" "$work/bin" || return
  local -a link=("-Wl,-z,stack-size=$MUSL_THREAD_STACK")
  [ -n "$musl_qemu" ] || link+=("-Wl,--dynamic-linker=$root/lib/ld-musl-x86_64.so.1")
  rm -rf "$dir.tmp"
  # Steps chained with &&: errexit does not reach inside a "|| rc=$?".
  (
    export ZIG_GLOBAL_CACHE_DIR="$MUSL_CACHE/zig-cache" &&
      mkdir -p "$work/zlib" && tar -C "$work/zlib" --strip-components=1 -xzf "$zsrc" &&
      cd "$work/zlib" &&
      CC="$work/bin/cc" AR="$work/bin/ar" RANLIB="$work/bin/ranlib" CFLAGS="-O2 -fPIC" \
        ./configure --static --prefix="$work/zlib-install" &&
      make -j"$(nproc)" libz.a && make install &&
      tar -C "$work" -xJf "$MUSL_TARBALL" && cd "$work"/cpython-* &&
      # 3.12.0's configure names the platform *-linux-gnu unless the
      # machine it runs on is musl: it must look at the target instead.
      grep -q 'case "$build_os" in' configure &&
      sed -i 's/case "\$build_os" in/case "$host_os" in/' configure &&
      # The host's pkg-config would offer the host's libraries. Zig
      # rejects __DATE__ and __TIME__ (irreproducible) unless told not to.
      PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH='' \
        CC="$work/bin/cc" AR="$work/bin/ar" RANLIB="$work/bin/ranlib" \
        CFLAGS="-Wno-date-time" LDFLAGS="${link[*]}" \
        ZLIB_CFLAGS="-I$work/zlib-install/include" ZLIB_LIBS="$work/zlib-install/lib/libz.a" \
        ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no \
        ./configure --host="$musl_triple" --build="$(uname -m)-pc-linux-gnu" \
        --with-build-python="$build_python" --prefix="$dir" --with-ensurepip=no &&
      make -j"$(nproc)" &&
      make install DESTDIR="$dir.tmp"
  ) >"$log" 2>&1 || rc=$?
  rm -rf "$work"
  if [ $rc -ne 0 ]; then
    tail -n 40 "$log"
    echo "error: building CPython for $musl_triple failed after $((SECONDS - start)) s (see $log)" >&2
    rm -rf "$dir.tmp"
    return 1
  fi
  local staged="$dir.tmp$dir/bin/$MUSL_PYTHON"
  if ! musl_run "$target" "$staged" -c '
import sys, sysconfig, zlib, _testcapi, threading
assert sysconfig.get_config_var("MULTIARCH").endswith("-musl" if sys.maxsize > 2**32 else "-musleabihf")
' >>"$log" 2>&1; then
    tail -n 20 "$log"
    echo "error: the CPython for $musl_triple just built is incomplete (see $log)" >&2
    rm -rf "$dir.tmp"
    return 1
  fi
  mv "$dir.tmp$dir" "$dir"
  rm -rf "$dir.tmp"
  echo "== built CPython for $musl_triple in $((SECONDS - start)) s"
}
