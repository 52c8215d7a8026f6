"""Loads the day-bar update's files the way the host's Python loaders do, and prints them.

usage: check_daybar.py BUNDLE_DIR

Output, one item a line:
  dates <dtype> <count> <comma-separated dates>
  suspended <order_book_id> <dtype> <comma-separated days>        (one line per dataset)
  record <order_book_id>|<type>|<exchange>|<listed_date>|<de_listed_date>|<symbol>|<market>
"""
import os
import pickle
import sys

import h5py
import numpy as np

bundle = sys.argv[1]
dates = np.load(os.path.join(bundle, "trading_dates.npy"), allow_pickle=False)
assert dates.ndim == 1
print("dates %s %d %s" % (dates.dtype.str, len(dates), ",".join(str(int(d)) for d in dates)))
with h5py.File(os.path.join(bundle, "suspended_days.h5"), "r") as f:
    for name in f:
        values = f[name][:]
        print("suspended %s %s %s" % (name, values.dtype.str, ",".join(str(int(v)) for v in values)))
with open(os.path.join(bundle, "instruments.pk"), "rb") as f:
    records = pickle.load(f)
assert isinstance(records, list)
for r in records:
    print("record " + "|".join(str(r[k]) for k in
                               ("order_book_id", "type", "exchange", "listed_date", "de_listed_date", "symbol", "market")))
