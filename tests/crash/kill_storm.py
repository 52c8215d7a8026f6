#!/usr/bin/python3
"""Kill storm: interrupts store updates of the command line at random moments and checks that
no day stored before the run is ever lost unnoticed.

For each scenario a base bundle is built once, and the update under test is run once on a copy
of it without interruption (the reference). Each trial then

  1. copies the base bundle and starts the update in its own process group;
  2. after a random delay (a fraction of the reference's duration) sends SIGKILL, SIGTERM or
     SIGINT to the whole group, to the leader only, or to one worker;
  3. waits for every process of the group to end (a group still alive after the hang timeout is
     a hang, and is killed; workers alive a second after the leader ended are orphans), then
     checks that no file of the bundle changes during one more second;
  4. reads every file with h5py and compares it with the base and the reference: every stored
     day must be unchanged, every file readable, every index consistent with its data;
  5. runs the same update again, uninterrupted, and compares the bundle with the reference, bar
     for bar and tick for tick.

A run that survived its signal (a worker killed) reports which instruments it did not update;
every other store file must then be as the reference has it with no journal beside it, so that
the next open takes nothing back: a report of an update is never undone.

The figures are counted per scenario; the exit status is 1 when a file is still damaged after
the rerun or a run hung, 2 when the harness itself could not set up. Trials are drawn from
--seed, so a run can be repeated.

    kill_storm.py --trials 200 --seed 7 [--profile full] [--cli build/tarnwick-bundle] [--keep]
"""
from __future__ import annotations

import argparse
import collections
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bundle_files as bf  # noqa: E402
import bundle_runs as br  # noqa: E402


@dataclass
class Scenario:
    name: str
    settings: dict[str, str]          # simulated market
    setup: list[tuple[str, list[str]]]  # (clock, arguments) of the runs that build the base bundle
    now: str                          # clock of the update under test
    args: list[str]                   # the update under test; "{root}" is the bundle's data folder
    signals: list | None = None       # (signal, weight) drawn from; default SIGNALS
    targets: list | None = None       # (target, weight) drawn from; default TARGETS
    setup_settings: dict | None = None  # the market the base is built from, when not `settings`
    # The update replaces stored days (--refetch): after a kill, each file must be all old or all
    # new once the next writer settled it; this run (the same refetch of a day after every
    # stored one) opens every file for writing and changes nothing else.
    settle: list[str] | None = None

    def command(self, cli: str, root: str, args: list[str] | None = None) -> list[str]:
        return [cli] + [a.replace("{root}", root) for a in (args or self.args)]


LATE = "2026-12-04 18:00:00"


def scenarios(profile: str) -> list[Scenario]:
    """Short daily appends and appends of years, of minute bars (stocks, an ETF, futures with
    night sessions, an option) and ticks, through every update command. The `ci` profile keeps
    the long appends to a few years so that a short storm fits a test run."""
    long_bars_until = LATE if profile == "full" else "2014-12-31 18:00:00"
    long_ticks_until = LATE if profile == "full" else "2026-06-30 18:00:00"
    minbar = ["update-minbar", "{root}/bundle/h5"]
    tick = ["update-tick", "{root}/bundle/ticks"]
    return [
        Scenario("minbar-years",
                 {"TARNWICK_SIM_FIRST_DATE": "20050104"},
                 [("2012-01-01 18:00:00", minbar + ["000001.XSHE", "600000.XSHG", "-j", "2"])],
                 long_bars_until, minbar + ["000001.XSHE", "600000.XSHG", "-j", "2"]),
        Scenario("minbar-daily",
                 {"TARNWICK_SIM_FIRST_DATE": "20260601"},
                 [("2026-12-02 18:00:00",
                   minbar + ["000001.XSHE", "510300.XSHG", "IF2612", "CU2701", "IO2612-C-4000", "-j", "2"])],
                 LATE, minbar + ["000001.XSHE", "510300.XSHG", "IF2612", "CU2701", "IO2612-C-4000", "600519.XSHG",
                                 "-j", "2"]),
        Scenario("tick-months",
                 {"TARNWICK_SIM_FIRST_DATE": "20260105", "TARNWICK_SIM_TICK_FIRST_DATE": "20260105"},
                 [("2026-03-02 18:00:00", tick + ["000001.XSHE", "CU2701", "-j", "2"])],
                 long_ticks_until, tick + ["000001.XSHE", "CU2701", "-j", "2"]),
        Scenario("tick-daily",
                 {"TARNWICK_SIM_FIRST_DATE": "20261102", "TARNWICK_SIM_TICK_FIRST_DATE": "20261102"},
                 [("2026-12-02 18:00:00", tick + ["000001.XSHE", "000002.XSHE", "IF2612", "CU2701", "-j", "2"])],
                 LATE, tick + ["000001.XSHE", "000002.XSHE", "IF2612", "CU2701", "600519.XSHG", "-j", "2"]),
        # A first download of files of 17 years each, its parent killed alone: the workers,
        # mostly inside a long fetch with no safe point, must abandon their new files and end
        # within a second, publishing nothing after it.
        Scenario("minbar-first",
                 {"TARNWICK_SIM_FIRST_DATE": "20100104"},
                 [("2010-01-08 18:00:00", minbar + ["000001.XSHE"])],
                 LATE, minbar + ["000001.XSHE", "600000.XSHG", "000002.XSHE", "510300.XSHG", "-j", "2"],
                 signals=[(signal.SIGKILL, 1)], targets=[("leader", 1)]),
        Scenario("update-existing",
                 {"TARNWICK_SIM_FIRST_DATE": "20260601", "TARNWICK_SIM_TICK_FIRST_DATE": "20261102"},
                 [("2026-11-20 18:00:00", ["update", "{root}", "--base", "--minbar", "000001.XSHE", "IF2612",
                                           "--tick", "000002.XSHE", "CU2701", "-j", "2"])],
                 LATE, ["update-existing", "{root}", "-j", "2"]),
        Scenario("update-full",
                 {"TARNWICK_SIM_FIRST_DATE": "20260601", "TARNWICK_SIM_TICK_FIRST_DATE": "20261102",
                  "TARNWICK_SIM_STOCKS": "200"},
                 [("2026-11-20 18:00:00", ["update", "{root}", "--base", "--minbar", "510050.XSHG", "CU2702",
                                           "--tick", "IF2612", "-j", "2"])],
                 LATE, ["update", "{root}", "--base", "--minbar", "510050.XSHG", "CU2702", "--tick", "IF2612",
                        "-j", "2"]),
        # The daily update of many files, one of its workers killed: the instruments it had
        # written but not yet made durable must be reported not updated.
        Scenario("minbar-many",
                 {"TARNWICK_SIM_FIRST_DATE": "20261102", "TARNWICK_SIM_STOCKS": "300"},
                 [("2026-12-02 18:00:00", minbar + ["stock", "-j", "2"])],
                 LATE, minbar + ["stock", "-j", "2"],
                 signals=[(signal.SIGKILL, 1)], targets=[("worker", 1)]),
        # A vendor's correction taken in: months of stored days replaced in one transaction
        # each, night sessions included; the base is built from the uncorrected market.
        Scenario("refetch",
                 {"TARNWICK_SIM_FIRST_DATE": "20260601", "TARNWICK_SIM_TICK_FIRST_DATE": "20261102",
                  "TARNWICK_SIM_CORRECTIONS": "000001.XSHE:20260615-20261130,IF2612:20260901-20261125"},
                 [(LATE, minbar + ["000001.XSHE", "IF2612", "-j", "2"])],
                 LATE, minbar + ["000001.XSHE", "IF2612", "--refetch", "20260701:20261201", "-j", "2"],
                 settle=minbar + ["000001.XSHE", "IF2612", "--refetch", "29991231", "-j", "2"],
                 setup_settings={"TARNWICK_SIM_FIRST_DATE": "20260601", "TARNWICK_SIM_TICK_FIRST_DATE": "20261102"}),
        Scenario("refetch-tick",
                 {"TARNWICK_SIM_FIRST_DATE": "20261102", "TARNWICK_SIM_TICK_FIRST_DATE": "20261102",
                  "TARNWICK_SIM_CORRECTIONS": "000001.XSHE:20261105-20261125,IF2612:20261110-20261120"},
                 [(LATE, tick + ["000001.XSHE", "IF2612", "-j", "2"])],
                 LATE, tick + ["000001.XSHE", "IF2612", "--refetch", "20261103:", "-j", "2"],
                 settle=tick + ["000001.XSHE", "IF2612", "--refetch", "29991231", "-j", "2"],
                 setup_settings={"TARNWICK_SIM_FIRST_DATE": "20261102", "TARNWICK_SIM_TICK_FIRST_DATE": "20261102"}),
    ]


@dataclass
class Prepared:
    scenario: Scenario
    base_root: str
    base: dict
    ref: dict
    seconds: float   # duration of the uninterrupted update


SIGNALS = [(signal.SIGKILL, 2), (signal.SIGTERM, 1), (signal.SIGINT, 1)]
TARGETS = [("group", 3), ("worker", 2), ("leader", 1)]


def weighted(rng: random.Random, choices):
    return rng.choices([c for c, _ in choices], [w for _, w in choices])[0]


@dataclass
class Trial:
    number: int
    scenario: str
    signal: str
    target: str
    delay: float
    signalled: bool = False      # False: the run ended before the moment came
    killed_exit: str = ""
    stop_seconds: float = 0.0    # from the signal until the whole group was gone
    hang: bool = False
    orphans: bool = False        # processes of the group outlived the leader by more than 1 s
    late_writes: list[str] = field(default_factory=list)  # files changed after the group was gone
    damaged_after_kill: list[bf.Verdict] = field(default_factory=list)
    leftovers_after_kill: list[str] = field(default_factory=list)
    silent: bool = False         # the interrupted run exited 0 but left the bundle short of the reference
    taken_back: list[str] = field(default_factory=list)  # reported updated, not so after the next open
    rerun_exit: str = ""
    damaged_after_rerun: list[bf.Verdict] = field(default_factory=list)
    leftovers_after_rerun: list[str] = field(default_factory=list)


def prepare(s: Scenario, cli: str, work: str) -> Prepared:
    base_root = os.path.join(work, "base", s.name)
    shutil.rmtree(base_root, ignore_errors=True)  # a --work folder may hold an earlier run
    for now, args in s.setup:
        setup_market = s.settings if s.setup_settings is None else s.setup_settings
        r = br.run(s.command(cli, base_root, args), br.market_env(now, setup_market), timeout=1800)
        if r.returncode != 0:
            raise RuntimeError(f"{s.name}: building the base bundle failed ({br.exit_name(r.returncode)}):\n"
                               f"{r.stderr[-2000:]}")
    ref_root = os.path.join(work, "reference", s.name)
    shutil.rmtree(ref_root, ignore_errors=True)
    shutil.copytree(base_root, ref_root, symlinks=True)
    r = br.run(s.command(cli, ref_root), br.market_env(s.now, s.settings), timeout=1800,
               log_prefix=os.path.join(work, "reference", s.name))
    if r.returncode != 0:
        raise RuntimeError(f"{s.name}: the uninterrupted update failed ({br.exit_name(r.returncode)}):\n"
                           f"{r.stderr[-2000:]}")
    base, ref = bf.snapshot(base_root), bf.snapshot(ref_root)
    for snap, what in ((base, "base"), (ref, "reference")):
        for rel, content in snap.items():
            problems = [content.error] if isinstance(content, bf.Unreadable) else (
                bf.minbar_index_problems(content, rel.split("/")[2] in ("future", "option"))
                if isinstance(content, bf.Minbar) else [])
            if problems:
                raise RuntimeError(f"{s.name}: {what} file {rel} is not sound: {problems}")
    if all(rel in base and bf.equal(base[rel], ref[rel]) for rel in ref):
        raise RuntimeError(f"{s.name}: the update changes nothing; the scenario tests nothing")
    return Prepared(s, base_root, base, ref, r.seconds)


def deliver(p: subprocess.Popen, sig: signal.Signals, target: str, rng: random.Random) -> bool:
    """Sends the signal; a worker target waits for a worker to exist. False: the run ended first."""
    while True:
        if p.poll() is not None:
            return False
        if target == "group":
            os.killpg(p.pid, sig)
            return True
        if target == "leader":
            os.kill(p.pid, sig)
            return True
        workers = [pid for pid in br.group_members(p.pid) if pid != p.pid]
        if workers:
            try:
                os.kill(rng.choice(workers), sig)
                return True
            except ProcessLookupError:
                pass
        time.sleep(0.01)


def file_states(root: str) -> dict[str, tuple[int, int]]:
    states = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            try:
                st = os.lstat(path)
            except FileNotFoundError:
                continue
            states[os.path.relpath(path, root)] = (st.st_size, st.st_mtime_ns)
    return states


def changed_during(root: str, seconds: float) -> list[str]:
    """Files created, changed or removed below `root` during the next `seconds`."""
    before = file_states(root)
    time.sleep(seconds)
    after = file_states(root)
    return sorted(rel for rel in before.keys() | after.keys() if before.get(rel) != after.get(rel))


def run_trial(number: int, prep: Prepared, cli: str, work: str, rng: random.Random,
              hang_timeout: float, keep: bool) -> Trial:
    s = prep.scenario
    sig = weighted(rng, s.signals or SIGNALS)
    t = Trial(number, s.name, sig.name, weighted(rng, s.targets or TARGETS),
              round(rng.uniform(0.0, 1.0) * prep.seconds, 3))
    root = os.path.join(work, "trials", f"{number:04d}-{s.name}")
    for old in (root, root + ".after-kill"):
        shutil.rmtree(old, ignore_errors=True)
    shutil.copytree(prep.base_root, root, symlinks=True)
    env = br.market_env(s.now, s.settings)
    cmd = s.command(cli, root)

    with open(root + ".kill.out", "wb") as out, open(root + ".kill.err", "wb") as err:
        p = subprocess.Popen(cmd, env=env, stdout=out, stderr=err, stdin=subprocess.DEVNULL, start_new_session=True,
                             preexec_fn=br.default_signals)
        deadline = time.monotonic() + t.delay
        while time.monotonic() < deadline and p.poll() is None:
            time.sleep(0.005)
        t.signalled = deliver(p, sig, t.target, rng)
        signalled_at = time.monotonic()
        try:
            p.wait(timeout=hang_timeout)
        except subprocess.TimeoutExpired:
            t.hang = True
        if not t.hang:
            t.orphans = not br.wait_group_gone(p.pid, ORPHAN_SECONDS)
            remaining = max(0.0, hang_timeout - (time.monotonic() - signalled_at))
            t.hang = not br.wait_group_gone(p.pid, remaining)
        t.stop_seconds = round(time.monotonic() - signalled_at, 2)
        if t.hang:
            br.kill_group(p.pid)
            p.wait()
            br.wait_group_gone(p.pid, 10)
        t.killed_exit = br.exit_name(p.returncode)
        t.late_writes = changed_during(root, 1.0)

    if s.settle:
        settled = br.run(s.command(cli, root, s.settle), env, timeout=120, log_prefix=root + ".settle")
        if settled.returncode != 0:
            t.late_writes.append(f"the settling run failed ({br.exit_name(settled.returncode)})")
    after_kill = bf.snapshot(root)
    verdicts, t.leftovers_after_kill = bf.compare_bundles(prep.base, after_kill, prep.ref, interrupted=True,
                                                          whole_files=bool(s.settle))
    t.damaged_after_kill = [v for v in verdicts if v.damaged]
    t.silent = t.killed_exit == "0" and not all(
        rel in after_kill and bf.equal(after_kill[rel], content) for rel, content in prep.ref.items())
    if t.killed_exit in ("0", "1"):
        t.taken_back = taken_back(root, prep.ref, after_kill)
    if keep or t.damaged_after_kill:
        shutil.copytree(root, root + ".after-kill", symlinks=True)

    r = br.run(cmd, env, timeout=60 + 5 * prep.seconds, log_prefix=root + ".rerun")
    t.rerun_exit = br.exit_name(r.returncode)
    t.hang = t.hang or r.returncode is None
    verdicts, t.leftovers_after_rerun = bf.compare_bundles(prep.base, bf.snapshot(root), prep.ref, interrupted=False)
    t.damaged_after_rerun = [v for v in verdicts if v.damaged]
    # A trial that still shows damage keeps its files (after the kill and after the rerun) and
    # the runs' output, so that the damage can be looked at by hand.
    if not keep and not t.damaged_after_rerun:
        shutil.rmtree(root)
        shutil.rmtree(root + ".after-kill", ignore_errors=True)
        for suffix in (".kill.out", ".kill.err", ".rerun.out", ".rerun.err", ".settle.out", ".settle.err"):
            if os.path.exists(root + suffix):
                os.unlink(root + suffix)
    return t


def taken_back(root: str, ref: dict, after_kill: dict) -> list[str]:
    """Store files of instruments the run did not report failed whose update the next open would
    not find (not as the reference has them, or a journal beside them that rolls them back)."""
    with open(root + ".kill.err", encoding="utf-8", errors="replace") as f:
        log = f.read()
    found = []
    for rel, content in ref.items():
        parts = rel.split("/")
        if len(parts) < 3 or parts[1] not in ("h5", "ticks") or not rel.endswith(".h5"):
            continue
        instrument = os.path.basename(rel)[:-3]
        if f"更新 {instrument} 失败" in log or f"/{instrument}.h5 失败" in log:
            continue
        if (os.path.exists(os.path.join(root, rel + ".journal")) or rel not in after_kill
                or not bf.equal(after_kill[rel], content)):
            found.append(rel)
    return found


def describe(t: Trial) -> str:
    moment = f"at {t.delay:.2f}s" if t.signalled else f"(ended before {t.delay:.2f}s)"
    line = (f"#{t.number:<4} {t.scenario:<15} {t.signal:<7} {t.target:<6} {moment:<22} exit {t.killed_exit:<7} "
            f"stop {t.stop_seconds:5.2f}s  damaged {len(t.damaged_after_kill)}"
            f"  rerun exit {t.rerun_exit}  still damaged {len(t.damaged_after_rerun)}")
    if t.hang:
        line += "  HANG"
    if t.orphans:
        line += "  orphans"
    if t.late_writes:
        line += "  LATE WRITES: " + ", ".join(t.late_writes[:4])
    if t.silent:
        line += "  SILENT (exit 0, bundle not updated)"
    if t.taken_back:
        line += f"  TAKEN BACK ({len(t.taken_back)} reported updated, not so): " + ", ".join(t.taken_back[:4])
    for v in t.damaged_after_kill:
        line += "\n      after kill:  " + v.describe()
    for v in t.damaged_after_rerun:
        line += "\n      after rerun: " + v.describe()
    if t.leftovers_after_rerun:
        line += "\n      left after rerun: " + ", ".join(t.leftovers_after_rerun[:4])
    return line


SUMMARY_LEGEND = """\
  signalled     trials whose signal came before the run ended
  dmg@kill      files damaged after the kill: unreadable, a stored day changed or gone, or an index
                that disagrees with the data (idx-only: only the last, the next run may repair it)
  lost@kill     stored days (index entries of minute-bar files, datasets of tick files) lost
  dmg@rerun     files that differ from the uninterrupted run after the rerun; lost@rerun: their days
  silent        interrupted runs that exited 0 although the bundle was not fully updated; taken back:
                files reported updated that the next open would not find updated
  orphans       processes of the group alive 1 s after the leader ended; hangs: still alive after
                the hang timeout, or a rerun that did not end; late: files that changed during the
                second after the whole group was gone
  leftover      files below the bundle after the rerun that no uninterrupted run leaves
  stop          slowest end of a SIGTERM/SIGINT sent to the group or the leader, in seconds (until
                every process of the group is gone); slow: how many took longer than 2 s;
                not 130/143: how many ended otherwise than with 130/143 (or 0, when the run
                finished first), e.g. killed by the signal itself"""

SLOW_STOP = 2.0
# Workers end with their parent: they abandon their file and are gone within this.
ORPHAN_SECONDS = 1.0
# How the command line ends when interrupted: 128 + the signal's number, after its own clean-up.
EXPECTED_EXIT = {"SIGINT": "130", "SIGTERM": "143"}


def summary(trials: list[Trial]) -> str:
    header = ["scenario", "trials", "signalled", "dmg@kill", "lost@kill", "unreadable", "idx-only", "dmg@rerun",
              "lost@rerun", "silent", "taken back", "hangs", "orphans", "late", "leftover", "stop", "slow", "not 130/143", "rerun exits", "killed exits"]
    groups = collections.OrderedDict()
    for t in trials:
        groups.setdefault(t.scenario, []).append(t)
    rows = []
    for name, ts in list(groups.items()) + [("all", trials)]:
        dk = [v for t in ts for v in t.damaged_after_kill]
        dr = [v for t in ts for v in t.damaged_after_rerun]
        stops = [t.stop_seconds for t in ts if t.signalled and t.signal != "SIGKILL" and t.target != "worker"]
        rows.append([
            name, len(ts), sum(t.signalled for t in ts), len(dk), sum(v.days_lost for v in dk),
            sum(bool(v.unreadable) for v in dk), sum(1 for v in dk if not v.days_lost and not v.unreadable),
            len(dr), sum(v.days_lost for v in dr), sum(t.silent for t in ts),
            sum(len(t.taken_back) for t in ts), sum(t.hang for t in ts),
            sum(t.orphans for t in ts), sum(bool(t.late_writes) for t in ts),
            sum(len(t.leftovers_after_rerun) for t in ts),
            f"{max(stops):.2f}" if stops else "-", sum(1 for x in stops if x > SLOW_STOP),
            sum(1 for t in ts if t.signalled and t.signal != "SIGKILL" and t.target != "worker"
                and t.killed_exit not in (EXPECTED_EXIT[t.signal], "0")),
            " ".join(f"{k}:{n}" for k, n in sorted(collections.Counter(t.rerun_exit for t in ts).items())),
            " ".join(f"{k.replace('SIG', '')}:{n}"
                     for k, n in sorted(collections.Counter(t.killed_exit for t in ts).items())),
        ])
    return br.table(rows, header) + "\n\n" + SUMMARY_LEGEND


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--trials", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--cli", default=br.default_cli(), help="the tarnwick-bundle executable")
    ap.add_argument("--keep", action="store_true", help="keep every trial (after the kill and after the rerun, with "
                                                         "the runs' output); without it only trials still damaged "
                                                         "after the rerun are kept")
    ap.add_argument("--profile", choices=("ci", "full"), default="ci",
                    help="ci: appends of a few years; full: appends of up to 15 years")
    ap.add_argument("--scenarios", help="comma-separated names (default: all)")
    ap.add_argument("--work", help="work folder (default: a new temporary folder)")
    ap.add_argument("--hang-timeout", type=float, default=0.0,
                    help="seconds after the signal until a still running group is a hang "
                         "(default: 30 + 3 x the uninterrupted update's duration)")
    a = ap.parse_args()

    if not os.access(a.cli, os.X_OK):
        print(f"kill_storm: no executable at {a.cli} (build the tarnwick-bundle target or give --cli)")
        return 2
    chosen = scenarios(a.profile)
    if a.scenarios:
        wanted = a.scenarios.split(",")
        unknown = set(wanted) - {s.name for s in chosen}
        if unknown:
            print(f"kill_storm: unknown scenarios {sorted(unknown)}; known: {[s.name for s in chosen]}")
            return 2
        chosen = [s for s in chosen if s.name in wanted]
    work = a.work or tempfile.mkdtemp(prefix="kill-storm-")
    os.makedirs(work, exist_ok=True)
    print(f"kill storm: {a.trials} trials, seed {a.seed}, profile {a.profile}, cli {a.cli}, work {work}", flush=True)

    rng = random.Random(a.seed)
    prepared = []
    try:
        for s in chosen:
            prep = prepare(s, a.cli, work)
            files = len(prep.base)
            print(f"  {s.name}: base of {files} files, uninterrupted update {prep.seconds:.2f}s", flush=True)
            prepared.append(prep)
    except RuntimeError as e:
        print(f"kill_storm: setup failed: {e}")
        return 2

    trials = []
    for n in range(a.trials):
        prep = prepared[n % len(prepared)]
        hang = a.hang_timeout or 30 + 3 * prep.seconds
        t = run_trial(n + 1, prep, a.cli, work, rng, hang, a.keep)
        trials.append(t)
        print(describe(t), flush=True)

    print()
    print(summary(trials))
    still = sum(len(t.damaged_after_rerun) for t in trials)
    hangs = sum(t.hang for t in trials)
    outlived = sum(t.orphans or bool(t.late_writes) for t in trials)
    taken = sum(len(t.taken_back) for t in trials)
    if not a.keep and not a.work and not still:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print(f"\nwork folder kept: {work}" + ("" if a.keep else " (trials still damaged after the rerun)"))
    if still or hangs or outlived or taken:
        print(f"\nFAILED: {still} files still damaged after the rerun, {hangs} hangs, "
              f"{outlived} runs whose workers outlived their parent or wrote after it was gone, "
              f"{taken} files reported updated that were not")
        return 1
    print("\npassed: no file damaged after the rerun, no hang, no worker outlived its parent")
    return 0


if __name__ == "__main__":
    sys.exit(main())
