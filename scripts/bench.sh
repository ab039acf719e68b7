#!/usr/bin/env bash
# The side-by-side benchmark on every supported interpreter, with the module
# built as a user gets it (pip's default Release build, no sanitizer) and
# every peer present: a missing peer is an error, never a shorter table.
#   scripts/bench.sh --quick        1,000 entries, consecutive int, random int
#                                   and str keys (~30 s of measuring per
#                                   interpreter, plus the build)
#   scripts/bench.sh                full: 1,000 and 1,000,000 entries, the same
#                                   and 3-tuple keys (~13 min per interpreter)
#   scripts/bench.sh --plot         ns/op against the number of entries on
#                                   CPython 3.13, str and random int keys,
#                                   drawn to docs/scaling.png
#   scripts/bench.sh --instructions instructions per operation under callgrind
#                                   (bench/instructions.py), IVRO against the
#                                   dict, for every operation, on each key
#                                   kind of the quick run (~1 min each);
#                                   --keys int,str and --only setdefault,hit
#                                   pick some
#   scripts/bench.sh --freethreaded the free-threaded 3.15 (scripts/ft_python.sh):
#                                   single-thread ratios against a dict, then
#                                   throughput with 1 and 2 threads
#                                   (bench/threads.py), beside the same on 3.13
#   --python 3.13,3.15              only these interpreters (default 3.12 to 3.15)
#   --repeat 3                      three runs on each, the interpreters taking
#                                   turns; the summary takes the median of each
#                                   ratio over the runs
# Further options go to bench/bench.py (see --help). Results land in
# bench/results/ as JSON; the run ends with the README's summary table
# (bench/summary.py) for the files it wrote, and the time each step took.
#
# CPython 3.12 and 3.13 run from venvs over this machine's interpreters, with
# the peers from PyPI. 3.14 and 3.15 run in the Debian unstable root of
# scripts/common.sh, which has no pip: the peers' wheels for those versions
# are downloaded here and unpacked into the root.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

versions=("${SUPPORTED_VERSIONS[@]}")
plot=0
instructions=0
freethreaded=0
repeat=1
repeat_tag=
suffix=
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --python) IFS=, read -r -a versions <<<"$2"; shift 2 ;;
    --plot) plot=1; shift ;;
    --instructions) instructions=1; shift ;;
    --freethreaded) freethreaded=1; shift ;;
    --quick) suffix=-quick; args+=("$1"); shift ;;
    --repeat) repeat=$2; repeat_tag=1; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

PEER_DISTS=(cachetools cachebox)
mkdir -p bench/results

# host_venv VERSION [extra packages...]: the benchmark venv for a host
# interpreter (.venv/bench-VERSION), with the module built from this tree;
# prints its path.
host_venv() {
  local ver=$1 venv="$ROOT/.venv/bench-$1"
  shift
  make_venv "$ver" "$venv" "${PEER_DISTS[@]}" "$@" >&2
  IVRO_SANITIZE=OFF IVRO_WARNINGS_AS_ERRORS=OFF install_module "$venv" >&2
  echo "$venv"
}

is_sid() {
  case " ${SID_VERSIONS[*]} " in *" $1 "*) return 0 ;; esac
  return 1
}

# sid_peers VERSION: unpacks the peers' wheels for that CPython into the
# Debian root, at /ivro/peers-VERSION inside it.
sid_peers() {
  local ver=$1 tag=cp${1/./} inside="/ivro/peers-$1"
  local dest="$SID_ROOTFS$inside" wheels="$ROOT/build/wheels-$1" py whl
  py=$(find_python 3.13 2>/dev/null || find_python 3.12)
  rm -rf "$wheels" "$dest"
  mkdir -p "$wheels" "$dest"
  "$py" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
    --python-version "$ver" --implementation cp --abi "$tag" \
    --platform manylinux2014_x86_64 --platform manylinux_2_17_x86_64 \
    --platform manylinux_2_28_x86_64 -d "$wheels" "${PEER_DISTS[@]}" >&2
  for whl in "$wheels"/*.whl; do "$py" -m zipfile -e "$whl" "$dest"; done
}

stamp=$(date +%Y%m%d-%H%M%S)
if [ "$freethreaded" = 1 ]; then
  # The peers publish no wheels for this pre-release: IVRO, the dict and
  # functools.lru_cache only. 3.13 with the GIL runs the same, for the
  # ratios beside it.
  ftvenv="$ROOT/.venv/bench-ft"
  make_ft_venv ft "$ftvenv" >&2
  IVRO_SANITIZE=OFF IVRO_WARNINGS_AS_ERRORS=OFF install_module "$ftvenv" >&2
  venv=$(host_venv 3.13)
  for py in "$ftvenv/bin/python" "$venv/bin/python"; do
    echo "== $("$py" -c 'import sys; print(sys.version.split()[0], "free-threaded" if not getattr(sys, "_is_gil_enabled", lambda: 1)() else "with the GIL")')"
    "$py" bench/bench.py --quick --workloads hit get-miss replace insert \
      --json "bench/results/$stamp-$(basename "$(dirname "$(dirname "$py")")").json" "${args[@]}" |
      sed -n '/^workload/,/^$/p'
    "$py" bench/threads.py
    echo
  done
  exit 0
fi
if [ "$plot" = 1 ]; then
  venv=$(host_venv 3.13 "matplotlib>=3.8")
  mkdir -p docs
  "$venv/bin/python" bench/plot.py --png docs/scaling.png \
    --json "bench/results/$stamp-py3.13-scaling.json" "${args[@]}"
  exit 0
fi

# Build for every interpreter first, then measure: with --repeat N the
# interpreters take turns N times, so that a neighbour's burst of work
# lands on one run of each rather than on every run of one.
declare -A build_s
for ver in "${versions[@]}"; do
  t0=$SECONDS
  echo "== CPython $ver: build"
  if is_sid "$ver"; then
    sid_rootfs
    IVRO_SANITIZE=OFF IVRO_WARNINGS_AS_ERRORS=OFF \
      sid_install "bench-$ver" "$ver" "" cmake.build-type=Release >/dev/null
    sid_peers "$ver"
  else
    host_venv "$ver" >/dev/null
  fi
  build_s[$ver]=$((SECONDS - t0))
done

# callgrind_dumps VERSION DIR ARGS...: runs bench/instructions.py run ARGS
# under callgrind on that interpreter, which leaves a dump for each measured
# loop in DIR (a directory under build/, reached from inside the Debian root
# too).
callgrind_dumps() {
  local ver=$1 dir=$2
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir"
  local -a vg=(valgrind --tool=callgrind --dump-before=PyObject_HashNotImplemented)
  if is_sid "$ver"; then
    local inside="/ivro/callgrind-$ver"
    rm -rf "$SID_ROOTFS$inside"
    mkdir -p "$SID_ROOTFS$inside"
    PYTHONPATH="/ivro/bench-$ver/site" chroot "$SID_ROOTFS" "${vg[@]}" \
      --callgrind-out-file="$inside/out" \
      "$(sid_python "$ver")" "/ivro/bench-$ver/src/bench/instructions.py" run "$@" >/dev/null 2>&1
    mv "$SID_ROOTFS$inside"/* "$dir"/
  else
    "${vg[@]}" --callgrind-out-file="$dir/out" \
      "$ROOT/.venv/bench-$ver/bin/python" bench/instructions.py run "$@" >/dev/null 2>&1
  fi
}

if [ "$instructions" = 1 ]; then
  need_tools valgrind:valgrind
  if [ -d "$SID_ROOTFS" ]; then
    # valgrind reads /proc/self/maps.
    mkdir -p "$SID_ROOTFS/proc"
    mountpoint -q "$SID_ROOTFS/proc" || mount -t proc proc "$SID_ROOTFS/proc"
    trap 'umount "$SID_ROOTFS/proc" 2>/dev/null || true' EXIT
  fi
  # Some key kinds or operations only: --keys int,str --only setdefault,hit.
  kinds=(int rint str)
  ops=()
  for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
      --keys) IFS=, read -r -a kinds <<<"${args[i + 1]}" ;;
      --only) IFS=, read -r -a ops <<<"${args[i + 1]}" ;;
    esac
  done
  report_py=$(find_python 3.13 2>/dev/null || find_python 3.12)
  for ver in "${versions[@]}"; do
    echo "== CPython $ver: instructions per operation (callgrind, 1,000 entries)"
    echo "| operation | keys | IVRO | dict | ratio |"
    echo "|---|---|---|---|---|"
    for kind in "${kinds[@]}"; do
      dir="$ROOT/build/callgrind-$ver-$kind"
      callgrind_dumps "$ver" "$dir" "$kind" "${ops[@]}"
      "$report_py" bench/instructions.py report "$dir" "$kind" "${ops[@]}"
    done
    echo
  done
  exit 0
fi

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD -- src CMakeLists.txt pyproject.toml 2>/dev/null || commit="$commit+changes"
export IVRO_BENCH_COMMIT=$commit
results=()
declare -A bench_s
for ((rep = 1; rep <= repeat; rep++)); do
  for ver in "${versions[@]}"; do
    out="bench/results/$stamp-py$ver$suffix${repeat_tag:+-$rep}.json"
    t0=$SECONDS
    echo "== CPython $ver: benchmark${repeat_tag:+ (run $rep of $repeat)}"
    if is_sid "$ver"; then
      IVRO_BENCH_CPU=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1) \
        IVRO_EXTRA_PATH="/ivro/peers-$ver" in_sid "bench-$ver" "$ver" "" \
        "/ivro/bench-$ver/src/bench/bench.py" \
        --require-peers "${args[@]}" --json "/ivro/bench-$ver/result.json"
      cp "$SID_ROOTFS/ivro/bench-$ver/result.json" "$out"
    else
      "$ROOT/.venv/bench-$ver/bin/python" bench/bench.py --require-peers "${args[@]}" --json "$out"
    fi
    results+=("$out")
    bench_s[$ver]=$(( ${bench_s[$ver]:-0} + SECONDS - t0 ))
    echo
  done
done

echo "== Summary: python bench/summary.py ${results[*]}"
"$(find_python 3.13 2>/dev/null || find_python 3.12)" bench/summary.py "${results[@]}"
echo
for ver in "${versions[@]}"; do
  echo "CPython $ver: build ${build_s[$ver]} s, benchmark ${bench_s[$ver]} s ($repeat run(s))"
done
