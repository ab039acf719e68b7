#!/usr/bin/env bash
# Static checks: clang-format and clang-tidy on the C++ sources, ruff on the
# Python; and a build with Clang and LLVM's libc++ instead of GCC and
# libstdc++ (warnings are errors), the toolchain pip meets on macOS, whose
# suite must pass too. The tools come from PyPI at pinned versions into a venv of their
# own, so every machine formats and warns alike. Fails on any finding.
# Python layout is left to the authors (dense test tables read better than
# the formatter's one-item-per-line), so ruff runs as a linter only.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cd "$ROOT"
venv="$ROOT/.venv/lint"
make_venv 3.12 "$venv" clang-format==23.1.5 clang-tidy==23.1.4 ruff==0.17.6 "pytest>=8" "hypothesis>=6"
bin="$venv/bin"
status=0
step() {
  echo "== lint: $1"
  shift
  if ! "$@"; then
    echo "!! lint: failed: $*" >&2
    status=1
  fi
}

mapfile -t cxx < <(find src -name '*.cpp' -o -name '*.hpp' | sort)
[ ${#cxx[@]} -gt 0 ] || { echo "error: no C++ sources found" >&2; exit 1; }

step "clang-format (${#cxx[@]} files)" "$bin/clang-format" --dry-run -Werror "${cxx[@]}"

# clang-tidy reads the compiler flags of each file from the build's
# compilation database; configuring is enough, nothing is compiled.
lint_build="$ROOT/build/lint"
"$bin/cmake" -S "$ROOT" -B "$lint_build" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$bin/python" >/dev/null
mapfile -t units < <(printf '%s\n' "${cxx[@]}" | grep '\.cpp$')
tidy() {
  printf '%s\n' "${units[@]}" |
    xargs -P "$(nproc)" -n 1 "$bin/clang-tidy" -p "$lint_build" --quiet 2>/dev/null
}
step "clang-tidy (${#units[@]} files)" tidy

step "ruff check" "$bin/ruff" check "$ROOT"

libcxx_probe() { echo '#include <vector>' | clang++ -stdlib=libc++ -x c++ -fsyntax-only -; }
clang_build="$ROOT/build/clang"
# Clang and libc++ come from Debian's archive: without them (or root to
# install them) only this part is skipped.
clang_libcxx() {
  need_tools clang++:clang
  libcxx_probe 2>/dev/null || apt_install libc++-dev libc++abi-dev
  echo "== lint: clang++ $(clang++ -dumpversion) with libc++: build and test suite"
  rm -rf "$clang_build"
  "$bin/cmake" -S "$ROOT" -B "$clang_build" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++ -DIVRO_WARNINGS_AS_ERRORS=ON \
    -DPython_EXECUTABLE="$bin/python" >/dev/null
  "$bin/ninja" -C "$clang_build" >/dev/null
  readelf -d "$clang_build"/_ivro*.so | grep -q 'libc++'
  PYTHONPATH="$clang_build" "$bin/python" -m pytest -q -p no:cacheprovider tests
}
part clang_libcxx
[ -z "${stage_failed:-}" ] || echo "!! lint: failed: clang++ with libc++" >&2

if [ $status -eq 0 ] && [ -z "${stage_failed:-}" ]; then echo "== lint: clean"; fi
stage_exit $status
