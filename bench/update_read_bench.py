#!/usr/bin/python3
"""Reads during the daily update: what readers see and wait for, and what they cost the update.

Makes (once, in WORK/base) the minute bars of the simulated stock universe through the command
line (read_bench.make_minbars: STOCKS generated stocks beyond the fixed ones, bars from
FIRST_DATE up to NOW). Then --repeat rounds, each on fresh copies of that bundle, of:

  quiet    `update-existing ROOT -j JOBS` with the clock one trading day on (NEXT_NOW), no
           readers: its wall time, and the post-update reference of every file
  idle     (first round only) three reader loops for --idle seconds, no update: reader latency
           without an update
  busy     the same reader loops, and --lead seconds after they start the same update: its wall
           time with readers, what the readers saw and how long they took meanwhile
and at the end
  traced   (--windows) the same update, alone (or with the readers: --windows readers), under
           `strace -f -e trace=flock`: each commit window is the time from the writer's granted
           flock(LOCK_EX) to its flock(LOCK_SH) on that file, and its wait the time from the
           first attempt at it (strace slows the calls it stops: upper bounds)

The reader loops, one process each, read a random instrument's random range of trading days
(ending on the new day half the time, 1 to 10 days long) again and again:
  cli      `tarnwick-bundle read ROOT ID --start D --end D --format npy -o -`
  python   `tarnwick.bundle.read_minbar(ROOT, ID, D, D)`
  h5py     the file's "index", then only the range's rows of "data" (HDF5's own locking)
Each read's wall time (its process start included for cli), whether it was refused, and a digest
of its rows are recorded. Afterwards, with nothing running, each range is read from the base copy
(pre-update) and from the quiet copy (post-update) with h5py; a read must equal one of the two,
and the busy copy's files must end up equal to the quiet copy's.

  PYTHONPATH=build/python bench/update_read_bench.py --cli build/tarnwick-bundle [--work DIR] [--windows]

--check (the smoke test) exits 1 when one of ours was refused or failed, a read equals neither
state, a read that started after the update ended is not the post-update state (or one that ended
before it started not the pre-update one), an update failed, or the busy copy differs.
"""
import argparse
import hashlib
import json
import os
import random
import resource
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import numpy as np

import read_bench

KINDS = ("cli", "python", "h5py")


# ---- the reader loops (one process each) ------------------------------------------------------

def digest(rows):
    """The rows' values field by field, so that arrays of equal values but other layouts match."""
    h = hashlib.sha1()
    for name in sorted(rows.dtype.names):
        h.update(name.encode())
        h.update(np.ascontiguousarray(rows[name]).tobytes())
    h.update(str(len(rows)).encode())
    return h.hexdigest()


def reader(args):
    import io
    tb = None
    if args.role == "python":
        import tarnwick.bundle as tb
    root = Path(args.root)
    ids = args.ids.split(",")
    days = [int(d) for d in args.days.split(",")]
    rng = random.Random(args.seed)
    stop = Path(args.stop)
    out = open(args.out, "w")
    Path(args.out + ".ready").touch()  # imports done: the phase's clock may start
    while not stop.exists():
        ident = rng.choice(ids)
        last = days[-1] if rng.random() < 0.5 else rng.choice(days)
        first = days[max(0, days.index(last) - rng.randrange(10))]
        result, detail, rows = "ok", "", None
        t0 = time.monotonic()
        try:
            if args.role == "cli":
                done = subprocess.run([args.cli, "read", str(root), ident, "--start", str(first), "--end", str(last),
                                       "--format", "npy", "-o", "-"], capture_output=True)
                if done.returncode == 0:
                    rows = np.load(io.BytesIO(done.stdout))
                else:
                    result, detail = "refused", f"exit {done.returncode}: {done.stderr.decode(errors='replace')}"
            elif args.role == "python":
                rows = tb.read_minbar(root, ident, first, last)
            else:
                rows = read_bench.h5py_panel(root, [ident], first, last)[ident]
        except BlockingIOError as e:
            result, detail = "refused", repr(e)
        except OSError as e:  # h5py: HDF5's own lock refused it ("unable to lock file")
            result, detail = ("refused" if "lock" in str(e) else "error"), repr(e)
        except Exception as e:  # noqa: BLE001  (recorded and judged afterwards)
            result, detail = "error", repr(e)
        t1 = time.monotonic()
        out.write(json.dumps({"kind": args.role, "id": ident, "first": first, "last": last, "t0": t0, "t1": t1,
                              "result": result, "detail": detail[:400],
                              "digest": digest(rows) if rows is not None else None}) + "\n")
        out.flush()


# ---- the run ----------------------------------------------------------------------------------

def copy(base, to):
    shutil.rmtree(to, ignore_errors=True)
    shutil.copytree(base, to, symlinks=True)
    subprocess.run(["sync", "-f", str(to)], check=True)


def update(args, env, root, trace=None):
    """One daily update of `root`: (wall seconds, exit status, monotonic start and end, CPU seconds
    of the update and its workers)."""
    command = [args.cli, "update-existing", str(root), "-j", str(args.jobs), "-q"]
    if trace:
        command = ["strace", "-f", "-ttt", "--seccomp-bpf", "-e", "trace=flock", "-o", str(trace)] + command
    # The readers are reaped only after the update: the children's CPU time meanwhile is its own.
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.monotonic()
    done = subprocess.run(command, env=dict(env, TARNWICK_NOW=args.next_now), capture_output=True, text=True)
    t1 = time.monotonic()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    if done.returncode != 0:
        print(f"update of {root} exited {done.returncode}:\n{done.stdout[-2000:]}{done.stderr[-2000:]}",
              file=sys.stderr)
    return t1 - t0, done.returncode, t0, t1, cpu


def with_readers(args, env, root, ids, days, phase, work, during=None):
    """Runs the reader loops on `root`, for args.idle seconds or around `during()`; returns the
    records and what `during` returned."""
    stop = work / f"{phase}.stop"
    stop.unlink(missing_ok=True)
    procs, outs = [], []
    for n, kind in enumerate(args.readers):
        out = work / f"{phase}.{kind}.jsonl"
        outs.append(out)
        procs.append(subprocess.Popen(
            [sys.executable, __file__, "--role", kind, "--cli", args.cli, "--root", str(root), "--ids", ",".join(ids),
             "--days", ",".join(map(str, days)), "--seed", str(args.seed * 100003 + zlib.crc32(phase.encode()) * 10 + n), "--stop", str(stop),
             "--out", str(out)], env=env, preexec_fn=(lambda: os.nice(args.reader_nice)) if args.reader_nice else None))
    while not all(Path(f"{out}.ready").exists() for out in outs):
        if any(p.poll() is not None for p in procs):
            sys.exit(f"a reader loop ({phase}) stopped before reading")
        time.sleep(0.05)
    time.sleep(args.lead if during else args.idle)
    result = during() if during else None
    if during:
        time.sleep(args.lead)
    stop.touch()
    for p in procs:
        if p.wait() != 0:
            sys.exit(f"a reader loop ({phase}) exited {p.returncode}")
    records = []
    for out in outs:
        records += [dict(json.loads(line), phase=phase) for line in out.read_text().splitlines()]
    return records, result


def file_digests(root):
    import h5py
    out = {}
    for p in sorted((root / "bundle" / "h5").glob("*/*.h5")):
        with h5py.File(p, "r") as f:
            out[p.name] = digest(f["data"][:]) + digest(f["index"][:])
    return out


def windows_from(trace):
    """Commit windows (seconds) from an strace log: from a granted LOCK_EX (its return) to the
    next LOCK_SH or LOCK_UN (its call) of that process on that descriptor; the refused LOCK_EX
    attempts; how long each window was waited for (its first attempt to the grant); and granted
    LOCK_EX without a following LOCK_SH or LOCK_UN. strace splits a call that another process's
    call interrupts into "<unfinished ...>" and "<... flock resumed>"."""
    call = re.compile(r"^(\d+)\s+([\d.]+) flock\((\d+), (LOCK_[A-Z]+)(?:\|LOCK_NB)?(\) = (-?\d+)| <unfinished)")
    resumed = re.compile(r"^(\d+)\s+([\d.]+) <\.\.\. flock resumed>\) = (-?\d+)")
    unfinished, opened, windows, refused, unmatched, first_try, waits = {}, {}, [], 0, 0, {}, []

    def done(pid, fd, op, began, ended, ret):
        nonlocal refused, unmatched
        if op == "LOCK_EX":
            first_try.setdefault((pid, fd), began)
            if ret != 0:
                refused += 1
                return
            waits.append(ended - first_try.pop((pid, fd)))
            unmatched += (pid, fd) in opened
            opened[pid, fd] = ended
        elif (pid, fd) in opened:
            windows.append(began - opened.pop((pid, fd)))

    for text in Path(trace).read_text().splitlines():
        if m := call.match(text):
            pid, when, fd, op = m.group(1), float(m.group(2)), m.group(3), m.group(4)
            if m.group(6) is None:
                unfinished[pid] = (fd, op, when)
            else:
                done(pid, fd, op, when, when, int(m.group(6)))
        elif (m := resumed.match(text)) and m.group(1) in unfinished:
            fd, op, began = unfinished.pop(m.group(1))
            done(m.group(1), fd, op, began, float(m.group(2)), int(m.group(3)))
    return windows, refused, waits, unmatched + len(opened)


def pct(values, q):
    return float(np.percentile(values, q)) * 1000 if values else float("nan")


def run(args):
    work = Path(args.work) if args.work else Path(tempfile.mkdtemp(prefix="update_read_bench."))
    work.mkdir(parents=True, exist_ok=True)
    base = work / "base"
    t = time.monotonic()
    env = read_bench.make_minbars(args.cli, base, args.stocks, args.first_date, args.now)
    made = time.monotonic() - t
    files = sorted((base / "bundle" / "h5" / "equities").glob("*.h5"))
    ids = [p.stem for p in files]
    import h5py
    with h5py.File(files[0], "r") as f:
        days = [int(d) for d in f["index"]["date"][-30:]]
    # The new day the update appends: read after the update from the quiet copy below.
    quiet, busy = work / "quiet", work / "busy"
    quiet_walls, busy_walls, statuses, differing, records = [], [], [], [], []
    quiet_cpus, busy_cpus = [], []
    intervals = {"idle": (float("inf"), float("inf"))}  # no update began
    # Rounds alternate the update without and with readers, each on a fresh copy, so that a
    # neighbour's load falls on both alike.
    for round in range(args.repeat):
        copy(base, quiet)
        wall, status, _, _, cpu = update(args, env, quiet)
        quiet_walls.append(wall)
        quiet_cpus.append(cpu)
        statuses.append(status)
        copy(base, busy)
        if round == 0:
            with h5py.File(quiet / "bundle" / "h5" / "equities" / files[0].name, "r") as f:
                days = sorted(set(days) | {int(d) for d in f["index"]["date"][-1:]})  # the new day
            records += with_readers(args, env, busy, ids, days, "idle", work)[0]
        phase = f"busy{round}"
        busy_records, (wall, status, u0, u1, cpu) = with_readers(
            args, env, busy, ids, days, phase, work, lambda: update(args, env, busy))
        records += busy_records
        busy_walls.append(wall)
        busy_cpus.append(cpu)
        statuses.append(status)
        intervals[phase] = (u0, u1)
        after_quiet, after_busy = file_digests(quiet), file_digests(busy)
        differing += [n for n in after_quiet.keys() | after_busy.keys() if after_quiet.get(n) != after_busy.get(n)]
    windows, refused_upgrades, waits, unmatched = [], 0, [], 0
    traced_status = None
    if args.windows:
        traced = work / "traced"
        copy(base, traced)
        traced_update = lambda: update(args, env, traced, trace=work / "flock.trace")  # noqa: E731
        if args.windows == "readers":
            traced_records, (_, traced_status, u0, u1, _) = with_readers(
                args, env, traced, ids, days, "traced", work, traced_update)
            records += traced_records
            intervals["traced"] = (u0, u1)
        else:
            traced_status = traced_update()[1]
        windows, refused_upgrades, waits, unmatched = windows_from(work / "flock.trace")

    # Judging, with nothing running.
    def reference(root):
        memo = {}

        def get(ident, first, last):
            if (ident, first, last) not in memo:
                memo[ident, first, last] = digest(read_bench.h5py_panel(root, [ident], first, last)[ident])
            return memo[ident, first, last]
        return get
    pre, post = reference(base), reference(quiet)
    for r in records:
        u0, u1 = intervals[r["phase"]]
        r["during"] = r["t1"] > u0 and r["t0"] < u1
        if r["result"] != "ok":
            continue
        is_pre = r["digest"] == pre(r["id"], r["first"], r["last"])
        is_post = r["digest"] == post(r["id"], r["first"], r["last"])
        r["state"] = "both" if is_pre and is_post else "pre" if is_pre else "post" if is_post else "neither"
        r["stale"] = (r["state"] == "post" and r["t1"] < u0) or (r["state"] == "pre" and r["t0"] > u1)

    print(f"# {len(files)} minute-bar files ({args.stocks} generated stocks), bars {args.first_date}..; base made in "
          f"{made:.0f} s (0: reused); update-existing -j {args.jobs} at \"{args.next_now}\"; {os.cpu_count()} "
          f"processors; load average {' '.join(Path('/proc/loadavg').read_text().split()[:3])}")
    walls = lambda ws: " ".join(f"{w:.2f}" for w in ws)  # noqa: E731
    print(f"update wall s: no readers {walls(quiet_walls)}, with readers {walls(busy_walls)} (exits "
          f"{' '.join(map(str, statuses))}); fastest with / fastest without {min(busy_walls) / min(quiet_walls):.2f}x, "
          f"median {np.median(busy_walls) / np.median(quiet_walls):.2f}x; busy copies' files differing from the quiet "
          f"copy's after the update: {len(differing)}")
    print(f"update CPU s (user + system, with its workers): no readers {walls(quiet_cpus)}, with readers "
          f"{walls(busy_cpus)}; median with / without {np.median(busy_cpus) / np.median(quiet_cpus):.2f}x"
          + (f" (readers at nice {args.reader_nice})" if args.reader_nice else ""))
    print()
    print("| reader | phase | reads | refused | errors | equal to pre | post | both | neither | stale "
          "| p50 ms | p99 ms | max ms |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    failures = []
    for kind in args.readers:
        for phase, pick in (("idle", lambda r: r["phase"] == "idle"), ("during update", lambda r: r["during"])):
            rs = [r for r in records if r["kind"] == kind and pick(r)]
            count = {s: sum(r.get("state") == s for r in rs) for s in ("pre", "post", "both", "neither")}
            refused = sum(r["result"] == "refused" for r in rs)
            errors = sum(r["result"] == "error" for r in rs)
            stale = sum(bool(r.get("stale")) for r in rs)
            lat = [r["t1"] - r["t0"] for r in rs if r["result"] == "ok"]
            print(f"| {kind} | {phase} | {len(rs)} | {refused} | {errors} | {count['pre']} | {count['post']} | "
                  f"{count['both']} | {count['neither']} | {stale} | {pct(lat, 50):.1f} | {pct(lat, 99):.1f} | "
                  f"{max(lat, default=float('nan')) * 1000:.1f} |")
    for r in records:
        ours = r["kind"] != "h5py"
        if (ours and r["result"] != "ok") or r["result"] == "error" or r.get("state") == "neither" or r.get("stale"):
            failures.append(r)
    busy_reads = [r for r in records if r["phase"] != "idle"]
    print(f"\nreads in the {args.repeat} busy phases: {len(busy_reads)}, of them overlapping the update: "
          f"{sum(r['during'] for r in busy_reads)} (readers {args.lead} s before and after each update)")
    if args.windows:
        print(f"commit windows (strace -f -e trace=flock, {'with' if args.windows == 'readers' else 'no'} readers; "
              f"exit {traced_status}): {len(windows)} windows, p50 {pct(windows, 50):.2f} ms, p99 "
              f"{pct(windows, 99):.2f} ms, max {pct(windows, 100):.2f} ms; waited for: p50 {pct(waits, 50):.2f} ms, "
              f"p99 {pct(waits, 99):.2f} ms, max {pct(waits, 100):.2f} ms, sum {sum(waits):.2f} s; refused LOCK_EX "
              f"attempts {refused_upgrades}; LOCK_EX without a following LOCK_SH/UN {unmatched}")
    for r in failures[:5]:
        print("example:", json.dumps(r), file=sys.stderr)
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    if args.check:
        problems = []
        if failures:
            problems.append(f"{len(failures)} reads refused/failed (ours), errors, equal to neither state or stale")
        if any(statuses) or traced_status not in (None, 0):
            problems.append("an update failed")
        if args.windows and not windows:
            problems.append("no commit window seen in the trace")
        if differing:
            problems.append(f"{len(differing)} files of the busy copy differ from the quiet copy's")
        for kind in args.readers:
            if not any(r["kind"] == kind and r["result"] == "ok" for r in records):
                problems.append(f"no {kind} read succeeded")
        if problems:
            print("FAILED: " + "; ".join(problems), file=sys.stderr)
            return 1
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--work", help="keep the bundles here (the base is reused); default: a temporary folder")
    parser.add_argument("--stocks", type=int, default=1800, help="generated stocks (1800: about 1,800 files)")
    parser.add_argument("--first-date", default="20260101")
    parser.add_argument("--now", default="2026-06-30 18:00:00")
    parser.add_argument("--next-now", default="2026-07-01 18:00:00")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--idle", type=float, default=10.0, help="seconds of reads with no update")
    parser.add_argument("--lead", type=float, default=1.0, help="seconds of reads before and after the update")
    parser.add_argument("--repeat", type=int, default=3, help="rounds of the update without, then with readers")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--windows", nargs="?", const="alone", choices=("alone", "readers"),
                        help="also measure commit windows with strace, in an update alone or with the readers")
    parser.add_argument("--reader-nice", type=int, default=0,
                        help="run the reader loops at this niceness, so that on few cores the update's wall time "
                             "shows what the readers' locks cost it rather than their share of the processors")
    parser.add_argument("--readers", default=",".join(KINDS), help="reader loops to run (cli,python,h5py)")
    parser.add_argument("--check", action="store_true", help="exit 1 on a fault (the smoke test)")
    for hidden in ("--role", "--root", "--ids", "--days", "--stop", "--out"):
        parser.add_argument(hidden, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if not args.role:
        args.readers = args.readers.split(",")
        if not set(args.readers) <= set(KINDS):
            parser.error(f"--readers: of {','.join(KINDS)}")
    if args.role:
        return reader(args)
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
