"""The module's surface: parameter lists, documentation texts, constants, type checks."""

import inspect
import re
from pathlib import Path

import h5py
import numpy as np
import pytest

import tarnwick.bundle as tb

EMPTY = inspect.Parameter.empty

SIGNATURES = {
    "update_minbar": [("path", EMPTY), ("tags", EMPTY), ("with_derivatives", EMPTY), ("concurrency", EMPTY),
                      ("rebuild", False), ("enable_bjse", False)],
    "update_tick": [("path", EMPTY), ("tags", EMPTY), ("with_derivatives", EMPTY), ("concurrency", EMPTY),
                    ("rebuild", False), ("enable_bjse", False)],
    "update_bundle_from_tickwirec": [("concurrency", EMPTY), ("data_bundle_path", EMPTY), ("base", EMPTY),
                                     ("minbar", EMPTY), ("tick", EMPTY), ("with_derivatives", EMPTY),
                                     ("rebuild", False), ("enable_bjse", False)],
    "update_bundle_from_exist_file": [("concurrency", EMPTY), ("data_bundle_path", EMPTY)],
    "download_simple_bundle": [("data_bundle_path", EMPTY), ("sample", EMPTY), ("file_path", None)],
    "check_min_bar_data": [("data_bundle_path", EMPTY)],
    "check_tick_data": [("data_bundle_path", EMPTY)],
    "deal_with_check_result": [("error_file_path_list", EMPTY), ("blocking_or_permision_error", EMPTY),
                               ("frequency", EMPTY)],
    "remove_h5": [("h5_file", EMPTY)],
    "_append_h5": [("order_book_id", EMPTY), ("path", EMPTY), ("file_name", None), ("min_start_date", 20050104),
                   ("rebuild", False)],
    "_append_h5_tick": [("order_book_id", EMPTY), ("path", EMPTY), ("file_name", None),
                        ("min_start_date", 20050104), ("rebuild", False)],
    "_merge_tags": [("tags", EMPTY), ("with_derivatives", EMPTY), ("enable_bjse", False)],
    "_init_tickwire": [("enable_bjse", False)],
    "_switch_of_bjse": [("tag", EMPTY)],
    "_get_end_date": [],
}

DOCS = {
    "_append_h5_tick": "更新tick级h5文件",
    "update_bundle_from_tickwirec": "通过tickwirec更新指定标的的数据",
    "update_bundle_from_exist_file": "从bundle数据中查看已存在的标的文件 进行增量更新",
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_parameter_names_and_defaults(name):
    parameters = inspect.signature(getattr(tb, name)).parameters.values()
    assert [(p.name, p.default) for p in parameters] == SIGNATURES[name]
    assert all(p.kind == inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_documentation_texts(name):
    assert getattr(tb, name).__doc__ == DOCS.get(name)


def test_module_text_describes_every_function():
    # The functions without a text of their own (and those whose text is Chinese only) are
    # described in English here, and from here in the man page.
    functions = [name for name, value in vars(tb).items()
                 if callable(value) and not isinstance(value, type) and not name.startswith("__")]
    assert len(functions) > 20
    assert [name for name in functions if not re.search(rf"(?<!\w){name}\(", tb.__doc__)] == []


def test_min_start_date_default_is_the_constant():
    default = inspect.signature(tb._append_h5).parameters["min_start_date"].default
    assert default == tb.MIN_START_DATE == 20050104


def test_unknown_keyword_and_missing_argument_are_type_errors():
    with pytest.raises(TypeError):
        tb.remove_h5(h5file="x")
    with pytest.raises(TypeError):
        tb._switch_of_bjse()
    with pytest.raises(TypeError):
        tb._get_end_date(1)


# --- constants ---------------------------------------------------------------------------------

EQUITIES = np.dtype([("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
                     ("volume", "<f8"), ("total_turnover", "<f8")])
DERIVATIVES = np.dtype([("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
                        ("open_interest", "<i8"), ("volume", "<f8"), ("total_turnover", "<f8")])
INDEX = np.dtype([("date", "<i4"), ("line_no", "<u4")])


def test_record_dtypes_are_the_packed_little_endian_records():
    assert tb.EQUITIES_DTYPE == EQUITIES and tb.EQUITIES_DTYPE.itemsize == 56
    assert tb.DERIVATIVES_DTYPE == DERIVATIVES and tb.DERIVATIVES_DTYPE.itemsize == 64
    assert tb.DERIVATIVES_DTYPE.fields["open_interest"] == (np.dtype("<i8"), 40)
    assert tb.INDEX_DTYPE == INDEX and tb.INDEX_DTYPE.itemsize == 8
    assert "open_interest" not in tb.EQUITIES_DTYPE.names


def test_record_dtypes_equal_what_the_store_files_hold(small_bundle):
    h5_root = Path(small_bundle) / "bundle" / "h5"
    with h5py.File(h5_root / "equities" / "000001.XSHE.h5", "r") as f:
        assert f["data"].dtype == tb.EQUITIES_DTYPE
        assert f["index"].dtype == tb.INDEX_DTYPE
    with h5py.File(h5_root / "future" / "IF2612.h5", "r") as f:
        assert f["data"].dtype == tb.DERIVATIVES_DTYPE
        assert f["index"].dtype == tb.INDEX_DTYPE


def test_scalar_constants():
    assert (tb.MIN_START_DATE, tb.MAX_END_DATE, tb.REBUILD_COMFIRM_RETRY_TIMES, tb.TICK_DATE_CHUNK_SIZE) == (
        20050104, 29991231, 3, 100)
    assert all(type(v) is int for v in (tb.MIN_START_DATE, tb.MAX_END_DATE, tb.REBUILD_COMFIRM_RETRY_TIMES,
                                        tb.TICK_DATE_CHUNK_SIZE))


def test_tag_map_and_equities_types_in_order():
    assert list(tb.TAG_MAP.items()) == [
        ("stock", ("CS",)), ("futures", ("Future",)), ("fund", ("ETF", "LOF", "INDX")), ("index", ("INDX",)),
        ("option", ("Option",)), ("convertible", ("Convertible",))]
    assert tb.EQUITIES_INS_TYPE == ("CS", "ETF", "LOF", "INDX", "Convertible", "REITs")


def test_compression_kwargs_create_a_blosc_lz4_dataset(tmp_path):
    kwargs = tb.COMPRESSION_KWARGS
    assert list(kwargs) == ["compression", "compression_opts", "shuffle"]
    assert kwargs["compression"] == 32001 and kwargs["shuffle"] is False
    assert kwargs["compression_opts"][4:] == (9, 1, 1)  # level 9, byte shuffle, LZ4
    records = np.arange(5000, dtype="<i8")
    with h5py.File(tmp_path / "t.h5", "w") as f:
        f.create_dataset("x", data=records, **kwargs)
    with h5py.File(tmp_path / "t.h5", "r") as f:
        code, _flags, values = f["x"].id.get_create_plist().get_filter(0)[:3]
        assert code == 32001 and values[4:] == (9, 1, 1)
        assert np.array_equal(f["x"][()], records)


def test_tick_datasets_are_created_with_compression_kwargs(small_bundle):
    with h5py.File(Path(small_bundle) / "bundle" / "ticks" / "000001.XSHE.h5", "r") as f:
        days = [f[name] for name in f if f[name].shape[0] > 0]
        assert days
        for day in days:
            code, _flags, values = day.id.get_create_plist().get_filter(0)[:3]
            assert code == tb.COMPRESSION_KWARGS["compression"]
            assert values[4:] == tb.COMPRESSION_KWARGS["compression_opts"][4:]


# --- enforced types ----------------------------------------------------------------------------

def valid_arguments(name, folder):
    return {
        "update_minbar": dict(path=str(folder / "h5"), tags=["000001.XSHE"], with_derivatives=False, concurrency=1),
        "update_tick": dict(path=str(folder / "ticks"), tags=["000001.XSHE"], with_derivatives=False, concurrency=1),
        "deal_with_check_result": dict(error_file_path_list=[str(folder / "x.h5")], blocking_or_permision_error=[],
                                       frequency="分钟"),
        "remove_h5": dict(h5_file=str(folder / "x.h5")),
        "_append_h5": dict(order_book_id="000001.XSHE", path=str(folder / "h5"), file_name=None,
                           min_start_date=20261101),
    }[name]


WRONG_TYPES = [
    # function, argument, wrong value, expected as named, given as named
    ("update_minbar", "path", Path("h5"), "str", "pathlib.PosixPath"),
    ("update_minbar", "path", b"h5", "str", "bytes"),
    ("update_minbar", "concurrency", "4", "int", "str"),
    ("update_minbar", "concurrency", 4.0, "int", "float"),
    ("update_tick", "path", None, "str", "NoneType"),
    ("update_tick", "concurrency", "4", "int", "str"),
    ("update_tick", "concurrency", None, "int", "NoneType"),
    ("deal_with_check_result", "error_file_path_list", ("x.h5",), "list", "tuple"),
    ("deal_with_check_result", "blocking_or_permision_error", None, "list", "NoneType"),
    ("deal_with_check_result", "blocking_or_permision_error", {"x.h5"}, "list", "set"),
    ("deal_with_check_result", "frequency", 1, "str", "int"),
    ("remove_h5", "h5_file", Path("x.h5"), "str", "pathlib.PosixPath"),
    ("_append_h5", "order_book_id", 1, "str", "int"),
    ("_append_h5", "path", Path("h5"), "str", "pathlib.PosixPath"),
    ("_append_h5", "file_name", 1, "one of (str, NoneType)", "int"),
    ("_append_h5", "file_name", Path("x.h5"), "one of (str, NoneType)", "pathlib.PosixPath"),
    ("_append_h5", "min_start_date", "20050104", "int", "str"),
    ("_append_h5", "min_start_date", 20050104.0, "int", "float"),
]


@pytest.mark.parametrize("name,argument,value,expected,given", WRONG_TYPES,
                         ids=[f"{c[0]}-{c[1]}-{c[4]}" for c in WRONG_TYPES])
@pytest.mark.parametrize("style", ["keyword", "positional"])
def test_enforced_type_is_rejected_before_anything_happens(tmp_path, capfd, name, argument, value, expected,
                                                           given, style):
    (tmp_path / "x.h5").write_bytes(b"kept")
    arguments = valid_arguments(name, tmp_path)
    arguments[argument] = value
    with pytest.raises(TypeError) as raised:
        if style == "keyword":
            getattr(tb, name)(**arguments)
        else:
            getattr(tb, name)(*arguments.values())
    assert str(raised.value) == f'type of argument "{argument}" must be {expected}; got {given} instead'
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.h5"]  # nothing created, nothing removed
    assert (tmp_path / "x.h5").read_bytes() == b"kept"


def test_wrong_list_element_is_named_with_its_position(tmp_path, capfd):
    with pytest.raises(TypeError) as raised:
        tb.deal_with_check_result([str(tmp_path / "a.h5"), 7], [], "分钟")
    assert str(raised.value) == 'type of argument "error_file_path_list"[1] must be str; got int instead'
    with pytest.raises(TypeError) as raised:
        tb.deal_with_check_result([], [b"a.h5"], "分钟")
    assert str(raised.value) == 'type of argument "blocking_or_permision_error"[0] must be str; got bytes instead'
    assert capfd.readouterr() == ("", "")


def test_bool_counts_as_int_like_isinstance(tmp_path):
    # concurrency=True passes the check (bool is an int) and means one worker.
    assert tb.update_minbar(str(tmp_path / "h5"), [], False, True) is True


def test_concurrency_given_as_text_fails_before_the_announcement(tmp_path, capfd):
    with pytest.raises(TypeError, match='"concurrency"'):
        tb.update_tick(str(tmp_path / "ticks"), ["000001.XSHE"], False, "4")
    assert capfd.readouterr() == ("", "")
    assert not (tmp_path / "ticks").exists()


# --- parameters without an enforced type ------------------------------------------------------

@pytest.mark.parametrize("tags", [
    ["IF", "000001.XSHE"], ("IF", "000001.XSHE"), {"IF", "000001.XSHE"}, frozenset({"IF", "000001.XSHE"}),
    {"IF": 1, "000001.XSHE": 2}, (t for t in ["IF", "000001.XSHE"]),
], ids=["list", "tuple", "set", "frozenset", "dict", "generator"])
def test_tags_accept_any_collection_of_str(tags):
    assert tb._merge_tags(tags, False) == {"000001.XSHE", "IF2611", "IF2612", "IF2701", "IF2703"}


def test_tags_with_something_other_than_str_name_the_argument(tmp_path, capfd):
    with pytest.raises(TypeError, match='argument "tags" must be a collection of str; got an element of type int'):
        tb.update_minbar(str(tmp_path / "h5"), ["000001.XSHE", 1], False, 1)
    with pytest.raises(TypeError, match='argument "tags"'):
        tb._merge_tags(5, False)
    assert capfd.readouterr() == ("", "")


def test_truth_values_are_taken_as_python_truth():
    with_derivatives = tb._merge_tags(["IF2612"], True)
    assert "IO2612-C-4000" in with_derivatives
    assert tb._merge_tags(["IF2612"], 1) == with_derivatives
    assert tb._merge_tags(["IF2612"], "yes") == with_derivatives
    assert tb._merge_tags(["IF2612"], []) == tb._merge_tags(["IF2612"], False) == {"IF2612"}


def test_a_truth_value_that_cannot_be_decided_propagates_its_error():
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError("undecided")

    with pytest.raises(ZeroDivisionError):
        tb._merge_tags(["IF2612"], Undecided())


def test_paths_of_the_commands_accept_path_objects(small_bundle, capsys):
    tb.check_min_bar_data(Path(small_bundle))
    assert "检测完成：分钟数据质量良好！" in capsys.readouterr().out


def test_a_path_that_is_not_one_names_the_argument():
    with pytest.raises(TypeError, match='argument "data_bundle_path": expected str, bytes or os.PathLike'):
        tb.check_tick_data(3)
    with pytest.raises(ValueError, match="embedded null byte"):
        tb.check_tick_data("a\0b")


def test_full_update_that_updates_nothing_accepts_any_concurrency(tmp_path, capfd):
    assert tb.update_bundle_from_tickwirec(None, str(tmp_path), False, None, [], False) is True
    assert capfd.readouterr() == ("", "")
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(TypeError, match='argument "concurrency"'):
        tb.update_bundle_from_tickwirec(None, str(tmp_path), False, ["000001.XSHE"], [], False)


def test_set_sync_keeps_its_setting_in_the_environment_every_call_reads(monkeypatch):
    import os
    monkeypatch.delenv("TARNWICK_NO_SYNC", raising=False)
    tb.set_sync(False)
    assert os.environ["TARNWICK_NO_SYNC"] == "1"
    tb.set_sync(True)
    assert "TARNWICK_NO_SYNC" not in os.environ
