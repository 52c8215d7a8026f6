#!/usr/bin/python3
"""Judges the bundles that power cuts left behind, with h5py as an independent reader.

usage: judge_power_cut.py BEFORE AFTER IMAGE...

BEFORE and AFTER are the bundle before the interrupted run and after the same run completed;
each IMAGE is what a power cut during the run left, after the next run settled it. Every store
file (and day-bar file) of an image must be at its last committed state or its new one:

- a minute-bar file and suspended_days.h5: every dataset as in BEFORE, or every one as in AFTER
  (its bars and its day index change together);
- a tick file: each finished day is committed on its own, so the days it holds are those of
  BEFORE, each unchanged, plus some of the days AFTER added, each whole ("<.tmp-DAY>" members of
  a day being replaced count as that day, as the next update finishes them);
- trading_dates.npy and instruments.pk: byte for byte as in BEFORE or in AFTER;
- a file that BEFORE holds is never missing; a new one is missing or complete;
- a file the run had reported updated before the cut (listed, one path relative to the image a
  line, in IMAGE.reported when that exists) is in its new state: a report is never taken back.

Prints one JSON line: images, files judged, files torn, days lost (days of BEFORE a torn file no
longer holds intact), and the first problems. Exit status 1 when any file is torn.
"""
import hashlib
import json
import os
import sys

import h5py
import hdf5plugin  # noqa: F401  (registers the Blosc filter of the tick files)

DAYBAR_FILES = ("trading_dates.npy", "instruments.pk")
LEFTOVER_ENDINGS = (".tmp", ".journal")


def store_files(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            if name.endswith(LEFTOVER_ENDINGS):
                continue
            if name.endswith(".h5") or name in DAYBAR_FILES:
                found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def digest(data):
    return hashlib.sha1(data).hexdigest()


def datasets(path):
    """Every dataset of the file by name, as a digest of its bytes; None when unreadable."""
    try:
        with h5py.File(path, "r") as f:
            out = {}
            f.visititems(lambda name, item: out.__setitem__(name, digest(item[()].tobytes()))
                         if isinstance(item, h5py.Dataset) else None)
            return out
    except Exception:  # noqa: BLE001 - any failure to read is a torn file here
        return None


def tick_days(members):
    """Members by day, a finished "<.tmp-DAY>" standing for its day when the day is missing."""
    days = {k: v for k, v in members.items() if not k.startswith(".tmp-")}
    for name, value in members.items():
        if name.startswith(".tmp-") and name[5:] not in days:
            days[name[5:]] = value
    return days


def judge_file(rel, before_root, after_root, image_root, reported=False):
    """(torn, days_lost, why)."""
    before_path, after_path, image_path = (os.path.join(r, rel) for r in (before_root, after_root, image_root))
    in_before = os.path.exists(before_path)
    if reported:
        return judge_reported(rel, after_path, image_path)
    if not os.path.exists(image_path):
        return (True, -1, "missing") if in_before else (False, 0, "")
    if not rel.endswith(".h5"):
        with open(image_path, "rb") as f:
            got = f.read()
        states = [p for p in (before_path, after_path) if os.path.exists(p)]
        if any(open(p, "rb").read() == got for p in states):
            return False, 0, ""
        return True, 0, "bytes of neither state"
    before = datasets(before_path) if in_before else {}
    after = datasets(after_path) or {}
    image = datasets(image_path)
    if image is None:
        return True, len(before), "unreadable"
    if "ticks" in rel.split(os.sep):
        image = tick_days(image)
        lost = [d for d, v in before.items() if image.get(d) != v and after.get(d) != image.get(d)]
        foreign = [d for d, v in image.items() if before.get(d) != v and after.get(d) != v]
        if lost or foreign:
            return True, len(lost), f"days lost {lost[:3]}, days of neither state {foreign[:3]}"
        return False, 0, ""
    if image == before or image == after:
        return False, 0, ""
    return True, 1, "datasets of neither state"


def judge_reported(rel, after_path, image_path):
    """A file reported updated: only its new state will do."""
    if not os.path.exists(image_path):
        return True, -1, "reported updated, missing"
    if not rel.endswith(".h5"):
        with open(image_path, "rb") as f, open(after_path, "rb") as g:
            return (False, 0, "") if f.read() == g.read() else (True, 0, "reported updated, not in its new state")
    after, image = datasets(after_path) or {}, datasets(image_path)
    if image is None:
        return True, 1, "reported updated, unreadable"
    if "ticks" in rel.split(os.sep):
        image = tick_days(image)
        missing = [d for d, v in after.items() if image.get(d) != v]
        return (True, len(missing), f"reported updated, days missing {missing[:3]}") if missing else (False, 0, "")
    return (False, 0, "") if image == after else (True, 1, "reported updated, not in its new state")


def reported_files(image_root):
    try:
        with open(image_root + ".reported") as f:
            return {line.strip() for line in f if line.strip()}
    except FileNotFoundError:
        return set()


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    before_root, after_root, images = argv[0], argv[1], argv[2:]
    names = store_files(before_root) | store_files(after_root)
    judged = torn = days_lost = 0
    problems = []
    for image_root in images:
        reported = reported_files(image_root)
        for rel in sorted(names):
            is_torn, lost, why = judge_file(rel, before_root, after_root, image_root, rel in reported)
            judged += 1
            if is_torn:
                torn += 1
                days_lost += max(lost, 0)
                problems.append(f"{image_root}: {rel}: {why}")
    print(json.dumps({"images": len(images), "files": judged, "torn": torn, "days_lost": days_lost,
                      "problems": problems[:10]}))
    return 1 if torn else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
