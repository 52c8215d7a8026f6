"""scripts/install into a scratch prefix, scripts/uninstall, and pip into a scratch virtual
environment; the installed program, man page, completion and module are used from elsewhere.

Both reuse the build folder the tests were built in (TARNWICK_BUILD_DIR), so nothing is
compiled again. Run by ctest (test `install`).
"""
import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = os.environ["TARNWICK_BUILD_DIR"]
SITE = f"lib/python{sys.version_info.major}.{sys.version_info.minor}/dist-packages"
IMPORT = "import tarnwick.bundle as tb, sys; print(tb.__file__); print(tb.read_minbar.__doc__.splitlines()[0])"


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, text=True, **kwargs).stdout


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("prefix")
    env = dict(os.environ, PREFIX=str(prefix), BUILD_DIR=BUILD, TARNWICK_SKIP_DEPS="1")
    run(["bash", str(REPO / "scripts" / "install")], env=env)
    return prefix


def complete(script, *words):
    """The completions bash offers for the last of `words` (after `tarnwick-bundle`)."""
    words = ["tarnwick-bundle", *words]
    line = f'source "{script}"; COMP_WORDS=({" ".join(repr(w) for w in words)}); COMP_CWORD={len(words) - 1}; ' \
           '_tarnwick_bundle; printf "%s\\n" "${COMPREPLY[@]}"'
    return set(run(["bash", "-c", line], cwd="/").split())


def test_installed_program_module_and_documents(prefix, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    assert run([str(prefix / "bin" / "tarnwick-bundle"), "--version"], cwd=elsewhere).startswith("tarnwick-bundle ")
    # With bytecode written, as a user's first import does: the uninstall removes it too.
    env = {**{k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}, "PYTHONPATH": str(prefix / SITE)}
    out = run(["/usr/bin/python3", "-c", IMPORT], cwd=elsewhere, env=env).splitlines()
    assert out == [str(prefix / SITE / "tarnwick" / Path(out[0]).name),
                   "Read the minute bars of one instrument for a range of trading days."]

    page = (prefix / "share" / "man" / "man1" / "tarnwick-bundle.1").read_text().replace("\\-", "-")
    assert page.startswith(".TH TARNWICK-BUNDLE 1 ")
    for words in (".SS update-minbar", ".SS check minbar", ".SS read", "--concurrency", "--format"):
        assert words in page, words

    script = prefix / "share" / "bash-completion" / "completions" / "tarnwick-bundle"
    assert {"update-minbar", "update-tick", "update-existing"} <= complete(script, "update")
    assert complete(script, "check", "") >= {"minbar", "tick"}
    assert {"stock", "futures", "convertible", "--with-derivatives"} <= complete(script, "update-minbar", "r", "")
    assert complete(script, "read", "r", "ID", "--f") == {"--format", "--fields"}


def test_uninstall_removes_what_was_installed(prefix):
    manifest = Path(BUILD, "install_manifest.txt").read_text().split()
    assert manifest and all(Path(f).exists() for f in manifest)
    run(["bash", str(REPO / "scripts" / "uninstall"), BUILD])
    assert not [f for f in manifest if Path(f).exists()]
    assert not (prefix / SITE / "tarnwick").exists()
    assert not list(prefix.iterdir()), "the folders the install made are removed"


def test_pip_into_a_virtual_environment(tmp_path):
    venv = tmp_path / "v"
    run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)])
    run([str(venv / "bin" / "pip"), "install", "-q", "--no-build-isolation", "--no-index", str(REPO)],
        env=dict(os.environ, TARNWICK_BUILD_DIR=BUILD, PIP_DISABLE_PIP_VERSION_CHECK="1"))
    out = run([str(venv / "bin" / "python"), "-c", IMPORT], cwd=tmp_path).splitlines()
    assert out[0].startswith(str(venv / "lib")) and out[1].startswith("Read the minute bars")
    assert run([str(venv / "bin" / "tarnwick-bundle"), "--version"], cwd=tmp_path).startswith("tarnwick-bundle ")
    assert (venv / "share" / "man" / "man1" / "tarnwick-bundle.1").is_file()
