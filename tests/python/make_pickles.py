"""Writes pickles made by CPython itself for the C++ pickle reader's tests.

usage: make_pickles.py OUT_DIR MARKER_PATH

  records_p{2,3,4,5}.pk   a list of instrument-like records, one file per protocol
  records.txt             the rendering (render.py) of that list
  class_p2.pk, class_p4.pk  records holding an instance of a class defined here
  reduce_system.pk        a record whose value is a REDUCE of os.system that would create
                          MARKER_PATH if anything executed it
  nested.pk, nested.txt   tuples, nested lists, shared dicts, floats, bytes, big integers
  small_p{2,3,4,5}.pk     a few records and the nested data, small enough to mutate often
"""
import os
import pickle
import sys

from render import render

out_dir, marker = sys.argv[1], sys.argv[2]


def records():
    exchanges = ["XSHE", "XSHG", "BJSE", "XHKG"]
    types = ["CS", "ETF", "INDX", "Future", "Option", "Convertible"]
    out = []
    for i in range(2500):  # more than CPython's batch of 1000 items
        r = {
            "order_book_id": "%06d.%s" % (i, exchanges[i % 4]),
            "symbol": "标的%d" % i if i % 3 else "Symbol %d" % i,
            "type": types[i % len(types)],
            "exchange": exchanges[i % 4],
            "listed_date": "2005-01-%02d" % (1 + i % 28),
            "de_listed_date": "0000-00-00" if i % 5 else "2020-06-30",
            "round_lot": 100 if i % 2 else None,
            "market": "hk" if i % 4 == 3 else "cn",
        }
        if i % 7 == 0:
            r["underlying_order_book_id"] = None
        if i % 11 == 0:
            r["big"] = -(2 ** 40) - i
        out.append(r)
    # A text longer than a frame (64 KiB) is written outside any frame by protocols 4 and 5.
    out[17]["symbol"] = "长" * 40000
    return out


def nested():
    shared = {"exchange": "BJSE", "order_book_id": "430047.BJSE"}
    return [
        shared,
        shared,
        {
            "tuple": (1, "a", None),
            "empty_tuple": (),
            "one": (True,),
            "two": (False, 2.5),
            "list": [[], [[]], [1, [2, [3]]]],
            "floats": [0.1, -1e300, float("inf")],
            "ints": [0, 255, 256, 65535, 65536, -1, -(2 ** 31), 2 ** 31, 2 ** 63 - 1, -(2 ** 63)],
            "bytes": b"\x00\xffbin",
            "empty": "",
            "emoji": "\U0001F600",
            7: "int key",
        },
        {},
        [],
    ]


data = records()
for protocol in (2, 3, 4, 5):
    with open(os.path.join(out_dir, "records_p%d.pk" % protocol), "wb") as f:
        pickle.dump(data, f, protocol=protocol)
    # Small files for mutation tests.
    with open(os.path.join(out_dir, "small_p%d.pk" % protocol), "wb") as f:
        pickle.dump(data[:4] + nested(), f, protocol=protocol)
with open(os.path.join(out_dir, "records.txt"), "w") as f:
    f.write(render(data))

with open(os.path.join(out_dir, "nested.pk"), "wb") as f:
    pickle.dump(nested(), f, protocol=5)
with open(os.path.join(out_dir, "nested.txt"), "w") as f:
    f.write(render(nested()))


class Instrument:
    def __init__(self, order_book_id):
        self.order_book_id = order_book_id


class Payload:
    def __reduce__(self):
        return (os.system, ("touch '%s'" % marker,))


for protocol in (2, 4):
    with open(os.path.join(out_dir, "class_p%d.pk" % protocol), "wb") as f:
        pickle.dump([{"order_book_id": "000001.XSHE", "instrument": Instrument("000001.XSHE")}], f, protocol=protocol)
with open(os.path.join(out_dir, "reduce_system.pk"), "wb") as f:
    pickle.dump([{"order_book_id": "000001.XSHE", "exchange": Payload()}], f, protocol=2)
