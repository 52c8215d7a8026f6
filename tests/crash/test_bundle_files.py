"""The crash harnesses' reader and verdicts, on store files made here with h5py: a sound
interrupted state must pass, and each kind of damage the harnesses look for must be caught."""
import os
import sys

import h5py
import numpy as np
import pytest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bundle_files as bf  # noqa: E402

EQ = np.dtype([("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
               ("volume", "<f8"), ("total_turnover", "<f8")])
IDX = np.dtype([("date", "<i4"), ("line_no", "<u4")])
TICK = np.dtype([("date", "<u4"), ("time", "<u4"), ("last", "<i8")])
DAYS = [20261201, 20261202, 20261203, 20261204]


def bars(days, per_day=3):
    rows = [(d * 1000000 + 93100 + 100 * i, 1.0 + i, 2.0, 0.5, 1.5, 100.0 * (i + 1), 150.0) for d in days
            for i in range(per_day)]
    data = np.array(rows, dtype=EQ)
    index = np.array([(d, k * per_day) for k, d in enumerate(days)], dtype=IDX)
    return data, index


def write_minbar(path, data, index):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=data, maxshape=(None,), chunks=True)
        f.create_dataset("index", data=index, maxshape=(None,), chunks=True)


def write_ticks(path, days):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with h5py.File(path, "w") as f:
        for d in days:
            f.create_dataset(str(d), data=np.array([(d, 93003000 + i, 10 * d + i) for i in range(4)], dtype=TICK))


REL_BAR = "bundle/h5/equities/000001.XSHE.h5"
REL_TICK = "bundle/ticks/000001.XSHE.h5"


@pytest.fixture
def three(tmp_path):
    """Base with two days, reference with four; the trial starts as a copy of the base."""
    roots = {n: str(tmp_path / n) for n in ("base", "ref", "trial")}
    for name, days in (("base", DAYS[:2]), ("ref", DAYS), ("trial", DAYS[:2])):
        write_minbar(os.path.join(roots[name], REL_BAR), *bars(days))
        write_ticks(os.path.join(roots[name], REL_TICK), days)
    return roots


def verdicts(roots, interrupted=True):
    base, trial, ref = (bf.snapshot(roots[n]) for n in ("base", "trial", "ref"))
    found, leftovers = bf.compare_bundles(base, trial, ref, interrupted)
    return {v.rel: v for v in found}, leftovers


class TestSoundStates:
    def test_the_base_itself_and_a_day_prefix_of_the_reference_pass(self, three):
        v, _ = verdicts(three)
        assert not any(x.damaged for x in v.values())
        write_minbar(os.path.join(three["trial"], REL_BAR), *bars(DAYS[:3]))
        write_ticks(os.path.join(three["trial"], REL_TICK), DAYS[:3])
        v, _ = verdicts(three)
        assert not any(x.damaged for x in v.values()), [x.describe() for x in v.values()]

    def test_a_temporary_file_is_a_leftover_not_damage(self, three):
        with open(os.path.join(three["trial"], "bundle/h5/equities/600519.XSHG.h5.tmp"), "wb") as f:
            f.write(b"partial")
        v, leftovers = verdicts(three)
        assert leftovers == ["bundle/h5/equities/600519.XSHG.h5.tmp"]
        assert not any(x.damaged for x in v.values())

    def test_after_the_rerun_only_the_reference_itself_passes(self, three):
        v, _ = verdicts(three, interrupted=False)
        assert v[REL_BAR].damaged and v[REL_TICK].days_lost == 2
        for rel in (REL_BAR, REL_TICK):
            with open(os.path.join(three["ref"], rel), "rb") as src, open(os.path.join(three["trial"], rel), "wb") as d:
                d.write(src.read())
        v, _ = verdicts(three, interrupted=False)
        assert not any(x.damaged for x in v.values())


class TestMinuteBarDamage:
    def test_zeroed_stored_rows_lose_their_day(self, three):
        data, index = bars(DAYS[:3])
        data[4:] = np.zeros(1, dtype=EQ)          # rest of the second stored day and the new one
        write_minbar(os.path.join(three["trial"], REL_BAR), data, index)
        v, _ = verdicts(three)
        assert v[REL_BAR].days_lost == 1 and v[REL_BAR].days_before == 2
        assert any("rows outside their index day" in p for p in v[REL_BAR].problems)

    def test_stored_rows_overwritten_by_a_later_year(self, three):
        data, index = bars(DAYS[:2])
        data[5]["datetime"] = 20301204093100
        write_minbar(os.path.join(three["trial"], REL_BAR), data, index)
        v, _ = verdicts(three)
        assert v[REL_BAR].days_lost == 1

    def test_an_index_ahead_of_the_data_is_inconsistent_but_loses_no_stored_day(self, three):
        data, _ = bars(DAYS[:2])
        _, index = bars(DAYS)
        write_minbar(os.path.join(three["trial"], REL_BAR), data, index)
        v, _ = verdicts(three)
        assert v[REL_BAR].days_lost == 0 and v[REL_BAR].damaged
        assert any("points past the data" in p for p in v[REL_BAR].problems)

    def test_data_ahead_of_the_index_is_inconsistent(self, three):
        data, _ = bars(DAYS[:3])
        _, index = bars(DAYS[:2])
        write_minbar(os.path.join(three["trial"], REL_BAR), data, index)
        v, _ = verdicts(three)
        assert v[REL_BAR].days_lost == 0 and v[REL_BAR].damaged

    def test_a_truncated_file_is_unreadable_and_loses_every_day(self, three):
        path = os.path.join(three["trial"], REL_BAR)
        os.truncate(path, os.path.getsize(path) // 2)
        v, _ = verdicts(three)
        assert v[REL_BAR].unreadable and v[REL_BAR].days_lost == 2

    def test_a_missing_file_loses_every_day(self, three):
        os.unlink(os.path.join(three["trial"], REL_BAR))
        v, _ = verdicts(three)
        assert v[REL_BAR].unreadable == "missing" and v[REL_BAR].days_lost == 2

    def test_night_bars_belong_to_the_next_day_in_groups_with_night_sessions(self):
        data = np.array([(20261204210100, 1, 1, 1, 1, 1, 1), (20261207093100, 1, 1, 1, 1, 1, 1),
                         (20261207150000, 1, 1, 1, 1, 1, 1)], dtype=EQ)
        index = np.array([(20261204, 0), (20261207, 1)], dtype=IDX)
        data0 = np.array([(20261204150000, 1, 1, 1, 1, 1, 1)], dtype=EQ)
        m = bf.Minbar(np.concatenate([data0, data]), np.array([(20261204, 0), (20261207, 1)], dtype=IDX))
        assert bf.minbar_index_problems(m, night_sessions=True) == []
        assert bf.minbar_index_problems(m, night_sessions=False) != []
        assert bf.minbar_index_problems(bf.Minbar(data, index), night_sessions=True) != []  # day ends on a night bar


class TestTickDamage:
    def test_a_changed_stored_day_is_lost(self, three):
        path = os.path.join(three["trial"], REL_TICK)
        with h5py.File(path, "a") as f:
            f[str(DAYS[1])][0] = np.zeros(1, dtype=TICK)[0]
        v, _ = verdicts(three)
        assert v[REL_TICK].days_lost == 1

    def test_a_gap_and_a_foreign_member_are_inconsistent(self, three):
        write_ticks(os.path.join(three["trial"], REL_TICK), DAYS[:2] + DAYS[3:])
        v, _ = verdicts(three)
        assert v[REL_TICK].days_lost == 0 and any("missing between" in p for p in v[REL_TICK].problems)
        with h5py.File(os.path.join(three["trial"], REL_TICK), "a") as f:
            f.create_dataset(".tmp-20261203", data=np.zeros(2, dtype=TICK))
        v, _ = verdicts(three)
        assert any("does not have" in p for p in v[REL_TICK].problems)
