"""Writes NPY files made by numpy.save for the C++ NPY reader's tests.

usage: make_npy.py OUT_DIR

Each readable file holds the dates listed in DATES (or SMALL for the one-byte types); the
others are element types or shapes the reader must refuse.
"""
import os
import sys

import numpy as np

out_dir = sys.argv[1]
DATES = [20050104, 20050105, 20161230, 20240229, 20261231]
SMALL = [0, 1, 100, 127]


def save(name, array):
    np.save(os.path.join(out_dir, name), array, allow_pickle=False)


save("int32.npy", np.array(DATES, dtype="<i4"))
save("int64.npy", np.array(DATES, dtype="<i8"))
save("int64_be.npy", np.array(DATES, dtype=">i8"))
save("int32_be.npy", np.array(DATES, dtype=">i4"))
save("uint32.npy", np.array(DATES, dtype="<u4"))
save("uint64_be.npy", np.array(DATES, dtype=">u8"))
save("int8.npy", np.array(SMALL, dtype="i1"))
save("uint8.npy", np.array(SMALL, dtype="u1"))
save("int16.npy", np.array([-32768, -1, 0, 32767], dtype="<i2"))
save("S8.npy", np.array([str(d) for d in DATES], dtype="S8"))
save("U8.npy", np.array([str(d) for d in DATES], dtype="<U8"))
save("U8_be.npy", np.array([str(d) for d in DATES], dtype=">U8"))
save("S10.npy", np.array([str(d) for d in DATES], dtype="S10"))
save("days.npy", np.array(["%d-%02d-%02d" % (d // 10000, d // 100 % 100, d % 100) for d in DATES], dtype="datetime64[D]"))
save("empty.npy", np.array([], dtype="<i8"))
# Version 2.0 of the format (4-byte header length).
with open(os.path.join(out_dir, "int64_v2.npy"), "wb") as f:
    np.lib.format.write_array(f, np.array(DATES, dtype="<i8"), version=(2, 0))

save("float64.npy", np.array(DATES, dtype="<f8"))
save("two_dim.npy", np.array([DATES, DATES], dtype="<i8"))
save("scalar.npy", np.array(20050104, dtype="<i8"))
save("structured.npy", np.array([(1, 2)], dtype=[("a", "<i4"), ("b", "<i4")]))
save("S8_not_date.npy", np.array(["2005010x"], dtype="S8"))
np.save(os.path.join(out_dir, "object.npy"), np.array([1, "a"], dtype=object), allow_pickle=True)
