"""An independent reader of a bundle's files (h5py and numpy, never the module's own code), and
the comparisons the crash harnesses make with it.

Three bundles meet in every comparison: the *base* (what was stored before a run), the *trial*
(what a killed or failed run left) and the *reference* (what the same run does when nothing goes
wrong). Updates only ever append, so a trial is sound when it holds every day of the base
unchanged and is otherwise a prefix of the reference cut at a day boundary; anything else is a
state a reader would misread, whatever the next run may make of it.
"""
from __future__ import annotations

import io
import os
import pickle
import re
from dataclasses import dataclass, field

import h5py
import hdf5plugin  # noqa: F401  (registers the Blosc filter of the tick files)
import numpy as np

DATE_NAME = re.compile(r"^\d{8}$")


# ------------------------------------------------------------------------------------------------
# Reading


@dataclass
class Minbar:
    data: np.ndarray
    index: np.ndarray
    extra_members: list[str] = field(default_factory=list)

    def days(self) -> list[tuple[int, int, int]]:
        """(date, first row, end row) of every index entry, as a reader of the index sees them."""
        starts = [int(v) for v in self.index["line_no"]]
        ends = starts[1:] + [len(self.data)]
        return [(int(d), s, e) for d, s, e in zip(self.index["date"], starts, ends)]


@dataclass
class Ticks:
    days: dict[str, np.ndarray]              # dataset name -> records
    bad_members: dict[str, str] = field(default_factory=dict)   # name -> why it cannot be read


@dataclass
class Datasets:  # suspended_days.h5 and any other plain HDF5 file
    members: dict[str, np.ndarray]


@dataclass
class Plain:  # trading_dates.npy, instruments.pk, anything else: compared as decoded value or bytes
    value: object


@dataclass
class Unreadable:
    error: str


def kind_of(rel: str) -> str:
    parts = rel.split("/")
    if len(parts) == 4 and parts[:2] == ["bundle", "h5"] and parts[3].endswith(".h5"):
        return "minbar"
    if len(parts) == 3 and parts[:2] == ["bundle", "ticks"] and parts[2].endswith(".h5"):
        return "tick"
    if rel == "bundle/trading_dates.npy":
        return "npy"
    if rel == "bundle/instruments.pk":
        return "pickle"
    if rel.endswith(".h5"):
        return "h5"
    return "bytes"


class _DataOnlyUnpickler(pickle.Unpickler):
    """The instrument list holds only lists, dicts, text, numbers and None: refuse anything else."""

    def find_class(self, module, name):
        raise pickle.UnpicklingError(f"unexpected object {module}.{name}")


def _read_h5_members(f: h5py.File) -> tuple[dict[str, np.ndarray], dict[str, str]]:
    members, bad = {}, {}
    for name in f.keys():
        try:
            obj = f[name]
            if not isinstance(obj, h5py.Dataset):
                bad[name] = "not a dataset"
                continue
            members[name] = obj[()]
        except Exception as e:  # h5py raises OSError, KeyError, RuntimeError, ValueError
            bad[name] = f"{type(e).__name__}: {e}"
    return members, bad


def read(path: str, rel: str):
    kind = kind_of(rel)
    try:
        if kind == "minbar":
            with h5py.File(path, "r") as f:
                names = sorted(f.keys())
                data, index = f["data"][()], f["index"][()]
                return Minbar(data, index, [n for n in names if n not in ("data", "index")])
        if kind == "tick":
            with h5py.File(path, "r") as f:
                days, bad = _read_h5_members(f)
                return Ticks(days, bad)
        if kind == "h5":
            with h5py.File(path, "r") as f:
                members, bad = _read_h5_members(f)
                if bad:
                    return Unreadable(f"members {sorted(bad)}: {next(iter(bad.values()))}")
                return Datasets(members)
        if kind == "npy":
            return Plain(np.load(path, allow_pickle=False))
        if kind == "pickle":
            with open(path, "rb") as fh:
                return Plain(_DataOnlyUnpickler(io.BytesIO(fh.read())).load())
        with open(path, "rb") as fh:
            return Plain(fh.read())
    except Exception as e:
        return Unreadable(f"{type(e).__name__}: {e}")


def list_files(root: str) -> list[str]:
    """Every file below `root`, as '/'-separated paths relative to it, sorted."""
    out = []
    for dirpath, _, files in os.walk(root):
        for name in files:
            out.append(os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/"))
    return sorted(out)


# Files that record how a run went (its wall time), not what the bundle holds.
RUN_RECORDS = ("update_rates.json",)


def snapshot(root: str, only_under: str = "bundle") -> dict[str, object]:
    return {rel: read(os.path.join(root, rel), rel) for rel in list_files(root)
            if rel.startswith(only_under + "/") and os.path.basename(rel) not in RUN_RECORDS}


# ------------------------------------------------------------------------------------------------
# Comparing


def same_array(a: np.ndarray, b: np.ndarray) -> bool:
    """Byte for byte, with the same record type (NaN-safe, unlike ==)."""
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def equal(a, b) -> bool:
    if type(a) is not type(b) or isinstance(a, Unreadable):
        return False
    if isinstance(a, Minbar):
        return same_array(a.data, b.data) and same_array(a.index, b.index) and a.extra_members == b.extra_members
    if isinstance(a, Ticks):
        return (not a.bad_members and not b.bad_members and a.days.keys() == b.days.keys()
                and all(same_array(a.days[k], b.days[k]) for k in a.days))
    if isinstance(a, Datasets):
        return a.members.keys() == b.members.keys() and all(same_array(a.members[k], b.members[k]) for k in a.members)
    if isinstance(a.value, np.ndarray):
        return isinstance(b.value, np.ndarray) and same_array(a.value, b.value)
    return a.value == b.value


def minbar_index_problems(m: Minbar, night_sessions: bool) -> list[str]:
    """What is wrong with a minute-bar file on its own: the index must name ascending unique dates
    whose first rows ascend from 0 inside the data, and every row must belong to its entry's date
    (in a group with night sessions an evening bar belongs to the next trading day, so a row may
    carry any calendar date from the previous entry's date up to its own, but a day ends with a
    bar of its own date before 18:00)."""
    problems = []
    n = len(m.data)
    dates = m.index["date"].astype(np.int64)
    lines = m.index["line_no"].astype(np.int64)
    if m.extra_members:
        problems.append(f"extra members {m.extra_members}")
    if len(m.index) == 0:
        return problems + ([f"{n} rows but an empty index"] if n else [])
    if np.any(np.diff(dates) <= 0):
        problems.append("index dates not ascending")
    if lines[0] != 0 or np.any(np.diff(lines) <= 0):
        problems.append("index rows not ascending from 0")
    if lines[-1] >= n:
        problems.append(f"index points past the data (row {int(lines[-1])} of {n})")
    if problems:
        return problems
    times = m.data["datetime"].astype(np.int64)
    if np.any(np.diff(times) <= 0):
        problems.append("bar times not ascending")
    row_dates = times // 1000000
    entry = np.repeat(np.arange(len(lines)), np.diff(np.append(lines, n)))
    own = dates[entry]
    if night_sessions:
        previous = np.concatenate([[0], dates[:-1]])[entry]
        wrong = (row_dates > own) | (row_dates < previous)
        last_rows = np.append(lines[1:], n) - 1
        wrong_last = (row_dates[last_rows] != dates) | (times[last_rows] % 1000000 >= 180000)
        if np.any(wrong_last):
            k = int(np.argmax(wrong_last))
            problems.append(f"day {int(dates[k])} ends with a bar of {int(row_dates[last_rows[k]])}")
    else:
        wrong = row_dates != own
    if np.any(wrong):
        r = int(np.argmax(wrong))
        problems.append(f"{int(np.count_nonzero(wrong))} rows outside their index day "
                        f"(first: row {r}, {int(times[r])} under {int(own[r])})")
    return problems


@dataclass
class Verdict:
    """One file of a trial against its base and reference."""
    rel: str
    days_before: int = 0        # days the base held
    days_lost: int = 0          # of those, how many a reader no longer finds unchanged
    unreadable: str = ""        # why the file could not be read at all
    problems: list[str] = field(default_factory=list)   # inconsistencies (index, partial days, ...)

    @property
    def damaged(self) -> bool:
        return bool(self.days_lost or self.unreadable or self.problems)

    def describe(self) -> str:
        bits = []
        if self.unreadable:
            bits.append("unreadable: " + self.unreadable[:160])
        if self.days_lost:
            bits.append(f"{self.days_lost}/{self.days_before} stored days lost")
        bits += [p[:160] for p in self.problems[:3]]
        return f"{self.rel}: " + "; ".join(bits)


def _minbar_verdict(v: Verdict, base, trial: Minbar, ref, night: bool) -> None:
    v.problems += minbar_index_problems(trial, night)
    if isinstance(base, Minbar):
        lost = 0
        for k, (_, s, e) in enumerate(base.days()):
            intact = (k < len(trial.index) and trial.index[k:k + 1].tobytes() == base.index[k:k + 1].tobytes()
                      and len(trial.data) >= e and trial.data[s:e].tobytes() == base.data[s:e].tobytes())
            lost += not intact
        v.days_lost = lost
    if isinstance(ref, Minbar):
        n = len(trial.index)
        prefix = (n <= len(ref.index) and trial.index.dtype == ref.index.dtype and trial.data.dtype == ref.data.dtype
                  and trial.index.tobytes() == ref.index[:n].tobytes())
        if prefix:
            rows = 0 if n == 0 else (int(ref.index["line_no"][n]) if n < len(ref.index) else len(ref.data))
            if len(trial.data) != rows:
                v.problems.append(f"{len(trial.data)} rows where its {n} index days need {rows}")
            elif trial.data.tobytes() != ref.data[:rows].tobytes():
                bad = np.flatnonzero(trial.data.view(np.uint8).reshape(rows, -1).any(axis=1) == 0) if rows else []
                v.problems.append(f"rows differ from an uninterrupted run ({len(bad)} all-zero rows)")
        else:
            v.problems.append("day index is not a prefix of an uninterrupted run's")


def _tick_verdict(v: Verdict, base, trial: Ticks, ref) -> None:
    for name, why in trial.bad_members.items():
        v.problems.append(f"member {name} unreadable: {why[:120]}")
    if isinstance(base, Ticks):
        v.days_lost = sum(1 for k, a in base.days.items() if not (k in trial.days and same_array(a, trial.days[k])))
    if isinstance(ref, Ticks):
        names = sorted(trial.days) + sorted(trial.bad_members)
        foreign = [k for k in names if k not in ref.days]
        if foreign:
            v.problems.append(f"members an uninterrupted run does not have: {foreign[:4]}")
        differing = [k for k in trial.days if k in ref.days and not same_array(trial.days[k], ref.days[k])]
        if differing:
            v.problems.append(f"{len(differing)} days differ from an uninterrupted run (first {differing[0]})")
        ordered = sorted(k for k in names if k in ref.days)
        if ordered != sorted(ref.days)[:len(ordered)]:
            v.problems.append("days missing between stored days (not a prefix of an uninterrupted run)")


def days_of(content) -> int:
    if isinstance(content, Minbar):
        return len(content.index)
    if isinstance(content, Ticks):
        return len(content.days)
    if isinstance(content, Plain) and isinstance(content.value, np.ndarray):
        return len(content.value)
    if isinstance(content, Datasets):
        return len(content.members)
    return 1


def after_interruption(rel: str, base, trial, ref) -> Verdict:
    """A file as an interrupted or failed run left it. `base` or `ref` is None when the file did
    not exist before the run or does not exist after an uninterrupted one; `trial` is None when it
    is missing now."""
    v = Verdict(rel, days_before=days_of(base) if base is not None and not isinstance(base, Unreadable) else 0)
    if trial is None:
        if base is not None:
            v.days_lost = v.days_before
            v.unreadable = "missing"
        return v
    if isinstance(trial, Unreadable):
        v.unreadable = trial.error
        v.days_lost = v.days_before
        return v
    kind = kind_of(rel)
    if kind == "minbar" and isinstance(trial, Minbar):
        _minbar_verdict(v, base, trial, ref, night=rel.split("/")[2] in ("future", "option"))
    elif kind == "tick" and isinstance(trial, Ticks):
        _tick_verdict(v, base, trial, ref)
    else:
        # Files the day-bar update rewrites whole: the old one or the new one, nothing between.
        if not ((base is not None and equal(trial, base)) or (ref is not None and equal(trial, ref))):
            v.problems.append("neither the file before the run nor the one of an uninterrupted run")
            v.days_lost = v.days_before
    return v


def after_rerun(rel: str, trial, ref) -> Verdict:
    """A file after the repairing run, against the uninterrupted run's."""
    v = Verdict(rel, days_before=days_of(ref) if ref is not None else 0)
    if trial is None:
        v.unreadable = "missing"
        v.days_lost = v.days_before
    elif isinstance(trial, Unreadable):
        v.unreadable = trial.error
        v.days_lost = v.days_before
    elif not equal(trial, ref):
        if isinstance(trial, Minbar) and isinstance(ref, Minbar):
            ref_days = {d: ref.data[s:e].tobytes() for d, s, e in ref.days()}
            got = {d: trial.data[s:e].tobytes() for d, s, e in trial.days()}
            v.days_lost = sum(1 for d, b in ref_days.items() if got.get(d) != b)
            v.problems += minbar_index_problems(trial, rel.split("/")[2] in ("future", "option"))
        elif isinstance(trial, Ticks) and isinstance(ref, Ticks):
            v.days_lost = sum(1 for k, a in ref.days.items() if not (k in trial.days and same_array(a, trial.days[k])))
            extra = sorted(set(trial.days) - set(ref.days))
            if extra:
                v.problems.append(f"members an uninterrupted run does not have: {extra[:4]}")
        if not v.days_lost and not v.problems:
            v.problems.append("differs from an uninterrupted run")
    return v


def after_replacement(rel: str, base, trial, ref) -> Verdict:
    """A file of a run that replaces stored days in one transaction (a refetch), once the next
    writer has settled what an interrupted run left: whole as it was, or whole as an uninterrupted
    run leaves it. Anything in between is damage."""
    v = after_interruption(rel, base, trial, ref)
    if v.unreadable or trial is None:
        return v
    if (base is not None and equal(trial, base)) or (ref is not None and equal(trial, ref)):
        return Verdict(rel, days_before=v.days_before)
    v.problems.append("neither all its old days nor all the new ones")
    return v


def compare_bundles(base: dict, trial: dict, ref: dict, interrupted: bool,
                    whole_files: bool = False) -> tuple[list[Verdict], list[str]]:
    """Verdicts on every store and base file, and the leftovers: files that neither the base nor
    the reference has (temporary files, journals), which a reader never looks at."""
    verdicts, leftovers = [], []
    for rel in sorted(set(base) | set(trial) | set(ref)):
        if rel not in base and rel not in ref:
            leftovers.append(rel)
            continue
        if interrupted:
            judge = after_replacement if whole_files else after_interruption
            verdicts.append(judge(rel, base.get(rel), trial.get(rel), ref.get(rel)))
        elif rel in ref:
            verdicts.append(after_rerun(rel, trial.get(rel), ref[rel]))
        elif rel in trial:  # the base had it, an uninterrupted run removed it
            verdicts.append(Verdict(rel, problems=["kept although an uninterrupted run removes it"]))
    return verdicts, leftovers
