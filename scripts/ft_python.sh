# Free-threaded CPython interpreters built from a source tarball, for the
# stages that test the module without the GIL. Sourced by common.sh.
#
# Where one comes from (scripts/stages.py decides, in this order): an
# interpreter named by IVRO_FREETHREADED_PYTHON (not for tsan); a build from
# the tarball (IVRO_CPYTHON_TARBALL, else ../shared/cpython/), cached; a
# build cached from the shared tarball, found by its checksum below where
# the tarball is absent; CPython 3.15t from uv, which verifies what it
# downloads (not for tsan, which must be our own instrumented build). With
# none of these the stage is skipped.
#
# No package archive this project can reach ships a free-threaded build, so
# it is compiled here once per machine and cached outside the work tree
# (CI clones into fresh folders, the cache survives them):
#
#   ft     --disable-gil
#   tsan   --disable-gil --with-thread-sanitizer, compiled with Clang
#
# Neither builds or installs CPython's own tests (--disable-test-modules):
# they are 1,108 of the library's 1,824 Python files, each compiled to
# bytecode three times by the install, and nothing here runs them.
#
# Each install lives in a directory keyed by the tarball's contents and by
# everything that shapes the build (flavour, configure options, compiler,
# the recipe's own version below), so a change to any of them builds afresh
# instead of reusing a stale interpreter.

# Bump when the way the interpreter is built or checked changes.
FT_RECIPE=1
FT_TARBALL=${IVRO_CPYTHON_TARBALL:-$ROOT/../shared/cpython/cpython-3.15.0a0.tar.xz}
FT_TARBALL_SHA256=b7d138cab52d29d06d1a49b5dd14a5d25d8c68c52773def54057e039bb347b0d
FT_CACHE=${IVRO_FT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ivro}
# The interpreter's name in DIR/bin: "t" marks the free-threaded ABI.
FT_PYTHON=python3.15t
# Pins for what the newest releases expect of any 3.15 but this pre-release
# lacks; see the file itself.
FT_CONSTRAINTS="$ROOT/scripts/ft-constraints.txt"

# ft_flavour_settings FLAVOUR: sets ft_env (KEY=VALUE for configure and make)
# and ft_configure (configure's options, without --prefix) for that flavour.
ft_flavour_settings() {
  case $1 in
    ft)
      ft_env=()
      ft_configure=(--disable-gil --with-ensurepip=no --disable-test-modules)
      ;;
    tsan)
      # ThreadSanitizer needs the whole interpreter instrumented, so that
      # its own locking is seen; GCC's ThreadSanitizer cannot build it.
      ft_env=(CC=clang CXX=clang++)
      ft_configure=(--disable-gil --with-thread-sanitizer --with-ensurepip=no
                    --disable-test-modules)
      ;;
    *)
      echo "error: unknown interpreter flavour '$1' (known: ft tsan)" >&2
      return 1
      ;;
  esac
}

# ft_prefix FLAVOUR: prints the directory that holds (or will hold) that
# flavour's install.
ft_prefix() {
  local flavour=$1 tar_hash opt_hash cc_version
  # Callers take the output of these functions by command substitution,
  # where errexit does not reach: every failure is returned explicitly.
  ft_flavour_settings "$flavour" || return 1
  if [ -f "$FT_TARBALL" ]; then
    tar_hash=$(sha256sum "$FT_TARBALL" | cut -c1-16) || return 1
  elif [ -z "${IVRO_CPYTHON_TARBALL:-}" ]; then
    # Where a build from the shared tarball may be cached.
    tar_hash=${FT_TARBALL_SHA256:0:16}
  else
    echo "error: CPython source tarball not found: $FT_TARBALL (IVRO_CPYTHON_TARBALL)" >&2
    return 1
  fi
  # The compiler's version is part of the key: a new compiler may build
  # a different interpreter (or a different sanitizer runtime).
  case $flavour in
    tsan) cc_version=$(clang --version 2>/dev/null | head -n 1 || true) ;;
    *) cc_version=$(cc --version 2>/dev/null | head -n 1 || true) ;;
  esac
  opt_hash=$(printf '%s\n' "recipe $FT_RECIPE" "$flavour" "${ft_env[@]}" "${ft_configure[@]}" \
    "$cc_version" | sha256sum | cut -c1-8)
  echo "$FT_CACHE/cpython-$flavour-$tar_hash-$opt_hash"
}

# ft_need_build_deps FLAVOUR: the compilers and the libraries without which
# the interpreter would lack a module that pip or the tests need (ssl and
# hashlib for PyPI, zlib for wheels, lzma and bz2 for source archives,
# ctypes).
ft_need_build_deps() {
  local -a tools=(make:make cc:gcc xz:xz-utils pkg-config:pkg-config)
  [ "$1" = tsan ] && tools+=(clang++:clang)
  need_tools "${tools[@]}" || return
  local -a libs=(libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev)
  local -a missing=()
  local pkg
  for pkg in "${libs[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}" || return
}

# ft_python FLAVOUR: prints the path of that flavour's interpreter (see the
# top for where it comes from), building and caching it first if need be.
# Progress goes to stderr; the compiler's output to a log beside the
# install. Skips (status 77) when there is none to be had.
ft_python() {
  local flavour=$1 dir choice
  # The compiler must be there before the key is computed: its version is in it.
  case $flavour in
    tsan) need_tools clang++:clang >&2 || return ;;
    *) need_tools cc:gcc >&2 || return ;;
  esac
  # No key without a tarball named by IVRO_CPYTHON_TARBALL: stages.py says
  # so, unless a ready interpreter comes first.
  dir=$(ft_prefix "$flavour" 2>/dev/null) || dir=/nonexistent
  choice=$(stages interpreter "$flavour" --tarball "$FT_TARBALL" --cache "$FT_CACHE" \
    --cached "$dir/bin/$FT_PYTHON") || return
  if [ "$choice" != build ]; then
    echo "$choice"
    return 0
  fi
  if [ ! -x "$dir/bin/$FT_PYTHON" ]; then
    ft_need_build_deps "$flavour" >&2 || return
  fi
  build_once "$dir/bin/$FT_PYTHON" "$dir.lock" ft_build "$flavour" "$dir" || return
  echo "$dir/bin/$FT_PYTHON"
}

# ft_build FLAVOUR DIR: configures, compiles and installs the interpreter
# with prefix DIR. It is installed under DIR.tmp (as a staging root) and
# moved into place in one rename, so DIR either holds a complete, checked
# install or does not exist.
ft_build() {
  local flavour=$1 dir=$2 work log start rc=0
  ft_flavour_settings "$flavour" || return 1
  log="$dir.build.log"
  work=$(mktemp -d "${TMPDIR:-/tmp}/ivro-cpython.XXXXXX")
  start=$SECONDS
  echo "== building free-threaded CPython ($flavour) into $dir (log: $log)"
  rm -rf "$dir.tmp"
  # Steps chained with &&: errexit does not reach inside a "|| rc=$?".
  (
    tar -C "$work" -xJf "$FT_TARBALL" &&
      cd "$work"/cpython-* &&
      # The build runs the new interpreter (to check its modules, to
      # compile the library): under ThreadSanitizer a report there would
      # fail it.
      export TSAN_OPTIONS="suppressions=$PWD/Tools/tsan/suppressions_free_threading.txt" &&
      env "${ft_env[@]}" ./configure --prefix="$dir" "${ft_configure[@]}" &&
      env "${ft_env[@]}" make -j"$(nproc)" &&
      env "${ft_env[@]}" make install DESTDIR="$dir.tmp" &&
      # These suppressions name races inside the interpreter that are
      # known and benign; the module's tests need them too.
      mkdir -p "$dir.tmp$dir/share/ivro" &&
      cp Tools/tsan/*.txt "$dir.tmp$dir/share/ivro/"
  ) >"$log" 2>&1 || rc=$?
  rm -rf "$work"
  if [ $rc -ne 0 ]; then
    tail -n 40 "$log"
    echo "error: building CPython ($flavour) failed after $((SECONDS - start)) s (see $log)" >&2
    rm -rf "$dir.tmp"
    return 1
  fi
  # An interpreter without these would fail later and further from the
  # cause: pip needs ssl and hashlib to reach PyPI, zlib to unpack wheels.
  local staged="$dir.tmp$dir/bin/$FT_PYTHON"
  if ! TSAN_OPTIONS=$(ft_tsan_options "$dir.tmp$dir") ft_run "$flavour" "$staged" -c '
import sys, ssl, hashlib, zlib, ctypes, lzma, bz2, venv, ensurepip
assert not sys._is_gil_enabled(), "the GIL is enabled"
' >>"$log" 2>&1; then
    tail -n 20 "$log"
    echo "error: the CPython ($flavour) just built is incomplete (see $log)" >&2
    rm -rf "$dir.tmp"
    return 1
  fi
  mv "$dir.tmp$dir" "$dir"
  rm -rf "$dir.tmp"
  echo "== built CPython ($flavour) in $((SECONDS - start)) s"
}

# ft_tsan_options DIR [EXTRA...]: prints TSAN_OPTIONS for the
# ThreadSanitizer interpreter installed in DIR: CPython's own suppressions,
# and the given extra options.
ft_tsan_options() {
  local dir=$1
  shift
  echo "suppressions=$dir/share/ivro/suppressions_free_threading.txt${*:+ $*}"
}

# ft_run FLAVOUR PYTHON ARGS...: runs that interpreter. The GIL stays off
# whatever an imported extension module declares (PYTHON_GIL=0); the
# ThreadSanitizer build gets CPython's suppressions, so that only races it
# has not already judged benign are reported.
ft_run() {
  local flavour=$1 py=$2
  shift 2
  if [ "$flavour" = tsan ]; then
    PYTHON_GIL=0 TSAN_OPTIONS="${TSAN_OPTIONS:-$(ft_tsan_options "$(ft_prefix tsan)")}" \
      "$py" "$@"
  else
    PYTHON_GIL=0 "$py" "$@"
  fi
}

# make_ft_venv FLAVOUR DIR [PACKAGE...]: a venv at DIR on that flavour's
# interpreter, with the build tools and the given packages, every install
# held to scripts/ft-constraints.txt. A venv left from an interpreter that
# has since been rebuilt elsewhere is made afresh.
make_ft_venv() {
  local flavour=$1 dir=$2 py
  shift 2
  py=$(ft_python "$flavour") || return
  if [ -f "$dir/pyvenv.cfg" ] &&
     ! grep -qxF "home = $(dirname "$py")" "$dir/pyvenv.cfg"; then
    rm -rf "$dir"
  fi
  if [ ! -x "$dir/bin/python" ]; then
    # venv installs pip from the wheel bundled in the tree (ensurepip).
    ft_run "$flavour" "$py" -m venv "$dir"
  fi
  PIP_CONSTRAINT="$FT_CONSTRAINTS" ft_run "$flavour" "$dir/bin/python" -m pip install -q \
    --disable-pip-version-check "scikit-build-core>=0.9" "cmake>=3.18" ninja "$@"
}

# ft_testcapi PYTHON: prints a directory that holds CPython's _testcapi for
# that free-threaded interpreter (ft flavour), or nothing when the
# interpreter has its own. The builds here leave it out
# (--disable-test-modules), and the allocation-failure tests need it
# (_testcapi.set_nomemory); it is compiled from the tarball the interpreter
# was built from, once, and cached beside it. Skips for an interpreter that
# has none and was not built here.
ft_testcapi() {
  local py=$1 prefix
  if ft_run ft "$py" -c 'import _testcapi' 2>/dev/null; then
    return 0
  fi
  prefix=$(ft_prefix ft) || return 1
  if [ "$py" != "$prefix/bin/$FT_PYTHON" ] || [ ! -f "$FT_TARBALL" ]; then
    skip "the free-threaded CPython $py has no _testcapi, which the allocation-failure" \
      "tests need, and no source tarball to build it from: put the one it was built from at" \
      "$FT_TARBALL (IVRO_CPYTHON_TARBALL)"
  fi
  local suffix
  suffix=$(ft_run ft "$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') ||
    return 1
  build_once "$prefix-testcapi/_testcapi$suffix" "$prefix-testcapi.lock" \
    ft_build_testcapi "$prefix" "$prefix-testcapi" "_testcapi$suffix" || return
  echo "$prefix-testcapi"
}

# ft_build_testcapi PREFIX DIR FILE: compiles _testcapi, as CPython's own
# build lists its sources, against the headers installed in PREFIX (the
# internal ones too, which parts of it include) into DIR/FILE.
ft_build_testcapi() {
  local prefix=$1 dir=$2 file=$3 work rc=0
  work=$(mktemp -d "${TMPDIR:-/tmp}/ivro-testcapi.XXXXXX")
  echo "== building _testcapi for the free-threaded CPython in $prefix"
  rm -rf "$dir.tmp"
  mkdir -p "$dir.tmp"
  (
    tar -C "$work" -xJf "$FT_TARBALL" --wildcards '*/Modules/_testcapi*' \
      '*/Modules/Setup.stdlib.in' &&
      cd "$work"/cpython-*/Modules &&
      local inc &&
      inc=$(ft_run ft "$prefix/bin/$FT_PYTHON" -c \
        'import sysconfig; print(sysconfig.get_paths()["include"])') &&
      local -a sources &&
      read -r -a sources < <(sed -n 's/^@MODULE__TESTCAPI_TRUE@_testcapi //p' Setup.stdlib.in) &&
      [ ${#sources[@]} -gt 0 ] &&
      cc -shared -fPIC -O1 -w -I"$inc" -I"$inc/internal" -I"$inc/internal/mimalloc" -I. \
        "${sources[@]}" -o "$dir.tmp/$file"
  ) || rc=$?
  rm -rf "$work"
  if [ $rc -ne 0 ]; then
    echo "error: building _testcapi for $prefix failed" >&2
    rm -rf "$dir.tmp"
    return 1
  fi
  rm -rf "$dir"
  mv "$dir.tmp" "$dir"
}
