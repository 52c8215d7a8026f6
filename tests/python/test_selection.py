"""The recorded selection end to end: a first download stopped with Ctrl-C, or a file deleted
since, shows as absent in `status` until `update-existing --selection` (tarnwick.bundle.
update_selection) fetches it. The clock stands at 2026-12-04 18:00 (conftest)."""

import json
import os
import signal
import subprocess
import time

import tarnwick.bundle as tb

# About fifty stocks, as in a real first download, so that Ctrl-C lands while most are still to do.
STOCKS = {"TARNWICK_SIM_STOCKS": "40"}


def absent_of(document, with_leftovers=True):
    return {(f["kind"], f["instrument"]) for f in document["files"]
            if "absent" in f["flags"] and (with_leftovers or not f["leftovers"])}


def test_a_stopped_first_download_is_absent_until_update_existing_fetches_the_selection(tmp_path, cli_path, run_cli):
    root = tmp_path / "root"
    assert run_cli("update", root, "--base", "-q", env=STOCKS).returncode == 0
    equities = root / "bundle" / "h5" / "equities"
    update = subprocess.Popen([cli_path, "update-minbar", str(root / "bundle" / "h5"), "stock", "-j", "1", "-q"],
                              env={**os.environ, **STOCKS}, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not list(equities.glob("*.h5")):
        time.sleep(0.005)
    os.killpg(update.pid, signal.SIGINT)
    out, _ = update.communicate(timeout=60)
    assert update.returncode == 130 and "Interrupted:" in out, out

    status = run_cli("status", root, "--json", env=STOCKS)
    assert status.returncode == 1
    document = json.loads(status.stdout)
    absent = absent_of(document)
    held = {f["instrument"] for f in document["files"] if f["exists"]}
    selected = json.loads((root / "bundle" / ".tarnwick" / "selection.json").read_text())["minbar"]
    assert [r["tags"] for r in selected] == [["stock"]]
    assert len(absent) >= 10 and {("minbar", i) for i in selected[0]["instruments"]} - absent == {
        ("minbar", i) for i in held} | {("minbar", "000003.XSHE")}  # delisted in 2002: never fetched
    assert sum(g["absent"] for g in document["groups"]) == len(absent)
    text = run_cli("status", root, "--all", env=STOCKS).stdout
    assert "everything is current" not in text and text.count(" absent: ") == len(absent)

    # The plain incremental update keeps its meaning: it finishes files a stopped run left half
    # made (their leftovers name them), nothing else.
    plain = run_cli("update-existing", root, "-q", env=STOCKS)
    assert plain.returncode == 0
    assert absent_of(tb.status(str(root))) == absent_of(document, with_leftovers=False)
    brought = run_cli("update-existing", root, "--selection", "-q", "-j", "2", env=STOCKS)
    assert brought.returncode == 0, brought.stderr
    assert "without a store file" in brought.stdout
    after = run_cli("status", root, env=STOCKS)
    assert after.returncode == 0 and "everything is current and complete" in after.stdout, after.stdout


def test_update_selection_fetches_what_a_check_deleted(tmp_path):
    root = tmp_path / "root"
    assert tb.update_bundle_from_tickwirec(1, str(root), False, ["IF2612"], ["IF2612", "000001.XSHE"], False)
    (root / "bundle" / "ticks" / "000001.XSHE.h5").unlink()  # as `check tick` deletes an abnormal file
    assert absent_of(tb.status(str(root))) == {("tick", "000001.XSHE")}
    assert tb.update_selection(1, root) is True
    assert (root / "bundle" / "ticks" / "000001.XSHE.h5").exists()
    assert absent_of(tb.status(str(root))) == set()
