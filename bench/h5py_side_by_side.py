"""The plain h5py way of the minute-bar store's work, for bench/side_by_side.cpp, which runs it
on the same records and compares. Each command prints "key value" lines; times are this
process's CPU time (time.process_time) around the work alone, reading the inputs excluded.

  minbar OURS DAYS APPENDS REPEAT DIR
      OURS is a store file written by the C++ store (DAYS + APPENDS days). Create a file of its
      first DAYS days with h5py as the loaders' writers do (chunks=True, gzip 9, no shuffle,
      unlimited), then append the other days one at a time (open, resize, assign, close).
      Best of REPEAT. Exits 1 when the records written differ from OURS.
  check ROOT
      The check's file work on every ROOT/bundle/h5/*/*.h5: read "index" and the "datetime"
      field of "data", compare each day's first bar with its index date (09:31:00) and find the
      calendar days missing between the first and the last index date.
  tick COLUMNS OURS OUT REPEAT
      COLUMNS holds one stock's tick table as the service hands it over (timestamp.i8 and
      trading_date.i8 in microseconds, one NAME.f8 per column). Convert it with numpy (last of
      equal time stamps kept, date and time of day, values times their scale, rows grouped by
      trading date) and write one dataset a day with h5py through the Blosc plug-in (LZ4, level
      9, shuffle). Best of REPEAT. Exits 1 when the records differ from OURS (the C++ store's
      file of the same table).
"""
import glob
import os
import sys
import time

import h5py
import hdf5plugin
import numpy as np


def minbar(ours, days, appends, repeat, work):
    days, appends, repeat = int(days), int(appends), int(repeat)
    with h5py.File(ours, "r") as f:
        data = f["data"][:]
        index = f["index"][:]
    if len(index) != days + appends:
        sys.exit(f"{ours} holds {len(index)} days, expected {days + appends}")
    first_row = [int(r) for r in index["line_no"]] + [len(data)]
    path = os.path.join(work, "h5py.h5")
    best_create = best_append = None
    for _ in range(repeat):
        if os.path.exists(path):
            os.remove(path)
        start = time.process_time()
        with h5py.File(path, "w") as f:
            f.create_dataset("data", data=data[:first_row[days]], chunks=True, compression="gzip",
                             compression_opts=9, shuffle=False, maxshape=(None,))
            f.create_dataset("index", data=index[:days], chunks=True, compression="gzip",
                             compression_opts=9, shuffle=False, maxshape=(None,))
        create = time.process_time() - start
        start = time.process_time()
        for day in range(days, days + appends):
            with h5py.File(path, "a") as f:
                for name, rows in (("index", index[day:day + 1]), ("data", data[first_row[day]:first_row[day + 1]])):
                    old = f[name].shape[0]
                    f[name].resize((old + len(rows),))
                    f[name][old:] = rows
                    f.flush()
        append = (time.process_time() - start) / appends
        best_create = create if best_create is None else min(best_create, create)
        best_append = append if best_append is None else min(best_append, append)
    with h5py.File(path, "r") as f:
        same = f["data"][:].tobytes() == data.tobytes() and f["index"][:].tobytes() == index.tobytes()
        chunk_rows = f["data"].chunks[0]
    print(f"create_cpu_s {best_create:.6f}")
    print(f"append_cpu_s {best_append:.6f}")
    print(f"file_bytes {os.path.getsize(path)}")
    print(f"chunk_rows {chunk_rows}")
    if not same:
        print("records differ from the C++ store's", file=sys.stderr)
        return 1
    return 0


def check(root):
    calendar = np.load(os.path.join(root, "bundle", "trading_dates.npy")).astype(np.int64)
    files = glob.glob(os.path.join(root, "bundle", "h5", "*", "*.h5"))
    start = time.process_time()
    wall = time.perf_counter()
    good = 0
    for path in files:
        with h5py.File(path, "r") as f:
            index = f["index"][:]
            datetimes = f["data"].fields("datetime")[:]
        dates = index["date"].astype(np.int64)
        first_bars = datetimes[index["line_no"]]
        if np.any(first_bars != dates * 1000000 + 93100):
            continue
        lo, hi = np.searchsorted(calendar, dates[0]), np.searchsorted(calendar, dates[-1])
        missing = np.setdiff1d(calendar[lo:hi + 1], dates)
        if len(missing) == 0:
            good += 1
    print(f"check_cpu_s {time.process_time() - start:.6f}")
    print(f"check_wall_s {time.perf_counter() - wall:.6f}")
    print(f"files {len(files)}")
    print(f"good {good}")
    return 0


PRICE_SCALE = 10000
PRICE_FIELDS = {"open", "last", "high", "low", "prev_close", "limit_up", "limit_down",
                "a1", "a2", "a3", "a4", "a5", "b1", "b2", "b3", "b4", "b5"}


def ymd(days):
    """datetime64[D] -> YYYYMMDD integers."""
    years = days.astype("datetime64[Y]")
    months = days.astype("datetime64[M]")
    return ((years.astype(np.int64) + 1970) * 10000 + (months - years).astype(np.int64) * 100 + 100
            + (days - months).astype(np.int64) + 1)


def scaled(values, scale):
    """round(value * scale), half away from zero; 0 for what is not a finite number."""
    x = values * scale
    out = np.trunc(x + np.copysign(0.5, x))
    out[~np.isfinite(out)] = 0
    return out.astype("<i8")


def convert(columns, stamps, trading, dtype):
    reverse_first = np.unique(stamps[::-1], return_index=True)[1]
    keep = np.sort(len(stamps) - 1 - reverse_first)
    stamps = stamps[keep].astype("datetime64[us]")
    days = stamps.astype("datetime64[D]")
    micros = (stamps - days).astype(np.int64)
    records = np.zeros(len(keep), dtype=dtype)
    records["date"] = ymd(days)
    seconds, millis = micros // 1000000, (micros // 1000) % 1000
    records["time"] = (seconds // 3600) * 10000000 + (seconds // 60 % 60) * 100000 + (seconds % 60) * 1000 + millis
    for name in dtype.names[2:]:
        if name in columns:
            records[name] = scaled(columns[name][keep], PRICE_SCALE if name in PRICE_FIELDS else 1)
    trading_days = ymd(trading[keep].astype("datetime64[us]").astype("datetime64[D]"))
    return records, trading_days


def tick(columns_dir, ours, out, repeat):
    stamps = np.fromfile(os.path.join(columns_dir, "timestamp.i8"), "<i8")
    trading = np.fromfile(os.path.join(columns_dir, "trading_date.i8"), "<i8")
    columns = {name[:-3]: np.fromfile(os.path.join(columns_dir, name), "<f8")
               for name in os.listdir(columns_dir) if name.endswith(".f8")}
    with h5py.File(ours, "r") as f:
        dtype = f[sorted(f.keys())[0]].dtype
        expected = {name: f[name][:] for name in f.keys()}
    best = None
    for _ in range(int(repeat)):
        if os.path.exists(out):
            os.remove(out)
        start = time.process_time()
        records, trading_days = convert(columns, stamps, trading, dtype)
        with h5py.File(out, "w") as f:
            for day in np.unique(trading_days):
                f.create_dataset(str(day), data=records[trading_days == day],
                                 **hdf5plugin.Blosc(cname="lz4", clevel=9, shuffle=hdf5plugin.Blosc.SHUFFLE))
        spent = time.process_time() - start
        best = spent if best is None else min(best, spent)
    with h5py.File(out, "r") as f:
        same = sorted(f.keys()) == sorted(expected) and all(
            f[name][:].tobytes() == expected[name].tobytes() for name in expected)
    print(f"tick_cpu_s {best:.6f}")
    print(f"ticks {len(stamps)}")
    print(f"file_bytes {os.path.getsize(out)}")
    if not same:
        print("tick records differ from the C++ store's", file=sys.stderr)
        return 1
    return 0


def main(argv):
    if len(argv) == 6 and argv[0] == "minbar":
        return minbar(*argv[1:])
    if len(argv) == 5 and argv[0] == "tick":
        return tick(*argv[1:])
    if len(argv) == 2 and argv[0] == "check":
        return check(argv[1])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
