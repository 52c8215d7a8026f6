"""Worker processes forked from the interpreter's process, and the module against the command line.

Each test runs its Python side in a child interpreter (its own clock and market settings, and a
hang is a timeout rather than a stuck test run)."""

import h5py
import pytest

EARLIER = "2026-12-01 18:00:00"
LATER = "2026-12-04 18:00:00"
SHORT_HISTORY = {"TARNWICK_SIM_FIRST_DATE": "20261102"}  # a month of minute bars keeps the runs short


def test_workers_start_while_another_thread_uses_h5py(tmp_path, run_python):
    # h5py takes HDF5's global lock in its thread, partly without the GIL; a worker forked at
    # that moment would wait for that lock forever.
    script = f"""
import os, threading
import numpy as np, h5py
import tarnwick.bundle as tb
busy = os.path.join({str(tmp_path)!r}, "busy.h5")
with h5py.File(busy, "w") as f:
    f["x"] = np.arange(1000)
stop = False
reads = 0
def read_all_the_time():
    global reads
    while not stop:
        with h5py.File(busy, "r") as f:
            f["x"][:10]
        reads += 1
reader = threading.Thread(target=read_all_the_time)
reader.start()
try:
    ok = tb.update_minbar(os.path.join({str(tmp_path)!r}, "h5"), ["futures", "000001.XSHE"], False, 2)
finally:
    stop = True
    reader.join()
print(ok, reads > 0)
"""
    done = run_python(script, env={"TARNWICK_SIM_FIRST_DATE": "20261116"}, timeout=90)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "True True"
    assert len(list((tmp_path / "h5" / "future").glob("*.h5"))) >= 4


def test_ctrl_c_stops_a_worker(tmp_path, run_python):
    # The interpreter catches SIGINT; a worker never runs Python code and must not inherit that
    # handler, or Ctrl-C would not stop it.
    script = f"""
import os, signal, threading, time
import tarnwick.bundle as tb
me = os.getpid()
seen = []
def interrupt_the_worker():
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with open(f"/proc/{{me}}/task/{{me}}/children") as f:
            children = f.read().split()
        if children:
            worker = int(children[0])
            # Wait until the worker runs its calls (its signals unblocked after the fork): a
            # worker stopped before its first call is simply replaced, and nothing fails.
            with open(f"/proc/{{worker}}/status") as f:
                blocked = [l for l in f if l.startswith("SigBlk:")]
            if not blocked or int(blocked[0].split()[1], 16) != 0:
                time.sleep(0.0005)
                continue
            time.sleep(0.05)
            seen.append(worker)
            os.kill(worker, signal.SIGINT)
            return
        time.sleep(0.0005)
watcher = threading.Thread(target=interrupt_the_worker)
watcher.start()
# One worker with several long calls: it is busy long after the watcher, which may be
# scheduled late on a loaded machine, has found it.
ok = tb.update_tick({str(tmp_path / "ticks")!r}, ["IF2612", "IF2701", "IF2703", "IH2612"], False, 1)
watcher.join()
print(ok, len(seen), signal.getsignal(signal.SIGINT) is signal.default_int_handler)
"""
    done = run_python(script, env={"TARNWICK_SIM_TICK_FIRST_DATE": "20260901"}, timeout=90)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "False 1 True", done.stderr
    assert "signal 2" in done.stderr  # the pool's record of how the worker ended


def test_messages_stay_in_order_with_the_workers_lines(tmp_path, run_python):
    # Workers print to file descriptor 1 themselves; the module's own messages go through
    # sys.stdout, which is block-buffered on a pipe, and must be out before a worker starts.
    script = f"""
import tarnwick.bundle as tb
tb.update_bundle_from_tickwirec(1, {str(tmp_path)!r}, False, ["IF2612"], ["IF2612", "000001.XSHE"], False)
"""
    done = run_python(script)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "开始更新 1 只标的的分钟线数据：{'IF2612'}",
        "开始更新 2 只标的的tick数据：{'000001.XSHE', 'IF2612'}",
        "2026-09-01 2026-12-04",
        "2026-09-01 2026-12-04",
    ]


MINBAR_TAGS = ["000001.XSHE", "IF2612", "IO2612-C-4000", "510050.XSHG"]
TICK_TAGS = ["000001.XSHE", "IF2612"]


def python_step(run_python, now, statement):
    done = run_python(f"import sys, tarnwick.bundle as tb\nresult = {statement}\n"
                      "sys.exit(0 if result in (True, None) else 1)\n", env={"TARNWICK_NOW": now, **SHORT_HISTORY})
    return done.returncode, done.stdout


def cli_step(run_cli, now, *arguments):
    done = run_cli(*arguments, env={"TARNWICK_NOW": now, **SHORT_HISTORY})
    return done.returncode, done.stdout


def last_minute_bar_day(root, group, order_book_id):
    with h5py.File(root / "bundle" / "h5" / group / f"{order_book_id}.h5", "r") as f:
        return int(f["index"][-1]["date"])


@pytest.mark.parametrize("concurrency", [1, 2])
def test_full_update_check_and_incremental_update_give_the_command_lines_files(tmp_path, run_python, run_cli,
                                                                               compare_trees, concurrency):
    cli_root, py_root = tmp_path / "cli", tmp_path / "py"

    # Full update on 1 December.
    cli = cli_step(run_cli, EARLIER, "update", cli_root, "--base", "--minbar", *MINBAR_TAGS, "--tick", *TICK_TAGS,
                   "-j", concurrency)
    py = python_step(run_python, EARLIER, f"tb.update_bundle_from_tickwirec({concurrency}, {str(py_root)!r}, True, "
                                          f"{MINBAR_TAGS!r}, {TICK_TAGS!r}, False)")
    assert cli[0] == py[0] == 0
    if concurrency == 1:  # one worker at a time: the workers' lines come in a fixed order
        assert py[1] == cli[1]
    else:
        assert sorted(py[1].splitlines()) == sorted(cli[1].splitlines())
    assert compare_trees(cli_root, py_root) == []
    assert last_minute_bar_day(py_root, "equities", "000001.XSHE") == 20261201

    # Checks: both bundles are sound; the texts are the same.
    for kind, function in (("minbar", "check_min_bar_data"), ("tick", "check_tick_data")):
        cli = cli_step(run_cli, EARLIER, "check", kind, cli_root)
        py = python_step(run_python, EARLIER, f"tb.{function}({str(py_root)!r})")
        assert cli == py
        assert "数据质量良好" in py[1]
    assert compare_trees(cli_root, py_root) == []

    # Incremental update on 4 December extends every file.
    cli = cli_step(run_cli, LATER, "update-existing", cli_root, "-j", concurrency)
    py = python_step(run_python, LATER, f"tb.update_bundle_from_exist_file({concurrency}, {str(py_root)!r})")
    assert cli[0] == py[0] == 0
    assert sorted(py[1].splitlines()) == sorted(cli[1].splitlines())
    assert compare_trees(cli_root, py_root) == []
    assert last_minute_bar_day(py_root, "equities", "000001.XSHE") == 20261204
    assert last_minute_bar_day(py_root, "option", "IO2612-C-4000") == 20261204
    with h5py.File(py_root / "bundle" / "ticks" / "IF2612.h5", "r") as f:
        assert max(f) == "20261204"


def test_ctrl_c_ends_a_full_update_at_its_next_message(tmp_path, run_python):
    script = f"""
import os, signal, threading, time
import tarnwick.bundle as tb
me = os.getpid()
def interrupt_once_a_worker_runs():
    while True:
        with open(f"/proc/{{me}}/task/{{me}}/children") as f:
            if f.read().split():
                os.kill(me, signal.SIGINT)
                return
        time.sleep(0.0005)
threading.Thread(target=interrupt_once_a_worker_runs, daemon=True).start()
try:
    tb.update_bundle_from_tickwirec(1, {str(tmp_path)!r}, False, ["IF2612"], ["IF2612"], False)
    print("not interrupted")
except KeyboardInterrupt:
    print("interrupted")
"""
    done = run_python(script, timeout=60)
    assert done.returncode == 0, done.stderr
    # The minute bars were under way; the tick step stopped at its announcement.
    assert done.stdout.splitlines() == ["开始更新 1 只标的的分钟线数据：{'IF2612'}", "interrupted"]
    assert not (tmp_path / "bundle" / "ticks" / "IF2612.h5").exists()


def test_ctrl_c_is_raised_even_where_the_library_logs_the_failure(tmp_path, run_python):
    # A file update logs whatever stops it while its file is open and carries on; the interrupt
    # must still reach the caller.
    script = f"""
import os, signal, sys
import tarnwick.bundle as tb
class InterruptAtTheFirstLine:
    def __init__(self, out):
        self.out = out
    def write(self, text):
        self.out.write(text)
        if not hasattr(self, "sent"):
            self.sent = True
            os.kill(os.getpid(), signal.SIGINT)  # its handler raises KeyboardInterrupt right here
    def flush(self):
        self.out.flush()
real_stdout = sys.stdout
sys.stdout = InterruptAtTheFirstLine(real_stdout)
try:
    tb._append_h5_tick("000001.XSHE", {str(tmp_path)!r})
    outcome = "not interrupted"
except KeyboardInterrupt:
    outcome = "interrupted"
sys.stdout = real_stdout
print(outcome)
"""
    done = run_python(script, env={"TARNWICK_SIM_FIRST_DATE": "20260101"}, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 2 and lines[1] == "interrupted"  # one block line, then the interrupt
    assert "000001.XSHE" in done.stderr  # the updater's own record of the stop


def test_ctrl_c_stops_queued_calls_and_raises_keyboard_interrupt(tmp_path, run_python):
    # Ctrl-C reaches the whole foreground group: the interpreter, whose handler only sets a flag,
    # and the workers. The call stops handing out instruments, every file touched is rolled back
    # or left whole, and KeyboardInterrupt reaches the caller.
    h5 = tmp_path / "h5"
    script = f"""
import os, signal, threading, time, pathlib
import tarnwick.bundle as tb
h5 = pathlib.Path({str(h5)!r})
def press_ctrl_c():
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not list(h5.glob("*/*.h5")):
        time.sleep(0.01)
    os.killpg(os.getpgrp(), signal.SIGINT)
threading.Thread(target=press_ctrl_c, daemon=True).start()
stocks = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600519.XSHG", "000858.XSHE", "601318.XSHG"]
try:
    tb.update_minbar(str(h5), stocks, False, 1)
    print("returned")
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""
    done = run_python(script, env={"TARNWICK_SIM_FIRST_DATE": "20160104"}, timeout=120)
    assert done.stdout.splitlines()[-1] == "KeyboardInterrupt", done.stdout + done.stderr
    made = list(h5.glob("*/*.h5"))
    assert 1 <= len(made) < 6, made  # the queued calls did not run
    assert not list(h5.glob("*/*.journal")) and not list(h5.glob("*/*.tmp"))
    for path in made:
        with h5py.File(path, "r") as f:
            assert f["index"][-1]["line_no"] < len(f["data"])
