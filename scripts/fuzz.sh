#!/usr/bin/env bash
# Coverage-guided fuzzing with atheris (libFuzzer underneath) against a build
# of the module with AddressSanitizer and libFuzzer's edge counters, so that
# the fuzzer steers by the C++ code's branches. The targets in fuzz/ run
# programs of cache operations chosen by the input and check a value ledger,
# the invariants and a reference model after every operation (fuzz/README.md).
#
# Usage: scripts/fuzz.sh
#            the stage: build, replay every committed corpus, then fuzz each
#            target from a fixed seed for a fixed number of runs (repeatable)
#            and from a random seed (printed) for a fixed time
#        scripts/fuzz.sh run TARGET [libFuzzer options...]
#            one target by hand, e.g. scripts/fuzz.sh run hostile
#            -max_total_time=3600; its new inputs go to build/fuzz/TARGET/corpus
#
# IVRO_FUZZ_PYTHON picks the interpreter (default 3.12), IVRO_FUZZ_SECONDS the
# random-seed run's time per target (default 60; under CI, IVRO_FUZZ_RANDOM_RUNS
# executions instead, default 60000), IVRO_FUZZ_RUNS the fixed seed run's
# executions per target (default 40000).
#
# A failure (sanitizer report, crash, or an oracle's Failure) fails the stage
# and leaves the input and its minimised form in build/fuzz/TARGET/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ver=${IVRO_FUZZ_PYTHON:-3.12}
seconds=${IVRO_FUZZ_SECONDS:-60}
runs=${IVRO_FUZZ_RUNS:-40000}
random_runs=${IVRO_FUZZ_RANDOM_RUNS:-60000}
targets=(hostile update nomemory)
ATHERIS=atheris==3.1.0
out="$ROOT/build/fuzz"

# Clang, as libFuzzer's instrumentation needs; Debian's 14 matches the
# sanitizer runtime that atheris ships well enough to load beside it.
need_tools clang++-14:clang-14

# The venv holds only PyPI packages, so it is shared by every checkout on
# this machine, keyed by the interpreter and the atheris release; the module
# goes into the work tree's own build/ and onto PYTHONPATH.
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
  exit 1
fi

# The sanitizer runtime with libFuzzer inside it, preloaded because the
# interpreter is not instrumented; Python's own allocator off so that ASan
# sees every object's memory. A fixed hash seed makes str keys repeat.
# libFuzzer starts the target anew from argv[0] to merge and minimise, so
# each target gets an executable wrapper that sets all of that up.
preload="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
mkdir -p "$out/bin"
for target in "${targets[@]}"; do
  cat >"$out/bin/$target" <<EOF
#!/bin/sh
export LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONHASHSEED=0 PYTHONPATH="$site"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=0"
export IVRO_FUZZ_ARGV0="\$0"
exec "$venv/bin/python" "$ROOT/fuzz/fuzz_$target.py" "\$@"
EOF
  chmod +x "$out/bin/$target"
done
fuzz() {
  local target=$1
  shift
  "$out/bin/$target" -rss_limit_mb=4096 -timeout=30 -print_final_stats=1 "$@"
}

if [ "${1:-}" = run ]; then
  target=${2:?usage: scripts/fuzz.sh run TARGET [libFuzzer options...]}
  shift 2
  mkdir -p "$out/$target/corpus"
  fuzz "$target" -artifact_prefix="$out/$target/" "$@" "$out/$target/corpus" \
    "$ROOT/fuzz/corpus/$target"
  exit
fi

# minimise TARGET INPUT: writes INPUT.min, the smallest input found that
# fails the same way.
minimise() {
  echo "== fuzz: $1: minimising $2"
  fuzz "$1" -minimize_crash=1 -runs=20000 -exact_artifact_path="$2.min" "$2" \
    >"$2.minimise.log" 2>&1 || true
  [ -f "$2.min" ] && echo "   minimised: $2.min ($(wc -c <"$2.min") bytes, from $(wc -c <"$2"))"
}

# run_fuzz TARGET NAME OPTIONS...: one libFuzzer run; on a failure keeps the
# input, minimises it and fails.
run_fuzz() {
  local target=$1 name=$2 log="$out/$1/$2.log" rc=0
  shift 2
  rm -rf "$out/$target/$name-corpus"
  mkdir -p "$out/$target/$name-corpus"
  fuzz "$target" -artifact_prefix="$out/$target/$name-" "$@" "$out/$target/$name-corpus" \
    "$ROOT/fuzz/corpus/$target" >"$log" 2>&1 || rc=$?
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
      minimise "$target" "$crash"
    done
    return 1
  fi
}

status=0
for target in "${targets[@]}"; do
  mkdir -p "$out/$target"
  rm -f "$out/$target/"*-crash-* "$out/$target/"*-timeout-* "$out/$target/"*-oom-*
  echo "== fuzz: $target: replaying fuzz/corpus/$target ($(ls "fuzz/corpus/$target" | wc -l) inputs)"
  run_fuzz "$target" replay -runs=0 || status=1
done
# The fixed seed runs a fixed number of executions and reloads nothing, so
# that it explores the same way each time; the random seed covers new ground.
# Under CI the random seed is the commit's own (its first 8 hex digits), and
# both runs count executions rather than seconds: a commit's run is then the
# same wherever it runs, so a finding can be reproduced, and seen before the
# commit lands. By hand it is fresh each time.
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
for target in "${targets[@]}"; do
  echo "== fuzz: $target: seed 1, $runs runs"
  run_fuzz "$target" fixed -seed=1 -runs="$runs" -reload=0 || status=1
  echo "== fuzz: $target: seed $random_seed (random; IVRO_FUZZ_SEED=$random_seed repeats it), $budget_text"
  run_fuzz "$target" random -seed="$random_seed" "${random_budget[@]}" || status=1
done
[ $status -eq 0 ] && echo "fuzz: every corpus replayed and every run clean"
exit $status
