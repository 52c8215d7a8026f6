"""Dry runs and refetches through the Python functions and the command line. The clock stands at
2026-12-04 18:00 (conftest); a correction needs the market's environment, so it runs the CLI."""

import json

import h5py
import numpy as np

import tarnwick.bundle as tb


def test_a_plan_changes_nothing_and_names_the_days_the_update_then_stores(tmp_path, run_cli):
    root = tmp_path / "root"
    plan = tb.plan_update(str(root), base=True, minbar=["000001.XSHE"], tick=["IF2612"], rebuild=True)
    assert not root.exists()
    items = {(i["kind"], i["order_book_id"]): i for i in plan["instruments"]}
    assert plan["base"] and plan["rebuild"] and items[("minbar", "000001.XSHE")]["action"] == "create"
    assert tb.update_bundle_from_tickwirec(1, str(root), True, ["000001.XSHE"], ["IF2612"], False)
    with h5py.File(root / "bundle" / "h5" / "equities" / "000001.XSHE.h5", "r") as f:
        assert items[("minbar", "000001.XSHE")]["last_day"] == int(f["index"]["date"][-1])
    with h5py.File(root / "bundle" / "ticks" / "IF2612.h5", "r") as f:
        assert items[("tick", "IF2612")]["last_day"] == int(max(f.keys()))
    after = json.loads(run_cli("update-existing", root, "--dry-run", "--json").stdout)
    assert {i["action"] for i in after["instruments"]} == {"current"}


def test_a_correction_is_taken_in_and_refetching_the_original_restores_the_file(tmp_path, run_cli):
    root = tmp_path / "root"
    h5 = root / "bundle" / "h5"
    assert tb.update_bundle_from_tickwirec(1, str(root), True, ["IF2612"], [], False)
    path = h5 / "future" / "IF2612.h5"
    with h5py.File(path, "r") as f:
        before = f["data"][:], f["index"][:]
    fixed = run_cli("update-minbar", h5, "IF2612", "--refetch", "20261130:20261204", "-j", "1",
                    env={"TARNWICK_SIM_CORRECTIONS": "IF2612:20261201-20261202"})
    assert "IF2612: 2 days replaced (different), 3 identical, 0 added" in fixed.stdout
    with h5py.File(path, "r") as f:
        assert len(f["index"]) == len(before[1]) and not np.array_equal(f["data"][:], before[0])
    assert tb.refetch_minbar(str(h5), ["IF2612"], "2026-11-30", "")
    with h5py.File(path, "r") as f:
        assert np.array_equal(f["data"][:], before[0]) and np.array_equal(f["index"][:], before[1])
