#!/bin/bash
# The benchmark run: the guard and the co-installer against the platform
# floor, under Wine, with the wineserver and every Wine process of the run
# pinned to one processor (unpinned, the same code measures from 0.2x to 4.8x
# against itself on a 2-core machine).
#
#   tools/bench/run_bench.sh <build dir>        (./build.sh bench calls it)
#
# Environment:
#   BENCH_ROUNDS   interleaved rounds per figure (default 15; more for steadier figures)
#   BENCH_REPEATS  suspend/resume cycles or registrations per guard round (default 20)
#   BENCH_CPU      the processor to pin to (default the last one)
#   BENCH_PART     guard, coinstaller or all (default all)
#   BENCH_QUICK    1: co-installer with the smaller sizes only
#
# Writes <build>/bench/rounds.txt (every timed round), results.json and
# results.svg, and prints the table. Needs WINEPREFIX (build.sh sets it).
set -euo pipefail
BUILD=$(cd "${1:?usage: run_bench.sh <build dir>}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?run through ./build.sh bench, or export WINEPREFIX}"
export WINEDEBUG=${WINEDEBUG:--all}
WINE64=/usr/lib/wine/wine64
WINESERVER64=/usr/lib/wine/wineserver64
ROUNDS=${BENCH_ROUNDS:-15}
REPEATS=${BENCH_REPEATS:-20}
CPU=${BENCH_CPU:-$(( $(nproc) - 1 ))}
PART=${BENCH_PART:-all}
OUT="$BUILD/bench"
mkdir -p "$OUT"

command -v taskset >/dev/null || { echo "run_bench: taskset (util-linux) is missing" >&2; exit 2; }
[ -x "$BUILD/tools/bench.exe" ] || { echo "run_bench: $BUILD/tools/bench.exe is not built" >&2; exit 2; }

# A warm server pinned to CPU; the first program's output goes to /dev/null
# (Wine's background processes inherit it), and it starts them pinned too.
"$WINESERVER64" -k >/dev/null 2>&1 || true
"$WINESERVER64" -w >/dev/null 2>&1 || true
taskset -c "$CPU" "$WINESERVER64" -p </dev/null >/dev/null 2>&1
taskset -c "$CPU" "$WINE64" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1

args=(--part "$PART" --rounds "$ROUNDS" --repeats "$REPEATS")
[ "${BENCH_QUICK:-0}" = 1 ] && args+=(--quick)

echo "== bench: pinned to CPU $CPU, $ROUNDS rounds, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
load_before=$(cut -d' ' -f1 /proc/loadavg)
start=$(date +%s)
set +e
taskset -c "$CPU" "$WINE64" "$BUILD/tools/bench.exe" "${args[@]}" </dev/null >"$OUT/rounds.txt"
rc=$?
set -e
end=$(date +%s)
load_after=$(cut -d' ' -f1 /proc/loadavg)
if [ $rc -ne 0 ]; then
    echo "run_bench: bench.exe failed with exit code $rc" >&2
    exit $rc
fi

# The machine, for the record.
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
wine_version=$("$WINE64" --version 2>/dev/null || echo unknown)
python3 "$HERE/report.py" \
    --rounds-file "$OUT/rounds.txt" --dist "$BUILD/dist" \
    --json "$OUT/results.json" --svg "$OUT/results.svg" \
    --machine "nproc=$(nproc)" --machine "cpu=$cpu_model" --machine "wine=$wine_version" \
    --machine "pinned_cpu=$CPU" --machine "rounds=$ROUNDS" --machine "repeats=$REPEATS" \
    --machine "load_before=$load_before" --machine "load_after=$load_after" \
    --machine "seconds=$((end - start))" --machine "date=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
echo "== bench: $OUT/results.json, $OUT/results.svg ($((end - start)) s)" >&2
