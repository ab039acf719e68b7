#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole suite, with floors.
#
# Usage: scripts/coverage.sh   (IVRO_COVERAGE_LINES / IVRO_COVERAGE_BRANCHES
#                               override the floors, in per cent)
#
# The module is built with GCC's counters (IVRO_COVERAGE: --coverage, -O0,
# no inlining, -fno-exceptions -fno-rtti as always) on CPython 3.12 and 3.13,
# whose headers compile different paths. On each the whole pytest suite
# runs, then the fuzz targets' corpora are replayed when fuzz/ has them
# (scripts/coverage/replay_corpora.py). The two runs are merged by gcovr
# into one report: a per-file table of lines and branches in this log, the
# HTML report at build/coverage/index.html, and the floors below, which
# fail the stage when the merged figures fall short.
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

gcovr_args=(--root "$ROOT" --filter "$ROOT/src/" --exclude-unreachable-branches)
status=0
tracefiles=()
for ver in "${HOST_VERSIONS[@]}"; do
  venv="$ROOT/.venv/coverage-$ver"
  echo "== coverage: CPython $ver: build with --coverage"
  make_venv "$ver" "$venv" "pytest>=8" "hypothesis>=6" atheris==3.1.0 gcovr==8.8
  IVRO_COVERAGE=ON install_module "$venv" IVRO_COVERAGE=ON
  objdir="$ROOT/build/$(basename "$venv")-$("$venv/bin/python" -c \
    'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
  # Counters left from an earlier run would add to this one's.
  find "$objdir" -name '*.gcda' -delete
  # Children that leave by os._exit (the allocation-failure tests) write
  # their counters out first: a .pth file loads the hook in every process.
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  cp "$ROOT/scripts/coverage/gcov_hook.py" "$site/ivro_gcov_hook.py"
  echo "import ivro_gcov_hook" >"$site/ivro_gcov_hook.pth"

  echo "== coverage: CPython $ver: the suite"
  PYTHONPATH="$plugin_dir${PYTHONPATH:+:$PYTHONPATH}" IVRO_HYPOTHESIS_PROFILE=ivro-coverage \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -p ivro_coverage_profile tests || status=1
  echo "== coverage: CPython $ver: fuzz corpora"
  "$venv/bin/python" "$ROOT/scripts/coverage/replay_corpora.py" "$ROOT/fuzz" || status=1

  "$ROOT/.venv/coverage-${HOST_VERSIONS[0]}/bin/gcovr" "${gcovr_args[@]}" -j 2 \
    --json "$out/$ver.json" "$objdir"
  tracefiles+=(--add-tracefile "$out/$ver.json")
done

echo "== coverage: merged over CPython ${HOST_VERSIONS[*]}, per file"
gcovr="$ROOT/.venv/coverage-${HOST_VERSIONS[0]}/bin/gcovr"
"$gcovr" "${tracefiles[@]}" --root "$ROOT" --merge-mode-functions=separate --merge-lines \
  --json "$out/merged.json" --json-summary "$out/summary.json" \
  --html-details "$out/index.html" --html-title "_ivro coverage"
"$ROOT/.venv/coverage-${HOST_VERSIONS[0]}/bin/python" - "$out/summary.json" \
  "$line_floor" "$branch_floor" <<'EOF' || status=1
import json, sys

summary = json.load(open(sys.argv[1]))
line_floor, branch_floor = float(sys.argv[2]), float(sys.argv[3])


def pct(covered, total):
    return 100.0 * covered / total if total else 100.0


print(f"{'file':32} {'lines':>15} {'branches':>15}")
for f in sorted(summary["files"], key=lambda f: f["filename"]):
    print(f"{f['filename']:32} {f['line_covered']:5}/{f['line_total']:<5}{pct(f['line_covered'], f['line_total']):4.0f}%"
          f" {f['branch_covered']:5}/{f['branch_total']:<5}{pct(f['branch_covered'], f['branch_total']):4.0f}%")
lines = pct(summary["line_covered"], summary["line_total"])
branches = pct(summary["branch_covered"], summary["branch_total"])
print(f"{'total':32} {summary['line_covered']:5}/{summary['line_total']:<5}{lines:5.1f}%"
      f" {summary['branch_covered']:5}/{summary['branch_total']:<5}{branches:5.1f}%")
short = []
if lines < line_floor:
    short.append(f"lines {lines:.1f} % < {line_floor} %")
if branches < branch_floor:
    short.append(f"branches {branches:.1f} % < {branch_floor} %")
print(f"floors: lines {line_floor} %, branches {branch_floor} %:",
      "FAILED, " + "; ".join(short) if short else "met")
sys.exit(1 if short else 0)
EOF
echo "== coverage: HTML report in ${out#"$ROOT"/}/index.html"

# Each exclusion is one LINE marker or one START..STOP pair; the STOP says nothing new.
markers=$(grep -rnE 'GCOVR_EXCL_(BR_)?(LINE|START)' src || true)
echo "== coverage: $(printf '%s' "$markers" | grep -c . || true) exclusion markers in src/"
[ -z "$markers" ] || printf '%s\n' "$markers"
exit $status
