"""Reads every minute-bar store file below a directory the way the host's Python loaders do
and checks that it has the layout they rely on.

Usage: check_minbar_files.py DIR

A file's group is the name of its parent directory: "equities" files hold EQUITIES_DTYPE
bars, "future" and "option" files DERIVATIVES_DTYPE bars. Prints one line per problem and
exits with status 1 when there is any (2 when there is no store file at all), 0 otherwise.
"""
import os
import sys

import h5py
import numpy as np

EQUITIES_DTYPE = np.dtype([
    ("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
    ("volume", "<f8"), ("total_turnover", "<f8"),
])
DERIVATIVES_DTYPE = np.dtype([
    ("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
    ("open_interest", "<i8"), ("volume", "<f8"), ("total_turnover", "<f8"),
])
INDEX_DTYPE = np.dtype([("date", "<i4"), ("line_no", "<u4")])

GROUPS = {"equities": EQUITIES_DTYPE, "future": DERIVATIVES_DTYPE, "option": DERIVATIVES_DTYPE}
NIGHT_TRADING = {"future", "option"}


def compare_dtype(name, actual, expected, problems):
    """Field for field: names, order, offsets, byte order and widths, and the record size."""
    if actual != expected:
        problems.append(f"{name}: dtype {actual.descr} is not {expected.descr}")
    if actual.names != expected.names:
        problems.append(f"{name}: fields {actual.names} are not {expected.names}")
        return
    for field in expected.names:
        a_type, a_offset = actual.fields[field][:2]
        e_type, e_offset = expected.fields[field][:2]
        if a_offset != e_offset:
            problems.append(f"{name}: field {field} at offset {a_offset}, expected {e_offset}")
        if a_type.str != e_type.str:
            problems.append(f"{name}: field {field} is {a_type.str}, expected {e_type.str}")
    if actual.itemsize != expected.itemsize:
        problems.append(f"{name}: record size {actual.itemsize}, expected {expected.itemsize}")


def check_storage(name, dataset, problems):
    """Resizable without limit, chunked, and deflate level 9 as the only filter."""
    if dataset.ndim != 1:
        problems.append(f"{name}: {dataset.ndim} dimensions, expected 1")
    if dataset.maxshape != (None,):
        problems.append(f"{name}: maxshape {dataset.maxshape}, expected (None,)")
    if dataset.chunks is None:
        problems.append(f"{name}: not chunked")
    if dataset.compression != "gzip" or dataset.compression_opts != 9:
        problems.append(f"{name}: compression {dataset.compression} {dataset.compression_opts}, expected gzip 9")
    if dataset.shuffle:
        problems.append(f"{name}: shuffle filter present")
    if dataset.fletcher32 or dataset.scaleoffset is not None:
        problems.append(f"{name}: unexpected checksum or scale-offset filter")
    dcpl = dataset.id.get_create_plist()
    pipeline = [dcpl.get_filter(i)[:3] for i in range(dcpl.get_nfilters())]
    if [(code, tuple(values)) for code, _, values in pipeline] != [(h5py.h5z.FILTER_DEFLATE, (9,))]:
        problems.append(f"{name}: filter pipeline {pipeline}, expected deflate (9) alone")


def trading_dates(bars, night):
    """The trading date each bar belongs to, as far as the file itself can tell: the bar's
    calendar date, except that a night bar (18:00 or later) belongs to a later day."""
    dates = bars["datetime"] // 1000000
    if not night:
        return dates, np.zeros(len(bars), dtype=bool)
    return dates, (bars["datetime"] % 1000000) >= 180000


def check_consistency(name, data, index, night, problems):
    if len(data) == 0 or len(index) == 0:
        problems.append(f"{name}: empty datasets ({len(data)} bars, {len(index)} index entries)")
        return
    times = data["datetime"]
    if not np.all(np.diff(times) > 0):
        problems.append(f"{name}: bar times are not strictly ascending")
    dates = index["date"]
    if not np.all(np.diff(dates) > 0):
        problems.append(f"{name}: index dates are not ascending and unique")
    lines = index["line_no"].astype(np.int64)
    if lines[0] != 0:
        problems.append(f"{name}: first index entry points at row {lines[0]}")
    if not np.all(np.diff(lines) > 0):
        problems.append(f"{name}: index line numbers are not strictly ascending")
        return
    if lines[-1] >= len(data):
        problems.append(f"{name}: last index entry points at row {lines[-1]} of {len(data)}")
        return
    calendar, is_night = trading_dates(data, night)
    bounds = list(lines) + [len(data)]
    for k, date in enumerate(dates):
        rows = slice(bounds[k], bounds[k + 1])
        day_rows = calendar[rows][~is_night[rows]]
        night_rows = calendar[rows][is_night[rows]]
        if len(day_rows) == 0 or np.any(day_rows != date):
            problems.append(f"{name}: day bars of entry {date} carry dates {sorted(set(day_rows.tolist()))}")
        if len(night_rows) and np.any(night_rows >= date):
            problems.append(f"{name}: night bars of entry {date} are not from an earlier evening")
        if night and np.any(is_night[rows][1:] & ~is_night[rows][:-1]):
            problems.append(f"{name}: night bars of entry {date} do not open the day")
        if not night and times[bounds[k]] % 1000000 != 93100:
            problems.append(f"{name}: entry {date} does not start with a 09:31 bar")
    if calendar[-1] != dates[-1]:
        problems.append(f"{name}: last bar is of {calendar[-1]}, last index entry of {dates[-1]}")


def check_file(path, group, problems):
    name = path
    with h5py.File(path, "r") as f:
        if sorted(f.keys()) != ["data", "index"]:
            problems.append(f"{name}: root holds {sorted(f.keys())}")
            return
        if len(f.attrs):
            problems.append(f"{name}: root has attributes {list(f.attrs)}")
        for key in ("data", "index"):
            if not isinstance(f[key], h5py.Dataset):
                problems.append(f"{name}: {key} is not a dataset")
                return
            if len(f[key].attrs):
                problems.append(f"{name}/{key}: has attributes {list(f[key].attrs)}")
        compare_dtype(f"{name}/data", f["data"].dtype, GROUPS[group], problems)
        compare_dtype(f"{name}/index", f["index"].dtype, INDEX_DTYPE, problems)
        check_storage(f"{name}/data", f["data"], problems)
        check_storage(f"{name}/index", f["index"], problems)
        # Read as the loaders do: the whole index, the bars as one structured array.
        data = f["data"][:]
        index = f["index"][:]
    check_consistency(name, data, index, group in NIGHT_TRADING, problems)


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    problems = []
    found = 0
    for directory, _, files in os.walk(argv[1]):
        group = os.path.basename(directory)
        for file_name in sorted(files):
            if not file_name.endswith(".h5"):
                continue
            path = os.path.join(directory, file_name)
            if group not in GROUPS:
                problems.append(f"{path}: not in a group directory")
                continue
            found += 1
            try:
                check_file(path, group, problems)
            except Exception as error:  # a file h5py cannot read is a finding, not a crash
                problems.append(f"{path}: {type(error).__name__}: {error}")
    for problem in problems:
        print(problem)
    if found == 0:
        print(f"no store file below {argv[1]}")
        return 2
    print(f"{found} files checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
