#!/usr/bin/python3
"""Reads tick store files the way the host's tick loader does (h5py with hdf5plugin) and checks
them against the service's raw ticks, dumped next to them by the C++ test.

usage: check_tick_files.py MANIFEST.json

The manifest lists, per file: its path, the dump prefix, the number of rows, the dumped columns
and the suspended days that must appear as empty datasets. The dump holds the tick table exactly
as the service returned it: time stamps (int64 microseconds since 1970-01-01, local time),
trading dates (int32 YYYYMMDD) and one float64 file per column.

Everything the file should hold is derived here independently of the C++ code: duplicate time
stamps (the last one survives), grouping by trading date, date/time from the time stamp, and
scaling (round half away from zero; not-a-number stores 0).

Exit status 0 when every check holds; otherwise the failures are printed and the status is 1.
"""
import json
import os
import re
import sys

import h5py
import hdf5plugin  # noqa: F401  (registers the Blosc filter with h5py, as the host does)
import numpy as np

PRICE = 10000
LAYOUT = (
    [("date", "<u4", 1), ("time", "<u4", 1)]
    + [(n, "<i8", PRICE) for n in ("open", "last", "high", "low", "prev_close", "limit_up", "limit_down")]
    + [("volume", "<i8", 1), ("total_turnover", "<i8", 1), ("open_interest", "<i8", 1)]
    + [(f"a{i}", "<i8", PRICE) for i in range(1, 6)]
    + [(f"a{i}_v", "<i8", 1) for i in range(1, 6)]
    + [(f"b{i}", "<i8", PRICE) for i in range(1, 6)]
    + [(f"b{i}_v", "<i8", 1) for i in range(1, 6)]
)
DTYPE = np.dtype([(name, code) for name, code, _ in LAYOUT])
BLOSC_FILTER = 32001
BLOSC_LZ4 = 1
DAY_US = 86_400_000_000

failures = []


def fail(text):
    failures.append(text)


def round_half_away(values):
    out = np.sign(values) * np.floor(np.abs(values) + 0.5)
    out[~np.isfinite(out)] = 0
    return out.astype(np.int64)


def dates_and_times(stamps_us):
    days = (stamps_us // DAY_US).astype("datetime64[D]")
    years = days.astype("datetime64[Y]").astype(np.int64) + 1970
    months = days.astype("datetime64[M]").astype(np.int64) % 12 + 1
    mdays = (days - days.astype("datetime64[M]")).astype(np.int64) + 1
    ms = (stamps_us % DAY_US) // 1000
    hhmmssmmm = (ms // 3_600_000) * 10_000_000 + (ms // 60_000 % 60) * 100_000 + (ms // 1000 % 60) * 1000 + ms % 1000
    return (years * 10000 + months * 100 + mdays).astype(np.uint32), hhmmssmmm.astype(np.uint32)


def expected_days(dump_dir, entry):
    prefix = os.path.join(dump_dir, entry["prefix"])
    rows = entry["rows"]
    stamps = np.fromfile(prefix + ".timestamp.i8", dtype="<i8")
    trading = np.fromfile(prefix + ".trading_date.i4", dtype="<i4")
    columns = {name: np.fromfile(f"{prefix}.{name}.f8", dtype="<f8") for name in entry["columns"]}
    for name, values in [("timestamp", stamps), ("trading_date", trading)] + list(columns.items()):
        if len(values) != rows:
            fail(f"{entry['prefix']}: dump of {name} has {len(values)} values, expected {rows}")
            return {}
    # Of equal time stamps the last row survives, at its own place.
    _, first_from_end = np.unique(stamps[::-1], return_index=True)
    keep = np.sort(rows - 1 - first_from_end)
    dates, times = dates_and_times(stamps)
    days = {}
    for day in np.unique(trading[keep]):
        chosen = keep[trading[keep] == day]
        records = np.zeros(len(chosen), dtype=DTYPE)
        records["date"] = dates[chosen]
        records["time"] = times[chosen]
        for name, _, scale in LAYOUT[2:]:
            if name in columns:
                records[name] = round_half_away(columns[name][chosen] * scale)
        days[f"{int(day):08d}"] = records
    return days


def filters_of(dataset):
    plist = dataset.id.get_create_plist()
    return [plist.get_filter(i) for i in range(plist.get_nfilters())]


def check_file(dump_dir, entry):
    path = entry["path"]
    want = expected_days(dump_dir, entry)
    suspended = {f"{int(d):08d}" for d in entry["suspended"]}
    if not want:
        fail(f"{path}: the dump holds no ticks; nothing would be checked")
        return
    with h5py.File(path, "r") as f:
        names = set(f.keys())
        for name in names:
            if not re.fullmatch(r"\d{8}", name):
                fail(f"{path}: member {name!r} is not a day")
        if names != set(want) | suspended:
            fail(f"{path}: days {sorted(names)} differ from the expected {sorted(set(want) | suspended)}")
        for name in sorted(names & suspended - set(want)):
            ds = f[name]
            if ds.shape != (0,) or ds.dtype != DTYPE or filters_of(ds):
                fail(f"{path}/{name}: a suspended day must be an empty, unfiltered dataset of the tick type")
        for name in sorted(names & set(want)):
            ds = f[name]
            if ds.dtype != DTYPE:
                fail(f"{path}/{name}: dtype {ds.dtype} differs from the layout {DTYPE}")
                continue
            filters = filters_of(ds)
            if len(filters) != 1 or filters[0][0] != BLOSC_FILTER:
                fail(f"{path}/{name}: filters {filters}, expected Blosc ({BLOSC_FILTER}) alone")
            else:
                values = filters[0][2]
                if len(values) < 7 or values[4] != 9 or values[6] != BLOSC_LZ4:
                    fail(f"{path}/{name}: Blosc options {values}, expected level 9 and LZ4")
            data = ds[()]
            expected = want[name]
            if data.shape != expected.shape:
                fail(f"{path}/{name}: {data.shape[0]} ticks, expected {expected.shape[0]}")
                continue
            for field in DTYPE.names:
                if not np.array_equal(data[field], expected[field]):
                    row = int(np.argmax(data[field] != expected[field]))
                    fail(f"{path}/{name}: field {field} row {row}: {data[field][row]} != {expected[field][row]}")


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    manifest_path = sys.argv[1]
    with open(manifest_path, encoding="utf-8") as f:
        manifest = json.load(f)
    dump_dir = os.path.dirname(os.path.abspath(manifest_path))
    if not manifest["files"]:
        fail("the manifest lists no file")
    for entry in manifest["files"]:
        check_file(dump_dir, entry)
    for text in failures:
        print(text)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
