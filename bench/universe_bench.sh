#!/usr/bin/env bash
# Updates the minute-bar files of the whole simulated stock universe with the command line, with
# one and with two worker processes, and prints files and bars per second.
#
#   bench/universe_bench.sh [build-dir]            (default: build)
#
# Settings (environment): STOCKS generated stocks beyond the fixed universe (200), FIRST_DATE
# the first day with bars (20260101: about 120 trading days up to NOW), NOW the fixed clock of
# the full update (2026-06-30 18:00:00, after the 17:30 cut-off), NEXT_NOW the clock of the
# following daily update (2026-07-01 18:00:00), JOBS the worker counts to compare ("1 2"),
# REPEAT runs of each measurement, the fastest shown (2).
#
# Per worker count: the first update of an empty folder (every file created from FIRST_DATE),
# then one daily update of a copy of that result (one day appended to every file).
set -euo pipefail

BUILD=${1:-build}
CLI=$BUILD/tarnwick-bundle
PYTHON=/usr/bin/python3
STOCKS=${STOCKS:-200}
FIRST_DATE=${FIRST_DATE:-20260101}
NOW=${NOW:-2026-06-30 18:00:00}
NEXT_NOW=${NEXT_NOW:-2026-07-01 18:00:00}
JOBS=${JOBS:-1 2}
REPEAT=${REPEAT:-2}

[[ -x $CLI ]] || { echo "no $CLI: build first (cmake --build $BUILD -j2)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/universe_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

export TARNWICK_SIM_STOCKS=$STOCKS TARNWICK_SIM_FIRST_DATE=$FIRST_DATE

# Files and bars of a minute-bar root: "<files> <bars>".
count() {
    "$PYTHON" - "$1" <<'EOF'
import pathlib, sys, h5py
files = bars = 0
for p in sorted(pathlib.Path(sys.argv[1]).glob("*/*.h5")):
    with h5py.File(p, "r") as f:
        files += 1
        bars += f["data"].shape[0]
print(files, bars)
EOF
}

# update <dir> <now> <jobs>: one timed update; leaves "wall cpu" in $work/last.
update() {
    local status=0
    TARNWICK_NOW=$2 /usr/bin/time -f "%e %U %S" -o "$work/time" \
        "$CLI" update-minbar "$1" stock -j "$3" >"$work/out" 2>"$work/err" || status=$?
    if ((status != 0)); then
        echo "update failed ($status):" >&2
        cat "$work/out" "$work/err" >&2
        exit 1
    fi
    read -r real user sys <"$work/time"
    awk -v r="$real" -v u="$user" -v s="$sys" 'BEGIN { printf "%s %.2f\n", r, u + s }' >"$work/last"
}

# measure <label> <jobs> <dir> <now> <source dir or empty>: the fastest of REPEAT updates of
# <dir>, each starting from an empty folder or from a copy of <source>; prints a table row.
measure() {
    local label=$1 jobs=$2 dir=$3 now=$4 source=$5
    local best_wall="" best_cpu=""
    for ((r = 0; r < REPEAT; ++r)); do
        rm -rf "$dir"
        [[ -n $source ]] && cp -a "$source" "$dir"
        update "$dir" "$now" "$jobs"
        read -r wall cpu <"$work/last"
        if [[ -z $best_wall ]] || awk -v a="$wall" -v b="$best_wall" 'BEGIN { exit !(a < b) }'; then
            best_wall=$wall best_cpu=$cpu
        fi
    done
    read -r files bars <<<"$(count "$dir")"
    local before=0
    [[ -n $source ]] && read -r _ before <<<"$(count "$source")"
    awk -v l="$label" -v j="$jobs" -v w="$best_wall" -v c="$best_cpu" -v f="$files" -v b="$((bars - before))" 'BEGIN {
        printf "| %s | %d | %d | %d | %.2f | %.2f | %.1f | %.0f |\n", l, j, f, b, w, c, f / w, b / w }'
    echo "$bars" >"$dir.bars"
}

echo "# universe_bench: $STOCKS generated stocks + the fixed universe, bars from $FIRST_DATE," \
     "full update at \"$NOW\", daily update at \"$NEXT_NOW\"; $(nproc) processors; fastest of $REPEAT"
echo "# load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| run | -j | files | bars written | wall s | cpu s (user+sys) | files/s | bars/s |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
first=${JOBS%% *}
for j in $JOBS; do
    measure "full update (create)" "$j" "$work/full-j$j" "$NOW" ""
done
for j in $JOBS; do
    measure "daily update (append one day)" "$j" "$work/daily-j$j" "$NEXT_NOW" "$work/full-j$first"
done
echo
echo "# load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "# announcement of the last run: $(head -n1 "$work/out")"

# Every worker count must have written the same bars.
for j in $JOBS; do
    cmp -s "$work/full-j$j.bars" "$work/full-j$first.bars" ||
        { echo "the full updates with -j $first and -j $j wrote different numbers of bars" >&2; exit 1; }
    cmp -s "$work/daily-j$j.bars" "$work/daily-j$first.bars" ||
        { echo "the daily updates with -j $first and -j $j wrote different numbers of bars" >&2; exit 1; }
done
