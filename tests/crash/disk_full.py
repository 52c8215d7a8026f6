#!/usr/bin/python3
"""Disk full: runs store updates of the command line on a small tmpfs with little free space
left, and checks that every failed write is reported as a failure and that nothing stored is
lost for good.

A bundle (minute bars of stocks, an ETF and futures, ticks, the day-bar files) is built on the
tmpfs, and each update under test is run once on a copy of it with ample space (the reference).
First the free space at which each update just succeeds is searched; then the free space is swept
from 0 to a little above it (a filler file leaves X KiB free). For each run:

  - a run that did not leave the bundle equal to the reference, or that hit ENOSPC, failed, and
    must exit non-zero and print no success message;
  - a failed run must name the cause ("No space left on device", errno 28, or a free-space
    message) in a headline: an error record's first line or a console line, not only in detail;
  - then the space is freed, the update runs again, and the bundle must equal the reference.

Figures per update kind; the exit status is 1 on any violation, 77 (skipped) when not root or
when the tmpfs cannot be mounted, 2 when the harness itself could not set up.

    disk_full.py [--points 12] [--cli build/tarnwick-bundle] [--keep]
"""
from __future__ import annotations

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bundle_files as bf  # noqa: E402
import bundle_runs as br  # noqa: E402

SKIP = 77
BASE_NOW = "2026-11-20 18:00:00"
LATE = "2026-12-04 18:00:00"
SETTINGS = {"TARNWICK_SIM_FIRST_DATE": "20260601", "TARNWICK_SIM_TICK_FIRST_DATE": "20261102",
            "TARNWICK_SIM_STOCKS": "1000"}
MINBAR_IDS = ["000001.XSHE", "510300.XSHG", "IF2612", "CU2701"]
TICK_IDS = ["000002.XSHE", "CU2701"]
SETUP = ["update", "{root}", "--base", "--minbar", *MINBAR_IDS, "--tick", *TICK_IDS, "-j", "2"]
KINDS = {
    "minbar": ["update-minbar", "{root}/bundle/h5", *MINBAR_IDS, "600519.XSHG", "-j", "2"],
    "tick": ["update-tick", "{root}/bundle/ticks", *TICK_IDS, "600519.XSHG", "-j", "2"],
    "daybar": ["update", "{root}", "--base"],
    "existing": ["update-existing", "{root}", "-j", "2"],
}

# What a headline must say when a write failed for want of space.
CAUSE = re.compile(r"no space left on device|enospc|errno\s*[=:]?\s*28\b|空间不足|磁盘已满|free space|"
                   r"not enough (?:disk )?space|disk (?:is )?full", re.IGNORECASE)
# A console line that announces success (and does not also announce a failure).
SUCCESS = re.compile(r"完成|成功|\bsuccess|\bcompleted?\b|\bdone\b", re.IGNORECASE)
FAILURE_WORDS = re.compile(r"失败|未|错误|异常|fail|error|not ", re.IGNORECASE)
LOG_RECORD = re.compile(r"^\[[^\]]*\] \[(error|critical|warning)\] (?:\[pid \d+\] )?(.*)$")


def command(cli: str, args: list[str], root: str) -> list[str]:
    return [cli] + [a.replace("{root}", root) for a in args]


def headlines(out: str, err: str) -> list[str]:
    """The lines a user reads first: the first line of every error record of the log, and every
    console line."""
    lines = [m.group(2) for m in map(LOG_RECORD.match, err.splitlines()) if m and m.group(1) != "warning"]
    return lines + [ln for ln in out.splitlines() if ln.strip()]


def success_lines(out: str) -> list[str]:
    return [ln for ln in out.splitlines() if SUCCESS.search(ln) and not FAILURE_WORDS.search(ln)]


@dataclass
class Run:
    kind: str
    free_kib: int
    exit: str = ""
    complete: bool = False          # the bundle equals the reference afterwards
    enospc: bool = False            # the output mentions the error at all
    cause_named: bool = False       # ... in a headline
    misleading: int = 0             # error headlines that do not name the cause
    success_printed: list[str] = field(default_factory=list)
    damaged_after_failure: list[bf.Verdict] = field(default_factory=list)   # worse, or inconsistent

    @property
    def worse_after_failure(self) -> list[bf.Verdict]:
        """A stored day gone or the file unreadable; an inconsistency alone may be repaired by the
        next run, which the rerun shows."""
        return [v for v in self.damaged_after_failure if v.days_lost or v.unreadable]
    rerun_exit: str = ""
    damaged_after_rerun: list[bf.Verdict] = field(default_factory=list)
    leftovers_after_rerun: list[str] = field(default_factory=list)

    @property
    def failed(self) -> bool:
        return self.exit != "0" or not self.complete or self.enospc

    def violations(self) -> list[str]:
        v = []
        if self.failed and self.exit == "0":
            v.append("exit 0 although " + ("the bundle was not updated" if not self.complete else "a write failed"))
        if self.failed and self.success_printed:
            v.append(f"success message on failure: {self.success_printed[0]!r}")
        if self.failed and not self.cause_named:
            v.append("no headline names the cause")
        if self.damaged_after_rerun:
            v.append(f"{len(self.damaged_after_rerun)} files damaged after the rerun")
        if self.rerun_exit != "0":
            v.append(f"rerun exit {self.rerun_exit}")
        return v


class Tmpfs:
    def __init__(self, where: str, size_mib: int):
        self.where, self.size_mib, self.mounted = where, size_mib, False

    def mount(self) -> str | None:
        os.makedirs(self.where, exist_ok=True)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={self.size_mib}m,mode=0755", "tarnwick-disk-full",
                            self.where], capture_output=True, text=True)
        if r.returncode != 0:
            return (r.stderr or r.stdout).strip() or f"mount exit {r.returncode}"
        self.mounted = True
        return None

    def unmount(self) -> None:
        if self.mounted:
            subprocess.run(["umount", self.where], check=False)
            self.mounted = False

    def free_kib(self) -> int:
        st = os.statvfs(self.where)
        return st.f_bavail * st.f_frsize // 1024


class Disk:
    """The tmpfs with the bundle at `root` and a filler file that leaves a chosen free space."""

    def __init__(self, fs: Tmpfs):
        self.fs = fs
        self.root = os.path.join(fs.where, "data")
        self.filler = os.path.join(fs.where, "filler")

    def restore(self, pristine: str) -> None:
        self.free_all()
        shutil.rmtree(self.root, ignore_errors=True)
        shutil.copytree(pristine, self.root, symlinks=True)

    def leave_free(self, kib: int) -> None:
        self.free_all()
        take = (self.fs.free_kib() - kib) * 1024
        if take > 0:
            fd = os.open(self.filler, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            try:
                os.posix_fallocate(fd, 0, take)
            finally:
                os.close(fd)

    def free_all(self) -> None:
        if os.path.exists(self.filler):
            os.unlink(self.filler)


@dataclass
class Kind:
    name: str
    args: list[str]
    ref: dict
    seconds: float
    threshold_kib: int = 0     # least free space found at which the update succeeds


def run_once(kind: Kind, disk: Disk, pristine: str, base: dict, cli: str, free_kib: int, log: str | None) -> Run:
    disk.restore(pristine)
    disk.leave_free(free_kib)
    env = br.market_env(LATE, SETTINGS)
    cmd = command(cli, kind.args, disk.root)
    r = br.run(cmd, env, timeout=60 + 10 * kind.seconds, log_prefix=log)
    run = Run(kind.name, free_kib, exit=br.exit_name(r.returncode))
    after = bf.snapshot(disk.root)
    verdicts, _ = bf.compare_bundles(base, after, kind.ref, interrupted=False)
    run.complete = not any(v.damaged for v in verdicts)
    text = r.stdout + r.stderr
    run.enospc = bool(re.search(r"no space left on device|errno\s*=\s*28\b|enospc", text, re.IGNORECASE))
    heads = headlines(r.stdout, r.stderr)
    run.cause_named = any(CAUSE.search(h) for h in heads)
    errors = [m.group(2) for m in map(LOG_RECORD.match, r.stderr.splitlines()) if m and m.group(1) != "warning"]
    run.misleading = sum(1 for h in errors if not CAUSE.search(h))
    run.success_printed = success_lines(r.stdout)
    if run.failed:
        verdicts, _ = bf.compare_bundles(base, after, kind.ref, interrupted=True)
        run.damaged_after_failure = [v for v in verdicts if v.damaged]
    disk.free_all()
    rr = br.run(cmd, env, timeout=60 + 10 * kind.seconds, log_prefix=log + ".rerun" if log else None)
    run.rerun_exit = br.exit_name(rr.returncode)
    verdicts, run.leftovers_after_rerun = bf.compare_bundles(base, bf.snapshot(disk.root), kind.ref,
                                                             interrupted=False)
    run.damaged_after_rerun = [v for v in verdicts if v.damaged]
    return run


def succeeds_with(kind: Kind, disk: Disk, pristine: str, base: dict, cli: str, free_kib: int) -> bool:
    disk.restore(pristine)
    disk.leave_free(free_kib)
    r = br.run(command(cli, kind.args, disk.root), br.market_env(LATE, SETTINGS), timeout=60 + 10 * kind.seconds)
    verdicts, _ = bf.compare_bundles(base, bf.snapshot(disk.root), kind.ref, interrupted=False)
    return r.returncode == 0 and not any(v.damaged for v in verdicts)


def find_threshold(kind: Kind, disk: Disk, pristine: str, base: dict, cli: str, ceiling: int) -> int:
    """Least free space (to 16 KiB or 5 %) with which the update succeeds, by bisection."""
    lo, hi = 0, ceiling
    if not succeeds_with(kind, disk, pristine, base, cli, hi):
        raise RuntimeError(f"{kind.name}: the update fails even with {hi} KiB free")
    while hi - lo > max(16, hi // 20):
        mid = (lo + hi) // 2
        if succeeds_with(kind, disk, pristine, base, cli, mid):
            hi = mid
        else:
            lo = mid
    return hi


def sweep(threshold_kib: int, n: int) -> list[int]:
    """Free-space values from 0 to a little above the threshold: half of them evenly spaced, half
    in geometric steps from 8 KiB, since small appends fail in the last few hundred KiB."""
    top = threshold_kib + max(32, threshold_kib // 10)
    even = [round(top * i / max(1, n // 2 - 1)) for i in range(max(1, n // 2))]
    steps = max(1, n - len(even))
    geometric = [round(8 * (top / 8) ** (i / steps)) for i in range(steps)]
    return sorted(set(even + geometric))


def describe(r: Run) -> str:
    line = (f"{r.kind:<9} {r.free_kib:>6} KiB free  exit {r.exit:<4} "
            f"{'complete' if r.complete else 'INCOMPLETE':<10} enospc {'yes' if r.enospc else 'no ':<3} "
            f"cause in headline {'yes' if r.cause_named else 'no ':<3} worse {len(r.worse_after_failure)} "
            f"inconsistent {len(r.damaged_after_failure) - len(r.worse_after_failure)}  "
            f"rerun exit {r.rerun_exit}  still damaged {len(r.damaged_after_rerun)}")
    for v in r.violations():
        line += "\n      VIOLATION: " + v
    for v in r.damaged_after_failure:
        line += "\n      after failure: " + v.describe()
    for v in r.damaged_after_rerun:
        line += "\n      after rerun:   " + v.describe()
    return line


LEGEND = """\
  failed        runs that exited non-zero, left the bundle short of the reference, or hit ENOSPC
  exit 0        failed runs that exited 0; success msg: failed runs that printed a success line
  no cause      failed runs where no headline (error record's first line, console line) names
                the cause; misleading: error headlines that do not name it
  worse@fail    files left worse by the failed run (a stored day gone, or unreadable); lost: days;
                incons@fail: files only inconsistent (index, partial or unreadable new days)
  dmg@rerun     files that differ from the reference after the rerun with the space freed"""


def summary(runs: list[Run]) -> str:
    header = ["kind", "runs", "failed", "exit 0", "success msg", "no cause", "misleading", "worse@fail", "lost",
              "incons@fail", "dmg@rerun", "leftover", "exits", "rerun exits"]
    groups = collections.OrderedDict()
    for r in runs:
        groups.setdefault(r.kind, []).append(r)
    rows = []
    for name, rs in list(groups.items()) + [("all", runs)]:
        failed = [r for r in rs if r.failed]
        rows.append([
            name, len(rs), len(failed), sum(r.exit == "0" for r in failed), sum(bool(r.success_printed) for r in failed),
            sum(not r.cause_named for r in failed), sum(r.misleading for r in failed),
            sum(len(r.worse_after_failure) for r in rs),
            sum(v.days_lost for r in rs for v in r.worse_after_failure),
            sum(len(r.damaged_after_failure) - len(r.worse_after_failure) for r in rs),
            sum(len(r.damaged_after_rerun) for r in rs), sum(len(r.leftovers_after_rerun) for r in rs),
            " ".join(f"{k}:{n}" for k, n in sorted(collections.Counter(r.exit for r in rs).items())),
            " ".join(f"{k}:{n}" for k, n in sorted(collections.Counter(r.rerun_exit for r in rs).items())),
        ])
    return br.table(rows, header) + "\n\n" + LEGEND


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--points", type=int, default=12, help="free-space values per update kind")
    ap.add_argument("--kinds", default=",".join(KINDS), help=f"comma-separated, of {', '.join(KINDS)}")
    ap.add_argument("--cli", default=br.default_cli(), help="the tarnwick-bundle executable")
    ap.add_argument("--size-mib", type=int, default=96, help="size of the tmpfs")
    ap.add_argument("--keep", action="store_true", help="keep the work folder with every run's output")
    a = ap.parse_args()

    if os.geteuid() != 0:
        print("disk_full: skipped: mounting a tmpfs needs root")
        return SKIP
    if not os.access(a.cli, os.X_OK):
        print(f"disk_full: no executable at {a.cli} (build the tarnwick-bundle target or give --cli)")
        return 2
    kinds = a.kinds.split(",")
    if set(kinds) - set(KINDS):
        print(f"disk_full: unknown kinds {sorted(set(kinds) - set(KINDS))}")
        return 2

    work = tempfile.mkdtemp(prefix="disk-full-")
    fs = Tmpfs(os.path.join(work, "mnt"), a.size_mib)
    problem = fs.mount()
    if problem:
        print(f"disk_full: skipped: cannot mount a tmpfs: {problem}")
        shutil.rmtree(work, ignore_errors=True)
        return SKIP
    print(f"disk full: {a.points} points per kind, tmpfs of {a.size_mib} MiB, cli {a.cli}, work {work}", flush=True)
    runs: list[Run] = []
    try:
        disk = Disk(fs)
        r = br.run(command(a.cli, SETUP, disk.root), br.market_env(BASE_NOW, SETTINGS), timeout=600)
        if r.returncode != 0:
            raise RuntimeError(f"building the base bundle failed ({br.exit_name(r.returncode)}):\n{r.stderr[-2000:]}")
        pristine = os.path.join(work, "base")
        shutil.copytree(disk.root, pristine, symlinks=True)
        base = bf.snapshot(pristine)
        base_kib = sum(os.path.getsize(os.path.join(pristine, f)) for f in bf.list_files(pristine)) // 1024
        print(f"  base bundle: {len(base)} files, {base_kib} KiB", flush=True)

        for name in kinds:
            ref_root = os.path.join(work, "reference", name)
            shutil.copytree(pristine, ref_root, symlinks=True)
            r = br.run(command(a.cli, KINDS[name], ref_root), br.market_env(LATE, SETTINGS), timeout=600)
            if r.returncode != 0:
                raise RuntimeError(f"{name}: the update failed with ample space ({br.exit_name(r.returncode)}):\n"
                                   f"{r.stderr[-2000:]}")
            kind = Kind(name, KINDS[name], bf.snapshot(ref_root), r.seconds)
            ref_kib = sum(os.path.getsize(os.path.join(ref_root, f)) for f in bf.list_files(ref_root)) // 1024
            # Every file may be rewritten beside its old self, so the whole new bundle is a safe ceiling.
            kind.threshold_kib = find_threshold(kind, disk, pristine, base, a.cli, ref_kib + 1024)
            points = sweep(kind.threshold_kib, a.points)
            print(f"  {name}: grows the bundle from {base_kib} to {ref_kib} KiB, succeeds from about "
                  f"{kind.threshold_kib} KiB free; sweeping {points[0]}..{points[-1]} KiB", flush=True)
            for kib in points:
                log = os.path.join(work, f"{name}-{kib}") if a.keep else None
                run = run_once(kind, disk, pristine, base, a.cli, kib, log)
                runs.append(run)
                print(describe(run), flush=True)
    except RuntimeError as e:
        print(f"disk_full: setup failed: {e}")
        return 2
    finally:
        fs.unmount()
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)

    print()
    print(summary(runs))
    if a.keep:
        print(f"\nwork folder kept: {work}")
    bad = [r for r in runs if r.violations()]
    if bad:
        print(f"\nFAILED: {len(bad)} of {len(runs)} runs broke a rule")
        return 1
    print(f"\npassed: {len(runs)} runs, every failure reported, nothing damaged after the rerun")
    return 0


if __name__ == "__main__":
    sys.exit(main())
