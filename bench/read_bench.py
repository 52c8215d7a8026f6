#!/usr/bin/python3
"""read_minbar / read_ticks side by side with the README's h5py recipe.

Makes (once, in WORK) a bundle of the simulated market: one stock's minute bars from 2005-01-04
(20 years) and its ticks of 20 trading days, through the command line. Then, in this one
process, times each read as CPU time (time.process_time), best of --repeat:

  month    one month of minute bars: the recipe reads "data" whole and slices the month by the
           index; "h5py rows" is the careful h5py user who reads the index, then only the rows
  whole    the whole 20-year file
  ticks    20 tick days: the recipe's concatenation of the day datasets

each as arrays against arrays and as DataFrames (the recipe's, with its to_datetime, price
scaling and per-tick volume) against as_frame=True. Every pair is checked to hold the same
values before it is timed.

  PYTHONPATH=build/python bench/read_bench.py --cli build/tarnwick-bundle [--work DIR] [--repeat 3]
"""
import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

import h5py
import hdf5plugin  # noqa: F401  (the Blosc filter for h5py)
import numpy as np
import pandas as pd

import tarnwick.bundle as tb

ID = "600000.XSHG"
NOW = "2026-12-14 18:00:00"
MONTH = (20150601, 20150630)
PRICES = ["open", "last", "high", "low", "prev_close", "limit_up", "limit_down"] + \
         [f"{s}{i}" for s in "ab" for i in range(1, 6)]


def make_bundle(cli, root):
    if (root / "bundle" / "ticks" / f"{ID}.h5").exists():
        return
    env = dict(os.environ, TARNWICK_NOW=NOW, TARNWICK_SIM_FIRST_DATE="20050104",
               TARNWICK_SIM_TICK_FIRST_DATE="20261116")
    subprocess.run([cli, "update", str(root), "--base", "--minbar", ID, "--tick", ID, "-j", "1", "-q"],
                   env=env, check=True, stdout=subprocess.DEVNULL)


def best(repeat, work):
    times = []
    for _ in range(repeat):
        start = time.process_time()
        result = work()
        times.append(time.process_time() - start)
    return min(times), result


# ---- the README's recipe --------------------------------------------------------------------

def recipe_bars(path, first=None, last=None):
    with h5py.File(path, "r") as f:
        bars = f["data"][:]
        index = f["index"][:]
    if first is None:
        return bars
    k0 = np.searchsorted(index["date"], first)
    k1 = np.searchsorted(index["date"], last, side="right")
    end = index["line_no"][k1] if k1 < len(index) else len(bars)
    return bars[index["line_no"][k0]:end]


def h5py_rows(path, first, last):
    with h5py.File(path, "r") as f:
        index = f["index"][:]
        k0 = np.searchsorted(index["date"], first)
        k1 = np.searchsorted(index["date"], last, side="right")
        end = index["line_no"][k1] if k1 < len(index) else f["data"].shape[0]
        return f["data"][index["line_no"][k0]:end]


def bar_frame(bars):
    df = pd.DataFrame(bars)
    df.index = pd.to_datetime(df.pop("datetime").astype(str), format="%Y%m%d%H%M%S")
    return df


def recipe_ticks(path, days):
    with h5py.File(path, "r") as f:
        return np.concatenate([f[d][:] for d in days])


def recipe_tick_frame(path, days):
    with h5py.File(path, "r") as f:
        ticks = pd.concat([pd.DataFrame(f[d][:]).assign(trading_date=int(d)) for d in days])
    ticks[PRICES] = ticks[PRICES] / 10000
    ticks.index = pd.to_datetime(ticks["date"].astype(str) + ticks["time"].astype(str).str.zfill(9),
                                 format="%Y%m%d%H%M%S%f")
    ticks["tick_volume"] = ticks.groupby("trading_date")["volume"].diff().fillna(ticks["volume"])
    return ticks


def same_frames(ours, theirs):
    columns = [c for c in ours.columns]
    pd.testing.assert_frame_equal(ours, theirs[columns], check_names=False, check_dtype=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--work", default="/tmp/tarnwick-read-bench")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    root = Path(args.work)
    make_bundle(args.cli, root)
    minbar = root / "bundle" / "h5" / "equities" / f"{ID}.h5"
    tick = root / "bundle" / "ticks" / f"{ID}.h5"
    with h5py.File(tick, "r") as f:
        days = sorted(d for d in f if not d.startswith(".") and f[d].shape[0] > 0)[-20:]
    first_tick, last_tick = int(days[0]), int(days[-1])

    cases = [
        ("month, arrays", lambda: recipe_bars(minbar, *MONTH), lambda: h5py_rows(minbar, *MONTH),
         lambda: tb.read_minbar(root, ID, *MONTH), np.testing.assert_array_equal),
        ("month, DataFrames", lambda: bar_frame(recipe_bars(minbar, *MONTH)),
         lambda: bar_frame(h5py_rows(minbar, *MONTH)), lambda: tb.read_minbar(root, ID, *MONTH, as_frame=True),
         same_frames),
        ("whole file, arrays", lambda: recipe_bars(minbar), None, lambda: tb.read_minbar(root, ID),
         np.testing.assert_array_equal),
        ("whole file, DataFrames", lambda: bar_frame(recipe_bars(minbar)), None,
         lambda: tb.read_minbar(root, ID, as_frame=True), same_frames),
        ("20 tick days, arrays", lambda: recipe_ticks(tick, days), None,
         lambda: tb.read_ticks(root, ID, first_tick, last_tick), np.testing.assert_array_equal),
        ("20 tick days, DataFrames", lambda: recipe_tick_frame(tick, days), None,
         lambda: tb.read_ticks(root, ID, first_tick, last_tick, as_frame=True), same_frames),
    ]
    rows = tb.read_minbar(root, ID)
    print(f"{ID}: {len(rows)} minute bars {rows['datetime'][0] // 1000000}..{rows['datetime'][-1] // 1000000} "
          f"({minbar.stat().st_size / 1e6:.1f} MB), {len(tb.read_ticks(root, ID, first_tick, last_tick))} ticks "
          f"of {len(days)} days; CPU seconds, best of {args.repeat}")
    print(f"{'case':26} {'recipe':>9} {'h5py rows':>10} {'ours':>9} {'x recipe':>9} {'x rows':>7}")
    for name, recipe, rows_only, ours, same in cases:
        recipe_time, expected = best(args.repeat, recipe)
        rows_time = best(args.repeat, rows_only)[0] if rows_only else None
        our_time, got = best(args.repeat, ours)
        same(got, expected)
        rows_text = f"{rows_time:10.4f}" if rows_only else f"{'':10}"
        ratio_text = f"{rows_time / our_time:7.1f}" if rows_only else ""
        print(f"{name:26} {recipe_time:9.4f} {rows_text} {our_time:9.4f} {recipe_time / our_time:9.1f} {ratio_text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
