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

With --panels, it reads panels instead (a universe bundle made once in WORK/universe: STOCKS
simulated stocks' minute bars of 2026, and 20 tick days of 50 of them), one call for a list of
identifiers against the careful h5py loop (per file: the index, then only the rows; tick days
concatenated), in one run: CPU time (process_time) and wall time (perf_counter) of h5py, of
ours on 1 thread and on 2 threads, best of --repeat; then the peak resident memory each of our
reads adds (VmHWM after clearing it, less VmRSS before) against the size of its result.

  PYTHONPATH=build/python bench/read_bench.py --cli build/tarnwick-bundle [--work DIR] [--repeat 3]
  PYTHONPATH=build/python bench/read_bench.py --cli build/tarnwick-bundle --panels [--stocks 600]
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
    df["trading_date"] = df.index.normalize()  # a stock's: the day of its bars
    return df


def recipe_ticks(path, days):
    with h5py.File(path, "r") as f:
        return np.concatenate([f[d][:] for d in days])


def recipe_tick_frame(path, days):
    with h5py.File(path, "r") as f:
        ticks = pd.concat([pd.DataFrame(f[d][:]).assign(trading_date=pd.Timestamp(d)) for d in days])
    ticks[PRICES] = ticks[PRICES] / 10000
    ticks.index = pd.to_datetime(ticks["date"].astype(str) + ticks["time"].astype(str).str.zfill(9),
                                 format="%Y%m%d%H%M%S%f")
    ticks["tick_volume"] = ticks.groupby("trading_date")["volume"].diff().fillna(ticks["volume"])
    return ticks


def same_frames(ours, theirs):
    columns = [c for c in ours.columns]
    pd.testing.assert_frame_equal(ours, theirs[columns], check_names=False, check_dtype=False)


# ---- panels ----------------------------------------------------------------------------------

def make_minbars(cli, root, stocks, first_date="20260101", now=NOW):
    """The minute bars of the simulated stock universe (STOCKS generated stocks beyond the fixed
    ones), bars from `first_date` up to the clock `now`, made once in ROOT; returns the
    simulated market's settings, for later commands on the same bundle."""
    env = dict(os.environ, TARNWICK_NOW=now, TARNWICK_SIM_FIRST_DATE=str(first_date),
               TARNWICK_SIM_TICK_FIRST_DATE="20261116", TARNWICK_SIM_STOCKS=str(stocks))
    if not (root / "bundle" / "h5" / "equities").exists():
        subprocess.run([cli, "update-minbar", str(root / "bundle" / "h5"), "stock", "-j", "2", "-q"], env=env,
                       check=True, stdout=subprocess.DEVNULL)
    return env


def make_universe(cli, root, stocks):
    bars = root / "bundle" / "h5" / "equities"
    if not bars.exists():
        env = make_minbars(cli, root, stocks)
        ids = sorted(p.stem for p in bars.glob("*.h5"))[:50]
        subprocess.run([cli, "update-tick", str(root / "bundle" / "ticks"), *ids, "-j", "2"], env=env,
                       check=True, stdout=subprocess.DEVNULL)
    return sorted(p.stem for p in bars.glob("*.h5")), sorted(p.stem for p in (root / "bundle" / "ticks").glob("*.h5"))


def h5py_panel(root, ids, first=None, last=None):
    out = {}
    for i in ids:
        with h5py.File(root / "bundle" / "h5" / "equities" / f"{i}.h5", "r") as f:
            if first is None:
                out[i] = f["data"][:]
                continue
            index = f["index"][:]
            k0 = np.searchsorted(index["date"], first)
            k1 = np.searchsorted(index["date"], last, side="right")
            if k0 == k1:
                out[i] = f["data"][:0]
                continue
            end = index["line_no"][k1] if k1 < len(index) else f["data"].shape[0]
            out[i] = f["data"][index["line_no"][k0]:end]
    return out


def h5py_tick_panel(root, ids, first, last):
    out = {}
    for i in ids:
        with h5py.File(root / "bundle" / "ticks" / f"{i}.h5", "r") as f:
            days = [d for d in sorted(f) if not d.startswith(".") and first <= int(d) <= last]
            out[i] = np.concatenate([f[d][:] for d in days])
    return out


def timed(repeat, work):
    """(best CPU seconds, best wall seconds, result)."""
    cpu, wall = [], []
    for _ in range(repeat):
        c, w = time.process_time(), time.perf_counter()
        result = work()
        cpu.append(time.process_time() - c)
        wall.append(time.perf_counter() - w)
    return min(cpu), min(wall), result


def peak_over(case):
    """(the result's size, the peak resident memory its read added), in a fresh process: the peak
    (VmHWM) after the read less the peak before it (imports, the identifier lists)."""
    out = subprocess.run([sys.executable, __file__, "--cli", ARGS.cli, "--work", ARGS.work, "--memory-case", case],
                         check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


def status(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise KeyError(field)


def size_of(result):
    if isinstance(result, dict):
        return sum(a.nbytes for a in result.values())
    if isinstance(result, np.ndarray):
        return result.nbytes
    return int(result.memory_usage(index=True, deep=True).sum())


def same_panels(ours, theirs):
    assert list(ours) == list(theirs)
    for i in ours:
        np.testing.assert_array_equal(ours[i], theirs[i])


def panels(args, root):
    ids, tick_ids = make_universe(args.cli, root / "universe", args.stocks)
    universe = root / "universe"
    month = (20261101, 20261130)
    with h5py.File(universe / "bundle" / "ticks" / f"{tick_ids[0]}.h5", "r") as f:
        tick_days = sorted(int(d) for d in f if not d.startswith("."))[-20:]
    single_root, single = root, ID
    make_bundle(args.cli, single_root)
    single_file = single_root / "bundle" / "h5" / "equities" / f"{ID}.h5"

    def whole(path):
        with h5py.File(path, "r") as f:
            return f["data"][:]

    cases = [
        (f"one month of {len(ids)} stocks", lambda: h5py_panel(universe, ids, *month),
         lambda t: tb.read_minbar(universe, ids, *month, threads=t), same_panels),
        (f"whole files of {min(100, len(ids))} stocks", lambda: h5py_panel(universe, ids[:100]),
         lambda t: tb.read_minbar(universe, ids[:100], threads=t), same_panels),
        ("one 20-year file", lambda: whole(single_file), lambda t: tb.read_minbar(single_root, single, threads=t),
         np.testing.assert_array_equal),
        (f"20 tick days of {len(tick_ids)}", lambda: h5py_tick_panel(universe, tick_ids, tick_days[0], tick_days[-1]),
         lambda t: tb.read_ticks(universe, tick_ids, tick_days[0], tick_days[-1], threads=t), same_panels),
    ]
    print(f"panels, best of {args.repeat}; seconds of CPU (process_time) and wall (perf_counter)")
    print(f"{'case':30} {'rows':>9} {'h5py cpu':>9} {'wall':>7} {'ours1 cpu':>9} {'wall':>7} {'ours2 cpu':>9} "
          f"{'wall':>7} {'x cpu':>6} {'x wall2':>7} {'1/2 wall':>8} {'hdf5 cpu1':>9} {'x parsed':>8}")
    for name, theirs, ours, same in cases:
        h_cpu, h_wall, expected = timed(args.repeat, theirs)
        c1, w1, got = timed(args.repeat, lambda: ours(1))
        same(got, expected)
        c2, w2, got = timed(args.repeat, lambda: ours(2))
        same(got, expected)
        # The same reads with every file opened through HDF5's library, on one thread (CPU time).
        os.environ["TARNWICK_READ_THROUGH_HDF5"] = "1"
        try:
            c3, _, got = timed(args.repeat, lambda: ours(1))
        finally:
            del os.environ["TARNWICK_READ_THROUGH_HDF5"]
        same(got, expected)
        rows = sum(map(len, got.values())) if isinstance(got, dict) else len(got)
        print(f"{name:30} {rows:9} {h_cpu:9.4f} {h_wall:7.4f} {c1:9.4f} {w1:7.4f} {c2:9.4f} {w2:7.4f} "
              f"{h_cpu / c1:6.1f} {h_wall / w2:7.1f} {w1 / w2:8.2f} {c3:9.4f} {c3 / c1:8.2f}")
    print("peak resident memory added, against the result's size")
    for name in MEMORY_CASES:
        size, peak = peak_over(name)
        print(f"{name:24} result {size / 1e6:8.1f} MB  peak added {peak / 1e6:8.1f} MB  {peak / size:5.2f}x")
    return 0


def memory_cases(root):
    universe = root / "universe"
    ids = sorted(p.stem for p in (universe / "bundle" / "h5" / "equities").glob("*.h5"))
    tick_ids = sorted(p.stem for p in (universe / "bundle" / "ticks").glob("*.h5"))
    with h5py.File(universe / "bundle" / "ticks" / f"{tick_ids[0]}.h5", "r") as f:
        days = sorted(int(d) for d in f if not d.startswith("."))[-20:]
    month = (20261101, 20261130)
    return {
        "month, arrays": lambda: tb.read_minbar(universe, ids, *month),
        "month, frame": lambda: tb.read_minbar(universe, ids, *month, as_frame=True),
        "whole 100, arrays": lambda: tb.read_minbar(universe, ids[:100]),
        "whole 100, frame": lambda: tb.read_minbar(universe, ids[:100], as_frame=True),
        "20-year file, arrays": lambda: tb.read_minbar(root, ID),
        "ticks, arrays": lambda: tb.read_ticks(universe, tick_ids, days[0], days[-1]),
        "ticks, frame": lambda: tb.read_ticks(universe, tick_ids, days[0], days[-1], as_frame=True),
    }


MEMORY_CASES = ["month, arrays", "month, frame", "whole 100, arrays", "whole 100, frame", "20-year file, arrays",
                "ticks, arrays", "ticks, frame"]
ARGS = None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--work", default="/tmp/tarnwick-read-bench")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--panels", action="store_true", help="read panels against the careful h5py loop")
    parser.add_argument("--stocks", type=int, default=600, help="simulated stocks of the panel universe")
    parser.add_argument("--memory-case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    global ARGS
    ARGS = args
    root = Path(args.work)
    if args.memory_case:
        work = memory_cases(root)[args.memory_case]
        before = status("VmHWM")
        result = work()
        print(size_of(result), max(0, status("VmHWM") - before))
        return 0
    if args.panels:
        return panels(args, root)
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
