"""The command line's answers to mistakes: one exit status and one message per kind of mistake on
every command, the same exception type in Python, no output written over the bundle's own files,
and the man page and completion made from the program's help."""
import hashlib
import os
import re
import subprocess
from pathlib import Path

import pytest

import tarnwick.bundle as tb

ID = "000002.XSHE"


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    assert tb.update_bundle_from_tickwirec(1, str(root), True, [ID], [ID], False) is True
    return root


def digest(folder):
    """Every file below `folder` with its content's hash: "nothing changed" is checked against it."""
    return {str(p): hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(folder.rglob("*")) if p.is_file()}


# (arguments, text on standard error); each exits 2, prints nothing and changes nothing.
MISTAKES = [
    ("read {root} {id} --start 20261126 --end 20261123", "--start 20261126 is after --end 20261123"),
    ("read {root} {id} --start 2026-13-01", "expected a trading day YYYYMMDD or YYYY-MM-DD"),
    ("read {root} {id} --end yesterday", "expected a trading day YYYYMMDD or YYYY-MM-DD"),
    ("read {root} {id} --tick", 'did you mean "--ticks"?'),
    ("read {root} {id} --format c", "--format"),
    ("status {root} --no-sync", 'unknown option "--no-sync" for tarnwick-bundle status'),
    ("update-minbar {root}/bundle/h5 {id} -j 0", "1 to 4096"),
    ("status {empty}", "no bundle folder in"),
    ("read {empty} {id}", "no bundle folder in"),
    ("check content {empty}", "no bundle folder in"),
    ("update-existing {empty}", "no bundle folder in"),
    ("read {root} {id} -o {minbar}", "is a store file of the bundle"),
    ("read {root} {id} -o {tick}", "is a store file of the bundle"),
    ("read {root} {id} -o {tick}.journal", "is the journal of a store file"),
    ("read {root} {id} -o {root}/bundle/trading_dates.npy", "is a base file of the bundle"),
    ("read {root} {id} -o {root}/bundle/.tarnwick/x", "own records"),
    ("read {root} {id} -o {link}", "which is a store file of the bundle"),
    ("read {root} {id} -o {copy}", "is an HDF5 file"),
    ("status {root} --html {minbar}", "is a store file of the bundle"),
    ("check content {root} --html {link}", "which is a store file of the bundle"),
    ("make-sample -o {tick}", "is a store file of the bundle"),
    ("read {root} {id} -o {scratch}/nodir/x.csv", "No such file or directory"),
    ("read {root} {id} -o {scratch}", "Is a directory"),
    ("status {root} --html {scratch}/nodir/x.html", "No such file or directory"),
    ("check content {root} --html {scratch}/nodir/x.html", "No such file or directory"),
    ("status {root} --html - --json", "both write to standard output"),
    ("make-sample -o -", "give -o FILE"),
]


@pytest.mark.parametrize("arguments, text", MISTAKES)
def test_mistakes_exit_two_and_change_nothing(bundle, run_cli, tmp_path, arguments, text):
    minbar = bundle / "bundle" / "h5" / "equities" / f"{ID}.h5"
    (tmp_path / "link.csv").symlink_to(minbar)
    (tmp_path / "copy.h5").write_bytes(minbar.read_bytes())
    empty = tmp_path / "empty"
    empty.mkdir()
    names = dict(root=bundle, id=ID, empty=empty, minbar=minbar, tick=bundle / "bundle" / "ticks" / f"{ID}.h5",
                 link=tmp_path / "link.csv", copy=tmp_path / "copy.h5", scratch=tmp_path)
    before = digest(bundle), digest(tmp_path)
    result = run_cli(*arguments.format(**names).split(), "-q")
    assert (result.returncode, result.stdout) == (2, ""), result.stderr
    assert text in result.stderr
    assert (digest(bundle), digest(tmp_path)) == before


def test_outputs_that_are_fine(bundle, run_cli, tmp_path):
    out = tmp_path / "bars.csv"
    out.write_text("old")
    assert run_cli("read", bundle, ID, "--start", "2026-11-23", "--end", "20261123", "-o", out).returncode == 0
    assert out.read_text().startswith("datetime,")
    dash = run_cli("read", bundle, ID, "--start", "20261123", "--end", "20261123", "-o", "-", "-q")
    assert dash.returncode == 0 and dash.stdout == out.read_text()
    assert run_cli("status", bundle, "--html", tmp_path / "page.html", "-q").returncode in (0, 1)
    assert (tmp_path / "page.html").read_text().startswith("<!DOCTYPE html>")
    for command in ("status", "check content"):
        page = run_cli(*command.split(), bundle, "--html", "-", "-q")
        assert page.stdout.startswith("<!DOCTYPE html>") and page.stdout.endswith("</html>\n"), command


@pytest.mark.parametrize("call", [tb.status, tb.audit, lambda root: tb.read_minbar(root, ID)])
def test_python_says_the_same_of_a_missing_bundle(tmp_path, call):
    with pytest.raises(FileNotFoundError, match="no bundle folder"):
        call(str(tmp_path))


def test_python_flags_and_version(bundle, cli_path):
    with pytest.raises(TypeError, match="as_frame"):
        tb.read_minbar(str(bundle), ID, as_frame="False")
    version = subprocess.run([cli_path, "--version"], capture_output=True, text=True, check=True).stdout
    assert version == f"tarnwick-bundle {tb.__version__}\n"


def test_man_page_reads_within_80_columns(cli_path):
    page = Path(cli_path).parent / "share" / "tarnwick-bundle.1"
    shown = subprocess.run(["man", "-l", str(page)], capture_output=True, text=True, check=True,
                           env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat")).stdout
    lines = [line for line in shown.splitlines() if len(line) > 80]
    assert not lines, lines
    for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "CATEGORY WORDS", "EXIT STATUS", "ENVIRONMENT",
                    "FILES", "EXAMPLES", "PYTHON MODULE"):
        assert f"\n{section}\n" in shown, section
    source = page.read_text()
    assert "(default: the number of processors)" in source and f"default: {os.cpu_count()}," not in source
    read = source.replace("\\-", "-").split(".SS read\n")[1].split("\n.S")[0]
    assert "--format" in read and "--no-sync" not in read
    assert "update_bundle_from_exist_file(concurrency, data_bundle_path)" in shown
    functions = [name for name, value in vars(tb).items() if callable(value) and not isinstance(value, type)]
    assert [name for name in functions if name[:2] != "__" and not re.search(rf"(?<!\w){name}\(", shown)] == []


def complete(cli_path, cwd, *words):
    """What bash offers for the last of `words` after tarnwick-bundle, one entry per line."""
    script = Path(cli_path).resolve().parent / "share" / "tarnwick-bundle.bash"
    words = ["tarnwick-bundle", *words]
    line = f'source "{script}"; COMP_WORDS=({" ".join(repr(w) for w in words)}); COMP_CWORD={len(words) - 1}; ' \
           '_tarnwick_bundle; printf "%s\\n" "${COMPREPLY[@]}"'
    return set(subprocess.run(["bash", "-c", line], cwd=cwd, capture_output=True, text=True,
                              check=True).stdout.splitlines()) - {""}


def test_completion_of_values_and_names_with_blanks(cli_path, tmp_path):
    (tmp_path / "my data").mkdir()
    assert complete(cli_path, tmp_path, "read", "r", "ID", "--format", "") == {"csv", "npy"}
    assert complete(cli_path, tmp_path, "read", "r", "ID", "--format", "c") == {"csv"}
    assert complete(cli_path, tmp_path, "update-minbar", "r", "-j", "") == set()
    assert complete(cli_path, tmp_path, "status", "my") == {"my data"}
    assert "stock" in complete(cli_path, tmp_path, "update", "r", "--minbar", "")
