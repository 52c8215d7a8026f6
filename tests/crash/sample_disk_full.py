#!/usr/bin/python3
"""Disk-full sweep of the sample install (`tarnwick-bundle download-sample`).

On a small tmpfs of its own, a good bundle is installed from a first archive. Then, for every
point of a sweep, the file system is filled (a filler file) until only a given amount is free,
or its inodes are limited to a few more than in use, and a second archive is installed over the
first: from a local file (--file), or downloaded through a local HTTP proxy into a temporary
folder on the same tmpfs. After each run:

  - a run that failed must not print the completion line "bundle 数据解压完成", must name the
    cause ("No space left on device") and must leave every file of the bundle byte for byte as
    the first archive made it;
  - a run that succeeded must leave exactly the second archive's content over the first;
  - neither may leave the staging folder, side files or a partial download behind.

Counts are printed at the end; the exit status is 0 when every invariant held, 1 when one did
not, and 77 (skipped) when not run as root, which mounting needs.

  sample_disk_full.py --cli build/tarnwick-bundle [--points 12] [--inode-points 4] [--mode both]
"""
import argparse
import hashlib
import http.server
import os
import random
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading

COMPLETED = "bundle 数据解压完成"
CAUSE = "No space left on device"
SIDE_SUFFIXES = (".tarnwick-new", ".tarnwick-old")
STAGING = ".tarnwick-unpacking"


def make_archive(path, files, seed):
    """A bzip2 tar of random (incompressible) files: {name: size}. Returns {name: bytes}."""
    rng = random.Random(seed)
    contents = {}
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with tarfile.open(path, "w:bz2") as archive:
        for name, size in files.items():
            data = rng.randbytes(size)
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = size, 0o644, 1700000000
            archive.addfile(info, __import__("io").BytesIO(data))
            contents[name] = data
    return contents


def snapshot(bundle):
    """{relative path: digest or 'dir' or 'link:target'}, links not followed."""
    tree = {}
    for folder, dirs, files in os.walk(bundle):
        for name in dirs + files:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, bundle)
            if os.path.islink(full):
                tree[rel] = "link:" + os.readlink(full)
            elif os.path.isdir(full):
                tree[rel] = "dir"
            else:
                with open(full, "rb") as f:
                    tree[rel] = hashlib.sha256(f.read()).hexdigest()
    return tree


def expected_tree(base, contents):
    tree = dict(base)
    for name, data in contents.items():
        parts = name.split("/")
        for i in range(1, len(parts)):
            tree.setdefault("/".join(parts[:i]), "dir")
        tree[name] = hashlib.sha256(data).hexdigest()
    return tree


def leftovers(top):
    found = []
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            if name == STAGING or name.endswith(SIDE_SUFFIXES):
                found.append(os.path.join(folder, name))
    return found


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def fill(mount, keep_free):
    filler = os.path.join(mount, "filler")
    with open(filler, "ab") as f:
        block = b"f" * (1 << 20)
        while True:
            excess = free_bytes(mount) - keep_free
            if excess <= 0:
                break
            try:
                f.write(block[: min(len(block), max(4096, excess))])
                f.flush()
            except OSError:
                break


def serve(body):
    """A proxy-style HTTP server answering every GET with `body`; returns (server, url)."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            try:
                self.wfile.write(body)
            except OSError:
                pass

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d" % server.server_address[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cli", required=True)
    parser.add_argument("--points", type=int, default=12, help="free-space values per mode")
    parser.add_argument("--inode-points", type=int, default=4, help="inode limits per mode")
    parser.add_argument("--mode", choices=("file", "download", "both"), default="both")
    parser.add_argument("--size-mib", type=int, default=24, help="size of the tmpfs")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: mounting a tmpfs needs root")
        return 77

    work = tempfile.mkdtemp(prefix="sample-disk-full-")
    mount = os.path.join(work, "mnt")
    os.makedirs(mount)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % args.size_mib, "tmpfs", mount], check=True)
    server = None
    try:
        names = {"trading_dates.npy": 60_000, "h5/equities/000001.XSHE.h5": 900_000,
                 "h5/equities/600000.XSHG.h5": 700_000, "h5/future/IF2401.h5": 400_000,
                 "ticks/000001.XSHE.h5": 1_200_000, "ticks/IF2401.h5": 500_000}
        old_archive = os.path.join(work, "old", "zvbundle_sample.tar.bz2")
        new_archive = os.path.join(work, "new", "zvbundle_sample.tar.bz2")
        make_archive(old_archive, names, 1)
        new_names = dict(names, **{"h5/equities/000002.XSHE.h5": 300_000, "ticks/600000.XSHG.h5": 600_000})
        new_contents = make_archive(new_archive, new_names, 2)
        with open(new_archive, "rb") as f:
            archive_bytes = f.read()
        server, proxy = serve(archive_bytes)

        root = os.path.join(mount, "data")
        bundle = os.path.join(root, "bundle")
        tmpdir = os.path.join(mount, "tmp")
        os.makedirs(tmpdir)
        env = dict(os.environ, TMPDIR=tmpdir, HARRIER_PROXY=proxy)

        def install(archive=None):
            command = [args.cli, "download-sample", root] + (["--file", archive] if archive else [])
            return subprocess.run(command, env=env, capture_output=True, text=True, timeout=600)

        def restore_old():
            done = install(old_archive)
            if done.returncode != 0:
                raise SystemExit("cannot reinstall the first archive: " + done.stdout + done.stderr)

        restore_old()
        old_tree = snapshot(bundle)
        new_tree = expected_tree(old_tree, new_contents)
        unpacked = sum(new_names.values())
        # From nothing free to comfortably more than the staging copy needs.
        top = unpacked + len(new_archive) + (2 << 20) + os.path.getsize(new_archive)
        free_points = [int(top * i / max(1, args.points - 1)) for i in range(args.points)]

        counts = dict(runs=0, failures=0, failures_naming_cause=0, success_messages_on_failure=0,
                      successes=0, files_damaged=0, runs_with_leftovers=0, partial_downloads_left=0)
        modes = ["file", "download"] if args.mode == "both" else [args.mode]
        base_inodes = None
        for mode in modes:
            trials = [("free", v) for v in free_points] + [("inodes", k) for k in range(1, args.inode_points + 1)]
            for kind, value in trials:
                if kind == "free":
                    fill(mount, value)
                else:
                    st = os.statvfs(mount)
                    base_inodes = st.f_files - st.f_ffree
                    subprocess.run(["mount", "-o", "remount,nr_inodes=%d" % (base_inodes + value), mount], check=True)
                done = install(new_archive if mode == "file" else None)
                counts["runs"] += 1
                tree = snapshot(bundle)
                if done.returncode != 0:
                    counts["failures"] += 1
                    counts["failures_naming_cause"] += CAUSE in done.stderr
                    counts["success_messages_on_failure"] += COMPLETED in done.stdout
                    damaged = sum(1 for k in set(old_tree) | set(tree) if old_tree.get(k) != tree.get(k))
                    if CAUSE not in done.stderr:
                        print("failure without the cause (%s %s %d): %s" % (mode, kind, value, done.stderr.strip()))
                else:
                    counts["successes"] += 1
                    damaged = sum(1 for k in set(new_tree) | set(tree) if new_tree.get(k) != tree.get(k))
                counts["files_damaged"] += damaged
                counts["runs_with_leftovers"] += bool(leftovers(mount))
                # A complete download that failed to unpack stays for the next download to
                # overwrite; a partial one must be gone.
                download = os.path.join(tmpdir, "tarnwick.bundle")
                counts["partial_downloads_left"] += (done.returncode != 0 and os.path.exists(download)
                                                     and os.path.getsize(download) != len(archive_bytes))
                print("%-8s %-6s %9d -> exit %d%s" % (mode, kind, value, done.returncode,
                                                      " DAMAGED %d" % damaged if damaged else ""))
                # Back to the first archive on a roomy disk for the next point.
                if os.path.exists(os.path.join(mount, "filler")):
                    os.remove(os.path.join(mount, "filler"))
                if kind == "inodes":
                    subprocess.run(["mount", "-o", "remount,nr_inodes=%d" % 100000, mount], check=True)
                for stale in leftovers(mount):
                    shutil.rmtree(stale, ignore_errors=True) if os.path.isdir(stale) else os.remove(stale)
                if os.path.exists(os.path.join(tmpdir, "tarnwick.bundle")):
                    os.remove(os.path.join(tmpdir, "tarnwick.bundle"))
                if done.returncode == 0 or damaged:
                    shutil.rmtree(bundle)
                    restore_old()
                    if snapshot(bundle) != old_tree:
                        raise SystemExit("the first archive no longer installs the same bundle")

        print(" ".join("%s=%d" % item for item in counts.items()))
        bad = (counts["success_messages_on_failure"] or counts["files_damaged"] or counts["runs_with_leftovers"]
               or counts["partial_downloads_left"] or counts["failures_naming_cause"] != counts["failures"]
               or counts["failures"] == 0 or counts["successes"] == 0)
        return 1 if bad else 0
    finally:
        if server:
            server.shutdown()
        subprocess.run(["umount", "-l", mount])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
