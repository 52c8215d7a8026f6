"""Prints NPY files as numpy.load reads them: for each file its dtype on one line, then its
elements as YYYYMMDD-style integers separated by commas (texts decoded, datetime64[D] days
formatted as %Y%m%d).

usage: print_npy.py FILE...
"""
import sys

import numpy as np


def number(a, x):
    if a.dtype.kind == "M":
        return int(str(x).replace("-", ""))
    if a.dtype.kind == "S":
        return int(x.decode("ascii"))
    return int(x)


for path in sys.argv[1:]:
    a = np.load(path, allow_pickle=False)
    assert a.ndim == 1, a.shape
    print(a.dtype.str)
    print(",".join(str(number(a, x)) for x in a))
