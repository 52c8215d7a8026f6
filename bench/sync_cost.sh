#!/usr/bin/env bash
# What syncing costs: the daily minute-bar update of the simulated stock universe unsynced
# (--no-sync), with commits made durable by syncs of the file system a group, and with each file
# synced alone (as on FUSE and network file systems, or where syncfs is refused), alternated in
# one run on one machine, the fastest of REPEAT runs each. A neighbour may write steadily to the
# same disk meanwhile: a sync of the file system then flushes its data too.
#
#   bench/sync_cost.sh [build-dir]                 (default: build)
#
# Settings (environment): STOCKS generated stocks beyond the fixed universe (1800: about 2,000
# files), FIRST_DATE (20260101: about 120 trading days a file), NOW and NEXT_NOW the clocks of
# the full-history creation and of the daily update, JOBS (2), REPEAT (2), NEIGHBOUR_MB_S (0:
# none; else the neighbour's steady writes in MiB a second, to a file beside the bundle),
# CREATE=1 to compare the full-history creation synced and unsynced too, OTHER_CLI=PATH to run
# another build's command line (say, the commit before a change) with group syncs in the same
# rounds (the row "group, other build").
# Prints a table row per update and way of syncing: wall seconds and the ratio to unsynced.
set -euo pipefail

BUILD=${1:-build}
CLI=$BUILD/tarnwick-bundle
STOCKS=${STOCKS:-1800}
FIRST_DATE=${FIRST_DATE:-20260101}
NOW=${NOW:-2026-06-30 18:00:00}
NEXT_NOW=${NEXT_NOW:-2026-07-01 18:00:00}
JOBS=${JOBS:-2}
REPEAT=${REPEAT:-2}
NEIGHBOUR_MB_S=${NEIGHBOUR_MB_S:-0}
CREATE=${CREATE:-0}
OTHER_CLI=${OTHER_CLI:-}
[[ -x $CLI ]] || { echo "no $CLI: build first" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/sync_cost.XXXXXX")
neighbour=
trap '[[ -n $neighbour ]] && kill "$neighbour" 2>/dev/null; rm -rf "$work"' EXIT
export TARNWICK_SIM_STOCKS=$STOCKS TARNWICK_SIM_FIRST_DATE=$FIRST_DATE

# run <dir> <now> <mode>: one update; prints its wall seconds.
run() {
    local dir=$1 now=$2 mode=$3 flag=() cli=$CLI
    [[ $mode == unsynced ]] && flag=(--no-sync)
    [[ $mode == other ]] && cli=$OTHER_CLI
    [[ $mode == files-alone ]] && export TARNWICK_SYNC_FILES_ALONE=1
    TARNWICK_NOW=$now /usr/bin/time -f "%e" -o "$work/time" \
        "$cli" update-minbar "$dir" stock -j "$JOBS" -q "${flag[@]}" >"$work/out" 2>"$work/err" ||
        { cat "$work/out" "$work/err" >&2; exit 1; }
    unset TARNWICK_SYNC_FILES_ALONE
    cat "$work/time"
}

best() { sort -n | head -1; }

if ((CREATE)); then
    for ((r = 0; r < REPEAT; ++r)); do
        for mode in group unsynced; do
            rm -rf "$work/created"
            run "$work/created" "$NOW" "$mode" >>"$work/create-$mode"
        done
    done
fi
run "$work/base" "$NOW" unsynced >/dev/null
sync
if ((NEIGHBOUR_MB_S > 0)); then
    # Steady writes, never synced by the neighbour itself: the kernel's write-back (and any
    # sync of the whole file system) flushes them.
    (while :; do
        dd if=/dev/zero of="$work/neighbour" bs=1M count="$NEIGHBOUR_MB_S" conv=notrunc status=none
        sleep 1
    done) &
    neighbour=$!
fi
daily_modes=(unsynced group files-alone)
[[ -n $OTHER_CLI ]] && daily_modes+=(other)
for ((r = 0; r < REPEAT; ++r)); do
    for mode in "${daily_modes[@]}"; do
        rm -rf "$work/daily"
        cp -a "$work/base" "$work/daily"
        sync -f "$work/daily"
        run "$work/daily" "$NEXT_NOW" "$mode" >>"$work/daily-$mode"
    done
done
files=$(find "$work/base" -name '*.h5' | wc -l)
echo "| update | files | neighbour MiB/s | syncs | s | ratio to unsynced |"
echo "|---|---|---|---|---|---|"
for what in create daily; do
    [[ -f $work/$what-unsynced ]] || continue
    u=$(best <"$work/$what-unsynced")
    for mode in unsynced group files-alone other; do
        [[ -f $work/$what-$mode ]] || continue
        s=$(best <"$work/$what-$mode")
        awk -v w="$what" -v f="$files" -v n="$NEIGHBOUR_MB_S" -v m="$mode" -v s="$s" -v u="$u" \
            'BEGIN { if (m == "other") m = "group, other build"
                    printf "| %s | %d | %d | %s | %.2f | %.2fx |\n", w, f, n, m, s, s / u }'
    done
done
