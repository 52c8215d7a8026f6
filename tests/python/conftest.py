"""Shared set-up of the tests of the Python module tarnwick.bundle.

The clock and the simulated market read their settings from the environment once per process,
so they are fixed here, before the module is first used: "now" is 2026-12-04 18:00 (past the
17:30 cut-off, so the end date is that day) and the market runs on its defaults. Tests that need
other settings run a script in a child interpreter.

Run with Debian's interpreter and the built package on the path:
    PYTHONPATH=<build>/python /usr/bin/python3 -m pytest tests/python
TARNWICK_CLI names the command line (default: <build>/tarnwick-bundle next to the package).
"""

import os
import pickle
import signal
import subprocess
import sys
from pathlib import Path

import pytest

NOW = "2026-12-04 18:00:00"

# Child interpreters run as a host would: with sys.stdout block-buffered on a pipe.
for _name in list(os.environ):
    if _name.startswith("TARNWICK_SIM_") or _name in ("TARNWICK_NOW", "TARNWICK_LOG_FILE", "HARRIER_PROXY",
                                                      "PYTHONUNBUFFERED"):
        del os.environ[_name]
os.environ["TARNWICK_NOW"] = NOW

import h5py  # noqa: E402
import numpy as np  # noqa: E402

import tarnwick.bundle  # noqa: E402


@pytest.fixture(scope="session")
def cli_path():
    path = os.environ.get("TARNWICK_CLI")
    if not path:
        # <build>/python/tarnwick/bundle*.so -> <build>/tarnwick-bundle
        path = str(Path(tarnwick.bundle.__file__).resolve().parents[2] / "tarnwick-bundle")
    if not os.access(path, os.X_OK):
        pytest.fail(f"the command line is not at {path}; set TARNWICK_CLI")
    return path


def run_process(argv, env=None, stdin="", timeout=120):
    """Runs argv in its own session with the test environment plus `env`; on a timeout the whole
    process group (workers included) is killed before the error is raised."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    process = subprocess.Popen(argv, env=full_env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = process.communicate(stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    return subprocess.CompletedProcess(argv, process.returncode, out, err)


@pytest.fixture
def run_python():
    """run_python(script, env=None, stdin="", timeout=120): the script in a child interpreter."""
    def run(script, env=None, stdin="", timeout=120):
        return run_process([sys.executable, "-c", script], env, stdin, timeout)
    return run


@pytest.fixture
def run_cli(cli_path):
    """run_cli(*arguments, env=None, stdin=""): the command line."""
    def run(*arguments, env=None, stdin="", timeout=120):
        return run_process([cli_path, *map(str, arguments)], env, stdin, timeout)
    return run


def _filters(dataset):
    plist = dataset.id.get_create_plist()
    return [plist.get_filter(i)[:3] for i in range(plist.get_nfilters())]


def _h5_differences(a, b, label):
    differences = []
    with h5py.File(a, "r") as fa, h5py.File(b, "r") as fb:
        names_a, names_b = [], []
        fa.visit(names_a.append)
        fb.visit(names_b.append)
        if sorted(names_a) != sorted(names_b):
            return [f"{label}: members {sorted(names_a)} != {sorted(names_b)}"]
        for obj_a, obj_b, where in [(fa, fb, "/")] + [(fa[n], fb[n], n) for n in names_a]:
            if dict(obj_a.attrs) != dict(obj_b.attrs):
                differences.append(f"{label}:{where}: attributes differ")
            if isinstance(obj_a, h5py.Group) != isinstance(obj_b, h5py.Group):
                differences.append(f"{label}:{where}: group in one file, dataset in the other")
                continue
            if isinstance(obj_a, h5py.Group):
                continue
            for what in ("dtype", "shape", "maxshape", "chunks"):
                if getattr(obj_a, what) != getattr(obj_b, what):
                    differences.append(f"{label}:{where}: {what} {getattr(obj_a, what)} != {getattr(obj_b, what)}")
            if _filters(obj_a) != _filters(obj_b):
                differences.append(f"{label}:{where}: filters {_filters(obj_a)} != {_filters(obj_b)}")
            if obj_a.dtype == obj_b.dtype and obj_a.shape == obj_b.shape:
                if np.asarray(obj_a[()]).tobytes() != np.asarray(obj_b[()]).tobytes():
                    differences.append(f"{label}:{where}: content differs")
    return differences


def tree_differences(root_a, root_b):
    """What differs between two folders: the set of files, and each file's content (HDF5 files
    member by member with h5py, NPY arrays with numpy, pickles by their loaded value)."""
    root_a, root_b = Path(root_a), Path(root_b)
    files_a = sorted(p.relative_to(root_a) for p in root_a.rglob("*") if p.is_file())
    files_b = sorted(p.relative_to(root_b) for p in root_b.rglob("*") if p.is_file())
    if files_a != files_b:
        return [f"files {[str(f) for f in files_a]} != {[str(f) for f in files_b]}"]
    differences = []
    for rel in files_a:
        a, b = root_a / rel, root_b / rel
        if rel.suffix == ".h5":
            differences += _h5_differences(a, b, str(rel))
        elif rel.suffix == ".npy":
            x, y = np.load(a, allow_pickle=False), np.load(b, allow_pickle=False)
            if x.dtype != y.dtype or not np.array_equal(x, y):
                differences.append(f"{rel}: arrays differ")
        elif rel.suffix == ".pk":
            # Files this test run wrote itself.
            with open(a, "rb") as fa, open(b, "rb") as fb:
                if pickle.load(fa) != pickle.load(fb):
                    differences.append(f"{rel}: pickled values differ")
        elif rel.name == "update_rates.json":
            continue  # the runs' wall times: never the same twice
        elif a.read_bytes() != b.read_bytes():
            differences.append(f"{rel}: bytes differ")
    return differences


@pytest.fixture(scope="session")
def compare_trees():
    return tree_differences


@pytest.fixture(scope="session")
def small_bundle(tmp_path_factory):
    """A bundle made once by a full update (day bars, two minute-bar files, one tick file);
    tests copy it before changing anything."""
    root = tmp_path_factory.mktemp("small_bundle")
    ok = tarnwick.bundle.update_bundle_from_tickwirec(1, str(root), True, ["000001.XSHE", "IF2612"],
                                                      ["000001.XSHE"], False)
    assert ok is True
    return root
