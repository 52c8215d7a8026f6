"""The sample install from Python: a failed install raises (ValueError for a damaged archive,
OSError with the errno for a write error) without the completion line, and the bundle keeps
every byte it had."""

import errno
import io
import os
import resource
import signal
import tarfile

import pytest

import tarnwick.bundle as tb


def make_archive(path, members):
    path.parent.mkdir(parents=True, exist_ok=True)
    with tarfile.open(path, "w:bz2") as archive:
        for name, content in members.items():
            info = tarfile.TarInfo(name)
            info.size = len(content)
            archive.addfile(info, io.BytesIO(content))
    return path


def files_below(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


@pytest.fixture
def installed(tmp_path, capsys):
    old = {"trading_dates.npy": os.urandom(3000), "h5/equities/000001.XSHE.h5": os.urandom(200_000)}
    tb.download_simple_bundle(str(tmp_path / "root"), True, str(make_archive(tmp_path / "old" / "zvbundle_sample.tar.bz2", old)))
    capsys.readouterr()
    return tmp_path / "root", old


def test_truncated_archive_raises_and_leaves_the_bundle(installed, tmp_path, capsys):
    root, old = installed
    archive = make_archive(tmp_path / "new" / "zvbundle_sample.tar.bz2",
                           {"trading_dates.npy": b"new", "h5/equities/000001.XSHE.h5": os.urandom(300_000)})
    archive.write_bytes(archive.read_bytes()[: archive.stat().st_size // 2])
    with pytest.raises(ValueError, match="the bundle was left as it was"):
        tb.download_simple_bundle(str(root), True, str(archive))
    out = capsys.readouterr().out
    assert "bundle 数据解压完成" not in out
    assert out == "解压中...\n"  # the overwrite warning is in the log, on standard error
    assert files_below(root / "bundle") == old


def test_write_error_raises_oserror_with_its_errno(installed, tmp_path, capsys):
    root, old = installed
    archive = make_archive(tmp_path / "new" / "zvbundle_sample.tar.bz2",
                           {"h5/equities/000001.XSHE.h5": os.urandom(1 << 20)})
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (256 * 1024, limits[1]))
    try:
        with pytest.raises(OSError) as raised:
            tb.download_simple_bundle(str(root), True, str(archive))
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        signal.signal(signal.SIGXFSZ, handler)
    assert raised.value.errno == errno.EFBIG
    assert "File too large" in str(raised.value)
    assert "bundle 数据解压完成" not in capsys.readouterr().out
    assert files_below(root / "bundle") == old
