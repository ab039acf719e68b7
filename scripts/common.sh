# Shared by the project's scripts: find the supported interpreters and build
# the module into a virtual environment of its own for each, or into the
# Debian unstable root file system that carries the newer and debug ones.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Every CPython release the module supports. The first two are taken from
# this machine (pyenv or /usr/bin) and get venvs and pip; the others come
# from Debian unstable, which also carries the debug builds.
SUPPORTED_VERSIONS=(3.12 3.13 3.14 3.15)
HOST_VERSIONS=(3.12 3.13)
SID_VERSIONS=(3.14 3.15)
DEBUG_VERSIONS=(3.13 3.14 3.15)
# The short run that checks a build from the tree where the whole suite
# runs on the wheel users install.
SHORT_TESTS=(tests/test_core.py tests/test_module_and_type.py tests/test_dict_interface.py)

# ---- Skipped stages ----------------------------------------------------------

# A stage (or a part of one) that lacks a prerequisite it cannot get ends
# with this status and a line "SKIPPED: reason" in its log, which test.sh
# reports (scripts/stages.py). A stage that ran and failed ends with any
# other non-zero status; IVRO_REQUIRE_ALL_STAGES=1 fails skipped stages too.
SKIP=77

# skip REASON...: ends the stage, or the subshell running a part of it.
skip() {
  echo "SKIPPED: $*" >&2
  exit $SKIP
}

# stages ARGS...: the deciding logic that lives in Python.
stages() { python3 "$ROOT/scripts/stages.py" "$@"; }

# part COMMAND...: runs COMMAND as one part of a stage, in a subshell with
# errexit; a skip there skips only that part, a failure fails the stage
# (at stage_exit) while the other parts still run. Call it as a command of
# its own, not in a condition or a "||" list, where bash ignores errexit.
part() {
  local rc
  set +e
  (
    set -e
    "$@"
  )
  rc=$?
  set -e
  case $rc in
    0) ;;
    "$SKIP") stage_skipped=1 ;;
    *) stage_failed=1 ;;
  esac
}

# stage_exit [STATUS]: the stage's end: failed if STATUS is not 0 or a part
# failed, else skipped if a part was, else passed.
stage_exit() {
  [ "${1:-0}" -eq 0 ] && [ -z "${stage_failed:-}" ] || exit 1
  [ -z "${stage_skipped:-}" ] || exit $SKIP
  exit 0
}

# ---- Interpreters on this machine -------------------------------------------

# Prints the path of a CPython interpreter for version $1 (e.g. 3.13) from
# pyenv, /usr/bin, /usr/local/bin, PATH or uv's own (`uv python find`, if
# uv is on PATH); skips when there is none (CI, IVRO_REQUIRE_ALL_STAGES=1,
# fails instead).
find_python() {
  local ver=$1 cand
  local -a cands=()
  if command -v pyenv >/dev/null 2>&1; then
    local root
    root=$(pyenv root)
    for cand in "$root"/versions/"$ver".*/bin/python"$ver"; do cands+=("$cand"); done
  fi
  for cand in "$HOME"/.pyenv/versions/"$ver".*/bin/python"$ver" \
              /usr/bin/python"$ver" /usr/local/bin/python"$ver" \
              "$(command -v python"$ver" 2>/dev/null || true)"; do
    cands+=("$cand")
  done
  if command -v uv >/dev/null 2>&1; then
    cands+=("$(uv python find --no-python-downloads "$ver" 2>/dev/null || true)")
  fi
  for cand in "${cands[@]}"; do
    [ -n "$cand" ] && [ -x "$cand" ] || continue
    # Debian's interpreters need their venv and headers packages; pass over
    # one that cannot build an extension rather than fail later.
    if "$cand" -c "import sys, venv, sysconfig, os; sys.exit(0 if sys.version_info[:2] == tuple(map(int, '$ver'.split('.'))) and os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')) else 1)" 2>/dev/null; then
      echo "$cand"
      return 0
    fi
  done
  skip "no usable CPython $ver (looked in pyenv, /usr/bin, /usr/local/bin, PATH," \
    "uv python find): install it with its venv module and headers (e.g. pyenv install $ver," \
    "or python$ver-venv and python$ver-dev)"
}

# make_venv VERSION DIR [extra pip packages...]: a venv at DIR with the
# build tools and the given packages; prints nothing on success.
make_venv() {
  local ver=$1 dir=$2
  shift 2
  local py
  py=$(find_python "$ver")
  if [ ! -x "$dir/bin/python" ]; then
    "$py" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
  "$dir/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.9" "cmake>=3.18" ninja "$@"
}

# install_module DIR [cmake defines as KEY=VALUE...]: builds and installs the
# package from the work tree into the venv at DIR.
install_module() {
  local dir=$1
  shift
  local -a settings=()
  local def
  for def in "$@"; do settings+=("--config-settings=cmake.define.$def"); done
  local tag
  tag=$("$dir/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  "$dir/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --force-reinstall --no-deps \
    "--config-settings=build-dir=$ROOT/build/$(basename "$dir")-$tag" \
    "${settings[@]}" "$ROOT"
}

# ---- Debian packages on this machine ---------------------------------------

apt_get() {
  # Other jobs may hold the apt locks for a while; wait rather than fail.
  DEBIAN_FRONTEND=noninteractive apt-get -q -y -o DPkg::Lock::Timeout=600 "$@"
}

# apt_install PACKAGE...: installs Debian packages, which needs root and
# apt-get (skips otherwise). Stages run side by side, so one apt run at a
# time.
apt_install() {
  if ! command -v apt-get >/dev/null; then
    skip "needs $* (Debian's package names), and this system has no apt-get: install them"
  fi
  if [ "$(id -u)" -ne 0 ]; then
    skip "needs Debian packages $*: run as root, or have them installed"
  fi
  mkdir -p "$ROOT/build"
  (
    flock 9
    local attempt pkg
    for attempt in 1 2 3; do
      apt_get update >/dev/null && break
      [ "$attempt" -eq 3 ] && skip "needs Debian packages $*, and apt-get update failed"
      sleep 20
    done
    for pkg in "$@"; do
      echo "== installing $pkg"
      case $pkg in
        # No binfmt handlers and no system emulators: only the user-mode ones.
        qemu-user) apt_get install --no-install-recommends qemu-user >/dev/null ;;
        *) apt_get install "$pkg" >/dev/null ;;
      esac || skip "needs Debian package $pkg, and apt-get could not install it"
    done
  ) 9>"$ROOT/build/.apt.lock"
}

# need_tools TOOL:PACKAGE...: installs each PACKAGE whose TOOL is not on PATH,
# then fails if a tool is still missing.
need_tools() {
  local pair tool
  local -a missing=()
  for pair in "$@"; do
    tool=${pair%%:*}
    command -v "$tool" >/dev/null || missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}" || return
  for pair in "$@"; do
    tool=${pair%%:*}
    command -v "$tool" >/dev/null || { echo "error: $tool is missing after install" >&2; return 1; }
  done
}

# ---- Debian root file systems ----------------------------------------------

# debian_mirror: prints the URL of the Debian archive this machine's apt
# uses, so that the root file systems come from the same place as the host's
# packages (and work where only that one is reachable). IVRO_DEBIAN_MIRROR
# (or ARMHF_MIRROR, its older name) overrides it. Reads apt's sources in the
# order apt does: sources.list, then sources.list.d/ by name, both the
# one-line and the deb822 format; takes the first enabled "deb" URI whose
# path is a Debian archive, skipping the security archive, which carries
# only updates. Fails when there is none.
debian_mirror() {
  local override=${IVRO_DEBIAN_MIRROR:-${ARMHF_MIRROR:-}}
  if [ -n "$override" ]; then
    echo "$override"
    return 0
  fi
  local etc=${IVRO_APT_ETC:-/etc/apt} f
  local -a files=()
  [ -f "$etc/sources.list" ] && files+=("$etc/sources.list")
  for f in "$etc"/sources.list.d/*; do
    case $f in *.list | *.sources) [ -f "$f" ] && files+=("$f") ;; esac
  done
  local uri line
  while read -r uri; do
    # A mirror list (mirror+file:///etc/apt/mirrors/debian.list) names
    # the archive in its first entry.
    if [[ $uri == mirror+file://* ]]; then
      line=$(grep -v -E '^[[:space:]]*(#|$)' "${uri#mirror+file://}" 2>/dev/null | head -n 1) || true
      uri=${line%%[[:space:]]*}
    fi
    uri=${uri%/}
    if [[ $uri =~ ^[a-z+]+://.*/debian$ ]]; then
      echo "$uri"
      return 0
    fi
  done < <([ ${#files[@]} -eq 0 ] || awk '
    function take(type, uri, suites,   t, n, i, types) {
      n = split(type, types, /[[:space:]]+/)
      for (i = 1; i <= n; i++) if (types[i] == "deb") t = 1
      if (!t || uri == "" || uri ~ /security/ || suites ~ /security/) return
      split(uri, first, /[[:space:]]+/)
      print first[1]
    }
    function flush() {
      if (tolower(enabled) != "no") take(types, uris, suites)
      types = uris = suites = enabled = ""
    }
    FNR == 1 { flush() }
    /^[[:space:]]*#/ { next }
    FILENAME ~ /\.list$/ {
      line = $0
      gsub(/\[[^]]*\]/, " ", line)
      if (split(line, w, /[[:space:]]+/) >= 3) {
        if (w[1] == "") { w[1] = w[2]; w[2] = w[3]; w[3] = w[4] }
        take(w[1], w[2], w[3])
      }
      next
    }
    /^[[:space:]]*$/ { flush(); next }
    /^[A-Za-z-]+:/ {
      key = tolower($0); sub(/:.*/, "", key)
      val = $0; sub(/^[^:]*:[[:space:]]*/, "", val); sub(/[[:space:]]+$/, "", val)
      if (key == "types") types = val
      else if (key == "uris") uris = val
      else if (key == "suites") suites = val
      else if (key == "enabled") enabled = val
    }
    END { flush() }
  ' "${files[@]}")
  skip "no Debian archive found in apt's sources ($etc/sources.list," \
    "$etc/sources.list.d/): set IVRO_DEBIAN_MIRROR to its URL"
}

# build_once FILE LOCK COMMAND...: runs COMMAND unless FILE is already an
# executable, holding LOCK: stages running side by side may want the same
# cached build, and the first builds it while the others wait and then find
# it there. COMMAND's output goes to stderr.
build_once() {
  local file=$1 lock=$2
  shift 2
  [ -x "$file" ] && return 0
  mkdir -p "$(dirname "$lock")" || return 1
  (
    flock 9 || exit 1
    [ -x "$file" ] && exit 0
    "$@"
  ) 9>"$lock" >&2
}

# make_rootfs DIR ARCH SUITE PACKAGE...: unpacks the packages (and what they
# depend on) into DIR, unless DIR already holds exactly that set. Only
# unpacks: no maintainer script runs, so no foreign code runs on the host.
make_rootfs() {
  local dir=$1 arch=$2 suite=$3
  shift 3
  local stamp="$arch $suite $*"
  mkdir -p "$(dirname "$dir")"
  (
    # Stages running side by side share a root; the first one makes it.
    flock 9
    if [ -f "$dir/.ivro-stamp" ] && [ "$(cat "$dir/.ivro-stamp")" = "$stamp" ]; then
      exit 0
    fi
    # mmdebstrap's root mode: owners and devices as the packages have them.
    [ "$(id -u)" -eq 0 ] || skip "needs root to unpack a Debian root file system into ${dir#"$ROOT"/}"
    local mirror
    mirror=$(debian_mirror)
    echo "== creating the $suite $arch root file system in ${dir#"$ROOT"/} from $mirror"
    rm -rf "$dir"
    local pkgs
    pkgs=$(IFS=,; echo "$*")
    # Unstable's Release file may be past its Valid-Until date on a machine
    # whose archive is a snapshot; the packages are still signed.
    mmdebstrap --quiet --variant=extract --arch="$arch" --include="$pkgs" \
      --aptopt='Acquire::Check-Valid-Until "false"' "$suite" "$dir" "$mirror"
    # Nothing ran the usrmerge set-up, but the dynamic loader's path and
    # everything else look for /lib and friends.
    local d
    for d in lib lib64 bin sbin; do
      [ -e "$dir/$d" ] || ln -s "usr/$d" "$dir/$d"
    done
    mkdir -p "$dir/tmp"
    chmod 1777 "$dir/tmp"
    echo "$stamp" >"$dir/.ivro-stamp"
  ) 9>"$dir.lock"
}

# Debian unstable for x86-64: CPython 3.13 to 3.15, each with its debug
# build, and the compiler and build tools, so that the module is built
# inside the root exactly as pip builds it (scikit-build-core, CMake, Ninja);
# valgrind for the benchmark's instruction counts; gcovr for the coverage of
# the module built there, which only the root's own gcov can read.
SID_ROOTFS="$ROOT/build/sid/rootfs"
SID_PACKAGES=(dash g++ cmake ninja-build python3-scikit-build-core python3-pytest python3-hypothesis
              valgrind gcovr)
for _v in "${DEBUG_VERSIONS[@]}"; do SID_PACKAGES+=("python$_v-dev" "python$_v-dbg"); done
unset _v

sid_rootfs() {
  local why
  why=$(sid_usable 2>&1) || skip "$why"
  need_tools mmdebstrap:mmdebstrap
  make_rootfs "$SID_ROOTFS" amd64 sid "${SID_PACKAGES[@]}"
}

# sid_usable: whether this user can have the Debian unstable root (it is
# entered by chroot); says why not on stderr.
sid_usable() {
  [ "$(id -u)" -eq 0 ] && return 0
  echo "Debian unstable's CPython 3.14, 3.15 and debug builds need root (a root file" \
    "system entered by chroot): run as root" >&2
  return 1
}

# sid_python VERSION [d]: the path, inside the root, of that interpreter
# (with d: its debug build); fails loudly when the root lacks it.
sid_python() {
  local py="/usr/bin/python$1${2:-}"
  if [ ! -x "$SID_ROOTFS$py" ]; then
    echo "error: no CPython $1${2:+ debug build} in $SID_ROOTFS ($py)" >&2
    return 1
  fi
  echo "$py"
}

# sid_install NAME VERSION FLAVOUR [KEY=VALUE...]: copies the
# work tree into the root under /ivro/NAME, builds a wheel there through the
# package's build backend with that interpreter (what `pip install` runs),
# and unpacks it into /ivro/NAME/site, as pip would install it. FLAVOUR is
# "d" for the debug interpreter, "" for the release one; KEY=VALUE are
# scikit-build-core settings (e.g. cmake.build-type=Debug). The caller
# puts /ivro/NAME/site on PYTHONPATH and runs the tests from /ivro/NAME.
sid_install() {
  local name=$1 ver=$2 flavour=$3
  shift 3
  local py dest="$SID_ROOTFS/ivro/$name"
  py=$(sid_python "$ver" "$flavour")
  rm -rf "$dest"
  mkdir -p "$dest/src"
  tar -C "$ROOT" --exclude=./build --exclude=./.venv --exclude=./.git --exclude=./dist \
    --exclude='*.so' --exclude=__pycache__ -cf - . | tar -C "$dest/src" -xf -
  chroot "$SID_ROOTFS" "$py" "/ivro/$name/src/scripts/install_wheel.py" \
    "/ivro/$name/src" "/ivro/$name" "$@"
}

# in_sid NAME VERSION FLAVOUR ARGS...: runs that interpreter in the root with
# the module that sid_install NAME put there on its path.
in_sid() {
  local name=$1 ver=$2 flavour=$3 py
  shift 3
  py=$(sid_python "$ver" "$flavour")
  PYTHONPATH="/ivro/$name/site${IVRO_EXTRA_PATH:+:$IVRO_EXTRA_PATH}" \
    chroot "$SID_ROOTFS" "$py" "$@"
}

# Debian 13 for 64-bit and 32-bit ARM (scripts/emulated.sh; the ARM wheels
# take its headers): its CPython 3.13, with headers, and the test tools.
ARM_PYVER=3.13
ARM_SUITE=trixie
ARM_PACKAGES=(python3.13 python3.13-dev libstdc++6 python3-pytest python3-hypothesis)

# ---- Free-threaded interpreters, built from source -------------------------

source "$ROOT/scripts/ft_python.sh"
