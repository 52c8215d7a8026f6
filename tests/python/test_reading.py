"""read_minbar, read_ticks and `tarnwick-bundle read` against h5py reading the same files.

The bundle holds a stock with suspended days (000002.XSHE: 2026-11-24 and 25) and a futures
contract with night sessions (IF2612), minute bars and ticks of both.
"""
import io
import os
import shutil
import subprocess

import h5py
import hdf5plugin  # noqa: F401  (the Blosc filter for h5py)
import numpy as np
import pytest

import tarnwick.bundle as tb

SUSPENDED = 20261124


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    root = tmp_path_factory.mktemp("reading")
    assert tb.update_bundle_from_tickwirec(1, str(root), True, ["000002.XSHE", "IF2612"],
                                           ["000002.XSHE", "IF2612"], False) is True
    return root


def store_file(root, kind, order_book_id):
    if kind == "ticks":
        return root / "bundle" / "ticks" / f"{order_book_id}.h5"
    group = "future" if order_book_id.startswith("IF") else "equities"
    return root / "bundle" / "h5" / group / f"{order_book_id}.h5"


def h5py_days(root, kind, order_book_id, start, end):
    """The records of the trading days [start, end] as h5py reads them, and the days held."""
    with h5py.File(store_file(root, kind, order_book_id), "r") as f:
        if kind == "ticks":
            days = sorted(int(d) for d in f if not d.startswith("."))
            parts = [f[str(d)][:] for d in days if start <= d <= end]
            return (np.concatenate(parts) if parts else f[str(days[0])][:0]), days
        bars, index = f["data"][:], f["index"][:]
    bounds = list(index["line_no"]) + [len(bars)]
    rows = [r for k, d in enumerate(index["date"]) if start <= d <= end for r in range(bounds[k], bounds[k + 1])]
    return bars[rows], list(index["date"])


RANGES = {
    "first day": lambda days: (days[0], days[0]),
    "last day": lambda days: (days[-1], days[-1]),
    "suspended day": lambda days: (SUSPENDED, SUSPENDED),
    "across the suspension": lambda days: (20261123, 20261126),
    "whole file": lambda days: (None, None),
    "open start": lambda days: (None, days[2]),
    "no data, later": lambda days: (20300101, 20300131),
    "no data, earlier": lambda days: (20000103, 20000105),
}


@pytest.mark.parametrize("kind", ["minbar", "ticks"])
@pytest.mark.parametrize("order_book_id", ["000002.XSHE", "IF2612"])
@pytest.mark.parametrize("name", RANGES)
def test_reads_equal_h5py(bundle, kind, order_book_id, name):
    _, days = h5py_days(bundle, kind, order_book_id, 0, 0)
    start, end = RANGES[name](days)
    expected, _ = h5py_days(bundle, kind, order_book_id, start or 0, end or 99991231)
    read = tb.read_minbar if kind == "minbar" else tb.read_ticks
    got = read(str(bundle), order_book_id, start, end)
    assert got.dtype == expected.dtype
    np.testing.assert_array_equal(got, expected)
    if name == "suspended day" and order_book_id == "000002.XSHE":
        assert len(got) == 0


def test_futures_night_session_belongs_to_the_next_trading_day(bundle):
    _, days = h5py_days(bundle, "minbar", "IF2612", 0, 0)
    bars = tb.read_minbar(bundle, "IF2612", days[3], days[3])
    evening = bars["datetime"] // 1000000 < days[3]
    assert evening.any() and (bars["datetime"][evening] % 1000000 >= 180000).all()
    _, days = h5py_days(bundle, "ticks", "IF2612", 0, 0)
    ticks = tb.read_ticks(bundle, "IF2612", str(days[3]), days[3])
    assert (ticks["date"] < days[3]).any() and (ticks["date"] <= days[3]).all()


@pytest.mark.parametrize("start", [20261123, "20261123", "2026-11-23", __import__("datetime").date(2026, 11, 23),
                                   np.int64(20261123)])
def test_day_forms(bundle, start):
    np.testing.assert_array_equal(tb.read_minbar(bundle, "000002.XSHE", start, 20261126),
                                  h5py_days(bundle, "minbar", "000002.XSHE", 20261123, 20261126)[0])


def test_frames_equal_the_readme_recipe(bundle):
    pd = pytest.importorskip("pandas")
    with h5py.File(store_file(bundle, "minbar", "000002.XSHE"), "r") as f:
        bars = pd.DataFrame(f["data"][:])
    bars.index = pd.to_datetime(bars.pop("datetime").astype(str), format="%Y%m%d%H%M%S")
    bars["trading_date"] = bars.index.normalize()
    pd.testing.assert_frame_equal(tb.read_minbar(bundle, "000002.XSHE", as_frame=True), bars, check_names=False)

    with h5py.File(store_file(bundle, "ticks", "IF2612"), "r") as f:
        ticks = pd.concat([pd.DataFrame(f[d][:]).assign(trading_date=pd.Timestamp(d)) for d in sorted(f)])
    prices = ["open", "last", "high", "low", "prev_close", "limit_up", "limit_down"] + \
             [f"{s}{i}" for s in "ab" for i in range(1, 6)]
    ticks[prices] = ticks[prices] / 10000
    ticks.index = pd.to_datetime(ticks["date"].astype(str) + ticks["time"].astype(str).str.zfill(9),
                                 format="%Y%m%d%H%M%S%f")
    ticks["tick_volume"] = ticks.groupby("trading_date")["volume"].diff().fillna(ticks["volume"]).astype("int64")
    got = tb.read_ticks(bundle, "IF2612", as_frame=True)
    assert list(got.columns[:12]) == ["date", "time", *prices[:7], "volume", "tick_volume", "total_turnover"]
    pd.testing.assert_frame_equal(got, ticks[got.columns], check_names=False)


@pytest.mark.parametrize("arguments, error, words", [
    (("NOPE.XSHE",), FileNotFoundError, "NOPE.XSHE"),
    (("000002.XSHE", 20261126, 20261123), ValueError, "after"),
    (("000002.XSHE", 20261131), ValueError, "20261131"),
    (("000002.XSHE", "Nov 23"), ValueError, "Nov 23"),
    (("000002.XSHE", 2026.5), TypeError, "float"),
    ((b"000002.XSHE",), TypeError, "order_book_id"),
    (("../equities/000002.XSHE",), ValueError, "not an instrument identifier"),
])
def test_refusals(bundle, arguments, error, words):
    with pytest.raises(error, match=words):
        tb.read_minbar(str(bundle), *arguments)


@pytest.mark.parametrize("kind", ["minbar", "ticks"])
def test_a_journal_is_read_past_and_an_hdf5_writer_waited_for(bundle, tmp_path, kind, monkeypatch):
    root = tmp_path / "copy"
    shutil.copytree(bundle, root)
    path = store_file(root, kind, "000002.XSHE")
    read = tb.read_minbar if kind == "minbar" else tb.read_ticks
    before = read(root, "000002.XSHE")
    with open(f"{path}.journal", "wb") as journal:
        journal.write(b"TWUNDO03" + bytes(56))  # an unsettled journal, made for no file of this name
    np.testing.assert_array_equal(read(root, "000002.XSHE"), before)
    assert os.path.exists(f"{path}.journal")  # a reader settles nothing
    monkeypatch.setenv("TARNWICK_READ_WAIT_SECONDS", "0.2")
    with h5py.File(path, "r+"):  # an HDF5 writer of another kind keeps the file to itself
        with pytest.raises(BlockingIOError):
            read(root, "000002.XSHE")


@pytest.mark.parametrize("kind, options", [("minbar", ["--start", "20261123", "--end", "2026-11-26"]),
                                           ("ticks", ["--ticks", "--start", "20261123", "--end", "20261126"])])
@pytest.mark.parametrize("form", ["csv", "npy"])
def test_command_line(bundle, cli_path, tmp_path, kind, options, form):
    expected, _ = h5py_days(bundle, kind, "000002.XSHE", 20261123, 20261126)
    out = tmp_path / f"out.{form}"
    subprocess.run([cli_path, "read", str(bundle), "000002.XSHE", *options, "--format", form, "-o", str(out)],
                   check=True)
    if form == "npy":
        got = np.load(out)
    else:
        text = out.read_text()
        assert text.splitlines()[0] == ",".join(expected.dtype.names)
        got = np.loadtxt(io.StringIO(text), delimiter=",", skiprows=1, dtype=expected.dtype, ndmin=1)
    np.testing.assert_array_equal(got, expected)


def test_documentation():
    for name in ("read_minbar", "read_ticks", "status"):
        doc = getattr(tb, name).__doc__
        assert "Returns" in doc or "what the bundle holds" in doc.lower()
    public = [n for n in dir(tb) if callable(getattr(tb, n)) and not isinstance(getattr(tb, n), type)]
    missing = [n for n in public if f"{n}(" not in tb.__doc__]
    assert not missing, f"the module's doc text does not describe {missing}"


# Files that other writers laid out: several chunks with a partly filled last one, chunks the
# store never writes (no filter, shuffled deflate, Blosc on minute bars), records stored
# big-endian.
LAYOUTS = {
    "blosc, small chunks": lambda kind, data: dict(chunks=(min(700, len(data)),), **tb.COMPRESSION_KWARGS),
    "no filter": lambda kind, data: dict(chunks=(700,), maxshape=(None,)),
    "gzip with shuffle": lambda kind, data: dict(chunks=(700,), compression="gzip", shuffle=True, maxshape=(None,)),
    "contiguous": lambda kind, data: dict(),
    "big-endian": lambda kind, data: dict(dtype=data.dtype.newbyteorder(">"), chunks=(min(700, len(data)),),
                                          compression="gzip"),
}


@pytest.mark.parametrize("kind", ["minbar", "ticks"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_files_of_other_writers(bundle, tmp_path, kind, layout):
    root = tmp_path / "other"
    source = store_file(bundle, kind, "IF2612")
    target = store_file(root, kind, "IF2612")
    target.parent.mkdir(parents=True)
    with h5py.File(source, "r") as f, h5py.File(target, "w") as g:
        for name in f:
            data = f[name][:]
            g.create_dataset(name, data=data, **(LAYOUTS[layout](kind, data) if len(data) else {}))
    _, days = h5py_days(root, kind, "IF2612", 0, 0)
    expected, _ = h5py_days(root, kind, "IF2612", days[1], days[-2])
    read = tb.read_minbar if kind == "minbar" else tb.read_ticks
    got = read(root, "IF2612", days[1], days[-2])
    assert len(got) == len(expected) > 0
    np.testing.assert_array_equal(got, expected.astype(got.dtype))


def test_empty_frames(bundle):
    pytest.importorskip("pandas")
    for read in (tb.read_minbar, tb.read_ticks):
        frame = read(bundle, "000002.XSHE", SUSPENDED, SUSPENDED, as_frame=True)
        assert len(frame) == 0 and str(frame.index.dtype) == "datetime64[ns]"


def h5py_trading_days(root, kind, order_book_id, start, end):
    """Each record's trading day, as the day index (or the day dataset holding it) says."""
    with h5py.File(store_file(root, kind, order_book_id), "r") as f:
        if kind == "ticks":
            days = [(int(d), len(f[d])) for d in sorted(f) if not d.startswith(".")]
        else:
            index, total = f["index"][:], len(f["data"])
            bounds = list(index["line_no"]) + [total]
            days = [(int(d), bounds[k + 1] - bounds[k]) for k, d in enumerate(index["date"])]
    return np.repeat([d for d, n in days if start <= d <= end], [n for d, n in days if start <= d <= end])


@pytest.mark.parametrize("kind", ["minbar", "ticks"])
@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("name", ["whole file", "across the suspension", "last day", "no data, later"])
def test_panels_equal_single_reads_and_h5py(bundle, kind, threads, name):
    pd = pytest.importorskip("pandas")
    read = tb.read_minbar if kind == "minbar" else tb.read_ticks
    start, end = RANGES[name](h5py_days(bundle, kind, "IF2612", 0, 0)[1])
    asked = ["IF2612", "NOPE.XSHE", "000002.XSHE", "IF2612", "GONE.XSHG"]
    with pytest.raises(FileNotFoundError, match="NOPE.XSHE, GONE.XSHG"):
        read(bundle, asked, start, end, threads=threads)
    arrays = read(bundle, asked, start, end, missing="skip", threads=threads)
    fields = ["close", "datetime"] if kind == "minbar" else ["last", "date", "volume"]
    picked = read(bundle, asked, start, end, fields=fields, missing="skip", threads=threads)
    frame = read(bundle, asked, start, end, as_frame=True, missing="skip", threads=threads)
    assert list(arrays) == list(picked) == ["IF2612", "000002.XSHE"]
    assert frame.index.names == ["order_book_id", "datetime"] and len(frame) == sum(map(len, arrays.values()))
    for order_book_id, got in arrays.items():
        expected, _ = h5py_days(bundle, kind, order_book_id, start or 0, end or 99991231)
        np.testing.assert_array_equal(got, expected)
        assert got.dtype == expected.dtype and picked[order_book_id].dtype.names == tuple(fields)
        for field in fields:
            np.testing.assert_array_equal(picked[order_book_id][field], expected[field])
        single = read(bundle, order_book_id, start, end, as_frame=True)
        part = frame[frame.index.get_level_values(0) == order_book_id].droplevel(0)
        np.testing.assert_array_equal(single["trading_date"].dt.strftime("%Y%m%d").astype(int),
                                      h5py_trading_days(bundle, kind, order_book_id, start or 0, end or 99991231))
        if kind == "minbar" and order_book_id == "000002.XSHE":  # beside a future, a stock's open interest is NaN
            assert part.pop("open_interest").isna().all()
        elif kind == "minbar":  # so the future's are floats
            single = single.astype({"open_interest": "float64"})
        pd.testing.assert_frame_equal(part, single, check_names=False)
    columns = read(bundle, asked, start, end, as_frame=True, missing="skip", fields=fields[::-1], threads=threads)
    assert list(columns.columns) == [f for f in fields[::-1] if f != "datetime"] + ["trading_date"]


@pytest.mark.parametrize("form", ["csv", "npy"])
def test_command_line_panels(bundle, cli_path, tmp_path, form):
    ids, out = ["IF2612", "000002.XSHE"], tmp_path / f"out.{form}"
    options = ["--fields", "date,time,last,volume", "--iso-times", "--scaled-prices"] if form == "csv" else []
    subprocess.run([cli_path, "read", str(bundle), *ids, "--ticks", "--start", "20261123", "--end", "20261126",
                    "--format", form, "-j", "2", "-o", str(out), *options], check=True)
    if form == "npy":
        got = np.load(out)
        assert got.dtype.names[0] == "order_book_id"
    else:
        lines = out.read_text().splitlines()
        assert lines[0] == "order_book_id,date,time,last,volume"
        rows = [line.split(",") for line in lines[1:]]
    for order_book_id in ids:
        expected, _ = h5py_days(bundle, "ticks", order_book_id, 20261123, 20261126)
        if form == "npy":
            mine = got[got["order_book_id"] == order_book_id.encode()]
            np.testing.assert_array_equal(mine[list(expected.dtype.names)], expected)
            continue
        mine = [[d, t, float(p), int(v)] for i, d, t, p, v in rows if i == order_book_id]
        assert mine == [[f"{d // 10000:04}-{d // 100 % 100:02}-{d % 100:02}",
                         f"{t // 10000000:02}:{t // 100000 % 100:02}:{t // 1000 % 100:02}.{t % 1000:03}",
                         p / 10000, v] for d, t, p, v in expected[["date", "time", "last", "volume"]]]
    refused = subprocess.run([cli_path, "read", str(bundle), *ids, "--format", "npy", "-o", str(tmp_path / "x")],
                             capture_output=True, text=True)
    assert refused.returncode != 0 and "open_interest" in refused.stderr and not (tmp_path / "x").exists()


@pytest.mark.parametrize("kind", ["minbar", "ticks"])
@pytest.mark.parametrize("threads", [1, 3])
def test_panels_mix_direct_chunks_with_chunks_hdf5_must_read(bundle, tmp_path, kind, threads):
    # A.XSHE: the store's own file; B.XSHE: its first chunk stored without its filter (HDF5
    # reads that one, so the file stays open past its fetch); C.XSHE: no filter at all;
    # D.XSHE: written in HDF5's latest format (other superblock, headers and chunk index);
    # E.XSHE: a chunk inside the range never written (HDF5 reads it as fill values).
    root, members = tmp_path / "mixed", ["A.XSHE", "B.XSHE", "C.XSHE", "D.XSHE", "E.XSHE"]
    for order_book_id in members:
        store_file(root, kind, order_book_id).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(store_file(bundle, kind, "000002.XSHE"), store_file(root, kind, order_book_id))
    with h5py.File(store_file(root, kind, "B.XSHE"), "r+") as f:
        dataset = f["data" if kind == "minbar" else [n for n in sorted(f) if f[n].chunks and len(f[n])][0]]
        raw = np.zeros(dataset.chunks[0], dataset.dtype)
        raw[:min(len(raw), len(dataset))] = dataset[:len(raw)]
        dataset.id.write_direct_chunk((0,), raw.tobytes(), filter_mask=1)
    with h5py.File(store_file(root, kind, "C.XSHE"), "r+") as f:
        for name in [n for n in f if n != "index"]:
            data = f[name][:]
            del f[name]
            f.create_dataset(name, data=data, chunks=(700,), maxshape=(None,))
    with h5py.File(store_file(bundle, kind, "000002.XSHE"), "r") as f, \
            h5py.File(store_file(root, kind, "D.XSHE"), "w", libver="latest") as g:
        for name in f:
            g.create_dataset(name, data=f[name][:], chunks=f[name].chunks or True, maxshape=(None,), compression=9)
    assert store_file(root, kind, "D.XSHE").read_bytes()[8] >= 2  # the superblock's version
    with h5py.File(store_file(root, kind, "E.XSHE"), "r+") as f:
        name = "data" if kind == "minbar" else max(f, key=lambda n: len(f[n]))
        data, chunk = f[name][:], len(f[name]) // 3
        del f[name]
        hole = f.create_dataset(name, data.shape, data.dtype, chunks=(chunk,), maxshape=(None,), compression=9)
        hole[:chunk], hole[2 * chunk:] = data[:chunk], data[2 * chunk:]
        assert hole.id.get_num_chunks() == 2
    _, days = h5py_days(bundle, kind, "000002.XSHE", 0, 99991231)
    read = tb.read_minbar if kind == "minbar" else tb.read_ticks
    got = read(root, members, days[0], days[-1], threads=threads)
    for order_book_id in members:
        expected, _ = h5py_days(root, kind, order_book_id, days[0], days[-1])
        assert len(expected) > 0
        np.testing.assert_array_equal(got[order_book_id], expected)
