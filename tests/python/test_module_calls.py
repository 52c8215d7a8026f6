"""Every entry function called by position and by keyword against the simulated market; the
console through sys.stdout / sys.stdin; errors as Python exceptions."""

import errno
import io
import shutil
import sys
import tarfile

import h5py
import pytest

import tarnwick.bundle as tb


@pytest.fixture
def bundle_copies(small_bundle, tmp_path):
    """Two copies of the small bundle: one for the positional call, one for the keyword call."""
    copies = []
    for name in ("positional", "keyword"):
        shutil.copytree(small_bundle, tmp_path / name)
        copies.append(tmp_path / name)
    return copies


@pytest.fixture
def bjse_off():
    yield
    tb._init_tickwire()  # the client's setting lives in the process; leave it as the others expect


def both_ways(capsys, positional, keyword):
    """Runs both calls, returns their results and what each printed."""
    result_p = positional()
    out_p = capsys.readouterr().out
    result_k = keyword()
    out_k = capsys.readouterr().out
    return result_p, out_p, result_k, out_k


def test_update_minbar(tmp_path, capsys, compare_trees):
    a, k = tmp_path / "a", tmp_path / "k"
    result_p, out_p, result_k, out_k = both_ways(
        capsys,
        lambda: tb.update_minbar(str(a), ["000001.XSHE", "IF2612"], False, 2, False, False),
        lambda: tb.update_minbar(enable_bjse=False, rebuild=False, concurrency=2, with_derivatives=False,
                                 tags={"IF2612", "000001.XSHE"}, path=str(k)))
    assert result_p is True and result_k is True
    assert out_p == out_k == "开始更新 2 只标的的分钟线数据：{'000001.XSHE', 'IF2612'}\n"
    assert (a / "equities" / "000001.XSHE.h5").is_file() and (a / "future" / "IF2612.h5").is_file()
    assert compare_trees(a, k) == []


def test_update_tick(tmp_path, capfd, compare_trees):
    a, k = tmp_path / "a", tmp_path / "k"
    assert tb.update_tick(str(a), ("000001.XSHE",), False, 1) is True
    assert tb.update_tick(path=str(k), tags=["000001.XSHE"], with_derivatives=False, concurrency=1) is True
    out = capfd.readouterr().out  # the worker's block lines go to file descriptor 1 directly
    assert out.count("开始更新 1 只标的的tick数据：{'000001.XSHE'}\n") == 2
    with h5py.File(a / "000001.XSHE.h5", "r") as f:
        assert max(f) == "20261204"
    assert compare_trees(a, k) == []


def test_update_bundle_from_tickwirec(tmp_path, capsys, compare_trees):
    a, k = tmp_path / "a", tmp_path / "k"
    result_p, out_p, result_k, out_k = both_ways(
        capsys,
        lambda: tb.update_bundle_from_tickwirec(1, str(a), True, ["IF2612"], None, False, False, False),
        lambda: tb.update_bundle_from_tickwirec(concurrency=1, data_bundle_path=k, base=True, minbar=("IF2612",),
                                                tick=[], with_derivatives=False, rebuild=False, enable_bjse=False))
    assert result_p is True and result_k is True
    assert out_p == out_k == "开始更新日线及基础数据\n开始更新 1 只标的的分钟线数据：{'IF2612'}\n"
    for name in ("trading_dates.npy", "suspended_days.h5", "instruments.pk", "h5/future/IF2612.h5"):
        assert (a / "bundle" / name).is_file()
    assert not (a / "bundle" / "ticks").exists()
    assert compare_trees(a, k) == []


def test_update_bundle_from_exist_file(bundle_copies, capsys, compare_trees):
    a, k = bundle_copies
    result_p, out_p, result_k, out_k = both_ways(
        capsys,
        lambda: tb.update_bundle_from_exist_file(1, str(a)),
        lambda: tb.update_bundle_from_exist_file(data_bundle_path=k, concurrency=1))
    assert result_p is True and result_k is True
    assert out_p == out_k
    assert out_p.startswith("开始智能更新已下载数据\n开始更新日线及基础数据\n")
    assert "开始更新 2 只标的的分钟线数据：{'000001.XSHE', 'IF2612'}\n" in out_p
    assert compare_trees(a, k) == []


SAMPLE_MEMBERS = {"readme.txt": b"sample bundle\n", "h5/equities/000001.XSHE-sample.h5": b"not really hdf5"}


def make_sample_archive(path):
    with tarfile.open(path, "w:bz2") as archive:
        for name, content in SAMPLE_MEMBERS.items():
            info = tarfile.TarInfo(name)
            info.size = len(content)
            archive.addfile(info, io.BytesIO(content))
    return path


def test_download_simple_bundle_from_a_local_archive(tmp_path, capsys):
    archive = make_sample_archive(tmp_path / "zvbundle_sample.tar.bz2")
    a, k = tmp_path / "a", tmp_path / "k"
    result_p, out_p, result_k, out_k = both_ways(
        capsys,
        lambda: tb.download_simple_bundle(str(a), True, str(archive)),
        lambda: tb.download_simple_bundle(file_path=archive, sample=False, data_bundle_path=k))
    assert result_p is None and result_k is None
    assert out_p == out_k == "解压中...\nbundle 数据解压完成\n"
    for root in (a, k):
        assert {str(p.relative_to(root / "bundle")): p.read_bytes() for p in (root / "bundle").rglob("*")
                if p.is_file()} == SAMPLE_MEMBERS
    assert archive.exists()  # a local archive is never deleted


def test_download_simple_bundle_refuses_a_missing_or_wrongly_named_archive(tmp_path, capsys):
    missing = tmp_path / "zvbundle_sample.tar.bz2"
    tb.download_simple_bundle(str(tmp_path / "root"), None, str(missing))
    assert capsys.readouterr().out == f"{missing}文件不存在\n"
    other = make_sample_archive(tmp_path / "other.tar.bz2")
    tb.download_simple_bundle(str(tmp_path / "root"), "anything", str(other))
    lines = capsys.readouterr().out.splitlines()
    assert lines[:2] == [f"{other}文件名不为 zvbundle_sample.tar.bz2", "请使用下列连接下载："]
    assert lines[2].startswith("http://") and lines[2].endswith("/bundles_v4/zvbundle_sample.tar.bz2")
    assert list((tmp_path / "root" / "bundle").iterdir()) == []


def test_download_simple_bundle_downloads_while_python_threads_run(tmp_path, run_python):
    # The archive is served by an HTTP proxy running in a thread of the calling interpreter: the
    # download only completes if the call lets other Python threads run.
    archive = make_sample_archive(tmp_path / "served.tar.bz2")
    script = f"""
import http.server, os, threading
import tarnwick.bundle as tb
body = open({str(archive)!r}, "rb").read()
requested = []
class Proxy(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        requested.append(self.path)
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except OSError:
            pass  # the first request only reads the head
    def log_message(self, *arguments):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Proxy)
threading.Thread(target=server.serve_forever, daemon=True).start()
os.environ["HARRIER_PROXY"] = f"http://127.0.0.1:{{server.server_port}}"
tb.download_simple_bundle({str(tmp_path / "root")!r}, True)
print(len(requested), all(p.endswith("/bundles_v4/zvbundle_sample.tar.bz2") for p in requested))
"""
    done = run_python(script, env={"TMPDIR": str(tmp_path)}, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["bundle 数据下载完毕，解压中...", "bundle 数据解压完成", "2 True"]
    assert (tmp_path / "root" / "bundle" / "readme.txt").read_bytes() == SAMPLE_MEMBERS["readme.txt"]
    assert not (tmp_path / "tarnwick.bundle").exists()  # the downloaded copy is deleted


@pytest.mark.parametrize("check,word,count", [("check_min_bar_data", "分钟", 2), ("check_tick_data", "tick", 1)])
def test_checks(small_bundle, capsys, check, word, count):
    result_p, out_p, result_k, out_k = both_ways(
        capsys,
        lambda: getattr(tb, check)(str(small_bundle)),
        lambda: getattr(tb, check)(data_bundle_path=str(small_bundle)))
    assert result_p is None and result_k is None
    assert out_p == out_k == f"共有{count}个{word}数据文件!\n\n检测完成：{word}数据质量良好！\n"


def test_check_asks_on_sys_stdin_and_deletes_on_yes(bundle_copies, capsys, monkeypatch):
    root = bundle_copies[0]
    damaged = root / "bundle" / "h5" / "equities" / "000001.XSHE.h5"
    with h5py.File(damaged, "r+") as f:
        del f["index"]  # "data" without "index" is abnormal
    monkeypatch.setattr(sys, "stdin", io.StringIO("yes\n"))
    tb.check_min_bar_data(str(root))
    out = capsys.readouterr().out
    assert "数据异常标的如下:\n['000001.XSHE']\n" in out
    assert "是否删除异常数据(yes/no):" in out
    assert "删除完成！共删除1个标的。" in out
    assert not damaged.exists()
    assert (root / "bundle" / "h5" / "future" / "IF2612.h5").exists()


def test_deal_with_check_result(tmp_path, capsys, monkeypatch):
    result_p, out_p, result_k, out_k = both_ways(
        capsys,
        lambda: tb.deal_with_check_result([], [], "分钟"),
        lambda: tb.deal_with_check_result(frequency="分钟", blocking_or_permision_error=[], error_file_path_list=[]))
    assert result_p is None and result_k is None
    assert out_p == out_k == "\n检测完成：分钟数据质量良好！\n"

    bad, blocked = tmp_path / "000001.XSHE.h5", tmp_path / "IF2612.h5"
    bad.write_bytes(b"bad")
    blocked.write_bytes(b"held")
    monkeypatch.setattr(sys, "stdin", io.StringIO("no\n"))
    tb.deal_with_check_result(error_file_path_list=[str(bad)], blocking_or_permision_error=[str(blocked)],
                              frequency="tick")
    out = capsys.readouterr().out
    assert out.startswith("\n检测完成：共有1个标的tick数据存在异常，1个文件被其他进程占用或没有权限。\n")
    assert out.endswith("是否删除异常数据(yes/no):\n异常数据未删除！\n")
    assert bad.exists()
    monkeypatch.setattr(sys, "stdin", io.StringIO("Y\n"))
    tb.deal_with_check_result([str(bad)], [str(blocked)], "tick")
    assert not bad.exists() and blocked.exists()


def test_deal_with_check_result_at_end_of_input_is_eof_error_like_input(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    (tmp_path / "a.h5").write_bytes(b"")
    with pytest.raises(EOFError):
        tb.deal_with_check_result([str(tmp_path / "a.h5")], [], "分钟")
    assert (tmp_path / "a.h5").exists()


def test_remove_h5(tmp_path, capsys):
    a, k = tmp_path / "a.h5", tmp_path / "k.h5"
    a.write_bytes(b"")
    k.write_bytes(b"")
    assert tb.remove_h5(str(a)) is None
    assert tb.remove_h5(h5_file=str(k)) is None
    assert not a.exists() and not k.exists()
    tb.remove_h5(str(a))  # a missing file is no error
    assert capsys.readouterr().out == ""


def test_append_h5(tmp_path, capsys, compare_trees):
    a, k = tmp_path / "a", tmp_path / "k"
    assert tb._append_h5("000001.XSHE", str(a), "custom.h5", 20261101, False) is None
    assert tb._append_h5(rebuild=False, min_start_date=20261101, file_name="custom.h5", path=str(k),
                         order_book_id="000001.XSHE") is None
    with h5py.File(a / "equities" / "custom.h5", "r") as f:
        assert f["index"][0]["date"] == 20261102  # the first trading day from 2026-11-01 (a Sunday)
        assert f["index"][-1]["date"] == 20261204
    assert compare_trees(a, k) == []
    # The defaults: the identifier's own file from MIN_START_DATE (the market's first day).
    tb._append_h5("000001.XSHE", str(a))
    with h5py.File(a / "equities" / "000001.XSHE.h5", "r") as f:
        assert f["index"][0]["date"] == 20260901


def test_append_h5_tick(tmp_path, capfd, compare_trees):
    a, k = tmp_path / "a", tmp_path / "k"
    assert tb._append_h5_tick("000001.XSHE", str(a), None, 20261201, False) is None
    assert tb._append_h5_tick(order_book_id="000001.XSHE", path=k, file_name=None, min_start_date=20261201,
                              rebuild=False) is None
    assert capfd.readouterr().out == "2026-12-01 2026-12-04\n" * 2
    with h5py.File(a / "000001.XSHE.h5", "r") as f:
        assert sorted(f) == ["20261201", "20261202", "20261203", "20261204"]
    assert compare_trees(a, k) == []


def test_merge_tags():
    by_position = tb._merge_tags(["IF2612", "nothing-like-this"], True, False)
    by_keyword = tb._merge_tags(enable_bjse=False, with_derivatives=True, tags=("nothing-like-this", "IF2612"))
    assert type(by_position) is set
    assert by_position == by_keyword == {"IF2612", "IO2612-C-4000", "IO2612-P-4000"}


def test_merge_tags_reports_what_it_cannot_resolve_on_sys_stdout(capsys):
    tb._merge_tags(["nothing-like-this"], False)
    assert capsys.readouterr().out == (
        "不支持的参数值:[nothing-like-this]，\n"
        "可选的参数值有 [stock, futures, fund, index, option, convertible] 或 underlying_symbol 或 order_book_id\n")


def test_init_tickwire_and_switch_of_bjse(bjse_off):
    def bjse_stocks():
        return {i for i in tb._merge_tags(["stock"], False) if i.endswith(".BJSE")}

    tb._init_tickwire()
    assert bjse_stocks() == set()
    assert tb._init_tickwire(True) is None
    assert bjse_stocks() == {"430047.BJSE", "830799.BJSE"}
    tb._init_tickwire(enable_bjse=False)
    assert bjse_stocks() == set()
    assert tb._switch_of_bjse(True) is None
    assert bjse_stocks() == {"430047.BJSE", "830799.BJSE"}
    tb._switch_of_bjse(tag=False)
    assert bjse_stocks() == set()


def test_get_end_date():
    end = tb._get_end_date()
    assert type(end) is int and end == 20261204  # TARNWICK_NOW is past 17:30


# --- console -----------------------------------------------------------------------------------

def test_messages_go_to_sys_stdout_one_write_each_and_flushed(tmp_path, monkeypatch):
    class Recorder:
        def __init__(self):
            self.events = []

        def write(self, text):
            self.events.append(("write", text))
            return len(text)

        def flush(self):
            self.events.append(("flush",))

    recorder = Recorder()
    monkeypatch.setattr(sys, "stdout", recorder)
    tb.update_minbar(str(tmp_path), [], False, 1)
    assert recorder.events == [("write", "开始更新 0 只标的的分钟线数据：set()\n"), ("flush",)]


def test_a_failing_sys_stdout_raises_its_error(tmp_path, monkeypatch):
    class Broken:
        def write(self, text):
            raise RuntimeError("stdout is broken")

    monkeypatch.setattr(sys, "stdout", Broken())
    with pytest.raises(RuntimeError, match="stdout is broken"):
        tb.update_minbar(str(tmp_path), [], False, 1)


# --- errors ------------------------------------------------------------------------------------

def test_unknown_instrument_is_a_value_error(tmp_path):
    with pytest.raises(ValueError, match="NOPE.XSHE"):
        tb._append_h5("NOPE.XSHE", str(tmp_path))


def test_zero_workers_is_a_value_error(tmp_path):
    with pytest.raises(ValueError):
        tb.update_minbar(str(tmp_path), ["000001.XSHE"], False, 0)


def test_file_system_errors_are_os_errors(tmp_path):
    with pytest.raises(IsADirectoryError) as raised:
        tb.remove_h5(str(tmp_path))
    assert isinstance(raised.value, OSError) and raised.value.errno == errno.EISDIR
    (tmp_path / "plain").write_bytes(b"")
    with pytest.raises(NotADirectoryError):
        tb.update_tick(str(tmp_path / "plain" / "ticks"), ["000001.XSHE"], False, 1)


def test_service_refusal_is_permission_denied(tmp_path, run_python):
    script = f"""
import tarnwick.bundle as tb
try:
    tb._append_h5("000001.XSHE", {str(tmp_path)!r})
except tb.PermissionDenied as error:
    print("refused", type(error).__module__, type(error).__name__, isinstance(error, Exception))
"""
    done = run_python(script, env={"TARNWICK_SIM_DENY": "000001.XSHE"})
    assert done.returncode == 0, done.stderr
    assert done.stdout == "refused tarnwick.bundle PermissionDenied True\n"
    assert issubclass(tb.PermissionDenied, Exception) and not issubclass(tb.PermissionDenied, OSError)


def test_unavailable_bjse_data_ends_the_program_with_status_0(tmp_path, run_python):
    script = f"""
import tarnwick.bundle as tb
tb.update_bundle_from_tickwirec(1, {str(tmp_path)!r}, True, ["stock"], [], False, enable_bjse=True)
print("not reached")
"""
    done = run_python(script, env={"TARNWICK_SIM_DENY": "*"})
    assert done.returncode == 0, done.stderr
    assert done.stdout == "没有 enable_bjse 参数，详情可联系Quorvane：0000-00000000\n"
    assert list(tmp_path.iterdir()) == []


def test_full_update_with_the_exchange_works_in_a_fresh_interpreter(tmp_path, run_python):
    # No _init_tickwire(True) first: the command initialises the client as the command line does.
    script = f"""
import tarnwick.bundle as tb
print(tb.update_bundle_from_tickwirec(1, {str(tmp_path)!r}, False, [], ["430047.BJSE"], False, False, True))
"""
    done = run_python(script)
    assert done.returncode == 0, done.stderr
    assert "没有 enable_bjse 参数" not in done.stdout
    assert done.stdout.endswith("True\n"), done.stdout
    assert (tmp_path / "bundle" / "ticks" / "430047.BJSE.h5").is_file()


REBUILD_QUESTION = "本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]\n"


@pytest.mark.parametrize("answers,questions", [("n\n", 1), ("yes\ny\nN\n", 3)])
def test_refused_rebuild_is_system_exit_0(tmp_path, capsys, monkeypatch, answers, questions):
    monkeypatch.setattr(sys, "stdin", io.StringIO(answers))
    with pytest.raises(SystemExit) as raised:
        tb.update_bundle_from_tickwirec(1, str(tmp_path), True, ["000001.XSHE"], ["000001.XSHE"], False,
                                        rebuild=True)
    assert raised.value.code == 0
    assert capsys.readouterr().out == REBUILD_QUESTION * questions
    assert list(tmp_path.iterdir()) == []


def test_confirmed_rebuild_goes_on(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("y\nY\n"))
    assert tb.update_bundle_from_tickwirec(1, str(tmp_path), False, ["IF2612"], [], False, True) is True
    out = capsys.readouterr().out
    assert out == REBUILD_QUESTION * 2 + "开始更新 1 只标的的分钟线数据：{'IF2612'}\n"
    assert (tmp_path / "bundle" / "h5" / "future" / "IF2612.h5").is_file()


def test_end_of_input_at_the_rebuild_question_is_eof_error_like_input(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    with pytest.raises(EOFError):
        tb.update_bundle_from_tickwirec(1, str(tmp_path), True, ["IF2612"], [], False, True)
    assert list(tmp_path.iterdir()) == []
