#!/usr/bin/python3
"""Kill storm of the sample install (`tarnwick-bundle download-sample --file`).

A bundle holds an old version of some of an archive's files (and a file of its own). Each trial
copies it, starts the install of the archive in its own process group and kills the group with
SIGKILL, either at a random moment of the whole install or, to hit the commit phase itself, a
random few milliseconds after the install record got its commit mark. Then:

  - when the kill left an unfinished install (its record or staging folder), `status` must name
    it as a leftover;
  - `check minbar ROOT` (answered "no") settles it, and the bundle must then hold every member
    either as it was before (all old) or as the archive has it (all new), the bundle's own file
    untouched, and no staging folder, side file or record left.

Counts are printed at the end; the exit status is 1 when a bundle was mixed, kept leftovers or
an unfinished install went unreported, 2 when the harness could not set up.

  sample_kill_storm.py --cli build/tarnwick-bundle [--trials 40] [--seed 1]
"""
import argparse
import collections
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sample_disk_full import make_archive  # noqa: E402

STAGING = ".tarnwick-unpacking"
RECORD = ".tarnwick-install"
LEFTOVER_LINE = "leftover of an interrupted sample install"


def digest_tree(bundle):
    """{relative path of every file or link: sha256}, links not followed; folders left out."""
    tree = {}
    for folder, dirs, files in os.walk(bundle):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, bundle)
            if os.path.islink(full):
                tree[rel] = "link:" + os.readlink(full)
            else:
                with open(full, "rb") as f:
                    tree[rel] = hashlib.sha256(f.read()).hexdigest()
    return tree


def setup(work, rng):
    """The old bundle and the archive; returns (data folder, archive, old tree, new tree)."""
    names = [f"h5/equities/{600000 + k}.XSHG.h5" for k in range(16)] + [f"ticks/{k:06d}.XSHE.h5" for k in range(8)]
    archive = os.path.join(work, "zvbundle_sample.tar.bz2")
    new = make_archive(archive, {n: rng.randrange(20_000, 200_000) for n in names + ["base_data.bin"]}, 2)
    root = os.path.join(work, "base")
    bundle = os.path.join(root, "bundle")
    for name in names[::2] + ["base_data.bin", "own.txt"]:
        path = os.path.join(bundle, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(5000))
    old = digest_tree(bundle)
    new_tree = dict(old)
    new_tree.update({n: hashlib.sha256(data).hexdigest() for n, data in new.items()})
    return root, archive, old, new_tree


def wait_for_commit_mark(record, p, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and p.poll() is None:
        try:
            with open(record, "rb") as f:
                if b"C\n" in f.read():
                    return True
        except FileNotFoundError:
            pass
    return False


def trial(cli, base, archive, old, new, work, rng, seconds, mode, number):
    root = os.path.join(work, f"t{number}")
    shutil.rmtree(root, ignore_errors=True)
    shutil.copytree(base, root, symlinks=True)
    bundle = os.path.join(root, "bundle")
    p = subprocess.Popen([cli, "download-sample", root, "--file", archive], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
    if mode == "commit":
        wait_for_commit_mark(os.path.join(bundle, RECORD), p, 10 * seconds + 10)
        time.sleep(rng.uniform(0, 0.003))
    else:
        time.sleep(rng.uniform(0, seconds))
    try:
        os.killpg(p.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    p.wait()
    unfinished = os.path.exists(os.path.join(bundle, RECORD)) or os.path.exists(os.path.join(bundle, STAGING))
    status = subprocess.run([cli, "status", root], capture_output=True, text=True)
    unreported = unfinished and LEFTOVER_LINE not in status.stdout
    subprocess.run([cli, "check", "minbar", root], input="no\n", capture_output=True, text=True)
    after = digest_tree(bundle)
    leftovers = [rel for rel in after if rel not in new and rel not in old] + \
        [n for n in (STAGING, RECORD) if os.path.exists(os.path.join(bundle, n))]
    members = {rel: after.get(rel) for rel in after if rel not in leftovers}
    verdict = "old" if members == old else "new" if members == new else "MIXED"
    shutil.rmtree(root)
    return {"mode": mode, "unfinished": unfinished, "unreported": unreported, "verdict": verdict,
            "leftovers": leftovers, "killed": p.returncode == -signal.SIGKILL}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cli", required=True)
    ap.add_argument("--trials", type=int, default=40)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    if not os.access(a.cli, os.X_OK):
        print(f"sample_kill_storm: no executable at {a.cli}")
        return 2
    rng = random.Random(a.seed)
    work = tempfile.mkdtemp(prefix="sample-kill-storm-")
    try:
        base, archive, old, new = setup(work, rng)
        probe = os.path.join(work, "probe")
        shutil.copytree(base, probe)
        started = time.monotonic()
        r = subprocess.run([a.cli, "download-sample", probe, "--file", archive], capture_output=True, text=True)
        seconds = time.monotonic() - started
        if r.returncode != 0 or digest_tree(os.path.join(probe, "bundle")) != new:
            print(f"sample_kill_storm: the uninterrupted install failed ({r.returncode}): {r.stderr}")
            return 2
        print(f"sample kill storm: {a.trials} trials, seed {a.seed}, uninterrupted install {seconds:.2f}s", flush=True)
        results = [trial(a.cli, base, archive, old, new, work, rng, seconds, ("anywhere", "commit")[n % 2], n)
                   for n in range(a.trials)]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{'mode':<9} {'trials':>6} {'killed':>6} {'unfinished':>10} {'unreported':>10} {'old':>4} {'new':>4} "
          f"{'mixed':>5} {'leftovers':>9}")
    for mode in ("anywhere", "commit", "all"):
        rs = [r for r in results if mode in ("all", r["mode"])]
        v = collections.Counter(r["verdict"] for r in rs)
        print(f"{mode:<9} {len(rs):>6} {sum(r['killed'] for r in rs):>6} {sum(r['unfinished'] for r in rs):>10} "
              f"{sum(r['unreported'] for r in rs):>10} {v['old']:>4} {v['new']:>4} {v['MIXED']:>5} "
              f"{sum(len(r['leftovers']) for r in rs):>9}")
    bad = [r for r in results if r["verdict"] == "MIXED" or r["leftovers"] or r["unreported"]]
    for r in bad:
        print("FAILED:", r)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
