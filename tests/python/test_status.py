"""tarnwick.bundle.status and `tarnwick-bundle status`, against a bundle written here with h5py
and numpy the way the host's own writers would, with a gap, a stale file, suspensions and
leftovers put in on purpose. The coverage page is loaded in a real browser (Debian's chromium,
headless) and its rendered DOM and pixels are checked; those tests skip without chromium.

The clock stands at 2026-12-04 18:00 (conftest), so updates fetch through Friday 2026-12-04.
"""

import datetime
import json
import os
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

import h5py
import numpy as np
import pytest

import tarnwick.bundle as tb
from conftest import run_process

EQUITIES = np.dtype([("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
                     ("volume", "<f8"), ("total_turnover", "<f8")])
INDEX = np.dtype([("date", "<i4"), ("line_no", "<u4")])


def weekdays(first, last):
    day = datetime.date(first // 10000, first // 100 % 100, first % 100)
    end = datetime.date(last // 10000, last // 100 % 100, last % 100)
    days = []
    while day <= end:
        if day.weekday() < 5:
            days.append(int(day.strftime("%Y%m%d")))
        day += datetime.timedelta(days=1)
    return days


def write_minbar(path, days):
    path.parent.mkdir(parents=True, exist_ok=True)
    data = np.zeros(2 * len(days), dtype=EQUITIES)
    data["datetime"] = [d * 1000000 + t for d in days for t in (93100, 93200)]
    index = np.array([(d, 2 * k) for k, d in enumerate(days)], dtype=INDEX)
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=data, maxshape=(None,), compression="gzip", compression_opts=9)
        f.create_dataset("index", data=index, maxshape=(None,), compression="gzip", compression_opts=9)


def write_ticks(path, days, extra=()):
    path.parent.mkdir(parents=True, exist_ok=True)
    with h5py.File(path, "w") as f:
        for name in [str(d) for d in days] + list(extra):
            f.create_dataset(name, data=np.zeros(3, dtype="<i8"))


@pytest.fixture
def bundle(tmp_path):
    b = tmp_path / "bundle"
    b.mkdir()
    np.save(b / "trading_dates.npy", np.array(weekdays(20261102, 20261231), dtype="<i8"))
    with h5py.File(b / "suspended_days.h5", "w") as f:
        f["000002.XSHE"] = np.array([20261110, 20261111], dtype="<i8")
    through = weekdays(20261102, 20261204)
    write_minbar(b / "h5/equities/000001.XSHE.h5", through)
    write_minbar(b / "h5/equities/600000.XSHG.h5", [d for d in through if d != 20261104])
    write_minbar(b / "h5/future/IF2612.h5", weekdays(20261102, 20261201))
    write_ticks(b / "ticks/000002.XSHE.h5", [d for d in through if d not in (20261110, 20261111, 20261120)],
                extra=[".tmp-20261204"])
    (b / "ticks/000001.XSHE.h5.tmp").write_bytes(b"half written")
    return tmp_path


def by_instrument(document, kind, instrument):
    matches = [f for f in document["files"] if f["kind"] == kind and f["instrument"] == instrument]
    assert len(matches) == 1, matches
    return matches[0]


def test_status_returns_plain_dicts_and_lists_with_the_figures_made(bundle):
    s = tb.status(str(bundle))
    assert type(s) is dict and type(s["files"]) is list and type(s["groups"]) is list
    json.dumps(s)  # nothing but plain data
    assert s["end_date"] == 20261204 and s["latest_trading_day"] == 20261204
    assert s["ok"] is False

    current = by_instrument(s, "minbar", "000001.XSHE")
    assert current["flags"] == ["current"]
    assert (current["first_date"], current["last_date"], current["days_held"], current["rows"]) == (
        20261102, 20261204, 25, 50)
    gap = by_instrument(s, "minbar", "600000.XSHG")
    assert gap["missing_dates"] == [20261104] and "incomplete" in gap["flags"]
    stale = by_instrument(s, "minbar", "IF2612")
    assert stale["group"] == "future" and stale["days_behind"] == 3 and stale["flags"] == ["stale"]
    ticks = by_instrument(s, "tick", "000002.XSHE")
    assert (ticks["days_suspended"], ticks["days_missing"], ticks["missing_dates"]) == (2, 1, [20261120])
    assert ticks["leftovers"] == [{"kind": "temporary member", "name": ".tmp-20261204"}]
    orphan = by_instrument(s, "tick", "000001.XSHE")
    assert orphan["exists"] is False and orphan["leftovers"][0]["kind"] == "temporary file"

    groups = {(g["kind"], g["group"]): g for g in s["groups"]}
    assert groups[("minbar", "equities")]["files"] == 2 and groups[("minbar", "equities")]["incomplete"] == 1
    assert groups[("minbar", "future")]["stale"] == 1
    assert groups[("tick", "ticks")]["files"] == 1 and groups[("tick", "ticks")]["leftovers"] == 2


def test_status_accepts_a_path_object_and_rejects_a_number(bundle):
    assert tb.status(Path(bundle))["bundle"].endswith("bundle")
    with pytest.raises(TypeError, match="data_bundle_path"):
        tb.status(3)


def test_cli_json_is_the_same_document(bundle, cli_path):
    result = run_process([cli_path, "status", str(bundle), "--json", "-j", "2"])
    assert result.returncode == 1, result.stderr
    assert json.loads(result.stdout) == tb.status(str(bundle))


def test_cli_exit_status_is_zero_once_everything_is_current(bundle, cli_path):
    b = bundle / "bundle"
    for name in ("h5/equities/600000.XSHG.h5", "h5/future/IF2612.h5", "ticks/000002.XSHE.h5",
                 "ticks/000001.XSHE.h5.tmp"):
        (b / name).unlink()
    result = run_process([cli_path, "status", str(bundle)])
    assert result.returncode == 0, result.stdout
    assert "everything is current and complete" in result.stdout


def test_names_keep_their_bytes_in_json_and_cannot_steer_the_terminal(bundle, cli_path):
    # A name as a damaged archive may carry: an ESC sequence, a line break, a byte not in UTF-8.
    path = os.fsencode(bundle / "bundle" / "ticks") + b"/E\x1b[2J\nforged\xff.h5"
    with open(path, "wb") as f:
        f.write(b"not HDF5")
    s = tb.status(str(bundle))
    [damaged] = [f for f in s["files"] if "unreadable" in f["flags"]]
    assert os.fsencode(damaged["path"]) == path
    assert os.fsencode(damaged["instrument"]) == b"E\x1b[2J\nforged\xff"
    assert json.loads(run_process([cli_path, "status", str(bundle), "--json"]).stdout) == s

    page = bundle / "page.html"
    text = run_process([cli_path, "status", str(bundle), "--all", "--html", str(page)]).stdout
    assert "\x1b" not in text and not any(line.startswith("forged") for line in text.splitlines()), text
    # Worst first: the unreadable file heads the list, before the leftovers, the gap and the stale file.
    listed = text[text.index("need attention:"):].splitlines()[1:]
    assert listed[0].startswith("  tick ticks/E\\x1b[2J\\x0aforged\\xff  unreadable: "), listed
    assert page.read_bytes().decode("utf-8").count("forged\\xff") > 0  # valid UTF-8, the name escaped


# ---- the page in a browser -------------------------------------------------------------------

CHROMIUM = shutil.which("chromium")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed (scripts/install-deps)")


def chromium(tmp_path, *arguments):
    command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               f"--user-data-dir={tmp_path / 'profile'}", "--hide-scrollbars", *arguments]
    return subprocess.run(command, capture_output=True, text=True, timeout=120,
                          env={"HOME": str(tmp_path), "PATH": "/usr/bin:/bin"})


def read_png(path):
    """(width, height, rows of (r, g, b) tuples) of an 8-bit RGB or RGBA PNG."""
    blob = Path(path).read_bytes()
    assert blob[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat = 8, b""
    while at < len(blob):
        length, kind = struct.unpack(">I4s", blob[at:at + 8])
        body = blob[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            up_left = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - up_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else up_left)) & 255
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, channels)])
        previous = line
    return width, height, rows


@pytest.fixture
def page(bundle, cli_path):
    path = bundle / "coverage.html"
    result = run_process([cli_path, "status", str(bundle), "--html", str(path)])
    assert result.returncode == 1, result.stderr
    return path


@needs_chromium
def test_browser_renders_the_chart_with_a_titled_cell_per_month(page, tmp_path):
    result = chromium(tmp_path, "--dump-dom", page.as_uri())
    assert result.returncode == 0, result.stderr
    from html.parser import HTMLParser

    class Collect(HTMLParser):
        def __init__(self):
            super().__init__()
            self.stack, self.rect_titles, self.groups, self.tables = [], [], [], 0

        def handle_starttag(self, tag, attrs):
            self.stack.append(tag)
            attrs = dict(attrs)
            if tag == "g" and attrs.get("class") == "group":
                self.groups.append(attrs["data-group"])
            self.tables += tag == "table"

        def handle_endtag(self, tag):
            while self.stack and self.stack.pop() != tag:
                pass

        def handle_data(self, data):
            if self.stack[-2:] == ["rect", "title"]:
                self.rect_titles.append(data)

    dom = Collect()
    dom.feed(result.stdout)
    assert dom.groups == ["minbar equities", "minbar future", "tick ticks"]
    assert dom.tables == 1
    assert "600000.XSHG, 2026-11: 20 trading days held, 1 missing" in dom.rect_titles
    assert "IF2612, 2026-12: 1 trading day held, 3 not yet fetched" in dom.rect_titles
    assert "000002.XSHE, 2026-11: 18 trading days held, 1 missing, 2 suspended" in dom.rect_titles


@needs_chromium
def test_browser_paints_missing_days_red_and_held_days_green(page, tmp_path):
    shot = tmp_path / "shot.png"
    result = chromium(tmp_path, f"--screenshot={shot}", "--window-size=1200,800", page.as_uri())
    assert result.returncode == 0 and shot.exists(), result.stderr
    width, height, rows = read_png(shot)
    assert (width, height) == (1200, 800)
    pixels = [p for row in rows for p in row]
    red = sum(1 for r, g, b in pixels if r > 180 and g < 120 and b < 110)
    green = sum(1 for r, g, b in pixels if g > r + 60 and g > b + 40)
    assert red > 20, "no missing-day cell was painted"
    assert green > 100, "no held-day cell was painted"


def test_audit_gives_the_findings_of_check_content_as_plain_data(bundle, cli_path):
    a = tb.audit(str(bundle))
    json.dumps(a)
    assert a["clean"] is False and a["files"] == {"minbar": 3, "tick": 1}
    # The bars written above are two of 0.0 a day: every day of every file is OHLC-inconsistent,
    # and the two-bar days are thin; the tick file holds no tick records and is not read.
    ohlc = {(f["instrument"], f["date"]) for f in a["findings"] if f["kind"] == "ohlc"}
    assert ohlc == {(i, d) for i, days in [("000001.XSHE", weekdays(20261102, 20261204)),
                                           ("600000.XSHG", [d for d in weekdays(20261102, 20261204) if d != 20261104]),
                                           ("IF2612", weekdays(20261102, 20261201))] for d in days}
    assert a["counts"]["thin_day"] == len(ohlc)
    # The tick file's only finding is the day a stopped update of an earlier version left unfinished.
    assert [(f["store"], f["kind"], f["date"]) for f in a["findings"] if f["store"] != "minbar"] == \
        [("tick", "non_day_member", 20261204)]
    assert [(s["store"], s["instrument"]) for s in a["skipped"]] == [("tick", "000002.XSHE")]
    result = run_process([cli_path, "check", "content", str(bundle), "--json"])
    assert result.returncode == 1 and json.loads(result.stdout) == a
