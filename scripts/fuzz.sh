#!/usr/bin/env bash
# Fuzzing on every build family whose code differs: CPython 3.12 and 3.13
# (coverage-guided), 3.14 and 3.15 (Debian unstable's) and the free-threaded
# build with the GIL off (seeded random inputs), and the threaded target.
#
# On 3.12 and 3.13, atheris (libFuzzer underneath) runs against a build of
# the module with AddressSanitizer and libFuzzer's edge counters, so that
# the fuzzer steers by the C++ code's branches. Atheris has no build for the
# newer and the free-threaded interpreters: there fuzz/random_inputs.py
# replays the same corpora and feeds each target seeded random and mutated
# inputs. The targets in fuzz/ run programs of cache operations chosen by
# the input and check a value ledger, the invariants and a reference model
# after every operation (fuzz/README.md). The threaded target
# (fuzz/fuzz_threads.py) runs seeded programs in 2 to 4 threads, on the
# free-threaded build with the GIL off and on 3.13 (GIL, under ASan), after
# replaying the failing programs kept in fuzz/corpus/threads/.
#
# Usage: scripts/fuzz.sh
#            the stage: all of the above, each run a fixed budget
#        scripts/fuzz.sh run TARGET [libFuzzer options...]
#            one atheris target by hand, e.g. scripts/fuzz.sh run hostile
#            -max_total_time=3600; its new inputs go to build/fuzz/TARGET/corpus
#
# Budgets: IVRO_FUZZ_RUNS, the fixed seed run's executions per target and
# interpreter (default 9000); the random-seed run's time, IVRO_FUZZ_SECONDS
# (default 30; under CI, IVRO_FUZZ_RANDOM_RUNS executions instead, default
# 12000); IVRO_FUZZ_INPUTS, random inputs per target on each interpreter
# without atheris (default 30000); IVRO_FUZZ_THREADS, threaded programs per
# build (default 1000). IVRO_FUZZ_PYTHON picks the interpreter of "run"
# (default 3.12); IVRO_FUZZ_FAMILIES the families the stage covers (default
# "3.12 3.13 sid ft threads").
#
# A failure (sanitizer report, crash, or an oracle's Failure) fails the stage
# and leaves the input (the atheris targets: and its minimised form) in
# build/fuzz/TARGET/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

seconds=${IVRO_FUZZ_SECONDS:-30}
runs=${IVRO_FUZZ_RUNS:-9000}
random_runs=${IVRO_FUZZ_RANDOM_RUNS:-12000}
inputs=${IVRO_FUZZ_INPUTS:-30000}
programs=${IVRO_FUZZ_THREADS:-1000}
read -r -a families <<<"${IVRO_FUZZ_FAMILIES:-3.12 3.13 sid ft threads}"
targets=(hostile update nomemory)
ATHERIS=atheris==3.1.0
out="$ROOT/build/fuzz"

# Clang, as libFuzzer's instrumentation needs; Debian's 14 matches the
# sanitizer runtime that atheris ships well enough to load beside it.
need_tools clang++-14:clang-14

# build_atheris VER: the ASan + libFuzzer build of the module for CPython
# VER, and an executable wrapper per target, $out/bin/TARGET-VER.
build_atheris() {
  local ver=$1 py key venv site so preload target
  # The venv holds only PyPI packages, so it is shared by every checkout on
  # this machine, keyed by the interpreter and the atheris release; the
  # module goes into the work tree's own build/ and onto PYTHONPATH.
  py=$(find_python "$ver")
  key=$("$py" -c 'import sys; print(sys.version.split()[0])')-${ATHERIS#atheris==}
  venv="$HOME/.cache/ivro/fuzz-venv-$key"
  mkdir -p "$HOME/.cache/ivro"
  (
    flock 9
    make_venv "$ver" "$venv" "$ATHERIS"
  ) 9>"$venv.lock"
  site="$out/site-$ver"
  echo "== fuzz: build with clang++-14 -fsanitize=address,fuzzer-no-link (CPython $ver)"
  rm -rf "$site"
  CC=clang-14 CXX=clang++-14 \
    CXXFLAGS="-fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer -g" \
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --no-deps --target "$site" "--config-settings=build-dir=$out/cmake-$ver" "$ROOT" >&2
  so=$(ls "$site"/_ivro*.so)
  # The module must really carry the edge counters, or the fuzzer runs blind.
  if ! nm -D --undefined-only "$so" | grep -q '__sanitizer_cov_8bit_counters_init'; then
    echo "error: $so is not instrumented for libFuzzer" >&2
    return 1
  fi
  # The sanitizer runtime with libFuzzer inside it, preloaded because the
  # interpreter is not instrumented; Python's own allocator off so that
  # ASan sees every object's memory. A fixed hash seed makes str keys
  # repeat. libFuzzer starts the target anew from argv[0] to merge and
  # minimise, so each target gets an executable wrapper that sets all of
  # that up; python-VER is the interpreter so set up, for the threaded
  # target, which runs no libFuzzer, only the sanitizer.
  preload="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
  mkdir -p "$out/bin"
  cat >"$out/bin/python-$ver" <<EOF
#!/bin/sh
export LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONHASHSEED=0 PYTHONPATH="$site"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=0"
exec "$venv/bin/python" "\$@"
EOF
  chmod +x "$out/bin/python-$ver"
  for target in "${targets[@]}"; do
    cat >"$out/bin/$target-$ver" <<EOF
#!/bin/sh
export LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONHASHSEED=0 PYTHONPATH="$site"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=0"
export IVRO_FUZZ_ARGV0="\$0"
exec "$venv/bin/python" "$ROOT/fuzz/fuzz_$target.py" "\$@"
EOF
    chmod +x "$out/bin/$target-$ver"
  done
}
fuzz() {
  local target=$1 ver=$2
  shift 2
  "$out/bin/$target-$ver" -rss_limit_mb=4096 -timeout=30 -print_final_stats=1 "$@"
}

if [ "${1:-}" = run ]; then
  target=${2:?usage: scripts/fuzz.sh run TARGET [libFuzzer options...]}
  ver=${IVRO_FUZZ_PYTHON:-3.12}
  shift 2
  build_atheris "$ver"
  mkdir -p "$out/$target/corpus"
  fuzz "$target" "$ver" -artifact_prefix="$out/$target/" "$@" "$out/$target/corpus" \
    "$ROOT/fuzz/corpus/$target"
  exit
fi

# minimise TARGET VER INPUT: writes INPUT.min, the smallest input found that
# fails the same way.
minimise() {
  echo "== fuzz: $1: minimising $3"
  fuzz "$1" "$2" -minimize_crash=1 -runs=20000 -exact_artifact_path="$3.min" "$3" \
    >"$3.minimise.log" 2>&1 || true
  [ -f "$3.min" ] && echo "   minimised: $3.min ($(wc -c <"$3.min") bytes, from $(wc -c <"$3"))"
}

# run_fuzz TARGET VER NAME OPTIONS...: one libFuzzer run; on a failure
# keeps the input, minimises it and fails.
run_fuzz() {
  local target=$1 ver=$2 name=$2-$3 log rc=0
  log="$out/$target/$name.log"
  shift 3
  rm -rf "$out/$target/$name-corpus"
  mkdir -p "$out/$target/$name-corpus"
  fuzz "$target" "$ver" -artifact_prefix="$out/$target/$name-" "$@" \
    "$out/$target/$name-corpus" "$ROOT/fuzz/corpus/$target" >"$log" 2>&1 || rc=$?
  # Edges at the start (after the corpus) and the end, executions per second.
  grep -m1 -E '^#[0-9]+[[:space:]]+INITED' "$log" | sed 's/^/   start: /' || true
  grep -E '^#[0-9]+[[:space:]]+(DONE|NEW|REDUCE|pulse)' "$log" | tail -n 1 | sed 's/^/   end:   /' || true
  grep -E 'stat::(number_of_executed_units|average_exec_per_sec)' "$log" | sed 's/^/   /'
  if [ $rc -ne 0 ]; then
    echo "FAIL: fuzz target $target ($name) exited with status $rc (log: $log)" >&2
    grep -v '^    #' "$log" | grep -m1 -A12 -E '=== Uncaught Python exception|ERROR: AddressSanitizer|ERROR: libFuzzer' >&2 || true
    local crash
    for crash in "$out/$target/$name-"{crash,leak,timeout,oom}-*; do
      [ -f "$crash" ] && [ "${crash%.min}" = "$crash" ] || continue
      case $crash in *.log) continue ;; esac
      echo "   input: $crash" >&2
      minimise "$target" "$ver" "$crash"
    done
    return 1
  fi
}

# The random seed: under CI the commit's own (its first 8 hex digits), and
# every run counts executions rather than seconds: a commit's run is then
# the same wherever it runs, so a finding can be reproduced, and seen before
# the commit lands (the threaded target's programs repeat, not their
# interleaving). By hand the seed is fresh each time, and the atheris runs
# take a fixed time.
if [ -n "${IVRO_FUZZ_SEED:-}" ]; then
  random_seed=$IVRO_FUZZ_SEED
elif [ -n "${CI:-}" ] && commit=$(git -C "$ROOT" rev-parse --short=8 HEAD 2>/dev/null); then
  random_seed=$((16#$commit))
else
  random_seed=$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')
fi
if [ -n "${CI:-}" ]; then
  random_budget=(-runs="$random_runs" -reload=0)
  budget_text="$random_runs runs"
else
  random_budget=(-max_total_time="$seconds")
  budget_text="${seconds} s"
fi
echo "== fuzz: families ${families[*]}; random seed $random_seed (IVRO_FUZZ_SEED repeats it)"

# atheris_family VER: every committed corpus replayed, then each target from
# seed 1 for a fixed number of runs, reloading nothing, so that it explores
# the same way each time, and from the random seed, which covers new ground.
atheris_family() {
  local ver=$1 target status=0
  build_atheris "$ver"
  for target in "${targets[@]}"; do
    mkdir -p "$out/$target"
    rm -f "$out/$target/$ver-"*-crash-* "$out/$target/$ver-"*-timeout-* "$out/$target/$ver-"*-oom-*
    echo "== fuzz: $target (CPython $ver): replaying fuzz/corpus/$target ($(ls "fuzz/corpus/$target" | wc -l) inputs)"
    run_fuzz "$target" "$ver" replay -runs=0 || status=1
  done
  for target in "${targets[@]}"; do
    echo "== fuzz: $target (CPython $ver): seed 1, $runs runs"
    run_fuzz "$target" "$ver" fixed -seed=1 -runs="$runs" -reload=0 || status=1
    echo "== fuzz: $target (CPython $ver): seed $random_seed, $budget_text"
    run_fuzz "$target" "$ver" random -seed="$random_seed" "${random_budget[@]}" || status=1
  done
  return $status
}

# random_family LABEL COMMAND...: the corpora replayed and seeded random
# inputs, COMMAND being the interpreter (it may run in the Debian root).
random_family() {
  local label=$1
  shift
  echo "== fuzz: ${targets[*]} ($label): corpora, then $inputs random inputs each"
  "$@" fuzz/random_inputs.py --seed "$random_seed" --inputs "$inputs" "${targets[@]}"
}

# threads_family LABEL COMMAND...: the kept failing programs replayed, then
# the threaded target's programs from the random seed. A fault found but
# not fixed yet can be shown without failing the stage: give its text to
# --open (none is open now).
threads_family() {
  local label=$1 status=0
  shift
  local -a open=()
  echo "== fuzz: threads ($label): fuzz/corpus/threads replayed, then $programs programs"
  "$@" fuzz/fuzz_threads.py --replay fuzz/corpus/threads/*.json --tries 200 || status=1
  "$@" fuzz/fuzz_threads.py --seed "$random_seed" --programs "$programs" \
    --out "$out/threads" "${open[@]}" || status=1
  return $status
}

# ft_venv: the free-threaded interpreter's venv with the module (plain build).
ft_venv() {
  venv="$ROOT/.venv/fuzz-ft"
  [ -n "${ft_built:-}" ] && return 0
  echo "== fuzz: free-threaded CPython: venv and build"
  make_ft_venv ft "$venv" >/dev/null
  PYTHON_GIL=0 install_module "$venv" >/dev/null
  ft_built=1
}

status=0
family_times=()
for family in "${families[@]}"; do
  start=$SECONDS
  case $family in
    3.12 | 3.13)
      atheris_family "$family" || status=1
      ;;
    sid)
      sid_rootfs
      for ver in "${SID_VERSIONS[@]}"; do
        echo "== fuzz: CPython $ver (Debian unstable): build"
        sid_install "fuzz-$ver" "$ver" "" >/dev/null
        # Run from the copy of the tree in the root; Python's allocator
        # off, as under ASan elsewhere, so that an overrun more likely
        # shows as a crash.
        random_family "CPython $ver" env PYTHONMALLOC=malloc IVRO_PY="$(sid_python "$ver")" \
          chroot "$SID_ROOTFS" sh -c \
          "cd /ivro/fuzz-$ver/src && PYTHONPATH=/ivro/fuzz-$ver/site exec \"\$IVRO_PY\" \"\$@\"" \
          sh || status=1
      done
      ;;
    ft)
      ft_venv
      random_family "free-threaded, GIL off" ft_run ft "$venv/bin/python" || status=1
      ;;
    threads)
      ft_venv
      threads_family "free-threaded, GIL off" ft_run ft "$venv/bin/python" || status=1
      [ -x "$out/bin/python-3.13" ] || build_atheris 3.13
      threads_family "CPython 3.13, ASan" "$out/bin/python-3.13" || status=1
      ;;
    *)
      echo "error: unknown fuzz family '$family' (known: 3.12 3.13 sid ft threads)" >&2
      exit 2
      ;;
  esac
  family_times+=("$family $((SECONDS - start)) s")
done
echo "== fuzz: time per family: $(IFS=,; echo "${family_times[*]}")"
[ $status -eq 0 ] && echo "fuzz: every corpus replayed and every run clean"
exit $status
