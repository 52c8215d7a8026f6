#!/usr/bin/python3
"""Reads every dataset of a tick store file with h5py and hdf5plugin, as the host's tick loader
does, and compares its records with the raw records the C++ test wrote next to it.

usage: compare_tick_days.py FILE DIR

DIR holds NAME.records for every dataset NAME of FILE: the little-endian 248-byte records the
dataset must hold. Prints one line per dataset:
    NAME equal|differ ROWS filter ID CD_VALUES...
(the first filter of the dataset and its client data, as HDF5 reports them to h5py). Exit status
0 when every dataset holds its records and every records file has its dataset, 1 otherwise.
"""
import os
import sys

import h5py
import hdf5plugin  # noqa: F401  (registers the Blosc filter with h5py, as the host does)


def main(path, records_dir):
    ok = True
    expected = {name[: -len(".records")] for name in os.listdir(records_dir) if name.endswith(".records")}
    with h5py.File(path, "r") as f:
        for name in sorted(f.keys()):
            data = f[name][()]
            with open(os.path.join(records_dir, name + ".records"), "rb") as raw:
                same = data.dtype.itemsize == 248 and data.tobytes() == raw.read()
            ok = ok and same
            filter_id, _, values, _ = f[name].id.get_create_plist().get_filter(0)
            print(name, "equal" if same else "differ", len(data), "filter", filter_id, *values)
        missing = expected - set(f.keys())
    for name in sorted(missing):
        print(name, "missing")
    return 0 if ok and not missing else 1


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
