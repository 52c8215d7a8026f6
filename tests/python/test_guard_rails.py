"""Guard rails of the Python module: arguments that would silently do the wrong thing, the
Beijing Stock Exchange switch, the bounded clock, a pool sized by its tasks, and the end of
input at a question."""

import io
import sys

import h5py
import pytest

import tarnwick.bundle as tb


# --- tags must be a collection of str -----------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda p: tb.update_minbar(str(p / "h5"), "000001.XSHE", False, 1),
    lambda p: tb.update_tick(str(p / "ticks"), "000001.XSHE", False, 1),
    lambda p: tb._merge_tags("stock", False),
    lambda p: tb.update_bundle_from_tickwirec(1, str(p), False, "000001.XSHE", [], False),
], ids=["update_minbar", "update_tick", "_merge_tags", "update_bundle_from_tickwirec"])
def test_a_bare_string_for_tags_is_a_type_error(tmp_path, capfd, call):
    with pytest.raises(TypeError, match="must be a collection of str, not a str"):
        call(tmp_path)
    assert capfd.readouterr() == ("", "")
    assert list(tmp_path.iterdir()) == []


# --- rebuild deletes files: bool, 0, 1 or None, nothing else -------------------------------------

REBUILD_CALLS = {
    "update_minbar": lambda root, rebuild: tb.update_minbar(str(root / "h5"), [], False, 1, rebuild=rebuild),
    "update_tick": lambda root, rebuild: tb.update_tick(str(root / "ticks"), [], False, 1, rebuild),
    "update_bundle_from_tickwirec":
        lambda root, rebuild: tb.update_bundle_from_tickwirec(1, str(root), False, [], [], False, rebuild),
    "_append_h5": lambda root, rebuild: tb._append_h5("000001.XSHE", str(root / "h5"), rebuild=rebuild),
    "_append_h5_tick":
        lambda root, rebuild: tb._append_h5_tick("000001.XSHE", str(root / "ticks"), None, 20261201, rebuild),
}


@pytest.mark.parametrize("value,error", [("yes", TypeError), ("False", TypeError), ("", TypeError),
                                         (b"0", TypeError), (1.0, TypeError), ([], TypeError),
                                         (2, ValueError), (-1, ValueError)])
@pytest.mark.parametrize("name", REBUILD_CALLS)
def test_rebuild_refuses_all_but_bool_0_1_and_none(tmp_path, capfd, name, value, error):
    with pytest.raises(error) as raised:
        REBUILD_CALLS[name](tmp_path, value)
    if error is TypeError:
        assert str(raised.value) == (f'type of argument "rebuild" must be bool, 0, 1 or None; '
                                     f'got {type(value).__name__} instead')
    else:
        assert str(raised.value) == f'argument "rebuild" must be True, False, 0, 1 or None; got {value}'
    assert capfd.readouterr() == ("", "")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", REBUILD_CALLS)
def test_rebuild_takes_bool_0_1_and_none(tmp_path, monkeypatch, name):
    monkeypatch.setattr(sys, "stdin", io.StringIO("Y\n" * 5))  # the full update asks before a rebuild
    for value in (False, True, 0, 1, None):
        REBUILD_CALLS[name](tmp_path, value)


def test_rebuild_one_rebuilds_and_zero_or_none_keeps(tmp_path):
    tb._append_h5("000001.XSHE", str(tmp_path), None, 20261201)
    for value, first_day in [(0, 20261201), (None, 20261201), (1, 20261202)]:
        tb._append_h5("000001.XSHE", str(tmp_path), None, 20261202, value)
        with h5py.File(tmp_path / "equities" / "000001.XSHE.h5", "r") as f:
            assert f["index"][0]["date"] == first_day, value


# --- the Beijing Stock Exchange -----------------------------------------------------------------

def test_the_exchange_flag_includes_and_updates_its_stocks(tmp_path, capsys):
    assert tb.update_minbar(str(tmp_path / "h5"), ["stock"], False, 2, enable_bjse=True) is True
    assert "'430047.BJSE'" in capsys.readouterr().out
    for name in ("430047.BJSE", "830799.BJSE"):
        with h5py.File(tmp_path / "h5" / "equities" / f"{name}.h5", "r") as f:
            assert sorted(f) == ["data", "index"] and len(f["data"]) > 0
    assert tb.update_tick(str(tmp_path / "ticks"), ["430047.BJSE"], False, 1, enable_bjse=True) is True
    with h5py.File(tmp_path / "ticks" / "430047.BJSE.h5", "r") as f:
        assert len(f) > 0, "an empty file is no update"
    # The client's setting is what it was before each call.
    assert tb._merge_tags(["stock"], False).isdisjoint({"430047.BJSE", "830799.BJSE"})


def test_all_without_the_flag_succeeds(tmp_path, run_python):
    done = run_python(f"import tarnwick.bundle as tb\n"
                      f"print(tb.update_minbar({str(tmp_path / 'h5')!r}, ['all'], False, 2))\n",
                      env={"TARNWICK_NOW": "2026-09-03 18:00:00"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.endswith("True\n"), done.stdout


# --- the clock ----------------------------------------------------------------------------------

@pytest.mark.parametrize("now,text", [
    ("9999-12-31 23:59:59", "after 2999-12-31"),
    ("3000-01-01", "after 2999-12-31"),
    ("tomorrow", "TARNWICK_NOW"),
])
def test_an_unusable_clock_is_a_value_error_before_anything_starts(tmp_path, run_python, now, text):
    (tmp_path / "bundle" / "ticks").mkdir(parents=True)
    script = (
        "import tarnwick.bundle as tb\n"
        "for call in (lambda: tb.update_minbar(ROOT + '/bundle/h5', ['000001.XSHE'], False, 1),\n"
        "             lambda: tb.update_bundle_from_exist_file(1, ROOT),\n"
        "             lambda: tb.update_bundle_from_tickwirec(1, ROOT, True, [], [], False)):\n"
        "    try:\n"
        "        call()\n"
        "        print('no error')\n"
        "    except ValueError as error:\n"
        "        print('ValueError', error)\n"
    ).replace("ROOT", repr(str(tmp_path)))
    done = run_python(script, env={"TARNWICK_NOW": now})
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 3 and all(line.startswith("ValueError") and text in line for line in lines), done.stdout
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["bundle", "ticks"]


# --- the pool sizes itself by its tasks ---------------------------------------------------------

def test_fifty_million_workers_for_one_instrument_cost_no_memory(tmp_path, run_python):
    script = (
        "import resource, tarnwick.bundle as tb\n"
        "pages = int(open('/proc/self/statm').read().split()[0])\n"
        "spare = pages * resource.getpagesize() + (256 << 20)\n"
        "resource.setrlimit(resource.RLIMIT_AS, (spare, resource.RLIM_INFINITY))\n"
        f"print(tb.update_minbar({str(tmp_path / 'h5')!r}, ['IF2612'], False, 50_000_000))\n"
    )
    done = run_python(script)
    assert done.returncode == 0, done.stderr
    assert done.stdout.endswith("True\n"), done.stdout
    assert (tmp_path / "h5" / "future" / "IF2612.h5").is_file()


# --- the end of input at a question -------------------------------------------------------------

def test_end_of_input_at_a_question_is_eof_error(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    with pytest.raises(EOFError):
        tb.update_bundle_from_tickwirec(1, str(tmp_path), False, ["IF2612"], [], False, True)
    bad = tmp_path / "x.h5"
    bad.write_bytes(b"")
    with pytest.raises(EOFError):
        tb.deal_with_check_result([str(bad)], [], "tick")
    assert bad.exists()
