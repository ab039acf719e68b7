#!/usr/bin/env bash
# The threaded tests under ThreadSanitizer: a free-threaded CPython built
# with it (Clang, cached; see ft_python.sh) loads the module built with it
# too, so that every memory access in both is checked against the
# happens-before order that their locks and atomics establish. Any report
# fails the run, except those CPython's own suppression list names (races
# inside the interpreter already known to be benign).
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
reports=$(grep -c '^WARNING: ThreadSanitizer' "$log" || true)
if [ "$reports" -gt 0 ]; then
  echo "FAIL: $reports ThreadSanitizer report(s) (see $log); the first:" >&2
  sed -n '/^WARNING: ThreadSanitizer/,/^SUMMARY: ThreadSanitizer/p' "$log" | head -n 60 >&2
  status=1
fi
exit $status
