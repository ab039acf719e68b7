#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole suite, with floors, on each
# build family whose compiled code differs:
#
#   host  CPython 3.12 and 3.13 (this machine's), merged: their headers
#         compile different paths
#   sid   Debian unstable's CPython 3.14 and 3.15, merged, built in the root
#         file system by its own GCC: the paths for 3.14 and later (the
#         stack probe of the recursion guard, ...)
#   ft    the free-threaded CPython 3.15 (ft_python.sh), the GIL off: the
#         Py_GIL_DISABLED paths (the per-cache locks, ...)
#
# Usage: scripts/coverage.sh   (IVRO_COVERAGE_LINES / IVRO_COVERAGE_BRANCHES
#                               override the floors, in per cent, for every
#                               family; IVRO_COVERAGE_FAMILIES picks families,
#                               default "host sid ft")
#
# The module is built with GCC's counters (IVRO_COVERAGE: --coverage, -O0,
# no inlining, -fno-exceptions -fno-rtti as always). On each interpreter the
# whole pytest suite runs, then the fuzz targets' corpora are replayed when
# fuzz/ has them (scripts/coverage/replay_corpora.py). A family's runs are
# merged by gcovr into one report: a per-file table of lines and branches in
# this log, an HTML report (host: build/coverage/index.html, the others:
# build/coverage/FAMILY/index.html), and the floors below, which fail the
# stage when a family's figures fall short (scripts/coverage/floors.py).
# A family whose interpreters cannot be had here (no root for Debian's, no
# free-threaded build) is skipped with the reason.
#
# Branches are those gcov counts, less those on lines with no code of their
# own (--exclude-unreachable-branches): the compiler's, on a closing brace
# where a handle's destructor runs, which no test can choose. (With
# -fno-exceptions there are no branches for unwinding to exclude.) Anything
# else left untaken carries a GCOVR_EXCL marker in src/ on a line that says
# why; the stage counts and prints them.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

line_floor=${IVRO_COVERAGE_LINES:-99}
branch_floor=${IVRO_COVERAGE_BRANCHES:-90}
read -r -a families <<<"${IVRO_COVERAGE_FAMILIES:-host sid ft}"
out="$ROOT/build/coverage"
rm -rf "$out"
mkdir -p "$out"

# The suite's hypothesis tests draw the same examples on every run, so that
# the figures do not wander around a floor from one run to the next; the
# unit stage is where the state space is explored.
plugin_dir="$out/plugin"
mkdir -p "$plugin_dir"
cat >"$plugin_dir/ivro_coverage_profile.py" <<'EOF'
from hypothesis import HealthCheck, settings

# The suite's own "ci" profile, with a fixed sequence of examples.
settings.register_profile("ivro-coverage", max_examples=200, stateful_step_count=50,
                          deadline=None, derandomize=True, database=None,
                          suppress_health_check=list(HealthCheck))
settings.load_profile("ivro-coverage")
EOF


# Every gcovr run that reads counters: only the branches that a test can
# choose (see the top), two jobs.
gcovr_args=(--exclude-unreachable-branches -j 2)
# Template instances count as one: the linker keeps one copy of each.
merge_args=(--merge-mode-functions=separate --merge-lines)
# The hypothesis profile above, chosen for the suite's run.
profile_env=(IVRO_HYPOTHESIS_PROFILE=ivro-coverage)
host_venv="$ROOT/.venv/coverage-${HOST_VERSIONS[0]}"

# floors FAMILY LABEL SUMMARY: the family's table and verdict, kept for the
# overview at the end.
floors() {
  python3 "$ROOT/scripts/coverage/floors.py" "$2" "$3" --lines "$line_floor" \
    --branches "$branch_floor" | tee "$out/$1.floors"
  return "${PIPESTATUS[0]}"
}

# hook_site DIR: makes every interpreter that has DIR among its site
# directories write the module's counters out before os._exit, which the
# allocation-failure tests' children leave by and which skips the
# unloading that would write them.
hook_site() {
  cp "$ROOT/scripts/coverage/gcov_hook.py" "$1/ivro_gcov_hook.py"
  echo "import ivro_gcov_hook" >"$1/ivro_gcov_hook.pth"
}

# objdir VENV: the build directory of the module installed in VENV.
objdir() {
  echo "$ROOT/build/$(basename "$1")-$("$1/bin/python" -c \
    'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
}

# prepare_venv VENV: clears the counters left from an earlier run, which
# would add to this one's, and installs the hook in VENV.
prepare_venv() {
  find "$(objdir "$1")" -name '*.gcda' -delete
  hook_site "$(site_dir "$1")"
}

# site_dir VENV: its site-packages.
site_dir() {
  "$1/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])'
}

# venv_run VENV LABEL [ENV...]: the suite and the corpora on the coverage
# build in VENV, with ENV (KEY=VALUE) for both; fails after both ran if
# either failed.
venv_run() {
  local venv=$1 label=$2 status=0
  shift 2
  echo "== coverage: $label: the suite"
  env "$@" "${profile_env[@]}" PYTHONPATH="$plugin_dir${PYTHONPATH:+:$PYTHONPATH}" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -p ivro_coverage_profile tests ||
    status=1
  echo "== coverage: $label: fuzz corpora"
  env "$@" "$venv/bin/python" "$ROOT/scripts/coverage/replay_corpora.py" "$ROOT/fuzz" || status=1
  return $status
}

# host: this machine's CPython 3.12 and 3.13, merged; the report at the top
# of build/coverage/.
host_family() {
  local ver venv status=0
  local -a tracefiles=()
  for ver in "${HOST_VERSIONS[@]}"; do
    venv="$ROOT/.venv/coverage-$ver"
    echo "== coverage: CPython $ver: build with --coverage"
    make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6" atheris==3.1.0 gcovr==8.8
    IVRO_COVERAGE=ON install_module "$venv" IVRO_COVERAGE=ON
    prepare_venv "$venv"
    venv_run "$venv" "CPython $ver" || status=1
    "$host_venv/bin/gcovr" --root "$ROOT" --filter "$ROOT/src/" "${gcovr_args[@]}" \
      --json "$out/$ver.json" "$(objdir "$venv")"
    tracefiles+=(--add-tracefile "$out/$ver.json")
  done
  echo "== coverage: host: merged over CPython ${HOST_VERSIONS[*]}, per file"
  "$host_venv/bin/gcovr" "${tracefiles[@]}" --root "$ROOT" "${merge_args[@]}" \
    --json "$out/merged.json" --json-summary "$out/summary.json" \
    --html-details "$out/index.html" --html-title "_ivro coverage: CPython ${HOST_VERSIONS[*]}"
  echo "== coverage: host: HTML report in ${out#"$ROOT"/}/index.html"
  floors host "host (CPython ${HOST_VERSIONS[*]})" "$out/summary.json" || status=1
  return $status
}

# sid: Debian unstable's CPython 3.14 and 3.15, merged. Built, run and
# measured inside the root: its GCC writes counters that only its own gcov
# reads, so its gcovr makes the report there, under /ivro/coverage-sid.
sid_family() {
  local why ver name status=0 report=/ivro/coverage-sid
  why=$(sid_usable 2>&1) || skip "$why"
  sid_rootfs
  local -a tracefiles=()
  for ver in "${SID_VERSIONS[@]}"; do
    name=coverage-$ver
    echo "== coverage: CPython $ver (Debian unstable): build with --coverage"
    # A fresh copy and build directory each time: no counters from before.
    sid_install "$name" "$ver" "" cmake.define.IVRO_COVERAGE=ON
    # The profile, and the hook loaded at start-up: the root's interpreters
    # have no venv, so it comes in as a sitecustomize on PYTHONPATH.
    local plugin="$SID_ROOTFS/ivro/$name/plugin"
    mkdir -p "$plugin"
    cp "$plugin_dir/ivro_coverage_profile.py" "$ROOT/scripts/coverage/gcov_hook.py" "$plugin/"
    echo "import gcov_hook" >"$plugin/sitecustomize.py"
    echo "== coverage: CPython $ver (Debian unstable): the suite"
    IVRO_HYPOTHESIS_PROFILE=ivro-coverage IVRO_EXTRA_PATH="/ivro/$name/plugin" \
      in_sid "$name" "$ver" "" -m pytest -q -p no:cacheprovider -p ivro_coverage_profile \
      "/ivro/$name/src/tests" || status=1
    echo "== coverage: CPython $ver (Debian unstable): fuzz corpora"
    IVRO_EXTRA_PATH="/ivro/$name/plugin" in_sid "$name" "$ver" "" \
      "/ivro/$name/src/scripts/coverage/replay_corpora.py" "/ivro/$name/src/fuzz" || status=1
    chroot "$SID_ROOTFS" gcovr --root "/ivro/$name/src" --filter "/ivro/$name/src/src/" \
      "${gcovr_args[@]}" --json "/ivro/$name/coverage.json" "/ivro/$name/cmake"
    tracefiles+=(--add-tracefile "/ivro/$name/coverage.json")
  done
  echo "== coverage: sid: merged over CPython ${SID_VERSIONS[*]}, per file"
  rm -rf "$SID_ROOTFS$report"
  mkdir -p "$SID_ROOTFS$report"
  # The file names are relative to each copy of the tree; the first copy
  # has the sources that the HTML report shows.
  chroot "$SID_ROOTFS" gcovr "${tracefiles[@]}" --root "/ivro/coverage-${SID_VERSIONS[0]}/src" \
    "${merge_args[@]}" --json "$report/merged.json" --json-summary "$report/summary.json" \
    --html-details "$report/index.html" \
    --html-title "_ivro coverage: CPython ${SID_VERSIONS[*]} (Debian unstable)"
  cp -r "$SID_ROOTFS$report" "$out/sid"
  echo "== coverage: sid: HTML report in ${out#"$ROOT"/}/sid/index.html"
  floors sid "sid (CPython ${SID_VERSIONS[*]}, Debian unstable)" "$out/sid/summary.json" ||
    status=1
  return $status
}

# ft: the free-threaded CPython 3.15 with the GIL off, built by this
# machine's GCC, so the host family's gcovr reads its counters.
ft_family() {
  local venv="$ROOT/.venv/coverage-ft" status=0 testcapi
  [ -x "$host_venv/bin/gcovr" ] ||
    skip "the free-threaded family's report needs gcovr from the host family's venv" \
      "(${host_venv#"$ROOT"/}), which has not been made: run the host family too"
  echo "== coverage: free-threaded CPython 3.15: build with --coverage"
  make_ft_venv ft "$venv" "pytest>=8" "hypothesis>=6"
  # The allocation-failure tests reach paths that nothing else does; this
  # interpreter is built without the module they need.
  testcapi=$(ft_testcapi "$(ft_python ft)")
  [ -z "$testcapi" ] || cp "$testcapi"/_testcapi* "$(site_dir "$venv")/"
  # Without the GIL this proves nothing; the interpreter must really be one.
  PYTHON_GIL=0 "$venv/bin/python" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), sys.executable'
  IVRO_COVERAGE=ON PYTHON_GIL=0 install_module "$venv" IVRO_COVERAGE=ON
  prepare_venv "$venv"
  # The GIL stays off for the whole run, whatever a dependency asks for;
  # output captured as the free-threaded stage does it.
  venv_run "$venv" "free-threaded CPython 3.15" PYTHON_GIL=0 PYTEST_ADDOPTS=--capture=sys ||
    status=1
  mkdir -p "$out/ft"
  echo "== coverage: ft: per file"
  # What no run without the GIL can take (docs/coverage.md): the code
  # marked GCOVR_FT_EXCL, besides GCOVR_EXCL; the branches on whether an
  # emptying replaced the dictionary, which it never does here (MapHold);
  # and those on whether the cache is initialised, inside functions that
  # locked<> runs only on an initialised one.
  "$host_venv/bin/gcovr" --root "$ROOT" --filter "$ROOT/src/" "${gcovr_args[@]}" \
    --exclude-pattern-prefix '(?:[GL]COVR?|GCOVR_FT)' \
    --exclude-branches-by-pattern '.*(map\.current\(\)|require_initialised\()' \
    "${merge_args[@]}" --json "$out/ft/coverage.json" --json-summary "$out/ft/summary.json" \
    --html-details "$out/ft/index.html" \
    --html-title "_ivro coverage: free-threaded CPython 3.15, GIL off" "$(objdir "$venv")"
  echo "== coverage: ft: HTML report in ${out#"$ROOT"/}/ft/index.html"
  floors ft "ft (free-threaded CPython 3.15, GIL off)" "$out/ft/summary.json" || status=1
  return $status
}

for family in "${families[@]}"; do
  case $family in
    host | sid | ft) part "${family}_family" ;;
    *)
      echo "error: unknown coverage family '$family' (known: host sid ft)" >&2
      exit 2
      ;;
  esac
done

# Each exclusion is one LINE marker or one START..STOP pair; the STOP says nothing new.
# GCOVR_FT_EXCL marks what only the free-threaded family leaves out.
markers=$(grep -rnE 'GCOVR_(FT_)?EXCL_(BR_)?(LINE|START)' src || true)
echo "== coverage: $(printf '%s' "$markers" | grep -c . || true) exclusion markers in src/"
[ -z "$markers" ] || printf '%s\n' "$markers"
echo "== coverage: per family"
for family in "${families[@]}"; do
  if [ -f "$out/$family.floors" ]; then
    tail -n 1 "$out/$family.floors"
  else
    echo "$family: no report (skipped or failed before it)"
  fi
done
stage_exit
