#!/usr/bin/env bash
# What syncing costs: the same minute-bar updates of the simulated stock universe with and
# without --no-sync, alternated in one run on one machine, the fastest of REPEAT runs each.
#
#   bench/sync_cost.sh [build-dir]                 (default: build)
#
# Settings (environment): STOCKS generated stocks beyond the fixed universe (1800: about 2,000
# files), FIRST_DATE (20260101: about 120 trading days a file), NOW and NEXT_NOW the clocks of
# the full-history creation and of the daily update, JOBS (2), REPEAT (2).
# Prints a table row per update: wall seconds synced, unsynced, and their ratio.
set -euo pipefail

BUILD=${1:-build}
CLI=$BUILD/tarnwick-bundle
STOCKS=${STOCKS:-1800}
FIRST_DATE=${FIRST_DATE:-20260101}
NOW=${NOW:-2026-06-30 18:00:00}
NEXT_NOW=${NEXT_NOW:-2026-07-01 18:00:00}
JOBS=${JOBS:-2}
REPEAT=${REPEAT:-2}
[[ -x $CLI ]] || { echo "no $CLI: build first" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/sync_cost.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TARNWICK_SIM_STOCKS=$STOCKS TARNWICK_SIM_FIRST_DATE=$FIRST_DATE

# run <dir> <now> [--no-sync]: one update; prints its wall seconds.
run() {
    local dir=$1 now=$2
    shift 2
    TARNWICK_NOW=$now /usr/bin/time -f "%e" -o "$work/time" \
        "$CLI" update-minbar "$dir" stock -j "$JOBS" -q "$@" >"$work/out" 2>"$work/err" ||
        { cat "$work/out" "$work/err" >&2; exit 1; }
    cat "$work/time"
}

best() { sort -n | head -1; }

# The full-history creation, then the daily update of a copy of its result.
declare -A seconds
for ((r = 0; r < REPEAT; ++r)); do
    for mode in synced unsynced; do
        flag=()
        [[ $mode == unsynced ]] && flag=(--no-sync)
        rm -rf "$work/$mode"
        echo "$(run "$work/$mode" "$NOW" "${flag[@]}")" >>"$work/create-$mode"
        rm -rf "$work/daily"
        cp -a "$work/$mode" "$work/daily"
        sync
        echo "$(run "$work/daily" "$NEXT_NOW" "${flag[@]}")" >>"$work/daily-$mode"
    done
done
files=$(find "$work/synced" -name '*.h5' | wc -l)
echo "| update | files | synced s | unsynced s | ratio |"
echo "|---|---|---|---|---|"
for what in create daily; do
    s=$(best <"$work/$what-synced")
    u=$(best <"$work/$what-unsynced")
    awk -v w="$what" -v f="$files" -v s="$s" -v u="$u" 'BEGIN { printf "| %s | %d | %.2f | %.2f | %.2fx |\n", w, f, s, u, s / u }'
done
