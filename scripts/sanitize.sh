#!/usr/bin/env bash
# The whole test suite against a build of the module with AddressSanitizer
# and UndefinedBehaviorSanitizer. Any sanitizer report fails the run.
#
# Usage: scripts/sanitize.sh [VERSION...]   (default: 3.12 and 3.13, this machine's)
#
# The interpreter itself is not instrumented, so the sanitizer runtime has to
# be preloaded, and the interpreter's small-object allocator is switched off:
# it would otherwise recycle freed nodes inside its own arenas and hide a
# use-after-free from ASan. Leak detection stays off because the interpreter
# deliberately leaks at exit; leaks are checked by scripts/leaks.sh instead.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=("${HOST_VERSIONS[@]}")

need_tools g++:g++
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
  if [ ! -f "$lib" ]; then
    skip "GCC's sanitizer runtime is missing ($lib): install libasan and libubsan" \
      "(Debian: g++ brings them)"
  fi
done

# Hypothesis runs far slower under the sanitizers: a small pytest plugin,
# written next to the build, keeps example counts bounded and drops the
# per-example deadline. Tests that pin their own settings keep them.
plugin_dir="$ROOT/build/sanitize-plugin"
mkdir -p "$plugin_dir"
cat >"$plugin_dir/ivro_sanitize_profile.py" <<'EOF'
try:
    from hypothesis import HealthCheck, settings
except ImportError:  # hypothesis is optional for this plugin
    pass
else:
    settings.register_profile(
        "ivro-sanitize",
        max_examples=30,
        stateful_step_count=30,
        deadline=None,
        suppress_health_check=list(HealthCheck),
        derandomize=True,
        database=None,
    )
    settings.load_profile("ivro-sanitize")
EOF

status=0
for ver in "${versions[@]}"; do
  venv="$ROOT/.venv/sanitize-$ver"
  echo "== CPython $ver: build with ASan+UBSan"
  make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6"
  IVRO_SANITIZE=ON install_module "$venv" IVRO_SANITIZE=ON
  # The module must really be instrumented, or the run proves nothing.
  so=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("_ivro").origin)')
  if ! readelf -d "$so" | grep -q 'libasan'; then
    echo "error: $so is not linked against the ASan runtime" >&2
    exit 1
  fi

  log="$ROOT/build/sanitize-$ver.log"
  echo "== CPython $ver: tests under ASan+UBSan (log: $log)"
  set +e
  LD_PRELOAD="$asan $ubsan" \
  PYTHONMALLOC=malloc \
  PYTHONPATH="$plugin_dir${PYTHONPATH:+:$PYTHONPATH}" \
  ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=0:allocator_may_return_null=0" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  IVRO_SANITIZED=1 IVRO_HYPOTHESIS_PROFILE=ivro-sanitize \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -p ivro_sanitize_profile tests \
    >"$log" 2>&1
  rc=$?
  set -e
  tail -n 15 "$log"
  if [ $rc -ne 0 ]; then
    echo "FAIL: pytest exited with status $rc on CPython $ver" >&2
    status=1
  fi
  if grep -nE 'ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer|SUMMARY: (Address|UndefinedBehavior)Sanitizer' "$log" >&2; then
    echo "FAIL: sanitizer report on CPython $ver (see $log)" >&2
    status=1
  fi
done
exit $status
