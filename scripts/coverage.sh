#!/usr/bin/env bash
# Builds everything with gcov instrumentation in a folder of its own, runs every test, writes
# an HTML report and a summary, and fails when line coverage of src/ is below the floor kept in
# tests/coverage-floor.txt (which also names what is left out, and why).
#   scripts/coverage.sh [BUILD_DIR]     (default build-coverage)
# COVERAGE_SKIP_TESTS=1 only writes the report from the counters already there.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-coverage}
floor_file=tests/coverage-floor.txt
jobs=${JOBS:-$(nproc)}
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

floor=$(awk '$1 == "floor" { print $2 }' "$floor_file")
[[ -n "$floor" ]] || { echo "coverage: no 'floor' line in $floor_file" >&2; exit 1; }
excludes=()
while read -r kind path _; do
    case "$kind" in
    exclude)
        [[ -e "$path" ]] || { echo "coverage: $floor_file excludes $path, which does not exist" >&2; exit 1; }
        excludes+=(--exclude "^$path\$") ;;
    region)
        grep -q "GCOVR_EXCL_START" "$path" ||
            { echo "coverage: $floor_file names a region in $path, which has none" >&2; exit 1; } ;;
    esac
done < "$floor_file"

start=$(date +%s)
if [[ -z "${COVERAGE_SKIP_TESTS:-}" ]]; then
    cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DKESTREL_COVERAGE=ON -DKESTREL_WITH_BENCH=OFF
    cmake --build "$build" -j "$jobs"
    # Counters of an earlier run would be added to this one's.
    find "$build" -name '*.gcda' -delete
    # Some tests run programs as another user (the set-group-ID account helper as nobody), who
    # may not create files here: every counter file is made beforehand, writable by anyone.
    find "$build" -name '*.gcno' -exec sh -c 'for f; do g="${f%.gcno}.gcda"; : >"$g" && chmod 0666 "$g"; done' sh {} +
    (cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs")
    # An object no test ran keeps its empty counter file, which gcov would take for a damaged one.
    find "$build" -name '*.gcda' -empty -delete
fi

report="$build/coverage"
rm -rf "$report"
mkdir -p "$report"
# Branches the compiler adds for exceptions, and those it proves unreachable, are no decisions
# of the code: leaving them out makes the branch figure mean something.
set +e
gcovr --root . --object-directory "$build" --filter '^src/' "${excludes[@]}" \
    --exclude-throw-branches --exclude-unreachable-branches \
    --gcov-ignore-parse-errors -j "$jobs" \
    --html-details "$report/index.html" --html-title "Kestrel coverage" \
    --txt "$report/files.txt" --json-summary-pretty --json-summary "$report/summary.json" \
    --print-summary --fail-under-line "$floor" | tee "$report/summary.txt"
status=${PIPESTATUS[0]}
set -e
# Per folder of src/, from the per-file table.
python3 - "$report/summary.json" <<'PY' | tee -a "$report/summary.txt"
import json, sys, collections
data = json.load(open(sys.argv[1]))
folders = collections.OrderedDict()
for f in sorted(data["files"], key=lambda f: f["filename"]):
    parts = f["filename"].split("/")
    key = "/".join(parts[:2]) if len(parts) > 2 else parts[0]
    acc = folders.setdefault(key, [0, 0, 0, 0, 0, 0])
    for i, k in enumerate(["line_covered", "line_total", "function_covered", "function_total",
                           "branch_covered", "branch_total"]):
        acc[i] += f[k]
pct = lambda a, b: f"{100.0 * a / b:5.1f}%" if b else "    -"
print(f"{'folder':<22} {'lines':>16} {'functions':>16} {'branches':>16}")
for key, a in folders.items():
    print(f"{key:<22} {pct(a[0], a[1]):>7} {a[0]:>4}/{a[1]:<4}"
          f" {pct(a[2], a[3]):>7} {a[2]:>4}/{a[3]:<4} {pct(a[4], a[5]):>7} {a[4]:>4}/{a[5]:<4}")
low = [f for f in data["files"] if f["line_total"] and f["line_covered"] < 0.8 * f["line_total"]]
if low:
    print("files under 80% of lines:")
    for f in sorted(low, key=lambda f: f["line_percent"]):
        print(f"  {f['filename']:<50} {f['line_percent']:5.1f}%")
PY
echo "coverage: report in $report/index.html; line floor $floor% ($floor_file); $(( $(date +%s) - start )) s"
if [[ $status -ne 0 ]]; then
    echo "coverage: line coverage of src/ is below the floor of $floor%" >&2
    exit $status
fi
