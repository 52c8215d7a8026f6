"""Writes and reads minute-bar store files the plain h5py way, for the interop tests of the
C++ store (tests/minbar/interop_test.cpp).

Usage:
  h5py_minbar_writer.py copy SRC DST CHUNKS   rewrite SRC's "data" and "index" into a new file
                                             DST with h5py: gzip 9, no shuffle, unlimited,
                                             "data" chunks of CHUNKS rows ("auto": h5py's guess)
  h5py_minbar_writer.py extend DST FROM       append to DST the records of FROM beyond DST's
                                             length ("index" first, then "data"), h5py's way:
                                             resize, then assign the new rows
  h5py_minbar_writer.py dump FILE OUT         write the raw record bytes of "data" and "index"
                                             to OUT.data and OUT.index, as h5py reads them
"""
import sys

import h5py


def copy(src, dst, chunks):
    with h5py.File(src, "r") as f:
        data = f["data"][:]
        index = f["index"][:]
    data_chunks = True if chunks == "auto" else (int(chunks),)
    with h5py.File(dst, "w") as f:
        f.create_dataset("data", data=data, chunks=data_chunks, compression="gzip", compression_opts=9,
                         shuffle=False, maxshape=(None,))
        f.create_dataset("index", data=index, chunks=True, compression="gzip", compression_opts=9,
                         shuffle=False, maxshape=(None,))
        print(f["data"].chunks[0], f["index"].chunks[0])


def extend(dst, source):
    with h5py.File(source, "r") as src, h5py.File(dst, "a") as f:
        for name in ("index", "data"):
            old = f[name].shape[0]
            new = src[name][old:]
            f[name].resize((old + len(new),))
            f[name][old:] = new
            f.flush()


def dump(path, out):
    with h5py.File(path, "r") as f:
        for name in ("data", "index"):
            with open(f"{out}.{name}", "wb") as o:
                o.write(f[name][:].tobytes())


def main(argv):
    if len(argv) == 4 and argv[0] == "copy":
        copy(*argv[1:])
    elif len(argv) == 3 and argv[0] == "extend":
        extend(*argv[1:])
    elif len(argv) == 3 and argv[0] == "dump":
        dump(*argv[1:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
