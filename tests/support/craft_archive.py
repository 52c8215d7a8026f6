"""Test support: writes and lists tar archives with Python's tarfile, independently of the
libarchive code under test. Names and contents travel hex-encoded, one member a line:

  craft_archive.py write OUT MODE LIST   MODE is a tarfile mode ("w:bz2", "w"); LIST holds lines
                                         "KIND<TAB>HEX(NAME)<TAB>HEX(DATA)", KIND one of file,
                                         dir, symlink, hardlink (DATA: content or link target),
                                         or huge: a file header claiming DATA (decimal) bytes
                                         followed by no data at all, as a cut-off archive would be
  craft_archive.py list ARCHIVE          prints such lines for every member, in archive order
  craft_archive.py bomb OUT SIZE         a bzip2 tar of one member of SIZE zero bytes, streamed
                                         (commands/data/bomb.tar.bz2: SIZE 2147483648, 1.6 KB)

tarfile writes whatever name it is given, "../x" and "/x" included, which is what the refusal
tests need.
"""
import io
import sys
import tarfile


def write(out, mode, listing):
    with open(listing, encoding="ascii") as lines, tarfile.open(out, mode) as archive:
        for line in lines:
            kind, name, data = line.rstrip("\n").split("\t")
            info = tarfile.TarInfo(bytes.fromhex(name).decode("utf-8"))
            data = bytes.fromhex(data)
            info.mtime = 1700000000
            if kind == "file":
                info.size = len(data)
                info.mode = 0o644
                archive.addfile(info, io.BytesIO(data))
                continue
            if kind == "huge":
                info.size, info.mode = int(data.decode("ascii")), 0o644
                header = info.tobuf(archive.format, archive.encoding, archive.errors)
                archive.fileobj.write(header)
                archive.offset += len(header)
                continue
            if kind == "dir":
                info.type, info.mode = tarfile.DIRTYPE, 0o755
            elif kind == "symlink":
                info.type, info.linkname = tarfile.SYMTYPE, data.decode("utf-8")
            elif kind == "hardlink":
                info.type, info.linkname = tarfile.LNKTYPE, data.decode("utf-8")
            else:
                raise SystemExit("unknown member kind " + kind)
            archive.addfile(info)


class Zeros(io.RawIOBase):
    def __init__(self, size):
        self.left = size

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), self.left)
        buffer[:n] = bytes(n)
        self.left -= n
        return n


def bomb(out, size):
    with tarfile.open(out, "w:bz2", format=tarfile.GNU_FORMAT) as archive:
        info = tarfile.TarInfo("h5/equities/000001.XSHE.h5")
        info.size, info.mode, info.mtime = size, 0o644, 1700000000
        archive.addfile(info, io.BufferedReader(Zeros(size), 1 << 20))


def list_members(path):
    with tarfile.open(path, "r:*") as archive:
        for info in archive:
            if info.isreg():
                kind, data = "file", archive.extractfile(info).read()
            elif info.isdir():
                kind, data = "dir", b""
            elif info.issym():
                kind, data = "symlink", info.linkname.encode("utf-8")
            elif info.islnk():
                kind, data = "hardlink", info.linkname.encode("utf-8")
            else:
                kind, data = "other", b""
            print(kind, info.name.encode("utf-8").hex(), data.hex(), sep="\t")


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], sys.argv[3], sys.argv[4])
    elif sys.argv[1] == "list":
        list_members(sys.argv[2])
    elif sys.argv[1] == "bomb":
        bomb(sys.argv[2], int(sys.argv[3]))
    else:
        raise SystemExit("usage: craft_archive.py write OUT MODE LIST | list ARCHIVE | bomb OUT SIZE")
