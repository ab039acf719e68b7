#!/usr/bin/env bash
# The threaded tests under ThreadSanitizer: a free-threaded CPython built
# with it (Clang, cached; see ft_python.sh) loads the module built with it
# too, so that every memory access in both is checked against the
# happens-before order that their locks and atomics establish. Any report
# fails the run, except those CPython's own suppression list names (races
# inside the interpreter already known to be benign).
#
# Then the threaded fuzz target (fuzz/fuzz_threads.py) runs a few of its
# programs under the sanitizer too (IVRO_TSAN_PROGRAMS, default 200).
#
# Usage: scripts/tsan.sh [PYTEST ARGS...]
#        (default: tests/adversarial/test_adv_threads.py)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(tests/adversarial/test_adv_threads.py)

# Beside the cached interpreter rather than in the work tree: pip itself
# runs under the sanitizer there and takes minutes to fill a venv, which a
# fresh checkout (as CI's) would otherwise pay every time.
need_tools clang++:clang
venv="$(ft_prefix tsan).venv"
echo "== tsan: interpreter and venv"
make_ft_venv tsan "$venv" "pytest>=8" "hypothesis>=6"
prefix=$(ft_prefix tsan)
echo "== tsan: build with clang++ -fsanitize=thread"
# The interpreter's compiler, so that the module uses its runtime. Warnings
# stay warnings: Clang's are the lint stage's business, and one must not
# hide what this stage is for.
CC=clang CXX=clang++ PYTHON_GIL=0 TSAN_OPTIONS=$(ft_tsan_options "$prefix") \
  install_module "$venv" IVRO_TSAN=ON
# The module must really be instrumented, or the run proves nothing.
so=$(ft_run tsan "$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("_ivro").origin)')
if ! nm -D --undefined-only "$so" | grep -q '__tsan_func_entry'; then
  echo "error: $so is not instrumented by ThreadSanitizer" >&2
  exit 1
fi

log="$ROOT/build/tsan.log"
echo "== tsan: tests (log: $log)"
# Every report in one run tells more than the first alone, so the run goes
# on after one; the sanitizer's exit status and the log still fail it. The
# reports are written below Python, so pytest must not capture them (it
# would drop those of a passing test, and all of them in a crash).
set +e
TSAN_OPTIONS=$(ft_tsan_options "$prefix" halt_on_error=0 exitcode=66 second_deadlock_stack=1) \
  ft_run tsan "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "${args[@]}" \
  >"$log" 2>&1
rc=$?
set -e
tail -n 15 "$log"
status=0
if [ $rc -ne 0 ]; then
  echo "FAIL: pytest under ThreadSanitizer exited with status $rc" >&2
  status=1
fi

# The threaded fuzz target, a few of its programs: the sanitizer sees each
# interleaving they meet, not only those the oracle can tell apart.
programs=${IVRO_TSAN_PROGRAMS:-200}
tlog="$ROOT/build/tsan-threads.log"
echo "== tsan: threaded fuzz target, seed 1, $programs programs (log: $tlog)"
set +e
TSAN_OPTIONS=$(ft_tsan_options "$prefix" halt_on_error=0 exitcode=66 second_deadlock_stack=1) \
  IVRO_THREADS_SHRINK_SECONDS=0 ft_run tsan "$venv/bin/python" fuzz/fuzz_threads.py --seed 1 \
  --programs "$programs" --out "$ROOT/build/fuzz/threads-tsan" >"$tlog" 2>&1
rc=$?
set -e
grep -v '^program' "$tlog" | grep -E '^(threads|FAIL|shrunk|kept)' || true
if [ $rc -ne 0 ]; then
  echo "FAIL: the threaded fuzz target under ThreadSanitizer exited with status $rc" >&2
  status=1
fi
for f in "$log" "$tlog"; do
  reports=$(grep -c '^WARNING: ThreadSanitizer' "$f" || true)
  if [ "$reports" -gt 0 ]; then
    echo "FAIL: $reports ThreadSanitizer report(s) (see $f); the first:" >&2
    sed -n '/^WARNING: ThreadSanitizer/,/^SUMMARY: ThreadSanitizer/p' "$f" | head -n 60 >&2
    status=1
  fi
done
exit $status
